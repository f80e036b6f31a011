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

using testsupport::put, testsupport::slurp;

// Regular *.cfg and *.conf files, the first ten listed, URL lines blanked;
// names and roots the shell would split are only ever file names. The save
// is never appended to.
TEST(Autop, GathersTenRegularProvisioningFilesWithoutUrlsWhateverTheirNames)
{
    const std::string reboot = "Config.Autoprovision.Reboot.Enable = 1 \n";
    testsupport::ScopedRoot root;
    testsupport::TempDir cwd;
    std::string base = cwd.path() + "/it's a 'root'; $(touch PWNED)";
    for (const std::string &top : {root.path(), base})
        for (const char *d : {"", "/tmp", "/config", "/config/Phone", "/config/Phone/Key"})
            mkdir((top + d).c_str(), 0755);
    env_info table[ENV_TABLE_SIZE] = {};
    snprintf(table[3].name, sizeof(table[3].name), "RomVersion");
    snprintf(table[3].value, sizeof(table[3].value), "59.1.3.1");
    char *old_cwd = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(cwd.path().c_str()), 0);
    // Joined with '/', the one character no name can hold.
    std::istringstream names("x;touch PWNED;.cfg/$(touch PWNED).cfg/`touch PWNED`.conf/it's.cfg/"
                             "q\"uote.cfg/sp ace .cfg/new\nline;touch PWNED.cfg/-n.cfg/"
                             "a'$(touch PWNED)'b.cfg/&& touch PWNED |.conf/u.cfg");
    for (std::string name; std::getline(names, name, '/');)
        put(root / "/tmp/" + name, name + "\n");
    put(root / "/tmp/u.cfg",
        "account.1.url = http://a\nserver.URL=b\nkeep=1\nUrl.first=2\nnourl\n");
    for (const char *other : {"a.cfg.bak", "b.conf.old", "c.txt", "cfg"})
        put(root / "/tmp/" + other, "other\n");
    mkdir((root / "/tmp/d.cfg").c_str(), 0755);
    ASSERT_EQ(symlink("u.cfg", (root / "/tmp/l.cfg").c_str()), 0);
    ASSERT_EQ(symlink("/nowhere", (root / "/tmp/m.conf").c_str()), 0);
    config_autop(table);
    int taken = 0;
    std::string expected;
    DIR *d = opendir((root / "/tmp").c_str());
    while (const dirent *e = readdir(d)) {
        std::string name = e->d_name, text = slurp(root / "/tmp/" + name);
        if (text.empty() || text == "other\n" || name[0] == 'l' || ++taken > 10)
            continue;
        // Lines with "url" (any case) after their first character are blanked.
        expected += name == "u.cfg" ? "   \n   \nkeep=1\nUrl.first=2\n   \n  \n" : text + "  \n";
    }
    closedir(d);
    EXPECT_EQ(taken, 11);
    EXPECT_EQ(slurp(root / AUTOP_RETRY_SAVE), expected + reboot);
    config_autop(table);
    EXPECT_EQ(slurp(root / AUTOP_RETRY_SAVE), expected + reboot);

    put(base + "/tmp/x.cfg", "x=1\n");
    put(base + PROGRAMABLE_KEY_CONF, "[ LINEKEY8 ]\n");
    setenv("UPGRADER_ROOT", base.c_str(), 1);
    config_autop(table);
    config_deleteLineKey8(table);
    EXPECT_EQ(slurp(base + AUTOP_RETRY_SAVE), "x=1\n  \n" + reboot);
    EXPECT_EQ(slurp(base + PROGRAMABLE_KEY_CONF), " [ LINEKEY8_NOUSED ]\n");
    EXPECT_NE(system(("find '" + root.path() + "' . -name PWNED | grep -q .").c_str()), 0);
    ASSERT_EQ(chdir(old_cwd), 0);
    free(old_cwd);
}
