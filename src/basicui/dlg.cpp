#include "basicui/dlg.h"

#include <stdlib.h>

#include "basicui/dlg_displayinfo.h"
#include "display/lcd.h"
#include "log/rl_log.h"

namespace
{

// A range reaching past the last control would walk the focus off the
// array; such a dialog is treated as one without focus.
bool has_focus(const dlg_t *dlg)
{
    return dlg->first_focusable <= dlg->focus && dlg->focus <= dlg->last_focusable &&
           dlg->last_focusable < DLG_MAX_CTRL;
}

void leave_item(ctrl_t *ctrl)
{
    ctrl->focused = 0;
    ctrl->highlight = 0;
    ctrl->cursor_visible = 0;
    // A field left in the middle of a multi-tap must not cycle when the
    // focus comes back to it.
    ctrl->tick_count = CTRL_TICKS_PENDING;
    ctrl->dirty = 1;
}

void enter_item(ctrl_t *ctrl)
{
    ctrl->focused = 1;
    ctrl->dirty = 1;
}

void draw_background(const dlg_t *dlg)
{
    if (dlg->background != DLG_BACKGROUND_PAPER && dlg->background != DLG_BACKGROUND_INK) {
        const unsigned char *image = reinterpret_cast<const unsigned char *>(dlg->background);
        lcd_draw_icon(0, 0, dlg->width, dlg->height, image, dlg->width * dlg->height / 8);
        return;
    }
    uint16_t color = dlg->background == DLG_BACKGROUND_INK ? 1 : 0;
    for (int band = 0; band < dlg->height / 8; ++band)
        lcd_fill_color(0, static_cast<uint16_t>(8 * band), dlg->width, 8, color);
}

} // namespace

dlg_t *dlg_init(void)
{
    dlg_t *dlg = static_cast<dlg_t *>(calloc(1, sizeof(dlg_t)));
    if (!dlg)
        return nullptr;
    dlg->init = displayinfo_init;
    dlg->show = displayinfo_show;
    dlg->keydown = displayinfo_keydown;
    dlg->keyup = displayinfo_keyup;
    dlg->process_1s = displayinfo_process_1s;
    dlg->x = 0;
    dlg->y = 0;
    dlg->width = DLG_WIDTH;
    dlg->height = DLG_HEIGHT;
    dlg->id = 0;
    dlg->redraw_all = 1;
    return dlg;
}

int open_dlg(dlg_t *dlg, void *param)
{
    if (!dlg)
        return -1;
    rl_log_debug("Opened Dialog 0x%X.", static_cast<unsigned>(dlg->id));
    if (dlg->init)
        dlg->init(dlg, param);
    return dlg->show ? dlg->show(dlg, 1) : 0;
}

int dlg_show(dlg_t *dlg, uint8_t force)
{
    if (!dlg)
        return -1;
    uint8_t full = (force || dlg->redraw_all) ? 1 : 0;
    if (full) {
        lcd_set_redraw(dlg->x, dlg->y, static_cast<uint16_t>(dlg->x + dlg->width - 1),
                       static_cast<uint16_t>(dlg->y + dlg->height - 1));
        draw_background(dlg);
        dlg->redraw_all = 0;
    }
    int count = dlg->ctrl_count < DLG_MAX_CTRL ? dlg->ctrl_count : DLG_MAX_CTRL;
    for (int i = 0; i < count; ++i)
        ctrl_show(&dlg->controls[i], full);
    // A screen that remembers what the LCD shows must know whether the
    // panel took this picture.
    return lcd_refresh();
}

void dlg_next_item(dlg_t *dlg)
{
    if (!dlg || !has_focus(dlg))
        return;
    leave_item(&dlg->controls[dlg->focus]);
    if (dlg->focus == dlg->last_focusable)
        dlg->focus = dlg->first_focusable;
    else
        ++dlg->focus;
    // The caret keeps its old visibility and shows again at the next blink.
    enter_item(&dlg->controls[dlg->focus]);
}

void dlg_prev_item(dlg_t *dlg)
{
    if (!dlg || !has_focus(dlg))
        return;
    leave_item(&dlg->controls[dlg->focus]);
    if (dlg->focus == dlg->first_focusable)
        dlg->focus = dlg->last_focusable;
    else
        --dlg->focus;
    enter_item(&dlg->controls[dlg->focus]);
    dlg->controls[dlg->focus].cursor_visible = 1;
}
