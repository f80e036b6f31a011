// Device control on image files in place of the devices: a regular file as
// the frame buffer, the refresh file and the misc device.
#include "display/display.h"

#include "files.h"
#include "isolation.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using testsupport::put;
using testsupport::ScopedRoot;
using testsupport::slurp;

namespace
{

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

// A root with the three device images; the frame buffer holds fb_bytes
// bytes of 0x5A.
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
};

bool logged(const std::string &text)
{
    std::vector<std::string> lines = testsupport::syslog_capture().take_texts();
    return std::any_of(lines.begin(), lines.end(), [&](const std::string &l) {
        return l.find(text) != std::string::npos;
    });
}

} // namespace

TEST(Display, OpenMapsTheFrameBufferOnceAndCloseUnmapsIt)
{
    Telephone phone;
    unsigned char *screen = nullptr;
    ASSERT_EQ(devctrl_open_lcd(&screen), 0);
    ASSERT_NE(fb_buf, nullptr);
    EXPECT_EQ(screen, fb_buf);
    EXPECT_GE(fb_fd, 0);
    EXPECT_EQ(fb_size, DEVCTRL_FB_MIN_SIZE);
    EXPECT_EQ(screen[1055], 0x5a);
    // Shared with the device: what is drawn is what the driver reads.
    screen[0] = 0x81;
    screen[1055] = 0x18;
    std::string fb = slurp(phone.root / "/dev/fb0");
    EXPECT_EQ(fb[0], '\x81');
    EXPECT_EQ(fb[1055], '\x18');

    unsigned char untouched = 0;
    unsigned char *again = &untouched;
    int first_fd = fb_fd;
    EXPECT_GE(devctrl_open_lcd(&again), 0);
    EXPECT_EQ(again, &untouched);
    EXPECT_EQ(fb_fd, first_fd);

    devctrl_close_lcd();
    EXPECT_EQ(fb_buf, nullptr);
    EXPECT_EQ(fb_fd, -1);
    EXPECT_EQ(devctrl_open_lcd(nullptr), 0);
    EXPECT_NE(fb_buf, nullptr);
    devctrl_close_lcd();
}

TEST(Display, OpenRefusesAMissingOrTooSmallFrameBuffer)
{
    Telephone phone(1000);
    unsigned char *screen = nullptr;
    EXPECT_EQ(devctrl_open_lcd(&screen), -1);
    EXPECT_TRUE(logged("smaller than the 1056-byte LCD picture"));
    EXPECT_EQ(fb_buf, nullptr);
    EXPECT_EQ(fb_fd, -1);
    EXPECT_EQ(screen, nullptr);

    unlink((phone.root / "/dev/fb0").c_str());
    EXPECT_EQ(devctrl_open_lcd(&screen), -1);
    EXPECT_TRUE(logged("Error opening /dev/fb0"));
    EXPECT_EQ(fb_fd, -1);

    // A later call starts again from the beginning.
    put(phone.root / "/dev/fb0", std::string(DEVCTRL_FB_MIN_SIZE, '\0'));
    EXPECT_EQ(devctrl_open_lcd(&screen), 0);
    EXPECT_EQ(screen, fb_buf);
}

TEST(Display, RefreshWritesOneToTheRefreshFileOnEveryCall)
{
    Telephone phone;
    std::string refresh = phone.root / "/proc/glcd/refresh";
    EXPECT_EQ(devctrl_refresh_lcd(), 0);
    EXPECT_EQ(slurp(refresh), "1");
    put(refresh, "0");
    EXPECT_EQ(devctrl_refresh_lcd(), 0);
    EXPECT_EQ(slurp(refresh), "1");

    put(refresh, "");
    EXPECT_EQ(devctrl_refresh_lcd_Lark(), 0);
    EXPECT_EQ(slurp(refresh), "1\n");

    unlink(refresh.c_str());
    rmdir((phone.root / "/proc/glcd").c_str());
    EXPECT_EQ(devctrl_refresh_lcd(), -1);
    EXPECT_TRUE(logged("open glcd refresh procfs device failed."));
    EXPECT_NE(devctrl_refresh_lcd_Lark(), 0);
}

TEST(Display, MiscRequestsReachTheMiscDevice)
{
    Telephone phone;
    EXPECT_EQ(devctrl_set_led(3), 0);
    EXPECT_EQ(devctrl_get_led(), 0);
    EXPECT_EQ(devctrl_set_bklight(-7), 0);
    EXPECT_EQ(devctrl_get_bklight(), 0);
    EXPECT_EQ(devctrl_set_ext_led(2), 0);
    EXPECT_EQ(slurp(phone.root / "/dev/misc0"), "MISC_IOCS_LED 3\nMISC_IOCG_LED\n"
                                                "MISC_IOCS_BKLIGHT -7\nMISC_IOCG_BKLIGHT\n"
                                                "MISC_IOCS_EXT_LED 2\n");

    unlink((phone.root / "/dev/misc0").c_str());
    testsupport::syslog_capture().take();
    EXPECT_EQ(devctrl_get_led(), 0);
    EXPECT_EQ(devctrl_get_bklight(), 0);
    EXPECT_EQ(devctrl_set_led(1), -1);
    EXPECT_EQ(devctrl_set_bklight(1), -1);
    EXPECT_EQ(devctrl_set_ext_led(1), -1);
    std::vector<std::string> lines = testsupport::syslog_capture().take_texts();
    EXPECT_EQ(lines.size(), 5u);
    for (const std::string &l : lines)
        EXPECT_NE(l.find("l3: open misc ioctl device failed."), std::string::npos) << l;
}

TEST(Display, SetLedExLightsTheLedsInStateOne)
{
    Telephone phone;
    // LED 0 state 3, LED 1 state 1, LED 2 state 3, LED 3 state 2; LED 4
    // state 1, and a sixth LED in state 1 that is not read.
    unsigned char states[2] = {0xB7, 0x05};
    EXPECT_EQ(devctrl_set_led_ex(states), 0);
    EXPECT_EQ(states[0], 0xB5);
    EXPECT_EQ(states[1], 0x05);
    EXPECT_EQ(slurp(phone.root / "/dev/misc0"), "MISC_IOCS_LED 19\n"); // 0x13
}

TEST(Display, FlushWritesTheBufferAtTheStartOfTheFrameBuffer)
{
    Telephone phone;
    const unsigned char data[3] = {1, 2, 3};
    EXPECT_EQ(devctrl_flush_fbdata(data, 3), 0);
    std::string fb = slurp(phone.root / "/dev/fb0");
    EXPECT_EQ(fb.substr(0, 4), std::string("\x01\x02\x03\x5a"));
    EXPECT_EQ(fb.size(), DEVCTRL_FB_MIN_SIZE);

    unlink((phone.root / "/dev/fb0").c_str());
    EXPECT_EQ(devctrl_flush_fbdata(data, 3), -1);
    EXPECT_TRUE(logged("Error opening /dev/fb0"));
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
