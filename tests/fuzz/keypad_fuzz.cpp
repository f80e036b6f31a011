// libFuzzer harness: an arbitrary keypad event stream (16-byte input events)
// driving the text entry screen: a press goes to the dialog as the key loop
// hands it over, a release stands for the tick that ends a multi-tap. No
// text may hold more than 63 characters, and the caret stays inside it.
#include "basicui/dlg.h"
#include "basicui/dlg_displayinfo.h"
#include "basicui/key.h"
#include "display/lcd.h"
#include "log/rl_log.h"

#include "fuzz_root.h"

#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

namespace
{

unsigned char g_draw[LCD_BUFFER_SIZE];
unsigned char g_screen[LCD_BUFFER_SIZE];
dlg_t *g_dlg = nullptr;
displayinfo_t g_info;

void line(int i, uint8_t kind, int y, const char *label, const char *value)
{
    displayline_t &l = g_info.lines[i];
    l.x = 0;
    l.y = y;
    l.width = 132;
    l.height = 13;
    l.value_width = 80;
    l.kind = kind;
    l.font = 12;
    strncpy(l.label, label, sizeof(l.label) - 1);
    strncpy(l.value, value, sizeof(l.value) - 1);
}

// The address screen's shape: a label, two entry fields (one full), a
// password field, and the soft key labels.
void open_screen()
{
    memset(&g_info, 0, sizeof(g_info));
    line(0, DISPLAYLINE_LABEL, 0, "Server", "");
    line(1, DISPLAYLINE_TEXT, 13, "URL", "http://10.0.0.1/");
    line(2, DISPLAYLINE_TEXT, 26, "User",
         "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789#");
    line(3, DISPLAYLINE_PASSWORD, 39, "Pass", "");
    line(DISPLAYINFO_MODE_LABEL_CTRL, DISPLAYLINE_LABEL, 52, "abc", "");
    g_info.focus = 1;
    g_info.first_focusable = 1;
    g_info.last_focusable = 3;
    open_dlg(g_dlg, &g_info);
}

void check_texts()
{
    for (const ctrl_t &c : g_dlg->controls) {
        const char *end = static_cast<const char *>(memchr(c.text, '\0', sizeof(c.text)));
        if (end == nullptr || end - c.text > CTRL_TEXT_MAX || c.cursor > end - c.text)
            abort(); // text over 63 characters, or the caret past its end
        if (memchr(c.label, '\0', sizeof(c.label)) == nullptr)
            abort();
    }
    for (const displayline_t &l : g_info.lines)
        if (memchr(l.value, '\0', sizeof(l.value)) == nullptr)
            abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    rl_log_reset_level(-1);
    // No refresh file: the text entry drops the refresh's answer, and a
    // failed open is the cheapest of the thousands of pictures per second.
    fuzzroot::make_root("keypad");
    gp_lcdbuffer = g_draw;
    g_framebuffer = g_screen;
    g_dlg = dlg_init();
    if (g_dlg == nullptr)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fd = memfd_create("keypad", MFD_CLOEXEC);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size) ||
        lseek(fd, 0, SEEK_SET) != 0)
        abort();
    open_screen();
    key_event_t event;
    while (dev_read_key(fd, &event) == 0) {
        if (event.value == KEY_VALUE_PRESS) {
            int result = g_dlg->keydown(g_dlg, static_cast<uint8_t>(event.code));
            check_texts();
            if (result == DISPLAYINFO_CONFIRMED || result == DISPLAYINFO_CANCELLED)
                open_screen();
        } else if (event.value == 0) {
            g_dlg->process_1s(g_dlg);
        }
        check_texts();
    }
    close(fd);
    return 0;
}
