// The dialog framework and the display-info dialog, drawn the real way on a
// temporary root. The dialog's keys as the user meets them are judged
// through the user-setting screen (simpleui_test, screens_test); here are
// the rules those screens do not reach.
#include "basicui/dlg.h"
#include "basicui/dlg_displayinfo.h"

#include "basicui/key.h"
#include "display/display.h"
#include "display/lcd.h"
#include "platform/platform.h"

#include "basicui_keys.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <vector>

using namespace testsupport;

namespace
{

::testing::Environment *const g_env =
    ::testing::AddGlobalTestEnvironment(new IsolatedEnvironment(kCaptureSyslog));

// The user-setting layout: two entry fields and the mode label on item 9.
displayinfo_t form()
{
    displayinfo_t info;
    memset(&info, 0, sizeof(info));
    const int lines[][4] = {{0, 0, 132, DISPLAYLINE_LABEL}, {1, 13, 132, DISPLAYLINE_TEXT},
                            {2, 26, 132, DISPLAYLINE_PASSWORD}, {9, 52, 32, DISPLAYLINE_LABEL}};
    for (const int *l : lines) {
        displayline_t &d = info.lines[l[0]];
        d.y = l[1], d.width = l[2], d.height = 12, d.kind = uint8_t(l[3]), d.value_width = 90;
    }
    strcpy(info.lines[0].value, "kept");
    info.focus = info.first_focusable = 1;
    info.last_focusable = 2;
    return info;
}

class Dlg : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        make_lcd_root(root);
        ASSERT_EQ(lcd_init(), 0);
        ASSERT_NE(dlg = dlg_init(), nullptr);
    }
    void TearDown() override
    {
        lcd_denit();
        devctrl_close_lcd();
        free(dlg);
    }
    int ink_in(int x, int y, int w, int h) { return ink_count(gp_lcdbuffer, x, y, w, h); }
    // What the screen shows: the frame buffer file.
    int shown(int x, int y)
    {
        std::string fb = slurp(root / "/dev/fb0");
        return ink_at(reinterpret_cast<const unsigned char *>(fb.data()), x, y);
    }

    ScopedRoot root;
    dlg_t *dlg = nullptr;
};

TEST_F(Dlg, FocusMovesWrapAndADialogWithoutFocusIgnoresThem)
{
    dlg->first_focusable = dlg->focus = 1;
    dlg->last_focusable = 2;
    dlg->controls[1].focused = dlg->controls[1].highlight = dlg->controls[1].cursor_visible = 1;
    std::vector<int> seen;
    for (auto move : {dlg_next_item, dlg_next_item, dlg_prev_item, dlg_prev_item}) {
        move(dlg);
        seen.push_back(dlg->focus);
    }
    EXPECT_EQ(seen, std::vector<int>({2, 1, 2, 1}));
    const ctrl_t &left = dlg->controls[2];
    EXPECT_EQ(std::vector<int>({left.focused, left.highlight, left.cursor_visible,
                                left.tick_count, left.dirty}),
              std::vector<int>({0, 0, 0, CTRL_TICKS_PENDING, 1}));
    EXPECT_EQ(dlg->controls[1].cursor_visible, 1) << "a backward move shows the caret at once";
    dlg_next_item(dlg);
    EXPECT_EQ(dlg->controls[2].cursor_visible, 0) << "a forward move waits for the blink";

    for (uint8_t focus : {255, 0, 3}) {
        dlg->focus = focus;
        std::vector<char> before(reinterpret_cast<char *>(dlg), reinterpret_cast<char *>(dlg + 1));
        dlg_next_item(dlg);
        dlg_prev_item(dlg);
        EXPECT_EQ(memcmp(before.data(), dlg, sizeof(*dlg)), 0) << int(focus);
    }
}

TEST_F(Dlg, FullRedrawPaintsTheBackgroundPartialOnlyDirtyControls)
{
    dlg->ctrl_count = 12;
    ctrl_init(&dlg->controls[3], CTRL_KIND_LABEL, 10, 10, 20, 12, 0, 0, "", "");
    dlg->background = DLG_BACKGROUND_INK;
    dlg_show(dlg, 0); // full: a new dialog is redrawn whole
    EXPECT_EQ(ink_in(0, 0, 132, 64), 132 * 64 - 20 * 12);
    dlg->background = DLG_BACKGROUND_PAPER;
    lcd_fill_color(10, 10, 20, 12, 1);
    dlg_show(dlg, 0); // all clean: nothing redrawn, but still shown
    EXPECT_EQ(shown(15, 15), 1);
    dlg->controls[3].dirty = 1;
    dlg_show(dlg, 0);
    EXPECT_EQ(ink_in(0, 0, 132, 64), 132 * 64 - 20 * 12);
    dlg_show(dlg, 1);
    EXPECT_EQ(ink_in(0, 0, 132, 64), 0);

    std::vector<unsigned char> image(1056);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<unsigned char>(i * 37);
    dlg->background = reinterpret_cast<uintptr_t>(image.data());
    dlg->controls[3].width = 0;
    dlg_show(dlg, 1);
    EXPECT_EQ(memcmp(gp_lcdbuffer, image.data(), 1056), 0);
}

TEST_F(Dlg, DisplayInfoInitTakesLow16BitsAndCutsUnterminatedTexts)
{
    displayinfo_t info = form();
    info.lines[1].x = 0x10005;
    memset(info.lines[2].label, 'L', sizeof(info.lines[2].label));
    info.background = DLG_BACKGROUND_INK;
    open_dlg(dlg, &info);
    EXPECT_EQ(dlg->controls[1].x, 5);
    EXPECT_EQ(strlen(dlg->controls[2].label), 63u);
    EXPECT_EQ(ink_in(131, 63, 1, 1), 1) << "drawn forced, on the description's ground";
    ctrl_t before = dlg->controls[1];
    displayinfo_init(dlg, nullptr);
    EXPECT_EQ(memcmp(&before, &dlg->controls[1], sizeof(before)), 0);
}

TEST_F(Dlg, DisplayInfoKeys)
{
    displayinfo_t info = form();
    open_dlg(dlg, &info);
    for (uint8_t code : {2, 2, 3, 10, KPAD_LEFT, KPAD_DEL, KPAD_RIGHT, KPAD_SOFT3})
        EXPECT_EQ(displayinfo_keydown(dlg, code), DISPLAYINFO_HANDLED);
    EXPECT_STREQ(dlg->controls[1].text, "b");
    displayinfo_keydown(dlg, KPAD_SOFT2); // "123", handed over to the next field
    displayinfo_keydown(dlg, KPAD_NEXT);
    for (uint8_t code : {KPAD_STAR, KPAD_HASH, KPAD_1})
        displayinfo_keydown(dlg, code);
    EXPECT_STREQ(dlg->controls[2].text, "*#1");

    ctrl_t before[12];
    memcpy(before, dlg->controls, sizeof(before));
    for (int code : {19, 0, 31, 36, 255}) {
        lcd_draw_point(100, 40, code & 1);
        EXPECT_EQ(displayinfo_keydown(dlg, static_cast<uint8_t>(code)), 0) << code;
        EXPECT_EQ(shown(100, 40), code & 1) << code; // still the partial redraw
    }
    EXPECT_EQ(memcmp(before, dlg->controls, sizeof(before)), 0);
    EXPECT_EQ(displayinfo_keydown(dlg, KPAD_OK), DISPLAYINFO_CONFIRMED);
    EXPECT_STREQ(info.lines[2].value, "*#1");
    EXPECT_STREQ(info.lines[0].value, "kept"); // label items keep their value
    dlg->focus = 255;
    EXPECT_EQ(displayinfo_keydown(dlg, 2), -1);
}

TEST_F(Dlg, DisplayInfoTickBlinksTheFocusedCaret)
{
    displayinfo_t info = form();
    open_dlg(dlg, &info);
    displayinfo_keydown(dlg, 2);
    const ctrl_t &c = dlg->controls[1];
    std::vector<int> seen;
    for (int i = 0; i < 3; ++i) {
        displayinfo_process_1s(dlg);
        seen.insert(seen.end(), {c.cursor_visible, c.tick_count, c.highlight});
    }
    EXPECT_EQ(seen, std::vector<int>({1, 1, 1, 0, 2, 1, 1, 2, 0}));
}

// The key loop, on its own thread, with its pauses scaled to nothing.
std::atomic<int> g_ticks{0};
std::vector<int> g_keys; // written by the loop, read after it ended

class DisplayInfoLoop : public Dlg
{
  protected:
    void SetUp() override
    {
        Dlg::SetUp();
        setenv(UPGRADER_PAUSE_SCALE_ENV, "0", 1);
        dlg->keydown = [](dlg_t *d, uint8_t code) {
            g_keys.push_back(code);
            return displayinfo_keydown(d, code);
        };
        dlg->process_1s = [](dlg_t *d) { displayinfo_process_1s(d), ++g_ticks; };
        gp_dlgdisplay = dlg;
        g_keys.clear();
        g_ticks = 0;
    }
    void TearDown() override
    {
        gp_dlgdisplay = nullptr;
        Dlg::TearDown();
    }
};

TEST_F(DisplayInfoLoop, HandsEachKeyOnTicksAndEndsOnConfirm)
{
    displayinfo_t info = form();
    Keypad keys(root);
    int result = -1;
    {
        Screen screen(keys, [&] { result = basicui_open_display_info(&info, 1); });
        EXPECT_TRUE(keys.press({2, KPAD_NEXT, 3}));
        EXPECT_TRUE(wait_until([] { return g_ticks >= 2; }));
        EXPECT_TRUE(keys.press({KPAD_SOFT4}) && screen.ended());
    }
    EXPECT_EQ(result, DISPLAYINFO_CONFIRMED);
    EXPECT_EQ(g_keys, std::vector<int>({2, KPAD_NEXT, 3, KPAD_SOFT4}));
}

TEST_F(DisplayInfoLoop, WithoutWaitOrWithoutDialogReturnsAtOnce)
{
    displayinfo_t info = form();
    EXPECT_EQ(basicui_open_display_info(&info, 0), 0);
    EXPECT_EQ(dlg->description, &info);
    gp_dlgdisplay = nullptr;
    EXPECT_EQ(basicui_open_display_info(&info, 1), DISPLAYINFO_CANCELLED);
}

} // namespace
