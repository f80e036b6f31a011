// The facade: its banner, its choice on a missing LCD, and that each method
// puts its texts on the right lines. A facade screen is compared with the
// same request shown directly through simpleui, so these cases judge the
// texts and their places; the drawing itself is simpleui's to prove.
#include "basicui/basicUI.h"

#include "basicui/key.h"
#include "basicui/simpleui.h"
#include "display/lcd.h"

#include "isolation.h"
#include "lcd_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using testsupport::ScopedRoot;

namespace
{

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

const int kW = 132;

bool logged(const std::string &text)
{
    std::vector<std::string> lines = testsupport::syslog_capture().take_texts();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string &l) { return l.find(text) != std::string::npos; });
}

std::vector<unsigned char> frame() { return {gp_lcdbuffer, gp_lcdbuffer + 1056}; }

TEST(BasicUI, ShowVersionLogsTheBannerWithTheBuildTime)
{
    CBasicUI().ShowVersion();
    std::vector<std::string> lines = testsupport::syslog_capture().take_texts();
    const std::regex banner("\n\nInit basicUI, Version 2\\.0\\.0\\.15, Build at "
                            "[A-Z][a-z]{2} [ 0-9]\\d \\d{4} \\d\\d:\\d\\d:\\d\\d\n");
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [&](const std::string &l) { return std::regex_search(l, banner); }));
}

// No frame buffer under the root: the upgrade must still be able to run.
TEST(BasicUI, InitWithoutLcdLogsAndLetsTheUpgradeGoOn)
{
    ScopedRoot root;
    CBasicUI ui;
    EXPECT_EQ(ui.Init(), 0);
    EXPECT_TRUE(logged("going on without a screen"));
    EXPECT_EQ(gp_lcdbuffer, nullptr);
    EXPECT_EQ(ui.SetUpgradingProgressBar(50), 0);
    EXPECT_EQ(ui.ShowUpgradingFailedInfoWithID("Upgrade Failed!", -74), 0);
    ui.DispNoticeInfo("Rebooting...");
    ui.Deinit();
}

class BasicUIScreen : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        testsupport::make_lcd_root(root);
        ASSERT_EQ(ui.Init(), 0);
        ASSERT_NE(gp_lcdbuffer, nullptr);
    }
    void TearDown() override { ui.Deinit(); }

    // What the screen shows: the frame buffer file, not the drawing buffer.
    int shown(int x, int y)
    {
        std::ifstream in(root / "/dev/fb0", std::ios::binary);
        std::string fb((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        int i = y * kW + x;
        return (static_cast<unsigned char>(fb.at(i / 8)) >> (i % 8)) & 1;
    }

    // The frame simpleui draws for the request the facade should have built.
    std::vector<unsigned char> expected(const char *title, const char *l1, const char *l2,
                                        const char *l3, const char *l4, const char *k1,
                                        const char *k4)
    {
        update_info_t info = {};
        strcpy(info.title, title);
        strcpy(info.line1, l1);
        strcpy(info.line2, l2);
        strcpy(info.line3, l3);
        strcpy(info.line4, l4);
        strcpy(info.softkey1, k1);
        strcpy(info.softkey4, k4);
        basicui_open_update_info(&info);
        return frame();
    }

    ScopedRoot root;
    CBasicUI ui;
};

TEST_F(BasicUIScreen, ProgressBarFillReachesTheScreen)
{
    const struct {
        int percent, fill;
    } cases[] = {{0, 0}, {1, 0}, {50, 49}, {99, 97}, {100, 98}, {150, 98}};
    for (const auto &c : cases) {
        SCOPED_TRACE("percent " + std::to_string(c.percent));
        ASSERT_EQ(ui.SetUpgradingProgressBar(c.percent), 0);
        int fill = 0; // ink in the trough's middle row, columns 16 to 115
        for (int x = 16; x < 116; ++x)
            fill += shown(x, 54);
        EXPECT_EQ(fill, c.fill);
        EXPECT_EQ(shown(15, 54), 1) << "edge";
        EXPECT_EQ(shown(16, 54), 0) << "paper between edge and fill";
    }
}

TEST_F(BasicUIScreen, FailureScreensCarryTheirTexts)
{
    const std::vector<unsigned char> id0 =
        expected("Upgrade Status", "Upgrade Failed!", "", "", "", "", "Reboot");
    EXPECT_EQ(ui.ShowUpgradingFailedInfoWithID("Upgrade Failed!", 0), 0);
    EXPECT_EQ(frame(), id0);
    EXPECT_TRUE(logged("Do ShowUpgradingFailedInfo"));

    const std::vector<unsigned char> id74 =
        expected("Upgrade Status", "Upgrade Failed!:-74", "", "", "", "", "Reboot");
    ASSERT_NE(id74, id0);
    EXPECT_EQ(ui.ShowUpgradingFailedInfoWithID("Upgrade Failed!", -74), 0);
    EXPECT_EQ(frame(), id74);

    const std::vector<unsigned char> autop =
        expected("Upgrade Status", "Upgrade failed:3", "Autoprovision failed,",
                 "Please check errors on web", "60", "", "Reboot");
    EXPECT_EQ(ui.ShowUpgradingAutop2FailedInfoWithID(3, 60), 0);
    EXPECT_EQ(frame(), autop);
    EXPECT_EQ(shown(99, 52), 1) << "Reboot soft key on the screen";

    const std::vector<unsigned char> ext =
        expected("Upgrading Expansion Status", "Upgrade Expansion failed,",
                 "Please check the ROM file!", "", "", "", "Reboot");
    EXPECT_EQ(ui.ShowUpgradingExtFailed(), 0);
    EXPECT_EQ(frame(), ext);
    EXPECT_TRUE(logged("Do ShowUpgradingExtFailed"));
}

TEST_F(BasicUIScreen, ExpansionProgressScreens)
{
    const std::vector<unsigned char> upgrading =
        expected("Upgrading Expansion Status", "", "Please connect Expansion..",
                 "Upgraded count:2", "Upgrading, Please wait...", "", "");
    EXPECT_EQ(ui.ShowUpgradingExtInfo(2), 0);
    EXPECT_EQ(frame(), upgrading);

    const std::vector<unsigned char> upgraded = expected(
        "Upgrading Expansion Status", "", "Please connect Expansion..", "Upgraded count:3", "",
        "Start", "Reboot");
    EXPECT_EQ(ui.ShowUpgradedExtInfo(3), 0);
    EXPECT_EQ(frame(), upgraded);
}

TEST_F(BasicUIScreen, ShowInfoCutsToFiveLinesAndRefusesNothingToShow)
{
    const std::vector<unsigned char> five = expected("T", "a", "b", "c", "d", "", "");
    const char *six[] = {"T", "a", "b", "c", "d", "e"};
    ui.ShowInfo(six, 6);
    EXPECT_EQ(frame(), five);

    const std::vector<unsigned char> title = expected("T", "", "", "", "", "", "");
    ui.ShowInfo(six, 1);
    EXPECT_EQ(frame(), title);

    testsupport::syslog_capture().take();
    ui.ShowInfo(six, 0);
    ui.ShowInfo(nullptr, 3);
    EXPECT_EQ(frame(), title);
    EXPECT_TRUE(logged("ShowInfo: invalid params."));
}

TEST_F(BasicUIScreen, OpenUserSettingCopiesLikeStrncpy)
{
    char user[4];
    char password[8];
    memset(user, 'x', sizeof(user));
    memset(password, 'x', sizeof(password));
    const std::vector<unsigned char> before = frame();
    EXPECT_EQ(ui.OpenUserSetting(user, 1, nullptr, 8), -1);
    EXPECT_TRUE(logged("OpenUserSetting:invalid params."));
    EXPECT_EQ(frame(), before) << "nothing shown";

    ASSERT_EQ(mkfifo((root / KEY_DEVICE).c_str(), 0600), 0);
    int fifo = open((root / KEY_DEVICE).c_str(), O_RDWR);
    ASSERT_GE(fifo, 0);
    int result = 0;
    std::thread screen([&] { result = ui.OpenUserSetting(user, 1, password, 6); });
    for (int code : {KPAD_2, KPAD_OK}) {
        unsigned char event[KEY_EVENT_SIZE] = {};
        event[8] = 1; // EV_KEY
        event[KEY_EVENT_CODE_OFFSET] = static_cast<unsigned char>(code);
        event[KEY_EVENT_VALUE_OFFSET] = KEY_VALUE_PRESS;
        ASSERT_EQ(write(fifo, event, sizeof(event)), ssize_t(sizeof(event)));
        // One key per poll: the slot keeps only the last press.
        ASSERT_TRUE(testsupport::syslog_capture().wait_for("KEY = " + std::to_string(code)));
    }
    screen.join();
    close(fifo);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(std::string(user, 4), "axxx") << "a full buffer gets no NUL";
    EXPECT_EQ(std::string(password, 8), std::string(6, '\0') + "xx") << "padded to its size";
}

} // namespace
