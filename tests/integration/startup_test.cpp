// The upgrader's start-up, its two identities and its locks, and every way
// the locked sequence can fail, judged in simulated telephones the way a
// user or a peer would see them: how the run ended (exit status or reboot),
// log lines, IPC broadcasts, screens, flash and files.
#include "telephone.h"

#include "basicui/basicUI.h"
#include "lcd_root.h"
#include "log/rl_log.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

using namespace testsupport;

namespace
{

// The shell sees the low byte of the program's negative statuses.
int shell_status(int status)
{
    return status & 0xFF;
}

// The reboot key pressed 3 s into the run: failure screens wait for it.
// The limit only bounds a run whose screen never reads the key.
const std::vector<std::string> kRebootKey = {"--keys", "3:35", "--time-limit", "60"};

const char kHardwareVersion[] = "59.1.0.1.2.0.0.0\n"; // the telephone's default

// What the UI draws for show on a plain root with the telephone's hardware
// version: the picture the telephone's LCD must hold for the same call. The
// UI keeps one dialog and one LCD buffer per process, so each picture is
// drawn by a child of its own, from a fresh start.
std::string drawn(const std::function<void(CBasicUI &)> &show)
{
    TempDir out;
    std::string picture = out.path() + "/picture";
    pid_t pid = fork();
    if (pid == 0) {
        // No private namespaces here (phonesim needs the host's FUSE), so
        // the drawing keeps quiet instead of writing to the host's log.
        rl_log_reset_level(-1);
        ScopedRoot root;
        make_lcd_root(root, kHardwareVersion);
        CBasicUI ui;
        if (ui.Init() != 0)
            _exit(1);
        show(ui);
        put(picture, testsupport::to_hex(slurp(root / "/dev/fb0")));
        ui.Deinit();
        _exit(0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return "no picture drawn";
    return slurp(picture);
}

std::string failure_screen(const char *text, int id)
{
    return drawn([&](CBasicUI &ui) { ui.ShowUpgradingFailedInfoWithID(text, id); });
}

bool screen_shown(const Telephone &t, const std::string &picture)
{
    for (const nlohmann::json &s : t.report()["screens"])
        if (s["hex"] == picture)
            return true;
    return false;
}

// Log lines of the last run containing text, at the given level (-1: any).
int count_logged(const Telephone &t, const std::string &text, int level = -1)
{
    int n = 0;
    for (const nlohmann::json &l : t.report()["log"]) {
        std::string line = l["text"];
        if (line.find(text) != std::string::npos && (level < 0 || l["level"] == level))
            ++n;
    }
    return n;
}

int count(const std::vector<std::string> &items, const std::string &item)
{
    int n = 0;
    for (const std::string &i : items)
        n += i == item;
    return n;
}

std::vector<std::string> records(const Telephone &t, const std::string &name)
{
    const nlohmann::json &r = t.report()["records"];
    if (!r.contains(name))
        return {};
    return r[name].get<std::vector<std::string>>();
}

std::vector<std::string> file_lines(const std::string &path)
{
    std::vector<std::string> lines;
    std::string text = slurp(path), line;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

// The report lists the partitions as an array of records named "mtdN".
bool partition_flag(const Telephone &t, int n, const char *flag)
{
    for (const nlohmann::json &p : t.report()["partitions"])
        if (p["name"] == "mtd" + std::to_string(n))
            return p[flag].get<bool>();
    ADD_FAILURE() << "no mtd" << n << " in the report";
    return false;
}

bool changed(const Telephone &t, int n)
{
    return partition_flag(t, n, "changed");
}

bool any_partition_changed(const Telephone &t)
{
    for (int n = 0; n < 10; ++n)
        if (changed(t, n))
            return true;
    return false;
}

bool any_partition_moved(const Telephone &t)
{
    for (int n = 0; n < 10; ++n)
        if (partition_flag(t, n, "moved"))
            return true;
    return false;
}

std::vector<std::string> misc(const Telephone &t)
{
    return t.report()["misc"].get<std::vector<std::string>>();
}

bool bootenv_unchanged(const Telephone &t)
{
    return t.report()["bootenv"]["changes"].empty();
}

void put_script(const std::string &path, const std::string &body)
{
    put(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
}

// The pack as the telephone's file /tmp/NAME; returns that telephone path.
std::string pack_in_tmp(const Telephone &t, const std::string &pack,
                        const std::string &name = "rom.bin")
{
    put(t / ("/tmp/" + name), slurp(pack));
    return "/tmp/" + name;
}

std::string installed(const Telephone &t)
{
    return t / "/basic/bin/upgrader";
}

// A pack the telephone accepts, writing mtd6 only.
rompack::PackSpec mtd6_pack()
{
    return accepted_pack({partition(6, 0x10000, "counter")});
}

// The text of an MTD layout: the default windows with the given ones
// replaced; a window given as "" leaves its key out.
std::string layout_text(const std::vector<std::pair<int, std::string>> &changes)
{
    std::vector<std::string> windows = {
        "90000000,90020000", "90020000,90120000", "90120000,90320000", "90320000,90330000",
        "90330000,903b0000", "903b0000,904b0000", "904b0000,906b0000", "906b0000,90730000",
        "90730000,907b0000", "907b0000,90800000"};
    for (const auto &c : changes)
        windows[c.first] = c.second;
    std::string text = "[mtd]\n";
    for (int n = 0; n < 10; ++n)
        if (!windows[n].empty())
            text += "mtd" + std::to_string(n) + "=" + windows[n] + "\n";
    return text;
}

// mtd6 and an MTD layout partition carrying text.
rompack::PackSpec layout_pack(const std::string &text)
{
    rompack::PartitionSpec layout;
    layout.id = 255;
    layout.type = 2;
    layout.payload.assign(text.begin(), text.end());
    return accepted_pack({layout, partition(6, 0x10000, "counter")});
}

// mtd4 and mtd8 change places: mtd4 moves, so its content is saved and
// written back after the configuration is unmounted.
const std::vector<std::pair<int, std::string>> kMoveMtd4 = {{4, "90730000,907b0000"},
                                                            {8, "90330000,903b0000"}};
// mtd3 moves to the top of the chip, mtd9 shrinks below it.
const std::vector<std::pair<int, std::string>> kMoveMtd3 = {{3, "907f0000,90800000"},
                                                            {9, "907b0000,907f0000"}};

std::string profile_with(const std::string &fields)
{
    return "{" + fields + "}";
}

// What every failure with a screen shows: the broadcast before the screen,
// the text logged at error level, the screen with the failure ID, and the
// reboot once the user pressed the key.
void expect_failure_screen(const Telephone &t, int phonesim_status, const char *text, int id)
{
    EXPECT_EQ(phonesim_status, kRebooted) << t.output();
    ASSERT_FALSE(t.ipc_messages().empty());
    EXPECT_EQ(t.ipc_messages().back(), "3,0,0");
    EXPECT_EQ(count(t.ipc_messages(), "3,0,0"), 1);
    EXPECT_EQ(count_logged(t, text, 3), 1) << text;
    EXPECT_TRUE(screen_shown(t, failure_screen(text, id))) << text << ":" << id;
    EXPECT_EQ(t.last_screen(), drawn([&](CBasicUI &ui) {
                  ui.ShowUpgradingFailedInfoWithID(text, id);
                  ui.DispNoticeInfo("Rebooting...");
              }))
        << "the key was taken as the reboot key";
}

} // namespace

// ---------------------------------------------------------------------------
// Start-up: the copies into /tmp come first, whatever the arguments.

class Startup : public ::testing::Test
{
  protected:
    // cp as the telephone's shell finds it, recording each call.
    void record_copies(const Telephone &t)
    {
        ASSERT_EQ(rename((t / "/bin/cp").c_str(), (t / "/bin/cp.real").c_str()), 0);
        put_script(t / "/bin/cp", "echo \"$*\" >> \"$UPGRADER_ROOT/cp.log\"\n"
                                  "exec \"$UPGRADER_ROOT/bin/cp.real\" \"$@\"\n");
    }
    std::vector<std::string> copies(const Telephone &t) { return file_lines(t / "/cp.log"); }
};

TEST_F(Startup, ThreeArgumentsEndWith200AfterBothCopies)
{
    Telephone t;
    ASSERT_TRUE(t.ok());
    record_copies(t);

    int status = t.run({installed(t), "a", "b", "c"});

    EXPECT_EQ(status, shell_status(-200)) << t.output();
    EXPECT_EQ(copies(t), (std::vector<std::string>{t / "/sbin/reboot " + t / "/tmp/",
                                                   t / "/bin/ " + t / "/tmp/ -rf"}));
    struct stat st;
    EXPECT_EQ(stat((t / "/tmp/reboot").c_str(), &st), 0);
    EXPECT_EQ(stat((t / "/tmp/bin/sh").c_str(), &st), 0);
    std::string usage = "usage: " + installed(t) + "  or  " + installed(t) + " rom_file";
    EXPECT_EQ(count_logged(t, usage, 6), 1);
    EXPECT_TRUE(t.ipc_messages().empty());
    EXPECT_TRUE(t.report()["frames"].empty()) << "no UI before the mode is chosen";
}

TEST_F(Startup, CopyOfBinFailingFiveTimesEndsWith189)
{
    Telephone t;
    ASSERT_TRUE(t.ok());
    record_copies(t);
    put(t / "/tmp/bin", "a file where the copy of /bin would go");

    int status = t.upgrade(t.write_pack(mtd6_pack()), "file");

    EXPECT_EQ(status, shell_status(-189)) << t.output();
    std::vector<std::string> bins(5, t / "/bin/ " + t / "/tmp/ -rf");
    bins.insert(bins.begin(), t / "/sbin/reboot " + t / "/tmp/");
    EXPECT_EQ(copies(t), bins);
    EXPECT_EQ(count_logged(t, "copy_bins failed!", 3), 1);
    EXPECT_TRUE(t.ipc_messages().empty());
    EXPECT_FALSE(any_partition_changed(t));
}

TEST_F(Startup, FailedCopyOfRebootToolRebootsThroughPath)
{
    Telephone t;
    ASSERT_TRUE(t.ok());
    // A directory in its place: the copy cannot overwrite it, and running
    // "/tmp/reboot" could never reboot.
    ASSERT_EQ(mkdir((t / "/tmp/reboot").c_str(), 0755), 0);

    int status = t.upgrade(t.write_pack(mtd6_pack()), "file");

    EXPECT_EQ(status, kRebooted) << t.output();
    EXPECT_TRUE(changed(t, 6));
    EXPECT_EQ(t.ipc_messages(), std::vector<std::string>{"4,2,0"});
    ASSERT_FALSE(misc(t).empty());
    EXPECT_EQ(misc(t).front(), "MISC_IOCS_WATCHDOG 0");
}

// ---------------------------------------------------------------------------
// Identities: the installed path and the relaunched one; nothing else runs.

TEST(Identity, ProgramOutsideItsInstalledPathsDoesNothing)
{
    Telephone t;
    ASSERT_TRUE(t.ok());
    ASSERT_EQ(mkdir((t / "/opt").c_str(), 0755), 0);
    put(t / "/opt/upgrader", slurp(UPGRADER_BIN));
    chmod((t / "/opt/upgrader").c_str(), 0755);
    std::string rom = pack_in_tmp(t, t.write_pack(mtd6_pack()));

    int status = t.run({t / "/opt/upgrader", rom});

    EXPECT_EQ(status, 0) << t.output();
    EXPECT_EQ(count_logged(t, "upgrader path error", 7), 1);
    EXPECT_EQ(count_logged(t, "locked "), 0);
    EXPECT_EQ(misc(t), std::vector<std::string>{"MISC_IOCS_WATCHDOG 0"})
        << "the watchdog is closed before the path is looked at";
    EXPECT_FALSE(any_partition_changed(t));
    EXPECT_TRUE(bootenv_unchanged(t));
    EXPECT_TRUE(t.ipc_messages().empty());
    EXPECT_TRUE(records(t, "killapps").empty());
}

TEST(Identity, PathStartingWithRelaunchPathRunsAsRelaunchedIdentity)
{
    Telephone t;
    ASSERT_TRUE(t.ok());
    put(t / "/tmp/upgrader_tool.new", slurp(UPGRADER_BIN));
    chmod((t / "/tmp/upgrader_tool.new").c_str(), 0755);
    std::string rom = pack_in_tmp(t, t.write_pack(mtd6_pack()));

    int status = t.run({t / "/tmp/upgrader_tool.new", rom});

    EXPECT_EQ(status, kRebooted) << t.output();
    EXPECT_EQ(count_logged(t, "locked upgrader_tool_process", 7), 1);
    EXPECT_EQ(count_logged(t, "locked upgrader_process"), 0);
    EXPECT_TRUE(changed(t, 6));
}

// ---------------------------------------------------------------------------
// Locks: another upgrader that holds them keeps this one from writing.

TEST(Locks, HeldProcessLockEndsAtOnce)
{
    Telephone t;
    ASSERT_TRUE(t.ok());
    std::string rom = pack_in_tmp(t, t.write_pack(mtd6_pack()));

    int status = t.run({PROBE_LOCKS_BIN, "0xC002", "--", installed(t), rom});

    EXPECT_EQ(status, 0) << t.output();
    EXPECT_EQ(count_logged(t, "lock upgrader_process failed", 3), 1);
    EXPECT_EQ(count_logged(t, "locked upgrader_process"), 0);
    EXPECT_EQ(misc(t), std::vector<std::string>{"MISC_IOCS_WATCHDOG 0"});
    EXPECT_TRUE(t.ipc_messages().empty());
    EXPECT_TRUE(records(t, "killapps").empty());
    EXPECT_FALSE(any_partition_changed(t));
    EXPECT_TRUE(bootenv_unchanged(t));
}

TEST(Locks, HeldBurnLockEndsAfterKillScriptWithFlashUntouched)
{
    Telephone t;
    ASSERT_TRUE(t.ok());
    std::string rom = pack_in_tmp(t, t.write_pack(mtd6_pack()));

    int status = t.run({PROBE_LOCKS_BIN, "0xC004", "--", installed(t), rom});

    EXPECT_EQ(status, 0) << t.output();
    EXPECT_EQ(t.report()["ending"], "exit");
    EXPECT_EQ(count_logged(t, "locked upgrader_process", 7), 1);
    EXPECT_EQ(count_logged(t, "lock burn_flash_semid failed", 3), 1);
    EXPECT_EQ(records(t, "killapps").size(), 1u);
    EXPECT_EQ(t.ipc_messages(), std::vector<std::string>{"4,2,0"});
    EXPECT_FALSE(any_partition_changed(t));
}

TEST(Locks, TwoUpgradersStartedTogetherWriteOnce)
{
    Telephone t;
    ASSERT_TRUE(t.ok());
    // The reboot only records itself, so that the loser's log is complete
    // whatever the order: "/tmp/reboot" cannot be made, and "reboot" is
    // found first in the telephone's /bin.
    ASSERT_EQ(mkdir((t / "/tmp/reboot").c_str(), 0755), 0);
    put_script(t / "/bin/reboot", "echo reboot >> \"$UPGRADER_ROOT/reboot.log\"\n");
    std::string rom = pack_in_tmp(t, t.write_pack(mtd6_pack()));
    std::string program = installed(t) + " " + rom;

    int status = t.run({"sh", "-c", program + " & " + program + " & wait"});

    EXPECT_EQ(status, 0) << t.output();
    EXPECT_EQ(count_logged(t, "locked upgrader_process"), 1);
    EXPECT_EQ(count_logged(t, "upgrader-1 completed!"), 1);
    EXPECT_EQ(count_logged(t, "lock upgrader_process failed"), 1);
    EXPECT_EQ(count(t.ipc_messages(), "4,2,0"), 1);
    EXPECT_EQ(records(t, "killapps").size(), 1u);
    EXPECT_EQ(file_lines(t / "/reboot.log").size(), 1u);
    EXPECT_TRUE(changed(t, 6));
}

// ---------------------------------------------------------------------------
// The failure table: each row's status, ID, screen, broadcasts and flash.

TEST(FailureTable, WatchdogThatCannotBeClosedEndsWith190)
{
    Telephone t;
    ASSERT_TRUE(t.ok());
    ASSERT_EQ(remove((t / "/dev/misc0").c_str()), 0);
    ASSERT_EQ(mkdir((t / "/dev/misc0").c_str(), 0755), 0);

    int status = t.upgrade(t.write_pack(mtd6_pack()), "file", kRebootKey);

    expect_failure_screen(t, status, "Upgrade Failed!", -190);
    // Three tries; one more may follow the reboot request before the
    // telephone goes down.
    EXPECT_GE(count_logged(t, "/dev/misc0 open failed", 3), 3);
    EXPECT_EQ(t.ipc_messages(), std::vector<std::string>{"3,0,0"});
    EXPECT_TRUE(misc(t).empty());
    EXPECT_EQ(count_logged(t, "locked upgrader_process"), 0);
    EXPECT_FALSE(any_partition_changed(t));
}

TEST(FailureTable, SharedMemoryModeWithoutLoaderEndsWith198)
{
    Telephone t;
    ASSERT_TRUE(t.ok());

    int status = t.run({installed(t)}, kRebootKey);

    expect_failure_screen(t, status, "Get shm Failed!", -198);
    EXPECT_EQ(t.ipc_messages(), std::vector<std::string>{"3,0,0"});
    EXPECT_FALSE(any_partition_changed(t));
}

TEST(FailureTable, LoadFailedStateEndsWith199)
{
    Telephone t;
    ASSERT_TRUE(t.ok());
    std::vector<std::string> options = kRebootKey;
    options.push_back("--state=-1");

    int status = t.upgrade(t.write_pack(mtd6_pack()), "shm", options);

    expect_failure_screen(t, status, "Load Rom Failed!", -199);
    EXPECT_EQ(count_logged(t, "upgrader_state is failed", 6), 1);
    EXPECT_EQ(t.ipc_messages(), std::vector<std::string>{"3,0,0"});
    EXPECT_FALSE(any_partition_changed(t));
}

TEST(FailureTable, AutoProvisionLoadFailedCountsDownAndReboots)
{
    Telephone t;
    ASSERT_TRUE(t.ok());

    // No key: the countdown reboots by itself (pauses scaled to nothing).
    int status = t.upgrade(t.write_pack(mtd6_pack()), "shm", {"--state=-2", "--time-limit", "60"});

    EXPECT_EQ(status, kRebooted) << t.output();
    EXPECT_EQ(count_logged(t, "upgrader_state is failed", 6), 1);
    EXPECT_EQ(t.ipc_messages(), std::vector<std::string>{"3,0,0"});
    EXPECT_TRUE(screen_shown(
        t, drawn([](CBasicUI &ui) { ui.ShowUpgradingAutop2FailedInfoWithID(-199, 60); })));
    EXPECT_EQ(count_logged(t, "Load Rom Failed!"), 0) << "no failure screen of its own";
    EXPECT_FALSE(any_partition_changed(t));
}

TEST(FailureTable, RefusedPackShowsTheCheckCodeWith193)
{
    Telephone t;
    ASSERT_TRUE(t.ok());

    int status = t.upgrade(TEST_DATA_DIR "/bad-magic2.pack", "file", kRebootKey);

    expect_failure_screen(t, status, "Rom check Failed!", -99);
    EXPECT_EQ(count_logged(t, "rom pack check failed! ID:-99", 3), 1);
    EXPECT_EQ(t.ipc_messages(), (std::vector<std::string>{"4,1,0", "3,0,0"}));
    EXPECT_TRUE(records(t, "killapps").empty());
    EXPECT_FALSE(any_partition_changed(t));
}

TEST(FailureTable, PackBelowHardwareMinimumShowsUpgradeFailed)
{
    Telephone t;
    ASSERT_TRUE(t.ok());

    // 2.143.6.199 on hardware 59 with hw[3] = 1 is below its minimum.
    int status = t.upgrade(TEST_DATA_DIR "/bad-min-version.pack", "file", kRebootKey);

    expect_failure_screen(t, status, "Upgrade Failed!", -74);
    EXPECT_EQ(count_logged(t, "rom pack check failed! ID:-74", 3), 1);
    EXPECT_EQ(count_logged(t, "Rom check Failed!"), 0);
    EXPECT_EQ(t.ipc_messages(), (std::vector<std::string>{"4,1,0", "3,0,0"}));
    EXPECT_FALSE(any_partition_changed(t));
}

TEST(FailureTable, LayoutMissingAKeyEndsWith188)
{
    Telephone t;
    ASSERT_TRUE(t.ok());

    int status = t.upgrade(t.write_pack(layout_pack(layout_text({{9, ""}}))), "file", kRebootKey);

    expect_failure_screen(t, status, "Upgrade Failed!", -188);
    EXPECT_EQ(count_logged(t, "mtd_config failed!", 7), 1);
    EXPECT_EQ(t.ipc_messages(), std::vector<std::string>{"3,0,0"});
    EXPECT_TRUE(records(t, "killapps").empty());
    EXPECT_FALSE(any_partition_moved(t));
    EXPECT_FALSE(any_partition_changed(t));
}

TEST(FailureTable, CarriedUpgraderTakesOverTheUpgrade)
{
    Telephone t;
    ASSERT_TRUE(t.ok());
    rompack::PartitionSpec tool;
    tool.id = 255;
    tool.type = 1;
    rompack::parse_version("1.0.0.82", &tool.version);
    std::string program = slurp(UPGRADER_BIN);
    tool.payload.assign(program.begin(), program.end());
    std::string pack = t.write_pack(accepted_pack({tool, partition(6, 0x10000, "counter")}));

    // phonesim ends whatever the command leaves running when it ends, so the
    // command outlives the first run and keeps its status.
    std::string first = installed(t) + "; echo $? > " + t / "/first.status" + "; sleep 100";
    int status = t.run({"sh", "-c", first}, {"--load", pack, "--state", "0", "--time-limit", "60"});

    EXPECT_EQ(status, kRebooted) << t.output();
    EXPECT_EQ(slurp(t / "/first.status"), "0\n");
    EXPECT_EQ(count_logged(t, "upgrader_tool_check /tmp/upgrader_tool exist", 7), 1);
    EXPECT_EQ(count_logged(t, "locked upgrader_process", 7), 1);
    EXPECT_EQ(count_logged(t, "locked upgrader_tool_process", 7), 1);
    EXPECT_EQ(count_logged(t, "locked memory_semid", 7), 2)
        << "the first run gave the memory back, and kept it";
    EXPECT_EQ(t.ipc_messages(), std::vector<std::string>{"4,2,0"});
    EXPECT_EQ(records(t, "killapps").size(), 1u);
    EXPECT_TRUE(changed(t, 6));
}

TEST(FailureTable, KillScriptFailureEndsWith192)
{
    Telephone t(profile_with("\"killapps_status\": 1"));
    ASSERT_TRUE(t.ok());

    int status = t.upgrade(t.write_pack(mtd6_pack()), "file", kRebootKey);

    expect_failure_screen(t, status, "Killapps Failed!", -192);
    EXPECT_EQ(t.ipc_messages(), (std::vector<std::string>{"4,2,0", "4,3,0", "3,0,0"}));
    EXPECT_EQ(records(t, "killapps").size(), 1u);
    EXPECT_FALSE(any_partition_changed(t));
}

TEST(FailureTable, ConfigurationThatCannotBeUnmountedEndsWith187)
{
    Telephone t(profile_with("\"umount_status\": 1"));
    ASSERT_TRUE(t.ok());

    int status = t.upgrade(t.write_pack(layout_pack(layout_text(kMoveMtd4))), "file", kRebootKey);

    expect_failure_screen(t, status, "Upgrade Failed!", -187);
    EXPECT_EQ(count_logged(t, "config unmount failed!", 7), 1);
    EXPECT_TRUE(partition_flag(t, 4, "moved"));
    EXPECT_EQ(records(t, "umount").size(), 5u * 2) << "five tries of /etc and /config";
    EXPECT_EQ(t.ipc_messages(), (std::vector<std::string>{"4,2,0", "3,0,0"}));
    EXPECT_FALSE(changed(t, 6));
}

TEST(FailureTable, ConfigurationWriteBackFailureEndsWith191)
{
    Telephone t(profile_with("\"faults\": [{\"partition\": 4, \"kind\": \"write\"}]"));
    ASSERT_TRUE(t.ok());

    int status = t.upgrade(t.write_pack(layout_pack(layout_text(kMoveMtd4))), "file", kRebootKey);

    expect_failure_screen(t, status, "Burn Flash Failed!", -191);
    EXPECT_EQ(count_logged(t, "config mtd_write failed!", 7), 1);
    EXPECT_TRUE(partition_flag(t, 4, "moved"));
    EXPECT_EQ(t.ipc_messages(), (std::vector<std::string>{"4,2,0", "3,0,0"}));
    EXPECT_FALSE(changed(t, 6));
}

TEST(FailureTable, EnvironmentWriteBackFailureEndsWith191)
{
    Telephone t(profile_with("\"faults\": [{\"partition\": 3, \"kind\": \"write\"}]"));
    ASSERT_TRUE(t.ok());

    int status = t.upgrade(t.write_pack(layout_pack(layout_text(kMoveMtd3))), "file", kRebootKey);

    expect_failure_screen(t, status, "Burn Flash Failed!", -191);
    EXPECT_EQ(count_logged(t, "env mtd_write failed!", 7), 1);
    EXPECT_TRUE(partition_flag(t, 3, "moved"));
    EXPECT_EQ(count_logged(t, "config mtd_write failed!"), 0);
    EXPECT_EQ(t.ipc_messages(), (std::vector<std::string>{"4,2,0", "3,0,0"}));
    EXPECT_FALSE(changed(t, 6));
}

TEST(FailureTable, BurnFailureShowsTheBurnCodeWith191)
{
    struct Case {
        const char *kind;
        int code;
    };
    for (const Case &c : {Case{"erase", -82}, Case{"write", -81}}) {
        SCOPED_TRACE(c.kind);
        Telephone t(profile_with(std::string("\"faults\": [{\"partition\": 6, \"kind\": \"") +
                                 c.kind + "\"}]"));
        ASSERT_TRUE(t.ok());

        int status = t.upgrade(t.write_pack(mtd6_pack()), "file", kRebootKey);

        expect_failure_screen(t, status, "Burn Flash Failed!", c.code);
        EXPECT_EQ(count_logged(t, "burn flash failed!", 3), 1);
        EXPECT_EQ(t.ipc_messages(), (std::vector<std::string>{"4,2,0", "4,4,0", "3,0,0"}));
    }
}

TEST(FailureTable, PartitionThatCannotBeOpenedIsRefusedByTheCheck)
{
    // The check opens every partition it would write, so a device that
    // cannot be opened stops the upgrade before the burn.
    Telephone t(profile_with("\"faults\": [{\"partition\": 6, \"kind\": \"open\"}]"));
    ASSERT_TRUE(t.ok());

    int status = t.upgrade(t.write_pack(mtd6_pack()), "file", kRebootKey);

    expect_failure_screen(t, status, "Rom check Failed!", -83);
    EXPECT_EQ(t.ipc_messages(), (std::vector<std::string>{"4,1,0", "3,0,0"}));
    EXPECT_FALSE(any_partition_changed(t));
}

TEST(FailureTable, RomFileThatCannotBeOpenedEndsWith196WithoutScreen)
{
    Telephone t;
    ASSERT_TRUE(t.ok());

    int status = t.run({installed(t), "/tmp/missing.bin"}, {"--time-limit", "60"});

    EXPECT_EQ(status, shell_status(-196)) << t.output();
    EXPECT_EQ(count_logged(t, "/tmp/missing.bin File open failed!", 3), 1);
    EXPECT_TRUE(t.ipc_messages().empty());
    EXPECT_FALSE(any_partition_changed(t));
}

TEST(FailureTable, EmptyRomFileEndsWith195WithoutScreen)
{
    Telephone t;
    ASSERT_TRUE(t.ok());
    put(t / "/tmp/empty.bin", "");

    int status = t.run({installed(t), "/tmp/empty.bin"}, {"--time-limit", "60"});

    EXPECT_EQ(status, shell_status(-195)) << t.output();
    EXPECT_EQ(count_logged(t, "memory map failed!", 3), 1);
    EXPECT_TRUE(t.ipc_messages().empty());
    EXPECT_FALSE(any_partition_changed(t));
}
