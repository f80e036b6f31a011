// The built-in 12-pixel proportional bitmap font.
#ifndef DISPLAY_FONT_H
#define DISPLAY_FONT_H

#include <stdint.h>

#define FONT_TABLE_SIZE 7182
#define FONT_RECORD_SIZE 28
#define FONT_HEIGHT 12

// 14-byte big-endian header, then 256 glyph records of 28 bytes: width,
// height (12), bitmap of width x 12 bits, row-major, least significant bit
// first. Generated at build time from the glyph drawings in font_glyphs.txt.
extern const unsigned char ascii_12_Arial[FONT_TABLE_SIZE];

// The glyph record of a character code; codes below 0 or above 128 give the
// space. The size is accepted for every font size: there is one font.
const unsigned char *font_get_data(int code, uint8_t size);

// Exchanges the two bytes of a 16-bit value (big-endian header fields).
uint16_t NTOHS(uint16_t value);

#endif
