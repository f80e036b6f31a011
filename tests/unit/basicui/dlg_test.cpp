// Controls and dialogs: multi-tap entry and editing from the tables in
// tests/data, and the rules the user-setting screen does not reach.
#include "basicui/ctrl.h"
#include "basicui/dlg.h"
#include "basicui/dlg_displayinfo.h"

#include "basicui/key.h"
#include "display/display.h"
#include "display/lcd.h"

#include "lcd_root.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <vector>

using namespace testsupport;

namespace
{

::testing::Environment *const g_env =
    ::testing::AddGlobalTestEnvironment(new IsolatedEnvironment(kCaptureSyslog));

ctrl_t entry(const std::string &text, int mode = 1, int kind = CTRL_KIND_TEXT)
{
    ctrl_t c;
    ctrl_init(&c, uint8_t(kind), 0, 0, 100, 14, 60, 0, "Name", text.c_str());
    c.input_mode = uint8_t(mode);
    return c;
}

void tick(ctrl_t *c)
{
    ctrl_show_cursor(c, uint8_t(!c->cursor_visible));
}

TEST(Ctrl, QuickTapsCycleThroughTheKeysListAndWrap)
{
    for (const Row &r : rows(TEST_DATA_DIR "/ctrl_multitap.rows")) {
        const std::string list = r[2].substr(1, r[2].size() - 2);
        for (size_t taps = 1; taps <= list.size() + 1; ++taps) {
            SCOPED_TRACE("mode " + r[0] + ", " + std::to_string(taps) + " x " + r[1]);
            ctrl_t c = entry("", atoi(r[0].c_str()));
            for (size_t i = 0; i < taps; ++i)
                ctrl_add_char(&c, r[1][0]);
            // A one-character list has nothing to cycle: every tap adds it.
            EXPECT_EQ(c.text, list.size() == 1 ? std::string(taps, list[0])
                                               : std::string(1, list[(taps - 1) % list.size()]));
            EXPECT_EQ(c.highlight, list.size() == 1 ? 0 : 1);
        }
    }
}

TEST(Ctrl, Editing)
{
    for (const Row &r : rows(TEST_DATA_DIR "/ctrl_edit.rows")) {
        SCOPED_TRACE("'" + r[2] + "' then " + r[3]);
        ctrl_t c = entry(r[2], atoi(r[1].c_str()), atoi(r[0].c_str()));
        int refused = 0;
        void (*const moves[])(ctrl_t *) = {ctrl_move_left, ctrl_move_right, tick,
                                           ctrl_switch_input};
        for (char a : r[3]) {
            size_t move = std::string("LRTS").find(a);
            if (move != std::string::npos)
                moves[move](&c);
            else
                refused += (a == 'D' ? ctrl_del_char(&c) : ctrl_add_char(&c, a)) != 0;
        }
        EXPECT_EQ(c.text, r[4]);
        EXPECT_EQ(std::vector<int>({c.cursor, c.highlight, refused}),
                  std::vector<int>({atoi(r[5].c_str()), atoi(r[6].c_str()), atoi(r[7].c_str())}));
    }
}

class Dlg : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        make_lcd_root(root);
        ASSERT_EQ(lcd_init(), 0);
        ASSERT_NE(dlg = dlg_init(), nullptr);
    }
    void TearDown() override
    {
        lcd_denit();
        devctrl_close_lcd();
        free(dlg);
    }
    // Two entry fields, the focus on the first.
    displayinfo_t form()
    {
        displayinfo_t info;
        memset(&info, 0, sizeof(info));
        for (int i : {1, 2}) {
            displayline_t &l = info.lines[i];
            l.y = 13 * i, l.width = 132, l.height = 12, l.kind = DISPLAYLINE_TEXT;
        }
        info.focus = info.first_focusable = 1;
        info.last_focusable = 2;
        return info;
    }

    ScopedRoot root;
    dlg_t *dlg = nullptr;
};
using DisplayInfoLoop = Dlg;

TEST_F(Dlg, PasswordShowsTheLastCharacterUntilTheSecondTick)
{
    auto drawn = [](ctrl_t *c) { // forced onto a paper screen
        memset(gp_lcdbuffer, 0, LCD_BUFFER_SIZE);
        ctrl_show(c, 1);
        return std::vector<uint8_t>(gp_lcdbuffer, gp_lcdbuffer + LCD_BUFFER_SIZE);
    };
    ctrl_t pw = entry("ab", 1, CTRL_KIND_PASSWORD), clear = entry("*b"), masked = entry("**");
    EXPECT_EQ(drawn(&pw), drawn(&clear));
    tick(&pw), tick(&clear);
    EXPECT_EQ(drawn(&pw), drawn(&clear));
    tick(&pw), tick(&masked), tick(&masked);
    EXPECT_EQ(drawn(&pw), drawn(&masked));
    EXPECT_NE(drawn(&masked), drawn(&clear));
}

TEST_F(Dlg, FocusWrapsAndADialogWithoutFocusIgnoresMoves)
{
    dlg->first_focusable = dlg->focus = 1;
    dlg->last_focusable = 2;
    dlg->controls[1].highlight = dlg->controls[1].cursor_visible = 1;
    std::vector<int> seen;
    for (auto move : {dlg_next_item, dlg_next_item, dlg_prev_item, dlg_prev_item}) {
        move(dlg);
        seen.push_back(dlg->focus);
    }
    EXPECT_EQ(seen, std::vector<int>({2, 1, 2, 1}));
    const ctrl_t &left = dlg->controls[2];
    EXPECT_EQ(left.focused + left.highlight + left.cursor_visible, 0);
    EXPECT_EQ(left.tick_count, CTRL_TICKS_PENDING) << "a tap left pending is over";
    EXPECT_EQ(dlg->controls[1].cursor_visible, 1) << "a backward move shows the caret at once";
    dlg_next_item(dlg);
    EXPECT_EQ(dlg->controls[2].cursor_visible, 0) << "a forward move waits for the blink";
    dlg->focus = 255; // none: moves change nothing
    dlg_next_item(dlg);
    dlg_prev_item(dlg);
    EXPECT_EQ(dlg->focus, 255);
}

TEST_F(Dlg, DisplayInfoBuildsTheControlsAndTakesTheKeypadKeysOnly)
{
    displayinfo_t info = form();
    info.lines[1].x = 0x10005;                                     // only the low 16 bits count
    memset(info.lines[2].label, 'L', sizeof(info.lines[2].label)); // no NUL
    info.background = DLG_BACKGROUND_INK;
    open_dlg(dlg, &info);
    EXPECT_EQ(dlg->controls[1].x, 5);
    EXPECT_EQ(strlen(dlg->controls[2].label), 63u);
    EXPECT_EQ(ink_at(gp_lcdbuffer, 131, 63), 1) << "drawn forced, on the description's ground";

    for (uint8_t code : {KPAD_STAR, KPAD_HASH, 2, 2, KPAD_DEL, 3, KPAD_LEFT, KPAD_SOFT3})
        EXPECT_EQ(displayinfo_keydown(dlg, code), DISPLAYINFO_HANDLED);
    EXPECT_STREQ(dlg->controls[1].text, "*d") << "both delete keys";
    ctrl_t before[12];
    memcpy(before, dlg->controls, sizeof(before));
    for (int code : {19, 0, 31, 36, 255})
        EXPECT_EQ(displayinfo_keydown(dlg, uint8_t(code)), DISPLAYINFO_HANDLED) << code;
    EXPECT_EQ(memcmp(before, dlg->controls, sizeof(before)), 0);
    dlg->focus = 255;
    EXPECT_EQ(displayinfo_keydown(dlg, 2), -1);
}

TEST_F(DisplayInfoLoop, WithoutWaitOrWithoutDialogReturnsAtOnce)
{
    displayinfo_t info = form();
    gp_dlgdisplay = dlg;
    EXPECT_EQ(basicui_open_display_info(&info, 0), 0);
    // The screen stays up after its description is gone: a confirm then
    // writes into nobody's storage.
    memset(&info, 'x', sizeof(info));
    const displayinfo_t reused = info;
    EXPECT_EQ(displayinfo_keydown(dlg, KPAD_OK), DISPLAYINFO_CONFIRMED);
    EXPECT_EQ(memcmp(&info, &reused, sizeof(info)), 0);
    gp_dlgdisplay = nullptr;
    EXPECT_EQ(basicui_open_display_info(&info, 1), DISPLAYINFO_CANCELLED);
}

} // namespace
