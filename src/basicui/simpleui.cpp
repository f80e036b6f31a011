#include "basicui/simpleui.h"

#include <string.h>

#include <mutex>

#include "basicui/ctrl.h"
#include "basicui/key.h"
#include "display/lcd.h"

namespace
{

// The countdown thread and the main thread both show screens; one screen at
// a time keeps them from building controls in the same dialog record and
// drawing into the same LCD buffer at once.
std::mutex g_screen_lock;
// The bar's fill while the progress screen is on the LCD, else -1. A redraw
// is a whole LCD refresh, and the burn asks for one at every block, mostly
// with a fill the screen already shows. A fill counts as shown only once a
// refresh has put it on the panel: after a failed one the panel keeps an
// older picture until something draws again.
int g_shown_fill = -1;

// Every screen but the progress screen shows through here: the dialog
// runner's result.
[[nodiscard]] int open_screen(displayinfo_t *info, int wait)
{
    g_shown_fill = -1;
    return basicui_open_display_info(info, wait);
}

const uint8_t kFont = 12;

// Fixed-size request texts need not be terminated: at most 63 characters.
void copy_text(char (&dst)[DISPLAYINFO_TEXT_SIZE], const char *src)
{
    size_t n = strnlen(src, DISPLAYINFO_TEXT_SIZE - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

displayline_t &item(displayinfo_t &info, int index, int x, int y, int width, int height)
{
    displayline_t &line = info.lines[index];
    line.x = x;
    line.y = y;
    line.width = width;
    line.height = height;
    return line;
}

void softkey(displayinfo_t &info, int k, const char *label)
{
    displayline_t &key = item(info, SIMPLEUI_SOFTKEY_ITEM + k, SIMPLEUI_SOFTKEY_STEP * k,
                              SIMPLEUI_SOFTKEY_Y, SIMPLEUI_SOFTKEY_WIDTH, SIMPLEUI_SOFTKEY_HEIGHT);
    key.align = LCD_ALIGN_CENTER;
    key.reverse = 1;
    copy_text(key.label, label);
}

void title(displayinfo_t &info, const char *text)
{
    displayline_t &line = item(info, 0, 0, 0, LCD_WIDTH, 12);
    line.align = LCD_ALIGN_CENTER;
    line.reverse = 1;
    copy_text(line.label, text);
}

} // namespace

int basicui_progress_fill(int percent)
{
    if (percent < 0)
        return 0;
    if (percent > 100)
        return SIMPLEUI_PROGRESS_FULL;
    return percent * SIMPLEUI_PROGRESS_FULL / 100;
}

int basicui_init(void)
{
    std::lock_guard<std::mutex> hold(g_screen_lock);
    g_shown_fill = -1;
    // The record is never freed; a second init keeps the first one.
    if (!gp_dlgdisplay)
        gp_dlgdisplay = dlg_init();
    return lcd_init();
}

void basicui_deinit(void)
{
    std::lock_guard<std::mutex> hold(g_screen_lock);
    g_shown_fill = -1;
    lcd_denit();
}

void basicui_displayline_init(displayinfo_t *info)
{
    if (!info)
        return;
    memset(info, 0, sizeof(*info));
    for (displayline_t &line : info->lines)
        line.font = kFont;
    info->focus = DISPLAYINFO_NO_FOCUS;
}

int basicui_open_upgrading(int percent)
{
    std::lock_guard<std::mutex> hold(g_screen_lock);
    const int fill = basicui_progress_fill(percent);
    if (fill == g_shown_fill)
        return 0;
    displayinfo_t info;
    basicui_displayline_init(&info);
    info.background = reinterpret_cast<uintptr_t>(g_image_upgrading);
    item(info, 1, 15, 48, 102, 12).reverse = 1; // ink edge
    item(info, 2, 16, 49, 100, 10).reverse = 0; // paper trough
    // One paper pixel stays between a full bar and the edge on each side.
    item(info, 3, 17, 50, fill, 8).reverse = 1;
    int shown = basicui_open_display_info(&info, 0);
    g_shown_fill = shown == 0 ? fill : -1;
    return shown;
}

int basicui_open_update_info(const update_info_t *request)
{
    if (!request)
        return -1;
    std::lock_guard<std::mutex> hold(g_screen_lock);
    displayinfo_t info;
    basicui_displayline_init(&info);
    title(info, request->title);
    const char *lines[] = {request->line1, request->line2, request->line3, request->line4};
    for (int i = 0; i < 4; ++i)
        copy_text(item(info, 1 + i, 0, 12 * (i + 1), LCD_WIDTH, 12).label, lines[i]);
    const char *keys[SIMPLEUI_SOFTKEYS] = {request->softkey1, request->softkey2,
                                           request->softkey3, request->softkey4};
    for (int k = 0; k < SIMPLEUI_SOFTKEYS; ++k)
        if (keys[k][0] != '\0')
            softkey(info, k, keys[k]);
    // A failed refresh is logged; nothing remembers this screen, so the
    // next one draws whole anyway.
    (void)open_screen(&info, 0);
    return 0;
}

void basicui_display_updating_line(const char *text)
{
    if (!text)
        return;
    std::lock_guard<std::mutex> hold(g_screen_lock);
    displayinfo_t info;
    basicui_displayline_init(&info);
    displayline_t &line = item(info, 0, 0, 26, LCD_WIDTH, 12);
    line.align = LCD_ALIGN_CENTER;
    copy_text(line.label, text);
    (void)open_screen(&info, 0); // logged; nothing remembers this screen
}

int basicui_open_user_setting(user_setting_t *setting)
{
    if (!setting)
        return -1;
    // Held while waiting for keys too: a screen from another thread would
    // rebuild the controls the key loop is editing.
    std::lock_guard<std::mutex> hold(g_screen_lock);
    displayinfo_t info;
    basicui_displayline_init(&info);
    title(info, setting->title);
    const struct {
        const char *label;
        uint8_t kind;
    } fields[] = {{setting->user_label, DISPLAYLINE_TEXT},
                  {setting->password_label, DISPLAYLINE_PASSWORD}};
    for (int i = 0; i < 2; ++i) {
        displayline_t &line = item(info, 1 + i, 0, 13 * (i + 1), LCD_WIDTH, 12);
        line.value_width = 90;
        line.kind = fields[i].kind;
        copy_text(line.label, fields[i].label);
    }
    softkey(info, 0, "Cancel");
    softkey(info, 1, ctrl_get_input_text(CTRL_INPUT_MODE_INITIAL));
    softkey(info, 2, "Delete");
    softkey(info, 3, "OK");
    info.focus = 1;
    info.first_focusable = 1;
    info.last_focusable = 2;

    setting->result = open_screen(&info, 1);
    // Only a confirm writes the entered texts back; after a cancel the
    // values are the empty ones set up above.
    copy_text(setting->user, info.lines[1].value);
    copy_text(setting->password, info.lines[2].value);
    return setting->result;
}

int basicui_get_keypressed(void)
{
    return key_get_keypressed();
}
