// rehearse: a ROM pack on every telephone of a fleet before it ships. For
// each telephone profile of the fleet directory it records the check's
// decision, a whole upgrade in phonesim (what the user sees, what is
// written, how long the applications are down) and, with --cuts, power
// cuts on the way judged as the power-cut campaign judges them; then writes
// report.json and a self-contained report.html. --shard K/N runs one
// deterministic slice of the work; "rehearse merge" makes the report of
// the slices, the same as the unsharded run's.
//
// Exit status: 0 every telephone refused the pack as its profile expects,
// or took it and came through every cut (recovered, or merely unbootable in
// a boot-chain burn); 1 otherwise, or an output could not be written; 2 a
// bad command line or input.
#include "common/hosttool.h"
#include "rehearse/fleet.h"
#include "rehearse/html.h"

#include <CLI/CLI.hpp>

#include <math.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <thread>

namespace
{

namespace fs = std::filesystem;
using rehearse::Json;

constexpr uint64_t kShardLimit = 256ull << 20;

struct Options {
    std::string pack, fleet, out = "rehearsal", shard;
    int cuts = 0, jobs = 0;
    bool json = false;
    double time_limit = 120;
    std::string phonesim, program;
    std::vector<std::string> merge_inputs;
};

// report.json and report.html into dir, then the summary (or the JSON) on
// standard output. The exit status of the run.
int write_report(const Json &report, const std::string &dir, bool json)
{
    std::string error;
    std::error_code ec;
    fs::create_directories(dir, ec);
    const std::string text = report.dump(2) + "\n";
    const std::string html = rehearse::render_html(nlohmann::json::parse(report.dump()));
    if (!hosttool::write_output(dir + "/report.json", text, &error) ||
        !hosttool::write_output(dir + "/report.html", html, &error)) {
        std::cerr << "rehearse: " << error << "\n";
        return hosttool::kExitFailed;
    }
    if (json)
        std::cout << text;
    else
        std::cout << rehearse::summary_text(report) << "report: " << dir << "/report.html\n";
    std::cout << std::flush;
    return report["summary"].value("failed", 1) == 0 ? hosttool::kExitOk : hosttool::kExitFailed;
}

bool read_shard_files(const std::vector<std::string> &inputs, std::vector<Json> *shards,
                      std::string *error)
{
    std::vector<std::string> files;
    for (const std::string &in : inputs) {
        std::error_code ec;
        if (fs::is_directory(in, ec)) {
            std::vector<std::string> found;
            for (const auto &e : fs::directory_iterator(in, ec)) {
                const std::string name = e.path().filename().string();
                if (name.compare(0, 6, "shard-") == 0 && e.path().extension() == ".json")
                    found.push_back(e.path().string());
            }
            if (found.empty())
                return *error = in + ": no shard results (shard-K-of-N.json) in it", false;
            std::sort(found.begin(), found.end());
            files.insert(files.end(), found.begin(), found.end());
        } else {
            files.push_back(in);
        }
    }
    for (const std::string &file : files) {
        std::string text;
        if (!hosttool::read_input(file, kShardLimit, &text, error))
            return false;
        Json j = Json::parse(text, nullptr, false);
        if (j.is_discarded() || !j.is_object() || !j.contains("shard") || !j.contains("run") ||
            !j.contains("telephones") || !j["telephones"].is_array())
            return *error = file + ": not the results of a rehearse shard", false;
        shards->push_back(std::move(j));
    }
    return true;
}

int merge(const Options &o, bool out_given)
{
    std::vector<Json> shards;
    std::string error;
    Json report;
    try {
        if (!read_shard_files(o.merge_inputs, &shards, &error) ||
            !rehearse::merge_shards(shards, &report, &error)) {
            std::cerr << "rehearse: merge: " << error << "\n";
            return hosttool::kExitUsage;
        }
    } catch (const nlohmann::json::exception &e) {
        // A shard file that parses but was edited into another shape.
        std::cerr << "rehearse: merge: malformed shard results: " << e.what() << "\n";
        return hosttool::kExitUsage;
    }
    std::string dir = o.out;
    if (!out_given) {
        std::error_code ec;
        dir = fs::is_directory(o.merge_inputs[0], ec)
                  ? o.merge_inputs[0]
                  : fs::path(o.merge_inputs[0]).parent_path().string();
        if (dir.empty())
            dir = ".";
    }
    return write_report(report, dir, o.json);
}

int rehearse_fleet(Options &o)
{
    const auto start = std::chrono::steady_clock::now();
    std::string error;
    int k = 1, n = 1;
    if (!o.shard.empty() && !rehearse::parse_shard(o.shard, &k, &n, &error)) {
        std::cerr << "rehearse: " << error << "\n";
        return hosttool::kExitUsage;
    }
    if (!(o.time_limit > 0) || !isfinite(o.time_limit)) {
        std::cerr << "rehearse: --time-limit: expected a number of seconds greater than 0\n";
        return hosttool::kExitUsage;
    }
    hosttool::ScratchDir scratch("rehearse");
    if (!scratch.ok()) {
        std::cerr << "rehearse: " << scratch.error() << "\n";
        return hosttool::kExitFailed;
    }
    rehearse::Plan plan;
    rehearse::ShardSettings s;
    s.k = k;
    s.n = n;
    s.jobs = o.jobs > 0 ? o.jobs : int(std::max(1u, std::thread::hardware_concurrency()));
    s.work = scratch.path();
    s.keep = fs::absolute(o.out).string() + "/telephones";
    s.run.phonesim = o.phonesim;
    s.run.program = o.program;
    s.run.time_limit = o.time_limit;
    if (!rehearse::load_plan(o.pack, o.fleet, o.cuts, s.work, &plan, &error) ||
        !faults::find_program("phonesim", "--phonesim", &s.run.phonesim, &error) ||
        !faults::find_program("upgrader", "--program", &s.run.program, &error)) {
        std::cerr << "rehearse: " << error << "\n";
        return hosttool::kExitUsage;
    }
    {
        std::error_code ec;
        fs::create_directories(o.out, ec);
        if (ec || access(o.out.c_str(), W_OK) != 0) {
            std::cerr << "rehearse: "
                      << hosttool::path_error(o.out, "cannot write into", ec ? ec.value() : errno)
                      << "\n";
            return hosttool::kExitUsage;
        }
    }
    // The telephones kept by an earlier rehearsal into the same place would
    // read as this one's; shards sharing a place keep each other's.
    if (o.shard.empty()) {
        std::error_code ec;
        fs::remove_all(s.keep, ec);
    }
    if (!rehearse::verify_fleet(&plan, &error)) {
        std::cerr << "rehearse: " << error << "\n";
        return hosttool::kExitUsage;
    }
    // The pauses of the clean run are measured at half their length; the
    // cuts only need the flash operations in order.
    s.run.clean_pause_scale = 0.5;
    s.run.cut_pause_scale = 0.01;
    // The clean run's report keeps the screens, partitions and boot
    // environment of the page, without PNG frames; a cut is judged from the
    // chip, so its runs record briefly.
    const std::string keys = rehearse::reboot_presses(o.time_limit);
    s.run.clean_args = {"--record", "report", "--keys", keys};
    s.run.cut_args = {"--record", "brief", "--keys", keys};
    Json shard = rehearse::run_shard(plan, s);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    shard["times"] = {{"wall_s", std::round(wall * 10) / 10}};
    if (!o.shard.empty()) {
        const std::string file = o.out + "/shard-" + std::to_string(k) + "-of-" +
                                 std::to_string(n) + ".json";
        if (!hosttool::write_output(file, shard.dump(1) + "\n", &error)) {
            std::cerr << "rehearse: " << error << "\n";
            return hosttool::kExitFailed;
        }
        std::cerr << "rehearse: shard " << k << "/" << n << " written to " << file << "\n";
        return hosttool::kExitOk;
    }
    Json report;
    if (!rehearse::merge_shards({shard}, &report, &error)) {
        std::cerr << "rehearse: " << error << "\n";
        return hosttool::kExitFailed;
    }
    return write_report(report, o.out, o.json);
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    CLI::App app{"Rehearse a ROM pack on a fleet of simulated telephones", "rehearse"};
    hosttool::add_version_flag(app);
    app.add_option("PACK", o.pack, "ROM pack, or a rompack manifest to build first (- = stdin)");
    app.add_option("--fleet", o.fleet, "directory of telephone profiles (*.json)")
        ->type_name("DIR");
    app.add_option("--cuts", o.cuts, "power cuts per telephone, evenly spread (default 0)")
        ->check(CLI::NonNegativeNumber);
    auto *out = app.add_option("--out", o.out, "where report.json and report.html go "
                                               "(default rehearsal)")
                    ->type_name("DIR");
    app.add_option("--jobs", o.jobs, "telephones at once (default: the processors)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--shard", o.shard, "run only the K-th of N slices of the work and write "
                                       "OUT/shard-K-of-N.json")
        ->type_name("K/N");
    app.add_flag("--json", o.json, "print report.json instead of the summary");
    app.add_option("--time-limit", o.time_limit,
                   "how long each phonesim run may take, above 0 (default 120)")
        ->type_name("SECS");
    app.add_option("--phonesim", o.phonesim,
                   "the phonesim program (default: the one beside rehearse, or on PATH)")
        ->type_name("PATH");
    app.add_option("--program", o.program,
                   "the upgrader built for the PC (default: upgrader beside rehearse, or on PATH)")
        ->type_name("PATH");
    CLI::App *merge_cmd =
        app.add_subcommand("merge", "make the report from the shard results in OUT...");
    merge_cmd->add_option("OUT", o.merge_inputs, "directories of shard results, or the files")
        ->required();
    auto *merge_out = merge_cmd->add_option("--out", o.out,
                                            "where the report goes (default: the first OUT)")
                          ->type_name("DIR");
    merge_cmd->add_flag("--json", o.json, "print report.json instead of the summary");
    int exit_code = hosttool::kExitOk;
    if (!hosttool::parse_command_line(app, argc, argv, &exit_code))
        return exit_code;
    if (merge_cmd->parsed())
        return merge(o, merge_out->count() > 0);
    (void)out;
    if (o.pack.empty() || o.fleet.empty()) {
        std::cerr << "rehearse: give PACK and --fleet DIR (or: rehearse merge OUT...); see "
                     "--help\n";
        return hosttool::kExitUsage;
    }
    return rehearse_fleet(o);
}
