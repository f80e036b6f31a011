// The facade as the user meets it: each screen in the frame buffer file
// against its reference in tests/data/screens (golden.h), the user setting
// driven by keys, and the upgrade going on without an LCD.
#include "basicui/basicUI.h"
#include "basicui/key.h"
#include "display/display.h"
#include "platform/platform.h"

#include "basicui_keys.h"
#include "golden.h"

#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

using namespace testsupport;

namespace
{

::testing::Environment *const g_env =
    ::testing::AddGlobalTestEnvironment(new IsolatedEnvironment(kCaptureSyslog));

class BasicUIScreens : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        make_lcd_root(root);
        ASSERT_EQ(ui.Init(), 0);
    }
    void TearDown() override
    {
        ui.Deinit();
        devctrl_close_lcd(); // the next case maps its own root's frame buffer
    }
    std::string mismatch(const std::string &name)
    {
        std::string fb = slurp(root / "/dev/fb0");
        std::vector<uint8_t> shown(kGoldenW * kGoldenH);
        for (size_t i = 0; i < shown.size(); ++i)
            shown[i] = ink_at(reinterpret_cast<const unsigned char *>(fb.data()), i % kGoldenW,
                              i / kGoldenW);
        return golden_mismatch(SCREENS_GOLDEN_DIR, name, shown);
    }

    ScopedRoot root;
    CBasicUI ui;
};

TEST_F(BasicUIScreens, EachCallShowsItsPicture)
{
    for (const Row &r : rows(TEST_DATA_DIR "/screens.rows")) {
        SCOPED_TRACE(r[0] + " from " + r[1] + (r.size() > 2 ? " " + r[2] : ""));
        const char *a[6] = {};
        for (size_t i = 2; i < r.size() && i < 8; ++i)
            a[i - 2] = r[i].c_str();
        const std::string &call = r[1];
        int result = call == "progress" ? ui.SetUpgradingProgressBar(atoi(a[0]))
                     : call == "failed" ? ui.ShowUpgradingFailedInfoWithID(a[0], atoi(a[1]))
                     : call == "autop_failed"
                         ? ui.ShowUpgradingAutop2FailedInfoWithID(atoi(a[0]), atoi(a[1]))
                     : call == "ext_failed"    ? ui.ShowUpgradingExtFailed()
                     : call == "ext_upgrading" ? ui.ShowUpgradingExtInfo(atoi(a[0]))
                     : call == "ext_upgraded"  ? ui.ShowUpgradedExtInfo(atoi(a[0]))
                     : call == "notice"        ? (ui.DispNoticeInfo(a[0]), 0)
                                               : (ui.ShowInfo(a, int(r.size()) - 2), 0);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(mismatch(r[0]), "");
    }
}

// User "al", password "12" and the caret, which blinks on a tick the test
// cannot hold still: either caret state will do (UPDATE_GOLDEN=1 writes the
// first; take the other from NAME_actual.pbm). Keys that could leave a
// multi-tap pending are followed by a caret move.
TEST_F(BasicUIScreens, UserSettingMidEntry)
{
    // Slower polls keep the repeated 5s inside one multi-tap window.
    setenv(UPGRADER_PAUSE_SCALE_ENV, "4", 1);
    Keypad keys(root);
    char user[16], password[16];
    auto screen = [&] { (void)ui.OpenUserSetting(user, 16, password, 16); }; // a picture test
    std::string name = std::string(SCREENS_GOLDEN_DIR) + "/user_setting_mid_entry", first;
    auto look = [&] { // the last digit shows in clear until its ticks have passed
        EXPECT_TRUE(wait_until([&] {
            return (first = mismatch("user_setting_mid_entry")).empty() ||
                   mismatch("user_setting_mid_entry_blink").empty();
        })) << first;
        keys.press({KPAD_SOFT1});
    };
    EXPECT_TRUE(run_screen(keys, screen,
                           {KPAD_2, KPAD_RIGHT, KPAD_5, KPAD_5, KPAD_5, KPAD_RIGHT, KPAD_NEXT,
                            KPAD_SOFT2, KPAD_1, KPAD_RIGHT, KPAD_2, KPAD_RIGHT},
                           look));
    if (!HasFailure()) // pictures left on the way to the settled screen are no failure
        unlink((name + "_actual.pbm").c_str()), unlink((name + "_blink_actual.pbm").c_str());
}

TEST_F(BasicUIScreens, UserSettingCopiesOutLikeStrncpy)
{
    char user[4], password[8];
    memset(user, 'x', sizeof(user));
    memset(password, 'x', sizeof(password));
    EXPECT_EQ(ui.OpenUserSetting(user, 1, nullptr, 8), -1);
    Keypad keys(root);
    int result = 0;
    auto screen = [&] { result = ui.OpenUserSetting(user, 1, password, 6); };
    EXPECT_TRUE(run_screen(keys, screen, {KPAD_2, KPAD_OK}));
    EXPECT_EQ(result, 1);
    EXPECT_EQ(std::string(user, 4), "axxx") << "a full buffer gets no NUL";
    EXPECT_EQ(std::string(password, 8), std::string(6, '\0') + "xx") << "padded to its size";
}

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

} // namespace
