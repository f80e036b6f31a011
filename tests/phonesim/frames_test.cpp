#include "phonesim/frames.h"

#include "isolation.h"

#include <gtest/gtest.h>

#include <png.h>
#include <string.h>

#include <string>
#include <vector>

using namespace phonesim;

namespace
{

std::vector<uint8_t> pattern_frame()
{
    std::vector<uint8_t> frame(kFrameBytes);
    uint32_t x = 0x12345678;
    for (auto &b : frame) {
        x = x * 1103515245u + 12345u;
        b = uint8_t(x >> 24);
    }
    return frame;
}

struct Decoded {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    bool dark(int x, int y) const { return rgb[(size_t(y) * width + x) * 3 + 1] < 0x80; }
};

bool decode(const std::string &path, Decoded *out)
{
    png_image image;
    memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return false;
    image.format = PNG_FORMAT_RGB;
    out->width = int(image.width);
    out->height = int(image.height);
    out->rgb.resize(PNG_IMAGE_SIZE(image));
    bool ok = png_image_finish_read(&image, nullptr, out->rgb.data(), 0, nullptr) != 0;
    png_image_free(&image);
    return ok;
}

} // namespace

TEST(Frames, PixelsFollowTheRowBitStreamLeastSignificantFirst)
{
    std::vector<uint8_t> frame(kFrameBytes);
    frame[0] |= 1 << 0;    // (0, 0)
    frame[16] |= 1 << 3;   // (131, 0)
    frame[16] |= 1 << 4;   // (0, 1)
    frame[1055] |= 1 << 7; // (131, 63)
    std::vector<std::pair<int, int>> ink;
    for (int y = 0; y < kLcdHeight; ++y)
        for (int x = 0; x < kLcdWidth; ++x)
            if (pixel(frame, x, y))
                ink.emplace_back(x, y);
    EXPECT_EQ(ink, (std::vector<std::pair<int, int>>{{0, 0}, {131, 0}, {0, 1}, {131, 63}}));

    std::vector<uint8_t> full(kFrameBytes, 0xFF);
    EXPECT_FALSE(pixel(full, kLcdWidth, 0) || pixel(full, 0, kLcdHeight) || pixel(full, -1, 0));
    EXPECT_FALSE(pixel(std::vector<uint8_t>(16, 0xFF), 0, 1)); // short frame: paper
}

TEST(Frames, PngDecodesToTheFrameScaledUp)
{
    testsupport::TempDir dir;
    std::vector<uint8_t> frame = pattern_frame();
    std::string path = dir.path() + "/frame.png", error;
    ASSERT_TRUE(write_frame_png(path, frame, 3, &error)) << error;
    Decoded png;
    ASSERT_TRUE(decode(path, &png));
    ASSERT_EQ(png.width, kLcdWidth * 3);
    ASSERT_EQ(png.height, kLcdHeight * 3);
    int wrong = 0;
    for (int y = 0; y < png.height; ++y)
        for (int x = 0; x < png.width; ++x)
            wrong += png.dark(x, y) != pixel(frame, x / 3, y / 3);
    EXPECT_EQ(wrong, 0);

    EXPECT_FALSE(write_frame_png(path, frame, 0, &error));
    EXPECT_FALSE(write_frame_png(dir.path() + "/missing/frame.png", frame, 1, &error));
    EXPECT_FALSE(error.empty());
}

TEST(Frames, ContactSheetPlacesFramesInAGrid)
{
    testsupport::TempDir dir;
    std::vector<std::vector<uint8_t>> frames(4, std::vector<uint8_t>(kFrameBytes));
    frames[3][0] = 1; // (0, 0) of the first frame of the second row
    std::string path = dir.path() + "/sheet.png", error;
    ASSERT_TRUE(write_contact_sheet(path, frames, 2, &error)) << error;
    Decoded png;
    ASSERT_TRUE(decode(path, &png));
    int gap = kSheetGap * 2, cell_w = kLcdWidth * 2, cell_h = kLcdHeight * 2;
    EXPECT_EQ(png.width, 3 * (cell_w + gap) + gap);
    EXPECT_EQ(png.height, 2 * (cell_h + gap) + gap);
    int top = gap + cell_h + gap;
    EXPECT_TRUE(png.dark(gap + 1, top + 1));
    EXPECT_FALSE(png.dark(gap + 2, top));
    EXPECT_FALSE(png.dark(gap, gap)); // frame 0 is blank

    EXPECT_FALSE(write_contact_sheet(path, {}, 2, &error));
}

TEST(Frames, TextUsesHalfBlocksForPixelPairs)
{
    std::vector<uint8_t> frame(kFrameBytes);
    auto set = [&](int x, int y) {
        size_t n = size_t(y) * kLcdWidth + x;
        frame[n / 8] |= uint8_t(1 << (n % 8));
    };
    set(0, 0);  // upper half
    set(1, 1);  // lower half
    set(2, 62); // both, last line
    set(2, 63);
    set(131, 2); // upper half, end of the second line
    std::string text = render_text(frame);

    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1)
        lines.push_back(text.substr(start, end - start));
    ASSERT_EQ(lines.size(), 32u);
    std::string blank_line(kLcdWidth, ' ');
    EXPECT_EQ(lines[0], "\u2580\u2584" + blank_line.substr(2));
    EXPECT_EQ(lines[1], blank_line.substr(1) + "\u2580");
    EXPECT_EQ(lines[31], "  \u2588" + blank_line.substr(3));
    for (int i = 2; i < 31; ++i)
        EXPECT_EQ(lines[i], blank_line) << i;
}
