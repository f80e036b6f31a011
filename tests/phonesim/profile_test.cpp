#include "phonesim/init.h"
#include "phonesim/profile.h"

#include "isolation.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace phonesim {
namespace {

using testsupport::TempDir;

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

mode_t mode_of(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
    return st.st_mode;
}

std::string link_of(const std::string &path) {
    char target[256] = {};
    EXPECT_GT(readlink(path.c_str(), target, sizeof target - 1), 0) << path;
    return target;
}

// Runs a shell command line inside the telephone DIR the way the program's
// commands run there; returns the exit status.
int run_in(const std::string &dir, const std::string &command) {
    std::string line = "UPGRADER_ROOT='" + dir + "' " + command;
    int status = system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Profile parsed(const std::string &json) {
    Profile p;
    std::string error;
    EXPECT_TRUE(parse_profile(json, &p, &error)) << error;
    return p;
}

TEST(Profile, DefaultsArePlausibleLayoutAndEnvironment) {
    const Profile p = default_profile();
    for (int i = 0; i < kPartitions; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(0u, p.mtd[i].start % kEraseSize);
        EXPECT_EQ(0u, p.mtd[i].end % kEraseSize);
        EXPECT_LT(p.mtd[i].start, p.mtd[i].end);
        EXPECT_EQ(i == 0 ? kFlashBase : p.mtd[i - 1].end, p.mtd[i].start);
    }
    EXPECT_EQ(kFlashBase + kFlashSize, p.mtd[9].end);
    EXPECT_EQ(0x10000u, p.mtd[3].end - p.mtd[3].start);
    EXPECT_EQ(0x80000u, p.mtd[4].end - p.mtd[4].start);
    const Variables env{{"MID_VERSION", "0"}, {"SW_OEM", "0"}, {"SW_protect", "0"},
                        {"Mtd2Version", "2.0.0.1"}};
    EXPECT_EQ(env, p.bootenv);
    // An empty profile is the defaults.
    EXPECT_EQ(profile_to_json(p), profile_to_json(parsed("{}")));
}

TEST(Profile, OverridesReplaceTheDefaultsAndRoundTrip) {
    const Profile p = parsed(R"({
        "mtd": {"mtd8": {"start": "0x90730000", "end": "0x90740000"},
                "mtd9": {"start": 2423521280, "end": "0x90800000"}},
        "bootenv": {"SW_OEM": "12", "SW_protect": null, "bootdelay": "3", "HWA_0": "00:15:65"},
        "hwver": "58.1.0.1.3.0.0.0", "rom_version": "59.80.3.5",
        "mtd_move_supported": false, "killapps_status": 4, "umount_status": 1,
        "faults": [{"partition": 5, "kind": "erase", "block": 2}, {"partition": 1, "kind": "open"}]
    })");
    EXPECT_EQ(0x90740000u, p.mtd[8].end);
    EXPECT_EQ(0x90740000u, p.mtd[9].start);
    EXPECT_EQ(default_profile().mtd[7].end, p.mtd[7].end);
    const Variables env{{"MID_VERSION", "0"}, {"SW_OEM", "12"}, {"Mtd2Version", "2.0.0.1"},
                        {"bootdelay", "3"}, {"HWA_0", "00:15:65"}};
    EXPECT_EQ(env, p.bootenv);
    EXPECT_EQ("58.1.0.1.3.0.0.0", p.hwver);
    EXPECT_EQ("59.80.3.5", p.rom_version);
    EXPECT_EQ("6.0.0.1", p.mtd6_version);
    EXPECT_FALSE(p.mtd_move_supported);
    EXPECT_EQ(4, p.killapps_status);
    EXPECT_EQ(1, p.umount_status);
    ASSERT_EQ(2u, p.faults.size());
    EXPECT_EQ(5, p.faults[0].partition);
    EXPECT_EQ("erase", p.faults[0].kind);
    EXPECT_EQ(2, p.faults[0].block);
    EXPECT_EQ(-1, p.faults[1].block);

    const std::string json = profile_to_json(p);
    EXPECT_EQ(json, profile_to_json(parsed(json)));

    TempDir dir;
    const std::string path = dir.path() + "/p.json";
    std::ofstream(path) << json;
    Profile loaded;
    std::string error;
    ASSERT_TRUE(load_profile(path, &loaded, &error)) << error;
    EXPECT_EQ(json, profile_to_json(loaded));
    EXPECT_FALSE(load_profile(dir.path() + "/missing.json", &loaded, &error));
    EXPECT_NE(std::string::npos, error.find("missing.json")) << error;
}

TEST(Profile, BadFieldsAreRefusedByName) {
    const std::pair<const char *, const char *> cases[] = {
        {R"({"mtd": {"mtd3": {"end": "0x90338000"}}})", "mtd.mtd3"},   // not aligned
        {R"({"mtd": {"mtd9": {"end": "0x90810000"}}})", "mtd.mtd9"},   // beyond the chip
        {R"({"mtd": {"mtd4": {"start": "0x90320000"}}})", "mtd.mtd4"}, // overlaps mtd3
        {R"({"mtd": {"mtd12": {}}})", "mtd.mtd12"},
        {R"({"mtd": {"mtd2": {"start": "ninety"}}})", "mtd.mtd2.start"},
        {R"({"bootenv": {"mtd3": "0,10000"}})", "bootenv.mtd3"},
        {R"({"bootenv": {"SW_OEM": 12}})", "bootenv.SW_OEM"},
        {R"({"killapps_status": "1"})", "killapps_status"},
        {R"({"umount_status": 300})", "umount_status"},
        {R"({"mtd_move_supported": 1})", "mtd_move_supported"},
        {R"({"faults": [{"partition": 3, "kind": "melt"}]})", "faults[0].kind"},
        {R"({"faults": [{"partition": 10, "kind": "open"}]})", "faults[0].partition"},
        {R"({"hw_ver": "1"})", "hw_ver"},
        {R"({"hwver": )", "JSON"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first);
        Profile p = default_profile();
        p.hwver = "untouched";
        std::string error;
        EXPECT_FALSE(parse_profile(c.first, &p, &error));
        EXPECT_NE(std::string::npos, error.find(c.second)) << error;
        EXPECT_EQ("untouched", p.hwver);
    }
}

class Init : public ::testing::Test {
  protected:
    std::string make(const Profile &profile = default_profile(), InitOptions options = {}) {
        std::string error;
        EXPECT_EQ(0, init_telephone(dir_.path(), profile, options, &error)) << error;
        return dir_.path();
    }
    TempDir dir_;
};

TEST_F(Init, MakesTheTelephoneTree) {
    TempDir other;
    const std::string program = other.path() + "/upgrader";
    std::ofstream(program) << "#!/bin/sh\n";
    InitOptions options;
    options.program = program;
    Profile profile = default_profile();
    profile.rom_version = "59.80.3.5";
    const std::string r = make(profile, options);

    EXPECT_EQ("[Version]\nRomVersion = 59.80.3.5\nMtd6Version = 6.0.0.1\n",
              read_text(r + "/app/version.conf"));
    EXPECT_EQ("[Version]\nMtd5Version = 5.0.0.1\n", read_text(r + "/basic/version.conf"));
    EXPECT_EQ("[Version]\nMtd0Version = 0.0.0.1\n", read_text(r + "/version.conf"));
    EXPECT_NE(std::string::npos,
              read_text(r + "/config/Phone/Key/ProgramableKey.conf").find("[ LINEKEY8 ]"));
    for (const char *d : {"/var/ipc", "/tmp", "/etc", "/.phonesim/records", "/.phonesim/kernel"})
        EXPECT_TRUE(S_ISDIR(mode_of(r + d))) << d;

    for (const char *tool : {"cat", "cp", "rm", "touch", "chmod", "sed", "echo", "sh"}) {
        EXPECT_TRUE(S_ISREG(mode_of(r + "/bin/" + tool))) << tool;
        EXPECT_EQ(0, access((r + "/bin/" + tool).c_str(), X_OK)) << tool;
    }
    for (const char *script : {"/bin/umount", "/sbin/reboot", "/app/scripts/killapps.sh",
                               "/basic/bin/upgrader"})
        EXPECT_EQ(0755u, mode_of(r + script) & 07777) << script;

    EXPECT_EQ(std::string(1056, '\0'), read_text(r + "/dev/fb0"));
    EXPECT_TRUE(S_ISREG(mode_of(r + "/dev/misc0")));
    EXPECT_EQ("", read_text(r + "/dev/misc0"));
    EXPECT_TRUE(S_ISFIFO(mode_of(r + "/dev/input/event0")));
    EXPECT_TRUE(S_ISFIFO(mode_of(r + "/.phonesim/control")));
    EXPECT_EQ(".phonesim/kernel/proc", link_of(r + "/proc"));
    EXPECT_EQ("../.phonesim/kernel/dev/mtd7", link_of(r + "/dev/mtd7"));
    EXPECT_EQ("../.phonesim/kernel/dev/mtdblock", link_of(r + "/dev/mtdblock"));

    EXPECT_EQ("MID_VERSION 0\nSW_OEM 0\nSW_protect 0\nMtd2Version 2.0.0.1\n"
              "mtd0 90000000,90020000\nmtd1 90020000,90120000\nmtd2 90120000,90320000\n"
              "mtd3 90320000,90330000\nmtd4 90330000,903b0000\nmtd5 903b0000,904b0000\n"
              "mtd6 904b0000,906b0000\nmtd7 906b0000,90730000\nmtd8 90730000,907b0000\n"
              "mtd9 907b0000,90800000\n",
              read_text(r + "/.phonesim/bootenv"));
    const std::string layout = read_text(r + "/.phonesim/layout");
    EXPECT_EQ(0u, layout.find("mtd0 0x90000000 0x90020000\n")) << layout;
    EXPECT_NE(std::string::npos, layout.find("\nmtd4 0x90330000 0x903b0000\n")) << layout;
    Window windows[kPartitions];
    ASSERT_TRUE(parse_layout(layout, windows));
    EXPECT_EQ(profile.mtd[9].start, windows[9].start);

    const std::string flash = read_text(r + "/.phonesim/flash.img");
    ASSERT_EQ(kFlashSize, flash.size());
    const size_t mtd3 = profile.mtd[3].start - kFlashBase;
    EXPECT_EQ(0u, flash.compare(mtd3, 32, "phonesim mtd3 90320000,90330000\n"));
    EXPECT_EQ(std::string(0x1000, '\xff'), flash.substr(mtd3 + 0x1000, 0x1000));

    Profile saved;
    std::string error;
    ASSERT_TRUE(load_profile(r + "/.phonesim/profile.json", &saved, &error)) << error;
    EXPECT_EQ(profile_to_json(profile), profile_to_json(saved));
}

TEST_F(Init, RemakesATelephoneButRefusesOtherDirectories) {
    const std::string r = make();
    std::ofstream(r + "/tmp/left-over") << "x";
    make();
    EXPECT_NE(0, access((r + "/tmp/left-over").c_str(), F_OK));
    EXPECT_EQ(0, access((r + "/version.conf").c_str(), F_OK));

    TempDir user;
    std::ofstream(user.path() + "/notes.txt") << "mine";
    std::string error;
    EXPECT_EQ(-1, init_telephone(user.path(), default_profile(), {}, &error));
    EXPECT_NE(std::string::npos, error.find("not a simulated telephone")) << error;
    EXPECT_EQ("mine", read_text(user.path() + "/notes.txt"));
}

TEST_F(Init, BusyboxIsRequiredForBusyboxTools) {
    InitOptions options;
    options.busybox = true;
    std::string error;
    const bool have = access("/bin/busybox", X_OK) == 0 || access("/usr/bin/busybox", X_OK) == 0;
    int rc = init_telephone(dir_.path(), default_profile(), options, &error);
    if (!have) {
        EXPECT_EQ(-1, rc);
        EXPECT_NE(std::string::npos, error.find("busybox is not installed")) << error;
        return;
    }
    ASSERT_EQ(0, rc) << error;
    const std::string r = dir_.path();
    ASSERT_EQ(0, run_in(r, r + "/bin/echo hi > " + r + "/tmp/out"));
    EXPECT_EQ("hi\n", read_text(r + "/tmp/out"));
}

// The stand-ins work from the copies the program makes ("cp /bin/ /tmp/ -rf"
// and "cp /sbin/reboot /tmp/"), and report the profile's status.
TEST_F(Init, StandInsRecordTheirRunsAndReturnTheProfileStatus) {
    Profile profile = default_profile();
    profile.umount_status = 3;
    profile.killapps_status = 5;
    const std::string r = make(profile);
    ASSERT_EQ(0, run_in(r, "PATH='" + r + "/bin':$PATH cp " + r + "/bin/ " + r + "/tmp/ -rf"));
    EXPECT_EQ(3, run_in(r, r + "/tmp/bin/umount " + r + "/etc/"));
    EXPECT_EQ(3, run_in(r, r + "/tmp/bin/umount " + r + "/config/"));
    EXPECT_EQ(5, run_in(r, r + "/app/scripts/killapps.sh"));
    EXPECT_EQ("umount " + r + "/etc/\numount " + r + "/config/\n",
              read_text(r + "/.phonesim/records/umount.log"));
    EXPECT_EQ("killapps.sh\n", read_text(r + "/.phonesim/records/killapps.log"));
}

TEST_F(Init, RebootWithoutARunningTelephoneFails) {
    const std::string r = make();
    EXPECT_EQ(1, run_in(r, r + "/sbin/reboot 2>" + r + "/tmp/err"));
    EXPECT_EQ("reboot: no simulated telephone running\n", read_text(r + "/tmp/err"));
}

TEST_F(Init, RebootAsksTheRunningTelephoneAndDoesNotReturn) {
    const std::string r = make();
    // Opened first without blocking, so the reboot's writer finds a reader.
    int fd = open((r + "/.phonesim/control").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        setenv("UPGRADER_ROOT", r.c_str(), 1);
        execl((r + "/sbin/reboot").c_str(), "reboot", static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    setpgid(pid, pid);
    std::string got;
    for (int i = 0; i < 1000 && got.find('\n') == std::string::npos; ++i) {
        char buf[64];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
        else
            usleep(10000);
    }
    EXPECT_EQ("reboot\n", got);
    EXPECT_EQ(0, waitpid(pid, nullptr, WNOHANG)); // still waiting to be ended
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(fd);
}

TEST_F(Init, TwoTelephonesAreIndependent) {
    Profile second = default_profile();
    second.umount_status = 2;
    second.mtd0_version = "0.0.0.9";
    TempDir other;
    std::string error;
    ASSERT_EQ(0, init_telephone(other.path(), second, {}, &error)) << error;
    const std::string r = make();

    EXPECT_EQ(0, run_in(r, r + "/bin/umount /etc/"));
    EXPECT_EQ(2, run_in(other.path(), other.path() + "/bin/umount /config/"));
    EXPECT_EQ("umount /etc/\n", read_text(r + "/.phonesim/records/umount.log"));
    EXPECT_EQ("umount /config/\n", read_text(other.path() + "/.phonesim/records/umount.log"));
    EXPECT_EQ("[Version]\nMtd0Version = 0.0.0.9\n", read_text(other.path() + "/version.conf"));
    EXPECT_EQ("[Version]\nMtd0Version = 0.0.0.1\n", read_text(r + "/version.conf"));
}

} // namespace
} // namespace phonesim
