// The display-info dialog: twelve controls laid out from a screen
// description, keys handled by the focused control, and the key loop that
// runs a screen until the user confirms or cancels.
#ifndef BASICUI_DLG_DISPLAYINFO_H
#define BASICUI_DLG_DISPLAYINFO_H

#include <stdint.h>

#include "basicui/dlg.h"

#define DISPLAYINFO_LINES 12
#define DISPLAYINFO_TEXT_SIZE 64
#define DISPLAYINFO_NO_FOCUS 255

// Item kinds (same values as the control kinds).
#define DISPLAYLINE_LABEL 0
#define DISPLAYLINE_TEXT 1
#define DISPLAYLINE_PASSWORD 2

// One item of a screen; item i becomes control i.
struct displayline_t {
    int32_t x;           // geometry: only the low 16 bits are used;
    int32_t y;           // width or height 0 = not drawn
    int32_t width;
    int32_t height;
    int32_t value_width; // width of the value area at the right
    uint8_t align;       // 0 left, 1 centred, 2 right
    uint8_t font;        // 12; not read (controls always use 12)
    uint8_t framed;      // 1 = always framed
    uint8_t reverse;     // 1 = ink background, paper text
    uint8_t kind;        // DISPLAYLINE_LABEL / _TEXT / _PASSWORD
    char label[DISPLAYINFO_TEXT_SIZE];
    char value[DISPLAYINFO_TEXT_SIZE]; // initial text; the entered text after a confirm
};

// A screen description, owned by the caller. The dialog keeps its address
// and writes the entered texts back into it on confirm; the key loop of
// basicui_open_display_info lets go of it when it returns.
struct displayinfo_t {
    uint8_t focus;           // item focused at the start; 255 = no focus, no keys
    uint8_t first_focusable; // lowest item index focus may move to
    uint8_t last_focusable;  // highest item index focus may move to
    uintptr_t background;    // 0 paper, 1 ink, else a full-screen image address
    displayline_t lines[DISPLAYINFO_LINES];
};

// Results of displayinfo_keydown and of the key loop.
#define DISPLAYINFO_HANDLED 0
#define DISPLAYINFO_CONFIRMED 1
#define DISPLAYINFO_CANCELLED 2

// The control whose label shows the input mode's name (soft key 2).
#define DISPLAYINFO_MODE_LABEL_CTRL 9

// Polls of the key loop between two ticks, and the pause before each poll.
#define DISPLAYINFO_POLLS_PER_TICK 10
#define DISPLAYINFO_POLL_MS 50

// Callbacks installed by dlg_init.
// Builds the controls from a displayinfo_t; nothing when either is null.
void displayinfo_init(dlg_t *dlg, void *description);
// dlg_show and its result: 0 shown, -1 the LCD refresh failed or the
// dialog is null.
[[nodiscard]] int displayinfo_show(dlg_t *dlg, uint8_t force);
// DISPLAYINFO_CONFIRMED (texts copied into the description),
// DISPLAYINFO_CANCELLED, DISPLAYINFO_HANDLED (dialog redrawn), or -1 for a
// null dialog or one without focus.
[[nodiscard]] int displayinfo_keydown(dlg_t *dlg, uint8_t code);
// Does nothing.
void displayinfo_keyup(dlg_t *dlg, uint8_t code);
// Blinks the focused control's caret and advances its multi-tap count.
void displayinfo_process_1s(dlg_t *dlg);

// The dialog record of every screen; null until basicui_init creates it
// (or when its creation failed). Defined in this unit so that the key loop
// does not depend on the screens unit.
extern dlg_t *gp_dlgdisplay;

// Opens gp_dlgdisplay on the description. With wait 0 returns at once: 0
// when the LCD took the picture, -1 when its refresh failed (logged) and
// the panel still shows an older one. Otherwise runs the key loop until a
// confirm (1) or cancel (2). Without a dialog record nothing can be drawn
// and nothing confirmed: 0 with wait 0, else 2, at once.
[[nodiscard]] int basicui_open_display_info(displayinfo_t *description, int wait);

#endif
