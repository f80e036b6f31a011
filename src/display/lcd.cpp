#include "display/lcd.h"

#include "display/display.h"
#include "display/font.h"
#include "log/rl_log.h"
#include "platform/platform.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

unsigned char *gp_lcdbuffer = nullptr;
unsigned char *g_framebuffer = nullptr;
uint16_t g_refresh_x1 = 0;
uint16_t g_refresh_y1 = 0;
uint16_t g_refresh_x2 = LCD_WIDTH - 1;
uint16_t g_refresh_y2 = LCD_HEIGHT - 1;
unsigned char g_is_Gtype_basicui = 0;

namespace
{

const char kHwVersionFile[] = "/proc/misc/hwver";
const int kCmdOutputMax = 256;
const int kShellPathMax = 4096;

// Bits a glyph may occupy after its width and height bytes. Glyphs are read
// no further than their own record, so a bad width can never reach into the
// next record or past the table.
const int kGlyphBitmapBytes = FONT_RECORD_SIZE - 2;

const uint32_t kScreenPixels = LCD_WIDTH * LCD_HEIGHT;

// Points are carried in 32 bits so that sums such as x + width cannot wrap
// back onto the screen. Whatever lies at or beyond the end of the buffer's
// linear index is dropped by the pixel layer anyway, so walks over a shape
// stop there: an edge at 65535 costs no more than one reaching the bottom
// row.
bool past_end(uint32_t x, uint32_t y)
{
    return static_cast<uint64_t>(y) * LCD_WIDTH + x >= kScreenPixels;
}

void plot(uint32_t x, uint32_t y, uint16_t color)
{
    if (x > 0xFFFF || y > 0xFFFF)
        return; // off the coordinate range, hence off the screen
    lcd_draw_point(static_cast<uint16_t>(x), static_cast<uint16_t>(y), color);
}

// Every point of x1..x2 by y1..y2, inclusive, column by column.
void fill_box(uint32_t x1, uint32_t y1, uint32_t x2, uint32_t y2, uint16_t color)
{
    for (uint32_t x = x1; x <= x2 && !past_end(x, y1); ++x)
        for (uint32_t y = y1; y <= y2 && !past_end(x, y); ++y)
            plot(x, y, color);
}

int glyph_width(char ch, uint8_t font)
{
    // Characters are looked up as signed bytes, as the font expects.
    return font_get_data(static_cast<signed char>(ch), font)[0];
}

} // namespace

void SetBit(uint16_t x, uint16_t y, unsigned char *buffer, int length)
{
    SetBitHByte(x, y, buffer, length);
}

void ClearBit(uint16_t x, uint16_t y, unsigned char *buffer, int length)
{
    ClearBitHByte(x, y, buffer, length);
}

int GetBit(uint16_t x, uint16_t y, const unsigned char *buffer, int length)
{
    return GetBitHByte(x, y, buffer, length);
}

int test_bit(int index, const unsigned char *data, int length)
{
    if (data == nullptr || index < 0)
        return 0;
    int byte = index / 8;
    if (byte >= length)
        return 0;
    return (data[byte] >> (index % 8)) & 1;
}

void lcd_draw_point(uint16_t x, uint16_t y, uint16_t color)
{
    if (color != 0)
        SetBit(x, y, gp_lcdbuffer, LCD_BUFFER_SIZE);
    else
        ClearBit(x, y, gp_lcdbuffer, LCD_BUFFER_SIZE);
}

uint16_t lcd_get_point_color(uint16_t x, uint16_t y)
{
    return static_cast<uint16_t>(GetBit(x, y, gp_lcdbuffer, LCD_BUFFER_SIZE));
}

void lcd_draw_line(uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2, uint16_t color)
{
    uint16_t lx = x1 < x2 ? x1 : x2;
    uint16_t hx = x1 < x2 ? x2 : x1;
    uint16_t ly = y1 < y2 ? y1 : y2;
    uint16_t hy = y1 < y2 ? y2 : y1;
    fill_box(lx, ly, hx, hy, color);
}

void lcd_fill_color(uint16_t x, uint16_t y, uint16_t width, uint16_t height, uint16_t color)
{
    if (width == 0 || height == 0)
        return;
    fill_box(x, y, static_cast<uint32_t>(x) + width - 1, static_cast<uint32_t>(y) + height - 1,
             color);
}

void lcd_draw_rect(uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2, uint16_t color)
{
    lcd_draw_line(x1, y1, x1, y2, color);
    lcd_draw_line(x2, y1, x2, y2, color);
    lcd_draw_line(x1, y1, x2, y1, color);
    lcd_draw_line(x1, y2, x2, y2, color);
}

void lcd_draw_icon(uint16_t x, uint16_t y, uint16_t width, uint16_t height,
                   const unsigned char *bitmap, int length)
{
    // Rows stop at the end of the buffer, which keeps r * width + c well
    // inside an int (r stays below 64).
    for (uint32_t r = 0; r < height && !past_end(x, y + r); ++r)
        for (uint32_t c = 0; c < width && !past_end(x + c, y + r); ++c)
            plot(x + c, y + r,
                 static_cast<uint16_t>(test_bit(static_cast<int>(r * width + c), bitmap, length)));
}

namespace
{

uint32_t text_width(const char *text, uint8_t font)
{
    uint32_t total = 0;
    for (const char *s = text; *s != '\0'; ++s)
        total += glyph_width(*s, font);
    return total;
}

// Columns between x and the text's first one, less the column every glyph
// leaves on its left: text wider than its box starts at the left and is cut.
uint32_t align_offset(uint8_t align, uint32_t total, uint16_t width)
{
    if (total >= width)
        return 1;
    if (align == LCD_ALIGN_CENTER)
        return (width - total) / 2;
    if (align == LCD_ALIGN_RIGHT)
        return width - total;
    return 1;
}

// Width of the text before the caret and of the glyph just before it; both
// 0 when the caret stands at the start, past the end or nowhere.
void measure_caret(uint8_t cursor, const char *text, uint8_t font, uint32_t *caret,
                   uint32_t *caret_glyph)
{
    *caret = 0;
    *caret_glyph = 0;
    if (cursor == LCD_NO_CURSOR)
        return;
    uint32_t pen = 0;
    for (int i = 0; text[i] != '\0'; ++i) {
        const uint32_t gw = glyph_width(text[i], font);
        pen += gw;
        if (i + 1 == cursor) {
            *caret = pen;
            *caret_glyph = gw;
        }
    }
}

// Ink bits of one glyph with its left edge at column left; paper bits leave
// the background. Nothing at or right of column end is drawn: a glyph cut
// at the box's edge must not spill into the next row's first column.
void draw_glyph(const unsigned char *glyph, uint32_t left, uint32_t y, uint32_t end,
                uint16_t height, uint16_t ink)
{
    const uint32_t gw = glyph[0];
    const uint32_t gh = glyph[1];
    for (uint32_t r = 0; r < gh; ++r) {
        for (uint32_t j = 0; j < gw; ++j) {
            if (!test_bit(static_cast<int>(r * gw + j), glyph + 2, kGlyphBitmapBytes))
                continue;
            uint32_t column = left + j;
            if (column < end)
                plot(column, y + r, ink);
        }
        // Glyphs overhang the box by up to two rows before they stop.
        if (r > height)
            break;
    }
}

void draw_caret(uint32_t column, uint16_t y, uint16_t height, uint16_t ink)
{
    // The bottom end is a 16-bit coordinate like every other: a box of
    // height 0 puts it one row above the top.
    uint16_t bottom = static_cast<uint16_t>(y + height - 1);
    fill_box(column, y < bottom ? y : bottom, column, y < bottom ? bottom : y, ink);
}

// Inverts rows y + 1 to y + font - 2 of the caret_glyph columns that end at
// column last, leaving those at or past column end alone.
void invert_block(uint32_t last, uint32_t end, uint16_t y, uint32_t caret_glyph, uint8_t font)
{
    for (uint32_t m = 0; m < caret_glyph; ++m) {
        uint32_t column = last - m; // last >= caret_glyph > m
        if (column >= end)
            continue;
        for (int row = y + 1; row <= y + font - 2; ++row) {
            if (column > 0xFFFF || row > 0xFFFF)
                continue;
            uint16_t cx = static_cast<uint16_t>(column);
            uint16_t cy = static_cast<uint16_t>(row);
            lcd_draw_point(cx, cy, lcd_get_point_color(cx, cy) ? 0 : 1);
        }
    }
}

} // namespace

void lcd_draw_text(text_attr_t *attr, uint16_t x, uint16_t y, uint16_t width, uint16_t height,
                   const char *text, uint8_t font, uint16_t color)
{
    if (attr == nullptr || text == nullptr)
        return;
    const uint16_t ink = color & 1;
    const uint32_t offset = align_offset(attr->align, text_width(text, font), width);

    const uint32_t end = static_cast<uint32_t>(x) + width; // first column past the box
    uint32_t pen = 0;
    for (const char *s = text; *s != '\0'; ++s) {
        const unsigned char *glyph = font_get_data(static_cast<signed char>(*s), font);
        draw_glyph(glyph, x + offset + pen + 1, y, end, height, ink);
        pen += glyph[0];
    }

    uint32_t caret, caret_glyph;
    measure_caret(attr->cursor, text, font, &caret, &caret_glyph);
    if (attr->cursor != LCD_NO_CURSOR && attr->cursor_on != 0 && x + offset + caret + 1 < end)
        draw_caret(x + offset + caret + 1, y, height, ink);

    // The block covers the glyph before the caret wherever the alignment put
    // the text: columns x + q + 1 - m shifted by offset - 1, which is no
    // shift at all for left-aligned text (offset 1).
    if (attr->highlight != 0 && caret_glyph > 0)
        invert_block(x + offset + caret, end, y, caret_glyph, font);
}

void lcd_show_text(text_attr_t *attr, uint16_t x, uint16_t y, uint16_t width, uint16_t height,
                   const char *text, uint8_t font, uint16_t color)
{
    if (attr == nullptr || text == nullptr)
        return;
    if (attr->cursor != LCD_NO_CURSOR) {
        // The character at the caret counts too (the NUL when the caret is
        // at the end). Positions past the NUL are never read, and the text
        // never starts past its own end: a box too narrow for one glyph
        // leaves the empty text, the caret index then wrapping to 255.
        int len = static_cast<int>(strlen(text));
        int from = attr->cursor < len ? attr->cursor : len;
        int sum = 0;
        for (int i = from; i >= 0; --i) {
            sum += glyph_width(text[i], font);
            if (sum >= width) {
                attr->cursor = static_cast<uint8_t>(attr->cursor - (i + 1));
                text += i + 1 <= len ? i + 1 : len;
                break;
            }
        }
    }
    lcd_draw_text(attr, x, y, width, height, text, font, color);
}

void lcd_set_redraw(uint16_t x1, uint16_t y1, uint16_t x2, uint16_t y2)
{
    if (x2 < x1 || y2 < y1)
        return;
    if (x1 < g_refresh_x1)
        g_refresh_x1 = x1;
    if (y1 < g_refresh_y1)
        g_refresh_y1 = y1;
    if (x2 > g_refresh_x2)
        g_refresh_x2 = x2;
    if (y2 > g_refresh_y2)
        g_refresh_y2 = y2;
}

void lcd_get_redraw(uint16_t *x1, uint16_t *y1, uint16_t *x2, uint16_t *y2)
{
    if (x1 != nullptr)
        *x1 = g_refresh_x1;
    if (y1 != nullptr)
        *y1 = g_refresh_y1;
    if (x2 != nullptr)
        *x2 = g_refresh_x2;
    if (y2 != nullptr)
        *y2 = g_refresh_y2;
    g_refresh_x1 = g_refresh_y1 = g_refresh_x2 = g_refresh_y2 = 0;
}

void lcd_copy_framebuffer(unsigned char *dst, const unsigned char *src)
{
    if (dst != nullptr && src != nullptr)
        memcpy(dst, src, LCD_BUFFER_SIZE);
}

int lcd_devctrl_refresh(void)
{
    return devctrl_refresh_lcd();
}

int lcd_refresh(void)
{
    // The redraw region is not consulted: the whole picture goes every time.
    lcd_copy_framebuffer(g_framebuffer, gp_lcdbuffer);
    return lcd_devctrl_refresh();
}

void lcd_show_char(uint16_t, uint16_t, uint8_t, uint8_t, uint8_t, uint8_t, uint16_t) {}
void lcd_draw_roundrect(uint16_t, uint16_t, uint16_t, uint16_t, uint16_t, uint16_t) {}
void lcd_fill_roundrect(uint16_t, uint16_t, uint16_t, uint16_t, uint16_t, uint16_t) {}

int GetCmdResult(const char *command, char *output, int size)
{
    if (command == nullptr || output == nullptr || size < 1)
        return -1;
    FILE *pipe = popen(command, "r");
    if (pipe == nullptr) {
        rl_log_err("fopen %s failed.", command);
        return -1;
    }
    if (fgets(output, size, pipe) == nullptr) {
        rl_log_err("fgets %s failed.", command);
        pclose(pipe);
        return -1;
    }
    pclose(pipe);
    size_t n = strlen(output);
    if (n > 0 && output[n - 1] == '\n')
        output[n - 1] = '\0';
    return 0;
}

int lcdGetGtype(void)
{
    char path[kShellPathMax];
    if (platform_shell_path(kHwVersionFile, path, sizeof(path)) != 0) {
        rl_log_err("lcdGetGtype: %s too long under the root", kHwVersionFile);
        return 0;
    }
    char command[kShellPathMax + 8];
    snprintf(command, sizeof(command), "cat %s ", path);
    char line[kCmdOutputMax];
    if (GetCmdResult(command, line, sizeof(line)) != 0)
        return 0;
    int f[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    if (sscanf(line, "%d.%d.%d.%d.%d.%d.%d.%d", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6],
               &f[7]) < 0) {
        rl_log_err("lcdGetGtype  failed.");
        return 0;
    }
    // Either flag in the eighth field, or hardware 59 whose fourth field
    // reads 1 in its low nibble.
    return (f[7] & 1) != 0 || (f[0] == 59 && (f[3] & 0xF) == 1) ? 1 : 0;
}

int lcd_init(void)
{
    if (devctrl_open_lcd(&g_framebuffer) < 0) {
        rl_log_err("Unable to mmap framebuffer\n");
        return -1;
    }
    // A frame buffer that was already mapped is not handed out again.
    if (g_framebuffer == nullptr)
        g_framebuffer = fb_buf;
    g_is_Gtype_basicui = static_cast<unsigned char>(lcdGetGtype());
    // The buffer starts as paper: the first screen may draw only part of it,
    // and what is left should not be whatever the heap held.
    if (gp_lcdbuffer == nullptr)
        gp_lcdbuffer = static_cast<unsigned char *>(calloc(1, LCD_BUFFER_SIZE));
    else
        memset(gp_lcdbuffer, 0, LCD_BUFFER_SIZE);
    return gp_lcdbuffer != nullptr ? 0 : -1;
}

void lcd_denit(void)
{
    if (gp_lcdbuffer != nullptr) {
        free(gp_lcdbuffer);
        gp_lcdbuffer = nullptr;
    }
}
