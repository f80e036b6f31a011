#include "faults/cutrun.h"
#include "common/hosttool.h"
#include "phonesim/profile.h"
#include "upgrader/rompack_codes.h"
#include "upgrader/rompack_read.h"

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

extern char **environ;

namespace faults
{

namespace
{

namespace fs = std::filesystem;

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

} // namespace

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
    const std::string self = fs::read_symlink("/proc/self/exe", ec).filename().string();
    return *error = "no " + name + " beside " + self + " or on PATH: give " + option + " PATH",
           false;
}

// In one read of the file's size: the chip is 8 MiB and is read twice per
// cut, so a growing stream buffer costs more than the run that wrote it.
std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = in ? std::streamoff(in.tellg()) : 0;
    std::string text(size > 0 ? size_t(size) : 0, '\0');
    in.seekg(0);
    if (!in.read(&text[0], std::streamsize(text.size())))
        text.resize(size_t(std::max<std::streamsize>(0, in.gcount())));
    return text;
}

std::string log_text(std::string text)
{
    const size_t colon = text.find(": ");
    if (colon != std::string::npos && text.find(",tid") < colon)
        text.erase(0, colon + 2);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::string first_error(const std::string &last_run)
{
    nlohmann::json report = nlohmann::json::parse(slurp(last_run + "/report.json"), nullptr, false);
    if (!report.is_object() || !report.contains("log") || !report["log"].is_array())
        return "";
    for (const nlohmann::json &line : report["log"]) {
        if (!line.is_object() || line.value("level", 7) > 3)
            continue;
        std::string text = log_text(first_line(line.value("text", "")));
        const size_t id = text.find("ID:");
        if (id != std::string::npos)
            text += std::string(" (") + upd_msg_name(atoi(text.c_str() + id + 3)) + ")";
        return text;
    }
    return "";
}

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

int run_logged(const std::vector<std::string> &args, const std::string &log)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
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

bool pack_payloads(const std::vector<uint8_t> &pack, std::map<int, std::vector<uint8_t>> *payloads,
                   std::string *error)
{
    Rom_Header h;
    int code = rompack_read_rom_header(pack.data(), pack.size(), &h);
    uint64_t offset = 12ull + h.rom_header_size;
    for (uint32_t i = 0; code == 0 && i < h.partition_num; ++i) {
        Partition_Header p;
        code = rompack_read_partition_header(pack.data(), pack.size(), &offset, &p);
        // The reader has checked that the payload lies inside the pack.
        if (code == 0 && p.partition_id <= 9 && p.partition_type == 0)
            (*payloads)[int(p.partition_id)].assign(pack.begin() + p.partition_offset,
                                                    pack.begin() + p.partition_offset +
                                                        p.partition_size);
    }
    if (code != 0)
        *error = std::string("not a readable ROM pack: ") + upd_msg_name(code) + " (" +
                 std::to_string(code) + ")";
    return code == 0;
}

const char *outcome_name(Outcome outcome)
{
    static const char *const names[] = {"recovered", "configuration lost", "unbootable",
                                        "not recovered"};
    return names[int(outcome)];
}

bool Campaign::prepare(const std::map<int, std::vector<uint8_t>> &payloads, std::string *error,
                       int *status_out)
{
    want_.payloads = payloads;
    // The old firmware and a used configuration: bytes no erase or payload
    // can be mistaken for.
    want_.chip_before.resize(kChipSize);
    std::mt19937 random(20261208);
    for (uint8_t &b : want_.chip_before)
        b = uint8_t(random());
    const std::string clean = clean_dir();
    if (!fresh(clean, error))
        return false;
    const Layout before = layout_from_env(parse_env(slurp(phonesim::Paths{clean}.bootenv())));
    for (auto [p, block] : {std::pair{3, &want_.env_block}, {4, &want_.config_block}}) {
        auto w = before.find(p);
        if (w == before.end())
            return *error = "no mtd" + std::to_string(p) + " in the boot environment", false;
        block->assign(want_.chip_before.begin() + (w->second.start - kChipBase),
                      want_.chip_before.begin() + (w->second.end - kChipBase));
    }
    const int status = upgrade(clean, 0, true);
    if (status_out != nullptr)
        *status_out = status;
    if (status != kRebooted)
        return *error = "the clean run did not install the pack: " +
                        why_not_rebooted(status, clean, s_.time_limit),
               false;
    if (s_.guest.on() ? !target_operations(clean, &ops_, error)
                      : !read_operations(phonesim::Paths{clean}.last_run() + "/report.json", error))
        return false;
    Telephone phone = read_phone(clean);
    want_.env_after = phone.env;
    std::string wrong = judge(want_, phone);
    if (!wrong.empty())
        return *error = "the clean run does not install the pack:\n" + wrong, false;
    moves_blocks_ = std::count_if(ops_.begin(), ops_.end(), [](const Operation &op) {
                        return op.kind == "move" && (op.mtd == 3 || op.mtd == 4);
                    }) > 0;
    return true;
}

std::vector<CutResult> Campaign::cut_all(const std::vector<int> &cuts, int jobs,
                                         const Progress &done) const
{
    std::vector<CutResult> results(cuts.size());
    std::atomic<size_t> next{0};
    size_t finished = 0;
    std::mutex print;
    auto worker = [&](int id) {
        const std::string dir = dir_ + "/w" + std::to_string(id);
        for (size_t i; (i = next++) < cuts.size();) {
            const CutResult r = results[i] = cut_once(dir, cuts[i]);
            std::string kept;
            if (r.outcome != Outcome::Recovered) {
                std::error_code ec;
                kept = dir_ + "/cut-" + std::to_string(cuts[i]);
                fs::remove_all(kept, ec);
                fs::rename(dir, kept, ec);
                fs::rename(dir + ".log", kept + ".log", ec);
            }
            std::lock_guard<std::mutex> lock(print);
            if (done)
                done(r, ++finished, kept);
        }
    };
    std::vector<std::thread> threads;
    for (int j = 0; j < std::max(1, jobs); ++j)
        threads.emplace_back(worker, j);
    for (std::thread &t : threads)
        t.join();
    return results;
}

bool Campaign::fresh(const std::string &dir, std::string *error) const
{
    std::error_code ec;
    fs::create_directories(dir, ec);
    fs::remove(dir + ".log", ec); // one log per telephone made
    // Every telephone starts from the same chip: written once, by the clean
    // run (made first and alone), and copied by phonesim init into each
    // telephone, where the file system allows without copying the bytes.
    const std::string chip = dir_ + "/chip-before.img";
    if (dir == clean_dir() && !spill(chip, want_.chip_before.data(), want_.chip_before.size()))
        return *error = "cannot write " + chip, false;
    std::vector<std::string> init = {s_.phonesim, "init",   dir, "--program",
                                     s_.program,  "--chip", chip};
    if (!s_.profile.empty())
        init.insert(init.end(), {"--profile", s_.profile});
    if (run_logged(init, dir + ".log") != 0)
        return *error = "phonesim init " + dir + " failed, see " + dir + ".log", false;
    return !s_.guest.on() || target_seed(dir, error);
}

int Campaign::upgrade(const std::string &dir, int cut, bool clean) const
{
    if (s_.guest.on())
        return target_upgrade(s_.guest, dir, pack_, s_.mode, cut, s_.time_limit, dir + ".log");
    char scale[32];
    snprintf(scale, sizeof scale, "%g", clean ? s_.clean_pause_scale : s_.cut_pause_scale);
    std::vector<std::string> args = {
        s_.phonesim, "upgrade",       dir,   pack_,          "--mode",
        s_.mode,     "--pause-scale", scale, "--time-limit", std::to_string(s_.time_limit)};
    // The loader's state: a new download.
    if (s_.mode == "shm")
        args.insert(args.end(), {"--state", "0"});
    const std::vector<std::string> &more = clean ? s_.clean_args : s_.cut_args;
    args.insert(args.end(), more.begin(), more.end());
    if (cut > 0)
        args.insert(args.end(), {"--cut-at", std::to_string(cut)});
    return run_logged(args, dir + ".log");
}

bool Campaign::read_operations(const std::string &report, std::string *error)
{
    nlohmann::json r = nlohmann::json::parse(slurp(report), nullptr, false);
    if (r.is_discarded() || !r.contains("flash_ops") || !r["flash_ops"].is_array())
        return *error = report + ": no flash_ops", false;
    for (const nlohmann::json &op : r["flash_ops"]) {
        Operation o;
        o.kind = op.value("kind", "");
        o.mtd = op.contains("mtd") && op["mtd"].is_number_integer() ? op["mtd"].get<int>() : -1;
        ops_.push_back(o);
    }
    return !ops_.empty() || (*error = report + ": no flash operation", false);
}

Telephone Campaign::read_phone(const std::string &dir) const
{
    if (s_.guest.on())
        return target_phone(dir);
    Telephone phone;
    const phonesim::Paths paths{dir};
    std::string chip = slurp(paths.flash());
    phone.chip.assign(chip.begin(), chip.end());
    phone.env = parse_env(slurp(paths.bootenv()));
    phone.layout = layout_from_file(slurp(paths.layout()));
    return phone;
}

CutResult Campaign::cut_once(const std::string &dir, int cut) const
{
    CutResult r;
    r.cut = cut;
    std::string error;
    if (!fresh(dir, &error))
        return r.detail = error, r;
    int first = upgrade(dir, cut, false);
    if (first != kPowerCut)
        return r.detail = "not cut: " + why_not_rebooted(first, dir, s_.time_limit), r;
    std::vector<int> torn = torn_boot_partitions(want_, read_phone(dir));
    int second = upgrade(dir, 0, false);
    r.detail = judge(want_, read_phone(dir));
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

} // namespace faults
