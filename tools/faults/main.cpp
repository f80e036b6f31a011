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
#include "faults/campaign.h"
#include "faults/layouts.h"
#include "rompack/manifest.h"
#include "upgrader/rompack_codes.h"

#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <math.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

extern char **environ;

namespace
{

namespace fs = std::filesystem;
using faults::Outcome;

// Exit statuses of "phonesim upgrade".
constexpr int kRebooted = 100;
constexpr int kPowerCut = 101;
constexpr int kRefused = 102;  // rebooted from a failure screen
constexpr int kNoReboot = 103; // the program ended without asking for one
constexpr int kTimeLimit = 124;
constexpr int kRunFailed = 125; // phonesim could not make the run

struct Settings {
    std::string phonesim, program, profile, layouts, work = "build/faults";
    int sample = 0, jobs = 0;
    double pause_scale = 0.01, time_limit = 120;
};

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool spill(const std::string &path, const void *data, size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char *>(data), std::streamsize(size));
    return bool(out.flush());
}

std::string first_line(const std::string &text)
{
    return text.substr(0, text.find('\n'));
}

// A program named by an option, or else the one of that name beside faults
// (as the package installs them), or else on PATH. false with *error.
bool find_program(const std::string &name, const std::string &option, std::string *path,
                  std::string *error)
{
    if (!path->empty()) {
        if (access(path->c_str(), X_OK) != 0)
            return *error = hosttool::path_error(*path, "cannot run it", errno), false;
        *path = fs::absolute(*path).string();
        return true;
    }
    std::error_code ec;
    std::string dirs = fs::read_symlink("/proc/self/exe", ec).parent_path().string();
    if (const char *env = getenv("PATH"))
        dirs += std::string(":") + env;
    std::istringstream in(dirs);
    for (std::string dir; std::getline(in, dir, ':');) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (fs::is_regular_file(candidate, ec) && access(candidate.c_str(), X_OK) == 0)
            return *path = fs::absolute(candidate).string(), true;
    }
    return *error = "no " + name + " beside faults or on PATH: give " + option + " PATH", false;
}

// The program's first line at error level in the report of a run, without
// the "upgrader pidN,tidN,lN: " of the system log, and the name of the
// check's code when the line gives one ("ID:-74").
std::string first_error(const std::string &last_run)
{
    nlohmann::json report = nlohmann::json::parse(slurp(last_run + "/report.json"), nullptr, false);
    if (!report.is_object() || !report.contains("log") || !report["log"].is_array())
        return "";
    for (const nlohmann::json &line : report["log"]) {
        if (!line.is_object() || line.value("level", 7) > 3)
            continue;
        std::string text = first_line(line.value("text", ""));
        const size_t colon = text.find(": ");
        if (colon != std::string::npos && text.find(",tid") < colon)
            text.erase(0, colon + 2);
        const size_t id = text.find("ID:");
        if (id != std::string::npos)
            text += std::string(" (") + upd_msg_name(atoi(text.c_str() + id + 3)) + ")";
        return text;
    }
    return "";
}

// Why a run of "phonesim upgrade" in dir that should have rebooted did
// not, in words, with the program's first error when it logged one.
std::string why_not_rebooted(int status, const std::string &dir, double time_limit)
{
    const std::string last_run = phonesim::Paths{dir}.last_run();
    const std::string said = first_error(last_run);
    std::string why;
    switch (status) {
    case kRefused:
        why = "the telephone refused the pack and rebooted from the failure screen";
        break;
    case kPowerCut:
        why = "the power was cut (does the profile set power_cut?)";
        break;
    case kNoReboot:
        why = "the program ended without a reboot (" +
              first_line(slurp(last_run + "/summary.txt")) + ")";
        break;
    case kTimeLimit:
        why = "it was still running at the time limit of " + std::to_string(int(time_limit)) +
              " s (--time-limit)";
        break;
    case kRunFailed:
        why = "phonesim could not make the run";
        break;
    default:
        why = "it ended with status " + std::to_string(status);
    }
    if (!said.empty())
        why += "; the program's first error: " + said;
    return why + "; see " + dir + ".log";
}

// Runs a command with its output into log; its exit status, or -1.
int run(const std::vector<std::string> &args, const std::string &log)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (rc != 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// One pack's campaign.
class Campaign
{
  public:
    Campaign(const Settings &settings, std::string name, std::string pack)
        : s_(settings), name_(std::move(name)), pack_(std::move(pack)),
          dir_(s_.work + "/" + name_)
    {
    }

    // The clean run: what the telephone holds before and after, and the
    // flash operations. false with *error when it does not install the pack.
    bool prepare(const rompack::PackSpec &recipe, std::string *error)
    {
        for (const rompack::PartitionSpec &p : recipe.partitions)
            if (p.id <= 9)
                want_.payloads[int(p.id)] = p.payload;
        // The old firmware and a used configuration: bytes no erase or
        // payload can be mistaken for.
        want_.chip_before.resize(faults::kChipSize);
        std::mt19937 random(20261208);
        for (uint8_t &b : want_.chip_before)
            b = uint8_t(random());
        const std::string clean = dir_ + "/clean";
        if (!fresh(clean, error))
            return false;
        const faults::Layout before =
            faults::layout_from_env(faults::parse_env(slurp(phonesim::Paths{clean}.bootenv())));
        for (auto [p, block] : {std::pair{3, &want_.env_block}, {4, &want_.config_block}}) {
            auto w = before.find(p);
            if (w == before.end())
                return *error = "no mtd" + std::to_string(p) + " in the boot environment", false;
            block->assign(want_.chip_before.begin() + (w->second.start - faults::kChipBase),
                          want_.chip_before.begin() + (w->second.end - faults::kChipBase));
        }
        int status = upgrade(clean, 0);
        if (status != kRebooted)
            return *error = "the clean run did not install the pack: " +
                            why_not_rebooted(status, clean, s_.time_limit),
                   false;
        if (!read_operations(phonesim::Paths{clean}.last_run() + "/report.json", error))
            return false;
        faults::Telephone phone = read_phone(clean);
        want_.env_after = phone.env;
        std::string wrong = faults::judge(want_, phone);
        if (!wrong.empty())
            return *error = "the clean run does not install the pack:\n" + wrong, false;
        moves_blocks_ = std::count_if(ops_.begin(), ops_.end(), [](const faults::Operation &op) {
                            return op.kind == "move" && (op.mtd == 3 || op.mtd == 4);
                        }) > 0;
        return true;
    }

    std::vector<faults::CutResult> cut_all(const std::vector<int> &cuts)
    {
        std::vector<faults::CutResult> results(cuts.size());
        std::atomic<size_t> next{0};
        size_t done = 0;
        std::mutex print;
        static const char *const outcomes[] = {"recovered", "configuration lost", "unbootable",
                                               "not recovered"};
        auto worker = [&](int id) {
            const std::string dir = dir_ + "/w" + std::to_string(id);
            for (size_t i; (i = next++) < cuts.size();) {
                const faults::CutResult r = results[i] = cut_once(dir, cuts[i]);
                std::string kept;
                if (r.outcome != Outcome::Recovered) {
                    std::error_code ec;
                    kept = dir_ + "/cut-" + std::to_string(cuts[i]);
                    fs::remove_all(kept, ec);
                    fs::rename(dir, kept, ec);
                    fs::rename(dir + ".log", kept + ".log", ec);
                }
                // Every cut, not only the bad ones: a pack whose cuts all
                // recover would otherwise be silent until its table.
                std::lock_guard<std::mutex> lock(print);
                std::cerr << "faults: " << name_ << " cut " << ++done << "/" << cuts.size()
                          << " at op " << r.cut << " (" << phases().at(size_t(r.cut - 1))
                          << "): " << outcomes[int(r.outcome)];
                if (!kept.empty())
                    std::cerr << ": " << r.detail << "  [" << kept << "]";
                std::cerr << "\n";
            }
        };
        std::vector<std::thread> threads;
        for (int j = 0; j < std::max(1, s_.jobs); ++j)
            threads.emplace_back(worker, j);
        for (std::thread &t : threads)
            t.join();
        return results;
    }

    int operations() const { return int(ops_.size()); }
    std::vector<std::string> phases() const { return faults::phases_of(ops_); }
    bool moves_blocks() const { return moves_blocks_; }

  private:
    bool fresh(const std::string &dir, std::string *error)
    {
        std::error_code ec;
        fs::create_directories(dir, ec);
        fs::remove(dir + ".log", ec); // one log per telephone made
        std::vector<std::string> init = {s_.phonesim, "init", dir, "--program", s_.program};
        if (!s_.profile.empty())
            init.insert(init.end(), {"--profile", s_.profile});
        if (run(init, dir + ".log") != 0)
            return *error = "phonesim init " + dir + " failed, see " + dir + ".log", false;
        const std::string flash = phonesim::Paths{dir}.flash();
        if (!spill(flash, want_.chip_before.data(), want_.chip_before.size()))
            return *error = "cannot write " + flash, false;
        return true;
    }

    int upgrade(const std::string &dir, int cut)
    {
        std::vector<std::string> args = {s_.phonesim,
                                         "upgrade",
                                         dir,
                                         pack_,
                                         "--mode",
                                         "shm",
                                         "--state",
                                         "0",
                                         "--pause-scale",
                                         std::to_string(s_.pause_scale),
                                         "--time-limit",
                                         std::to_string(s_.time_limit)};
        if (cut > 0)
            args.insert(args.end(), {"--cut-at", std::to_string(cut)});
        return run(args, dir + ".log");
    }

    bool read_operations(const std::string &report, std::string *error)
    {
        nlohmann::json r = nlohmann::json::parse(slurp(report), nullptr, false);
        if (r.is_discarded() || !r.contains("flash_ops") || !r["flash_ops"].is_array())
            return *error = report + ": no flash_ops", false;
        for (const nlohmann::json &op : r["flash_ops"]) {
            faults::Operation o;
            o.kind = op.value("kind", "");
            o.mtd = op.contains("mtd") && op["mtd"].is_number_integer() ? op["mtd"].get<int>() : -1;
            ops_.push_back(o);
        }
        return !ops_.empty() || (*error = report + ": no flash operation", false);
    }

    faults::Telephone read_phone(const std::string &dir) const
    {
        faults::Telephone phone;
        const phonesim::Paths paths{dir};
        std::string chip = slurp(paths.flash());
        phone.chip.assign(chip.begin(), chip.end());
        phone.env = faults::parse_env(slurp(paths.bootenv()));
        phone.layout = faults::layout_from_file(slurp(paths.layout()));
        return phone;
    }

    faults::CutResult cut_once(const std::string &dir, int cut)
    {
        faults::CutResult r;
        r.cut = cut;
        std::string error;
        if (!fresh(dir, &error))
            return r.detail = error, r;
        int first = upgrade(dir, cut);
        if (first != kPowerCut)
            return r.detail = "not cut: " + why_not_rebooted(first, dir, s_.time_limit), r;
        std::vector<int> torn = faults::torn_boot_partitions(want_, read_phone(dir));
        int second = upgrade(dir, 0);
        r.detail = faults::judge(want_, read_phone(dir));
        if (second != kRebooted)
            r.detail +=
                "the rerun did not reboot: " + why_not_rebooted(second, dir, s_.time_limit) + "\n";
        if (r.detail.find("block lost") != std::string::npos)
            r.outcome = Outcome::ConfigLost;
        else if (!torn.empty())
            r.outcome = Outcome::Unbootable;
        else if (r.detail.empty())
            r.outcome = Outcome::Recovered;
        for (int p : torn)
            r.detail += "mtd" + std::to_string(p) + " torn by the cut\n";
        std::replace(r.detail.begin(), r.detail.end(), '\n', ';');
        return r;
    }

    const Settings &s_;
    std::string name_, pack_, dir_;
    faults::Expected want_;
    std::vector<faults::Operation> ops_;
    bool moves_blocks_ = false;
};

// Everything the campaign reads is checked before the first telephone is
// made: a bad manifest or profile is found in a second, not after minutes.
bool check_inputs(Settings *s, std::vector<std::string> &manifests,
                  std::vector<rompack::Manifest> *loaded, std::string *error)
{
    if (!(s->time_limit > 0) || !isfinite(s->time_limit)) {
        std::ostringstream given;
        given << s->time_limit;
        return *error =
                   "--time-limit " + given.str() + ": expected a number of seconds greater than 0",
               false;
    }
    phonesim::Profile profile = phonesim::default_profile();
    if (!s->profile.empty()) {
        if (!phonesim::load_profile(s->profile, &profile, error))
            return false;
        if (profile.power_cut.any())
            return *error = s->profile + ": power_cut: the campaign makes its own cuts, remove it",
                   false;
        s->profile = fs::absolute(s->profile).string();
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
    return find_program("phonesim", "--phonesim", &s->phonesim, error) &&
           find_program("upgrader", "--program", &s->program, error);
}

} // namespace

int main(int argc, char **argv)
{
    Settings s;
    std::vector<std::string> manifests;
    CLI::App app{"Power-cut campaign of ROM packs in the simulated telephone", "faults"};
    hosttool::add_version_flag(app);
    app.add_option("--phonesim", s.phonesim,
                   "the phonesim program (default: the one beside faults, or on PATH)")
        ->type_name("PATH");
    app.add_option("--program", s.program,
                   "the upgrader built for the PC (default: upgrader beside faults, or on PATH)")
        ->type_name("PATH");
    app.add_option("--profile", s.profile,
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
    app.add_option("--time-limit", s.time_limit,
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
        Campaign campaign(s, name, pack);
        if (!campaign.prepare(loaded[m].pack, &error)) {
            std::cerr << "faults: " << name << ": " << error << "\n";
            status = hosttool::kExitFailed;
            ++failed;
            continue;
        }
        std::vector<faults::CutResult> results =
            campaign.cut_all(faults::cut_points(campaign.operations(), s.sample));
        std::cout << faults::table(name, campaign.phases(), results, campaign.moves_blocks())
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
