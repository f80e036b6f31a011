#include "basicui/ctrl.h"

#include <string.h>

#include "display/lcd.h"

#define SYMBOLS_A "*.!@$^-_+{}[]():;\"/,'<>~#"
#define SYMBOLS_B "*.:@-/"

const char g_input_text[CTRL_INPUT_MODES][CTRL_INPUT_NAME_SIZE] = {"ABC", "abc", "123", "1Ab"};

const char g_input_char_list[CTRL_INPUT_MODES][CTRL_INPUT_KEYS][CTRL_INPUT_LIST_SIZE] = {
    {" 0", "1", "ABC", "DEF", "GHI", "JKL", "MNO", "PQRS", "TUV", "WXYZ", SYMBOLS_A, "#"},
    {" 0", "1", "abc", "def", "ghi", "jkl", "mno", "pqrs", "tuv", "wxyz", SYMBOLS_A, "#"},
    {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", SYMBOLS_B, "#"},
    {"0 ", "1", "2abcABC", "3defDEF", "4ghiGHI", "5jklJKL", "6mnoMNO", "7pqrsPQRS", "8tuvTUV",
     "9wxyzWXYZ", SYMBOLS_A, "#"},
};

namespace
{

// Slot of a key character in a mode's lists, or -1 for a key without one.
int key_slot(char key)
{
    if (key >= '0' && key <= '9')
        return key - '0';
    if (key == '*')
        return 10;
    if (key == '#')
        return 11;
    return -1;
}

void copy_text(char *dst, const char *src)
{
    if (src == nullptr)
        src = "";
    size_t n = strnlen(src, CTRL_TEXT_MAX);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

// After this a repeated key starts afresh instead of replacing the
// character before the caret, and nothing is drawn as a candidate.
void end_multitap(ctrl_t *ctrl)
{
    ctrl->tick_count = CTRL_TICKS_PENDING;
    ctrl->highlight = 0;
    ctrl->dirty = 1;
}

// The caret is kept within the text even if a caller moved it past the end,
// so that editing never reads beyond the NUL.
size_t clamp_cursor(ctrl_t *ctrl)
{
    size_t len = strnlen(ctrl->text, CTRL_TEXT_MAX);
    if (ctrl->cursor > len)
        ctrl->cursor = static_cast<uint8_t>(len);
    return len;
}

} // namespace

int ctrl_init(ctrl_t *ctrl, uint8_t kind, uint16_t x, uint16_t y, uint16_t width, uint16_t height,
              uint16_t value_width, uint8_t spare, const char *label, const char *text)
{
    if (ctrl == nullptr)
        return -1;
    memset(ctrl, 0, sizeof(*ctrl));
    ctrl->x = x;
    ctrl->y = y;
    ctrl->width = width;
    ctrl->height = height;
    ctrl->value_width = value_width;
    ctrl->kind = kind;
    ctrl->spare = spare;
    ctrl->dirty = 1;
    ctrl->font = CTRL_FONT;
    ctrl->bkcolor = 0;
    ctrl->fgcolor = 1;
    ctrl->input_mode = CTRL_INPUT_MODE_INITIAL;
    copy_text(ctrl->label, label);
    copy_text(ctrl->text, text);
    if (kind == CTRL_KIND_TEXT || kind == CTRL_KIND_PASSWORD) {
        ctrl->cursor_visible = 1;
        ctrl->cursor = static_cast<uint8_t>(strlen(ctrl->text));
    }
    return 0;
}

void ctrl_show(ctrl_t *ctrl, uint8_t force)
{
    if (ctrl == nullptr || ctrl->width == 0 || ctrl->height == 0)
        return;
    if (force == 0 && ctrl->dirty == 0)
        return;

    const unsigned x = ctrl->x, y = ctrl->y, w = ctrl->width, h = ctrl->height;
    lcd_set_redraw(ctrl->x, ctrl->y, static_cast<uint16_t>(x + w - 1),
                   static_cast<uint16_t>(y + h - 1));
    ctrl->dirty = 0;

    uint16_t fg = ctrl->fgcolor & 1;
    uint16_t bg = ctrl->bkcolor & 1;
    if (ctrl->reverse) {
        fg ^= 1;
        bg ^= 1;
    }
    lcd_fill_color(ctrl->x, ctrl->y, ctrl->width, ctrl->height, bg);

    if (ctrl->framed || ctrl->focused) {
        // A control reaching past the screen still shows its closing sides.
        unsigned right = x + w <= LCD_WIDTH ? x + w - 1 : LCD_WIDTH - 1;
        unsigned bottom = y + h <= LCD_HEIGHT ? y + h - 1 : LCD_HEIGHT - 1;
        lcd_draw_rect(ctrl->x, ctrl->y, static_cast<uint16_t>(right), static_cast<uint16_t>(bottom),
                      fg);
    }
    if (ctrl->hidden)
        return;

    const uint8_t font = static_cast<uint8_t>(ctrl->font);
    // A value area wider than the control leaves no room for the label
    // rather than a label box that wraps round to 65535 pixels.
    const uint16_t label_width =
        ctrl->value_width < ctrl->width ? static_cast<uint16_t>(w - ctrl->value_width) : 0;
    text_attr_t label_attr = {0, ctrl->style, ctrl->reverse, ctrl->align, LCD_NO_CURSOR, 0, 0};
    lcd_show_text(&label_attr, ctrl->x, ctrl->y, label_width, ctrl->height, ctrl->label, font, fg);

    if (ctrl->kind != CTRL_KIND_TEXT && ctrl->kind != CTRL_KIND_PASSWORD)
        return;

    char shown[CTRL_TEXT_SIZE];
    copy_text(shown, ctrl->text);
    if (ctrl->kind == CTRL_KIND_PASSWORD) {
        size_t len = strlen(shown);
        memset(shown, '*', len);
        // The character just typed stays readable during its multi-tap window.
        if (ctrl->tick_count < CTRL_TICKS_PENDING && ctrl->cursor >= 1 && ctrl->cursor <= len)
            shown[ctrl->cursor - 1] = ctrl->text[ctrl->cursor - 1];
    }
    text_attr_t value_attr = {0,
                              ctrl->style,
                              ctrl->reverse,
                              ctrl->align,
                              ctrl->cursor,
                              ctrl->cursor_visible,
                              ctrl->highlight};
    lcd_show_text(&value_attr, static_cast<uint16_t>(x + w - ctrl->value_width),
                  static_cast<uint16_t>(y + ctrl->value_y_offset), ctrl->value_width, ctrl->height,
                  shown, font, fg);
}

void ctrl_set_align(ctrl_t *ctrl, uint8_t align)
{
    if (ctrl == nullptr)
        return;
    ctrl->align = align;
    ctrl->dirty = 1;
}

void ctrl_set_reverse(ctrl_t *ctrl, uint8_t reverse)
{
    if (ctrl == nullptr)
        return;
    ctrl->reverse = reverse;
    ctrl->dirty = 1;
}

void ctrl_set_bkcolor(ctrl_t *ctrl, uint16_t color)
{
    if (ctrl == nullptr)
        return;
    ctrl->bkcolor = color;
    ctrl->dirty = 1;
}

void ctrl_set_pos(ctrl_t *ctrl, uint16_t x, uint16_t y, uint16_t width, uint16_t height)
{
    if (ctrl == nullptr)
        return;
    ctrl->x = x;
    ctrl->y = y;
    ctrl->width = width;
    ctrl->height = height;
    ctrl->dirty = 1;
}

void ctrl_set_hide(ctrl_t *ctrl, uint8_t hidden)
{
    if (ctrl == nullptr)
        return;
    ctrl->hidden = hidden;
    ctrl->dirty = 1;
}

void ctrl_set_roundrect(ctrl_t *ctrl, uint8_t corner_a, uint8_t corner_b)
{
    if (ctrl == nullptr)
        return;
    ctrl->corner_a = corner_a;
    ctrl->corner_b = corner_b;
    ctrl->dirty = 1;
}

void ctrl_switch_input(ctrl_t *ctrl)
{
    if (ctrl == nullptr)
        return;
    ctrl->input_mode = static_cast<uint8_t>((ctrl->input_mode + 1) % CTRL_INPUT_MODES);
}

const char *ctrl_get_input_text(uint8_t mode)
{
    if (mode >= CTRL_INPUT_MODES)
        mode = CTRL_INPUT_MODE_INITIAL;
    return g_input_text[mode];
}

int ctrl_add_char(ctrl_t *ctrl, char key)
{
    if (ctrl == nullptr || (ctrl->kind != CTRL_KIND_TEXT && ctrl->kind != CTRL_KIND_PASSWORD))
        return -1;
    int slot = key_slot(key);
    if (slot < 0)
        return -1;
    uint8_t mode = ctrl->input_mode < CTRL_INPUT_MODES ? ctrl->input_mode : CTRL_INPUT_MODE_INITIAL;
    const char *list = g_input_char_list[mode][slot];
    const size_t len = strlen(list);
    const uint8_t ukey = static_cast<uint8_t>(key);

    bool cycled = false;
    if (ukey == ctrl->last_key && ctrl->tick_count < CTRL_TICKS_PENDING && len >= 2 &&
        del_raw_char(ctrl) == 0) {
        ctrl->tap_index = static_cast<uint8_t>((ctrl->tap_index + 1) % len);
        add_raw_char(ctrl, list[ctrl->tap_index]);
        cycled = true;
    }
    if (!cycled) {
        if (add_raw_char(ctrl, list[0]) != 0) {
            // Full text: nothing was typed, so there is no candidate a quick
            // second press could replace; the character before the caret
            // belongs to an earlier entry and stays as it is.
            end_multitap(ctrl);
            return 0;
        }
        ctrl->tap_index = 0;
    }
    ctrl->highlight = len >= 2 ? 1 : 0;
    ctrl->last_key = ukey;
    ctrl->tick_count = 0;
    return 0;
}

int ctrl_del_char(ctrl_t *ctrl)
{
    return del_raw_char(ctrl);
}

void ctrl_move_left(ctrl_t *ctrl)
{
    if (ctrl == nullptr)
        return;
    clamp_cursor(ctrl);
    if (ctrl->cursor > 0)
        --ctrl->cursor;
    end_multitap(ctrl);
}

void ctrl_move_right(ctrl_t *ctrl)
{
    if (ctrl == nullptr)
        return;
    if (ctrl->cursor < clamp_cursor(ctrl))
        ++ctrl->cursor;
    end_multitap(ctrl);
}

void ctrl_show_cursor(ctrl_t *ctrl, uint8_t visible)
{
    if (ctrl == nullptr)
        return;
    ctrl->cursor_visible = visible;
    if (ctrl->tick_count < CTRL_TICKS_PENDING)
        ++ctrl->tick_count;
    else
        ctrl->highlight = 0;
    ctrl->dirty = 1;
}

int add_raw_char(ctrl_t *ctrl, char c)
{
    if (ctrl == nullptr)
        return -1;
    size_t len = clamp_cursor(ctrl);
    if (len >= CTRL_TEXT_MAX)
        return -1;
    char copy[CTRL_TEXT_SIZE];
    size_t at = ctrl->cursor;
    memcpy(copy, ctrl->text, at);
    copy[at] = c;
    memcpy(copy + at + 1, ctrl->text + at, len - at);
    copy[len + 1] = '\0';
    memcpy(ctrl->text, copy, sizeof(copy));
    ++ctrl->cursor;
    ctrl->dirty = 1;
    return 0;
}

int del_raw_char(ctrl_t *ctrl)
{
    if (ctrl == nullptr)
        return -1;
    size_t len = clamp_cursor(ctrl);
    if (ctrl->cursor == 0)
        return -1;
    char copy[CTRL_TEXT_SIZE];
    size_t at = ctrl->cursor - 1u;
    memcpy(copy, ctrl->text, at);
    memcpy(copy + at, ctrl->text + at + 1, len - at - 1);
    copy[len - 1] = '\0';
    memcpy(ctrl->text, copy, len);
    ctrl->text[len - 1] = '\0';
    --ctrl->cursor;
    end_multitap(ctrl);
    return 0;
}
