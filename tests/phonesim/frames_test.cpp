// phonesim's pictures of the LCD: PNG files (read back with libpng) and the
// terminal text.
#include "phonesim/frames.h"

#include "isolation.h"
#include "lcd_root.h"

#include <gtest/gtest.h>

#include <png.h>

#include <sstream>

using namespace phonesim;

// The frame buffer is one bit stream of rows, least significant bit first;
// the PNG shows it scaled up.
TEST(Frames, PngShowsTheRowBitStreamScaledUp)
{
    testsupport::TempDir dir;
    std::vector<uint8_t> frame(kFrameBytes);
    frame[0] = 1 << 0;    // (0, 0)
    frame[16] = 3 << 3;   // (131, 0) and (0, 1)
    frame[1055] = 1 << 7; // (131, 63)
    std::string path = dir.path() + "/frame.png", error;
    ASSERT_TRUE(write_frame_png(path, frame, 3, &error)) << error;
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&png, path.c_str()));
    png.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(png));
    ASSERT_TRUE(png_image_finish_read(&png, nullptr, rgb.data(), 0, nullptr));
    ASSERT_EQ(png.width, kLcdWidth * 3u);
    ASSERT_EQ(png.height, kLcdHeight * 3u);
    for (int y = 0; y < kLcdHeight * 3; ++y) // each pixel a 3x3 square, dark where inked
        for (int x = 0; x < kLcdWidth * 3; ++x)
            ASSERT_EQ(rgb[(y * png.width + x) * 3 + 1] < 0x80,
                      testsupport::ink_at(frame.data(), x / 3, y / 3) == 1)
                << x << "," << y;
    EXPECT_FALSE(write_frame_png(dir.path() + "/missing/frame.png", frame, 1, &error));
}

// Two pixel rows per line of text: upper, lower or both halves of a block.
TEST(Frames, TextUsesHalfBlocksForPixelPairs)
{
    std::vector<uint8_t> frame(kFrameBytes);
    frame[0] = 1 << 0;    // (0, 0)
    frame[16] = 1 << 5;   // (1, 1)
    frame[1023] = 1 << 2; // (2, 62)
    frame[1039] = 1 << 6; // (2, 63)
    frame[49] = 1 << 3;   // (131, 2)
    std::istringstream in(render_text(frame));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 32u);
    std::string blank(kLcdWidth, ' ');
    EXPECT_EQ(lines[0], "\u2580\u2584" + blank.substr(2));
    EXPECT_EQ(lines[1], blank.substr(1) + "\u2580");
    EXPECT_EQ(lines[31], "  \u2588" + blank.substr(3));
    EXPECT_EQ(lines[2], blank);
}
