// faults: the power-cut campaign. For each ROM pack manifest it makes the
// pack, counts the flash operations of a clean upgrade in a simulated
// telephone (the default one, or one made from a phonesim profile), and
// then, for every cut point (or an even sample), cuts the power there, boots
// the telephone again, reruns the same upgrade as the loader would and
// judges the telephone. Prints a line per cut on stderr and a table by phase
// per pack on stdout; exits with 1 when a cut lost the configuration or left
// the telephone neither recovered nor merely unbootable, or when a pack's
// clean run did not install it, 2 when the command line or an input is wrong.
#include "common/hosttool.h"
#include "faults/cutrun.h"
#include "faults/layouts.h"
#include "rompack/manifest.h"

#include <CLI/CLI.hpp>

#include <math.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

namespace
{

namespace fs = std::filesystem;
using faults::Outcome;

struct Settings {
    faults::RunSettings run;
    std::string layouts, work = "build/faults";
    int sample = 0, jobs = 0;
    double pause_scale = 0.01;
};

// Everything the campaign reads is checked before the first telephone is
// made: a bad manifest or profile is found in a second, not after minutes.
bool check_inputs(Settings *s, std::vector<std::string> &manifests,
                  std::vector<rompack::Manifest> *loaded, std::string *error)
{
    if (!(s->run.time_limit > 0) || !isfinite(s->run.time_limit)) {
        std::ostringstream given;
        given << s->run.time_limit;
        return *error =
                   "--time-limit " + given.str() + ": expected a number of seconds greater than 0",
               false;
    }
    phonesim::Profile profile = phonesim::default_profile();
    if (!s->run.profile.empty()) {
        if (!phonesim::load_profile(s->run.profile, &profile, error))
            return false;
        if (profile.power_cut.any())
            return *error = s->run.profile + ": power_cut: the campaign makes its own cuts, remove it",
                   false;
        s->run.profile = fs::absolute(s->run.profile).string();
    }
    if (!s->layouts.empty()) {
        uint32_t seed = 0;
        int count = 0;
        const std::string dir = fs::absolute(s->work).string() + "/layouts";
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (!faults::parse_layouts_option(s->layouts, &seed, &count, error) ||
            !faults::write_random_layouts(profile, seed, count, dir, &manifests, error))
            return false;
    }
    if (manifests.empty())
        return *error = "no MANIFEST and no --layouts: nothing to cut", false;
    for (const std::string &path : manifests) {
        loaded->emplace_back();
        if (!rompack::load_manifest(path, &loaded->back(), error))
            return false;
    }
    return faults::find_program("phonesim", "--phonesim", &s->run.phonesim, error) &&
           faults::find_program("upgrader", "--program", &s->run.program, error);
}

} // namespace

int main(int argc, char **argv)
{
    Settings s;
    std::vector<std::string> manifests;
    CLI::App app{"Power-cut campaign of ROM packs in the simulated telephone", "faults"};
    hosttool::add_version_flag(app);
    app.add_option("--phonesim", s.run.phonesim,
                   "the phonesim program (default: the one beside faults, or on PATH)")
        ->type_name("PATH");
    app.add_option("--program", s.run.program,
                   "the upgrader built for the PC (default: upgrader beside faults, or on PATH)")
        ->type_name("PATH");
    app.add_option("--profile", s.run.profile,
                   "phonesim profile (JSON) the telephones are made from (default: phonesim's)")
        ->type_name("FILE");
    app.add_option("--work", s.work, "where the telephones go (default build/faults)")
        ->type_name("DIR");
    app.add_option("--sample", s.sample, "cut points per pack, evenly spread (0: every one)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--jobs", s.jobs, "telephones at once (default: the processors)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--pause-scale", s.pause_scale, "phonesim's pause scale (default 0.01)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--time-limit", s.run.time_limit,
                   "how long each phonesim run may take, above 0 (default 120)")
        ->type_name("SECS");
    app.add_option("--layouts", s.layouts,
                   "also cut COUNT packs made from SEED that move mtd3 and mtd4 in every "
                   "relation to their old places (written to WORK/layouts)")
        ->type_name("random:SEED:COUNT");
    app.add_option("MANIFEST", manifests, "ROM pack manifests (rompack create)");
    int exit_code = hosttool::kExitOk;
    if (!hosttool::parse_command_line(app, argc, argv, &exit_code))
        return exit_code;
    std::vector<rompack::Manifest> loaded;
    std::string error;
    if (!check_inputs(&s, manifests, &loaded, &error)) {
        std::cerr << "faults: " << error << "\n";
        return hosttool::kExitUsage;
    }
    if (s.jobs <= 0)
        s.jobs = int(std::max(1u, std::thread::hardware_concurrency()));
    s.work = fs::absolute(s.work).string();
    s.run.clean_pause_scale = s.run.cut_pause_scale = s.pause_scale;

    int status = hosttool::kExitOk, tried = 0, failed = 0, counts[4] = {};
    for (size_t m = 0; m < manifests.size(); ++m) {
        const std::string name = fs::path(manifests[m]).stem().string();
        std::vector<uint8_t> bytes;
        std::error_code ec;
        fs::remove_all(s.work + "/" + name, ec);
        fs::create_directories(s.work + "/" + name, ec);
        const std::string pack = s.work + "/" + name + "/" + name + ".pack";
        if (!rompack::build_pack(loaded[m], &bytes, &error)) {
            std::cerr << "faults: " << manifests[m] << ": " << error << "\n";
            return hosttool::kExitUsage;
        }
        if (!hosttool::write_output(pack, bytes.data(), bytes.size(), 0644, &error)) {
            std::cerr << "faults: " << error << "\n";
            return hosttool::kExitFailed;
        }
        std::map<int, std::vector<uint8_t>> payloads;
        for (const rompack::PartitionSpec &p : loaded[m].pack.partitions)
            if (p.id <= 9)
                payloads[int(p.id)] = p.payload;
        faults::Campaign campaign(s.run, pack, s.work + "/" + name);
        if (!campaign.prepare(payloads, &error)) {
            std::cerr << "faults: " << name << ": " << error << "\n";
            status = hosttool::kExitFailed;
            ++failed;
            continue;
        }
        const std::vector<std::string> phases = campaign.phases();
        const std::vector<int> cuts = faults::cut_points(campaign.operations(), s.sample);
        // Every cut, not only the bad ones: a pack whose cuts all recover
        // would otherwise be silent until its table.
        auto progress = [&](const faults::CutResult &r, size_t done, const std::string &kept) {
            std::cerr << "faults: " << name << " cut " << done << "/" << cuts.size() << " at op "
                      << r.cut << " (" << phases.at(size_t(r.cut - 1))
                      << "): " << faults::outcome_name(r.outcome);
            if (!kept.empty())
                std::cerr << ": " << r.detail << "  [" << kept << "]";
            std::cerr << "\n";
        };
        std::vector<faults::CutResult> results = campaign.cut_all(cuts, s.jobs, progress);
        std::cout << faults::table(name, phases, results, campaign.moves_blocks())
                  << std::flush;
        for (const faults::CutResult &r : results) {
            ++counts[int(r.outcome)];
            if (r.outcome == Outcome::ConfigLost || r.outcome == Outcome::Other)
                status = hosttool::kExitFailed;
        }
        tried += int(results.size());
    }
    std::cout << "faults: " << manifests.size() << " packs, " << tried << " cut points, "
              << counts[int(Outcome::Recovered)] << " recovered, "
              << counts[int(Outcome::ConfigLost)] << " configuration lost, "
              << counts[int(Outcome::Unbootable)] << " unbootable, " << counts[int(Outcome::Other)]
              << " not recovered";
    if (failed > 0)
        std::cout << "; " << failed << " of the packs failed their clean run";
    std::cout << "\n";
    return status;
}
