// Draws every printable glyph of the built-in font (32..127 and 160..255) in
// a grid, each on a pale box of its advance width, followed by a few lines of
// sample text set with the glyph widths alone, as the LCD would show them.
// docs/font.png is made with:
//   cmake --build <build> --target fontsheet && <build>/tools/fontsheet/fontsheet docs/font.png
#include "common/png_out.h"
#include "display/font.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace
{

enum : uint8_t { kGutter = 0, kPaper = 1, kInk = 2, kCellEdge = 3 };
constexpr png_byte kPalette[4][3] = {
    {0x70, 0x78, 0x68}, {0xC8, 0xD8, 0xB0}, {0x10, 0x18, 0x10}, {0xB0, 0xC0, 0x98}};

constexpr int kScale = 6;
constexpr int kColumns = 16;
constexpr int kCellWidth = 11; // the widest glyph (9) plus a margin
constexpr int kCellHeight = FONT_HEIGHT + 2;
constexpr int kGridRows = 12; // 32..127 and 160..255, 16 codes a row
const char *const kSample[] = {
    "The quick brown fox jumps",
    "over the lazy dog. (g, j, p, q, y)",
    "UPGRADE FAILED! ID: -190 [OK]",
    "0123456789 @ 100% ~ {a|b} <c> #$&*",
};
constexpr int kSampleLines = sizeof(kSample) / sizeof(kSample[0]);

struct Sheet {
    int width;
    int height;
    std::vector<uint8_t> pixels; // unscaled, one palette index each

    void set(int x, int y, uint8_t value)
    {
        if (x >= 0 && x < width && y >= 0 && y < height)
            pixels[size_t(y) * width + x] = value;
    }
};

bool glyph_ink(const unsigned char *rec, int col, int row)
{
    const int bit = row * rec[0] + col;
    return (rec[2 + bit / 8] >> (bit % 8)) & 1;
}

// Paper box of the glyph's advance width at (left, top), then its ink.
int draw_glyph(Sheet &sheet, int left, int top, const unsigned char *rec, uint8_t paper)
{
    for (int row = 0; row < FONT_HEIGHT; ++row)
        for (int col = 0; col < rec[0]; ++col)
            sheet.set(left + col, top + row, glyph_ink(rec, col, row) ? uint8_t(kInk) : paper);
    return rec[0];
}

const unsigned char *record(int code)
{
    return ascii_12_Arial + 14 + code * FONT_RECORD_SIZE;
}

bool write_png(const char *path, const Sheet &sheet)
{
    const int width = sheet.width * kScale;
    const int height = sheet.height * kScale;
    std::vector<uint8_t> scaled(size_t(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            scaled[size_t(y) * width + x] =
                sheet.pixels[size_t(y / kScale) * sheet.width + x / kScale];
    std::string error;
    if (png_out_write(path, scaled.data(), width, height, kPalette, 4, &error))
        return true;
    fprintf(stderr, "fontsheet: %s\n", error.c_str());
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: fontsheet <output.png>\n");
        return 2;
    }
    Sheet sheet;
    sheet.width = kColumns * kCellWidth + 1;
    sheet.height = (kGridRows + kSampleLines) * kCellHeight + 1;
    sheet.pixels.assign(size_t(sheet.width) * sheet.height, kGutter);

    for (int i = 0; i < kGridRows * kColumns; ++i) {
        const int code = i < 96 ? 32 + i : 160 + (i - 96);
        const int left = 1 + (i % kColumns) * kCellWidth;
        const int top = 1 + (i / kColumns) * kCellHeight;
        for (int y = 0; y < FONT_HEIGHT; ++y)
            for (int x = 0; x < kCellWidth - 1; ++x)
                sheet.set(left + x, top + y, kCellEdge);
        draw_glyph(sheet, left, top, record(code), kPaper);
    }
    for (int line = 0; line < kSampleLines; ++line) {
        const int top = 1 + (kGridRows + line) * kCellHeight;
        for (int x = 1; x < sheet.width - 1; ++x)
            for (int y = 0; y < FONT_HEIGHT; ++y)
                sheet.set(x, top + y, kPaper);
        int left = 1;
        for (const char *c = kSample[line]; *c; ++c)
            left += draw_glyph(sheet, left, top, font_get_data(*c, FONT_HEIGHT), kPaper);
    }
    return write_png(argv[1], sheet) ? 0 : 1;
}
