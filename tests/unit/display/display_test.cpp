// Device control on a temporary root where the frame buffer, the refresh
// file and the misc device are regular files (the misc requests then land
// in the file as lines).
#include "display/display.h"

#include "files.h"
#include "isolation.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

using namespace testsupport;

namespace
{

::testing::Environment *const g_env =
    ::testing::AddGlobalTestEnvironment(new IsolatedEnvironment(kCaptureSyslog));

// The three device images; the frame buffer holds fb_bytes bytes of 0x5A.
struct Telephone {
    ScopedRoot root;
    explicit Telephone(size_t fb_bytes = DEVCTRL_FB_MIN_SIZE)
    {
        for (const char *dir : {"/dev", "/proc", "/proc/glcd"})
            mkdir((root / dir).c_str(), 0755);
        put(root / "/dev/fb0", std::string(fb_bytes, '\x5a'));
        put(root / "/proc/glcd/refresh", "");
        put(root / "/dev/misc0", "");
    }
    ~Telephone() { devctrl_close_lcd(); }
};

} // namespace

TEST(Display, FrameBufferIsMappedOnceSharedWithTheDeviceAndRemappedAfterClose)
{
    Telephone phone;
    unsigned char *screen = nullptr;
    ASSERT_EQ(devctrl_open_lcd(&screen), 0);
    ASSERT_EQ(screen, fb_buf);
    screen[0] = 0x81;
    screen[1055] = 0x18;
    EXPECT_EQ(slurp(phone.root / "/dev/fb0"), "\x81" + std::string(1054, '\x5a') + "\x18");
    unsigned char untouched = 0, *again = &untouched;
    EXPECT_EQ(devctrl_open_lcd(&again), 0);
    EXPECT_EQ(again, &untouched);
    devctrl_close_lcd();
    EXPECT_EQ(fb_buf, nullptr);
    EXPECT_EQ(devctrl_open_lcd(nullptr), 0);
    EXPECT_NE(fb_buf, nullptr);
}

TEST(Display, OpenRefusesAMissingOrTooSmallFrameBuffer)
{
    Telephone phone(1000);
    unsigned char *screen = nullptr;
    EXPECT_EQ(devctrl_open_lcd(&screen), -1);
    unlink((phone.root / "/dev/fb0").c_str());
    EXPECT_EQ(devctrl_open_lcd(&screen), -1);
    EXPECT_EQ(screen, nullptr);
    EXPECT_EQ(fb_fd, -1);
    put(phone.root / "/dev/fb0", std::string(DEVCTRL_FB_MIN_SIZE, '\0'));
    EXPECT_EQ(devctrl_open_lcd(&screen), 0) << "a later call starts again";
}

TEST(Display, RefreshWritesOneOnEveryCall)
{
    Telephone phone;
    std::string refresh = phone.root / "/proc/glcd/refresh";
    put(refresh, "0");
    EXPECT_EQ(devctrl_refresh_lcd(), 0);
    EXPECT_EQ(slurp(refresh), "1");
    put(refresh, "");
    EXPECT_EQ(devctrl_refresh_lcd_Lark(), 0);
    EXPECT_EQ(slurp(refresh), "1\n");
    unlink(refresh.c_str());
    rmdir((phone.root / "/proc/glcd").c_str());
    EXPECT_EQ(devctrl_refresh_lcd(), -1);
    EXPECT_NE(devctrl_refresh_lcd_Lark(), 0);
}

TEST(Display, MiscRequestsReachTheMiscDevice)
{
    Telephone phone;
    // LEDs 0 to 4 in states 3, 1, 3, 2, 1 (two bits each); a sixth LED is
    // not read. Those in state 1 are lit: 0x13.
    unsigned char states[2] = {0xB7, 0x05};
    EXPECT_EQ(devctrl_set_led_ex(states), 0);
    EXPECT_EQ(states[0], 0xB5);
    EXPECT_EQ(std::vector<int>({devctrl_set_led(3), devctrl_get_led(), devctrl_set_bklight(-7),
                                devctrl_get_bklight(), devctrl_set_ext_led(2)}),
              std::vector<int>(5, 0)); // a braced list calls them in order
    EXPECT_EQ(slurp(phone.root / "/dev/misc0"),
              "MISC_IOCS_LED 19\nMISC_IOCS_LED 3\nMISC_IOCG_LED\nMISC_IOCS_BKLIGHT -7\n"
              "MISC_IOCG_BKLIGHT\nMISC_IOCS_EXT_LED 2\n");

    unlink((phone.root / "/dev/misc0").c_str());
    EXPECT_EQ(devctrl_get_led() + devctrl_get_bklight(), 0);
    EXPECT_EQ(devctrl_set_led(1) + devctrl_set_bklight(1) + devctrl_set_ext_led(1), -3);
}

TEST(Display, FlushWritesTheBufferAtTheStartOfTheFrameBuffer)
{
    Telephone phone;
    const unsigned char data[3] = {1, 2, 3};
    EXPECT_EQ(devctrl_flush_fbdata(data, 3), 0);
    EXPECT_EQ(slurp(phone.root / "/dev/fb0"), "\x01\x02\x03" + std::string(1053, '\x5a'));
    unlink((phone.root / "/dev/fb0").c_str());
    EXPECT_EQ(devctrl_flush_fbdata(data, 3), -1);
}

#if defined(__mips__)
TEST(Display, MiscRequestNumbersAreTheDriversOnTheTarget)
{
    EXPECT_EQ(MISC_IOCS_LED, 0x80044D07u);
    EXPECT_EQ(MISC_IOCG_LED, 0x40044D08u);
    EXPECT_EQ(MISC_IOCS_BKLIGHT, 0x80044D09u);
    EXPECT_EQ(MISC_IOCG_BKLIGHT, 0x40044D0Au);
    EXPECT_EQ(MISC_IOCS_EXT_LED, 0x80044D11u);
}
#endif
