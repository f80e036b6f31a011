// Driving phonesim as a subprocess for the power-cut campaign and the fleet
// rehearsal: making telephones, running an upgrade in them, cutting its
// power and judging what the telephone is left with.
#ifndef FAULTS_CUTRUN_H
#define FAULTS_CUTRUN_H

#include "faults/campaign.h"
#include "faults/target.h"

#include <stdint.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace faults
{

// Exit statuses of "phonesim upgrade".
constexpr int kRebooted = 100;
constexpr int kPowerCut = 101;
constexpr int kRefused = 102;  // rebooted from a failure screen
constexpr int kNoReboot = 103; // the program ended without asking for one
constexpr int kTimeLimit = 124;
constexpr int kRunFailed = 125; // phonesim could not make the run

struct RunSettings {
    std::string phonesim, program; // absolute paths
    std::string profile;           // phonesim profile of the telephones; "" = phonesim's
    double time_limit = 120;       // of each phonesim run, seconds
    // The clean run's pause scale can differ from the cut runs': the
    // rehearsal measures the telephone's pauses in it.
    double clean_pause_scale = 0.01, cut_pause_scale = 0.01;
    // More "phonesim upgrade" options. A cut run is judged by its exit
    // status, the chip and the boot environment, and a failed one by its
    // summary and log: a brief record is enough and spares the digests and
    // pictures. The clean run keeps the full report to look at.
    std::vector<std::string> clean_args, cut_args = {"--record", "brief"};
    // How the loader hands the pack over: "shm" as on the telephone, or
    // "file" (the pack in /tmp), the one mode the MIPS guest runs.
    std::string mode = "shm";
    // When set, every run is a boot of the MIPS guest instead of phonesim;
    // phonesim still makes the telephones.
    Guest guest;
};

// A program named by an option, or else the one of that name beside the
// running tool (as the package installs them), or else on PATH. false with
// *error.
bool find_program(const std::string &name, const std::string &option, std::string *path,
                  std::string *error);

// Runs a command with its output appended to log; its exit status, or -1.
int run_logged(const std::vector<std::string> &args, const std::string &log);

// Why a run of "phonesim upgrade" in dir that should have rebooted did
// not, in words, with the program's first error when it logged one.
std::string why_not_rebooted(int status, const std::string &dir, double time_limit);

// A whole file, read in one piece; "" when it cannot be read.
std::string slurp(const std::string &path);

// A log line of the program without the system log's "upgrader pidN,tidN,lN: "
// prefix, whose numbers differ from run to run, and without its line end.
std::string log_text(std::string text);

// The program's first line at error level in the report of a run, without
// the system log's prefix, with the name of the check's code when it gives
// one; "" when there is none.
std::string first_error(const std::string &last_run);

// The flash partitions (ids 0..9) a pack writes, with their payloads; false
// with *error when the pack cannot be read.
bool pack_payloads(const std::vector<uint8_t> &pack, std::map<int, std::vector<uint8_t>> *payloads,
                   std::string *error);

const char *outcome_name(Outcome outcome);

// One pack on one kind of telephone: its clean run, then cuts.
class Campaign
{
  public:
    // dir: where the telephones go (dir/clean, dir/w0, ...); pack: absolute.
    Campaign(const RunSettings &settings, std::string pack, std::string dir)
        : s_(settings), pack_(std::move(pack)), dir_(std::move(dir))
    {
    }

    // The clean run in dir/clean: what the telephone holds before and after,
    // and the flash operations. Its exit status in *status (when not null).
    // false with *error when it does not install the pack.
    bool prepare(const std::map<int, std::vector<uint8_t>> &payloads, std::string *error,
                 int *status = nullptr);

    // One cut in the telephone dir (made anew): cut, boot, run again, judge.
    CutResult cut_once(const std::string &dir, int cut) const;

    // Every cut on `jobs` threads, each in its own telephone; a telephone
    // whose cut did not recover is kept as dir/cut-N. done is called after
    // each cut (from the worker threads, one at a time) with the result and
    // where the telephone was kept ("" when it was not).
    using Progress = std::function<void(const CutResult &, size_t done, const std::string &kept)>;
    std::vector<CutResult> cut_all(const std::vector<int> &cuts, int jobs,
                                   const Progress &done) const;

    int operations() const { return int(ops_.size()); }
    std::vector<std::string> phases() const { return phases_of(ops_); }
    bool moves_blocks() const { return moves_blocks_; }
    std::string clean_dir() const { return dir_ + "/clean"; }

  private:
    bool fresh(const std::string &dir, std::string *error) const;
    // The clean run and the runs of a cut (the cut one and its rerun)
    // take their own settings.
    int upgrade(const std::string &dir, int cut, bool clean) const;
    bool read_operations(const std::string &report, std::string *error);
    Telephone read_phone(const std::string &dir) const;

    const RunSettings s_; // a copy: each telephone of a fleet has its own profile
    std::string pack_, dir_;
    Expected want_;
    std::vector<Operation> ops_;
    bool moves_blocks_ = false;
};

} // namespace faults

#endif
