// The upgrade UI inside the simulated telephone: a program that shows each
// screen once leaves exactly those frames in the run's report, one per
// screen, each the picture the same call draws here on a plain root.
#include "basicui/basicUI.h"

#include "log/rl_log.h"

#include "isolation.h"
#include "phonesim_run.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

using nlohmann::json;
using testsupport::phonesim;
using testsupport::ScopedRoot;
using testsupport::screen_hex;
using testsupport::slurp;
using testsupport::TempDir;

namespace
{

// The screens in screens_probe's order.
const char *const kLines[] = {"Upgrade Status", "Firmware 2.0.0.15", nullptr, "Checking ROM..."};
const std::vector<std::function<void(CBasicUI &)>> kScreens = {
    [](CBasicUI &ui) { ui.SetUpgradingProgressBar(50); },
    [](CBasicUI &ui) { ui.ShowUpgradingFailedInfo("Upgrade Failed!", 0); },
    [](CBasicUI &ui) { ui.ShowUpgradingFailedInfoWithID("Upgrade Failed!", -74); },
    [](CBasicUI &ui) { ui.ShowUpgradingAutop2FailedInfoWithID(-74, 60); },
    [](CBasicUI &ui) { ui.ShowUpgradingExtFailed(); },
    [](CBasicUI &ui) { ui.ShowUpgradingExtInfo(2); },
    [](CBasicUI &ui) { ui.ShowUpgradedExtInfo(3); },
    [](CBasicUI &ui) { ui.ShowInfo(kLines, 4); },
    [](CBasicUI &ui) { ui.DispNoticeInfo("Rebooting..."); },
};

// Each screen drawn here, with the number of refreshes it asked for: the
// refresh file is a FIFO, so every refresh leaves its "1" in it.
std::vector<std::pair<std::string, int>> drawn_here()
{
    // No private namespaces here (phonesim needs the host's FUSE), so the
    // screens drawn here keep quiet instead of writing to the host's log.
    rl_log_reset_level(-1);
    ScopedRoot root;
    for (const char *dir : {"/dev", "/dev/input", "/proc", "/proc/glcd", "/proc/misc"})
        mkdir((root / dir).c_str(), 0755);
    std::ofstream(root / "/dev/fb0", std::ios::binary) << std::string(1056, '\0');
    std::ofstream(root / "/proc/misc/hwver") << "60.0.0.1.0.0.0.0\n";
    std::vector<std::pair<std::string, int>> out;
    if (mkfifo((root / "/proc/glcd/refresh").c_str(), 0600) != 0)
        return out;
    int refreshes = open((root / "/proc/glcd/refresh").c_str(), O_RDWR | O_NONBLOCK);
    CBasicUI ui;
    ui.Init();
    char drain[256];
    while (read(refreshes, drain, sizeof(drain)) > 0) {
    }
    for (const auto &show : kScreens) {
        show(ui);
        ssize_t n = read(refreshes, drain, sizeof(drain));
        out.emplace_back(testsupport::to_hex(slurp(root / "/dev/fb0")), n > 0 ? int(n) : 0);
    }
    ui.Deinit();
    close(refreshes);
    return out;
}

} // namespace

TEST(ScreensRun, EachScreenLeavesExactlyItsFrame)
{
    std::vector<std::pair<std::string, int>> expected = drawn_here();
    ASSERT_EQ(expected.size(), kScreens.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(expected[i].second, 1) << "screen " << i << " refreshes once";

    TempDir tmp;
    std::string dir = tmp.path() + "/phone";
    std::string out = tmp.path() + "/out";
    ASSERT_EQ(phonesim({"init", dir}, out), 0) << slurp(out);
    ASSERT_EQ(phonesim({"run", dir, "--time-limit", "20", "--", PHONESIM_SCREENS_PROBE}, out), 0)
        << slurp(out);

    json r = testsupport::last_report(dir);
    ASSERT_FALSE(r.is_discarded());
    ASSERT_EQ(r["frames"].size(), expected.size()) << r["frames"].dump();
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(screen_hex(r, r["frames"][i]), expected[i].first) << "frame " << i + 1;
}
