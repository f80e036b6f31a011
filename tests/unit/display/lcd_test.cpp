// The display stack on a temporary root whose frame buffer, refresh file
// and misc device are regular files (misc requests land there as lines).
// Drawing is judged by whole pictures: the scripts of lcd_draw.rows draw the
// references of tests/data/lcd (golden.h).
#include "display/display.h"
#include "display/font.h"
#include "display/lcd.h"

#include "child.h"
#include "golden.h"
#include "lcd_root.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <sstream>
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
        put(root / "/dev/misc0", "");
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
    else if (r[1] == "line" || r[1] == "rect")
        (r[1] == "line" ? lcd_draw_line : lcd_draw_rect)(n[0], n[1], n[2], n[3], n[4]);
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
    ASSERT_EQ(lcd_init(), 0);
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

TEST_F(Lcd, GTypeFromTheHardwareVersionUnderTheRoot)
{
    for (const Row &r : rows(TEST_DATA_DIR "/lcd_hwver.rows")) {
        put(root / "/proc/misc/hwver", r[0]);
        EXPECT_EQ(lcdGetGtype(), atoi(r[1].c_str())) << r[0];
    }
}

TEST(Font, WholeTableWidthsAndLookup)
{
    // FNV-1a, so that the cross build is seen to hold the host build's
    // bytes; update the constant when the drawings change on purpose.
    uint32_t hash = 2166136261u;
    for (unsigned char byte : ascii_12_Arial)
        hash = (hash ^ byte) * 16777619u;
    EXPECT_EQ(hash, 0xa1039df2u);
    auto record = [](int code) { return ascii_12_Arial + 14 + code * FONT_RECORD_SIZE; };
    for (const Row &r : rows(TEST_DATA_DIR "/font_widths.rows")) {
        std::istringstream widths(r[1]);
        int code = atoi(r[0].c_str());
        for (int w; widths >> w; ++code)
            EXPECT_EQ(record(code)[0], w) << "code " << code;
    }
    for (int code : {0, 65, 127, 128})
        EXPECT_EQ(font_get_data(code, 12), record(code)) << "code " << code;
    for (int code : {129, 255, 1000, -1, -128})
        EXPECT_EQ(font_get_data(code, 12), record(' ')) << "code " << code;
    for (uint8_t size : {0, 8, 16, 255})
        EXPECT_EQ(font_get_data('g', size), record('g')) << "size " << int(size);
}

TEST_F(Lcd, FrameBufferMappedOnceAndSharedRefreshTold)
{
    put(root / "/dev/fb0", std::string(1055, '\0'));
    unsigned char *screen = nullptr, untouched = 0, *again = &untouched;
    EXPECT_EQ(devctrl_open_lcd(&screen), -1) << "too small";
    put(root / "/dev/fb0", std::string(1056, '\0'));
    ASSERT_EQ(devctrl_open_lcd(&screen), 0) << "a later call starts again";
    screen[0] = 0x81;
    screen[1055] = 0x18;
    EXPECT_TRUE(slurp(root / "/dev/fb0") == "\x81" + std::string(1054, '\0') + "\x18");
    EXPECT_EQ(devctrl_open_lcd(&again), 0);
    EXPECT_EQ(again, &untouched) << "mapped once";
    devctrl_close_lcd();
    EXPECT_EQ(devctrl_open_lcd(&again), 0);
    EXPECT_EQ(again, fb_buf) << "mapped again after a close";
    EXPECT_EQ(devctrl_refresh_lcd(), 0);
    EXPECT_EQ(slurp(root / "/proc/glcd/refresh"), "1");
    unlink((root / "/proc/glcd/refresh").c_str());
    EXPECT_EQ(devctrl_refresh_lcd(), -1);
}

TEST_F(Lcd, FrameDataWrittenWholeOrFailed)
{
    const std::string frame(1056, 'f');
    const auto *bytes = reinterpret_cast<const unsigned char *>(frame.data());
    EXPECT_EQ(devctrl_flush_fbdata(bytes, 1056), 0);
    EXPECT_EQ(slurp(root / "/dev/fb0"), frame);
    // A device that takes only part of the frame: a file size limit.
    EXPECT_EQ(in_child([&] {
                  rlimit limit = {1000, 1000};
                  signal(SIGXFSZ, SIG_IGN);
                  put(root / "/dev/fb0", "");
                  if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
                      return 2;
                  return devctrl_flush_fbdata(bytes, 1056) + 1;
              }),
              0);
    EXPECT_EQ(slurp(root / "/dev/fb0").size(), 1000u) << "the write was short";
}

TEST_F(Lcd, LedsInStateOneAreLit)
{
    // LEDs 0 to 4 in states 3, 1, 3, 2, 1 (two bits each; a sixth is not
    // read): 0x13 goes to the misc device.
    unsigned char states[2] = {0xB7, 0x05};
    EXPECT_EQ(devctrl_set_led_ex(states), 0);
    EXPECT_EQ(states[0], 0xB5);
    EXPECT_EQ(slurp(root / "/dev/misc0"), "MISC_IOCS_LED 19\n");
#if defined(__mips__) // the driver's request numbers
    EXPECT_EQ(std::vector<unsigned long>({MISC_IOCS_LED, MISC_IOCG_LED, MISC_IOCS_BKLIGHT,
                                          MISC_IOCG_BKLIGHT, MISC_IOCS_EXT_LED}),
              std::vector<unsigned long>(
                  {0x80044D07u, 0x40044D08u, 0x80044D09u, 0x40044D0Au, 0x80044D11u}));
#endif
}
