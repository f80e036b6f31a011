// Each case runs in a fresh platform root whose /tmp and /config are real
// directories; the shell tools are the host's, found on PATH, so every
// command really runs. Log lines are checked as the system log gets them.
// Lists directories the way the unit does, also in a 32-bit build.
#define _FILE_OFFSET_BITS 64

#include "upgrader/autop.h"

#include "files.h"
#include "isolation.h"

#include <dirent.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kPrivateIpc | testsupport::kCaptureSyslog));

namespace
{

using testsupport::put;
using testsupport::slurp;

const char kRebootLine[] = "Config.Autoprovision.Reboot.Enable = 1 \n";

// Messages since the last call as "<level>:<message>".
std::vector<std::string> logged()
{
    std::vector<std::string> out;
    for (const testsupport::LogLine &l : testsupport::syslog_capture().take()) {
        size_t colon = l.text.find(": ");
        out.push_back(std::to_string(l.level()) + ":" +
                      (colon == std::string::npos ? l.text : l.text.substr(colon + 2)));
    }
    return out;
}

// Names of the directory's entries in the order it lists them.
std::vector<std::string> listing(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (const dirent *e = readdir(d))
        names.push_back(e->d_name);
    closedir(d);
    return names;
}

// Files named exactly name anywhere below dir.
int g_found = 0;
const char *g_wanted = nullptr;
int count_named(const std::string &dir, const char *name)
{
    g_found = 0;
    g_wanted = name;
    nftw(
        dir.c_str(),
        [](const char *p, const struct stat *, int, FTW *f) {
            if (strcmp(p + f->base, g_wanted) == 0)
                ++g_found;
            return 0;
        },
        16, FTW_PHYS);
    return g_found;
}

class Autop : public ::testing::Test
{
  protected:
    void SetUp() override { populate(root.path()); }
    void populate(const std::string &dir)
    {
        base = dir;
        for (const char *d : {"/tmp", "/config", "/config/Phone", "/config/Phone/Key"})
            mkdir(at(d).c_str(), 0755);
        version("2.143.3.200");
        logged();
    }
    void version(const char *text)
    {
        snprintf(table[3].name, sizeof(table[3].name), "%s", "RomVersion");
        snprintf(table[3].value, sizeof(table[3].value), "%s", text);
    }
    std::string at(const std::string &path) const { return base + path; }
    std::string saved() const { return slurp(at(AUTOP_RETRY_SAVE)); }
    bool has_saved() const { return access(at(AUTOP_RETRY_SAVE).c_str(), F_OK) == 0; }

    testsupport::ScopedRoot root;
    std::string base;
    env_info table[ENV_TABLE_SIZE] = {};
};

// ------------------------------------------------------------- config_autop

using ConfigAutop = Autop;

TEST_F(ConfigAutop, GathersRegularProvisioningFilesInDirectoryOrder)
{
    put(at("/tmp/x.cfg"), "x=1\n");
    put(at("/tmp/y.conf"), "y=2\n");
    put(at("/tmp/a.cfg.bak"), "bak\n");
    put(at("/tmp/b.conf.old"), "old\n");
    put(at("/tmp/c.txt"), "txt\n");
    put(at("/tmp/cfg"), "bare\n");
    mkdir(at("/tmp/d.cfg").c_str(), 0755);
    ASSERT_EQ(symlink("x.cfg", at("/tmp/l.cfg").c_str()), 0);
    ASSERT_EQ(symlink("/nowhere", at("/tmp/m.conf").c_str()), 0);

    config_autop(table);

    std::string expected;
    for (const std::string &name : listing(at("/tmp"))) {
        if (name == "x.cfg")
            expected += "x=1\n  \n";
        if (name == "y.conf")
            expected += "y=2\n  \n";
    }
    ASSERT_EQ(expected.size(), 14u); // both listed
    EXPECT_EQ(saved(), expected + kRebootLine);
    EXPECT_EQ(logged(), std::vector<std::string>{"3:config ok"});
}

TEST_F(ConfigAutop, BlanksEveryLineWithACharacterBeforeUrl)
{
    put(at("/tmp/p.cfg"), "account.1.url = http://a\nserver.URL=b\nkeep=1\nUrl.first=2\nnourl\n");
    config_autop(table);
    // The letters must follow some character; a line starting with them stays.
    EXPECT_EQ(saved(), std::string("   \n   \nkeep=1\nUrl.first=2\n   \n  \n") + kRebootLine);
}

TEST_F(ConfigAutop, NoFileStillCreatesTheSaveWithTheRebootLine)
{
    config_autop(table);
    EXPECT_EQ(saved(), kRebootLine);
    EXPECT_EQ(logged(), std::vector<std::string>{"3:config ok"});
}

TEST_F(ConfigAutop, ExistingSaveIsNeverAppendedTo)
{
    put(at(AUTOP_RETRY_SAVE), "earlier\n");
    put(at("/tmp/x.cfg"), "x=1\n");
    config_autop(table);
    EXPECT_EQ(saved(), "earlier\n");
    EXPECT_EQ(logged(), std::vector<std::string>{"3:/config/autop_retry_save.cfg is exist"});
}

TEST_F(ConfigAutop, OnlyRomVersionsWithThirdNumberBelowFour)
{
    put(at("/tmp/x.cfg"), "x=1\n");
    for (const char *v : {"2.143.4.0", "59.1.200.1", "2.143.4"}) {
        version(v);
        config_autop(table);
        EXPECT_FALSE(has_saved()) << v;
        EXPECT_TRUE(logged().empty()) << v;
    }
    version("2.143"); // missing numbers count as 0
    config_autop(table);
    EXPECT_EQ(saved(), std::string("x=1\n  \n") + kRebootLine);
}

TEST_F(ConfigAutop, MissingRomVersionOrTmpStops)
{
    put(at("/tmp/x.cfg"), "x=1\n");
    env_info empty[ENV_TABLE_SIZE] = {};
    config_autop(empty);
    EXPECT_FALSE(has_saved());
    EXPECT_EQ(logged(), std::vector<std::string>{"6:RomVersion env isnot exist!\n"});

    ASSERT_EQ(system(("rm -rf '" + at("/tmp") + "'").c_str()), 0);
    config_autop(table);
    EXPECT_FALSE(has_saved());
    EXPECT_EQ(logged(), std::vector<std::string>{"3:open /tmp failed!\n"});
}

TEST_F(ConfigAutop, MoreThanTenTakesTheFirstTenListedAndNamesTheRest)
{
    for (int i = 0; i < 12; ++i)
        put(at("/tmp/f" + std::to_string(i) + ".cfg"), "file" + std::to_string(i) + "\n");
    config_autop(table);

    std::vector<std::string> order;
    for (const std::string &name : listing(at("/tmp")))
        if (name[0] == 'f')
            order.push_back(name);
    ASSERT_EQ(order.size(), 12u);
    std::string expected;
    for (size_t i = 0; i < 10; ++i)
        expected += "file" + order[i].substr(1, order[i].size() - 5) + "\n  \n";
    EXPECT_EQ(saved(), expected + kRebootLine);
    EXPECT_EQ(logged(), (std::vector<std::string>{
                            "4:config_autop: /tmp/" + order[10] + " skipped, more than 10 files\n",
                            "4:config_autop: /tmp/" + order[11] + " skipped, more than 10 files\n",
                            "3:config ok"}));
}

TEST_F(ConfigAutop, HostileNamesAreOnlyEverFileNames)
{
    testsupport::TempDir cwd;
    char *old_cwd = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(cwd.path().c_str()), 0);

    const std::vector<std::string> names = {"x;touch PWNED;.cfg",
                                            "$(touch PWNED).cfg",
                                            "`touch PWNED`.conf",
                                            "it's.cfg",
                                            "q\"uote.cfg",
                                            "sp ace .cfg",
                                            "new\nline;touch PWNED.cfg",
                                            "a'$(touch PWNED)'b.cfg",
                                            "&& touch PWNED |.conf",
                                            "-n.cfg"};
    std::set<std::string> markers;
    for (size_t i = 0; i < names.size(); ++i) {
        std::string marker = "marker" + std::to_string(i);
        put(at("/tmp/" + names[i]), marker + "\n");
        markers.insert(marker);
    }
    config_autop(table);

    std::set<std::string> found;
    std::string text = saved();
    for (const std::string &m : markers)
        if (text.find(m + "\n  \n") != std::string::npos)
            found.insert(m);
    EXPECT_EQ(found, markers);
    EXPECT_EQ(text.size(), names.size() * strlen("markerN\n  \n") + strlen(kRebootLine));
    EXPECT_EQ(count_named(base, "PWNED"), 0);
    EXPECT_EQ(count_named(cwd.path(), "PWNED"), 0);
    EXPECT_EQ(logged(), std::vector<std::string>{"3:config ok"});

    ASSERT_EQ(chdir(old_cwd), 0);
    free(old_cwd);
}

TEST_F(ConfigAutop, NewlineInANameStaysOneWord)
{
    // Unquoted, the newline would end the command after "two" and leave the
    // content out; quoted, the name is one word.
    put(at("/tmp/two\nlines.cfg"), "both\n");
    config_autop(table);
    EXPECT_EQ(saved(), std::string("both\n  \n") + kRebootLine);
}

TEST(ConfigAutopRoot, WorksUnderARootTheShellWouldSplit)
{
    testsupport::TempDir dir;
    std::string base = dir.path() + "/it's a root; $(touch PWNED)";
    for (const char *d : {"", "/tmp", "/config"})
        mkdir((base + d).c_str(), 0755);
    put(base + "/tmp/x.cfg", "x=1\n");
    setenv("UPGRADER_ROOT", base.c_str(), 1);
    env_info table[ENV_TABLE_SIZE] = {};
    snprintf(table[0].name, sizeof(table[0].name), "%s", "RomVersion");
    snprintf(table[0].value, sizeof(table[0].value), "%s", "2.143.0.1");
    config_autop(table);
    EXPECT_EQ(slurp(base + AUTOP_RETRY_SAVE), std::string("x=1\n  \n") + kRebootLine);
    EXPECT_EQ(count_named(dir.path(), "PWNED"), 0);
    unsetenv("UPGRADER_ROOT");
}

// ---------------------------------------------------- config_deleteLineKey8

using DeleteLineKey8 = Autop;

const char kKeys[] = "[ LINEKEY7 ]\ntype = 15\n[ LINEKEY8 ]\ntype = 15\n[ LINEKEY9 ]\n";

TEST_F(DeleteLineKey8, MarksKeyEightUnusedForFamily59BelowThirdNumberFour)
{
    for (const char *v : {"59.1.3.7", "59.0.0.0", "59.200.259.1" /* 259 is 3 in 8 bits */}) {
        put(at(PROGRAMABLE_KEY_CONF), kKeys);
        version(v);
        config_deleteLineKey8(table);
        EXPECT_EQ(slurp(at(PROGRAMABLE_KEY_CONF)),
                  "[ LINEKEY7 ]\ntype = 15\n [ LINEKEY8_NOUSED ]\ntype = 15\n[ LINEKEY9 ]\n")
            << v;
        EXPECT_EQ(logged(), (std::vector<std::string>{"6:config_deleteLineKey8",
                                                      "6:config_deleteLineKey8 excute"}))
            << v;
    }
}

TEST_F(DeleteLineKey8, LeavesOtherVersionsAlone)
{
    put(at(PROGRAMABLE_KEY_CONF), kKeys);
    for (const char *v : {"59.1.4.0", "58.1.3.0", "60.1.0.0", "315.1.4.0"}) {
        version(v);
        config_deleteLineKey8(table);
        EXPECT_EQ(slurp(at(PROGRAMABLE_KEY_CONF)), kKeys) << v;
        EXPECT_EQ(logged(), std::vector<std::string>{"6:config_deleteLineKey8"}) << v;
    }
    env_info empty[ENV_TABLE_SIZE] = {};
    config_deleteLineKey8(empty);
    EXPECT_EQ(logged(), (std::vector<std::string>{"6:config_deleteLineKey8",
                                                  "6:RomVersion env isnot exist!\n"}));
}

TEST(DeleteLineKey8Root, WorksUnderARootTheShellWouldSplit)
{
    testsupport::TempDir dir;
    std::string base = dir.path() + "/a 'b' $(touch PWNED)";
    for (const char *d : {"", "/config", "/config/Phone", "/config/Phone/Key"})
        mkdir((base + d).c_str(), 0755);
    put(base + PROGRAMABLE_KEY_CONF, "[ LINEKEY8 ]\n");
    setenv("UPGRADER_ROOT", base.c_str(), 1);
    env_info table[ENV_TABLE_SIZE] = {};
    snprintf(table[0].name, sizeof(table[0].name), "%s", "RomVersion");
    snprintf(table[0].value, sizeof(table[0].value), "%s", "59.1.3.1");
    config_deleteLineKey8(table);
    EXPECT_EQ(slurp(base + PROGRAMABLE_KEY_CONF), " [ LINEKEY8_NOUSED ]\n");
    EXPECT_EQ(count_named(dir.path(), "PWNED"), 0);
    unsetenv("UPGRADER_ROOT");
}

} // namespace
