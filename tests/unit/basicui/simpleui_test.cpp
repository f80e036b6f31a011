// The screens, judged by their geometry in the LCD drawing buffer, and the
// progress screen's background picture by the rules its layout relies on.
// The LCD comes up the real way (basicui_init) on a temporary root whose
// frame buffer and refresh file are regular files; keys come through a FIFO
// standing in for the input event device.
//
// IMAGE_UPGRADING_PNG=<path> makes ImageUpgrading.FollowsItsRules leave the
// picture there as a PNG for a person to look at.
#include "basicui/simpleui.h"

#include "basicui/key.h"
#include "display/lcd.h"

#include "isolation.h"
#include "lcd_root.h"
#include "png_write.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using testsupport::ScopedRoot;

namespace
{

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

const int kW = 132, kH = 64;

int pixel(const unsigned char *bits, int x, int y)
{
    return (bits[(y * kW + x) / 8] >> ((y * kW + x) % 8)) & 1;
}

int ink(int x, int y) { return pixel(gp_lcdbuffer, x, y); }

// Ink pixels in the rectangle (x, y, w, h) of the drawing buffer.
int ink_count(int x, int y, int w, int h)
{
    int n = 0;
    for (int r = y; r < y + h; ++r)
        for (int c = x; c < x + w; ++c)
            n += ink(c, r);
    return n;
}

bool all(int x, int y, int w, int h, int color)
{
    return ink_count(x, y, w, h) == (color ? w * h : 0);
}

// Paper pixels of row y in columns [from, to).
int paper_in_row(int y, int from, int to)
{
    int n = 0;
    for (int x = from; x < to; ++x)
        n += !pixel(g_image_upgrading, x, y);
    return n;
}

// First column of the three-pixel paper run of a band, or -1 when the band's
// six columns do not hold exactly one such run.
int band_run(int y, int left)
{
    int start = -1, count = 0;
    for (int x = left; x < left + 6; ++x)
        if (!pixel(g_image_upgrading, x, y)) {
            if (start < 0)
                start = x;
            ++count;
        }
    return count == 3 && paper_in_row(y, start, start + 3) == 3 ? start : -1;
}

TEST(ImageUpgrading, FollowsItsRules)
{
    int previous_left = -1;
    for (int y = 0; y < kH; ++y) {
        SCOPED_TRACE("row " + std::to_string(y));
        int left = band_run(y, 2), right = band_run(y, 124);
        ASSERT_GE(left, 0);
        ASSERT_GE(right, 0);
        if (y % 3 != 0) {
            EXPECT_EQ(left, previous_left) << "a step lasts three rows";
        } else if (y > 0) {
            EXPECT_EQ(abs(left - previous_left), 3) << "steps of three pixels";
        }
        EXPECT_EQ(left - 2, 129 - (right + 2)) << "the bands mirror each other";
        previous_left = left;
        // Only the bands and the two texts are paper.
        EXPECT_EQ(paper_in_row(y, 0, 2) + paper_in_row(y, 130, 132), 0);
        bool text = (y >= 14 && y <= 26) || (y >= 36 && y <= 43);
        if (!text) {
            EXPECT_EQ(paper_in_row(y, 8, 124), 0) << "plain ink between the bands";
        }
    }
    // The letters reach the first and last rows of their spans.
    for (int y : {14, 20, 26, 36, 40, 43})
        EXPECT_GT(paper_in_row(y, 8, 124), 0) << "row " << y;

    if (const char *path = getenv("IMAGE_UPGRADING_PNG")) {
        std::vector<uint8_t> grey(kW * kH);
        for (int i = 0; i < kW * kH; ++i)
            grey[i] = pixel(g_image_upgrading, i % kW, i / kW) ? 0 : 255;
        EXPECT_TRUE(testsupport::png_write_gray(path, kW, kH, grey, 4));
    }
}

class Simpleui : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        testsupport::make_lcd_root(root);
        ASSERT_EQ(basicui_init(), 0);
        ASSERT_NE(gp_dlgdisplay, nullptr);
        ASSERT_NE(gp_lcdbuffer, nullptr);
        ASSERT_EQ(mkfifo((root / KEY_DEVICE).c_str(), 0600), 0);
        fifo = open((root / KEY_DEVICE).c_str(), O_RDWR);
        ASSERT_GE(fifo, 0);
    }
    void TearDown() override
    {
        basicui_deinit();
        if (fifo >= 0)
            close(fifo);
    }

    // Keys go through the FIFO; each one is written once the key loop has
    // logged the previous one, so none is lost.
    void press(int code)
    {
        unsigned char event[KEY_EVENT_SIZE] = {};
        event[8] = 1; // EV_KEY
        event[KEY_EVENT_CODE_OFFSET] = static_cast<unsigned char>(code);
        event[KEY_EVENT_VALUE_OFFSET] = KEY_VALUE_PRESS;
        ASSERT_EQ(write(fifo, event, sizeof(event)), ssize_t(sizeof(event)));
        std::string seen = "KEY = " + std::to_string(code);
        ASSERT_TRUE(testsupport::syslog_capture().wait_for(seen)) << seen;
        testsupport::syslog_capture().take();
    }

    // A screen whose keys went astray never returns: leave it to the end of
    // the process rather than hang the case. True when the case has failed.
    bool finish(std::thread &screen)
    {
        if (HasFailure()) {
            screen.detach();
            return true;
        }
        screen.join();
        return false;
    }

    ScopedRoot root;
    int fifo = -1;
};

TEST_F(Simpleui, ProgressBarOverThePicture)
{
    const struct {
        int percent, fill;
    } cases[] = {{0, 0}, {1, 0}, {50, 49}, {99, 97}, {100, 98}, {150, 98}, {-5, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE("percent " + std::to_string(c.percent));
        ASSERT_EQ(basicui_open_upgrading(c.percent), 0);
        std::vector<unsigned char> expected(g_image_upgrading, g_image_upgrading + 1056);
        auto fill = [&](int x, int y, int w, int h, int color) {
            for (int r = y; r < y + h; ++r)
                for (int i = r * kW + x; i < r * kW + x + w; ++i)
                    expected[i / 8] = static_cast<unsigned char>(
                        color ? expected[i / 8] | 1 << i % 8 : expected[i / 8] & ~(1 << i % 8));
        };
        fill(15, 48, 102, 12, 1);
        fill(16, 49, 100, 10, 0);
        fill(17, 50, c.fill, 8, 1);
        EXPECT_EQ(std::vector<unsigned char>(gp_lcdbuffer, gp_lcdbuffer + 1056), expected);
    }
}

TEST_F(Simpleui, InformationScreenLinesAndSoftKeys)
{
    update_info_t info = {};
    strcpy(info.title, "Upgrade Status");
    strcpy(info.line1, "Upgrade Failed!:-74");
    strcpy(info.line4, "||||||||||||||||||||||||||||||||||||||||||||||||");
    ASSERT_EQ(basicui_open_update_info(&info), 0);
    EXPECT_TRUE(all(0, 0, kW, 1, 1) && all(0, 11, kW, 1, 1)) << "title reversed";
    EXPECT_GT(ink_count(0, 12, 40, 12), 0) << "line 1 left-aligned";
    EXPECT_TRUE(all(0, 24, kW, 24, 0)) << "empty lines blank";
    EXPECT_GT(ink_count(99, 52, 33, 12), 0) << "line 4 whole without soft keys";
    const int left_of_key = ink_count(0, 48, 99, 16);

    strcpy(info.softkey4, "Reboot");
    ASSERT_EQ(basicui_open_update_info(&info), 0);
    EXPECT_TRUE(all(99, 52, 32, 1, 1) && all(99, 63, 32, 1, 1)) << "ink box at (99, 52)";
    EXPECT_LT(ink_count(99, 53, 32, 10), 32 * 10) << "paper text in the box";
    EXPECT_EQ(ink_count(0, 48, 99, 16), left_of_key) << "line 4 shows where no label stands";
    EXPECT_EQ(basicui_open_update_info(nullptr), -1);
}

TEST_F(Simpleui, NoticeIsOneCentredLine)
{
    basicui_open_upgrading(50);
    basicui_display_updating_line("Rebooting...");
    int left = kW, right = -1;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            if (ink(x, y)) {
                ASSERT_TRUE(y >= 26 && y < 38) << "ink at (" << x << ", " << y << ")";
                left = std::min(left, x);
                right = std::max(right, x);
            }
    ASSERT_GE(right, left);
    EXPECT_LE(abs(left - (kW - 1 - right)), 2) << "centred";

    std::vector<unsigned char> before(gp_lcdbuffer, gp_lcdbuffer + 1056);
    basicui_display_updating_line(nullptr);
    EXPECT_EQ(std::vector<unsigned char>(gp_lcdbuffer, gp_lcdbuffer + 1056), before);
    basicui_display_updating_line("");
    EXPECT_TRUE(all(0, 0, kW, kH, 0));
}

TEST_F(Simpleui, UserSettingConfirmReturnsTheEnteredTexts)
{
    user_setting_t setting = {};
    strcpy(setting.title, "User Settings");
    strcpy(setting.user_label, "User:");
    strcpy(setting.password_label, "Passwd:");
    std::thread screen([&] { basicui_open_user_setting(&setting); });
    for (int code : {KPAD_2, KPAD_NEXT, KPAD_3, KPAD_OK})
        press(code);
    if (finish(screen))
        return;
    EXPECT_EQ(setting.result, 1);
    EXPECT_STREQ(setting.user, "a");
    EXPECT_STREQ(setting.password, "d");

    // The last frame: title, the two fields, four reversed soft keys with
    // one-pixel gaps between them.
    EXPECT_TRUE(all(0, 0, kW, 1, 1));
    EXPECT_GT(ink_count(0, 13, 42, 12), 0) << "user label";
    EXPECT_GT(ink_count(42, 26, 90, 12), 0) << "masked password";
    for (int k = 0; k < 4; ++k) {
        EXPECT_TRUE(all(33 * k, 52, 32, 1, 1) && all(33 * k, 63, 32, 1, 1)) << "soft key " << k;
        if (k < 3) {
            EXPECT_TRUE(all(33 * k + 32, 52, 1, 12, 0)) << "gap after soft key " << k;
        }
    }
}

TEST_F(Simpleui, UserSettingCancelAtOnceLeavesBothValuesEmpty)
{
    user_setting_t setting = {};
    strcpy(setting.user, "stale");
    std::thread screen([&] { basicui_open_user_setting(&setting); });
    press(KPAD_SOFT1);
    if (finish(screen))
        return;
    EXPECT_EQ(setting.result, 2);
    EXPECT_STREQ(setting.user, "");
    EXPECT_STREQ(setting.password, "");
    EXPECT_EQ(basicui_open_user_setting(nullptr), -1);
}

// The countdown thread and the main thread show screens at the same time;
// each screen must come out whole (and, under a thread checker, race-free).
TEST_F(Simpleui, ScreensFromTwoThreadsNeverMix)
{
    auto frame = [] { return std::vector<unsigned char>(gp_lcdbuffer, gp_lcdbuffer + 1056); };
    update_info_t info = {};
    strcpy(info.title, "Upgrade Status");
    strcpy(info.softkey4, "Reboot");
    basicui_open_update_info(&info);
    const std::vector<unsigned char> countdown = frame();
    basicui_display_updating_line("Rebooting...");
    const std::vector<unsigned char> notice = frame();

    std::thread other([&] {
        for (int i = 0; i < 100; ++i)
            basicui_open_update_info(&info);
    });
    for (int i = 0; i < 100; ++i)
        basicui_display_updating_line("Rebooting...");
    other.join();
    const std::vector<unsigned char> last = frame();
    EXPECT_TRUE(last == countdown || last == notice);
}

} // namespace
