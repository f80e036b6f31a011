// The device environment in a fresh platform root of plain files, with the
// host's cat as /tmp/bin/cat so that every shell command really runs.
#include "upgrader/devenv.h"
#include "upgrader/shellcmd.h"

#include "files.h"
#include "isolation.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

using testsupport::put, testsupport::slurp, testsupport::Row, testsupport::unescape;

namespace
{

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

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

class DevenvRead : public Devenv, public ::testing::WithParamInterface<Row>
{
};
using HardwareVersion = DevenvRead;

// The columns of devenv_read.rows and hwver.rows.
enum { kName, kBootEnv, kSoftware, kResult, kEntries };
enum { kHwName, kHwText, kHwResult, kHwBytes };

} // namespace

TEST_P(DevenvRead, TakesTheLinesItCanHoldAndTheVersions)
{
    const Row &r = GetParam();
    put(at("/proc/avalanche/env"), unescape(r[kBootEnv]));
    put(at("/proc/ver/software"), unescape(r[kSoftware]));
    EXPECT_EQ(read_env(table), std::stoi(r[kResult]));
    std::string entries, want = unescape(r.size() > kEntries ? r[kEntries] : "");
    for (int i = 0; entries.size() < want.size() && i < ENV_TABLE_SIZE; ++i) {
        char window[32];
        snprintf(window, sizeof(window), "%x-%x", table[i].start_addr, table[i].end_addr);
        bool mtd = strncmp(table[i].name, "mtd", 3) == 0;
        entries += table[i].name + ("=" + (mtd ? window : std::string(table[i].value))) + ";";
    }
    EXPECT_EQ(entries, want);
    unsigned int index = 99; // a name is found at its first entry
    EXPECT_TRUE(!table[0].name[0] ||
                (get_mtd_info(table, table[0].name, &index) == 0 && index == 0));
}

TEST_P(HardwareVersion, StoresEightNumbersAndNothingPastThem)
{
    const Row &r = GetParam();
    put(at("/proc/misc/hwver"), r[kHwText]);
    unsigned char hw[HW_VERSION_LEN + 1];
    memset(hw, 0xAA, sizeof(hw));
    EXPECT_EQ(get_hardware_version(hw), std::stoi(r[kHwResult]));
    std::ostringstream got;
    for (size_t i = 0; i < sizeof(hw); ++i)
        got << (i ? " " : "") << int(hw[i]);
    EXPECT_EQ(got.str(), r[kHwBytes]);
}

INSTANTIATE_TEST_SUITE_P(Files, DevenvRead,
                         ::testing::ValuesIn(testsupport::rows(TEST_DATA_DIR "/devenv_read.rows")),
                         [](const ::testing::TestParamInfo<Row> &info) { return info.param[0]; });
INSTANTIATE_TEST_SUITE_P(Files, HardwareVersion,
                         ::testing::ValuesIn(testsupport::rows(TEST_DATA_DIR "/hwver.rows")),
                         [](const ::testing::TestParamInfo<Row> &info) { return info.param[0]; });

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
