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
#include <nlohmann/json.hpp>

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
    std::string layouts, work = "build/faults", target, mode, cuts;
    bool json = false;
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
            return *error =
                       s->run.profile + ": power_cut: the campaign makes its own cuts, remove it",
                   false;
        s->run.profile = fs::absolute(s->run.profile).string();
    }
    std::vector<int> none;
    if (!s->cuts.empty() && !faults::cut_list(s->cuts, {}, &none, error))
        return false;
    if (!s->target.empty()) {
        if (s->mode == "shm")
            return *error = "--mode shm: the MIPS guest has no loader to hand the pack over in "
                            "shared memory; use file or direct",
                   false;
        if (!faults::find_guest(s->target, &s->run.guest, error))
            return false;
        s->run.guest.hwver = profile.hwver;
        s->run.guest.software = profile.software;
    }
    s->run.mode = !s->mode.empty() ? s->mode : s->target.empty() ? "shm" : "file";
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
    app.add_option("--cuts", s.cuts,
                   "cut at these flash operations of each pack instead: numbers and ranges A-B, "
                   "\"phases\" (the middle operation of every phase), \"last\"; comma-separated")
        ->type_name("LIST")
        ->excludes("--sample");
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
    app.add_option("--mode", s.mode,
                   "how the loader hands the pack over: shm (default), file or direct")
        ->check(CLI::IsMember({"shm", "file", "direct"}));
    app.add_option("--target", s.target,
                   "run every upgrade on the MIPS kernel under QEMU instead of phonesim: DIR "
                   "holds vmlinuz and initramfs.cpio as scripts/target-check.sh makes them "
                   "(default mode: file)")
        ->type_name("DIR");
    app.add_flag("--json", s.json,
                 "print the results as JSON on stdout instead of the tables: per pack its "
                 "operations and every cut with its phase, outcome and what was wrong");
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
    // With --json the tables go to stderr beside the progress, and stdout
    // holds the document alone.
    std::ostream &out = s.json ? std::cerr : std::cout;
    nlohmann::json doc = {{"packs", nlohmann::json::array()}};
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
            doc["packs"].push_back({{"pack", name}, {"error", error}});
            status = hosttool::kExitFailed;
            ++failed;
            continue;
        }
        const std::vector<std::string> phases = campaign.phases();
        std::vector<int> cuts = faults::cut_points(campaign.operations(), s.sample);
        if (!s.cuts.empty())
            faults::cut_list(s.cuts, phases, &cuts, &error); // the words were checked before
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
        out << faults::table(name, phases, results, campaign.moves_blocks()) << std::flush;
        nlohmann::json entry = {{"pack", name},
                                {"operations", campaign.operations()},
                                {"cuts", nlohmann::json::array()}};
        for (const faults::CutResult &r : results) {
            entry["cuts"].push_back({{"cut", r.cut},
                                     {"phase", phases.at(size_t(r.cut - 1))},
                                     {"outcome", faults::outcome_name(r.outcome)},
                                     {"detail", r.detail}});
            ++counts[int(r.outcome)];
            if (r.outcome == Outcome::ConfigLost || r.outcome == Outcome::Other)
                status = hosttool::kExitFailed;
        }
        doc["packs"].push_back(entry);
        tried += int(results.size());
    }
    out << "faults: " << manifests.size() << " packs, " << tried << " cut points, "
        << counts[int(Outcome::Recovered)] << " recovered, " << counts[int(Outcome::ConfigLost)]
        << " configuration lost, " << counts[int(Outcome::Unbootable)] << " unbootable, "
        << counts[int(Outcome::Other)] << " not recovered";
    if (failed > 0)
        out << "; " << failed << " of the packs failed their clean run";
    out << "\n";
    if (s.json) {
        doc["cut_points"] = tried;
        for (Outcome o :
             {Outcome::Recovered, Outcome::ConfigLost, Outcome::Unbootable, Outcome::Other})
            doc[faults::outcome_name(o)] = counts[int(o)];
        doc["failed_packs"] = failed;
        std::cout << doc.dump(2) << "\n";
    }
    return status;
}
