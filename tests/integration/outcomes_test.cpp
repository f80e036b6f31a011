// The real upgrader in simulated telephones, judged from outside the way a
// user or a peer would. The reboot is a power cut: nothing the program would
// do after asking for it ever happens.
#include "telephone.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>

using namespace testsupport;

namespace
{

// phonesim's statuses for a reboot from a failure screen, and for an
// upgrade whose program ended without a reboot.
constexpr int kFailureRebooted = 102, kProgramEnded = 103;

const char kKeys[] = "/config/Phone/Key/ProgramableKey.conf";
const char kSaved[] = "/config/autop_retry_save.cfg";
// Made for another model: the check answers -95.
const char kForeign[] = TEST_DATA_DIR "/bad-device-id.pack";

Lines words(const std::string &text)
{
    std::istringstream in(text);
    Lines out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

// A pack the telephone accepts, writing 96 KiB to mtd6 only; with
// "mtdN=START,END" keys, also an MTD layout partition of those.
rompack::PackSpec mtd6_pack(const Lines &layout = {})
{
    std::vector<rompack::PartitionSpec> parts = {partition(6, 0x18000, "counter")};
    if (!layout.empty()) {
        std::string text = "[mtd]\n";
        for (const std::string &key : layout)
            text += key + "\n";
        parts.insert(parts.begin(), rompack::PartitionSpec());
        parts[0].id = 255;
        parts[0].type = 2;
        parts[0].payload.assign(text.begin(), text.end());
    }
    return accepted_pack(parts);
}

// A mid-version pack of OEM 7: the check protects the unprotected telephone
// for OEM 7. mtd5 gets more than one 64 KiB chunk plus a rest; mtd6 carries
// the installed version and is left alone.
rompack::PackSpec mid_pack()
{
    rompack::PartitionSpec installed = partition(6, 300, "counter");
    rompack::parse_version("6.0.0.1", &installed.version);
    rompack::PackSpec pack =
        accepted_pack({partition(5, 70000, "random:5"), installed}, "2.143.7.5");
    pack.oem_id = 7;
    pack.mid_version = 1;
    return pack;
}

// The installed version again: the check answers "same version".
rompack::PackSpec same_version_pack()
{
    return accepted_pack({partition(5, 3000, "random:3")}, "2.143.6.200");
}

// This program again, as a pack carries it.
rompack::PartitionSpec carried_upgrader()
{
    rompack::PartitionSpec tool;
    tool.id = 255;
    tool.type = 1;
    rompack::parse_version("1.0.0.82", &tool.version);
    std::string program = slurp(UPGRADER_BIN);
    tool.payload.assign(program.begin(), program.end());
    return tool;
}

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

void put_exec(const std::string &path, const std::string &content)
{
    put(path, content);
    chmod(path.c_str(), 0755);
}

// The command that runs the installed program as the loader or as file
// mode; it outlives the program, so that a carried upgrader can finish.
Lines outliving_run(const Telephone &t, const std::string &mode)
{
    std::string file = mode == "file" ? " /tmp/rom.bin" : "";
    return {"sh", "-c", t / "/basic/bin/upgrader" + file + "; sleep 100"};
}

} // namespace

// A fresh telephone per case.
class Phone : public ::testing::Test
{
  protected:
    explicit Phone(const std::string &profile = "") : t(profile) {}
    void SetUp() override { ASSERT_TRUE(t.ok()); }

    std::string installed() const { return t / "/basic/bin/upgrader"; }
    // Whether mtd5 holds the pack's first payload, erased after it.
    bool holds_payload(const rompack::PackSpec &pack) const
    {
        std::string payload(pack.partitions[0].payload.begin(), pack.partitions[0].payload.end());
        return t.partition_bytes(5) == payload + std::string(0x100000 - payload.size(), '\xff');
    }

    // Runs a row's command, "run ARGS..." ($UPGRADER the installed program,
    // $PROBE the peer probe, $PHONE the telephone's directory) or "upgrade
    // MODE OPTIONS...", with a row's pack: "mtd6" writes mtd6, "mid" the
    // mid-version pack, "layout KEYS..." mtd6 and an MTD layout of those
    // keys, "same" the installed version again, else a pack file of the
    // test data. The pack is also the telephone's /tmp/rom.bin.
    int run_row(const std::string &command_text, const std::string &pack_text,
                const Lines &options = {})
    {
        Lines command = words(command_text), recipe = words(pack_text);
        std::string pack = recipe[0] == "mtd6"   ? t.write_pack(mtd6_pack())
                           : recipe[0] == "mid"  ? t.write_pack(mid_pack())
                           : recipe[0] == "same" ? t.write_pack(same_version_pack())
                           : recipe[0] == "layout"
                               ? t.write_pack(mtd6_pack({recipe.begin() + 1, recipe.end()}))
                               : TEST_DATA_DIR "/" + recipe[0];
        put(t / "/tmp/rom.bin", slurp(pack));
        for (std::string &w : command)
            w = w == "$UPGRADER"        ? installed()
                : w == "$PROBE"         ? PROBE_BIN
                : w.find("$PHONE") == 0 ? t.dir() + w.substr(6)
                                        : w;
        if (command[0] == "run" && command[1] == "--load") {
            Lines loaded = options;
            loaded.insert(loaded.end(), {"--load", pack});
            return t.run(Lines(command.begin() + 2, command.end()), loaded);
        }
        if (command[0] == "run")
            return t.run(Lines(command.begin() + 1, command.end()), options);
        command.insert(command.end(), options.begin(), options.end());
        return t.upgrade(pack, command[1], Lines(command.begin() + 2, command.end()));
    }

    Telephone t;
};

// How runs without a failure screen, or without a keypad, end
// (tests/data/run-endings.rows).
class Endings : public Phone, public ::testing::WithParamInterface<Row>
{
  protected:
    enum { kSetUp = 1, kCommand, kPack, kEnding, kLogLine, kLogLevel, kNotLogged };
    enum { kBroadcasts = kNotLogged + 1, kKillRuns, kWritten, kCopies, kWatchdog, kLocks };
};

TEST_P(Endings, EndAsTheUserAndThePeersSeeIt)
{
    const Row &row = GetParam();
    Lines setup = words(row[kSetUp]);
    if (!setup.empty() && setup[0] == "gone") {
        ASSERT_EQ(rename((t / setup[1]).c_str(), (t / setup[1] + ".gone").c_str()), 0);
    } else if (!setup.empty()) {
        mkdir((t / setup[1].substr(0, setup[1].rfind('/'))).c_str(), 0755); // may be there
        put_exec(t / setup[1], setup[0] == "upgrader-at" ? slurp(UPGRADER_BIN)
                               : setup[0] == "failing"   ? "#!/bin/sh\nexit 1\n"
                                                         : "");
    }
    int status = run_row(row[kCommand], row[kPack]);
    Lines ending = words(row[kEnding]);
    // An upgrade's program status is phonesim's to show, signed.
    bool upgrade = row[kCommand].compare(0, 7, "upgrade") == 0;
    if (ending[0] == "exit" && upgrade) {
        EXPECT_EQ(status, kProgramEnded) << t.output();
        EXPECT_NE(t.output().find("ending:      the program ended without a reboot, status " +
                                  ending[1] + " ("),
                  std::string::npos)
            << t.output();
    } else {
        EXPECT_EQ(status, ending[0] == "exit"  ? std::stoi(ending[1]) & 0xFF
                          : ending.size() == 1 ? kRebooted
                                               : kFailureRebooted)
            << t.output();
    }
    if (!row[kLogLine].empty()) {
        EXPECT_EQ(t.logged(row[kLogLine], std::stoi(row[kLogLevel])), 1) << row[kLogLine];
    }
    if (!row[kNotLogged].empty()) {
        EXPECT_EQ(t.logged(row[kNotLogged]), 0) << row[kNotLogged];
    }
    if (row[kBroadcasts] != "*") {
        EXPECT_EQ(t.ipc_messages(), words(row[kBroadcasts]));
    }
    EXPECT_EQ(t.records("killapps").size(), std::stoul(row[kKillRuns]));
    EXPECT_EQ(t.partitions(), row[kWritten]);
    if (row[kCopies] == "yes") {
        EXPECT_TRUE(exists(t / "/tmp/reboot") && exists(t / "/tmp/bin/cat"));
    }
    if (row[kWatchdog] != "*") {
        std::string requests;
        for (const std::string &line : t.misc())
            requests += line.substr(line.rfind(' '));
        EXPECT_EQ(requests.empty() ? "none" : requests.substr(1), row[kWatchdog]);
    }
    if (row[kLocks] != "*") {
        std::string locks;
        for (const char *name : {"upgrader_process", "upgrader_tool_process", "memory_semid",
                                 "cfg_semid", "burn_flash_semid"}) {
            const json &value = t.report()["sysv"]["locks"][name];
            locks += (locks.empty() ? "" : " ") + (value.is_null() ? "-" : value.dump());
        }
        EXPECT_EQ(locks, row[kLocks]);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Endings,
                         ::testing::ValuesIn(rows(TEST_DATA_DIR "/run-endings.rows")),
                         [](const ::testing::TestParamInfo<Row> &info) { return info.param[0]; });

TEST_F(Phone, TwoUpgradersStartedTogetherWriteOnce)
{
    // The reboot only records itself, so that the loser's log is complete
    // whatever the order. Both copy /bin to /tmp at start-up, before either
    // takes a lock; a long cat started a little later keeps the second copy
    // going while the first runs the copied cat for its check.
    put_exec(t / "/sbin/reboot", "#!/bin/sh\necho reboot >> \"$UPGRADER_ROOT/reboot.log\"\n");
    put_exec(t / "/bin/cat", slurp(t / "/bin/cat") + std::string(30 << 20, '\0'));
    ASSERT_EQ(symlink("cat", (t / "/bin/kitty").c_str()), 0); // busybox style
    put(t / "/tmp/rom.bin", slurp(t.write_pack(mtd6_pack())));
    std::string program = installed() + " /tmp/rom.bin";

    int status = t.run({"sh", "-c", program + " & sleep 0.02; " + program + " & wait"},
                       {"--time-limit", "20"});
    EXPECT_EQ(status, 0) << t.output();
    EXPECT_EQ(t.logged("rom pack check failed!"), 0);
    EXPECT_EQ(t.logged("locked upgrader_process"), 1);
    EXPECT_EQ(t.logged("lock upgrader_process failed"), 1);
    EXPECT_EQ(t.logged("upgrader-1 completed!"), 1);
    EXPECT_EQ(t.ipc_messages(), Lines{"4,2,0"});
    EXPECT_EQ(t.records("killapps").size(), 1u);
    EXPECT_EQ(slurp(t / "/reboot.log"), "reboot\n");
    EXPECT_EQ(t.partitions(), "6");
    char link[8] = {};
    EXPECT_EQ(readlink((t / "/tmp/bin/kitty").c_str(), link, sizeof(link) - 1), 3) << link;
}

// A crash ends the run with the signal's status, not with success, and is
// logged like any other line. The kill script plays the crash.
TEST_F(Phone, CrashDuringTheUpgradeEndsWithTheSignalsStatus)
{
    put_exec(t / "/app/scripts/killapps.sh", "#!/bin/sh\ncd \"$UPGRADER_ROOT\"\n"
                                             "while [ ! -s pid ]; do sleep 0.1; done\n"
                                             "kill -SEGV $(cat pid)\n");
    put(t / "/tmp/rom.bin", slurp(t.write_pack(mtd6_pack())));
    std::string program = installed() + " /tmp/rom.bin";
    EXPECT_EQ(t.run({"sh", "-c", program + " & echo $! > \"$UPGRADER_ROOT/pid\"; wait $!"}),
              128 + SIGSEGV)
        << t.output();
    EXPECT_EQ(t.logged("Catch a signal SIGSEGV, thread id ", 3), 1);
    EXPECT_EQ(t.partitions(), "");
}

// A kill script that never ends is given up while the user can still be told.
TEST_F(Phone, KillScriptThatHangsFailsTheUpgrade)
{
    put_exec(t / "/app/scripts/killapps.sh", "#!/bin/sh\nexec sleep 1000\n");
    Lines options = {"--keys", "0:35", "--time-limit", "30"};
    EXPECT_EQ(t.upgrade(t.write_pack(mtd6_pack()), "file", options), kFailureRebooted)
        << t.output();
    EXPECT_EQ(t.logged("killapps.sh retry -1 times...", 4), 1);
    Lines seen = t.screens();
    EXPECT_EQ(Lines(seen.end() - std::min<size_t>(seen.size(), 2), seen.end()),
              drawn_screens({"failed -192 Killapps Failed!", "rebooting"}));
    EXPECT_EQ(t.partitions(), "");
}

// Once the reboot key is pressed during the countdown, "Rebooting..." stays:
// the countdown neither draws over it nor asks for the reboot itself, even
// when the reboot does not come (no reboot tool works here).
TEST_F(Phone, RebootKeyStopsTheCountdown)
{
    put_exec(t / "/sbin/reboot", "#!/bin/sh\nexit 1\n");
    Lines options = {"--state",       "1",    "--keys",       "1:35",
                     "--pause-scale", "0.25", "--time-limit", "6"};
    EXPECT_EQ(t.upgrade(kForeign, "shm", options), kTimeLimit) << t.output();
    Lines seen = t.screens();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), drawn_screens({"rebooting"})[0]);
}

// An accepted pack in file or shared-memory mode, on a telephone whose ROM
// version calls for the auto-provision housekeeping (59.x.3.y and below:
// provisioning files kept, line key 8 given up) or not. The housekeeping
// belongs to upgrades loaded by auto-provisioning: not in file mode.
class Upgrade : public Phone,
                public ::testing::WithParamInterface<std::tuple<const char *, const char *, bool>>
{
  protected:
    Upgrade() : Phone(std::string("{\"rom_version\": \"") + std::get<1>(GetParam()) + "\"}") {}
};

// A provisioning file whose name is a shell command stays a file name: no
// PWNED appears in the telephone or in the working directory of the run.
TEST_P(Upgrade, WritesFlaggedPartitionsTellsPeersAndReboots)
{
    TempDir cwd;
    char saved_cwd[4096];
    ASSERT_NE(getcwd(saved_cwd, sizeof(saved_cwd)), nullptr);
    ASSERT_EQ(chdir(cwd.path().c_str()), 0);
    put(t / "/tmp/a.cfg", "account.1.enable = 1\nstatic.auto_provision.server.url = http://p\n");
    put(t / "/tmp/x;touch PWNED;.cfg", "hostile = 1\n");
    std::string keys = slurp(t / kKeys);
    rompack::PackSpec pack = mid_pack();
    EXPECT_EQ(t.upgrade(t.write_pack(pack), std::get<0>(GetParam())), kRebooted) << t.output();
    EXPECT_EQ(chdir(saved_cwd), 0);

    EXPECT_TRUE(holds_payload(pack));
    EXPECT_EQ(t.partitions(), "5");
    EXPECT_EQ(t.ipc_messages(), Lines{"4,2,0"});
    EXPECT_EQ(t.records("killapps"), Lines{"killapps.sh"});
    // The watchdog is closed before the upgrade and the closing log line
    // comes after the reboot request: the power cut leaves neither undone.
    EXPECT_EQ(t.misc(), Lines{"MISC_IOCS_WATCHDOG 0"});
    EXPECT_FALSE(t.logged("upgrader-1 completed!"));
    // One partition of 16 blocks and one full chunk: the bar moves through
    // the erase from 15, to the write at 57, and ends full.
    Lines bar;
    for (int block = 0; block < 16; ++block)
        bar.push_back("progress " + std::to_string(15 + block * 42 / 16));
    bar.insert(bar.end(), {"progress 57", "progress 100"});
    EXPECT_EQ(t.screens(), drawn_screens(bar));
    Lines writes;
    for (const json &w : t.report()["bootenv"]["writes"])
        writes.push_back(w["line"]);
    EXPECT_EQ(writes, (Lines{"SW_protect 1", "SW_OEM 7", "MID_VERSION 1"}));
    EXPECT_NE(slurp(t / "/.phonesim/bootenv").find("SW_OEM 7\n"), std::string::npos)
        << "kept for the next boot";

    for (const std::string &dir : {t.dir(), cwd.path()})
        EXPECT_NE(system(("find '" + dir + "' -name PWNED | grep -q .").c_str()), 0) << dir;
    std::string saved = slurp(t / kSaved), edited = slurp(t / kKeys);
    if (std::get<2>(GetParam())) {
        // Each file's lines with the URL lines blanked; the reboot line last.
        EXPECT_NE(saved.find("account.1.enable = 1\n"), std::string::npos) << saved;
        EXPECT_NE(saved.find("hostile = 1\n"), std::string::npos) << saved;
        EXPECT_EQ(saved.find("http://p"), std::string::npos) << saved;
        EXPECT_EQ(saved.substr(saved.rfind('\n', saved.size() - 2) + 1),
                  "Config.Autoprovision.Reboot.Enable = 1 \n");
        EXPECT_EQ(edited.find("[ LINEKEY8 ]"), std::string::npos);
        EXPECT_NE(edited.find("[ LINEKEY8_NOUSED ]"), std::string::npos);
    } else {
        EXPECT_FALSE(exists(t / kSaved));
        EXPECT_EQ(edited, keys);
    }
}

INSTANTIATE_TEST_SUITE_P(ModeAndRom, Upgrade,
                         ::testing::Values(std::make_tuple("file", "59.1.3.5", false),
                                           std::make_tuple("shm", "59.1.3.5", true),
                                           std::make_tuple("shm", "59.1.4.5", false)));

class SameVersion : public Phone, public ::testing::WithParamInterface<const char *>
{
};

// The installed version again: the bar runs through and the telephone
// reboots before anything is written.
TEST_P(SameVersion, RunsTheBarAndRebootsWithoutWriting)
{
    put(t / "/config/upgrader_autop", "1\n");
    EXPECT_EQ(t.upgrade(t.write_pack(same_version_pack()), GetParam()), kRebooted) << t.output();
    EXPECT_EQ(t.partitions(), "");
    EXPECT_FALSE(exists(t / "/config/upgrader_autop"));
    EXPECT_EQ(t.records("killapps"), Lines{"killapps.sh"});
    EXPECT_EQ(t.ipc_messages(), Lines{"4,2,0"});
    Lines bar = {"progress 100"};
    for (int percent = 95; percent >= 15; percent -= 10)
        bar.insert(bar.begin(), "progress " + std::to_string(percent));
    EXPECT_EQ(t.screens(), drawn_screens(bar));
}

INSTANTIATE_TEST_SUITE_P(Modes, SameVersion, ::testing::Values("file", "shm"));

TEST_F(Phone, CarriedUpgraderTakesOverTheUpgrade)
{
    std::string pack =
        t.write_pack(accepted_pack({carried_upgrader(), partition(6, 0x10000, "counter")}));

    // phonesim ends whatever the command leaves running when it ends, so the
    // command outlives the first run and keeps its status.
    std::string first = installed() + "; echo $? > " + t / "/first.status" + "; sleep 100";
    EXPECT_EQ(t.run({"sh", "-c", first}, {"--load", pack, "--state", "0", "--time-limit", "60"}),
              kRebooted)
        << t.output();
    EXPECT_EQ(slurp(t / "/first.status"), "0\n");
    EXPECT_EQ(t.logged("upgrader_tool_check /tmp/upgrader_tool exist", 7), 1);
    EXPECT_EQ(t.logged("locked upgrader_tool_process", 7), 1);
    EXPECT_EQ(t.ipc_messages(), Lines{"4,2,0"});
    EXPECT_EQ(t.records("killapps").size(), 1u);
    EXPECT_EQ(t.partitions(), "6");
}

// The failure table (tests/data/failure-screens.rows): every failure with a
// screen shows it with its ID after the one broadcast before it, logs the
// text at error level and reboots once the key comes; phonesim's summary
// begins with the screen's text.
class FailureTable : public Phone, public ::testing::WithParamInterface<Row>
{
  protected:
    FailureTable() : Phone(GetParam()[6].empty() ? "" : "{" + GetParam()[6] + "}") {}
};

TEST_P(FailureTable, ShowsTheScreenAndRebootsOnTheKey)
{
    const Row &row = GetParam();
    Lines flash = words(row[9]), options = {"--time-limit", "60"};
    if (row[7].find("--keys") == std::string::npos)
        options.insert(options.end(), {"--keys", "3:35"});
    int status = run_row(row[7], row[8], options);

    EXPECT_EQ(status, kFailureRebooted) << t.output();
    EXPECT_NE(t.output().find("ending:      rebooted from the failure screen: " + row[1]),
              std::string::npos)
        << t.output();
    EXPECT_EQ(t.ipc_messages(), words(row[3]));
    EXPECT_EQ(t.logged(row[1], 3), 1);
    if (!row[4].empty()) {
        EXPECT_EQ(t.logged(row[4], std::stoi(row[5])), 1) << row[4];
    }
    Lines screens = drawn_screens({"failed " + row[2] + " " + row[1], "rebooting"});
    Lines seen = t.screens();
    EXPECT_NE(std::find(seen.begin(), seen.end(), screens[0]), seen.end()) << row[2];
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), screens.back()) << "the key was taken as the reboot key";
    if (flash[0] == "moves") {
        EXPECT_EQ(t.partition(std::stoi(flash[1]))["moved"], true);
        EXPECT_EQ(t.partition(6)["changed"], false);
    } else if (flash[0] == "untouched" || flash[0] == "unmoved") {
        EXPECT_EQ(t.partitions(), "");
        EXPECT_EQ(t.partitions("moved"), "");
    }
    if (flash[0] == "untouched") {
        EXPECT_EQ(t.report()["files"]["removed"].dump().find("/config"), std::string::npos);
        EXPECT_EQ(t.report()["bootenv"]["changes"], json::array());
    }
    if (!row[10].empty()) {
        EXPECT_EQ(t.records("umount").size(), std::stoul(row[10]));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, FailureTable,
                         ::testing::ValuesIn(rows(TEST_DATA_DIR "/failure-screens.rows")),
                         [](const ::testing::TestParamInfo<Row> &info) { return info.param[0]; });

TEST_F(Phone, AutoProvisionLoadFailedCountsDownAndReboots)
{
    // No key: the countdown reboots by itself (pauses scaled to nothing).
    EXPECT_EQ(t.upgrade(t.write_pack(mtd6_pack()), "shm", {"--state=-2", "--time-limit", "60"}),
              kFailureRebooted)
        << t.output();
    EXPECT_EQ(t.logged("upgrader_state is failed", 6), 1);
    EXPECT_EQ(t.ipc_messages(), Lines{"3,0,0"});
    ASSERT_FALSE(t.screens().empty());
    EXPECT_EQ(t.screens()[0], drawn_screens({"countdown -199 60"})[0]);
    EXPECT_EQ(t.logged("Load Rom Failed!"), 0) << "no failure screen of its own";
    EXPECT_EQ(t.partitions(), "");
    // The failed load is given back while the countdown runs.
    EXPECT_EQ(t.report()["sysv"]["locks"]["memory_semid"], 1);
    EXPECT_EQ(t.report()["sysv"]["upgrade_memory"], false);
}

TEST_F(Phone, AutoProvisionedRefusedPackCountsDownAndReboots)
{
    EXPECT_EQ(t.upgrade(kForeign, "shm", {"--state", "1"}), kFailureRebooted) << t.output();
    EXPECT_EQ(t.ipc_messages(), (Lines{"4,1,0", "3,0,0"}));
    Lines screens;
    for (int seconds = 60; seconds >= 1; --seconds)
        screens.push_back("countdown -95 " + std::to_string(seconds));
    screens.push_back("rebooting");
    EXPECT_EQ(t.screens(), drawn_screens(screens));
}

// A release or an auto-repeat of the reboot key, or another key, is no
// press of the reboot key. The probe writes them once the failure screen
// listens and signs when they have all been read; the run then goes on to
// its time limit without a reboot.
TEST_F(Phone, ReleaseRepeatOrOtherKeyDoNotReboot)
{
    put(t / "/tmp/bad.pack", slurp(kForeign));
    put(t / "/tmp/events",
        key_event(35, 0) + key_event(35, 2) + key_event(34, 1) + key_event(34, 0));
    std::string script = "\"$1\" /tmp/bad.pack & exec \"$2\" keys \"$3\" \"$4\" \"$5\"";
    EXPECT_EQ(t.run({"sh", "-c", script, "sh", installed(), PROBE_BIN, t / "/dev/input/event0",
                     t / "/tmp/events_read", t / "/tmp/events"},
                    {"--time-limit", "20"}),
              kTimeLimit)
        << t.output();
    EXPECT_TRUE(exists(t / "/tmp/events_read")) << "the keys were read";
    EXPECT_EQ(t.screens(), drawn_screens({"failed -95 Rom check Failed!"}));
    EXPECT_TRUE(t.records("killapps").empty());
}

// A carried upgrader checks the whole pack before anything stops: here the
// model, checked after the partitions. In shared-memory mode the carried
// upgrader refuses it after the relaunch; /config stays as it was.
class CarriedUpgraderForAnotherModel : public Phone,
                                       public ::testing::WithParamInterface<const char *>
{
};

TEST_P(CarriedUpgraderForAnotherModel, IsRefusedWithNothingStoppedOrWritten)
{
    rompack::PackSpec recipe =
        accepted_pack({partition(6, 0x10000, "counter"), carried_upgrader()});
    recipe.device_id = 55;
    const std::string mode = GetParam(), pack = t.write_pack(recipe);
    Lines options = {"--keys", "3:35", "--time-limit", "60", "--load", pack, "--state", "0"};
    int status = mode == "shm" ? t.run(outliving_run(t, mode), options)
                               : t.upgrade(pack, mode, Lines(options.begin(), options.begin() + 4));
    if (mode != "direct") {
        EXPECT_EQ(status, kFailureRebooted) << t.output();
        EXPECT_EQ(t.logged("rom pack check failed! ID:-95", 3), 1);
    } else {
        EXPECT_EQ(status, kProgramEnded) << t.output();
        EXPECT_NE(t.output().find("status -194 (direct mode failed)"), std::string::npos);
    }
    EXPECT_TRUE(t.records("killapps").empty());
    EXPECT_EQ(t.partitions(), "");
    EXPECT_TRUE(exists(t / "/config/etc/hosts"));
}

INSTANTIATE_TEST_SUITE_P(Modes, CarriedUpgraderForAnotherModel,
                         ::testing::Values("file", "direct", "shm"));

// The configuration saver's lock (the boot's first semaphore: identifier 0)
// is waited for, and a run gives back only what it took.
TEST_F(Phone, ConfigurationSaverIsWaitedForAndKeepsItsLock)
{
    std::string pack = t.write_pack(mtd6_pack());
    EXPECT_EQ(t.upgrade(pack, "file", {"--saver-hold", "0.3", "--pause-scale", "0.2"}), kRebooted)
        << t.output();
    EXPECT_EQ(t.report()["sysv"]["locks"]["cfg_semid"], 0) << "held by the upgrade";
    EXPECT_EQ(t.partitions(), "6");
    // The saver outlasts the wait, then the kill script fails.
    put_exec(t / "/app/scripts/killapps.sh", "#!/bin/sh\nexit 1\n");
    EXPECT_EQ(t.upgrade(pack, "file", {"--saver-hold", "60", "--keys", "3:35"}), kFailureRebooted);
    EXPECT_EQ(t.logged("Killapps Failed!"), 1);
    EXPECT_EQ(t.report()["sysv"]["locks"]["cfg_semid"], 0) << "still the saver's";
}

// phonesim's default windows as layout keys, some of them replaced.
Lines layout_with(const Lines &changes)
{
    Lines keys = {"mtd0=90000000,90020000", "mtd1=90020000,90120000", "mtd2=90120000,90320000",
                  "mtd3=90320000,90330000", "mtd4=90330000,903b0000", "mtd5=903b0000,904b0000",
                  "mtd6=904b0000,906b0000", "mtd7=906b0000,90730000", "mtd8=90730000,907b0000",
                  "mtd9=907b0000,90800000"};
    for (const std::string &key : changes)
        keys[size_t(key[3] - '0')] = key;
    return keys;
}

// A configuration modification "k=1".
rompack::PartitionSpec config_modify()
{
    rompack::PartitionSpec modify;
    modify.id = 255, modify.type = 3, modify.payload = {'k', '=', '1', '\n'};
    return modify;
}

// The windows of the flash image before a run, by partition.
std::string window_bytes(const std::string &flash, uint32_t start, uint32_t end)
{
    return flash.substr(start - 0x90000000u, end - start);
}

// A telephone whose ROM version calls for the auto-provision housekeeping.
class LayoutMove : public Phone, public ::testing::WithParamInterface<const char *>
{
  protected:
    LayoutMove() : Phone("{\"rom_version\": \"59.1.3.5\"}") {}
};

// mtd3 and mtd4 slide down two blocks, mtd2 shrinks and mtd5 grows; the pack
// writes mtd5 and mtd6 and brings a configuration modification. The last
// save of the applications, made as they stop, must survive the move, and
// so must the housekeeping of the finished upgrade, although /config is
// unmounted for the move.
TEST_P(LayoutMove, KeepsEnvironmentConfigurationAndHousekeeping)
{
    rompack::PackSpec pack =
        mtd6_pack(layout_with({"mtd2=90120000,90300000", "mtd3=90300000,90310000",
                               "mtd4=90310000,90390000", "mtd5=90390000,904b0000"}));
    pack.partitions.push_back(partition(5, 70000, "random:5"));
    pack.partitions.push_back(config_modify());
    put_exec(t / "/app/scripts/killapps.sh",
             "#!/bin/sh\ncd \"$UPGRADER_ROOT\"\n"
             "[ ! -e tmp/mtdblock4 ] || echo copied >> early\ncmp -s .phonesim/layout layout0 || "
             "echo moved >> early\n"
             "printf saved | dd of=dev/mtd4 bs=1 seek=8192 conv=notrunc 2>/dev/null\n");
    put(t / "/layout0", slurp(t / "/.phonesim/layout"));
    std::string flash = slurp(t / "/.phonesim/flash.img");
    std::string config = window_bytes(flash, 0x90330000, 0x903b0000).replace(0x2000, 5, "saved");

    put(t / "/config/upgrader_autop", "1\n");
    EXPECT_EQ(t.upgrade(t.write_pack(pack), GetParam()), kRebooted) << t.output();
    EXPECT_FALSE(exists(t / "/early")) << slurp(t / "/early");
    EXPECT_EQ(t.partitions("moved"), "2 3 4 5");
    std::string recorded; // for the next boot's partition table
    for (const auto &change : t.report()["bootenv"]["changes"])
        recorded +=
            change["name"].get<std::string>() + " " + change["after"].get<std::string>() + ";";
    EXPECT_EQ(recorded, "mtd2 90120000,90300000;mtd3 90300000,90310000;mtd4 90310000,90390000;"
                        "mtd5 90390000,904b0000;");
    EXPECT_EQ(t.partition_bytes(3), window_bytes(flash, 0x90320000, 0x90330000));
    EXPECT_EQ(t.partition_bytes(4), config);
    EXPECT_EQ(t.partition_bytes(5).substr(0, 70000),
              std::string(pack.partitions[2].payload.begin(), pack.partitions[2].payload.end()));
    EXPECT_EQ(t.partition_bytes(5).substr(70000), std::string(0x120000 - 70000, '\xff'));
    EXPECT_EQ(t.partition(6)["changed"], true);
    EXPECT_EQ(slurp(t / "/config/config_modify"), "k=1\n");
    EXPECT_FALSE(exists(t / "/config/config_modify.new"));
    EXPECT_FALSE(exists(t / "/config/upgrader_autop"));
    const bool shm = std::string(GetParam()) == "shm";
    EXPECT_EQ(exists(t / kSaved), shm);
    EXPECT_EQ(slurp(t / kKeys).find("[ LINEKEY8_NOUSED ]") != std::string::npos, shm);
    EXPECT_EQ(exists(t / "/config/etc/hosts"), false);
}

INSTANTIATE_TEST_SUITE_P(Modes, LayoutMove, ::testing::Values("file", "shm"));

class PhoneThatCannotMovePartitions : public Phone
{
  protected:
    PhoneThatCannotMovePartitions() : Phone("{\"mtd_move_supported\": false}") {}
};

// Only the kernel is written, on the layout of today.
TEST_F(PhoneThatCannotMovePartitions, GetsOnlyTheKernel)
{
    rompack::PackSpec pack =
        mtd6_pack(layout_with({"mtd6=904b0000,906a0000", "mtd7=906a0000,90730000"}));
    pack.partitions.push_back(partition(1, 5000, "counter"));
    EXPECT_EQ(t.upgrade(t.write_pack(pack), "file"), kRebooted) << t.output();
    EXPECT_EQ(t.partitions(), "1");
    EXPECT_EQ(t.partitions("moved"), "");
}

// A refused pack of OEM 7 with mid version on an unprotected telephone of no
// OEM, which an accepted one would protect for OEM 7, changes nothing.
TEST_F(Phone, PackRefusedForTheVariantChangesNothing)
{
    rompack::PackSpec pack = mid_pack();
    pack.match_id[0] = 3;
    pack.partitions.insert(pack.partitions.begin(), config_modify());
    EXPECT_EQ(t.upgrade(t.write_pack(pack), "file", {"--keys", "3:35"}), kFailureRebooted)
        << t.output();
    EXPECT_EQ(t.logged("rom pack check failed! ID:-94", 3), 1);
    EXPECT_EQ(t.report()["bootenv"]["writes"], json::array());
    EXPECT_EQ(t.report()["files"]["created"].dump().find("/config"), std::string::npos);
}

// A local user can write /tmp, where the program keeps its working files
// and its copies of the tools: nothing planted there runs or takes a write.
const char kPlantedScript[] = "#!/bin/sh\necho x > \"$UPGRADER_ROOT/planted.mark\"\n";

class PlantedUpgraderTool : public Phone,
                            public ::testing::WithParamInterface<std::tuple<std::string, bool>>
{
};

// Only the upgrader this run's pack carries is started; without one the
// pack's own upgrade runs.
TEST_P(PlantedUpgraderTool, NeverRuns)
{
    bool carried = std::get<1>(GetParam());
    put_exec(t / "/tmp/upgrader_tool", kPlantedScript);
    rompack::PackSpec recipe = mtd6_pack();
    if (carried)
        recipe.partitions.insert(recipe.partitions.begin(), carried_upgrader());
    std::string pack = t.write_pack(recipe);
    put(t / "/tmp/rom.bin", slurp(pack));
    EXPECT_EQ(t.run(outliving_run(t, std::get<0>(GetParam())),
                    {"--load", pack, "--state", "0", "--time-limit", "60"}),
              kRebooted)
        << t.output();
    EXPECT_FALSE(exists(t / "/planted.mark"));
    EXPECT_EQ(t.logged("upgrader_tool_check"), carried ? 1 : 0);
    EXPECT_EQ(t.logged("locked upgrader_tool_process"), carried ? 1 : 0);
    EXPECT_EQ(t.partitions(), "6");
}

INSTANTIATE_TEST_SUITE_P(ModeAndCarried, PlantedUpgraderTool,
                         ::testing::Values(std::make_tuple("shm", false),
                                           std::make_tuple("file", false),
                                           std::make_tuple("shm", true)));

// Links to /config at every name the program writes in /tmp: the carried
// upgrader takes over and the layout moves mtd3 and mtd4, so each is made.
TEST_F(Phone, LinksPlantedInTmpLeaveTheirTargetsAlone)
{
    const Lines names = {"reboot",    "upgrader_tool",      "mtd.conf",     "mtdblock3",
                         "mtdblock4", "avalanche_env_file", "ver_software", "ver_hardware"};
    for (const std::string &name : names) {
        put(t / ("/config/kept_" + name), name);
        chmod((t / ("/config/kept_" + name)).c_str(), 0600);
        ASSERT_EQ(symlink(("../config/kept_" + name).c_str(), (t / ("/tmp/" + name)).c_str()), 0);
    }
    rompack::PackSpec recipe =
        mtd6_pack(layout_with({"mtd3=907f0000,90800000", "mtd4=90730000,907b0000",
                               "mtd8=90330000,903b0000", "mtd9=907b0000,907f0000"}));
    recipe.partitions.insert(recipe.partitions.begin(), carried_upgrader());
    EXPECT_EQ(t.run(outliving_run(t, "shm"),
                    {"--load", t.write_pack(recipe), "--state", "0", "--time-limit", "60"}),
              kRebooted)
        << t.output();
    EXPECT_EQ(t.logged("locked upgrader_tool_process"), 1);
    EXPECT_EQ(t.partitions("moved"), "3 4 8 9");
    for (const std::string &name : names) {
        struct stat st = {}, kept = {};
        lstat((t / ("/config/kept_" + name)).c_str(), &kept);
        lstat((t / ("/tmp/" + name)).c_str(), &st);
        EXPECT_EQ(slurp(t / ("/config/kept_" + name)), name);
        EXPECT_EQ(kept.st_mode & 0777, 0600u) << name;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
        EXPECT_EQ(st.st_mode & (name == "reboot" ? 022 : 077), 0u) << name;
    }
}

// The names and contents of a directory's entries, sorted.
std::string listing(const std::string &dir)
{
    Lines entries;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        entries.push_back(e.path().filename().string() + "=" + slurp(e.path()));
    std::sort(entries.begin(), entries.end());
    std::string out;
    for (const std::string &e : entries)
        out += e + "\n";
    return out;
}

class PlantedToolCopies : public Phone, public ::testing::WithParamInterface<bool>
{
};

// A /tmp/bin made beforehand, a link to a directory (GetParam()) or a
// directory anyone may write, with a cat and an umount of its own: the
// copies of /bin run, and the link's directory stays as it was.
TEST_P(PlantedToolCopies, AreNotRun)
{
    std::string fakes = GetParam() ? t / "/config/tools" : t / "/tmp/bin";
    ASSERT_EQ(mkdir(fakes.c_str(), 0777), 0);
    ASSERT_EQ(chmod(fakes.c_str(), 0777), 0);
    put_exec(fakes + "/cat", kPlantedScript);
    put_exec(fakes + "/umount", kPlantedScript);
    ASSERT_TRUE(!GetParam() || symlink("../config/tools", (t / "/tmp/bin").c_str()) == 0);
    std::string before = listing(fakes);
    rompack::PackSpec pack =
        mtd6_pack(layout_with({"mtd4=90730000,907b0000", "mtd8=90330000,903b0000"}));
    EXPECT_EQ(t.upgrade(t.write_pack(pack), "file"), kRebooted) << t.output();
    EXPECT_FALSE(exists(t / "/planted.mark"));
    EXPECT_FALSE(t.records("umount").empty());
    EXPECT_EQ(t.partitions("moved"), "4 8");
    if (GetParam()) {
        EXPECT_EQ(listing(fakes), before);
    }
    struct stat st = {};
    EXPECT_TRUE(lstat((t / "/tmp/bin").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 022, 0u);
}

INSTANTIATE_TEST_SUITE_P(LinkOrDirectory, PlantedToolCopies, ::testing::Bool());
