// Pixel layout of the 132 x 64 one-bit panel ("HBYTE"): all pixels form one
// continuous bit stream in row-major order, least significant bit first.
// Rows are not padded, so a row is 16.5 bytes and pixel (x, y) is bit
// y * 132 + x of the buffer. The drawing buffer, the frame buffer and
// full-screen images all use this layout.
#ifndef DISPLAY_LCD_132X64_1BIT_HBYTE_H
#define DISPLAY_LCD_132X64_1BIT_HBYTE_H

#include <stdint.h>

#define LCD_WIDTH 132
#define LCD_HEIGHT 64
#define LCD_BUFFER_SIZE (LCD_WIDTH * LCD_HEIGHT / 8) // 1056

// Only the linear index is bounded (by length bytes): x of 132 or more lands
// in a later row, an index past the buffer is dropped. A null buffer is
// ignored. GetBitHByte answers 0 (and logs) outside the buffer.
void SetBitHByte(uint16_t x, uint16_t y, unsigned char *buffer, int length);
void ClearBitHByte(uint16_t x, uint16_t y, unsigned char *buffer, int length);
int GetBitHByte(uint16_t x, uint16_t y, const unsigned char *buffer, int length);

#endif
