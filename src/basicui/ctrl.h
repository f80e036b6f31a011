// Dialog controls: a static label, a one-line text entry field or a one-line
// password entry field, drawn into the LCD buffer, with multi-tap text entry
// from a twelve-key telephone keypad.
//
// Controls never see keypad codes: the dialog turns a code into the key's
// character ('0'-'9', '*', '#') before calling ctrl_add_char. The multi-tap
// window is counted in ticks (ctrl_show_cursor), not in time: a repeated key
// cycles through its list while fewer than two ticks have passed since the
// previous press.
//
// The records belong to the dialog; nothing here allocates or locks.
#ifndef BASICUI_CTRL_H
#define BASICUI_CTRL_H

#include <stdint.h>

#define CTRL_TEXT_SIZE 64 // label and text buffers, NUL included
#define CTRL_TEXT_MAX 63  // characters a label or text may hold

#define CTRL_KIND_LABEL 0
#define CTRL_KIND_TEXT 1
#define CTRL_KIND_PASSWORD 2

#define CTRL_FONT 12 // font height every control draws with

#define CTRL_INPUT_MODES 4      // "ABC", "abc", "123", "1Ab"
#define CTRL_INPUT_KEYS 12      // '0'-'9', '*', '#'
#define CTRL_INPUT_LIST_SIZE 30 // one multi-tap list, NUL included
#define CTRL_INPUT_NAME_SIZE 5  // one mode name, NUL-padded
#define CTRL_INPUT_MODE_INITIAL 1

#define CTRL_TICKS_PENDING 2 // tick count at which a multi-tap is over

struct ctrl_t {
    uint16_t x;
    uint16_t y;
    uint16_t width;       // 0: never drawn
    uint16_t height;      // 0: never drawn
    uint16_t value_width; // value area at the right end; the label gets the rest
    uint8_t kind;         // CTRL_KIND_*
    uint8_t spare;        // stored by ctrl_init, read by nothing
    uint8_t dirty;        // redraw at the next ctrl_show
    uint8_t hidden;       // background and frame only
    uint8_t style;        // handed to the text attributes
    uint8_t focused;      // frame drawn around it
    uint8_t corner_a;     // stored by ctrl_set_roundrect, not drawn
    uint8_t corner_b;
    uint16_t font;          // CTRL_FONT
    uint16_t bkcolor;       // bit 0: 0 paper, 1 ink
    uint16_t fgcolor;       // bit 0
    uint8_t value_y_offset; // added to y for the value text
    uint8_t align;          // LCD_ALIGN_*
    uint8_t reverse;        // swap foreground and background when drawing
    uint8_t framed;         // frame drawn even without focus
    uint8_t cursor;         // caret stands before text[cursor]
    uint8_t cursor_visible; // toggled by the blink tick
    uint8_t input_mode;     // 0 to 3
    uint8_t tick_count;     // ticks since the last multi-tap key, up to 2
    uint8_t last_key;       // character of the last multi-tap key
    uint8_t tap_index;      // current character in the last key's list
    uint8_t highlight;      // character before the caret drawn inverted
    char label[CTRL_TEXT_SIZE];
    char text[CTRL_TEXT_SIZE];
};

// Mode names in mode order: "ABC", "abc", "123", "1Ab".
extern const char g_input_text[CTRL_INPUT_MODES][CTRL_INPUT_NAME_SIZE];
// Multi-tap lists by mode, then by key in the order '0'-'9', '*', '#'.
extern const char g_input_char_list[CTRL_INPUT_MODES][CTRL_INPUT_KEYS][CTRL_INPUT_LIST_SIZE];

// Resets every field, then sets geometry, kind, spare, label and text (null
// strings give empty ones, longer ones are cut to 63 characters). Entry
// fields get a visible caret at the end of the text. 0, or -1 for a null
// record.
int ctrl_init(ctrl_t *ctrl, uint8_t kind, uint16_t x, uint16_t y, uint16_t width, uint16_t height,
              uint16_t value_width, uint8_t spare, const char *label, const char *text);
// Draws the control when it is dirty or force is non-zero.
void ctrl_show(ctrl_t *ctrl, uint8_t force);

// Setters: each marks the control dirty; a null record is ignored.
void ctrl_set_align(ctrl_t *ctrl, uint8_t align);
void ctrl_set_reverse(ctrl_t *ctrl, uint8_t reverse);
void ctrl_set_bkcolor(ctrl_t *ctrl, uint16_t color);
void ctrl_set_pos(ctrl_t *ctrl, uint16_t x, uint16_t y, uint16_t width, uint16_t height);
void ctrl_set_hide(ctrl_t *ctrl, uint8_t hidden);
void ctrl_set_roundrect(ctrl_t *ctrl, uint8_t corner_a, uint8_t corner_b);

// Next input mode (modulo 4); the mode name lives in the dialog, so the
// control is not marked dirty.
void ctrl_switch_input(ctrl_t *ctrl);
// Name of a mode; 4 or more counts as 1.
const char *ctrl_get_input_text(uint8_t mode);

// Multi-tap entry of a key character. -1 for a null record, a label, or a
// character other than '0'-'9', '*', '#'; otherwise 0.
int ctrl_add_char(ctrl_t *ctrl, char key);
// Deletes the character before the caret: del_raw_char.
int ctrl_del_char(ctrl_t *ctrl);
// Caret moves; both end a pending multi-tap even when the caret cannot move.
void ctrl_move_left(ctrl_t *ctrl);
void ctrl_move_right(ctrl_t *ctrl);
// One blink tick: caret visibility as given, multi-tap window counted on.
void ctrl_show_cursor(ctrl_t *ctrl, uint8_t visible);

// Inserts at the caret and moves it right; -1 when the text is full.
int add_raw_char(ctrl_t *ctrl, char c);
// Removes the character before the caret and ends a pending multi-tap; -1
// when the caret is at 0.
int del_raw_char(ctrl_t *ctrl);

#endif
