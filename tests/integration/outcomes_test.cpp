// How upgrades end, judged from outside the program: the telephone reboots
// or not, what the LCD showed, what the peers heard, what the flash, the boot
// environment and the configuration files hold afterwards. The reboot is a
// power cut in the simulated telephone: nothing the program would do after
// asking for it ever happens.
#include "telephone.h"

#include "basicui/basicUI.h"
#include "log/rl_log.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

using nlohmann::json;
using testsupport::accepted_pack;
using testsupport::kRebooted;
using testsupport::kTimeLimit;
using testsupport::partition;
using testsupport::put;
using testsupport::slurp;
using testsupport::Telephone;

namespace
{

// The hardware of the default telephone: screens are drawn for it.
const char kHwver[] = "59.1.0.1.2.0.0.0\n";
// The check's answer to a pack made for another model (device 60 here).
const int kMachineIdErr = -95;
const char kRebootLine[] = "Config.Autoprovision.Reboot.Enable = 1 ";

using Screen = std::function<void(CBasicUI &)>;

// The LCD contents after each of the screens, drawn one after the other by
// the UI library, as the program draws them on the telephone. The display
// keeps its frame buffer mapped for the process, so every drawing of the
// process goes to the same plain root; the root is in force only while
// drawing, so that phonesim and the program never see it.
std::vector<std::string> drawn(const std::vector<Screen> &screens)
{
    static testsupport::TempDir root;
    static bool made = false;
    if (!made) {
        for (const char *dir : {"/dev", "/dev/input", "/proc", "/proc/glcd", "/proc/misc"})
            mkdir((root.path() + dir).c_str(), 0755);
        put(root.path() + "/dev/fb0", std::string(1056, '\0'));
        put(root.path() + "/proc/glcd/refresh", "");
        put(root.path() + "/proc/misc/hwver", kHwver);
        made = true;
    }
    // Drawing here must not reach the host's system log.
    rl_log_reset_level(-1);
    const char *saved = getenv("UPGRADER_ROOT");
    std::string previous = saved != nullptr ? saved : "";
    setenv("UPGRADER_ROOT", root.path().c_str(), 1);
    std::vector<std::string> out;
    CBasicUI ui;
    if (ui.Init() >= 0) {
        for (const Screen &show : screens) {
            show(ui);
            out.push_back(testsupport::to_hex(slurp(root.path() + "/dev/fb0")));
        }
        ui.Deinit();
    }
    if (saved != nullptr)
        setenv("UPGRADER_ROOT", previous.c_str(), 1);
    else
        unsetenv("UPGRADER_ROOT");
    return out;
}

Screen progress(int percent)
{
    return [percent](CBasicUI &ui) { ui.SetUpgradingProgressBar(percent); };
}

Screen failed(const char *text, int id)
{
    return [text, id](CBasicUI &ui) { ui.ShowUpgradingFailedInfoWithID(text, id); };
}

Screen countdown(int id, int seconds)
{
    return [id, seconds](CBasicUI &ui) { ui.ShowUpgradingAutop2FailedInfoWithID(id, seconds); };
}

Screen rebooting()
{
    return [](CBasicUI &ui) { ui.DispNoticeInfo("Rebooting..."); };
}

// report[key], or null when the report has no such key.
const json &field(const json &report, const char *key)
{
    static const json none;
    return report.is_object() && report.contains(key) ? report[key] : none;
}

// The screen of every frame of the run, in order.
std::vector<std::string> frames(const json &report)
{
    std::vector<std::string> out;
    const json &list = field(report, "frames");
    if (list.is_array())
        for (const json &f : list)
            out.push_back(testsupport::screen_hex(report, f));
    return out;
}

// The frames with repeats of the same picture in a row taken out: what a
// person watching the screen saw change.
std::vector<std::string> changes(const std::vector<std::string> &all)
{
    std::vector<std::string> out;
    for (const std::string &s : all)
        if (out.empty() || out.back() != s)
            out.push_back(s);
    return out;
}

bool contains(const std::vector<std::string> &v, const std::string &s)
{
    return std::find(v.begin(), v.end(), s) != v.end();
}

const json &partition_report(const json &report, int n)
{
    static const json none;
    const json &list = field(report, "partitions");
    if (list.is_array())
        for (const json &p : list)
            if (p["name"] == "mtd" + std::to_string(n))
                return p;
    return none;
}

bool changed(const json &report, int n)
{
    const json &p = partition_report(report, n);
    return p.is_object() && p.value("changed", false);
}

// mtdN's window in the chip image after the run.
std::string window(const Telephone &phone, int n)
{
    const json &after = field(partition_report(phone.report(), n), "after");
    if (!after.is_object())
        return "";
    uint32_t start = std::stoul(after["start"].get<std::string>(), nullptr, 0);
    uint32_t end = std::stoul(after["end"].get<std::string>(), nullptr, 0);
    return slurp(phone.dir() + "/.phonesim/flash.img").substr(start - 0x90000000u, end - start);
}

std::vector<std::string> strings(const json &list)
{
    std::vector<std::string> out;
    if (list.is_array())
        for (const json &s : list)
            out.push_back(s.get<std::string>());
    return out;
}

std::vector<std::string> killapps_runs(const json &report)
{
    return strings(field(field(report, "records"), "killapps"));
}

std::vector<std::string> files(const json &report, const char *what)
{
    std::vector<std::string> out;
    const json &list = field(field(report, "files"), what);
    if (list.is_array())
        for (const json &f : list)
            out.push_back(f["path"]);
    return out;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            nl = text.size();
        out.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return out;
}

bool blank(const std::string &line)
{
    return line.find_first_not_of(" \t") == std::string::npos;
}

// A profile with the installed ROM version; the auto-provision housekeeping
// looks at it (as read before the write).
std::string with_rom(const std::string &version)
{
    return "{\"rom_version\": \"" + version + "\"}";
}

rompack::PartitionSpec at_version(rompack::PartitionSpec p, const std::string &version)
{
    rompack::parse_version(version, &p.version);
    return p;
}

// A mid-version pack of OEM 7: the check protects the unprotected telephone
// for OEM 7. mtd5 gets more than one 64 KiB chunk plus a rest; mtd6 carries
// the installed version and is left alone.
rompack::PackSpec mid_pack(const std::string &version = "2.143.7.5")
{
    rompack::PackSpec spec = accepted_pack(
        {partition(5, 70000, "random:5"), at_version(partition(6, 300, "counter"), "6.0.0.1")},
        version);
    spec.oem_id = 7;
    spec.mid_version = 1;
    return spec;
}

// A test name for an upgrade state: state0, state_minus3.
std::string state_name(int state)
{
    return state < 0 ? "state_minus" + std::to_string(-state) : "state" + std::to_string(state);
}

// A pack the check refuses: made for another model.
rompack::PackSpec foreign_pack()
{
    rompack::PackSpec spec = accepted_pack({partition(5, 1000, "random:9")});
    spec.device_id = 60;
    return spec;
}

// The installed version again: the check answers "same version".
rompack::PackSpec same_version_pack()
{
    return accepted_pack({partition(5, 3000, "random:3")}, "2.143.6.200");
}

std::string payload_of(const rompack::PackSpec &spec, uint32_t id)
{
    for (const rompack::PartitionSpec &p : spec.partitions)
        if (p.id == id)
            return std::string(p.payload.begin(), p.payload.end());
    return "";
}

void make_dir(const std::string &path)
{
    mkdir(path.c_str(), 0755);
}

// Makes dir the working directory for a scope.
class WorkingDirectory
{
  public:
    explicit WorkingDirectory(const std::string &dir)
    {
        char *cwd = getcwd(nullptr, 0);
        if (cwd != nullptr)
            saved_ = cwd;
        free(cwd);
        changed_ = chdir(dir.c_str()) == 0;
    }
    ~WorkingDirectory()
    {
        if (changed_ && !saved_.empty() && chdir(saved_.c_str()) != 0)
            perror(saved_.c_str());
    }
    WorkingDirectory(const WorkingDirectory &) = delete;
    WorkingDirectory &operator=(const WorkingDirectory &) = delete;
    bool ok() const { return changed_; }

  private:
    std::string saved_;
    bool changed_ = false;
};

// Whether a file of that name exists anywhere below dir.
bool found_below(const std::string &dir, const std::string &name)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return false;
    bool found = false;
    const struct dirent *e;
    while (!found && (e = readdir(d)) != nullptr) {
        std::string entry = e->d_name;
        if (entry == "." || entry == "..")
            continue;
        std::string path = dir + "/" + entry;
        struct stat st;
        found = entry == name ||
                (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && found_below(path, name));
    }
    closedir(d);
    return found;
}

} // namespace

// ---------------------------------------------------------------- file mode

TEST(FileModeUpgrade, WritesFlaggedPartitionsTellsPeersAndReboots)
{
    Telephone phone;
    ASSERT_TRUE(phone.ok());
    rompack::PackSpec spec = mid_pack();
    EXPECT_EQ(phone.upgrade(phone.write_pack(spec), "file"), kRebooted) << phone.output();
    const json &r = phone.report();
    EXPECT_EQ(field(r, "ending"), "reboot");

    std::string expected = payload_of(spec, 5);
    std::string written = window(phone, 5);
    ASSERT_EQ(written.size(), 0x100000u);
    EXPECT_TRUE(written.compare(0, expected.size(), expected) == 0) << "payload at the start";
    EXPECT_EQ(written.find_first_not_of('\xff', expected.size()), std::string::npos)
        << "erased to the end of the window";
    for (int n = 0; n < 10; ++n) {
        if (n != 5) {
            EXPECT_FALSE(changed(r, n)) << "mtd" << n;
        }
    }

    EXPECT_EQ(phone.ipc_messages(), std::vector<std::string>{"4,2,0"});
    EXPECT_EQ(killapps_runs(r), std::vector<std::string>{"killapps.sh"});
    // The watchdog is closed before the upgrade; the reboot cuts the power
    // before the program could switch it on again.
    EXPECT_EQ(strings(field(r, "misc")), std::vector<std::string>{"MISC_IOCS_WATCHDOG 0"});
    // Likewise the closing log line comes after the reboot request: a
    // program that announced completion before asking for the reboot would
    // show it here.
    EXPECT_FALSE(phone.logged("upgrader-1 completed!"));

    // One partition of 16 blocks and one full chunk: the bar moves through
    // the erase from 15, to the write at 57, and ends full.
    std::vector<Screen> bar;
    for (int block = 0; block < 16; ++block)
        bar.push_back(progress(15 + block * 42 / 16));
    bar.push_back(progress(57));
    bar.push_back(progress(100));
    EXPECT_EQ(frames(r), drawn(bar));

    std::vector<std::string> writes;
    const json &bootenv_writes = field(field(r, "bootenv"), "writes");
    if (bootenv_writes.is_array())
        for (const json &w : bootenv_writes)
            writes.push_back(w["line"]);
    EXPECT_EQ(writes, (std::vector<std::string>{"SW_protect 1", "SW_OEM 7", "MID_VERSION 1"}));
    EXPECT_NE(slurp(phone / "/.phonesim/bootenv").find("SW_OEM 7\n"), std::string::npos)
        << "kept for the next boot";
}

TEST(FileModeUpgrade, LeavesTheAutoProvisionFilesAlone)
{
    // The housekeeping belongs to upgrades loaded by auto-provisioning.
    Telephone phone(with_rom("59.1.3.5"));
    ASSERT_TRUE(phone.ok());
    put(phone / "/tmp/a.cfg", "auto.url = http://x\n");
    std::string keys = slurp(phone / "/config/Phone/Key/ProgramableKey.conf");
    EXPECT_EQ(phone.upgrade(phone.write_pack(mid_pack()), "file"), kRebooted);
    EXPECT_TRUE(changed(phone.report(), 5));
    EXPECT_NE(access((phone / "/config/autop_retry_save.cfg").c_str(), F_OK), 0);
    EXPECT_EQ(slurp(phone / "/config/Phone/Key/ProgramableKey.conf"), keys);
}

// ---------------------------------------------------- shared-memory mode

TEST(ShmModeUpgrade, WritesRunsHousekeepingAndReboots)
{
    testsupport::TempDir cwd;
    WorkingDirectory here(cwd.path()); // where a stray "touch" would land
    ASSERT_TRUE(here.ok());
    Telephone phone(with_rom("59.1.3.5"));
    ASSERT_TRUE(phone.ok());
    put(phone / "/tmp/a.cfg",
        "account.1.enable = 1\nstatic.auto_provision.server.url = http://p\n");
    put(phone / "/tmp/b.conf", "[ autop ]\nPnP.URL=tftp://q\nmode = 2\n");
    put(phone / "/tmp/x;touch PWNED;.cfg", "hostile = 1\n");
    std::string keys_before = slurp(phone / "/config/Phone/Key/ProgramableKey.conf");

    rompack::PackSpec spec = mid_pack();
    EXPECT_EQ(phone.upgrade(phone.write_pack(spec), "shm", {"--state", "0"}), kRebooted)
        << phone.output();
    const json &r = phone.report();
    EXPECT_TRUE(changed(r, 5));
    EXPECT_FALSE(changed(r, 6));
    EXPECT_EQ(phone.ipc_messages(), std::vector<std::string>{"4,2,0"});
    EXPECT_EQ(killapps_runs(r), std::vector<std::string>{"killapps.sh"});

    // Three files gathered, in whatever order /tmp lists them: each one's
    // lines with the URL lines blanked, then a blank line; the reboot line
    // last.
    std::vector<std::string> saved = lines_of(slurp(phone / "/config/autop_retry_save.cfg"));
    ASSERT_FALSE(saved.empty());
    EXPECT_EQ(saved.back(), kRebootLine);
    std::vector<std::string> kept;
    int blanks = 0;
    for (size_t i = 0; i + 1 < saved.size(); ++i) {
        if (blank(saved[i]))
            ++blanks;
        else
            kept.push_back(saved[i]);
    }
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, (std::vector<std::string>{"[ autop ]", "account.1.enable = 1", "hostile = 1",
                                              "mode = 2"}));
    EXPECT_EQ(blanks, 3 + 2) << "a separator per file, one per URL line";
    EXPECT_EQ(saved.size(), 4u + 5u + 1u);

    EXPECT_FALSE(found_below(phone.dir(), "PWNED"));
    EXPECT_FALSE(found_below(cwd.path(), "PWNED"));

    // 59.x.3.y: the eighth line key is given up.
    std::string keys = slurp(phone / "/config/Phone/Key/ProgramableKey.conf");
    EXPECT_EQ(keys.find("[ LINEKEY8 ]"), std::string::npos);
    std::vector<std::string> before = lines_of(keys_before), after = lines_of(keys);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i) {
        if (before[i] == "[ LINEKEY8 ]") {
            size_t text = after[i].find_first_not_of(' ');
            EXPECT_EQ(text == std::string::npos ? "" : after[i].substr(text),
                      "[ LINEKEY8_NOUSED ]");
        } else {
            EXPECT_EQ(after[i], before[i]) << "line " << i + 1;
        }
    }
}

struct KeyRule {
    const char *rom;
    bool edited;
};

void PrintTo(const KeyRule &rule, std::ostream *out)
{
    *out << rule.rom << (rule.edited ? " edited" : " left alone");
}

class LineKeyRule : public ::testing::TestWithParam<KeyRule>
{
};

TEST_P(LineKeyRule, EditsTheEighthKeyOnlyFor59x3)
{
    Telephone phone(with_rom(GetParam().rom));
    ASSERT_TRUE(phone.ok());
    std::string before = slurp(phone / "/config/Phone/Key/ProgramableKey.conf");
    EXPECT_EQ(phone.upgrade(phone.write_pack(mid_pack()), "shm"), kRebooted);
    EXPECT_TRUE(changed(phone.report(), 5));
    std::string after = slurp(phone / "/config/Phone/Key/ProgramableKey.conf");
    EXPECT_EQ(after != before, GetParam().edited);
    EXPECT_EQ(after.find("LINEKEY8_NOUSED") != std::string::npos, GetParam().edited);
}

INSTANTIATE_TEST_SUITE_P(Versions, LineKeyRule,
                         ::testing::Values(KeyRule{"59.1.3.5", true}, KeyRule{"59.0.0.0", true},
                                           KeyRule{"59.1.4.5", false}, KeyRule{"58.1.3.5", false},
                                           KeyRule{"2.143.6.200", false}),
                         [](const ::testing::TestParamInfo<KeyRule> &info) {
                             std::string name = std::string("rom") + info.param.rom;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

TEST(ShmHousekeeping, GathersOnlyRegularFilesWithTheRightEnding)
{
    Telephone phone(with_rom("59.1.3.5"));
    ASSERT_TRUE(phone.ok());
    put(phone / "/tmp/a.cfg.bak", "backup = 1\n");
    make_dir(phone / "/tmp/x.cfg");
    put(phone / "/tmp/x.cfg/inner.cfg", "inner = 1\n");
    put(phone / "/linked.cfg", "linked = 1\n");
    ASSERT_EQ(symlink("../linked.cfg", (phone / "/tmp/y.cfg").c_str()), 0);

    EXPECT_EQ(phone.upgrade(phone.write_pack(mid_pack()), "shm"), kRebooted);
    // Nothing gathered, yet the file is made and asks for the reboot.
    EXPECT_EQ(slurp(phone / "/config/autop_retry_save.cfg"), std::string(kRebootLine) + "\n");
    EXPECT_TRUE(contains(files(phone.report(), "created"), "/config/autop_retry_save.cfg"));
}

TEST(ShmHousekeeping, NeverAppendsToAnExistingSaveFile)
{
    Telephone phone(with_rom("59.1.3.5"));
    ASSERT_TRUE(phone.ok());
    put(phone / "/config/autop_retry_save.cfg", "earlier = 1\n");
    put(phone / "/tmp/a.cfg", "later = 1\n");
    EXPECT_EQ(phone.upgrade(phone.write_pack(mid_pack()), "shm"), kRebooted);
    EXPECT_TRUE(changed(phone.report(), 5));
    EXPECT_EQ(slurp(phone / "/config/autop_retry_save.cfg"), "earlier = 1\n");
    EXPECT_FALSE(contains(files(phone.report(), "changed"), "/config/autop_retry_save.cfg"));
}

TEST(ShmHousekeeping, RomVersionWithThirdNumberFourDoesNothing)
{
    Telephone phone(with_rom("59.1.4.5"));
    ASSERT_TRUE(phone.ok());
    put(phone / "/tmp/a.cfg", "a = 1\n");
    EXPECT_EQ(phone.upgrade(phone.write_pack(mid_pack()), "shm"), kRebooted);
    EXPECT_TRUE(changed(phone.report(), 5));
    EXPECT_NE(access((phone / "/config/autop_retry_save.cfg").c_str(), F_OK), 0);
    EXPECT_FALSE(phone.logged("config ok"));
}

// ------------------------------------------------------------ upgrade states

struct StateCase {
    int state;
    bool kills_apps;
};

void PrintTo(const StateCase &c, std::ostream *out)
{
    *out << "state " << c.state << (c.kills_apps ? ", kill script" : ", no kill script");
}

class UpgradeState : public ::testing::TestWithParam<StateCase>
{
};

TEST_P(UpgradeState, StopsTheApplicationsUnlessTold)
{
    Telephone phone;
    ASSERT_TRUE(phone.ok());
    EXPECT_EQ(phone.upgrade(phone.write_pack(mid_pack()), "shm",
                            {"--state", std::to_string(GetParam().state)}),
              kRebooted)
        << phone.output();
    EXPECT_TRUE(changed(phone.report(), 5));
    EXPECT_EQ(killapps_runs(phone.report()).size(), GetParam().kills_apps ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(States, UpgradeState,
                         ::testing::Values(StateCase{0, true}, StateCase{1, true},
                                           StateCase{2, false}, StateCase{3, true},
                                           StateCase{-3, false}),
                         [](const ::testing::TestParamInfo<StateCase> &info) {
                             return state_name(info.param.state);
                         });

class FailureScreenState : public ::testing::TestWithParam<int>
{
};

// The failure screen waits for the reboot key; the key script presses it
// at once and the press waits in the keypad's queue.
TEST_P(FailureScreenState, ShowsTheFailureAndRebootsOnTheKey)
{
    Telephone phone;
    ASSERT_TRUE(phone.ok());
    EXPECT_EQ(phone.upgrade(phone.write_pack(foreign_pack()), "shm",
                            {"--state", std::to_string(GetParam()), "--keys", "0:35"}),
              kRebooted)
        << phone.output();
    EXPECT_TRUE(phone.logged("rom pack check failed! ID:" + std::to_string(kMachineIdErr)));
    EXPECT_TRUE(phone.logged("Rom check Failed!"));
    EXPECT_EQ(phone.ipc_messages(), (std::vector<std::string>{"4,1,0", "3,0,0"}));
    EXPECT_TRUE(killapps_runs(phone.report()).empty());
    std::vector<std::string> expected =
        drawn({failed("Rom check Failed!", kMachineIdErr), rebooting()});
    EXPECT_EQ(changes(frames(phone.report())), expected);
    for (int n = 0; n < 10; ++n)
        EXPECT_FALSE(changed(phone.report(), n)) << "mtd" << n;
}

INSTANTIATE_TEST_SUITE_P(States, FailureScreenState, ::testing::Values(0, 2, -3),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return state_name(info.param);
                         });

TEST(FailureScreen, FileModeShowsItToo)
{
    Telephone phone;
    ASSERT_TRUE(phone.ok());
    EXPECT_EQ(phone.upgrade(phone.write_pack(foreign_pack()), "file", {"--keys", "0:35"}),
              kRebooted);
    EXPECT_EQ(changes(frames(phone.report())),
              drawn({failed("Rom check Failed!", kMachineIdErr), rebooting()}));
}

TEST(FailureScreen, OtherStateEndsWithTheStatusAndNoScreen)
{
    Telephone phone;
    ASSERT_TRUE(phone.ok());
    // -193 as an exit status.
    EXPECT_EQ(phone.upgrade(phone.write_pack(foreign_pack()), "shm", {"--state", "3"}), 63)
        << phone.output();
    EXPECT_EQ(field(phone.report(), "ending"), "exit");
    EXPECT_EQ(phone.ipc_messages(), std::vector<std::string>{"4,1,0"});
    EXPECT_TRUE(frames(phone.report()).empty());
    EXPECT_FALSE(phone.logged("Rom check Failed!"));
}

TEST(FailureScreen, AutoProvisionedUpgradeCountsDownAndReboots)
{
    Telephone phone;
    ASSERT_TRUE(phone.ok());
    EXPECT_EQ(phone.upgrade(phone.write_pack(foreign_pack()), "shm", {"--state", "1"}), kRebooted)
        << phone.output();
    EXPECT_EQ(phone.ipc_messages(), (std::vector<std::string>{"4,1,0", "3,0,0"}));
    std::vector<Screen> screens;
    for (int seconds = 60; seconds >= 1; --seconds)
        screens.push_back(countdown(kMachineIdErr, seconds));
    screens.push_back(rebooting());
    std::vector<std::string> expected = drawn(screens);
    ASSERT_EQ(expected.size(), 61u);
    EXPECT_EQ(changes(frames(phone.report())), expected);
}

// A release or an auto-repeat of the reboot key, or another key, is no
// press of the reboot key. The probe writes them once the failure screen
// listens and signs when they have all been read; the run then goes on to
// its time limit without a reboot.
TEST(FailureScreen, ReleaseRepeatOrOtherKeyDoNotReboot)
{
    Telephone phone;
    ASSERT_TRUE(phone.ok());
    std::vector<uint8_t> bytes = rompack::make_pack(foreign_pack());
    put(phone / "/tmp/bad.pack", std::string(bytes.begin(), bytes.end()));
    std::string script = "\"$1\" /tmp/bad.pack & exec \"$2\" \"$3\" \"$4\" 35:0 35:2 34:1 34:0";
    EXPECT_EQ(
        phone.run({"sh", "-c", script, "sh", phone / "/basic/bin/upgrader", OUTCOME_PROBE_KEYS,
                   phone / "/dev/input/event0", phone / "/tmp/events_read"},
                  {"--time-limit", "20"}),
        kTimeLimit)
        << phone.output();
    EXPECT_EQ(access((phone / "/tmp/events_read").c_str(), F_OK), 0) << "the keys were read";
    EXPECT_EQ(changes(frames(phone.report())), drawn({failed("Rom check Failed!", kMachineIdErr)}));
    EXPECT_EQ(killapps_runs(phone.report()).size(), 0u);
}

// ------------------------------------------------------- same version

class SameVersion : public ::testing::TestWithParam<const char *>
{
};

// The installed version again: the bar runs through and the telephone
// reboots before anything is written.
TEST_P(SameVersion, RunsTheBarAndRebootsWithoutWriting)
{
    Telephone phone;
    ASSERT_TRUE(phone.ok());
    put(phone / "/config/upgrader_autop", "1\n");
    EXPECT_EQ(phone.upgrade(phone.write_pack(same_version_pack()), GetParam()), kRebooted)
        << phone.output();
    const json &r = phone.report();
    for (int n = 0; n < 10; ++n)
        EXPECT_FALSE(changed(r, n)) << "mtd" << n;
    EXPECT_TRUE(contains(files(r, "removed"), "/config/upgrader_autop"));
    EXPECT_EQ(killapps_runs(r), std::vector<std::string>{"killapps.sh"});
    EXPECT_EQ(phone.ipc_messages(), std::vector<std::string>{"4,2,0"});

    std::vector<Screen> bar;
    for (int percent = 15; percent <= 95; percent += 10)
        bar.push_back(progress(percent));
    bar.push_back(progress(100));
    std::vector<std::string> expected = drawn(bar);
    EXPECT_EQ(changes(frames(r)), expected);
}

INSTANTIATE_TEST_SUITE_P(Modes, SameVersion, ::testing::Values("file", "shm"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             return std::string(info.param);
                         });

// ------------------------------------------------------------ direct mode

TEST(DirectMode, WritesEvenTheSameVersionWithoutLocksOrPeers)
{
    Telephone phone;
    ASSERT_TRUE(phone.ok());
    rompack::PackSpec spec = same_version_pack();
    EXPECT_EQ(phone.upgrade(phone.write_pack(spec), "direct"), kRebooted) << phone.output();
    const json &r = phone.report();
    EXPECT_TRUE(changed(r, 5));
    std::string expected = payload_of(spec, 5);
    EXPECT_TRUE(window(phone, 5).compare(0, expected.size(), expected) == 0);
    EXPECT_TRUE(phone.ipc_messages().empty());
    EXPECT_EQ(killapps_runs(r), std::vector<std::string>{"killapps.sh"});
    EXPECT_TRUE(strings(field(r, "misc")).empty()) << "the watchdog is left as it is";
    EXPECT_TRUE(phone.logged("rom upgrader completed!"));
    for (const std::string &line : phone.log())
        EXPECT_TRUE(line.find("wait lock") == std::string::npos &&
                    line.find("locked") == std::string::npos)
            << line;
}
