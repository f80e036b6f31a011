// The platform layer against the cases of tests/data/platform.rows. Image
// files standing in for devices are seen by tests/unit/display, a rooted
// path the shell reads back whole by Failure.RebootAndKillScriptUnderAnyRoot.
#include "platform/platform.h"

#include "files.h"
#include "isolation.h"

#include <sys/stat.h>
#include <unistd.h>

TEST(Platform, RootedPathsShellQuotingAndPauseScale)
{
    for (const testsupport::Row &row : testsupport::rows(TEST_DATA_DIR "/platform.rows")) {
        SCOPED_TRACE(row[0] + " " + row[1] + " " + row[2]);
        const char *var = row[0] == "scale" ? UPGRADER_PAUSE_SCALE_ENV : UPGRADER_ROOT_ENV;
        if (row[0] != "quote")
            row[1] == "<unset>" ? unsetenv(var) : setenv(var, row[1].c_str(), 1);
        char out[4096] = "zzz";
        if (row[0] == "path") {
            int rc = platform_path(row[2].c_str(), out, std::stoul(row[3]));
            EXPECT_EQ((rc == 0 ? "" : "<error>") + std::string(out), row[4]);
        } else if (row[0] == "unroot") {
            EXPECT_STREQ(platform_unroot(row[2].c_str()), row[3].c_str());
        } else if (row[0] == "scale") {
            EXPECT_EQ(platform_pause_scale(), std::stod(row[2]));
        } else if (platform_shell_quote(row[1].c_str(), out, std::stoul(row[2])) != 0) {
            EXPECT_EQ(row[3] + out, "<error>");
        } else { // quoted or kept as it is, the shell reads it back as it was
            EXPECT_EQ(row[3] == "kept", out == row[1]) << out;
            std::string read_back;
            FILE *sh = popen(("printf %s " + std::string(out)).c_str(), "r");
            for (int c; sh != nullptr && (c = fgetc(sh)) != EOF;)
                read_back += char(c);
            pclose(sh);
            EXPECT_EQ(read_back, row[1]);
        }
    }
    // With scale 0 a day-long pause returns at once (or the test never ends).
    setenv(UPGRADER_PAUSE_SCALE_ENV, "0", 1);
    platform_pause(86400);
    platform_pause_ms(86400000);
    // A guard's limit follows the scale, but a peer keeps 2 seconds.
    EXPECT_EQ(platform_wait_limit_ms(300), 2000u);
    setenv(UPGRADER_PAUSE_SCALE_ENV, "0.5", 1);
    EXPECT_EQ(platform_wait_limit_ms(300), 150000u);
}

// Whatever is planted under a name the program writes is taken away, never
// written through, and only the program's own files are read back.
TEST(Platform, PrivateFilesReplaceWhateverHadTheName)
{
    testsupport::ScopedRoot root;
    mkdir((root / "/config").c_str(), 0755);
    testsupport::put(root / "/config/victim", "kept");
    mkdir((root / "/tmp").c_str(), 01777);
    symlink((root / "/config/victim").c_str(), (root / "/tmp/link").c_str());
    std::string tree = "/tmp/tree";
    for (int depth = 0; depth < 3; ++depth, tree += "/d")
        mkdir((root / tree).c_str(), 0777);
    symlink((root / "/config").c_str(), (root / "/tmp/tree/d/config").c_str());
    for (const char *name : {"/tmp/link", "/tmp/tree", "/tmp/new"}) {
        SCOPED_TRACE(name);
        int fd = platform_create_private(name, 0755);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(write(fd, "mine", 4), 4);
        close(fd);
        struct stat st;
        ASSERT_EQ(lstat((root / name).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        fd = platform_open_private(name);
        EXPECT_GE(fd, 0);
        close(fd);
    }
    EXPECT_EQ(testsupport::slurp(root / "/config/victim"), "kept");
    // Read back only what nobody else could have changed or swapped in.
    chmod((root / "/tmp/new").c_str(), 0620);
    symlink((root / "/tmp/link").c_str(), (root / "/tmp/via").c_str());
    for (const char *name : {"/tmp/new", "/tmp/via", "/tmp/missing"})
        EXPECT_EQ(platform_open_private(name), -1) << name;
    EXPECT_EQ(platform_remove("/tmp/missing"), 0);
    EXPECT_EQ(platform_remove("/tmp/via"), 0);
    EXPECT_EQ(testsupport::slurp(root / "/tmp/link"), "mine");

    // Tools run only from a directory of the program's that nobody else
    // can change, themselves unchangeable by others.
    mkdir((root / "/tmp/bin").c_str(), 0755);
    testsupport::put(root / "/tmp/bin/cat", "");
    chmod((root / "/tmp/bin/cat").c_str(), 0755);
    symlink("cat", (root / "/tmp/bin/kitty").c_str());
    symlink("bin", (root / "/tmp/via_link").c_str());
    EXPECT_EQ(platform_own_tool("/tmp/bin/cat") + platform_own_tool("/tmp/bin/kitty"), 2);
    EXPECT_EQ(platform_own_tool("/tmp/via_link/cat") + platform_own_tool("/tmp/bin/none"), 0);
    chmod((root / "/tmp/bin/cat").c_str(), 0775);
    EXPECT_EQ(platform_own_tool("/tmp/bin/cat"), 0);
    chmod((root / "/tmp/bin/cat").c_str(), 0755);
    chmod((root / "/tmp/bin").c_str(), 0777);
    EXPECT_EQ(platform_own_tool("/tmp/bin/cat"), 0);

    // A command's output goes to the descriptor; its status is system()'s.
    int fd = platform_create_private("/tmp/out", 0600);
    EXPECT_EQ(platform_run_output("/bin/echo", "hello", fd), 0);
    EXPECT_NE(platform_run_output("/bin/false", "x", fd), 0);
    EXPECT_NE(platform_run_output("/no/such/tool", "x", fd), 0);
    close(fd);
    EXPECT_EQ(testsupport::slurp(root / "/tmp/out"), "hello\n");
}
