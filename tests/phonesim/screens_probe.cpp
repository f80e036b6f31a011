// Run inside a simulated telephone by the ScreensRun test: shows each screen
// of the upgrade UI once through CBasicUI, in the order the test expects.
// The user-setting screen is left out: it runs until a key, blinking its
// caret on the way, so the number of its frames depends on time.
#include "basicui/basicUI.h"

#include <stdio.h>

int main()
{
    CBasicUI ui;
    if (ui.Init() != 0) {
        fprintf(stderr, "screens_probe: Init failed\n");
        return 1;
    }
    const char *const lines[] = {"Upgrade Status", "Firmware 2.0.0.15", nullptr, "Checking ROM..."};
    ui.SetUpgradingProgressBar(50);
    ui.ShowUpgradingFailedInfo("Upgrade Failed!", 0);
    ui.ShowUpgradingFailedInfoWithID("Upgrade Failed!", -74);
    ui.ShowUpgradingAutop2FailedInfoWithID(-74, 60);
    ui.ShowUpgradingExtFailed();
    ui.ShowUpgradingExtInfo(2);
    ui.ShowUpgradedExtInfo(3);
    ui.ShowInfo(lines, 4);
    ui.DispNoticeInfo("Rebooting...");
    ui.Deinit();
    return 0;
}
