// "phonesim run": runs a command inside a simulated telephone and reports
// what happened.
#ifndef PHONESIM_RUNNER_H
#define PHONESIM_RUNNER_H

#include "phonesim/peers.h"

#include <string>
#include <vector>

namespace phonesim
{

// What a run leaves in its report directory. Full: report.json,
// summary.txt, every frame as a PNG and the contact sheet. Report: the same
// without the pictures. Brief: summary.txt and a report.json without the
// pictures, the partitions and the files (no SHA-256 of the chip nor of the
// telephone's files): what a campaign of many runs needs, at a fraction of
// the cost.
enum class Record { Full, Report, Brief };

struct RunOptions {
    std::string dir;                  // telephone root made by init
    std::vector<std::string> command; // run with UPGRADER_ROOT=dir
    double pause_scale = 1;           // UPGRADER_PAUSE_SCALE for the program
    double time_limit = 600;          // seconds; the run is ended after it
    std::string load_pack;            // when set, the loader runs first
    int state = 0;                    // upgrade state the loader sets
    double saver_hold = 0;            // > 0: the configuration saver holds 0xB012
    std::vector<KeyPress> keys;
    bool watch = false; // draw the LCD in the terminal as it changes
    std::string report; // report directory (default DIR/.phonesim/last-run)
    // The power fails during the cut_at-th flash operation, or cut_after
    // seconds after the start (real time); when either is given, the
    // profile's power_cut is not used.
    uint64_t cut_at = 0;
    double cut_after = 0;
    // When 0 or more, replaces the profile's flash_timing.delay: each flash
    // request takes the telephone's time for it times this scale.
    double flash_delay = -1;
    // Copied into DIR/tmp under its own name once the run has booted (after
    // a power cut the telephone's RAM, DIR/tmp, starts out empty).
    std::string tmp_copy;
    // The command is the installed program (phonesim upgrade): its ending
    // without a reboot is one of phonesim's statuses, and its own status is
    // shown signed, with its meaning.
    bool program_run = false;
    Record record = Record::Full;
};

// Interrupted: phonesim itself got SIGINT, SIGTERM or SIGHUP.
enum class Ending { Exit, Signal, Reboot, TimeLimit, Error, Interrupted, PowerCut };

// The failure screen the program showed before the run ended, as its
// broadcasts and log lines tell (see find_failure_screen).
struct FailureScreen {
    bool shown = false;
    std::string text; // the screen's text, "Rom check Failed!"
    int id = 0;       // the code beside it; 0 when the log does not give it
};

struct RunResult {
    Ending ending = Ending::Error;
    int status = 0;         // exit status or signal number
    std::string report_dir; // where report.json and summary.txt went
    std::string summary;    // the text of summary.txt
    FailureScreen failure_screen;
    uint64_t flash_ops = 0; // the run's flash operations
};

// phonesim's exit statuses besides the command's own.
constexpr int kExitRebooted = 100; // rebooted without a failure screen
constexpr int kExitPowerCut = 101;
constexpr int kExitFailureScreen = 102; // rebooted from a failure screen
constexpr int kExitProgramEnded = 103;  // (upgrade) the program ended, no reboot
constexpr int kExitTimeLimit = 124;
constexpr int kExitCannotRun = 125;
constexpr int kExitNotFound = 127;
constexpr int kExitInterrupted = 130;

// The exit status of phonesim for a run that was made.
int exit_status(const RunResult &result, bool program_run);

// Each run is a boot of the telephone: the kernel takes its partition table
// from the boot environment, and after a run that ended in a power cut
// DIR/tmp is emptied first.
// Runs the command in private PID, IPC and mount namespaces with the
// telephone's kernel mounted, the log collector at /dev/log, the IPC
// listeners 1..11 except 6, and the optional loader, saver and keys; writes
// the report into DIR/.phonesim/last-run and, when asked, into
// options.report too (a failure there only sets *report_error: the run's
// outcome stands). Returns 0 when the run could be made (whatever its
// ending), else -1 with *error (and result->status 127 when the command was
// not found on the telephone's PATH).
// The calling process enters the mount and IPC namespaces itself (and, when
// not root, a user namespace) and stays in them, so call it once per process
// and before any thread is started. time_limit <= 0 means no limit.
[[nodiscard]] int run_telephone(const RunOptions &options, RunResult *result, std::string *error,
                                std::string *report_error);

} // namespace phonesim

#endif
