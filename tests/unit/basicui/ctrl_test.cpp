// Multi-tap entry and editing on the control record, from the tables of
// tests/data; drawing only where comparing whole buffers says it cheaply.
#include "basicui/ctrl.h"

#include "display/display.h"
#include "display/lcd.h"

#include "lcd_root.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

using namespace testsupport;

namespace
{

ctrl_t entry(const std::string &text, int mode = 1, int kind = CTRL_KIND_TEXT)
{
    ctrl_t c;
    ctrl_init(&c, uint8_t(kind), 0, 0, 100, 14, 60, 0, "Name", text.c_str());
    c.input_mode = uint8_t(mode);
    return c;
}

void tick(ctrl_t *c) { ctrl_show_cursor(c, uint8_t(!c->cursor_visible)); }

// "{N}c" stands for N times c.
std::string expand(const std::string &s)
{
    size_t open = s.find('{'), close = s.find('}');
    if (open == std::string::npos || close + 1 >= s.size())
        return s;
    return s.substr(0, open) + std::string(atoi(s.c_str() + open + 1), s[close + 1]) +
           expand(s.substr(close + 2));
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
        SCOPED_TRACE(r[2] + " then " + r[3]);
        ctrl_t c = entry(expand(r[2]), atoi(r[1].c_str()), atoi(r[0].c_str()));
        int refused = 0;
        for (char a : r[3]) {
            if (a == 'L' || a == 'R' || a == 'T' || a == 'S')
                (a == 'L' ? ctrl_move_left : a == 'R' ? ctrl_move_right
                                                      : a == 'T' ? tick : ctrl_switch_input)(&c);
            else
                refused += (a == 'D' ? ctrl_del_char(&c) : ctrl_add_char(&c, a)) != 0;
        }
        EXPECT_EQ(c.text, expand(r[4]));
        EXPECT_EQ(std::vector<int>({c.cursor, c.highlight, refused}),
                  std::vector<int>({atoi(r[5].c_str()), atoi(r[6].c_str()), atoi(r[7].c_str())}));
    }
}

class CtrlDraw : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        make_lcd_root(root);
        ASSERT_EQ(lcd_init(), 0);
    }
    void TearDown() override
    {
        lcd_denit();
        devctrl_close_lcd();
    }
    // The buffer after forcing c onto a paper screen.
    std::vector<uint8_t> drawn(ctrl_t *c)
    {
        memset(gp_lcdbuffer, 0, LCD_BUFFER_SIZE);
        ctrl_show(c, 1);
        return std::vector<uint8_t>(gp_lcdbuffer, gp_lcdbuffer + LCD_BUFFER_SIZE);
    }
    ScopedRoot root;
};

TEST_F(CtrlDraw, PasswordShowsTheLastCharacterUntilTheSecondTick)
{
    ctrl_t pw = entry("ab", 1, CTRL_KIND_PASSWORD), clear = entry("*b"), masked = entry("**");
    EXPECT_EQ(drawn(&pw), drawn(&clear));
    tick(&pw), tick(&clear);
    EXPECT_EQ(drawn(&pw), drawn(&clear));
    tick(&pw), tick(&masked), tick(&masked);
    EXPECT_EQ(drawn(&pw), drawn(&masked));
    EXPECT_NE(drawn(&masked), drawn(&clear));
}

TEST_F(CtrlDraw, NothingForAnEmptyControlAndTheFrameClippedToTheScreen)
{
    ctrl_t none;
    ctrl_init(&none, CTRL_KIND_LABEL, 10, 10, 0, 20, 0, 0, "x", nullptr);
    lcd_get_redraw(nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(drawn(&none), std::vector<uint8_t>(LCD_BUFFER_SIZE, 0));
    EXPECT_EQ(g_refresh_x2 + g_refresh_y2, 0) << "no redraw region";
    ctrl_t edge;
    ctrl_init(&edge, CTRL_KIND_LABEL, 120, 56, 20, 20, 0, 0, nullptr, nullptr);
    edge.focused = 1;
    drawn(&edge);
    EXPECT_EQ(ink_at(gp_lcdbuffer, 131, 60) + ink_at(gp_lcdbuffer, 125, 63), 2);
    EXPECT_EQ(ink_at(gp_lcdbuffer, 125, 60), 0);
}

} // namespace
