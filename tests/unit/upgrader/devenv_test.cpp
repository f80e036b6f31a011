// The device environment in a fresh platform root of plain files, with the
// host's cat as /tmp/bin/cat so that every shell command really runs.
#include "upgrader/devenv.h"
#include "upgrader/shellcmd.h"

#include "files.h"
#include "isolation.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

using testsupport::put, testsupport::slurp;

namespace
{

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

// "{N*TEXT}" expanded to N copies of TEXT, "\\t" to a tab.
std::string expand(std::string s)
{
    for (size_t at; (at = s.find("\\t")) != std::string::npos;)
        s.replace(at, 2, "\t");
    for (size_t at; (at = s.find('{')) != std::string::npos;) {
        size_t star = s.find('*', at), end = s.find('}', at);
        std::string copies;
        for (int n = std::stoi(s.substr(at + 1, star - at - 1)); n > 0; --n)
            copies += s.substr(star + 1, end - star - 1);
        s.replace(at, end - at + 1, copies);
    }
    return s;
}

class Devenv : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        for (const char *d : {"/tmp", "/tmp/bin", "/proc", "/proc/avalanche", "/proc/ver",
                              "/proc/misc", "/app", "/basic"})
            mkdir(at(d).c_str(), 0755);
        put(at("/tmp/bin/cat"), slurp("/bin/cat"));
        chmod(at("/tmp/bin/cat").c_str(), 0755);
        put(at("/proc/avalanche/env"), "MID_VERSION 1\n");
        put(at("/proc/ver/software"), "1.2.3.4,build 5\n");
        put(at("/app/version.conf"), "[Version]\nRomVersion = 2.3.4.5\nMtd6Version=6.0.0.1\n");
        put(at("/basic/version.conf"), "[Version]\nMtd5Version=5.0.0.1\n");
        put(at("/version.conf"), "[Other]\nMtd0Version=9\n[Version]\nMtd0Version=0.0.0.1\n");
    }
    std::string at(const std::string &path) const { return root / path; }

    testsupport::ScopedRoot root;
    env_info table[ENV_TABLE_SIZE] = {};
};

} // namespace

// Rows of devenv_read.rows and hwver.rows.
TEST_F(Devenv, ReadEnvAndHardwareVersionRows)
{
    for (const testsupport::Row &r : testsupport::rows(TEST_DATA_DIR "/devenv_read.rows")) {
        put(at("/proc/avalanche/env"), expand(r[1]));
        put(at("/proc/ver/software"), expand(r[2]));
        memset(table, 0, sizeof(table));
        EXPECT_EQ(read_env(table), std::stoi(r[3])) << r[0];
        std::string entries, want = expand(r.size() > 4 ? r[4] : "");
        for (int i = 0; entries.size() < want.size() && i < ENV_TABLE_SIZE; ++i) {
            char window[32];
            snprintf(window, sizeof(window), "%x-%x", table[i].start_addr, table[i].end_addr);
            bool mtd = strncmp(table[i].name, "mtd", 3) == 0;
            entries += table[i].name + ("=" + (mtd ? window : std::string(table[i].value))) + ";";
        }
        EXPECT_EQ(entries, want) << r[0];
    }
    unsigned int index = 99;
    EXPECT_TRUE(get_mtd_info(table, "MID_VERSION", &index) == 0 && index == 0); // the first
    for (const testsupport::Row &r : testsupport::rows(TEST_DATA_DIR "/hwver.rows")) {
        put(at("/proc/misc/hwver"), r[0]);
        unsigned char hw[HW_VERSION_LEN + 1];
        memset(hw, 0xAA, sizeof(hw));
        EXPECT_EQ(get_hardware_version(hw), std::stoi(r[1])) << r[0];
        std::ostringstream got;
        for (size_t i = 0; i < sizeof(hw); ++i)
            got << (i ? " " : "") << int(hw[i]);
        EXPECT_EQ(got.str(), r[2]) << r[0];
    }
}

TEST_F(Devenv, SetEnvRefusesTextTheShellWouldReadAndOnlyAZeroExitCounts)
{
    std::string env = at("/proc/avalanche/env");
    EXPECT_EQ(do_set_env("SW_protect", ""), 0);
    EXPECT_EQ(slurp(env), "SW_protect\n");
    std::string longest(256 - 27 - 2, 'v'); // 256 less the command around it
    EXPECT_EQ(do_set_env("N", (longest + "v").c_str()), -1);
    EXPECT_EQ(do_set_env("N", longest.c_str()), 0);
    for (const char *bad : {"\"", "\\", "$", "`", "\n"}) {
        std::string text = std::string("1") + bad + "touch pwned";
        EXPECT_EQ(do_set_env("MID_VERSION", text.c_str()) + do_set_env(text.c_str(), "1"), -2);
    }
    EXPECT_EQ(slurp(env), "N " + longest + "\n");
    // Only a zero exit counts: not another code, a signal or system() failing.
    EXPECT_EQ(system_return_check(system("exit 0")), 0);
    for (int status : {system("exit 1"), system("kill -TERM $$"), -1})
        EXPECT_EQ(system_return_check(status), -1) << status;
}
