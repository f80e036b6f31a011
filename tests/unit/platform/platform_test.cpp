#include "platform/platform.h"

#include "isolation.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace
{

std::string resolve(const char *path, size_t size = 256)
{
    char out[4096];
    if (platform_path(path, out, size) != 0)
        return "<error>";
    return out;
}

class PlatformPath : public ::testing::Test
{
  protected:
    void TearDown() override { unsetenv(UPGRADER_ROOT_ENV); }
};

} // namespace

TEST_F(PlatformPath, UnsetOrEmptyOrSlashRootLeavesPathsAlone)
{
    unsetenv(UPGRADER_ROOT_ENV);
    EXPECT_EQ(resolve("/proc/avalanche/env"), "/proc/avalanche/env");
    setenv(UPGRADER_ROOT_ENV, "", 1);
    EXPECT_EQ(resolve("/dev/mtd3"), "/dev/mtd3");
    setenv(UPGRADER_ROOT_ENV, "/", 1);
    EXPECT_EQ(resolve("/dev/mtd3"), "/dev/mtd3");
}

TEST_F(PlatformPath, AbsolutePathsGoUnderTheRootOnce)
{
    setenv(UPGRADER_ROOT_ENV, "/srv/phone", 1);
    EXPECT_EQ(resolve("/var/ipc/6"), "/srv/phone/var/ipc/6");
    setenv(UPGRADER_ROOT_ENV, "/srv/phone//", 1);
    EXPECT_EQ(resolve("/var/ipc/6"), "/srv/phone/var/ipc/6");
}

TEST_F(PlatformPath, RelativePathsStayRelative)
{
    setenv(UPGRADER_ROOT_ENV, "/srv/phone", 1);
    EXPECT_EQ(resolve("rom.bin"), "rom.bin");
}

TEST_F(PlatformPath, ResultThatDoesNotFitIsAnErrorNotACut)
{
    setenv(UPGRADER_ROOT_ENV, "/r", 1);
    // "/r/a" needs 5 bytes with the terminator.
    EXPECT_EQ(resolve("/a", 5), "/r/a");
    char out[4] = "zzz";
    EXPECT_EQ(platform_path("/a", out, sizeof(out)), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(platform_path(nullptr, out, sizeof(out)), -1);
    EXPECT_EQ(platform_path("/a", nullptr, 10), -1);
}

// The program recognises itself by the path it was started under, as the
// telephone names it, wherever the root puts it.
TEST_F(PlatformPath, UnrootGivesThePathTheTelephoneSees)
{
    unsetenv(UPGRADER_ROOT_ENV);
    EXPECT_STREQ(platform_unroot("/basic/bin/upgrader"), "/basic/bin/upgrader");
    setenv(UPGRADER_ROOT_ENV, "/srv/phone/", 1);
    EXPECT_STREQ(platform_unroot("/srv/phone/basic/bin/upgrader"), "/basic/bin/upgrader");
    EXPECT_STREQ(platform_unroot("/srv/phonex/tmp/upgrader_tool"), "/srv/phonex/tmp/upgrader_tool");
    EXPECT_STREQ(platform_unroot("/srv/phone"), "/srv/phone");
    EXPECT_STREQ(platform_unroot("/basic/bin/upgrader"), "/basic/bin/upgrader");
    setenv(UPGRADER_ROOT_ENV, "/", 1);
    EXPECT_STREQ(platform_unroot("/tmp/upgrader_tool"), "/tmp/upgrader_tool");
    EXPECT_EQ(platform_unroot(nullptr), nullptr);
}

TEST(PlatformShell, QuotingKeepsEveryCharacterLiteral)
{
    char out[128];
    ASSERT_EQ(platform_shell_quote("/tmp/a b;$(rm -rf x)`'\"", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "'/tmp/a b;$(rm -rf x)`'\\''\"'");
    ASSERT_EQ(platform_shell_quote("", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "''");
    EXPECT_EQ(platform_shell_quote("a c", out, 5), -1); // needs 6
    EXPECT_STREQ(out, "");
    EXPECT_EQ(platform_shell_quote("a c", out, 6), 0);
    // Plain paths stay as they are, so logged commands read naturally.
    ASSERT_EQ(platform_shell_quote("/tmp/bin/cat", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "/tmp/bin/cat");
    EXPECT_EQ(platform_shell_quote("/tmp/bin/cat", out, 12), -1);
    for (const char *risky : {"a*", "a?", "~a", "a#b", "a\\b", "a\nb", "a&b", "a|b", "a<b", "a>b",
                              "a(b", "a{b", "a[b", "a!b", "a\tb"}) {
        ASSERT_EQ(platform_shell_quote(risky, out, sizeof(out)), 0);
        EXPECT_EQ(out[0], '\'') << risky;
    }
}

TEST(PlatformShell, QuotedPathRunsThroughTheShellUnchanged)
{
    testsupport::ScopedRoot root;
    std::string dir = root / "/it's $HOME";
    std::string mk = "mkdir -p '" + root.path() + "/it'\\''s $HOME'";
    ASSERT_EQ(system(mk.c_str()), 0);
    char quoted[512];
    ASSERT_EQ(platform_shell_path("/it's $HOME/f", quoted, sizeof(quoted)), 0);
    std::string cmd = std::string("touch ") + quoted;
    ASSERT_EQ(system(cmd.c_str()), 0);
    EXPECT_EQ(access((dir + "/f").c_str(), F_OK), 0);
}

TEST(PlatformPause, ScaleComesFromTheEnvironmentAndBadValuesCountAsOne)
{
    unsetenv(UPGRADER_PAUSE_SCALE_ENV);
    EXPECT_EQ(platform_pause_scale(), 1.0);
    setenv(UPGRADER_PAUSE_SCALE_ENV, "0.25", 1);
    EXPECT_EQ(platform_pause_scale(), 0.25);
    for (const char *bad : {"", "abc", "-1", "2x", "nan"}) {
        setenv(UPGRADER_PAUSE_SCALE_ENV, bad, 1);
        EXPECT_EQ(platform_pause_scale(), 1.0) << bad;
    }
    // With scale 0 a day-long pause returns at once (or the test never ends).
    setenv(UPGRADER_PAUSE_SCALE_ENV, "0", 1);
    platform_pause(86400);
    platform_pause_ms(86400000);
    unsetenv(UPGRADER_PAUSE_SCALE_ENV);
}

TEST(PlatformDevices, ImageFilesStandInForTheMiscDeviceAndFrameBuffer)
{
    testsupport::TempDir dir;
    std::string misc = dir.path() + "/misc0";
    int fd = open(misc.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(platform_misc_set(fd, 0x80044D05, "MISC_IOCS_WATCHDOG", 0), 0);
    int value = 7;
    EXPECT_EQ(platform_misc_get(fd, 0x40044D08, "MISC_IOCG_LED", &value), 0);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(platform_misc_set(fd, 0x80044D07, "MISC_IOCS_LED", 3), 0);
    char text[128] = {};
    ASSERT_GT(pread(fd, text, sizeof(text) - 1, 0), 0);
    EXPECT_STREQ(text, "MISC_IOCS_WATCHDOG 0\nMISC_IOCG_LED\nMISC_IOCS_LED 3\n");

    ASSERT_EQ(ftruncate(fd, 1056), 0);
    unsigned int len = 0;
    EXPECT_EQ(platform_fb_info(fd, &len), 0);
    EXPECT_EQ(len, 1056u);
    close(fd);

    // A character device that is neither gets the driver's refusal.
    int null_fd = open("/dev/null", O_RDWR);
    ASSERT_GE(null_fd, 0);
    EXPECT_EQ(platform_misc_set(null_fd, 0x80044D05, "MISC_IOCS_WATCHDOG", 0), -1);
    EXPECT_EQ(platform_fb_info(null_fd, &len), -1);
    close(null_fd);
}
