// Dialogs: a full-screen page of the LCD made of a background and twelve
// controls, one of which may hold the focus and receive keys. What a dialog
// does on keys and ticks lives in the five callbacks of its record; the one
// dialog type of this program is the display-info dialog
// (dlg_displayinfo.h), whose callbacks dlg_init installs.
//
// The record is created once and reused by every screen: open_dlg rebuilds
// its controls through the init callback and redraws it completely.
#ifndef BASICUI_DLG_H
#define BASICUI_DLG_H

#include <stdint.h>

#include "basicui/ctrl.h"

#define DLG_MAX_CTRL 12
#define DLG_NO_FOCUS 255
#define DLG_WIDTH 132
#define DLG_HEIGHT 64

// Background values; anything else is the address of a width x height
// one-bit image in the lcd_draw_icon layout, owned by the caller.
#define DLG_BACKGROUND_PAPER ((uintptr_t)0)
#define DLG_BACKGROUND_INK ((uintptr_t)1)

struct dlg_t;
struct displayinfo_t;

// The dialog's callbacks, described at their members of dlg_t.
typedef void (*dlg_init_cb)(dlg_t *dlg, void *param);
// 0 when the LCD took the picture, -1 when its refresh failed.
typedef int (*dlg_show_cb)(dlg_t *dlg, uint8_t force);
// 1 confirmed, 2 cancelled, 0 handled, -1 nothing to handle it.
typedef int (*dlg_keydown_cb)(dlg_t *dlg, uint8_t code);
typedef void (*dlg_keyup_cb)(dlg_t *dlg, uint8_t code);
typedef void (*dlg_process_1s_cb)(dlg_t *dlg);

// One dialog: its callbacks, its place on the screen, its focus and its
// controls.
struct dlg_t {
    dlg_init_cb init;             // builds the controls; called by open_dlg
    dlg_show_cb show;             // draws; force 1 on open, 0 after keys and ticks
    dlg_keydown_cb keydown;       // a key press
    dlg_keyup_cb keyup;           // a key release
    dlg_process_1s_cb process_1s; // periodic tick: caret blink, multi-tap timing
    uint16_t x;                   // 0
    uint16_t y;                   // 0
    uint16_t width;               // 132
    uint16_t height;              // 64
    uint8_t id;                   // logged on open; 0
    uint8_t redraw_all;           // next dlg_show is full even unforced
    uint8_t ctrl_count;           // controls in use
    uint8_t focus;                // focused control; DLG_MAX_CTRL or more: none
    uint8_t first_focusable;      // lowest index focus may reach
    uint8_t last_focusable;       // highest index focus may reach
    uintptr_t background;         // DLG_BACKGROUND_PAPER / _INK / image address
    ctrl_t controls[DLG_MAX_CTRL]; // drawn in index order
    displayinfo_t *description;   // set by displayinfo_init
};

// A zeroed record with the display-info callbacks, geometry 0, 0, 132 x 64,
// id 0 and redraw_all set; null when memory runs out. Never freed.
dlg_t *dlg_init(void);
// Logs the opening, builds the controls (init callback) and draws them
// forced (show callback): the show callback's result, 0 without one, -1
// for a null dialog.
int open_dlg(dlg_t *dlg, void *param);
// Draws the dialog: everything when forced or redraw_all is set, otherwise
// only the dirty controls; then pushes the buffer to the screen in both
// cases. lcd_refresh's result: 0 shown, -1 the refresh failed (logged) and
// the panel still shows an older picture. -1 for a null dialog.
[[nodiscard]] int dlg_show(dlg_t *dlg, uint8_t force);
// Focus moves with wrapping between first_focusable and last_focusable. A
// dialog whose focus lies outside that range (no focus) is left alone.
// Nothing is drawn; the caller redraws.
void dlg_next_item(dlg_t *dlg);
void dlg_prev_item(dlg_t *dlg);

#endif
