// The facade's screens as whole pictures: each case shows a screen through
// CBasicUI and compares what reached the frame buffer file with a reference
// in tests/data/screens (plain PBM, 1 = ink). On a mismatch the picture
// shown is left beside the reference as NAME_actual.png; UPDATE_GOLDEN=1
// rewrites the references (look at them before keeping them).
#include "basicui/basicUI.h"
#include "platform/platform.h"

#include "basicui/key.h"

#include "golden.h"
#include "isolation.h"
#include "lcd_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using testsupport::read_pbm;
using testsupport::ScopedRoot;
using testsupport::slurp;
using testsupport::write_pbm;

namespace
{

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

const int kW = 132, kH = 64;

class Screens : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        testsupport::make_lcd_root(root);
        ASSERT_EQ(ui.Init(), 0);
    }
    void TearDown() override { ui.Deinit(); }

    // The picture in the frame buffer file, one value per pixel.
    std::vector<uint8_t> shown()
    {
        std::string fb = slurp(root / "/dev/fb0");
        std::vector<uint8_t> bits(kW * kH);
        for (int i = 0; i < kW * kH && size_t(i / 8) < fb.size(); ++i)
            bits[i] = (static_cast<unsigned char>(fb[i / 8]) >> (i % 8)) & 1;
        return bits;
    }

    // Matches the first of names whose reference equals the picture shown;
    // on none, leaves the picture for the first name and fails.
    void expect_golden(std::initializer_list<const char *> names)
    {
        const std::vector<uint8_t> actual = shown();
        const std::string base = std::string(SCREENS_GOLDEN_DIR) + "/" + *names.begin();
        if (testsupport::golden_updating()) {
            write_pbm(base + ".pbm", actual);
            return;
        }
        std::string report;
        for (const char *name : names) {
            const std::string ref = std::string(SCREENS_GOLDEN_DIR) + "/" + name + ".pbm";
            std::vector<uint8_t> expected;
            if (!read_pbm(ref, &expected)) {
                report += " no readable " + ref + ";";
                continue;
            }
            size_t first = 0, count = testsupport::count_differences(actual, expected, &first);
            if (count == 0) {
                unlink((base + "_actual.png").c_str());
                return;
            }
            report += " " + std::string(name) + ": " + std::to_string(count) +
                      " pixels differ, first at (" + std::to_string(first % kW) + ", " +
                      std::to_string(first / kW) + ");";
        }
        testsupport::leave_actual_png(base, actual);
        ADD_FAILURE() << report << " drawn: " << base << "_actual.png";
    }

    // Whether the picture shown equals one of the references.
    bool shows_any(std::initializer_list<const char *> names)
    {
        const std::vector<uint8_t> actual = shown();
        for (const char *name : names) {
            std::vector<uint8_t> expected;
            size_t first = 0;
            if (read_pbm(std::string(SCREENS_GOLDEN_DIR) + "/" + name + ".pbm", &expected) &&
                testsupport::count_differences(actual, expected, &first) == 0)
                return true;
        }
        return false;
    }

    ScopedRoot root;
    CBasicUI ui;
};

TEST_F(Screens, ProgressBar)
{
    for (int percent : {0, 1, 50, 99, 100, 150}) {
        SCOPED_TRACE(percent);
        ASSERT_EQ(ui.SetUpgradingProgressBar(percent), 0);
        expect_golden({("progress_" + std::to_string(percent)).c_str()});
    }
}

TEST_F(Screens, FailureAndNoticeScreens)
{
    ui.ShowUpgradingFailedInfoWithID("Upgrade Failed!", 0);
    expect_golden({"failed_0"});
    ui.ShowUpgradingFailedInfoWithID("Upgrade Failed!", -74);
    expect_golden({"failed_-74"});
    ui.ShowUpgradingAutop2FailedInfoWithID(-74, 60);
    expect_golden({"autop_failed_60"});
    ui.DispNoticeInfo("Rebooting...");
    expect_golden({"notice"});
}

// User "al", password "12" with the caret after it. The caret blinks on a
// tick the test cannot hold still, so the picture may show it or not; every
// key that could leave a multi-tap pending is followed by a caret move,
// which ends it, so nothing else depends on when the ticks fall.
TEST_F(Screens, UserSettingMidEntry)
{
    // Multi-tap windows and the caret blink are counted in key-loop polls.
    // Slower polls keep the repeated 5s inside one multi-tap window however
    // loaded the machine is, and leave no tick between a key and the look.
    setenv(UPGRADER_PAUSE_SCALE_ENV, "4", 1);
    ASSERT_EQ(mkfifo((root / KEY_DEVICE).c_str(), 0600), 0);
    int fifo = open((root / KEY_DEVICE).c_str(), O_RDWR);
    ASSERT_GE(fifo, 0);
    char user[16], password[16];
    std::thread screen([&] { ui.OpenUserSetting(user, sizeof(user), password, sizeof(password)); });
    auto press = [&](int code) {
        unsigned char event[KEY_EVENT_SIZE] = {};
        event[8] = 1; // EV_KEY
        event[KEY_EVENT_CODE_OFFSET] = static_cast<unsigned char>(code);
        event[KEY_EVENT_VALUE_OFFSET] = KEY_VALUE_PRESS;
        ASSERT_EQ(write(fifo, event, sizeof(event)), ssize_t(sizeof(event)));
        // One key per poll: the slot keeps only the last press.
        ASSERT_TRUE(testsupport::syslog_capture().wait_for("KEY = " + std::to_string(code)));
        testsupport::syslog_capture().take();
    };
    for (int code : {KPAD_2, KPAD_RIGHT, KPAD_5, KPAD_5, KPAD_5, KPAD_RIGHT, KPAD_NEXT, KPAD_SOFT2,
                     KPAD_1, KPAD_RIGHT, KPAD_2, KPAD_RIGHT})
        press(code);
    if (!HasFatalFailure()) {
        if (testsupport::golden_updating()) {
            // The other caret state follows on the next tick.
            const std::vector<uint8_t> first = shown();
            write_pbm(std::string(SCREENS_GOLDEN_DIR) + "/user_setting_mid_entry.pbm", first);
            for (int i = 0; i < 100 && shown() == first; ++i)
                usleep(50 * 1000);
            write_pbm(std::string(SCREENS_GOLDEN_DIR) + "/user_setting_mid_entry_blink.pbm",
                      shown());
        } else {
            // The password's last digit stays in clear until its window of
            // ticks has passed; a bounded wait lets the screen settle.
            for (int i = 0; i < 600 && !shows_any({"user_setting_mid_entry",
                                                   "user_setting_mid_entry_blink"});
                 ++i)
                usleep(50 * 1000);
            expect_golden({"user_setting_mid_entry", "user_setting_mid_entry_blink"});
        }
        press(KPAD_SOFT1);
    }
    if (HasFatalFailure()) {
        screen.detach(); // a screen whose keys went astray never returns
        return;
    }
    screen.join();
    close(fifo);
}

} // namespace
