// Each case runs in a fresh platform root holding real files: the kernel
// files are plain files there and /tmp/bin/cat is the host's cat, so every
// shell command really runs. Log lines are checked as the system log gets them.
#include "upgrader/devenv.h"

#include "isolation.h"
#include "platform/platform.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace
{

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

using Logs = std::vector<std::string>;

void put(const std::string &path, const std::string &text, mode_t mode = 0644)
{
    for (size_t i = 1; (i = path.find('/', i)) != std::string::npos; ++i)
        mkdir(path.substr(0, i).c_str(), 0755);
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), mode);
}

std::string slurp(const std::string &path)
{
    std::stringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

class Devenv : public ::testing::Test
{
  protected:
    void SetUp() override { populate(root.path()); }
    void populate(const std::string &dir)
    {
        base = dir;
        put(at("/tmp/bin/cat"), slurp("/bin/cat"), 0755);
        put(at("/proc/avalanche/env"), "MID_VERSION 1\n");
        put(at("/proc/ver/software"), "1.2.3.4,build 5\nlater,line\n");
        put(at("/proc/misc/hwver"), "59.1.0.1.2.0.0.0\n");
        logged();
    }
    // Messages since the last call as "<level>:<message>", without the
    // debug lines; shell commands only when asked for.
    Logs logged(bool with_shell = false)
    {
        Logs out;
        for (const testsupport::LogLine &l : testsupport::syslog_capture().take()) {
            std::string msg = l.text.substr(l.text.find(": ") + 2);
            if (l.level() < 7 && (with_shell || msg.find("shellcmd:") == std::string::npos))
                out.push_back(std::to_string(l.level()) + ":" + msg);
        }
        return out;
    }
    std::string at(const std::string &path) const { return base + path; }
    std::string name(int i) const { return table[i].name; }
    std::string value(int i) const { return table[i].value; }

    testsupport::ScopedRoot root;
    std::string base;
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

    std::string cat = "6:shellcmd:" + at("/tmp/bin/cat ");
    EXPECT_EQ(
        logged(true),
        (Logs{cat + at("/proc/avalanche/env > ") + at("/tmp/avalanche_env_file\n"),
              "3:invalid env\n", cat + at("/proc/ver/software > ") + at("/tmp/ver_software\n")}));
    const char *names[] = {"MID_VERSION", "SW_OEM",      "mtd3",        "mtd5",
                           "SW_OEM",      "Mtd2Version", "RomVersion",  "Mtd6Version",
                           "Mtd5Version", "Mtd0Version", "Mtd1Version", ""};
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(name(i), names[i]) << i;
    EXPECT_EQ(value(1), "12");
    EXPECT_EQ(value(4), " 12");
    for (int i : {2, 3})
        EXPECT_TRUE(table[i].start_addr == 0 && table[i].end_addr == 0x10000) << i;

    unsigned int index = 99;
    EXPECT_EQ(get_mtd_info(table, "SW_OEM", &index), 0);
    EXPECT_EQ(index, 1u); // the first of two
    EXPECT_EQ(get_mtd_info(table, "Mtd1Version", &index), 0);
    EXPECT_EQ(index, 10u);
    for (const char *absent : {"mtd4", "mtd", "SW_OEM "})
        EXPECT_EQ(get_mtd_info(table, absent, &index), -1) << absent;
    EXPECT_EQ(get_mtd_info(nullptr, "mtd3", &index), -1);
    EXPECT_EQ(get_mtd_info(table, "mtd3", nullptr), -1);
    EXPECT_EQ(read_env(nullptr), -1);
}

TEST_F(Devenv, MissingVersionKeysAndSoftwareVersionUpToTheComma)
{
    put(at("/app/version.conf"), "[Version]\nMtd6Version=6.0.0.1\n");
    put(at("/proc/ver/software"), std::string(120, '7') + ",tail");
    ASSERT_EQ(read_env(table), 0);
    EXPECT_TRUE(logged().empty());
    EXPECT_EQ(name(1) + name(2), "Mtd6VersionMtd1Version");
    EXPECT_EQ(value(2), std::string(99, '7'));

    put(at("/proc/ver/software"), "1.2.3.4\nx,y\n");
    memset(table, 0, sizeof(table));
    EXPECT_EQ(read_env(table), -88);
    EXPECT_EQ(name(0), "MID_VERSION"); // what was stored stays
    put(at("/proc/ver/software"), std::string(148, '7') + ",\n");
    EXPECT_EQ(read_env(table), -88); // the comma lies beyond what is read
}

TEST_F(Devenv, OverlongLinesNamesAndValuesAreSkippedWhole)
{
    std::string n49(49, 'N'), v99(99, '9');
    put(at("/proc/avalanche/env"), std::string(1000, 'A') + " 1\n" + n49 + " " + v99 + "\n" + n49 +
                                       " " + v99 + "9\n" + n49 + "N 1\n" + "SW_OEM " + v99 + "9\n" +
                                       "SW_OEM " + v99 + "\n");
    ASSERT_EQ(read_env(table), 0);
    EXPECT_EQ(logged(), (Logs{"3:env data too long\n", "3:env data too long\n",
                              "3:env name too long\n", "3:env value too long\n"}));
    EXPECT_EQ(name(0) + "=" + value(0), "SW_OEM=" + v99); // the fitting unknown name is not kept
    EXPECT_EQ(name(1), "Mtd1Version");
}

TEST_F(Devenv, ThirtyEntriesFillTheTable)
{
    std::string env;
    for (int i = 0; i <= ENV_TABLE_SIZE; ++i)
        env += "MID_VERSION " + std::to_string(i) + "\n";
    put(at("/proc/avalanche/env"), env + "mtd4\n");
    put(at("/app/version.conf"), "[Version]\nRomVersion=2.3.4.5\n");
    ASSERT_EQ(read_env(table), 0);
    // Two lines and no version or software entry find no room.
    EXPECT_EQ(logged(), Logs(2, "3:env data too many\n"));
    EXPECT_EQ(value(ENV_TABLE_SIZE - 1), "29");
}

TEST_F(Devenv, MissingCopyToolFailsAtOnce)
{
    remove(at("/tmp/bin/cat").c_str());
    unsigned char hw[HW_VERSION_LEN] = {};
    EXPECT_EQ(read_env(table), -1);
    EXPECT_EQ(get_hardware_version(hw), -1);
    EXPECT_EQ(logged(true).size(), 2u); // one attempt each, nothing else
}

TEST_F(Devenv, EightDotSeparatedNumbers)
{
    const struct {
        const char *text;
        int result;
        std::vector<int> hw; // all nine bytes; the last is a guard
    } cases[] = {{"59.1.0.1.2.0.0.0\n", 0, {59, 1, 0, 1, 2, 0, 0, 0, 0xAA}},
                 {"..59.. 300.0.1.2.0.0.7", 0, {59, 44, 0, 1, 2, 0, 0, 7, 0xAA}},
                 {"59.1.0.1.2.0.0\n", -1, {59, 1, 0, 1, 2, 0, 0, 0xAA, 0xAA}},
                 {"1.2.3.4.5.6.7.8.9\n", -1, {1, 2, 3, 4, 5, 6, 7, 8, 0xAA}}};
    for (const auto &c : cases) {
        put(at("/proc/misc/hwver"), c.text);
        unsigned char hw[HW_VERSION_LEN + 1];
        memset(hw, 0xAA, sizeof(hw));
        EXPECT_EQ(get_hardware_version(hw), c.result) << c.text;
        EXPECT_EQ(std::vector<int>(hw, hw + sizeof(hw)), c.hw) << c.text;
    }
    EXPECT_EQ(get_hardware_version(nullptr), -1);
}

TEST_F(Devenv, EchoesIntoTheBootEnvironmentAndRefusesBadText)
{
    std::string env = at("/proc/avalanche/env");
    EXPECT_EQ(do_set_env("SW_protect", ""), 0);
    EXPECT_EQ(logged(true), Logs{"6:\nshellcmd:echo \"SW_protect\" >" + env + " \n"});
    EXPECT_EQ(slurp(env), "SW_protect\n");
    // The longest text that fits: 256 less the command around it.
    std::string longest(256 - 27 - 2, 'v');
    EXPECT_EQ(do_set_env("N", (longest + "v").c_str()), -1);
    EXPECT_EQ(logged(true), Logs{"3:env str too long!\n"});
    EXPECT_EQ(do_set_env("N", longest.c_str()), 0);
    EXPECT_EQ(logged(true), Logs{"6:\nshellcmd:echo \"N " + longest + "\" >" + env + " \n"});

    EXPECT_EQ(do_set_env(nullptr, "1"), -1);
    EXPECT_EQ(do_set_env("MID_VERSION", nullptr), -1);
    EXPECT_EQ(logged(), (Logs{"3:penv_name NULL!\n", "3:penv_value NULL!\n"}));
    for (const char *bad : {"\"", "\\", "$", "`", "\n"}) {
        std::string text = std::string("1") + bad + "touch pwned";
        EXPECT_EQ(do_set_env("MID_VERSION", text.c_str()), -1);
        EXPECT_EQ(do_set_env(text.c_str(), "1"), -1);
        Logs logs = logged(true);
        ASSERT_EQ(logs.size(), 2u); // refused before any shell ran
        EXPECT_EQ(logs[0].substr(0, 2), "3:");
    }
    EXPECT_EQ(slurp(env), "N " + longest + "\n");

    remove(env.c_str());
    remove(at("/proc/avalanche").c_str());
    EXPECT_EQ(do_set_env("MID_VERSION", "1"), -1);
    EXPECT_EQ(logged(true).back(), "3:echo \"MID_VERSION 1\" >" + env + "  shellcmd failed!\n");
}

TEST_F(Devenv, RootWithABlankIsQuotedInEveryCommand)
{
    populate(root.path() + "/with blank");
    setenv(UPGRADER_ROOT_ENV, base.c_str(), 1);
    unsigned char hw[HW_VERSION_LEN] = {};
    EXPECT_EQ(read_env(table), 0);
    EXPECT_EQ(get_hardware_version(hw), 0);
    EXPECT_EQ(do_set_env("SW_OEM", "12"), 0);
    Logs logs = logged(true);
    std::string q = "'" + base;
    EXPECT_EQ(logs[0], "6:shellcmd:" + q + "/tmp/bin/cat' " + q + "/proc/avalanche/env' > " + q +
                           "/tmp/avalanche_env_file'\n");
    EXPECT_EQ(logs.back(), "6:\nshellcmd:echo \"SW_OEM 12\" >" + q + "/proc/avalanche/env' \n");
    EXPECT_TRUE(value(1) == "1.2.3.4" && hw[0] == 59);
    EXPECT_EQ(slurp(at("/proc/avalanche/env")), "SW_OEM 12\n");
}
