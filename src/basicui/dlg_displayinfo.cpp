#include "basicui/dlg_displayinfo.h"

#include <string.h>

#include "basicui/ctrl.h"
#include "basicui/key.h"
#include "log/rl_log.h"
#include "platform/platform.h"

dlg_t *gp_dlgdisplay = nullptr;

namespace
{

// One count for the whole program: a screen opened shortly after another
// may see its first tick after fewer than ten polls, which only shifts the
// blink phase.
int g_poll_count = 0;

// The description belongs to the caller; a text that fills its buffer
// without a NUL must not make the control read past it.
void copy_text(char (&dst)[DISPLAYINFO_TEXT_SIZE], const char (&src)[DISPLAYINFO_TEXT_SIZE])
{
    memcpy(dst, src, DISPLAYINFO_TEXT_SIZE - 1);
    dst[DISPLAYINFO_TEXT_SIZE - 1] = '\0';
}

char key_char(uint8_t code)
{
    if (code >= KPAD_1 && code <= KPAD_9)
        return static_cast<char>('0' + code);
    if (code == KPAD_0)
        return '0';
    return code == KPAD_STAR ? '*' : '#';
}

// The field that gets the focus goes on in the input mode the user chose
// in the one that had it.
void move_focus(dlg_t *dlg, void (*move)(dlg_t *))
{
    uint8_t mode = dlg->controls[dlg->focus].input_mode;
    move(dlg);
    if (dlg->focus < DLG_MAX_CTRL)
        dlg->controls[dlg->focus].input_mode = mode;
}

void confirm(dlg_t *dlg)
{
    displayinfo_t *info = dlg->description;
    if (!info)
        return;
    for (int i = 0; i < DISPLAYINFO_LINES; ++i)
        copy_text(info->lines[i].value, dlg->controls[i].text);
}

void switch_input(dlg_t *dlg, ctrl_t *ctrl)
{
    ctrl_switch_input(ctrl);
    ctrl_t *mode_label = &dlg->controls[DISPLAYINFO_MODE_LABEL_CTRL];
    strncpy(mode_label->label, ctrl_get_input_text(ctrl->input_mode), CTRL_TEXT_SIZE - 1);
    mode_label->label[CTRL_TEXT_SIZE - 1] = '\0';
    mode_label->dirty = 1;
}

} // namespace

void displayinfo_init(dlg_t *dlg, void *description)
{
    if (!dlg || !description)
        return;
    displayinfo_t *info = static_cast<displayinfo_t *>(description);
    dlg->description = info;
    dlg->background = info->background;
    for (int i = 0; i < DISPLAYINFO_LINES; ++i) {
        const displayline_t &line = info->lines[i];
        ctrl_t *ctrl = &dlg->controls[i];
        char label[DISPLAYINFO_TEXT_SIZE];
        char value[DISPLAYINFO_TEXT_SIZE];
        copy_text(label, line.label);
        copy_text(value, line.value);
        // Built as a label and turned into an entry afterwards: entry fields
        // start with the caret at 0 and hidden, whatever their text.
        ctrl_init(ctrl, CTRL_KIND_LABEL, static_cast<uint16_t>(line.x), static_cast<uint16_t>(line.y),
                  static_cast<uint16_t>(line.width), static_cast<uint16_t>(line.height),
                  static_cast<uint16_t>(line.value_width), 0, label, value);
        ctrl_set_align(ctrl, line.align);
        ctrl_set_reverse(ctrl, line.reverse);
        ctrl->framed = line.framed;
        ctrl->kind = line.kind;
    }
    if (info->focus < DLG_MAX_CTRL)
        dlg->controls[info->focus].focused = 1;
    dlg->focus = info->focus;
    dlg->first_focusable = info->first_focusable;
    dlg->last_focusable = info->last_focusable;
    dlg->ctrl_count = DLG_MAX_CTRL;
}

int displayinfo_show(dlg_t *dlg, uint8_t force)
{
    return dlg ? dlg_show(dlg, force) : -1;
}

int displayinfo_keydown(dlg_t *dlg, uint8_t code)
{
    if (!dlg || dlg->focus >= DLG_MAX_CTRL)
        return -1;
    ctrl_t *ctrl = &dlg->controls[dlg->focus];
    switch (code) {
    case KPAD_1: case KPAD_2: case KPAD_3: case KPAD_4: case KPAD_5: case KPAD_6:
    case KPAD_7: case KPAD_8: case KPAD_9: case KPAD_0: case KPAD_STAR: case KPAD_HASH:
        ctrl_add_char(ctrl, key_char(code));
        break;
    case KPAD_PREV:
        move_focus(dlg, dlg_prev_item);
        break;
    case KPAD_NEXT:
        move_focus(dlg, dlg_next_item);
        break;
    case KPAD_LEFT:
        ctrl_move_left(ctrl);
        break;
    case KPAD_RIGHT:
        ctrl_move_right(ctrl);
        break;
    case KPAD_OK:
    case KPAD_SOFT4:
        confirm(dlg);
        return DISPLAYINFO_CONFIRMED;
    case KPAD_DEL:
    case KPAD_SOFT3:
        ctrl_del_char(ctrl);
        break;
    case KPAD_SOFT1:
        return DISPLAYINFO_CANCELLED;
    case KPAD_SOFT2:
        switch_input(dlg, ctrl);
        break;
    default:
        break;
    }
    // Each refresh copies the whole buffer: one that failed here (logged)
    // is made good by the next tick's.
    (void)displayinfo_show(dlg, 0);
    return DISPLAYINFO_HANDLED;
}

void displayinfo_keyup(dlg_t *, uint8_t) {}

void displayinfo_process_1s(dlg_t *dlg)
{
    if (!dlg || dlg->focus >= DLG_MAX_CTRL)
        return;
    ctrl_t *ctrl = &dlg->controls[dlg->focus];
    ctrl_show_cursor(ctrl, ctrl->cursor_visible ? 0 : 1);
    (void)displayinfo_show(dlg, 0); // logged; the next tick refreshes the whole buffer again
}

int basicui_open_display_info(displayinfo_t *description, int wait)
{
    dlg_t *dlg = gp_dlgdisplay;
    if (!dlg)
        return wait ? DISPLAYINFO_CANCELLED : 0;
    // A key loop's ticks refresh again, so only a screen left up on its own
    // needs to tell its caller that the LCD did not take it.
    int shown = open_dlg(dlg, description);
    // The description is the caller's, often on its stack: the dialog lets
    // go of it on return, so a later confirm on the screen left up writes
    // nowhere. The controls hold their own copies of the texts.
    if (!wait) {
        dlg->description = nullptr;
        return shown;
    }
    for (;;) {
        platform_pause_ms(DISPLAYINFO_POLL_MS);
        int code = key_get_keypressed();
        if (code != 0) {
            rl_log_info("KEY = %d", code);
            int result = dlg->keydown ? dlg->keydown(dlg, static_cast<uint8_t>(code)) : 0;
            if (result == DISPLAYINFO_CONFIRMED || result == DISPLAYINFO_CANCELLED) {
                dlg->description = nullptr;
                return result;
            }
        }
        if (++g_poll_count >= DISPLAYINFO_POLLS_PER_TICK) {
            g_poll_count = 0;
            if (dlg->process_1s)
                dlg->process_1s(dlg);
        }
    }
}
