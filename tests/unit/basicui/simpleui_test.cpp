// The user-setting screen as its callers see it, and screens shown from two
// threads at once; the pictures are basicui_test's to judge.
#include "basicui/simpleui.h"

#include "basicui/key.h"
#include "display/display.h"
#include "display/lcd.h"

#include "basicui_keys.h"

#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <thread>
#include <vector>

using namespace testsupport;

namespace
{

::testing::Environment *const g_env =
    ::testing::AddGlobalTestEnvironment(new IsolatedEnvironment(kCaptureSyslog));

class Simpleui : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        make_lcd_root(root);
        ASSERT_EQ(basicui_init(), 0);
    }
    void TearDown() override
    {
        basicui_deinit();
        devctrl_close_lcd();
    }
    ScopedRoot root;
};

TEST_F(Simpleui, UserSettingConfirmReturnsTheEnteredTextsCancelNone)
{
    Keypad keys(root);
    for (int last : {KPAD_OK, KPAD_SOFT1}) {
        user_setting_t setting = {};
        strcpy(setting.user, "stale");
        auto screen = [&] { EXPECT_EQ(basicui_open_user_setting(&setting), setting.result); };
        EXPECT_TRUE(run_screen(keys, screen, {KPAD_2, KPAD_NEXT, KPAD_3, last}));
        EXPECT_EQ(setting.result, last == KPAD_OK ? 1 : 2);
        EXPECT_STREQ(setting.user, last == KPAD_OK ? "a" : "");
        EXPECT_STREQ(setting.password, last == KPAD_OK ? "d" : "");
    }
}

// The countdown thread and the main thread show screens at the same time;
// each screen must come out whole (and, under a thread checker, race-free).
TEST_F(Simpleui, ScreensFromTwoThreadsNeverMix)
{
    auto frame = [] { return std::vector<unsigned char>(gp_lcdbuffer, gp_lcdbuffer + 1056); };
    update_info_t info = {};
    strcpy(info.title, "Upgrade Status");
    ASSERT_EQ(basicui_open_update_info(&info), 0);
    const std::vector<unsigned char> countdown = frame();
    basicui_display_updating_line("Rebooting...");
    const std::vector<unsigned char> notice = frame();
    std::thread other([&] {
        for (int i = 0; i < 100; ++i)
            EXPECT_EQ(basicui_open_update_info(&info), 0);
    });
    for (int i = 0; i < 100; ++i)
        basicui_display_updating_line("Rebooting...");
    other.join();
    EXPECT_TRUE(frame() == countdown || frame() == notice);
}

// The burn asks for the bar at every block; the LCD is refreshed only when
// the fill changes, another screen came in between, or the last refresh
// failed and left the panel stale.
TEST_F(Simpleui, ProgressBarIsDrawnOnlyForAFillNotYetShown)
{
    auto drawn = [] {
        bool any = std::any_of(gp_lcdbuffer, gp_lcdbuffer + 1056, [](unsigned char c) { return c; });
        memset(gp_lcdbuffer, 0, 1056);
        return any;
    };
    EXPECT_EQ(basicui_open_upgrading(50), 0);
    EXPECT_TRUE(drawn());
    EXPECT_EQ(basicui_open_upgrading(51), 0); // 49 pixels, as 50 is
    EXPECT_FALSE(drawn());
    EXPECT_EQ(basicui_open_upgrading(52), 0);
    EXPECT_TRUE(drawn());
    basicui_display_updating_line("Rebooting...");
    EXPECT_TRUE(drawn());
    EXPECT_EQ(basicui_open_upgrading(52), 0);
    EXPECT_TRUE(drawn());
    unlink((root / "/proc/glcd/refresh").c_str());
    EXPECT_EQ(basicui_open_upgrading(60), -1);
    EXPECT_TRUE(drawn());
    put(root / "/proc/glcd/refresh", "");
    EXPECT_EQ(basicui_open_upgrading(60), 0);
    EXPECT_TRUE(drawn()) << "a fill the LCD never took counted as shown";
}

} // namespace
