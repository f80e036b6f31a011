// Provisioning housekeeping in a fresh platform root, with real shell commands.
// Lists directories the way the unit does, also in a 32-bit build.
#define _FILE_OFFSET_BITS 64

#include "upgrader/autop.h"

#include "files.h"
#include "isolation.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kPrivateIpc | testsupport::kCaptureSyslog));

namespace
{

using testsupport::put, testsupport::slurp;

const std::string kReboot = "Config.Autoprovision.Reboot.Enable = 1 \n";

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
    // What text(name) gives for the entries of /tmp, in their listed order.
    template <typename Text> std::string in_listed_order(Text text) const
    {
        std::string out;
        DIR *d = opendir(at("/tmp").c_str());
        while (const dirent *e = readdir(d))
            out += text(std::string(e->d_name));
        closedir(d);
        return out;
    }

    testsupport::ScopedRoot root;
    env_info table[ENV_TABLE_SIZE] = {};
};

} // namespace

// Regular *.cfg and *.conf files, the first ten listed, URL lines blanked;
// names and roots the shell would split are only ever file names. The save
// is never appended to.
TEST_F(Autop, GathersTenRegularProvisioningFilesWithoutUrlsWhateverTheirNames)
{
    testsupport::TempDir cwd;
    char *old_cwd = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(cwd.path().c_str()), 0);
    // Joined with '/', the one character no name can hold.
    std::istringstream names("x;touch PWNED;.cfg/$(touch PWNED).cfg/`touch PWNED`.conf/it's.cfg/"
                             "q\"uote.cfg/sp ace .cfg/new\nline;touch PWNED.cfg/-n.cfg/"
                             "a'$(touch PWNED)'b.cfg/&& touch PWNED |.conf/u.cfg");
    for (std::string name; std::getline(names, name, '/');)
        put(at("/tmp/") + name, name + "\n");
    put(at("/tmp/u.cfg"), "account.1.url = http://a\nserver.URL=b\nkeep=1\nUrl.first=2\nnourl\n");
    for (const char *other : {"a.cfg.bak", "b.conf.old", "c.txt", "cfg"})
        put(at("/tmp/") + other, "other\n");
    mkdir(at("/tmp/d.cfg").c_str(), 0755);
    ASSERT_EQ(symlink("u.cfg", at("/tmp/l.cfg").c_str()), 0);
    ASSERT_EQ(symlink("/nowhere", at("/tmp/m.conf").c_str()), 0);
    config_autop(table);
    int taken = 0;
    std::string expected = in_listed_order([&](const std::string &name) -> std::string {
        std::string text = slurp(at("/tmp/" + name));
        if (text.empty() || text == "other\n" || name[0] == 'l' || ++taken > 10)
            return "";
        // Lines with "url" (any case) after their first character are blanked.
        return name == "u.cfg" ? "   \n   \nkeep=1\nUrl.first=2\n   \n  \n" : text + "  \n";
    });
    EXPECT_EQ(taken, 11);
    EXPECT_EQ(slurp(at(AUTOP_RETRY_SAVE)), expected + kReboot);
    config_autop(table);
    EXPECT_EQ(slurp(at(AUTOP_RETRY_SAVE)), expected + kReboot);

    std::string base = cwd.path() + "/it's a 'root'; $(touch PWNED)";
    make_root(base);
    put(base + "/tmp/x.cfg", "x=1\n");
    put(base + PROGRAMABLE_KEY_CONF, "[ LINEKEY8 ]\n");
    setenv("UPGRADER_ROOT", base.c_str(), 1);
    set_version("59.1.3.1");
    config_autop(table);
    config_deleteLineKey8(table);
    EXPECT_EQ(slurp(base + AUTOP_RETRY_SAVE), "x=1\n  \n" + kReboot);
    EXPECT_EQ(slurp(base + PROGRAMABLE_KEY_CONF), " [ LINEKEY8_NOUSED ]\n");
    EXPECT_NE(system(("find '" + root.path() + "' . -name PWNED | grep -q .").c_str()), 0);
    ASSERT_EQ(chdir(old_cwd), 0);
    free(old_cwd);
}
