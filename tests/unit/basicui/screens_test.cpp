// The facade's screens as the user sees them: what reached the frame buffer
// file, compared with the references in tests/data/screens (plain PBM; on a
// mismatch the picture shown is left beside it as NAME_actual.pbm, and
// UPDATE_GOLDEN=1 rewrites the references: look at them before keeping).
#include "basicui/basicUI.h"
#include "basicui/key.h"
#include "display/display.h"
#include "platform/platform.h"

#include "basicui_keys.h"
#include "golden.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

using namespace testsupport;

namespace
{

::testing::Environment *const g_env =
    ::testing::AddGlobalTestEnvironment(new IsolatedEnvironment(kCaptureSyslog));

class Screens : public ::testing::Test
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

    std::vector<uint8_t> shown()
    {
        std::string fb = slurp(root / "/dev/fb0");
        std::vector<uint8_t> pixels(kGoldenW * kGoldenH);
        for (size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = ink_at(reinterpret_cast<const unsigned char *>(fb.data()), i % kGoldenW,
                               i / kGoldenW);
        return pixels;
    }

    ScopedRoot root;
    CBasicUI ui;
};

TEST_F(Screens, EachCallShowsItsPicture)
{
    for (const Row &r : rows(TEST_DATA_DIR "/screens.rows")) {
        SCOPED_TRACE(r[0] + " from " + r[1] + (r.size() > 2 ? " " + r[2] : ""));
        const char *lines[6];
        for (size_t i = 2; i < r.size() && i < 8; ++i)
            lines[i - 2] = r[i].c_str();
        const std::string &call = r[1];
        if (call == "progress")
            EXPECT_EQ(ui.SetUpgradingProgressBar(atoi(lines[0])), 0);
        else if (call == "failed")
            EXPECT_EQ(ui.ShowUpgradingFailedInfoWithID(lines[0], atoi(lines[1])), 0);
        else if (call == "autop_failed")
            EXPECT_EQ(ui.ShowUpgradingAutop2FailedInfoWithID(atoi(lines[0]), atoi(lines[1])), 0);
        else if (call == "ext_failed")
            EXPECT_EQ(ui.ShowUpgradingExtFailed(), 0);
        else if (call == "ext_upgrading")
            EXPECT_EQ(ui.ShowUpgradingExtInfo(atoi(lines[0])), 0);
        else if (call == "ext_upgraded")
            EXPECT_EQ(ui.ShowUpgradedExtInfo(atoi(lines[0])), 0);
        else if (call == "notice")
            ui.DispNoticeInfo(lines[0]);
        else if (call == "info")
            ui.ShowInfo(lines, int(r.size()) - 2);
        else
            ADD_FAILURE() << "unknown call";
        EXPECT_EQ(golden_mismatch(SCREENS_GOLDEN_DIR, r[0], shown()), "");
    }
}

// User "al", password "12" with the caret after it, in the middle of entry.
// The caret blinks on a tick the test cannot hold still, so either caret
// state will do (UPDATE_GOLDEN=1 writes only the first: take the blink from
// NAME_actual.pbm). Every key that could leave a multi-tap pending is
// followed by a caret move, which ends it.
TEST_F(Screens, UserSettingMidEntry)
{
    // Slower polls keep the repeated 5s inside one multi-tap window however
    // loaded the machine is.
    setenv(UPGRADER_PAUSE_SCALE_ENV, "4", 1);
    Keypad keys(root);
    char user[16], password[16];
    Screen screen(keys, [&] { ui.OpenUserSetting(user, 16, password, 16); });
    ASSERT_TRUE(keys.press({KPAD_2, KPAD_RIGHT, KPAD_5, KPAD_5, KPAD_5, KPAD_RIGHT, KPAD_NEXT,
                            KPAD_SOFT2, KPAD_1, KPAD_RIGHT, KPAD_2, KPAD_RIGHT}));
    // The password's last digit shows in clear until its ticks have passed.
    std::string mismatch;
    EXPECT_TRUE(wait_until([&] {
        std::vector<uint8_t> now = shown();
        mismatch = golden_mismatch(SCREENS_GOLDEN_DIR, "user_setting_mid_entry", now);
        return mismatch.empty() ||
               golden_mismatch(SCREENS_GOLDEN_DIR, "user_setting_mid_entry_blink", now).empty();
    })) << mismatch;
    EXPECT_TRUE(keys.press({KPAD_SOFT1}));
    EXPECT_TRUE(screen.ended());
}

} // namespace
