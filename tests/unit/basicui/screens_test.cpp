// The facade's screens as whole pictures: each case shows a screen through
// CBasicUI and compares what reached the frame buffer file with a reference
// in tests/data/screens (plain PBM, 1 = ink). On a mismatch the picture
// shown is left beside the reference as NAME_actual.png; UPDATE_GOLDEN=1
// rewrites the references (look at them before keeping them).
#include "basicui/basicUI.h"

#include "basicui/key.h"

#include "isolation.h"
#include "png_write.h"

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

using testsupport::ScopedRoot;

namespace
{

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

const int kW = 132, kH = 64;

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool read_pbm(const std::string &path, std::vector<uint8_t> *bits)
{
    std::istringstream in(slurp(path));
    std::string magic;
    int w = 0, h = 0;
    if (!(in >> magic >> w >> h) || magic != "P1" || w != kW || h != kH)
        return false;
    bits->clear();
    for (char c; bits->size() < size_t(kW * kH) && in >> c;)
        bits->push_back(static_cast<uint8_t>(c == '1'));
    return bits->size() == size_t(kW * kH);
}

void write_pbm(const std::string &path, const std::vector<uint8_t> &bits)
{
    std::string out = "P1\n132 64\n";
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) // two lines per row keep lines short
            out += std::string(1, static_cast<char>('0' + bits[y * kW + x])) +
                   (x == kW / 2 - 1 || x == kW - 1 ? "\n" : "");
    std::ofstream(path, std::ios::binary) << out;
}

bool updating()
{
    const char *update = getenv("UPDATE_GOLDEN");
    return update != nullptr && strcmp(update, "1") == 0;
}

class Screens : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        for (const char *dir : {"/dev", "/dev/input", "/proc", "/proc/glcd", "/proc/misc"})
            mkdir((root / dir).c_str(), 0755);
        std::ofstream(root / "/dev/fb0", std::ios::binary) << std::string(1056, '\0');
        std::ofstream(root / "/proc/glcd/refresh") << "";
        std::ofstream(root / "/proc/misc/hwver") << "60.0.0.1.0.0.0.0\n";
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
        if (updating()) {
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
            size_t count = 0, first = 0;
            for (size_t i = 0; i < actual.size(); ++i)
                if (actual[i] != expected[i] && count++ == 0)
                    first = i;
            if (count == 0) {
                unlink((base + "_actual.png").c_str());
                return;
            }
            report += " " + std::string(name) + ": " + std::to_string(count) +
                      " pixels differ, first at (" + std::to_string(first % kW) + ", " +
                      std::to_string(first / kW) + ");";
        }
        std::vector<uint8_t> grey(actual.size());
        for (size_t i = 0; i < actual.size(); ++i)
            grey[i] = actual[i] ? 0 : 255;
        testsupport::png_write_gray(base + "_actual.png", kW, kH, grey, 4);
        ADD_FAILURE() << report << " drawn: " << base << "_actual.png";
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
        if (updating()) {
            // The other caret state follows on the next tick.
            const std::vector<uint8_t> first = shown();
            write_pbm(std::string(SCREENS_GOLDEN_DIR) + "/user_setting_mid_entry.pbm", first);
            for (int i = 0; i < 100 && shown() == first; ++i)
                usleep(50 * 1000);
            write_pbm(std::string(SCREENS_GOLDEN_DIR) + "/user_setting_mid_entry_blink.pbm",
                      shown());
        } else {
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
