// faults: the power-cut campaign. For each ROM pack manifest it makes the
// pack, counts the flash operations of a clean upgrade in a simulated
// telephone, and then, for every cut point (or an even sample), cuts the
// power there, boots the telephone again, reruns the same upgrade as the
// loader would and judges the telephone. Prints a table by phase per pack;
// exits with 1 when a cut lost the configuration or left the telephone
// neither recovered nor merely unbootable, 2 when the campaign could not be
// made.
#include "faults/campaign.h"
#include "rompack/manifest.h"

#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Exit statuses of "phonesim upgrade" the campaign expects.
constexpr int kRebooted = 100;
constexpr int kPowerCut = 101;

struct Settings {
    std::string phonesim, program, work = "build/faults";
    int sample = 0, jobs = 0;
    double pause_scale = 0.01;
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
            return *error = "the clean run ended with status " + std::to_string(status) + ", see " +
                            clean + ".log",
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
        std::mutex print;
        auto worker = [&](int id) {
            const std::string dir = dir_ + "/w" + std::to_string(id);
            for (size_t i; (i = next++) < cuts.size();) {
                results[i] = cut_once(dir, cuts[i]);
                if (results[i].outcome == Outcome::Recovered)
                    continue;
                std::error_code ec;
                const std::string kept = dir_ + "/cut-" + std::to_string(cuts[i]);
                fs::remove_all(kept, ec);
                fs::rename(dir, kept, ec);
                fs::rename(dir + ".log", kept + ".log", ec);
                std::lock_guard<std::mutex> lock(print);
                std::cerr << name_ << ": cut " << cuts[i] << " (" << phases().at(size_t(cuts[i] - 1))
                          << "): " << results[i].detail << "  [" << kept << "]\n";
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
        if (run({s_.phonesim, "init", dir, "--program", s_.program}, dir + ".log") != 0)
            return *error = "phonesim init " + dir + " failed, see " + dir + ".log", false;
        const std::string flash = phonesim::Paths{dir}.flash();
        if (!spill(flash, want_.chip_before.data(), want_.chip_before.size()))
            return *error = "cannot write " + flash, false;
        return true;
    }

    int upgrade(const std::string &dir, int cut)
    {
        std::vector<std::string> args = {s_.phonesim,     "upgrade",       dir, pack_, "--mode",
                                         "shm",           "--state",       "0", "--pause-scale",
                                         std::to_string(s_.pause_scale), "--time-limit", "120"};
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
            return r.detail = "the run ended with status " + std::to_string(first) +
                              ", not with the power cut",
                   r;
        std::vector<int> torn = faults::torn_boot_partitions(want_, read_phone(dir));
        int second = upgrade(dir, 0);
        r.detail = faults::judge(want_, read_phone(dir));
        if (second != kRebooted)
            r.detail += "the rerun ended with status " + std::to_string(second) + "\n";
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

} // namespace

int main(int argc, char **argv)
{
    Settings s;
    std::vector<std::string> manifests;
    CLI::App app{"Power-cut campaign of ROM packs in the simulated telephone"};
    app.add_option("--phonesim", s.phonesim, "the phonesim program")->required();
    app.add_option("--program", s.program, "the upgrader (host build)")->required();
    app.add_option("--work", s.work, "where the telephones go (default build/faults)");
    app.add_option("--sample", s.sample, "cut points per pack, evenly spread (0: every one)");
    app.add_option("--jobs", s.jobs, "telephones at once (default: the processors)");
    app.add_option("--pause-scale", s.pause_scale, "phonesim's pause scale (default 0.01)");
    app.add_option("MANIFEST", manifests, "ROM pack manifests (rompack create)")->required();
    CLI11_PARSE(app, argc, argv);
    if (s.jobs <= 0)
        s.jobs = int(std::max(1u, std::thread::hardware_concurrency()));
    s.phonesim = fs::absolute(s.phonesim).string();
    s.program = fs::absolute(s.program).string();
    s.work = fs::absolute(s.work).string();

    int status = 0, tried = 0, counts[4] = {};
    for (const std::string &path : manifests) {
        const std::string name = fs::path(path).stem().string();
        rompack::Manifest manifest;
        std::vector<uint8_t> bytes;
        std::string error;
        std::error_code ec;
        fs::remove_all(s.work + "/" + name, ec);
        fs::create_directories(s.work + "/" + name, ec);
        const std::string pack = s.work + "/" + name + "/" + name + ".pack";
        if (!rompack::load_manifest(path, &manifest, &error) ||
            !rompack::build_pack(manifest, &bytes, &error) ||
            !spill(pack, bytes.data(), bytes.size())) {
            std::cerr << "faults: " << (error.empty() ? "cannot write " + pack : error) << "\n";
            return 2;
        }
        Campaign campaign(s, name, pack);
        if (!campaign.prepare(manifest.pack, &error)) {
            std::cerr << "faults: " << name << ": " << error << "\n";
            return 2;
        }
        std::vector<faults::CutResult> results =
            campaign.cut_all(faults::cut_points(campaign.operations(), s.sample));
        std::cout << faults::table(name, campaign.phases(), results, campaign.moves_blocks())
                  << std::flush;
        for (const faults::CutResult &r : results) {
            ++counts[int(r.outcome)];
            if (r.outcome == Outcome::ConfigLost || r.outcome == Outcome::Other)
                status = 1;
        }
        tried += int(results.size());
    }
    std::cout << "faults: " << manifests.size() << " packs, " << tried << " cut points, "
              << counts[int(Outcome::Recovered)] << " recovered, "
              << counts[int(Outcome::ConfigLost)] << " configuration lost, "
              << counts[int(Outcome::Unbootable)] << " unbootable, "
              << counts[int(Outcome::Other)] << " not recovered\n";
    return status;
}
