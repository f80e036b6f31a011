// The report of a run: report.json, summary.txt, the frames as pictures and
// the contact sheet; and what the run's ending tells a user.
#ifndef PHONESIM_REPORT_H
#define PHONESIM_REPORT_H

#include "phonesim/kernel.h"
#include "phonesim/logs.h"
#include "phonesim/peers.h"
#include "phonesim/runner.h"
#include "phonesim/snapshot.h"

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace phonesim
{

struct Frame {
    double at = 0;
    std::vector<uint8_t> data;
};

struct ReportInput {
    const RunOptions *options;
    const Paths *paths;
    RunResult result;
    double seconds = 0;
    Snapshot before, after;
    std::vector<LogLine> log;
    std::vector<IpcRecord> ipc;
    std::vector<Frame> frames;
    std::vector<std::pair<double, std::string>> env_writes;
    std::vector<std::pair<double, FlashOp>> flash_ops;
    FlashTiming flash_timing;
    FlashCounts flash_counts{}; // none unless the kernel served the run
    double cut_after = 0;       // the time cut asked for
    nlohmann::ordered_json sysv;
};

const char *ending_name(Ending e);

// Fills result->failure_screen from the log and the broadcasts, when the
// program showed a failure screen before the run ended.
void find_failure_screen(const ReportInput &in, RunResult *result);

// Writes report.json, summary.txt and the pictures into dir (made when
// missing; the previous report there goes). *summary is the summary's text
// even when writing fails.
[[nodiscard]] int write_report(const ReportInput &in, const std::string &dir, std::string *summary,
                               std::string *error);

} // namespace phonesim

#endif
