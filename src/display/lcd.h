// Drawing into the off-screen buffer of the 132 x 64 monochrome LCD, and
// showing it. Every operation reaches the buffer one pixel at a time through
// SetBit / ClearBit / GetBit, which forward to the panel layout
// (lcd_132x64_1Bit_HBYTE.h). Coordinates and sizes are unsigned 16-bit;
// colour 1 is ink, 0 paper.
//
// Bounds are those of the buffer's linear index only: there is no clipping
// per axis, so a point right of column 131 shows up in a later row and a
// point at index 132 * 64 or beyond is dropped. Rectangles are walked with
// wide arithmetic: an edge at 65535 neither overflows nor loops for ever,
// and a point whose sum passes 65535 is simply off the screen.
#ifndef DISPLAY_LCD_H
#define DISPLAY_LCD_H

#include <stdint.h>

#include "display/lcd_132x64_1Bit_HBYTE.h"

// Text attributes built by the screen code for each text call (7 bytes).
struct text_attr_t {
    uint8_t reserved0; // always 0
    uint8_t style;     // style byte of the control; not read here
    uint8_t reverse;   // reverse video; colours arrive already swapped
    uint8_t align;     // 0 left, 1 centre, 2 right; anything else is left
    uint8_t cursor;    // characters before the caret; 255: no caret
    uint8_t cursor_on; // non-zero: draw the caret
    uint8_t highlight; // non-zero: invert the character before the caret
};

#define LCD_NO_CURSOR 255
#define LCD_ALIGN_LEFT 0
#define LCD_ALIGN_CENTER 1
#define LCD_ALIGN_RIGHT 2

extern unsigned char *gp_lcdbuffer;  // drawing buffer, LCD_BUFFER_SIZE bytes; null before lcd_init
extern unsigned char *g_framebuffer; // mapped screen memory; null before lcd_init
extern uint16_t g_refresh_x1, g_refresh_y1; // redraw region, top-left
extern uint16_t g_refresh_x2, g_refresh_y2; // redraw region, bottom-right (inclusive)
extern unsigned char g_is_Gtype_basicui;    // 1 on G-type hardware

// Maps the frame buffer, classifies the hardware and allocates the drawing
// buffer (cleared to paper). 0, or -1 when the frame buffer (logged) or the
// memory (not logged) is not available.
[[nodiscard]] int lcd_init(void);
// Frees the drawing buffer; the frame buffer stays mapped.
void lcd_denit(void);

// One pixel: any non-zero colour is ink.
void lcd_draw_point(uint16_t x, uint16_t y, uint16_t color);
// 1 for ink, 0 for paper; 0 also past the buffer's end (logged).
uint16_t lcd_get_point_color(uint16_t x, uint16_t y);
// Any two corners: fills their bounding box (a line when they share a row or
// a column; there are no diagonals).
void lcd_draw_line(uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2, uint16_t color);
// The box at (x, y), width by height, in one colour; width or height 0
// draws nothing.
void lcd_fill_color(uint16_t x, uint16_t y, uint16_t width, uint16_t height, uint16_t color);
// The outline of the rectangle between two corners, both included.
void lcd_draw_rect(uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2, uint16_t color);
// Opaque: every pixel of the rectangle is written; bits at or beyond length
// bytes of the bitmap read as paper.
void lcd_draw_icon(uint16_t x, uint16_t y, uint16_t width, uint16_t height,
                   const unsigned char *bitmap, int length);

// Transparent text in the box (x, y, width, height) with alignment, caret and
// highlight. lcd_show_text first scrolls the text left so that the caret
// stays in the box, and rewrites attr->cursor accordingly.
void lcd_show_text(text_attr_t *attr, uint16_t x, uint16_t y, uint16_t width, uint16_t height,
                   const char *text, uint8_t font, uint16_t color);
void lcd_draw_text(text_attr_t *attr, uint16_t x, uint16_t y, uint16_t width, uint16_t height,
                   const char *text, uint8_t font, uint16_t color);

// The redraw region only grows (to include each rectangle given) until
// lcd_get_redraw hands it out and resets it to 0, 0, 0, 0.
void lcd_set_redraw(uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2);
void lcd_get_redraw(uint16_t *x1, uint16_t *y1, uint16_t *x2, uint16_t *y2);

// Copies the whole drawing buffer to the screen memory and tells the driver
// to show it: 0 shown, -1 when the driver was not told (logged by
// devctrl_refresh_lcd), and the panel then still shows an older picture.
[[nodiscard]] int lcd_refresh(void);
// One whole picture from src to dst; nothing when either is null.
void lcd_copy_framebuffer(unsigned char *dst, const unsigned char *src);
// Tells the driver to show the screen memory: devctrl_refresh_lcd's 0 or -1.
[[nodiscard]] int lcd_devctrl_refresh(void);

// Part of the interface, without effect.
void lcd_show_char(uint16_t x, uint16_t y, uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t e);
void lcd_draw_roundrect(uint16_t a, uint16_t b, uint16_t c, uint16_t d, uint16_t e, uint16_t f);
void lcd_fill_roundrect(uint16_t a, uint16_t b, uint16_t c, uint16_t d, uint16_t e, uint16_t f);

// The HBYTE layout's pixel operations (lcd_132x64_1Bit_HBYTE.h), through
// which every drawing operation reaches the buffer.
void SetBit(uint16_t x, uint16_t y, unsigned char *buffer, int length);
void ClearBit(uint16_t x, uint16_t y, unsigned char *buffer, int length);
int GetBit(uint16_t x, uint16_t y, const unsigned char *buffer, int length);

// Bit index of a bitmap (least significant bit first); 0 outside length bytes.
int test_bit(int index, const unsigned char *data, int length);

// 1 when "/proc/misc/hwver" names G-type hardware, 0 otherwise.
int lcdGetGtype(void);
// First line of a shell command's output, without its newline, cut to
// size - 1 characters. 0, or -1 when the command gave no line (logged) or an
// argument is missing.
[[nodiscard]] int GetCmdResult(const char *command, char *output, int size);

#endif
