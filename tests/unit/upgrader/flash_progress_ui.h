// The progress bar as the flash tests see it: a stand-in for the upgrade
// UI's facade that records every percentage instead of drawing it, so that
// the bar's exact course can be compared (the drawn fill loses precision:
// several percentages give the same number of pixels).
#ifndef TESTS_FLASH_PROGRESS_UI_H
#define TESTS_FLASH_PROGRESS_UI_H

#include <vector>

// Every value given to CBasicUI::SetUpgradingProgressBar, in order.
std::vector<int> &progress_seen();

#endif
