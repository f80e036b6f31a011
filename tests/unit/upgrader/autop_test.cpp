// Each case runs in a fresh platform root whose /tmp and /config are real
// directories; the shell tools are the host's, found on PATH, so every
// command really runs.
// Lists directories the way the unit does, also in a 32-bit build.
#define _FILE_OFFSET_BITS 64

#include "upgrader/autop.h"

#include "files.h"
#include "isolation.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kPrivateIpc | testsupport::kCaptureSyslog));

namespace
{

using testsupport::put, testsupport::slurp;

const std::string kRebootLine = "Config.Autoprovision.Reboot.Enable = 1 \n";
const std::string kKeys = "[ LINEKEY7 ]\ntype = 15\n[ LINEKEY8 ]\ntype = 15\n[ LINEKEY9 ]\n";

// Whether an injected command left its mark anywhere below dir.
bool pwned_below(const std::string &dir)
{
    setenv("SEARCH_DIR", dir.c_str(), 1);
    return system("find \"$SEARCH_DIR\" -name PWNED | grep -q .") == 0;
}

class Autop : public ::testing::Test
{
  protected:
    void SetUp() override { make_root(root.path()), set_version("2.143.3.200"); }
    void make_root(const std::string &base)
    {
        for (const char *d : {"", "/tmp", "/config", "/config/Phone", "/config/Phone/Key"})
            mkdir((base + d).c_str(), 0755);
    }
    void set_version(const std::string &version)
    {
        snprintf(table[3].name, sizeof(table[3].name), "%s", version.empty() ? "" : "RomVersion");
        snprintf(table[3].value, sizeof(table[3].value), "%s", version.c_str());
    }
    std::string at(const std::string &path) const { return root / path; }
    // The provisioning files of /tmp in the order the directory lists them.
    std::vector<std::string> listing() const
    {
        std::vector<std::string> names;
        DIR *d = opendir(at("/tmp").c_str());
        while (const dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
        return names;
    }

    testsupport::ScopedRoot root;
    env_info table[ENV_TABLE_SIZE] = {};
};

} // namespace

TEST_F(Autop, OnlyForTheirRomVersions)
{
    put(at("/tmp/x.cfg"), "x=1\n");
    for (const testsupport::Row &r : testsupport::rows(TEST_DATA_DIR "/autop_versions.rows")) {
        unlink(at(AUTOP_RETRY_SAVE).c_str());
        put(at(PROGRAMABLE_KEY_CONF), kKeys);
        set_version(r[0] == "(none)" ? "" : r[0]);
        config_autop(table);
        config_deleteLineKey8(table);
        EXPECT_EQ(access(at(AUTOP_RETRY_SAVE).c_str(), F_OK) == 0, r[1] == "yes") << r[0];
        EXPECT_EQ(slurp(at(PROGRAMABLE_KEY_CONF)),
                  r[2] == "no"
                      ? kKeys
                      : "[ LINEKEY7 ]\ntype = 15\n [ LINEKEY8_NOUSED ]\ntype = 15\n[ LINEKEY9 ]\n")
            << r[0];
    }
}

TEST_F(Autop, GathersRegularProvisioningFilesWithoutUrlsAndNeverAppends)
{
    put(at("/tmp/x.cfg"), "account.1.url = http://a\nserver.URL=b\nkeep=1\nUrl.first=2\nnourl\n");
    put(at("/tmp/y.conf"), "y=2\n");
    for (const char *other : {"a.cfg.bak", "b.conf.old", "c.txt", "cfg"})
        put(at("/tmp/") + other, "other\n");
    mkdir(at("/tmp/d.cfg").c_str(), 0755);
    ASSERT_EQ(symlink("x.cfg", at("/tmp/l.cfg").c_str()), 0);
    ASSERT_EQ(symlink("/nowhere", at("/tmp/m.conf").c_str()), 0);
    config_autop(table);
    // A line with any character before "url" (any case) is blanked; one
    // starting with it stays.
    std::string expected;
    for (const std::string &name : listing())
        expected += name == "x.cfg"    ? "   \n   \nkeep=1\nUrl.first=2\n   \n  \n"
                    : name == "y.conf" ? "y=2\n  \n"
                                       : "";
    EXPECT_EQ(slurp(at(AUTOP_RETRY_SAVE)), expected + kRebootLine);
    put(at("/tmp/z.cfg"), "z=1\n");
    config_autop(table);
    EXPECT_EQ(slurp(at(AUTOP_RETRY_SAVE)), expected + kRebootLine);
}

TEST_F(Autop, MoreThanTenTakesTheFirstTenListed)
{
    for (int i = 0; i < 12; ++i)
        put(at("/tmp/f" + std::to_string(i) + ".cfg"), "file" + std::to_string(i) + "\n");
    config_autop(table);
    std::string expected;
    for (size_t i = 0; i < 10; ++i)
        expected += slurp(at("/tmp/" + listing()[i])) + "  \n";
    EXPECT_EQ(slurp(at(AUTOP_RETRY_SAVE)), expected + kRebootLine);
}

TEST_F(Autop, HostileNamesAndRootsAreOnlyEverFileNames)
{
    testsupport::TempDir cwd;
    char *old_cwd = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(cwd.path().c_str()), 0);
    // Unquoted, a newline would end the command and leave the content out.
    // Joined with '/', the one character no name can hold.
    std::istringstream names("x;touch PWNED;.cfg/$(touch PWNED).cfg/`touch PWNED`.conf/it's.cfg/"
                             "q\"uote.cfg/sp ace .cfg/new\nline;touch PWNED.cfg/-n.cfg/"
                             "a'$(touch PWNED)'b.cfg/&& touch PWNED |.conf");
    size_t count = 0;
    for (std::string name; std::getline(names, name, '/'); ++count)
        put(at("/tmp/") + name, "marker" + std::to_string(count) + "\n");
    config_autop(table);
    std::string text = slurp(at(AUTOP_RETRY_SAVE));
    for (size_t i = 0; i < count; ++i)
        EXPECT_NE(text.find("marker" + std::to_string(i) + "\n  \n"), std::string::npos) << i;
    EXPECT_EQ(text.size(), count * 11 + kRebootLine.size()); // "markerN\n  \n" each
    EXPECT_FALSE(pwned_below(root.path()) || pwned_below(cwd.path()));
    ASSERT_EQ(chdir(old_cwd), 0);
    free(old_cwd);

    // Both steps under a root the shell would split.
    std::string base = cwd.path() + "/it's a 'root'; $(touch PWNED)";
    make_root(base);
    put(base + "/tmp/x.cfg", "x=1\n");
    put(base + PROGRAMABLE_KEY_CONF, "[ LINEKEY8 ]\n");
    setenv("UPGRADER_ROOT", base.c_str(), 1);
    set_version("59.1.3.1");
    config_deleteLineKey8(table);
    set_version("2.143.3.1");
    config_autop(table);
    EXPECT_EQ(slurp(base + AUTOP_RETRY_SAVE), "x=1\n  \n" + kRebootLine);
    EXPECT_EQ(slurp(base + PROGRAMABLE_KEY_CONF), " [ LINEKEY8_NOUSED ]\n");
    EXPECT_FALSE(pwned_below(cwd.path()));
}
