// The fleet rehearsal: one ROM pack on every telephone of a fleet directory,
// as the telephone's check decides, as a whole upgrade in phonesim ends and
// as power cuts on the way leave the telephone. The work is a list of jobs,
// (telephone, clean run) and (telephone, cut i), that shards can split
// deterministically; each shard writes its results, and the report is made
// from the results of all shards alike.
#ifndef REHEARSE_FLEET_H
#define REHEARSE_FLEET_H

#include "faults/cutrun.h"
#include "phonesim/profile.h"

#include <nlohmann/json.hpp>

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace rehearse
{

using Json = nlohmann::ordered_json;

struct Telephone {
    std::string name; // the profile's file name without .json
    std::string path; // the profile file
    std::string sha256;
    phonesim::Profile profile;
    Json verify; // the check's decision, see verify_fleet
};

// What every shard of a run shares.
struct Plan {
    std::string pack_label, fleet_label; // as given on the command line
    std::string pack_path;               // absolute, for phonesim
    std::vector<uint8_t> pack;
    std::map<int, std::vector<uint8_t>> payloads; // flash partitions of the pack
    Json pack_info;
    std::vector<Telephone> phones; // sorted by name
    int cuts = 0;
};

// Reads PACK (a pack, or a manifest that is built into work_dir) and every
// DIR/*.json profile of the fleet. false with *error naming the file.
bool load_plan(const std::string &pack_arg, const std::string &fleet_dir, int cuts,
               const std::string &work_dir, Plan *plan, std::string *error);

// The check of every telephone, in this process and one at a time (the
// check is the program's own code, with its process-wide state). false
// with *error when a telephone cannot be described.
bool verify_fleet(Plan *plan, std::string *error);

struct ShardSettings {
    int k = 1, n = 1; // the k-th of n slices, from 1
    int jobs = 1;
    std::string work;  // scratch telephones; removed afterwards
    std::string keep;  // telephones whose cut went wrong go here
    faults::RunSettings run;
};

// "K/N" with 1 <= K <= N.
bool parse_shard(const std::string &text, int *k, int *n, std::string *error);

// Runs the shard's jobs and returns its results (written as
// shard-K-of-N.json by the caller). Progress lines go to stderr.
Json run_shard(const Plan &plan, const ShardSettings &settings);

// The report from the results of all shards of one run (one shard for an
// unsharded run). false with *error when shards are missing, repeated or
// from different runs.
bool merge_shards(const std::vector<Json> &shards, Json *report, std::string *error);

// The summary table people read in a terminal.
std::string summary_text(const Json &report);

// Presses of the Reboot soft key at every second of a run up to its time
// limit: a telephone left on a failure screen reboots instead of waiting
// for the limit, and keys on the upgrade's own screens do nothing.
std::string reboot_presses(double time_limit);

} // namespace rehearse

#endif
