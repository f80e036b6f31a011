// Each case runs in a fresh platform root holding real files: the kernel
// files are plain files there and /tmp/bin/cat is the host's cat, so every
// shell command really runs.
#include "upgrader/devenv.h"

#include "files.h"
#include "isolation.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <sstream>
#include <string>

using testsupport::put, testsupport::slurp;

namespace
{

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

class Devenv : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        for (const char *d : {"", "/tmp", "/tmp/bin", "/proc", "/proc/avalanche", "/proc/ver",
                              "/proc/misc", "/app", "/basic"})
            mkdir(at(d).c_str(), 0755);
        put(at("/tmp/bin/cat"), slurp("/bin/cat"));
        chmod(at("/tmp/bin/cat").c_str(), 0755);
        put(at("/proc/avalanche/env"), "MID_VERSION 1\n");
        put(at("/proc/ver/software"), "1.2.3.4,build 5\nlater,line\n");
        put(at("/proc/misc/hwver"), "59.1.0.1.2.0.0.0\n");
    }
    std::string at(const std::string &path) const { return root / path; }
    // "name=value" of the first n entries (mtdN without value), ' '-joined.
    std::string entries(int n) const
    {
        std::string out;
        for (int i = 0; i < n; ++i)
            out += std::string(i ? " " : "") + table[i].name +
                   (strncmp(table[i].name, "mtd", 3) ? "=" + std::string(table[i].value) : "");
        return out;
    }

    testsupport::ScopedRoot root;
    env_info table[ENV_TABLE_SIZE] = {};
};

} // namespace

TEST_F(Devenv, StoresKnownLinesInFileOrderThenVersionsThenSoftware)
{
    put(at("/proc/avalanche/env"), "MID_VERSION 1\nSW_OEM\t12\nbootdelay 3\nmtd4\n"
                                   "mtd3 0x0,0x10000\nmtd5 0,10000\nmtd6 zz,1\n"
                                   "SW_OEM  12\nMtd2Version 1.2.3.4\nSW_protect 1");
    put(at("/app/version.conf"), "[Version]\nRomVersion = 2.3.4.5\nMtd6Version=6.0.0.1\n");
    put(at("/basic/version.conf"), "[Version]\nMtd5Version=5.0.0.1\n");
    put(at("/version.conf"), "[Other]\nMtd0Version=9\n[Version]\nMtd0Version=0.0.0.1\n");
    ASSERT_EQ(read_env(table), 0);
    EXPECT_EQ(entries(12), "MID_VERSION=1 SW_OEM=12 mtd3 mtd5 SW_OEM= 12 Mtd2Version=1.2.3.4 "
                           "RomVersion=2.3.4.5 Mtd6Version=6.0.0.1 Mtd5Version=5.0.0.1 "
                           "Mtd0Version=0.0.0.1 Mtd1Version=1.2.3.4 =");
    EXPECT_TRUE(table[3].start_addr == 0 && table[3].end_addr == 0x10000);
    unsigned int index = 99;
    EXPECT_EQ(get_mtd_info(table, "SW_OEM", &index), 0);
    EXPECT_EQ(index, 1u); // the first of two
    for (const char *absent : {"mtd4", "mtd", "SW_OEM "})
        EXPECT_EQ(get_mtd_info(table, absent, &index), -1) << absent;
    EXPECT_EQ(read_env(nullptr), -1);
}

TEST_F(Devenv, OverlongLinesSoftwareVersionUpToTheCommaAndAFullTable)
{
    std::string n49(49, 'N'), v99(99, '9');
    put(at("/proc/avalanche/env"), std::string(1000, 'A') + " 1\n" + n49 + " " + v99 + "\n" + n49 +
                                       " " + v99 + "9\n" + n49 + "N 1\nSW_OEM " + v99 +
                                       "9\nSW_OEM " + v99 + "\n");
    put(at("/proc/ver/software"), std::string(120, '7') + ",tail");
    ASSERT_EQ(read_env(table), 0);
    EXPECT_EQ(entries(2), "SW_OEM=" + v99 + " Mtd1Version=" + std::string(99, '7'));
    put(at("/proc/ver/software"), "1.2.3.4\nx,y\n");
    EXPECT_EQ(read_env(table), -88);
    put(at("/proc/ver/software"), std::string(148, '7') + ",\n");
    EXPECT_EQ(read_env(table), -88); // the comma lies beyond what is read

    std::string env;
    for (int i = 0; i <= ENV_TABLE_SIZE; ++i)
        env += "MID_VERSION " + std::to_string(i) + "\n";
    put(at("/proc/avalanche/env"), env);
    put(at("/proc/ver/software"), "1.2.3.4,b\n");
    memset(table, 0, sizeof(table));
    ASSERT_EQ(read_env(table), 0);
    EXPECT_EQ(std::string(table[ENV_TABLE_SIZE - 1].value), "29");
    remove(at("/tmp/bin/cat").c_str()); // no copy tool: fails at once
    unsigned char hw[HW_VERSION_LEN] = {};
    EXPECT_EQ(read_env(table) + get_hardware_version(hw), -2);
}

TEST_F(Devenv, HardwareVersionIsEightDotSeparatedNumbers)
{
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
    EXPECT_EQ(get_hardware_version(nullptr), -1);
}

TEST_F(Devenv, SetEnvWritesTheLineAndRefusesTextTheShellWouldRead)
{
    std::string env = at("/proc/avalanche/env");
    EXPECT_EQ(do_set_env("SW_protect", ""), 0);
    EXPECT_EQ(slurp(env), "SW_protect\n");
    std::string longest(256 - 27 - 2, 'v'); // 256 less the command around it
    EXPECT_EQ(do_set_env("N", (longest + "v").c_str()), -1);
    EXPECT_EQ(do_set_env("N", longest.c_str()), 0);
    EXPECT_EQ(do_set_env(nullptr, "1") + do_set_env("MID_VERSION", nullptr), -2);
    for (const char *bad : {"\"", "\\", "$", "`", "\n"}) {
        std::string text = std::string("1") + bad + "touch pwned";
        EXPECT_EQ(do_set_env("MID_VERSION", text.c_str()), -1);
        EXPECT_EQ(do_set_env(text.c_str(), "1"), -1);
    }
    EXPECT_EQ(slurp(env), "N " + longest + "\n");
    remove(env.c_str());
    remove(at("/proc/avalanche").c_str());
    EXPECT_EQ(do_set_env("MID_VERSION", "1"), -1);
}
