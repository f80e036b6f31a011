// LCD drawing, judged mostly by whole pictures: each golden test draws a
// screen and compares the drawing buffer with a reference image in
// tests/data/lcd (plain PBM, 1 = ink). On a mismatch the picture actually
// drawn is left beside the reference as NAME_actual.png. UPDATE_GOLDEN=1
// rewrites the references; look at them before keeping them.
//
// The screen is brought up the real way (lcd_init) on a temporary root
// whose frame buffer and refresh file are regular files.
#include "display/lcd.h"

#include "display/font.h"

#include "files.h"
#include "golden.h"
#include "isolation.h"
#include "lcd_root.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using testsupport::golden_updating;
using testsupport::make_lcd_root;
using testsupport::put;
using testsupport::read_pbm;
using testsupport::ScopedRoot;
using testsupport::slurp;
using testsupport::write_pbm;

namespace
{

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

const int kW = 132, kH = 64;

bool logged(const std::string &text)
{
    std::vector<std::string> lines = testsupport::syslog_capture().take_texts();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string &l) { return l.find(text) != std::string::npos; });
}

// Pixel (x, y) of the drawing buffer, read by the layout rule itself.
int ink(int x, int y)
{
    return (gp_lcdbuffer[(y * kW + x) / 8] >> ((y * kW + x) % 8)) & 1;
}

std::vector<uint8_t> picture()
{
    std::vector<uint8_t> bits(kW * kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            bits[y * kW + x] = static_cast<uint8_t>(ink(x, y));
    return bits;
}

std::vector<uint8_t> snapshot()
{
    return std::vector<uint8_t>(gp_lcdbuffer, gp_lcdbuffer + 1056);
}

void expect_golden(const std::string &name)
{
    const std::string base = std::string(LCD_GOLDEN_DIR) + "/" + name;
    std::vector<uint8_t> actual = picture();
    if (golden_updating()) {
        write_pbm(base + ".pbm", actual);
        return;
    }
    std::vector<uint8_t> expected;
    bool have = read_pbm(base + ".pbm", &expected);
    if (have && expected == actual) {
        unlink((base + "_actual.png").c_str());
        return;
    }
    testsupport::leave_actual_png(base, actual);
    if (!have) {
        ADD_FAILURE() << "no readable reference " << base << ".pbm; drawn: " << base
                      << "_actual.png";
        return;
    }
    size_t first = 0, count = testsupport::count_differences(actual, expected, &first);
    ADD_FAILURE() << name << ": " << count << " pixels differ, first at (" << first % kW << ", "
                  << first / kW << "); drawn: " << base << "_actual.png";
}

class Lcd : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        make_lcd_root(root, "60.0.0.1.0.0.0.0\n");
        ASSERT_EQ(lcd_init(), 0);
        ASSERT_NE(gp_lcdbuffer, nullptr);
    }
    void TearDown() override { lcd_denit(); }

    ScopedRoot root;
};

text_attr_t attr(uint8_t align, uint8_t cursor = LCD_NO_CURSOR, uint8_t on = 0, uint8_t hl = 0)
{
    return text_attr_t{0, 0, 0, align, cursor, on, hl};
}

int text_width(const char *text)
{
    int w = 0;
    for (; *text != '\0'; ++text)
        w += font_get_data(*text, 12)[0];
    return w;
}

// Leftmost inked column in rows y..y+11 from column x on, or -1.
int first_ink_column(int x, int y)
{
    for (int c = x; c < kW; ++c)
        for (int r = y; r < y + 12; ++r)
            if (ink(c, r))
                return c;
    return -1;
}

} // namespace

TEST_F(Lcd, PixelsFollowTheLinearIndexWithoutPerAxisClipping)
{
    EXPECT_EQ(std::count(gp_lcdbuffer, gp_lcdbuffer + 1056, 0), 1056) << "init clears";
    lcd_draw_point(0, 0, 0x100); // any non-zero colour is ink
    lcd_draw_point(131, 0, 1);
    lcd_draw_point(132, 0, 1); // wraps to (0, 1)
    lcd_draw_point(131, 63, 1);
    EXPECT_EQ(gp_lcdbuffer[0], 0x01);
    EXPECT_EQ(gp_lcdbuffer[16], 0x18);
    EXPECT_EQ(gp_lcdbuffer[1055], 0x80);
    EXPECT_EQ(lcd_get_point_color(0, 1), 1);
    lcd_draw_point(0, 0, 0);
    EXPECT_EQ(gp_lcdbuffer[0], 0x00);

    std::vector<uint8_t> before = snapshot();
    testsupport::syslog_capture().take();
    lcd_draw_point(0, 64, 1);
    lcd_draw_point(65535, 65535, 1);
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(lcd_get_point_color(0, 64), 0);
    EXPECT_TRUE(logged("GetBitHByte failed: byte_offset = 1056, size = 1056"));
}

TEST_F(Lcd, LinesAreBoundingBoxesAndShapesWrapAndDrop)
{
    lcd_draw_line(20, 8, 10, 5, 1);
    std::vector<uint8_t> reversed = snapshot();
    lcd_fill_color(0, 0, 132, 64, 0);
    EXPECT_EQ(std::count(gp_lcdbuffer, gp_lcdbuffer + 1056, 0), 1056);
    lcd_draw_line(10, 5, 20, 8, 1); // the 11 x 4 block
    EXPECT_EQ(snapshot(), reversed);
    lcd_fill_color(5, 30, 0, 10, 1); // nothing
    lcd_fill_color(5, 30, 10, 0, 1); // nothing
    EXPECT_EQ(snapshot(), reversed);

    lcd_draw_line(30, 2, 30, 20, 1);
    lcd_draw_line(35, 2, 60, 2, 1);
    lcd_draw_rect(40, 10, 70, 30, 1);
    lcd_draw_rect(65, 25, 45, 15, 1); // corners in any order
    lcd_fill_color(80, 5, 20, 20, 1);
    lcd_fill_color(85, 10, 10, 10, 0);
    lcd_fill_color(128, 34, 8, 6, 1);    // columns 132.. continue in the next row
    lcd_fill_color(126, 58, 10, 10, 1);  // the wrap of row 63 and rows 64.. are dropped
    lcd_draw_line(70, 63, 65535, 63, 1); // edge at 65535: the rest of the last row
    lcd_draw_line(60, 40, 60, 65535, 1);
    lcd_fill_color(65535, 65535, 65535, 65535, 1);
    expect_golden("shapes");
}

TEST_F(Lcd, IconIsOpaqueAndReadsPaperPastItsLength)
{
    // A 16 x 12 frame whose bitmap length covers only its first 8 rows; the
    // bytes after that length would be ink if they were read.
    unsigned char bitmap[24];
    memset(bitmap, 0xFF, sizeof(bitmap));
    for (int r = 1; r < 7; ++r) {
        bitmap[2 * r] = 0x01;
        bitmap[2 * r + 1] = 0x80;
    }
    lcd_fill_color(10, 10, 40, 30, 1);
    lcd_draw_icon(20, 15, 16, 12, bitmap, 16);
    lcd_draw_icon(125, 50, 16, 12, bitmap, 16); // wraps into the following rows
    expect_golden("icon");
}

TEST_F(Lcd, TextOffsetsForLeftCentreAndRight)
{
    const char *text = "ABCi";
    ASSERT_EQ(text_width(text), 20) << "font widths";
    text_attr_t left = attr(LCD_ALIGN_LEFT), centre = attr(LCD_ALIGN_CENTER),
                right = attr(LCD_ALIGN_RIGHT), other = attr(7);
    lcd_draw_text(&left, 10, 2, 51, 12, text, 12, 1);
    lcd_draw_text(&centre, 10, 16, 51, 12, text, 12, 1);
    lcd_draw_text(&right, 10, 30, 51, 12, text, 12, 1);
    lcd_draw_text(&other, 70, 2, 51, 12, text, 12, 1);
    EXPECT_EQ(first_ink_column(10, 2), 12);
    EXPECT_EQ(first_ink_column(10, 16), 10 + 16);
    EXPECT_EQ(first_ink_column(10, 30), 10 + 32);
    EXPECT_EQ(first_ink_column(70, 2), 72);

    // Wider than its box: from offset 1 whatever the alignment, cut after
    // column x + width.
    text_attr_t wide = attr(LCD_ALIGN_RIGHT);
    lcd_draw_text(&wide, 70, 16, 30, 12, "ABCDABCD", 12, 1);
    for (int r = 16; r < 28; ++r)
        for (int c = 101; c < kW; ++c)
            EXPECT_EQ(ink(c, r), 0) << c << "," << r;

    // Transparent, and only bit 0 of the colour counts: paper text on ink.
    lcd_fill_color(10, 46, 60, 14, 1);
    lcd_draw_text(&left, 10, 47, 60, 12, "ABCD", 12, 2);
    expect_golden("text_align");
}

TEST_F(Lcd, ShowTextScrollsTheCaretIntoTheBox)
{
    text_attr_t a = attr(LCD_ALIGN_LEFT, 4, 1);
    lcd_show_text(&a, 10, 10, 20, 12, "ABCD", 12, 1);
    EXPECT_EQ(a.cursor, 2);
    std::vector<uint8_t> scrolled = snapshot();
    expect_golden("scroll_abcd");

    lcd_fill_color(0, 0, 132, 64, 0);
    text_attr_t b = attr(LCD_ALIGN_LEFT, 2, 1);
    lcd_draw_text(&b, 10, 10, 20, 12, "CD", 12, 1);
    EXPECT_EQ(snapshot(), scrolled);

    text_attr_t fits = attr(LCD_ALIGN_LEFT, 4, 1);
    lcd_show_text(&fits, 10, 30, 60, 12, "ABCD", 12, 1);
    EXPECT_EQ(fits.cursor, 4);
    EXPECT_EQ(first_ink_column(10, 30), 12);
}

TEST_F(Lcd, CaretAndHighlight)
{
    // Caret at 0 stands at x + a + 1 over the box's height.
    text_attr_t at0 = attr(LCD_ALIGN_LEFT, 0, 1);
    lcd_draw_text(&at0, 40, 2, 60, 12, "AB", 12, 1);
    for (int r = 2; r < 14; ++r)
        EXPECT_EQ(ink(42, r), 1) << r;

    // Cursor 255: neither caret nor highlight.
    text_attr_t none = attr(LCD_ALIGN_LEFT, LCD_NO_CURSOR, 1, 1);
    text_attr_t plain = attr(LCD_ALIGN_LEFT);
    lcd_draw_text(&plain, 40, 16, 60, 12, "ABCD", 12, 1);
    std::vector<uint8_t> without = snapshot();
    lcd_draw_text(&none, 40, 16, 60, 12, "ABCD", 12, 1);
    EXPECT_EQ(snapshot(), without);

    // Highlight inverts the glyph before the caret, rows y+1..y+10; with
    // centring the block moves with the text.
    text_attr_t hl = attr(LCD_ALIGN_LEFT, 2, 0, 1);
    lcd_draw_text(&hl, 40, 30, 60, 12, "ABCD", 12, 1);
    text_attr_t centred = attr(LCD_ALIGN_CENTER, 2, 1, 1);
    lcd_draw_text(&centred, 40, 46, 60, 12, "ABCD", 12, 1);
    expect_golden("caret_highlight");
}

TEST_F(Lcd, RedrawRegionGrowsUntilTaken)
{
    uint16_t x1, y1, x2, y2;
    lcd_get_redraw(&x1, &y1, &x2, &y2);
    EXPECT_EQ(std::vector<int>({x1, y1, x2, y2}), std::vector<int>({0, 0, 131, 63}));
    lcd_get_redraw(&x1, &y1, &x2, &y2);
    EXPECT_EQ(std::vector<int>({x1, y1, x2, y2}), std::vector<int>({0, 0, 0, 0}));
    lcd_set_redraw(10, 20, 30, 40);
    lcd_set_redraw(5, 5, 4, 90);   // inverted: ignored
    lcd_set_redraw(5, 50, 90, 49); // inverted: ignored
    lcd_set_redraw(2, 3, 200, 10);
    lcd_get_redraw(&x1, &y1, &x2, &y2);
    EXPECT_EQ(std::vector<int>({x1, y1, x2, y2}), std::vector<int>({0, 0, 200, 40}));
}

TEST_F(Lcd, RefreshCopiesTheWholeBufferThenSignals)
{
    lcd_fill_color(0, 0, 132, 64, 1);
    lcd_draw_rect(3, 3, 128, 60, 0);
    ASSERT_EQ(lcd_refresh(), 0);
    std::string fb = slurp(root / "/dev/fb0");
    ASSERT_EQ(fb.size(), 1056u);
    EXPECT_EQ(memcmp(fb.data(), gp_lcdbuffer, 1056), 0);
    EXPECT_EQ(slurp(root / "/proc/glcd/refresh"), "1");

    unlink((root / "/proc/glcd/refresh").c_str());
    EXPECT_EQ(lcd_refresh(), -1);
}

TEST(LcdInit, WithoutFrameBufferFailsAndDrawingIsHarmless)
{
    ScopedRoot root;
    make_lcd_root(root, "60.0.0.1.0.0.0.0\n");
    unlink((root / "/dev/fb0").c_str());
    EXPECT_EQ(lcd_init(), -1);
    EXPECT_TRUE(logged("Unable to mmap framebuffer\n"));
    EXPECT_EQ(gp_lcdbuffer, nullptr);
    lcd_draw_point(1, 1, 1);
    lcd_fill_color(0, 0, 132, 64, 1);
    text_attr_t a = attr(LCD_ALIGN_LEFT, 1, 1, 1);
    lcd_show_text(&a, 0, 0, 60, 12, "AB", 12, 1);
    EXPECT_EQ(lcd_get_point_color(1, 1), 0);
    EXPECT_EQ(lcd_refresh(), 0); // nothing to copy, the driver is still told
    EXPECT_EQ(slurp(root / "/proc/glcd/refresh"), "1");
}

TEST(LcdInit, GTypeFromTheHardwareVersionUnderTheRoot)
{
    ScopedRoot root;
    make_lcd_root(root, "59.0.0.17.0.0.0.0\n");
    ASSERT_EQ(lcd_init(), 0);
    EXPECT_EQ(g_is_Gtype_basicui, 1);
    lcd_denit();
    EXPECT_EQ(gp_lcdbuffer, nullptr);

    const struct {
        const char *line;
        int gtype;
    } cases[] = {{"60.0.0.1.0.0.0.1\n", 1},
                 {"60.0.0.1.0.0.0.0\n", 0},
                 {"59.0.0.2.0.0.0.0", 0},
                 {"59.0.0.33", 1},
                 {"3.1", 0}};
    for (const auto &c : cases) {
        put(root / "/proc/misc/hwver", c.line);
        EXPECT_EQ(lcdGetGtype(), c.gtype) << c.line;
    }
    testsupport::syslog_capture().take();
    put(root / "/proc/misc/hwver", "\n");
    EXPECT_EQ(lcdGetGtype(), 0);
    EXPECT_TRUE(logged("lcdGetGtype  failed."));
    put(root / "/proc/misc/hwver", "");
    EXPECT_EQ(lcdGetGtype(), 0);
    EXPECT_TRUE(logged("fgets cat "));
}
