// The power-cut campaign: for a ROM pack, cuts the power of a simulated
// telephone at each of the flash operations of a clean upgrade (or an even
// sample of them), boots it again, runs the same upgrade again as the
// loader would, and judges what the telephone is left with.
#ifndef FAULTS_CAMPAIGN_H
#define FAULTS_CAMPAIGN_H

#include "phonesim/profile.h"

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace faults
{

// The simulated telephone's chip, as phonesim keeps it in flash.img.
constexpr uint32_t kChipBase = phonesim::kFlashBase;
constexpr uint32_t kChipSize = phonesim::kFlashSize;

struct Window {
    uint32_t start = 0, end = 0; // flash addresses; end = start when absent
};
using Layout = std::map<int, Window>;
using Env = std::vector<std::pair<std::string, std::string>>;

// One flash operation of a run as phonesim reports it.
struct Operation {
    std::string kind; // erase, write, move, env
    int mtd = -1;
};

// Where in the upgrade operation n (from 1) of a clean run falls: the boot
// environment written by the check, moving, writing back mtd4/mtd3,
// recording the layout, burning mtdN. The kinds of operation alone tell
// them apart, because the sequence's order is fixed.
std::vector<std::string> phases_of(const std::vector<Operation> &ops);

// The cut points tried: all of 1..k, or `sample` of them evenly spread,
// first and last included.
std::vector<int> cut_points(int k, int sample);

// The cut points a --cuts list names over a clean run of phases.size()
// operations: numbers, ranges "A-B", "phases" (the middle operation of
// every phase) and "last". Sorted, without repeats or points beyond the
// run. false with *error for an item it does not know (an empty phases
// checks the words alone).
bool cut_list(const std::string &list, const std::vector<std::string> &phases,
              std::vector<int> *cuts, std::string *error);

// "mtdN START,END" variables of a boot environment as windows.
Layout layout_from_env(const Env &env);
// "mtdN 0xSTART 0xEND" lines of phonesim's layout file.
Layout layout_from_file(const std::string &text);
Env parse_env(const std::string &text);

// What one cut left behind.
enum class Outcome { Recovered, ConfigLost, Unbootable, Other };

struct Expected {
    std::map<int, std::vector<uint8_t>> payloads; // flash partitions of the pack
    std::vector<uint8_t> env_block, config_block; // mtd3, mtd4 before the first run
    std::vector<uint8_t> chip_before;             // the whole chip before the first run
    Env env_after;                                // boot environment after a clean run
};

// The telephone as a run left it.
struct Telephone {
    std::vector<uint8_t> chip;
    Env env;
    Layout layout; // the kernel's table when the run ended
};

// Partitions of the boot chain (boot loader, kernel, root file system)
// that the pack writes and that hold neither what they held before nor the
// pack's payload in the table the next boot takes from the environment.
std::vector<int> torn_boot_partitions(const Expected &want, const Telephone &after_cut);

// Empty when the telephone holds the pack (payload, then erased bytes, in
// each partition's final window), the environment and configuration blocks
// as before the first run at their final places, and the boot environment
// of a clean run; else what is wrong, one item per line.
std::string judge(const Expected &want, const Telephone &phone);

struct CutResult {
    int cut = 0;
    Outcome outcome = Outcome::Other;
    std::string detail;
};

// Cut points as ranges: "1-3, 7" (sorted ones).
std::string ranges(const std::vector<int> &cuts);

// The table by phase, then the cut points of each loss as ranges.
std::string table(const std::string &name, const std::vector<std::string> &phases,
                  const std::vector<CutResult> &results, bool moves_blocks);

} // namespace faults

#endif
