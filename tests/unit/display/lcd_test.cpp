// LCD drawing judged by whole pictures: the scripts of tests/data/lcd_draw.rows
// draw each reference of tests/data/lcd (plain PBM; on a mismatch the
// picture drawn is left beside it as NAME_actual.pbm, and UPDATE_GOLDEN=1
// rewrites the references: look at them before keeping them). The screen
// comes up the real way on a temporary root.
#include "display/lcd.h"

#include "display/display.h"

#include "golden.h"
#include "isolation.h"
#include "lcd_root.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

using namespace testsupport;

namespace
{

::testing::Environment *const g_env =
    ::testing::AddGlobalTestEnvironment(new IsolatedEnvironment(kCaptureSyslog));

class Lcd : public ::testing::Test
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
        devctrl_close_lcd(); // the next case maps its own root's frame buffer
    }
    ScopedRoot root;
};

std::vector<uint8_t> picture()
{
    std::vector<uint8_t> pixels(kGoldenW * kGoldenH);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = uint8_t(ink_at(gp_lcdbuffer, i % kGoldenW, i / kGoldenW));
    return pixels;
}

void draw(const Row &r)
{
    std::istringstream in(r[2]);
    std::vector<uint16_t> n;
    for (long v; in >> v;)
        n.push_back(uint16_t(v));
    if (r[1] == "point")
        lcd_draw_point(n[0], n[1], n[2]);
    else if (r[1] == "line")
        lcd_draw_line(n[0], n[1], n[2], n[3], n[4]);
    else if (r[1] == "rect")
        lcd_draw_rect(n[0], n[1], n[2], n[3], n[4]);
    else if (r[1] == "fill")
        lcd_fill_color(n[0], n[1], n[2], n[3], n[4]);
    else if (r[1] == "icon") {
        std::vector<unsigned char> bits;
        for (size_t i = 0; i + 1 < r[3].size(); i += 2)
            bits.push_back(uint8_t(strtoul(r[3].substr(i, 2).c_str(), nullptr, 16)));
        lcd_draw_icon(n[0], n[1], n[2], n[3], bits.data(), n[4]);
    } else {
        text_attr_t a = {0, 0, 0, uint8_t(n[0]), uint8_t(n[1]), uint8_t(n[2]), uint8_t(n[3])};
        (r[1] == "show" ? lcd_show_text : lcd_draw_text)(&a, n[4], n[5], n[6], n[7], r[3].c_str(),
                                                         uint8_t(n[8]), n[9]);
        if (r.size() > 4) {
            EXPECT_EQ(a.cursor, atoi(r[4].c_str())) << "caret index after scrolling";
        }
    }
}

} // namespace

TEST_F(Lcd, PicturesDrawnByTheScripts)
{
    std::vector<Row> script = rows(TEST_DATA_DIR "/lcd_draw.rows");
    for (size_t i = 0; i < script.size(); ++i) {
        SCOPED_TRACE(script[i][0] + ": " + script[i][1] + " " + script[i][2]);
        draw(script[i]);
        if (i + 1 == script.size() || script[i + 1][0] != script[i][0]) {
            EXPECT_EQ(golden_mismatch(LCD_GOLDEN_DIR, script[i][0], picture()), "");
            lcd_fill_color(0, 0, 132, 64, 0);
        }
    }
}

TEST_F(Lcd, RedrawRegionGrowsUntilTaken)
{
    uint16_t r[4];
    lcd_get_redraw(&r[0], &r[1], &r[2], &r[3]);
    lcd_set_redraw(10, 20, 30, 40);
    lcd_set_redraw(5, 5, 4, 90);   // inverted: ignored
    lcd_set_redraw(5, 50, 90, 49); // inverted: ignored
    lcd_set_redraw(2, 3, 200, 10);
    lcd_get_redraw(&r[0], &r[1], &r[2], &r[3]);
    EXPECT_EQ(std::vector<int>(r, r + 4), std::vector<int>({0, 0, 200, 40}));
    lcd_get_redraw(&r[0], &r[1], &r[2], &r[3]);
    EXPECT_EQ(std::vector<int>(r, r + 4), std::vector<int>({0, 0, 0, 0}));
}

TEST_F(Lcd, RefreshShowsTheWholeBuffer)
{
    lcd_fill_color(0, 0, 132, 64, 1);
    lcd_draw_rect(3, 3, 128, 60, 0);
    ASSERT_EQ(lcd_refresh(), 0);
    EXPECT_TRUE(slurp(root / "/dev/fb0") == std::string(gp_lcdbuffer, gp_lcdbuffer + 1056));
    EXPECT_EQ(slurp(root / "/proc/glcd/refresh"), "1");
    unlink((root / "/proc/glcd/refresh").c_str());
    EXPECT_EQ(lcd_refresh(), -1);
}

TEST(LcdInit, WithoutFrameBufferFailsAndDrawingIsHarmless)
{
    ScopedRoot root;
    make_lcd_root(root);
    unlink((root / "/dev/fb0").c_str());
    EXPECT_EQ(lcd_init(), -1);
    lcd_fill_color(0, 0, 132, 64, 1);
    text_attr_t a = {0, 0, 0, LCD_ALIGN_LEFT, 1, 1, 1};
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
    for (const Row &r : rows(TEST_DATA_DIR "/lcd_hwver.rows")) {
        put(root / "/proc/misc/hwver", r[0]);
        EXPECT_EQ(lcdGetGtype(), atoi(r[1].c_str())) << r[0];
    }
}
