// How upgrades end, judged from outside the program: the telephone reboots
// or not, what the LCD showed, what the peers heard, what the flash, the boot
// environment and the configuration files hold afterwards. The reboot is a
// power cut in the simulated telephone: nothing the program would do after
// asking for it ever happens.
#include "screens.h"
#include "telephone.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

using namespace testsupport;
using nlohmann::json;
using Lines = std::vector<std::string>;

namespace
{

// The check's answer to a pack made for another model (device 60 here).
const int kMachineIdErr = -95;
const char kKeys[] = "/config/Phone/Key/ProgramableKey.conf";
const char kSaved[] = "/config/autop_retry_save.cfg";

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

// A pack the check refuses: made for another model.
rompack::PackSpec foreign_pack()
{
    rompack::PackSpec pack = accepted_pack({partition(5, 1000, "random:9")});
    pack.device_id = 60;
    return pack;
}

// The installed version again: the check answers "same version".
rompack::PackSpec same_version_pack()
{
    return accepted_pack({partition(5, 3000, "random:3")}, "2.143.6.200");
}

// A profile with the installed ROM version; the auto-provision housekeeping
// looks at it (as read before the write).
std::string with_rom(const std::string &version)
{
    return "{\"rom_version\": \"" + version + "\"}";
}

// A test name for an upgrade state: state0, state_minus3.
std::string state_name(int state)
{
    return state < 0 ? "state_minus" + std::to_string(-state) : "state" + std::to_string(state);
}

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

} // namespace

// A fresh telephone per case (with the given profile), and what the cases
// read from its report.
class Phone : public ::testing::Test
{
  protected:
    explicit Phone(const std::string &profile = "") : phone(profile) {}
    void SetUp() override { ASSERT_TRUE(phone.ok()); }

    Lines killapps() const { return phone.report()["records"].value("killapps", Lines{}); }
    Lines misc() const { return phone.report().value("misc", Lines{}); }
    // Paths the run created, changed or removed (what).
    Lines files(const char *what) const
    {
        Lines out;
        for (const json &f : phone.report()["files"].value(what, json::array()))
            out.push_back(f["path"]);
        return out;
    }
    // The partitions whose bytes the run changed.
    std::vector<int> changed() const
    {
        std::vector<int> out;
        for (int n = 0; n < 10; ++n)
            if (phone.partition_changed(n))
                out.push_back(n);
        return out;
    }
    // Whether mtd5 starts with the pack's payload and is erased after it.
    bool holds_payload(const rompack::PackSpec &pack) const
    {
        std::string expected(pack.partitions[0].payload.begin(), pack.partitions[0].payload.end());
        std::string written = phone.partition_bytes(5);
        return written.compare(0, expected.size(), expected) == 0 &&
               written.find_first_not_of('\xff', expected.size()) == std::string::npos;
    }

    Telephone phone;
};

// ---------------------------------------------------------------- file mode

// A telephone whose ROM version would call for the housekeeping.
class FileModeUpgrade : public Phone
{
  protected:
    FileModeUpgrade() : Phone(with_rom("59.1.3.5")) {}
};

TEST_F(FileModeUpgrade, WritesFlaggedPartitionsTellsPeersAndReboots)
{
    // Auto-provision leftovers stay: the housekeeping belongs to upgrades
    // loaded by auto-provisioning.
    put(phone / "/tmp/a.cfg", "auto.url = http://x\n");
    std::string keys = slurp(phone / kKeys);
    rompack::PackSpec pack = mid_pack();
    EXPECT_EQ(phone.upgrade(phone.write_pack(pack), "file"), kRebooted) << phone.output();

    EXPECT_EQ(phone.partition_bytes(5).size(), 0x100000u);
    EXPECT_TRUE(holds_payload(pack));
    EXPECT_EQ(changed(), std::vector<int>{5});
    EXPECT_EQ(phone.ipc_messages(), Lines{"4,2,0"});
    EXPECT_EQ(killapps(), Lines{"killapps.sh"});
    // The watchdog is closed before the upgrade and the closing log line
    // comes after the reboot request: the power cut leaves neither undone.
    EXPECT_EQ(misc(), Lines{"MISC_IOCS_WATCHDOG 0"});
    EXPECT_FALSE(phone.logged("upgrader-1 completed!"));

    // One partition of 16 blocks and one full chunk: the bar moves through
    // the erase from 15, to the write at 57, and ends full.
    std::vector<Screen> bar;
    for (int block = 0; block < 16; ++block)
        bar.push_back(progress_screen(15 + block * 42 / 16));
    bar.push_back(progress_screen(57));
    bar.push_back(progress_screen(100));
    EXPECT_EQ(screen_changes(phone.report()), drawn_screens(bar));

    Lines writes;
    for (const json &w : phone.report()["bootenv"]["writes"])
        writes.push_back(w["line"]);
    EXPECT_EQ(writes, (Lines{"SW_protect 1", "SW_OEM 7", "MID_VERSION 1"}));
    EXPECT_NE(slurp(phone / "/.phonesim/bootenv").find("SW_OEM 7\n"), std::string::npos)
        << "kept for the next boot";
    EXPECT_FALSE(exists(phone / kSaved));
    EXPECT_EQ(slurp(phone / kKeys), keys);
}

// ------------------------------------------- shared-memory mode housekeeping

struct RomRule {
    const char *rom;
    bool applies; // 59.x.3.y and below: provisioning files kept, line key 8 given up
};

void PrintTo(const RomRule &rule, std::ostream *out)
{
    *out << rule.rom << (rule.applies ? " housekeeping" : " left alone");
}

class ShmHousekeeping : public Phone, public ::testing::WithParamInterface<RomRule>
{
  protected:
    ShmHousekeeping() : Phone(with_rom(GetParam().rom)) {}
};

// A provisioning file whose name is a shell command stays a file name: no
// PWNED appears in the telephone or in the working directory of the run.
TEST_P(ShmHousekeeping, KeepsProvisioningFilesAndGivesUpLineKey8)
{
    TempDir cwd;
    char saved_cwd[4096];
    ASSERT_NE(getcwd(saved_cwd, sizeof(saved_cwd)), nullptr);
    ASSERT_EQ(chdir(cwd.path().c_str()), 0);
    put(phone / "/tmp/a.cfg",
        "account.1.enable = 1\nstatic.auto_provision.server.url = http://p\n");
    put(phone / "/tmp/x;touch PWNED;.cfg", "hostile = 1\n");
    std::string keys = slurp(phone / kKeys);

    EXPECT_EQ(phone.upgrade(phone.write_pack(mid_pack()), "shm"), kRebooted) << phone.output();
    EXPECT_EQ(chdir(saved_cwd), 0);
    EXPECT_EQ(changed(), std::vector<int>{5});
    for (const std::string &dir : {phone.dir(), cwd.path()})
        EXPECT_NE(system(("find '" + dir + "' -name PWNED | grep -q .").c_str()), 0) << dir;

    std::string saved = slurp(phone / kSaved), edited = slurp(phone / kKeys);
    if (GetParam().applies) {
        // Each file's lines with the URL lines blanked; the reboot line last.
        EXPECT_NE(saved.find("account.1.enable = 1\n"), std::string::npos) << saved;
        EXPECT_NE(saved.find("hostile = 1\n"), std::string::npos) << saved;
        EXPECT_EQ(saved.find("http://p"), std::string::npos) << saved;
        EXPECT_EQ(saved.substr(saved.rfind('\n', saved.size() - 2) + 1),
                  "Config.Autoprovision.Reboot.Enable = 1 \n");
        EXPECT_EQ(edited.find("[ LINEKEY8 ]"), std::string::npos);
        EXPECT_NE(edited.find("[ LINEKEY8_NOUSED ]"), std::string::npos);
    } else {
        EXPECT_FALSE(exists(phone / kSaved));
        EXPECT_EQ(edited, keys);
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, ShmHousekeeping,
                         ::testing::Values(RomRule{"59.1.3.5", true}, RomRule{"59.1.4.5", false}),
                         [](const ::testing::TestParamInfo<RomRule> &info) {
                             std::string name = std::string("rom") + info.param.rom;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

// ------------------------------------------------------------ upgrade states

struct StateCase {
    int state;
    bool kills_apps;
};

void PrintTo(const StateCase &c, std::ostream *out)
{
    *out << "state " << c.state << (c.kills_apps ? ", kill script" : ", no kill script");
}

class UpgradeState : public Phone, public ::testing::WithParamInterface<StateCase>
{
};

TEST_P(UpgradeState, StopsTheApplicationsUnlessTold)
{
    EXPECT_EQ(phone.upgrade(phone.write_pack(mid_pack()), "shm",
                            {"--state", std::to_string(GetParam().state)}),
              kRebooted)
        << phone.output();
    EXPECT_TRUE(phone.partition_changed(5));
    EXPECT_EQ(killapps().size(), GetParam().kills_apps ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(States, UpgradeState,
                         ::testing::Values(StateCase{0, true}, StateCase{1, true},
                                           StateCase{2, false}, StateCase{3, true},
                                           StateCase{-3, false}),
                         [](const ::testing::TestParamInfo<StateCase> &info) {
                             return state_name(info.param.state);
                         });

class FailureScreenState : public Phone, public ::testing::WithParamInterface<int>
{
};

// The failure screen waits for the reboot key; the key script presses it
// at once and the press waits in the keypad's queue.
TEST_P(FailureScreenState, ShowsTheFailureAndRebootsOnTheKey)
{
    EXPECT_EQ(phone.upgrade(phone.write_pack(foreign_pack()), "shm",
                            {"--state", std::to_string(GetParam()), "--keys", "0:35"}),
              kRebooted)
        << phone.output();
    EXPECT_TRUE(phone.logged("rom pack check failed! ID:" + std::to_string(kMachineIdErr)));
    EXPECT_EQ(phone.ipc_messages(), (Lines{"4,1,0", "3,0,0"}));
    EXPECT_TRUE(killapps().empty());
    EXPECT_EQ(
        screen_changes(phone.report()),
        drawn_screens({failed_screen("Rom check Failed!", kMachineIdErr), rebooting_screen()}));
    EXPECT_TRUE(changed().empty());
}

INSTANTIATE_TEST_SUITE_P(States, FailureScreenState, ::testing::Values(0, 2, -3),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return state_name(info.param);
                         });

using FailureScreen = Phone;

TEST_F(FailureScreen, OtherStateEndsWithTheStatusAndNoScreen)
{
    // -193 as an exit status.
    EXPECT_EQ(phone.upgrade(phone.write_pack(foreign_pack()), "shm", {"--state", "3"}), 63)
        << phone.output();
    EXPECT_EQ(phone.ipc_messages(), Lines{"4,1,0"});
    EXPECT_TRUE(phone.report()["frames"].empty());
    EXPECT_FALSE(phone.logged("Rom check Failed!"));
}

TEST_F(FailureScreen, AutoProvisionedUpgradeCountsDownAndReboots)
{
    EXPECT_EQ(phone.upgrade(phone.write_pack(foreign_pack()), "shm", {"--state", "1"}), kRebooted)
        << phone.output();
    EXPECT_EQ(phone.ipc_messages(), (Lines{"4,1,0", "3,0,0"}));
    std::vector<Screen> screens;
    for (int seconds = 60; seconds >= 1; --seconds)
        screens.push_back(countdown_screen(kMachineIdErr, seconds));
    screens.push_back(rebooting_screen());
    EXPECT_EQ(screen_changes(phone.report()), drawn_screens(screens));
}

// A release or an auto-repeat of the reboot key, or another key, is no
// press of the reboot key. The probe writes them once the failure screen
// listens and signs when they have all been read; the run then goes on to
// its time limit without a reboot.
TEST_F(FailureScreen, ReleaseRepeatOrOtherKeyDoNotReboot)
{
    std::vector<uint8_t> bytes = rompack::make_pack(foreign_pack());
    put(phone / "/tmp/bad.pack", std::string(bytes.begin(), bytes.end()));
    std::string script = "\"$1\" /tmp/bad.pack & exec \"$2\" \"$3\" \"$4\" 35:0 35:2 34:1 34:0";
    EXPECT_EQ(
        phone.run({"sh", "-c", script, "sh", phone / "/basic/bin/upgrader", OUTCOME_PROBE_KEYS,
                   phone / "/dev/input/event0", phone / "/tmp/events_read"},
                  {"--time-limit", "20"}),
        kTimeLimit)
        << phone.output();
    EXPECT_TRUE(exists(phone / "/tmp/events_read")) << "the keys were read";
    EXPECT_EQ(screen_changes(phone.report()),
              drawn_screens({failed_screen("Rom check Failed!", kMachineIdErr)}));
    EXPECT_TRUE(killapps().empty());
}

// ------------------------------------------------------- same version

class SameVersion : public Phone, public ::testing::WithParamInterface<const char *>
{
};

// The installed version again: the bar runs through and the telephone
// reboots before anything is written.
TEST_P(SameVersion, RunsTheBarAndRebootsWithoutWriting)
{
    put(phone / "/config/upgrader_autop", "1\n");
    EXPECT_EQ(phone.upgrade(phone.write_pack(same_version_pack()), GetParam()), kRebooted)
        << phone.output();
    EXPECT_TRUE(changed().empty());
    Lines removed = files("removed");
    EXPECT_NE(std::find(removed.begin(), removed.end(), "/config/upgrader_autop"), removed.end());
    EXPECT_EQ(killapps(), Lines{"killapps.sh"});
    EXPECT_EQ(phone.ipc_messages(), Lines{"4,2,0"});

    std::vector<Screen> bar;
    for (int percent = 15; percent <= 95; percent += 10)
        bar.push_back(progress_screen(percent));
    bar.push_back(progress_screen(100));
    EXPECT_EQ(screen_changes(phone.report()), drawn_screens(bar));
}

INSTANTIATE_TEST_SUITE_P(Modes, SameVersion, ::testing::Values("file", "shm"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             return std::string(info.param);
                         });

// ------------------------------------------------------------ direct mode

using DirectMode = Phone;

TEST_F(DirectMode, WritesEvenTheSameVersionWithoutLocksOrPeers)
{
    rompack::PackSpec pack = same_version_pack();
    EXPECT_EQ(phone.upgrade(phone.write_pack(pack), "direct"), kRebooted) << phone.output();
    EXPECT_TRUE(holds_payload(pack));
    EXPECT_TRUE(phone.ipc_messages().empty());
    EXPECT_EQ(killapps(), Lines{"killapps.sh"});
    EXPECT_TRUE(misc().empty()) << "the watchdog is left as it is";
    EXPECT_TRUE(phone.logged("rom upgrader completed!"));
    EXPECT_FALSE(phone.logged("wait lock"));
    EXPECT_FALSE(phone.logged("locked"));
}
