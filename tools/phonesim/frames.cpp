#include "phonesim/frames.h"

#include "common/png_out.h"

#include <string.h>

namespace phonesim
{

namespace
{

// Palette indexes of the pictures.
enum : uint8_t { kPaper = 0, kInk = 1, kBorder = 2 };

// An unlit LCD is pale green-grey, ink is near black; the sheet's border is
// darker than the paper so that neighbouring screens stay apart.
constexpr png_byte kPalette[3][3] = {{0xC8, 0xD8, 0xB0}, {0x10, 0x18, 0x10}, {0x70, 0x78, 0x68}};

constexpr int kMaxScale = 64;

bool check_scale(int scale, std::string *error)
{
    if (scale >= 1 && scale <= kMaxScale)
        return true;
    if (error)
        *error = "scale must be 1.." + std::to_string(kMaxScale) + ", not " + std::to_string(scale);
    return false;
}

// Paints the frame into an indexed picture of the given width at (left, top).
void paint(std::vector<uint8_t> &picture, int width, int left, int top,
           const std::vector<uint8_t> &frame, int scale)
{
    for (int y = 0; y < kLcdHeight; ++y) {
        uint8_t *row = &picture[size_t(top + y * scale) * width + left];
        for (int x = 0; x < kLcdWidth; ++x)
            memset(row + x * scale, pixel(frame, x, y) ? kInk : kPaper, size_t(scale));
        for (int r = 1; r < scale; ++r)
            memcpy(row + size_t(r) * width, row, size_t(kLcdWidth) * scale);
    }
}

bool write_indexed(const std::string &path, const std::vector<uint8_t> &picture, int width,
                   int height, std::string *error)
{
    return png_out_write(path, picture.data(), width, height, kPalette, 3, error);
}

} // namespace

bool pixel(const std::vector<uint8_t> &frame, int x, int y)
{
    if (x < 0 || x >= kLcdWidth || y < 0 || y >= kLcdHeight)
        return false;
    size_t n = size_t(y) * kLcdWidth + size_t(x);
    if (n / 8 >= frame.size())
        return false;
    return (frame[n / 8] >> (n % 8)) & 1;
}

bool write_frame_png(const std::string &path, const std::vector<uint8_t> &frame, int scale,
                     std::string *error)
{
    if (!check_scale(scale, error))
        return false;
    int width = kLcdWidth * scale, height = kLcdHeight * scale;
    std::vector<uint8_t> picture(size_t(width) * height, kPaper);
    paint(picture, width, 0, 0, frame, scale);
    return write_indexed(path, picture, width, height, error);
}

bool write_contact_sheet(const std::string &path, const std::vector<std::vector<uint8_t>> &frames,
                         int scale, std::string *error)
{
    if (!check_scale(scale, error))
        return false;
    if (frames.empty()) {
        if (error)
            *error = "no frames for a contact sheet";
        return false;
    }
    int columns = frames.size() < size_t(kSheetColumns) ? int(frames.size()) : kSheetColumns;
    int rows = int((frames.size() + kSheetColumns - 1) / kSheetColumns);
    int gap = kSheetGap * scale;
    int cell_w = kLcdWidth * scale, cell_h = kLcdHeight * scale;
    int width = columns * (cell_w + gap) + gap;
    int height = rows * (cell_h + gap) + gap;
    std::vector<uint8_t> picture(size_t(width) * height, kBorder);
    for (size_t i = 0; i < frames.size(); ++i) {
        int column = int(i % kSheetColumns), row = int(i / kSheetColumns);
        paint(picture, width, gap + column * (cell_w + gap), gap + row * (cell_h + gap), frames[i],
              scale);
    }
    return write_indexed(path, picture, width, height, error);
}

std::string render_text(const std::vector<uint8_t> &frame)
{
    static const char *const kCells[4] = {" ", "\u2580", "\u2584", "\u2588"};
    std::string text;
    text.reserve(size_t(kLcdHeight / 2) * (kLcdWidth * 3 + 1));
    for (int y = 0; y < kLcdHeight; y += 2) {
        for (int x = 0; x < kLcdWidth; ++x)
            text += kCells[(pixel(frame, x, y) ? 1 : 0) | (pixel(frame, x, y + 1) ? 2 : 0)];
        text += '\n';
    }
    return text;
}

} // namespace phonesim
