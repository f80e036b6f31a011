// Pictures of the LCD: 132x64 pixels, one bit each, rows packed into one
// bit stream, least significant bit first (1056 bytes); a set bit is ink.
#ifndef PHONESIM_FRAMES_H
#define PHONESIM_FRAMES_H

#include <stdint.h>

#include <string>
#include <vector>

namespace phonesim
{

constexpr int kLcdWidth = 132;
constexpr int kLcdHeight = 64;
constexpr size_t kFrameBytes = 1056;
// Contact sheet: frames in rows of up to kSheetColumns, kSheetGap LCD pixels
// apart and from the border (all scaled).
constexpr int kSheetColumns = 3;
constexpr int kSheetGap = 4;

bool pixel(const std::vector<uint8_t> &frame, int x, int y);

// Writes a PNG of the frame scaled up by scale (crisp, no smoothing).
bool write_frame_png(const std::string &path, const std::vector<uint8_t> &frame, int scale,
                     std::string *error);
// One picture of the given frames in a grid, with a gap between them.
// Refuses an empty list. Bytes missing from a short frame read as paper.
bool write_contact_sheet(const std::string &path, const std::vector<std::vector<uint8_t>> &frames,
                         int scale, std::string *error);
// The frame as terminal text: two pixel rows per character cell (Unicode
// half blocks), 132 columns by 32 lines.
std::string render_text(const std::vector<uint8_t> &frame);

} // namespace phonesim

#endif
