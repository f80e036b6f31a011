// The upgrader's start-up, its two identities and its locks, and every way
// the locked sequence can fail, judged in simulated telephones the way a
// user or a peer would see them: how the run ended (exit status or reboot),
// log lines, IPC broadcasts, screens, flash and files.
#include "screens.h"
#include "telephone.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

using namespace testsupport;
using Lines = std::vector<std::string>;

namespace
{

// The reboot key pressed 3 s into the run: failure screens wait for it.
// The limit only bounds a run whose screen never reads the key.
const Lines kRebootKey = {"--keys", "3:35", "--time-limit", "60"};

// A pack the telephone accepts, writing mtd6 only.
rompack::PackSpec mtd6_pack()
{
    return accepted_pack({partition(6, 0x10000, "counter")});
}

// mtd6 and an MTD layout partition: the default windows with the given ones
// replaced; a window given as "" leaves its key out.
rompack::PackSpec layout_pack(const std::vector<std::pair<int, std::string>> &changes)
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
    rompack::PartitionSpec layout;
    layout.id = 255;
    layout.type = 2;
    layout.payload.assign(text.begin(), text.end());
    return accepted_pack({layout, partition(6, 0x10000, "counter")});
}

} // namespace

// A fresh telephone per case, and what the cases do to it.
class PhoneTest : public ::testing::Test
{
  protected:
    explicit PhoneTest(const std::string &profile = "") : t(profile) {}
    void SetUp() override { ASSERT_TRUE(t.ok()); }

    // The shell sees the low byte of the program's negative statuses.
    static int shell_status(int status) { return status & 0xFF; }
    // Log lines of the last run containing text, at the given level (-1: any).
    int logged(const std::string &text, int level = -1) const
    {
        int n = 0;
        for (const nlohmann::json &l : t.report()["log"])
            n += l["text"].get<std::string>().find(text) != std::string::npos &&
                 (level < 0 || l["level"] == level);
        return n;
    }
    // flag ("changed", "moved") of any partition.
    bool any_partition(const char *flag) const
    {
        for (const nlohmann::json &p : t.report()["partitions"])
            if (p[flag].get<bool>())
                return true;
        return false;
    }
    Lines misc() const { return t.report()["misc"].get<Lines>(); }
    // How often the telephone ran the script or command name.
    size_t records(const char *name) const
    {
        return t.report()["records"].value(name, nlohmann::json::array()).size();
    }
    std::string installed() const { return t / "/basic/bin/upgrader"; }
    void put_exec(const std::string &path, const std::string &content) const
    {
        put(path, content);
        chmod(path.c_str(), 0755);
    }
    // The pack as the telephone's file /tmp/rom.bin; returns that path.
    std::string pack_in_tmp()
    {
        put(t / "/tmp/rom.bin", slurp(t.write_pack(mtd6_pack())));
        return "/tmp/rom.bin";
    }
    // What a run that gave up before touching anything leaves: the
    // watchdog closed and nothing else.
    void expect_nothing_done() const
    {
        EXPECT_EQ(misc(), Lines{"MISC_IOCS_WATCHDOG 0"});
        EXPECT_TRUE(t.ipc_messages().empty());
        EXPECT_EQ(records("killapps"), 0u);
        EXPECT_FALSE(any_partition("changed"));
        EXPECT_TRUE(t.report()["bootenv"]["changes"].empty());
    }

    Telephone t;
};

// Start-up: the copies into /tmp come first, whatever the arguments.
class Startup : public PhoneTest
{
  protected:
    // cp as the telephone's shell finds it, recording each call.
    void SetUp() override
    {
        ASSERT_TRUE(t.ok());
        ASSERT_EQ(rename((t / "/bin/cp").c_str(), (t / "/bin/cp.real").c_str()), 0);
        put_exec(t / "/bin/cp", "#!/bin/sh\necho \"$*\" >> \"$UPGRADER_ROOT/cp.log\"\n"
                                "exec \"$UPGRADER_ROOT/bin/cp.real\" \"$@\"\n");
    }
    std::string copy_reboot() const { return t / "/sbin/reboot " + t / "/tmp/\n"; }
    std::string copy_bin() const { return t / "/bin/ " + t / "/tmp/ -rf\n"; }
};

TEST_F(Startup, ThreeArgumentsEndWith200AfterBothCopies)
{
    EXPECT_EQ(t.run({installed(), "a", "b", "c"}), shell_status(-200)) << t.output();
    EXPECT_EQ(slurp(t / "/cp.log"), copy_reboot() + copy_bin());
    EXPECT_EQ(logged("usage: " + installed() + "  or  " + installed() + " rom_file", 6), 1);
    EXPECT_TRUE(t.ipc_messages().empty());
    EXPECT_TRUE(t.report()["frames"].empty()) << "no UI before the mode is chosen";
}

TEST_F(Startup, CopyOfBinFailingFiveTimesEndsWith189)
{
    put(t / "/tmp/bin", "a file where the copy of /bin would go");

    EXPECT_EQ(t.upgrade(t.write_pack(mtd6_pack()), "file"), shell_status(-189)) << t.output();
    EXPECT_EQ(slurp(t / "/cp.log"),
              copy_reboot() + copy_bin() + copy_bin() + copy_bin() + copy_bin() + copy_bin());
    EXPECT_EQ(logged("copy_bins failed!", 3), 1);
    EXPECT_TRUE(t.ipc_messages().empty());
    EXPECT_FALSE(any_partition("changed"));
}

// Identities: the installed path and the relaunched one; nothing else runs.
using Identity = PhoneTest;

TEST_F(Identity, ProgramOutsideItsInstalledPathsDoesNothing)
{
    ASSERT_EQ(mkdir((t / "/opt").c_str(), 0755), 0);
    put_exec(t / "/opt/upgrader", slurp(UPGRADER_BIN));

    EXPECT_EQ(t.run({t / "/opt/upgrader", pack_in_tmp()}), 0) << t.output();
    EXPECT_EQ(logged("upgrader path error", 7), 1);
    EXPECT_EQ(logged("locked "), 0);
    expect_nothing_done(); // the watchdog is closed before the path is looked at
}

TEST_F(Identity, PathStartingWithRelaunchPathRunsAsRelaunchedIdentity)
{
    put_exec(t / "/tmp/upgrader_tool.new", slurp(UPGRADER_BIN));

    EXPECT_EQ(t.run({t / "/tmp/upgrader_tool.new", pack_in_tmp()}), kRebooted) << t.output();
    EXPECT_EQ(logged("locked upgrader_tool_process", 7), 1);
    EXPECT_EQ(logged("locked upgrader_process"), 0);
    EXPECT_TRUE(t.partition_changed(6));
}

// Locks: another upgrader that holds them keeps this one from writing.
using Locks = PhoneTest;

TEST_F(Locks, HeldProcessLockEndsAtOnce)
{
    EXPECT_EQ(t.run({PROBE_LOCKS_BIN, "0xC002", "--", installed(), pack_in_tmp()}), 0)
        << t.output();
    EXPECT_EQ(logged("lock upgrader_process failed", 3), 1);
    EXPECT_EQ(logged("locked upgrader_process"), 0);
    expect_nothing_done();
}

TEST_F(Locks, HeldBurnLockEndsAfterKillScriptWithFlashUntouched)
{
    EXPECT_EQ(t.run({PROBE_LOCKS_BIN, "0xC004", "--", installed(), pack_in_tmp()}), 0)
        << t.output();
    EXPECT_EQ(logged("lock burn_flash_semid failed", 3), 1);
    EXPECT_EQ(records("killapps"), 1u);
    EXPECT_EQ(t.ipc_messages(), Lines{"4,2,0"});
    EXPECT_FALSE(any_partition("changed"));
}

TEST_F(Locks, TwoUpgradersStartedTogetherWriteOnce)
{
    // The reboot only records itself, so that the loser's log is complete
    // whatever the order: "/tmp/reboot" cannot be made (a directory is in
    // its place), so the winner reboots with the "reboot" its PATH finds.
    ASSERT_EQ(mkdir((t / "/tmp/reboot").c_str(), 0755), 0);
    put_exec(t / "/bin/reboot", "#!/bin/sh\necho reboot >> \"$UPGRADER_ROOT/reboot.log\"\n");
    std::string program = installed() + " " + pack_in_tmp();

    int status = t.run({"sh", "-c", program + " & " + program + " & wait"}, {"--time-limit", "20"});
    EXPECT_EQ(logged("locked upgrader_process"), 1);
    EXPECT_EQ(logged("lock upgrader_process failed"), 1);
    // Both copy /bin to /tmp at start-up, before either takes a lock, so the
    // second copy may be rewriting /tmp/bin/cat just as the first runs it
    // for its check. The first then refuses the pack and waits on its
    // failure screen until the time limit: the telephone is still owned by
    // one upgrader and nothing is written.
    if (logged("rom pack check failed!") > 0) {
        EXPECT_EQ(status, testsupport::kTimeLimit) << t.output();
        EXPECT_EQ(records("killapps"), 0u);
        EXPECT_FALSE(t.partition_changed(6));
        return;
    }
    EXPECT_EQ(status, 0) << t.output();
    EXPECT_EQ(logged("upgrader-1 completed!"), 1);
    EXPECT_EQ(t.ipc_messages(), Lines{"4,2,0"});
    EXPECT_EQ(records("killapps"), 1u);
    EXPECT_EQ(slurp(t / "/reboot.log"), "reboot\n");
    EXPECT_TRUE(t.partition_changed(6));
}

// The failure table: each row's status, ID, screen, broadcasts and flash.

namespace
{

std::string fault(int partition, const char *kind)
{
    return "\"faults\": [{\"partition\": " + std::to_string(partition) + ", \"kind\": \"" + kind +
           "\"}]";
}

// A row whose failure screen waits for the reboot key: by default a file
// mode upgrade of mtd6 that must leave the flash as it was.
struct ScreenRow {
    ScreenRow &in(const std::string &fields) { return profile = "{" + fields + "}", *this; }
    ScreenRow &as(const char *m, Lines o = {}) { return mode = m, options = std::move(o), *this; }
    ScreenRow &with(rompack::PackSpec s) { return built = std::move(s), *this; }
    ScreenRow &with(const char *data_file) { return file = data_file, *this; }
    ScreenRow &moves(int n) { return moved = n, *this; }
    ScreenRow &burns() { return untouched = false, *this; }
    ScreenRow &umounts(size_t n) { return umount_calls = n, *this; }
    friend void PrintTo(const ScreenRow &row, std::ostream *out) { *out << row.name; }

    const char *name;
    const char *text;
    int id;
    Lines ipc;
    const char *line; // the row's decisive log line, at level
    int level;
    std::string profile;
    const char *mode = "file"; // "" runs the program with no argument
    rompack::PackSpec built = mtd6_pack();
    const char *file = nullptr; // in the test data instead
    Lines options;
    int moved = -1;        // the partition the pack's layout moves, -1 none
    bool untouched = true; // no partition changed
    size_t umount_calls = 0;
};

ScreenRow row(const char *name, const char *text, int id, Lines ipc, const char *line = nullptr,
              int level = 0)
{
    ScreenRow r;
    r.name = name, r.text = text, r.id = id, r.ipc = std::move(ipc), r.line = line, r.level = level;
    return r;
}

// mtd4 and mtd8 change places: mtd4 moves, so its content is saved and
// written back after the configuration is unmounted.
const std::vector<std::pair<int, std::string>> kMoveMtd4 = {{4, "90730000,907b0000"},
                                                            {8, "90330000,903b0000"}};
// mtd3 moves to the top of the chip, mtd9 shrinks below it.
const std::vector<std::pair<int, std::string>> kMoveMtd3 = {{3, "907f0000,90800000"},
                                                            {9, "907b0000,907f0000"}};
const Lines kShown = {"3,0,0"};
const Lines kTold = {"4,2,0", "3,0,0"};
const Lines kRefused = {"4,1,0", "3,0,0"};
const Lines kBurnFailed = {"4,2,0", "4,4,0", "3,0,0"};

const std::vector<ScreenRow> kScreenRows = {
    row("SharedMemoryWithoutLoader198", "Get shm Failed!", -198, kShown).as(""),
    row("LoadFailedState199", "Load Rom Failed!", -199, kShown, "upgrader_state is failed", 6)
        .as("shm", {"--state=-1"}),
    row("RefusedPack193ShowsTheCheckCode", "Rom check Failed!", -99, kRefused,
        "rom pack check failed! ID:-99", 3)
        .with("bad-magic2.pack"),
    // 2.143.6.199 on hardware 59 with hw[3] = 1 is below its minimum.
    row("HardwareMinimum", "Upgrade Failed!", -74, kRefused, "rom pack check failed! ID:-74", 3)
        .with("bad-min-version.pack"),
    // The check opens every partition it would write.
    row("PartitionThatCannotBeOpened", "Rom check Failed!", -83, kRefused).in(fault(6, "open")),
    row("LayoutMissingAKey188", "Upgrade Failed!", -188, kShown, "mtd_config failed!", 7)
        .with(layout_pack({{9, ""}})),
    row("KillScript192", "Killapps Failed!", -192, {"4,2,0", "4,3,0", "3,0,0"})
        .in("\"killapps_status\": 1"),
    row("ConfigurationUnmount187", "Upgrade Failed!", -187, kTold, "config unmount failed!", 7)
        .in("\"umount_status\": 1")
        .with(layout_pack(kMoveMtd4))
        .moves(4)
        .umounts(5 * 2), // five tries of /etc and /config
    row("ConfigWriteBack191", "Burn Flash Failed!", -191, kTold, "config mtd_write failed!", 7)
        .in(fault(4, "write"))
        .with(layout_pack(kMoveMtd4))
        .moves(4),
    row("EnvironmentWriteBack191", "Burn Flash Failed!", -191, kTold, "env mtd_write failed!", 7)
        .in(fault(3, "write"))
        .with(layout_pack(kMoveMtd3))
        .moves(3),
    // The burn's own code is shown.
    row("BurnErase191", "Burn Flash Failed!", -82, kBurnFailed, "burn flash failed!", 3)
        .in(fault(6, "erase"))
        .burns(),
    row("BurnWrite191", "Burn Flash Failed!", -81, kBurnFailed, "burn flash failed!", 3)
        .in(fault(6, "write"))
        .burns(),
};

} // namespace

class FailureTable : public PhoneTest, public ::testing::WithParamInterface<ScreenRow>
{
  protected:
    FailureTable() : PhoneTest(GetParam().profile) {}
};

// Every failure with a screen: the one broadcast before it, the text logged
// at error level, the screen with the ID, and the reboot once the key came.
TEST_P(FailureTable, ShowsTheScreenAndRebootsOnTheKey)
{
    const ScreenRow &row = GetParam();
    Lines options = kRebootKey;
    options.insert(options.end(), row.options.begin(), row.options.end());
    std::string pack =
        row.file ? std::string(TEST_DATA_DIR "/") + row.file : t.write_pack(row.built);
    int status =
        *row.mode == '\0' ? t.run({installed()}, options) : t.upgrade(pack, row.mode, options);

    EXPECT_EQ(status, kRebooted) << t.output();
    EXPECT_EQ(t.ipc_messages(), row.ipc);
    EXPECT_EQ(logged(row.text, 3), 1);
    if (row.line != nullptr) {
        EXPECT_EQ(logged(row.line, row.level), 1) << row.line;
    }
    Lines screens = drawn_screens({failed_screen(row.text, row.id), rebooting_screen()});
    Lines seen = screen_changes(t.report());
    EXPECT_NE(std::find(seen.begin(), seen.end(), screens[0]), seen.end()) << row.id;
    EXPECT_EQ(t.last_screen(), screens.back()) << "the key was taken as the reboot key";
    if (row.moved >= 0) {
        EXPECT_TRUE(t.partition(row.moved)["moved"].get<bool>());
        EXPECT_FALSE(t.partition_changed(6));
    } else if (row.untouched) {
        EXPECT_FALSE(any_partition("changed"));
        EXPECT_FALSE(any_partition("moved"));
    }
    if (row.umount_calls > 0) {
        EXPECT_EQ(records("umount"), row.umount_calls);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, FailureTable, ::testing::ValuesIn(kScreenRows),
                         [](const ::testing::TestParamInfo<ScreenRow> &info) {
                             return std::string(info.param.name);
                         });

using FailureTableOthers = PhoneTest;

TEST_F(FailureTableOthers, AutoProvisionLoadFailedCountsDownAndReboots)
{
    // No key: the countdown reboots by itself (pauses scaled to nothing).
    EXPECT_EQ(t.upgrade(t.write_pack(mtd6_pack()), "shm", {"--state=-2", "--time-limit", "60"}),
              kRebooted)
        << t.output();
    EXPECT_EQ(logged("upgrader_state is failed", 6), 1);
    EXPECT_EQ(t.ipc_messages(), Lines{"3,0,0"});
    EXPECT_EQ(screen_changes(t.report()).at(0), drawn_screens({countdown_screen(-199, 60)})[0]);
    EXPECT_EQ(logged("Load Rom Failed!"), 0) << "no failure screen of its own";
    EXPECT_FALSE(any_partition("changed"));
}

TEST_F(FailureTableOthers, CarriedUpgraderTakesOverTheUpgrade)
{
    rompack::PartitionSpec tool;
    tool.id = 255;
    tool.type = 1;
    rompack::parse_version("1.0.0.82", &tool.version);
    std::string program = slurp(UPGRADER_BIN);
    tool.payload.assign(program.begin(), program.end());
    std::string pack = t.write_pack(accepted_pack({tool, partition(6, 0x10000, "counter")}));

    // phonesim ends whatever the command leaves running when it ends, so the
    // command outlives the first run and keeps its status.
    std::string first = installed() + "; echo $? > " + t / "/first.status" + "; sleep 100";
    EXPECT_EQ(t.run({"sh", "-c", first}, {"--load", pack, "--state", "0", "--time-limit", "60"}),
              kRebooted)
        << t.output();
    EXPECT_EQ(slurp(t / "/first.status"), "0\n");
    EXPECT_EQ(logged("upgrader_tool_check /tmp/upgrader_tool exist", 7), 1);
    EXPECT_EQ(logged("locked upgrader_tool_process", 7), 1);
    EXPECT_EQ(t.ipc_messages(), Lines{"4,2,0"});
    EXPECT_EQ(records("killapps"), 1u);
    EXPECT_TRUE(t.partition_changed(6));
}

TEST_F(FailureTableOthers, WatchdogThatCannotBeClosedEndsWith190)
{
    ASSERT_EQ(remove((t / "/dev/misc0").c_str()), 0);
    ASSERT_EQ(mkdir((t / "/dev/misc0").c_str(), 0755), 0);

    EXPECT_EQ(t.upgrade(t.write_pack(mtd6_pack()), "file", kRebootKey), kRebooted) << t.output();
    EXPECT_EQ(t.ipc_messages(), kShown);
    EXPECT_EQ(screen_changes(t.report()),
              drawn_screens({failed_screen("Upgrade Failed!", -190), rebooting_screen()}));
    // Three tries; one more may follow the reboot request before the
    // telephone goes down.
    EXPECT_GE(logged("/dev/misc0 open failed", 3), 3);
    EXPECT_TRUE(misc().empty());
    EXPECT_EQ(logged("locked upgrader_process"), 0);
    EXPECT_FALSE(any_partition("changed"));
}

// A missing pack file (-196) and an empty one (-195) end the run before any
// screen or broadcast.
TEST_F(FailureTableOthers, UnreadableRomFileEndsWithTheStatusAlone)
{
    EXPECT_EQ(t.run({installed(), "/tmp/rom.bin"}, {"--time-limit", "60"}), shell_status(-196));
    EXPECT_EQ(logged("/tmp/rom.bin File open failed!", 3), 1);
    EXPECT_TRUE(t.ipc_messages().empty());

    put(t / "/tmp/rom.bin", "");
    EXPECT_EQ(t.run({installed(), "/tmp/rom.bin"}, {"--time-limit", "60"}), shell_status(-195));
    EXPECT_EQ(logged("memory map failed!", 3), 1);
    EXPECT_TRUE(t.ipc_messages().empty());
    EXPECT_FALSE(any_partition("changed"));
}
