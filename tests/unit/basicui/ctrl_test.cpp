// Multi-tap entry and editing are checked on the record alone; drawing only
// where a whole-buffer comparison says it cheaply (the LCD is brought up on a
// temporary root, as in the LCD tests).
#include "basicui/ctrl.h"

#include "display/lcd.h"

#include "isolation.h"

#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

using testsupport::ScopedRoot;

namespace
{

ctrl_t entry(const char *text = "", uint8_t mode = 1, uint8_t kind = CTRL_KIND_TEXT)
{
    ctrl_t c;
    ctrl_init(&c, kind, 0, 0, 100, 14, 60, 0, "Name", text);
    c.input_mode = mode;
    return c;
}

void type(ctrl_t *c, const char *keys)
{
    for (; *keys != '\0'; ++keys)
        ASSERT_EQ(ctrl_add_char(c, *keys), 0) << *keys;
}

// Text left by quick presses (no tick between them) in an empty field.
std::string typed(uint8_t mode, const char *keys)
{
    ctrl_t c = entry("", mode);
    type(&c, keys);
    return c.text;
}

void tick(ctrl_t *c, int n = 1)
{
    for (int i = 0; i < n; ++i)
        ctrl_show_cursor(c, static_cast<uint8_t>(!c->cursor_visible));
}

TEST(CtrlMultiTap, CyclingAndWrap)
{
    EXPECT_EQ(typed(1, "222"), "c");
    EXPECT_EQ(typed(1, "2222"), "a");
    EXPECT_EQ(typed(3, "777777777"), "S");
    EXPECT_EQ(typed(3, "7777777777"), "7");
    EXPECT_EQ(typed(0, "23"), "AD"); // a different key never cycles
    EXPECT_EQ(typed(2, std::string(7, '*').c_str()), "*");
    EXPECT_EQ(typed(0, std::string(26, '*').c_str()), "*");
    EXPECT_EQ(typed(3, std::string(25, '*').c_str()), "#");
    // '0': space first, except in the mixed mode.
    EXPECT_EQ(typed(0, "0"), " ");
    EXPECT_EQ(typed(1, "00"), "0");
    EXPECT_EQ(typed(3, "0"), "0");
    EXPECT_EQ(typed(3, "00"), " ");
}

TEST(CtrlMultiTap, OneCharacterListsNeverCycleNorHighlight)
{
    for (uint8_t mode : {0, 1, 2, 3}) {
        ctrl_t c = entry("", mode);
        type(&c, "11##");
        EXPECT_STREQ(c.text, "11##");
        EXPECT_EQ(c.highlight, 0);
    }
    EXPECT_EQ(typed(2, "5599"), "5599");
}

TEST(CtrlMultiTap, WindowIsTwoTicksAndHighlightOneMore)
{
    ctrl_t c = entry();
    type(&c, "2");
    EXPECT_EQ(c.highlight, 1);
    tick(&c);
    type(&c, "2");
    EXPECT_STREQ(c.text, "b");
    tick(&c, 2);
    EXPECT_EQ(c.highlight, 1);
    type(&c, "2");
    EXPECT_STREQ(c.text, "ba");
    tick(&c, 3);
    EXPECT_EQ(c.highlight, 0);
}

TEST(CtrlMultiTap, Refusals)
{
    EXPECT_EQ(ctrl_add_char(nullptr, '2'), -1);
    ctrl_t label = entry("x", 1, CTRL_KIND_LABEL);
    EXPECT_EQ(ctrl_add_char(&label, '2'), -1);
    ctrl_t c = entry("x");
    EXPECT_EQ(ctrl_add_char(&c, 'a'), -1);
    EXPECT_EQ(ctrl_add_char(&c, '\0'), -1);
    EXPECT_STREQ(c.text, "x");
}

TEST(CtrlEdit, SixtyThreeCharacterLimit)
{
    std::string full(63, 'x');
    ctrl_t c = entry(full.c_str());
    EXPECT_EQ(add_raw_char(&c, 'y'), -1);
    type(&c, "22"); // the earlier 'x' is never taken for a candidate
    EXPECT_EQ(c.text, full);
    EXPECT_EQ(c.highlight, 0);

    EXPECT_EQ(ctrl_del_char(&c), 0);
    type(&c, "22"); // cycling on the last free place
    EXPECT_EQ(c.text, std::string(62, 'x') + "b");
}

TEST(CtrlEdit, InsertAndDeleteAtCaret)
{
    ctrl_t c = entry("ac");
    ctrl_move_left(&c);
    type(&c, "22");
    EXPECT_STREQ(c.text, "abc");
    EXPECT_EQ(c.cursor, 2);

    EXPECT_EQ(ctrl_del_char(&c), 0);
    EXPECT_STREQ(c.text, "ac");
    EXPECT_EQ(c.cursor, 1);
    EXPECT_EQ(c.highlight, 0);
    ctrl_move_left(&c);
    ctrl_move_left(&c);
    EXPECT_EQ(ctrl_del_char(&c), -1);
    EXPECT_STREQ(c.text, "ac");
    EXPECT_EQ(c.cursor, 0);
}

TEST(CtrlEdit, MovesEndPendingTapEvenWhenCaretStays)
{
    ctrl_t c = entry();
    type(&c, "2");
    ctrl_move_right(&c);
    EXPECT_EQ(c.cursor, 1);
    EXPECT_EQ(c.highlight, 0);
    type(&c, "2");
    EXPECT_STREQ(c.text, "aa");
    ctrl_move_left(&c);
    type(&c, "2");
    EXPECT_STREQ(c.text, "aaa");
}

TEST(CtrlInput, ModeNamesSwitchAndInit)
{
    EXPECT_STREQ(ctrl_get_input_text(0), "ABC");
    EXPECT_STREQ(ctrl_get_input_text(3), "1Ab");
    EXPECT_STREQ(ctrl_get_input_text(7), "abc");

    ctrl_t c = entry("", 3);
    c.dirty = 0;
    ctrl_switch_input(&c);
    EXPECT_EQ(c.input_mode, 0);
    EXPECT_EQ(c.dirty, 0);

    std::string longer(70, 'q');
    ASSERT_EQ(ctrl_init(&c, CTRL_KIND_PASSWORD, 1, 2, 3, 4, 5, 0, longer.c_str(), "abc"), 0);
    EXPECT_EQ(c.label, std::string(63, 'q'));
    EXPECT_EQ(c.cursor, 3);
    EXPECT_EQ(c.input_mode, 1);
    ASSERT_EQ(ctrl_init(&c, CTRL_KIND_LABEL, 0, 0, 10, 10, 0, 0, nullptr, "abc"), 0);
    EXPECT_EQ(c.cursor, 0);
    EXPECT_EQ(c.cursor_visible, 0);
}

class CtrlDraw : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        for (const char *dir : {"/dev", "/proc", "/proc/glcd", "/proc/misc"})
            mkdir((root / dir).c_str(), 0755);
        std::ofstream(root / "/dev/fb0", std::ios::binary) << std::string(LCD_BUFFER_SIZE, '\0');
        std::ofstream(root / "/proc/glcd/refresh") << "";
        std::ofstream(root / "/proc/misc/hwver") << "60.0.0.1.0.0.0.0\n";
        ASSERT_EQ(lcd_init(), 0);
    }
    void TearDown() override { lcd_denit(); }

    // The buffer after forcing c onto a paper screen.
    std::vector<uint8_t> drawn(ctrl_t *c)
    {
        memset(gp_lcdbuffer, 0, LCD_BUFFER_SIZE);
        ctrl_show(c, 1);
        return std::vector<uint8_t>(gp_lcdbuffer, gp_lcdbuffer + LCD_BUFFER_SIZE);
    }
    bool ink(int x, int y)
    {
        return (gp_lcdbuffer[(y * LCD_WIDTH + x) / 8] >> ((y * LCD_WIDTH + x) % 8)) & 1;
    }

    ScopedRoot root;
};

TEST_F(CtrlDraw, PasswordShowsLastCharacterUntilSecondTick)
{
    ctrl_t pw = entry("ab", 1, CTRL_KIND_PASSWORD);
    ctrl_t clear = entry("*b");
    ctrl_t masked = entry("**");
    EXPECT_EQ(drawn(&pw), drawn(&clear));
    tick(&pw);
    tick(&clear);
    EXPECT_EQ(drawn(&pw), drawn(&clear));
    tick(&pw);
    tick(&masked, 2);
    EXPECT_EQ(drawn(&pw), drawn(&masked));
    EXPECT_NE(drawn(&masked), drawn(&clear));
}

TEST_F(CtrlDraw, EmptyControlUntouchedAndFrameClippedToScreen)
{
    ctrl_t none;
    ctrl_init(&none, CTRL_KIND_LABEL, 10, 10, 0, 20, 0, 0, "x", nullptr);
    uint16_t x1, y1, x2, y2;
    lcd_get_redraw(&x1, &y1, &x2, &y2);
    EXPECT_EQ(drawn(&none), std::vector<uint8_t>(LCD_BUFFER_SIZE, 0));
    EXPECT_EQ(none.dirty, 1);
    EXPECT_EQ(g_refresh_x2 + g_refresh_y2, 0);

    ctrl_t edge;
    ctrl_init(&edge, CTRL_KIND_LABEL, 120, 56, 20, 20, 0, 0, nullptr, nullptr);
    edge.focused = 1;
    drawn(&edge);
    EXPECT_EQ(edge.dirty, 0);
    EXPECT_TRUE(ink(131, 60));
    EXPECT_TRUE(ink(125, 63));
    EXPECT_FALSE(ink(125, 60));
}

} // namespace
