// The screens of the upgrade UI: progress, information, notice and user
// setting. Each one is a display-info description shown on the one dialog
// record of the program, gp_dlgdisplay; opening a screen redraws the whole
// LCD.
//
// Screen functions may be called from two threads at once (the main thread
// and the auto-provision countdown); each holds one process-wide lock for its
// whole run, so the dialog record and the LCD buffer are never drawn into by
// both at the same time. The user-setting screen keeps the lock while it
// waits for keys.
#ifndef BASICUI_SIMPLEUI_H
#define BASICUI_SIMPLEUI_H

#include <stdint.h>

#include "basicui/dlg_displayinfo.h" // displayinfo_t, gp_dlgdisplay, basicui_open_display_info

#define SIMPLEUI_TEXT_SIZE 64

// Request of the information screen. An empty line is drawn blank; an empty
// soft-key label is not drawn.
struct update_info_t {
    char title[SIMPLEUI_TEXT_SIZE];
    char line1[SIMPLEUI_TEXT_SIZE];
    char line2[SIMPLEUI_TEXT_SIZE];
    char line3[SIMPLEUI_TEXT_SIZE];
    char line4[SIMPLEUI_TEXT_SIZE];
    char softkey1[SIMPLEUI_TEXT_SIZE];
    char softkey2[SIMPLEUI_TEXT_SIZE];
    char softkey3[SIMPLEUI_TEXT_SIZE];
    char softkey4[SIMPLEUI_TEXT_SIZE];
};

// Request and answer of the user-setting screen.
struct user_setting_t {
    char title[SIMPLEUI_TEXT_SIZE];
    char user_label[SIMPLEUI_TEXT_SIZE];
    char password_label[SIMPLEUI_TEXT_SIZE];
    char user[SIMPLEUI_TEXT_SIZE];     // out: entered user name
    char password[SIMPLEUI_TEXT_SIZE]; // out: entered password
    int result;                        // out: 1 confirmed, 2 cancelled
};

// Result codes of the user-setting screen (and of the dialog key loop).
#define SIMPLEUI_CONFIRMED 1
#define SIMPLEUI_CANCELLED 2

// Soft-key boxes on the bottom line, above keypad codes 32 to 35: 32 x 12
// pixels at x = 33 * k (k = 0..3), y = 52; items 8 to 11 of a screen.
#define SIMPLEUI_SOFTKEYS 4
#define SIMPLEUI_SOFTKEY_ITEM 8
#define SIMPLEUI_SOFTKEY_STEP 33
#define SIMPLEUI_SOFTKEY_Y 52
#define SIMPLEUI_SOFTKEY_WIDTH 32
#define SIMPLEUI_SOFTKEY_HEIGHT 12

// Progress bar: fill width in pixels for a percentage (0..98). A negative
// percentage gives 0: the bar is drawn empty rather than wrapping.
#define SIMPLEUI_PROGRESS_FULL 98
int basicui_progress_fill(int percent);

// Background of the progress screen, LCD layout (bit y * 132 + x, least
// significant bit first, 1 = ink). Generated from image_upgrading.txt.
#define IMAGE_UPGRADING_SIZE 1056
extern const unsigned char g_image_upgrading[IMAGE_UPGRADING_SIZE];

// Creates gp_dlgdisplay (dlg_displayinfo.h; left null when memory runs out,
// and then every screen draws nothing), then initialises the LCD: the LCD's result.
[[nodiscard]] int basicui_init(void);
// Releases the LCD; the dialog record stays.
void basicui_deinit(void);

// Clears the description, sets every item's font to 12 and the focus to 255.
// A null pointer is ignored.
void basicui_displayline_init(displayinfo_t *info);

// Progress screen, without waiting: 0 when the LCD shows the fill, also
// when it already did and nothing was drawn; -1 when the refresh failed
// (logged), and the next call draws again whatever its fill.
[[nodiscard]] int basicui_open_upgrading(int percent);
// Information screen; 0 without waiting, also when the LCD could not be
// refreshed (logged). A null request is ignored (-1).
[[nodiscard]] int basicui_open_update_info(const update_info_t *info);
// Notice screen: the text centred on the middle line. Null leaves the
// previous screen.
void basicui_display_updating_line(const char *text);
// User-setting screen: waits for confirm or cancel and fills user, password
// and result. Returns the result, or -1 for a null request.
[[nodiscard]] int basicui_open_user_setting(user_setting_t *setting);
// The last key press (key_get_keypressed), 0 when none.
int basicui_get_keypressed(void);

#endif
