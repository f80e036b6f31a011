// The dialog framework and the display-info dialog, drawn the real way into
// the LCD buffer on a temporary root whose frame buffer and refresh file are
// regular files. The key loop reads keys written into a FIFO standing in for
// the input device, with the pauses scaled to nothing.
#include "basicui/dlg.h"
#include "basicui/dlg_displayinfo.h"

#include "basicui/key.h"
#include "display/lcd.h"
#include "platform/platform.h"

#include "isolation.h"
#include "lcd_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

using testsupport::ScopedRoot;

namespace
{

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

int ink(int x, int y) { return (gp_lcdbuffer[(y * 132 + x) / 8] >> ((y * 132 + x) % 8)) & 1; }

int ink_in(int x, int y, int w, int h)
{
    int n = 0;
    for (int j = y; j < y + h; ++j)
        for (int i = x; i < x + w; ++i)
            n += ink(i, j);
    return n;
}

void set_line(displayinfo_t &info, int i, int x, int y, int w, uint8_t kind, const char *label,
              const char *value = "", int value_width = 0)
{
    displayline_t &l = info.lines[i];
    l.x = x, l.y = y, l.width = w, l.height = 12, l.value_width = value_width, l.kind = kind;
    snprintf(l.label, sizeof(l.label), "%s", label);
    snprintf(l.value, sizeof(l.value), "%s", value);
}

// The user-setting layout: two entry fields and the mode label on item 9.
displayinfo_t form()
{
    displayinfo_t info;
    memset(&info, 0, sizeof(info));
    set_line(info, 0, 0, 0, 132, DISPLAYLINE_LABEL, "Title", "kept");
    set_line(info, 1, 0, 13, 132, DISPLAYLINE_TEXT, "User", "", 90);
    set_line(info, 2, 0, 26, 132, DISPLAYLINE_PASSWORD, "Pass", "", 90);
    set_line(info, 9, 33, 52, 32, DISPLAYLINE_LABEL, "abc");
    info.focus = info.first_focusable = 1;
    info.last_focusable = 2;
    return info;
}

class Dlg : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        testsupport::make_lcd_root(root);
        ASSERT_EQ(lcd_init(), 0);
        ASSERT_NE(dlg = dlg_init(), nullptr);
    }
    void TearDown() override
    {
        lcd_denit();
        free(dlg);
    }

    // What the screen shows: the frame buffer file.
    bool shown(int x, int y)
    {
        std::ifstream fb(root / "/dev/fb0", std::ios::binary);
        fb.seekg((y * 132 + x) / 8);
        return (fb.get() >> ((y * 132 + x) % 8)) & 1;
    }

    ScopedRoot root;
    dlg_t *dlg = nullptr;
};

using DisplayInfo = Dlg;

TEST_F(Dlg, FocusMovesWrapAndADialogWithoutFocusIgnoresThem)
{
    EXPECT_EQ(dlg->keydown, displayinfo_keydown);
    EXPECT_EQ(std::vector<int>({dlg->width, dlg->height, dlg->redraw_all}), std::vector<int>({132, 64, 1}));
    dlg->first_focusable = dlg->focus = 1;
    dlg->last_focusable = 2;
    dlg->controls[1] = ctrl_t{};
    dlg->controls[1].focused = dlg->controls[1].highlight = dlg->controls[1].cursor_visible = 1;

    std::vector<int> seen;
    for (auto move : {dlg_next_item, dlg_next_item, dlg_next_item, dlg_prev_item, dlg_prev_item, dlg_prev_item}) {
        move(dlg);
        seen.push_back(dlg->focus);
    }
    EXPECT_EQ(seen, std::vector<int>({2, 1, 2, 1, 2, 1}));
    const ctrl_t &left = dlg->controls[2];
    EXPECT_EQ(std::vector<int>({left.focused, left.highlight, left.cursor_visible, left.tick_count, left.dirty}),
              std::vector<int>({0, 0, 0, 2, 1}));
    EXPECT_EQ(dlg->controls[1].focused, 1);
    EXPECT_EQ(dlg->controls[1].cursor_visible, 1); // a backward move shows the caret at once
    dlg_next_item(dlg);
    EXPECT_EQ(dlg->controls[2].cursor_visible, 0); // a forward move waits for the blink

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
    dlg_show(dlg, 0); // set at creation, redraw_all makes this a full one
    EXPECT_EQ(dlg->redraw_all, 0);
    EXPECT_EQ(ink_in(0, 0, 132, 64), 132 * 64 - 20 * 12); // ink ground, paper control
    EXPECT_TRUE(shown(100, 40));

    dlg->background = DLG_BACKGROUND_PAPER;
    lcd_fill_color(10, 10, 20, 12, 1);
    dlg_show(dlg, 0); // all clean: nothing redrawn, but still pushed to the screen
    EXPECT_EQ(ink_in(0, 0, 132, 64), 132 * 64);
    EXPECT_TRUE(shown(15, 15));

    dlg->controls[3].dirty = 1;
    dlg_show(dlg, 0);
    EXPECT_EQ(ink_in(10, 10, 20, 12), 0);
    EXPECT_EQ(ink_in(0, 0, 132, 64), 132 * 64 - 20 * 12);

    dlg_show(dlg, 1);
    EXPECT_EQ(ink_in(0, 0, 132, 64), 0);
    EXPECT_FALSE(shown(100, 40));

    std::vector<unsigned char> image(1056);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<unsigned char>(i * 37);
    dlg->background = reinterpret_cast<uintptr_t>(image.data());
    dlg->controls[3].width = 0;
    dlg_show(dlg, 1);
    EXPECT_EQ(memcmp(gp_lcdbuffer, image.data(), 1056), 0);
}

TEST_F(DisplayInfo, InitBuildsTheControlsFromTheDescription)
{
    displayinfo_t info = form();
    info.lines[1].x = 0x10005; // only the low 16 bits count
    info.lines[1].align = 2;
    info.lines[1].reverse = info.lines[1].framed = 1;
    snprintf(info.lines[1].value, sizeof(info.lines[1].value), "preset");
    memset(info.lines[2].label, 'L', sizeof(info.lines[2].label)); // no NUL
    info.background = DLG_BACKGROUND_INK;

    open_dlg(dlg, &info);
    EXPECT_TRUE(testsupport::syslog_capture().wait_for("Opened Dialog 0x0."));
    EXPECT_EQ(dlg->description, &info);
    EXPECT_EQ(std::vector<int>({dlg->focus, dlg->first_focusable, dlg->last_focusable, dlg->ctrl_count}),
              std::vector<int>({1, 1, 2, 12}));
    const ctrl_t &c = dlg->controls[1];
    EXPECT_EQ(std::vector<int>({c.x, c.y, c.width, c.height, c.value_width, c.kind, c.align, c.reverse,
                                c.framed, c.focused, c.cursor, c.cursor_visible}),
              std::vector<int>({5, 13, 132, 12, 90, 1, 2, 1, 1, 1, 0, 0}));
    EXPECT_STREQ(c.text, "preset");
    EXPECT_EQ(strlen(dlg->controls[2].label), 63u);
    EXPECT_EQ(ink(131, 63), 1); // drawn forced, on the description's ink ground

    ctrl_t before = c;
    displayinfo_init(dlg, nullptr);
    EXPECT_EQ(memcmp(&before, &c, sizeof(before)), 0);
}

TEST_F(DisplayInfo, KeysEditMoveSwitchTheModeAndIgnoreTheRest)
{
    displayinfo_t info = form();
    open_dlg(dlg, &info);
    for (uint8_t code : {2, 2, 3, 10, 15, 18, 16, 34}) // ends with caret moves and deletes
        EXPECT_EQ(displayinfo_keydown(dlg, code), 0);
    EXPECT_STREQ(dlg->controls[1].text, "b");

    std::vector<std::string> names;
    std::vector<std::vector<int>> drawn; // the mode label as shown
    for (int i = 0; i < 4; ++i) {
        displayinfo_keydown(dlg, 33);
        names.push_back(dlg->controls[9].label);
        drawn.emplace_back();
        for (int y = 52; y < 64; ++y)
            for (int x = 33; x < 65; ++x)
                drawn.back().push_back(shown(x, y));
    }
    EXPECT_EQ(names, std::vector<std::string>({"123", "1Ab", "ABC", "abc"}));
    std::sort(drawn.begin(), drawn.end());
    EXPECT_EQ(std::unique(drawn.begin(), drawn.end()), drawn.end());

    displayinfo_keydown(dlg, 33); // "123", handed over to the next field
    displayinfo_keydown(dlg, 14);
    EXPECT_EQ(dlg->focus, 2);
    for (uint8_t code : {11, 12, 1})
        displayinfo_keydown(dlg, code);
    EXPECT_STREQ(dlg->controls[2].text, "*#1");
    displayinfo_keydown(dlg, 33); // "1Ab", handed back
    displayinfo_keydown(dlg, 13);
    EXPECT_EQ(dlg->controls[1].input_mode, 3);

    ctrl_t before[12];
    memcpy(before, dlg->controls, sizeof(before));
    for (int code : {19, 0, 31, 36, 255}) {
        lcd_draw_point(100, 40, code & 1);
        EXPECT_EQ(displayinfo_keydown(dlg, static_cast<uint8_t>(code)), 0) << code;
        EXPECT_EQ(shown(100, 40), code & 1) << code; // still the partial redraw
    }
    EXPECT_EQ(memcmp(before, dlg->controls, sizeof(before)), 0);
    dlg->focus = 255;
    EXPECT_EQ(displayinfo_keydown(dlg, 2), -1);
}

TEST_F(DisplayInfo, ConfirmCopiesEveryTextCancelCopiesNothing)
{
    displayinfo_t info = form();
    open_dlg(dlg, &info);
    displayinfo_keydown(dlg, 4);
    EXPECT_EQ(displayinfo_keydown(dlg, 32), 2);
    EXPECT_STREQ(info.lines[1].value, "");

    for (uint8_t ok : {17, 35}) {
        displayinfo_keydown(dlg, 14);
        displayinfo_keydown(dlg, 5);
        EXPECT_EQ(displayinfo_keydown(dlg, ok), 1);
    }
    EXPECT_STREQ(info.lines[1].value, "gj");
    EXPECT_STREQ(info.lines[2].value, "j");
    EXPECT_STREQ(info.lines[0].value, "kept"); // label items keep their value
}

TEST_F(DisplayInfo, TickBlinksTheFocusedCaret)
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

    dlg->focus = 255;
    ctrl_t before = c;
    displayinfo_process_1s(dlg);
    EXPECT_EQ(memcmp(&before, &c, sizeof(before)), 0);
}

// --- the key loop: runs on its own thread, fed one key at a time ---------

std::atomic<int> g_handled{0}, g_ticks{0};
std::vector<int> g_keys; // written by the loop, read after it ended

int recording_keydown(dlg_t *dlg, uint8_t code)
{
    g_keys.push_back(code);
    int result = displayinfo_keydown(dlg, code);
    ++g_handled;
    return result;
}

void counting_tick(dlg_t *dlg)
{
    displayinfo_process_1s(dlg);
    ++g_ticks;
}

bool eventually(const std::function<bool()> &done)
{
    for (int i = 0; i < 10000 && !done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
}

class DisplayInfoLoop : public Dlg
{
  protected:
    void SetUp() override
    {
        Dlg::SetUp();
        setenv(UPGRADER_PAUSE_SCALE_ENV, "0", 1);
        ASSERT_EQ(mkfifo((root / "/dev/input/event0").c_str(), 0600), 0);
        ASSERT_GE(fifo = open((root / "/dev/input/event0").c_str(), O_RDWR), 0);
        dlg->keydown = recording_keydown;
        dlg->process_1s = counting_tick;
        gp_dlgdisplay = dlg;
    }
    void TearDown() override
    {
        close(fifo);
        Dlg::TearDown();
    }

    void event(uint16_t code, int32_t value)
    {
        unsigned char ev[16] = {1}; // type and time are not looked at
        memcpy(ev + 10, &code, 2);
        memcpy(ev + 12, &value, 4);
        ASSERT_EQ(write(fifo, ev, sizeof(ev)), 16);
    }

    // A press with its repeat and release, which the loop never sees.
    void press(uint16_t code)
    {
        int before = g_handled;
        for (int value : {1, 2, 0})
            event(code, value);
        EXPECT_TRUE(eventually([&] { return g_handled > before; })) << code;
    }

    int run(displayinfo_t &info, const std::vector<uint16_t> &keys)
    {
        std::future<int> result = std::async(std::launch::async, [&] { return basicui_open_display_info(&info, 1); });
        for (uint16_t code : keys) {
            if (code == 35) { // confirm only after the loop has ticked
                EXPECT_TRUE(eventually([] { return g_ticks >= 2; }));
            }
            press(code);
        }
        if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "the loop did not end";
            dlg->keydown = displayinfo_keydown;
            event(32, 1);
        }
        return result.get();
    }

    int fifo = -1;
};

TEST_F(DisplayInfoLoop, WithoutWaitOrWithoutDialogReturnsAtOnce)
{
    displayinfo_t info = form();
    EXPECT_EQ(basicui_open_display_info(&info, 0), 0);
    EXPECT_EQ(dlg->description, &info);
    gp_dlgdisplay = nullptr;
    EXPECT_EQ(basicui_open_display_info(&info, 0), 0);
    EXPECT_EQ(basicui_open_display_info(&info, 1), 2); // nothing could ever confirm
    EXPECT_EQ(g_key_thread_opened, 0);                 // no key was read
}

TEST_F(DisplayInfoLoop, RunsUntilConfirmTickingOnTheWay)
{
    displayinfo_t info = form();
    EXPECT_EQ(run(info, {2, 14, 3, 35}), 1);
    EXPECT_EQ(g_keys, std::vector<int>({2, 14, 3, 35}));
    EXPECT_STREQ(info.lines[1].value, "a");
    EXPECT_STREQ(info.lines[2].value, "d");
    EXPECT_TRUE(testsupport::syslog_capture().wait_for("KEY = 35"));
}

TEST_F(DisplayInfoLoop, CancelEndsTheLoopWithoutCopying)
{
    displayinfo_t info = form();
    EXPECT_EQ(run(info, {7, 32}), 2);
    EXPECT_STREQ(info.lines[1].value, "");
}

} // namespace
