// The facade's own rules: the upgrade goes on without a screen, and the
// user setting's texts are copied out the way callers size their buffers.
// Its screens are judged as pictures in screens_test.
#include "basicui/basicUI.h"
#include "basicui/key.h"
#include "display/display.h"

#include "basicui_keys.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

using namespace testsupport;

namespace
{

::testing::Environment *const g_env =
    ::testing::AddGlobalTestEnvironment(new IsolatedEnvironment(kCaptureSyslog));

TEST(BasicUI, WithoutLcdTheUpgradeGoesOn)
{
    ScopedRoot root;
    CBasicUI ui;
    EXPECT_EQ(ui.Init(), 0);
    EXPECT_EQ(ui.SetUpgradingProgressBar(50), 0);
    EXPECT_EQ(ui.ShowUpgradingFailedInfoWithID("Upgrade Failed!", -74), 0);
    ui.DispNoticeInfo("Rebooting...");
    ui.Deinit();
}

TEST(BasicUI, UserSettingCopiesLikeStrncpy)
{
    ScopedRoot root;
    make_lcd_root(root);
    CBasicUI ui;
    ASSERT_EQ(ui.Init(), 0);
    char user[4], password[8];
    memset(user, 'x', sizeof(user));
    memset(password, 'x', sizeof(password));
    EXPECT_EQ(ui.OpenUserSetting(user, 1, nullptr, 8), -1);

    Keypad keys(root);
    int result = 0;
    {
        Screen screen(keys, [&] { result = ui.OpenUserSetting(user, 1, password, 6); });
        ASSERT_TRUE(keys.press({KPAD_2, KPAD_OK}));
        ASSERT_TRUE(screen.ended());
    }
    EXPECT_EQ(result, 1);
    EXPECT_EQ(std::string(user, 4), "axxx") << "a full buffer gets no NUL";
    EXPECT_EQ(std::string(password, 8), std::string(6, '\0') + "xx") << "padded to its size";
    ui.Deinit();
    devctrl_close_lcd();
}

} // namespace
