#include "rehearse/fleet.h"
#include "common/codes.h"
#include "common/hosttool.h"
#include "rompack/inspect.h"
#include "rompack/manifest.h"
#include "upgrader/rompack_codes.h"

#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace rehearse
{

namespace
{

namespace fs = std::filesystem;
using faults::Outcome;

constexpr uint64_t kPackLimit = 64ull << 20; // far above any 8 MiB chip's pack
constexpr uint64_t kProfileLimit = 1 << 20;

std::string decision_of(int code)
{
    if (code == UPD_MSG_ROM_VERSION_SAME)
        return "same version";
    if (code == UPD_MSG_OK || code == UPD_MSG_UPGRADER_TOOL)
        return "accepted";
    return "refused";
}

std::string ending_of(int status)
{
    switch (status) {
    case faults::kRebooted:
        return "rebooted";
    case faults::kRefused:
        return "failure screen";
    case faults::kNoReboot:
        return "ended";
    case faults::kTimeLimit:
        return "time limit";
    default:
        return "could not run";
    }
}


// What a clean run shows a user: screens, partitions, boot environment,
// errors and the telephone's times, from phonesim's report of it.
Json describe_upgrade(const std::string &clean, int status, double pause_scale,
                      const std::string &judged)
{
    Json u;
    u["ending"] = ending_of(status);
    u["exit_status"] = status;
    const nlohmann::json r =
        nlohmann::json::parse(faults::slurp(phonesim::Paths{clean}.last_run() + "/report.json"), nullptr,
                              false);
    u["failure_screen"] = nullptr;
    Json wrong = Json::array();
    std::istringstream lines(judged);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty())
            wrong.push_back(line);
    u["judged"] = wrong;
    if (!r.is_object()) {
        u["time"] = nullptr;
        u["screens"] = u["partitions"] = u["bootenv"] = u["errors"] = Json::array();
        return u;
    }
    // The applications are down from the kill script to the reboot: the
    // flash work at the telephone's pace, then the program's pauses up to
    // the reboot request, measured at the run's pause scale. The kill
    // script runs just before the first erase, write or move. The pauses
    // are whole seconds: rounding takes the PC's own work out of them, and
    // the estimate is the same in every run.
    double flash_ms = 0, last_op = -1;
    bool killed = false;
    if (r.contains("flash") && r["flash"].contains("total"))
        flash_ms = r["flash"]["total"].value("estimated_ms", 0.0);
    for (const auto &op : r.value("flash_ops", nlohmann::json::array())) {
        killed = killed || op.value("kind", "") != "env";
        if (killed)
            last_op = op.value("at", 0.0);
    }
    const double end = r.value("seconds", 0.0);
    double down_ms = 0;
    if (killed && status == faults::kRebooted && pause_scale > 0)
        down_ms = flash_ms + 1000 * std::round(std::max(0.0, end - last_op) / pause_scale);
    Json time;
    time["flash_ms"] = int64_t(flash_ms + 0.5);
    time["down_ms"] = int64_t(down_ms + 0.5);
    time["erases"] = r["flash"]["total"].value("erases", 0);
    time["programmed"] = r["flash"]["total"].value("programmed", 0);
    u["time"] = time;
    Json screens = Json::array();
    for (const auto &s : r.value("screens", nlohmann::json::array()))
        screens.push_back({{"sha256", s.value("sha256", "")}, {"hex", s.value("hex", "")}});
    u["screens"] = screens;
    Json parts = Json::array();
    for (const auto &p : r.value("partitions", nlohmann::json::array())) {
        Json one;
        one["name"] = p.value("name", "");
        one["changed"] = p.value("changed", false);
        one["moved"] = p.value("moved", false);
        for (const char *side : {"before", "after"}) {
            const nlohmann::json w = p.value(side, nlohmann::json::object());
            one[side] = {{"start", w.value("start", "")},
                         {"end", w.value("end", "")},
                         {"sha256", w.value("sha256", "")}};
        }
        parts.push_back(one);
    }
    u["partitions"] = parts;
    Json env = Json::array();
    const nlohmann::json before = r.contains("bootenv") ? r["bootenv"].value("before", nlohmann::json::object()) : nlohmann::json::object();
    const nlohmann::json after = r.contains("bootenv") ? r["bootenv"].value("after", nlohmann::json::object()) : nlohmann::json::object();
    std::set<std::string> names;
    for (const auto *side : {&before, &after})
        for (auto it = side->begin(); it != side->end(); ++it)
            names.insert(it.key());
    for (const std::string &name : names) {
        const Json b = before.contains(name) ? Json(before[name]) : Json(nullptr);
        const Json a = after.contains(name) ? Json(after[name]) : Json(nullptr);
        if (a != b)
            env.push_back({{"name", name}, {"before", b}, {"after", a}});
    }
    u["bootenv"] = env;
    Json errors = Json::array();
    for (const auto &line : r.value("log", nlohmann::json::array()))
        if (line.is_object() && line.value("level", 7) <= 3)
            errors.push_back(faults::log_text(line.value("text", "")));
    u["errors"] = errors;
    return u;
}

} // namespace

bool load_plan(const std::string &pack_arg, const std::string &fleet_dir, int cuts,
               const std::string &work_dir, Plan *plan, std::string *error)
{
    plan->cuts = cuts;
    plan->pack_label = pack_arg == "-" ? "-" : fs::path(pack_arg).filename().string();
    plan->fleet_label = fleet_dir;
    std::vector<uint8_t> bytes;
    if (!hosttool::read_input(pack_arg, kPackLimit, &bytes, error))
        return false;
    if (rompack::looks_like_manifest(bytes)) {
        if (pack_arg == "-")
            return *error = "-: a manifest is read from a file (its payloads are found beside it)",
                   false;
        rompack::Manifest manifest;
        if (!rompack::load_manifest(pack_arg, &manifest, error) ||
            !rompack::build_pack(manifest, &bytes, error))
            return false;
        plan->pack_path = work_dir + "/pack.pack";
    } else {
        plan->pack_path = pack_arg == "-" ? work_dir + "/pack.pack" : fs::absolute(pack_arg).string();
    }
    if ((pack_arg == "-" || plan->pack_path == work_dir + "/pack.pack") &&
        !hosttool::write_output(plan->pack_path, bytes.data(), bytes.size(), 0644, error))
        return false;
    plan->pack = bytes;
    const nlohmann::json info = rompack::inspect_pack(bytes);
    if (info.value("code", -1) != 0 || !faults::pack_payloads(bytes, &plan->payloads, error))
        return *error = pack_arg + ": not a valid ROM pack: " + info.value("name", std::string("?")) +
                        " (" + std::to_string(info.value("code", -1)) + ")",
               false;
    Json p;
    p["file"] = plan->pack_label;
    p["sha256"] = hosttool::sha256_hex(bytes.data(), bytes.size());
    p["bytes"] = bytes.size();
    const nlohmann::json &h = info["header"];
    p["version"] = h.value("version", "");
    p["device_id"] = h.value("device_id", 0);
    p["oem_id"] = h.value("oem_id", 0);
    Json match = Json::array();
    for (const auto &m : h.value("match_id", nlohmann::json::array()))
        if (m.get<int>() != 0)
            match.push_back(m.get<int>());
    p["match_id"] = match;
    Json parts = Json::array();
    for (const auto &q : info["partitions"])
        parts.push_back({{"id", q.value("id", 0)},
                         {"version", q.value("version", "")},
                         {"bytes", q.value("size", 0)},
                         {"sha256", q.value("sha256", "")}});
    p["partitions"] = parts;
    plan->pack_info = p;

    std::error_code ec;
    if (!fs::is_directory(fleet_dir, ec))
        return *error = hosttool::path_error(fleet_dir, "not a fleet directory",
                                             ec ? ec.value() : ENOTDIR),
               false;
    std::vector<std::string> files;
    for (const auto &entry : fs::directory_iterator(fleet_dir, ec))
        if (entry.path().extension() == ".json")
            files.push_back(entry.path().string());
    if (ec)
        return *error = hosttool::path_error(fleet_dir, "cannot list", ec.value()), false;
    std::sort(files.begin(), files.end());
    if (files.empty())
        return *error = fleet_dir + ": no telephone profile (*.json) in the fleet", false;
    for (const std::string &file : files) {
        Telephone t;
        t.path = file;
        t.name = fs::path(file).stem().string();
        std::string text;
        if (!hosttool::read_input(file, kProfileLimit, &text, error) ||
            !phonesim::parse_profile(text, &t.profile, error)) {
            if (error->compare(0, file.size(), file) != 0)
                *error = file + ": " + *error;
            return false;
        }
        if (t.profile.power_cut.any())
            return *error = file + ": power_cut: the rehearsal makes its own cuts, remove it",
                   false;
        t.sha256 = hosttool::sha256_hex(text.data(), text.size());
        plan->phones.push_back(std::move(t));
    }
    return true;
}

bool verify_fleet(Plan *plan, std::string *error)
{
    for (Telephone &t : plan->phones) {
        nlohmann::json r;
        const rompack::Device device{rompack::Device::Kind::profile, t.path};
        const int status = rompack::verify_pack(plan->pack, device, false, &r, error);
        if (status != hosttool::kExitOk)
            return false;
        const int code = r.value("code", -1);
        Json v;
        v["code"] = code;
        v["name"] = upd_msg_name(code);
        v["decision"] = decision_of(code);
        std::string text = hosttool::code_meaning(code);
        v["text"] = text.empty() ? r.value("decision", "") : text;
        t.verify = v;
    }
    return true;
}

std::string reboot_presses(double time_limit)
{
    std::string keys;
    for (int t = 1; t < time_limit && t <= 120; ++t)
        keys += (keys.empty() ? "" : ",") + std::to_string(t) + ":35";
    return keys;
}

bool parse_shard(const std::string &text, int *k, int *n, std::string *error)
{
    unsigned a = 0, b = 0;
    char end = 0;
    if (sscanf(text.c_str(), "%u/%u%c", &a, &b, &end) != 2 || a < 1 || b < 1 || a > b ||
        b > 100000)
        return *error = "--shard " + text + ": expected K/N with 1 <= K <= N", false;
    *k = int(a);
    *n = int(b);
    return true;
}

namespace
{

// A job of the run: the clean run of a telephone (cut = -1) or its i-th cut.
struct Job {
    size_t phone;
    int cut;
};

// Cuts only for the telephones whose check takes the pack: the check ran
// in every shard before the jobs, so every shard makes the same list.
std::vector<Job> all_jobs(const Plan &plan)
{
    std::vector<Job> jobs;
    for (size_t t = 0; t < plan.phones.size(); ++t) {
        jobs.push_back({t, -1});
        if (plan.phones[t].verify.value("decision", "") == "accepted")
            for (int i = 0; i < plan.cuts; ++i)
                jobs.push_back({t, i});
    }
    return jobs;
}

// What identifies a run: shards of one run agree on it.
Json run_identity(const Plan &plan)
{
    Json id;
    id["rehearse"] = hosttool::project_version();
    id["pack"] = plan.pack_info;
    id["fleet"] = plan.fleet_label;
    id["cuts"] = plan.cuts;
    Json phones = Json::array();
    for (const Telephone &t : plan.phones)
        phones.push_back({{"name", t.name}, {"sha256", t.sha256}});
    id["telephones"] = phones;
    return id;
}

// A telephone's clean run and what its cuts need.
struct Prepared {
    std::unique_ptr<faults::Campaign> campaign;
    bool ok = false; // installed the pack: cuts can follow
    int status = 0;
    std::string error;
    std::vector<std::string> phases;
    std::vector<int> points;
};

} // namespace

Json run_shard(const Plan &plan, const ShardSettings &s)
{
    const std::vector<Job> jobs = all_jobs(plan);
    // Contiguous slices: a shard repeats the clean runs of only the
    // telephones its slice begins or ends in.
    const size_t from = jobs.size() * size_t(s.k - 1) / size_t(s.n);
    const size_t to = jobs.size() * size_t(s.k) / size_t(s.n);
    const std::vector<Job> mine(jobs.begin() + long(from), jobs.begin() + long(to));
    // Every telephone with a job here needs its clean run: the cut points
    // follow from its flash operations.
    std::vector<size_t> phones;
    for (const Job &j : mine)
        if (phones.empty() || phones.back() != j.phone)
            phones.push_back(j.phone);
    std::vector<Prepared> prepared(plan.phones.size());
    std::vector<Json> upgrades(plan.phones.size());
    std::mutex print;
    size_t done = 0;
    auto line = [&](const std::string &text) {
        std::lock_guard<std::mutex> lock(print);
        std::cerr << "rehearse: " << ++done << "/" << mine.size() << " " << text << "\n";
    };
    auto parallel = [&](size_t count, const std::function<void(size_t, int)> &work) {
        std::atomic<size_t> next{0};
        std::vector<std::thread> threads;
        for (int w = 0; w < std::max(1, s.jobs); ++w)
            threads.emplace_back([&, w] {
                for (size_t i; (i = next++) < count;)
                    work(i, w);
            });
        for (std::thread &t : threads)
            t.join();
    };
    auto owns_clean = [&](size_t phone) {
        return std::any_of(mine.begin(), mine.end(),
                           [&](const Job &j) { return j.phone == phone && j.cut < 0; });
    };
    parallel(phones.size(), [&](size_t i, int) {
        const size_t t = phones[i];
        const Telephone &phone = plan.phones[t];
        Prepared &p = prepared[t];
        faults::RunSettings run = s.run;
        run.profile = fs::absolute(phone.path).string();
        // A clean run made only for the cut points of this shard needs
        // neither pauses nor a full report.
        if (!owns_clean(t)) {
            run.clean_pause_scale = run.cut_pause_scale;
            run.clean_args = run.cut_args;
        }
        p.campaign = std::make_unique<faults::Campaign>(run, plan.pack_path,
                                                        s.work + "/" + phone.name);
        p.ok = p.campaign->prepare(plan.payloads, &p.error, &p.status);
        if (p.ok) {
            p.phases = p.campaign->phases();
            p.points = faults::cut_points(p.campaign->operations(), plan.cuts);
        }
        if (owns_clean(t)) {
            // A telephone of the same version reboots without writing: its
            // flash holds the old firmware, which the judge would call wrong.
            const bool same = phone.verify.value("decision", "") == "same version";
            std::string judged = p.ok || same || p.status != faults::kRebooted ? "" : p.error;
            if (judged.compare(0, 41, "the clean run does not install the pack:\n") == 0)
                judged.erase(0, 41);
            upgrades[t] = describe_upgrade(p.campaign->clean_dir(), p.status,
                                           s.run.clean_pause_scale, judged);
            line(phone.name + " upgrade: " + upgrades[t]["ending"].get<std::string>() + " (" +
                 std::to_string(p.status) + ")");
        }
    });
    std::vector<const Job *> cut_jobs;
    for (const Job &j : mine)
        if (j.cut >= 0)
            cut_jobs.push_back(&j);
    std::vector<Json> cut_results(cut_jobs.size());
    parallel(cut_jobs.size(), [&](size_t i, int worker) {
        const Job &j = *cut_jobs[i];
        const Telephone &phone = plan.phones[j.phone];
        const Prepared &p = prepared[j.phone];
        const std::string label = phone.name + " cut " + std::to_string(j.cut + 1) + "/" +
                                  std::to_string(plan.cuts);
        if (!p.ok || size_t(j.cut) >= p.points.size()) {
            line(label + ": none (" + (p.ok ? "fewer flash operations than cuts" : "no upgrade") +
                 ")");
            return;
        }
        const int point = p.points[size_t(j.cut)];
        const std::string dir = s.work + "/w" + std::to_string(worker);
        const faults::CutResult r = p.campaign->cut_once(dir, point);
        Json out;
        out["index"] = j.cut;
        out["cut"] = point;
        out["phase"] = p.phases.at(size_t(point - 1));
        out["outcome"] = faults::outcome_name(r.outcome);
        out["detail"] = r.detail;
        std::string kept;
        if (r.outcome != Outcome::Recovered && !s.keep.empty()) {
            std::error_code ec;
            kept = s.keep + "/" + phone.name + "/cut-" + std::to_string(point);
            fs::create_directories(fs::path(kept).parent_path(), ec);
            fs::remove_all(kept, ec);
            fs::rename(dir, kept, ec);
            if (ec)
                kept.clear();
            else
                fs::rename(dir + ".log", kept + ".log", ec);
        }
        cut_results[i] = out;
        line(label + " at op " + std::to_string(point) + " (" + out["phase"].get<std::string>() +
             "): " + faults::outcome_name(r.outcome) + (kept.empty() ? "" : "  [" + kept + "]"));
    });

    Json shard;
    shard["shard"] = {{"k", s.k}, {"n", s.n}};
    shard["run"] = run_identity(plan);
    Json phones_out = Json::array();
    for (size_t t = 0; t < plan.phones.size(); ++t) {
        const Telephone &phone = plan.phones[t];
        Json o;
        o["name"] = phone.name;
        o["profile"] = {{"file", fs::path(phone.path).filename().string()},
                        {"sha256", phone.sha256},
                        {"comment", phone.profile.comment},
                        {"hwver", phone.profile.hwver},
                        {"software", phone.profile.software},
                        {"rom_version", phone.profile.rom_version}};
        o["expect"] = phone.profile.expect;
        o["verify"] = phone.verify;
        if (!upgrades[t].is_null()) {
            o["upgrade"] = upgrades[t];
            o["installed"] = prepared[t].ok;
            o["prepare_error"] = prepared[t].ok ? "" : prepared[t].error;
            o["operations"] = prepared[t].ok ? prepared[t].campaign->operations() : 0;
            o["moves_blocks"] = prepared[t].ok && prepared[t].campaign->moves_blocks();
            o["phases"] = prepared[t].phases;
        }
        Json cuts = Json::array();
        for (size_t i = 0; i < cut_jobs.size(); ++i)
            if (cut_jobs[i]->phone == t && !cut_results[i].is_null())
                cuts.push_back(cut_results[i]);
        o["cuts"] = cuts;
        phones_out.push_back(o);
    }
    shard["telephones"] = phones_out;
    return shard;
}

namespace
{

const char *const kOutcomeOrder[] = {"upgraded",         "already installed",
                                     "refused as expected", "refused",
                                     "taken, refusal expected", "configuration lost",
                                     "not recovered",     "failed"};


std::string code_words(const Json &verify)
{
    return std::to_string(verify.value("code", 0)) + " " + verify.value("name", "") + ": " +
           verify.value("text", "");
}

// The cut results of a telephone by phase, in the order of the clean run,
// with a "copying" row where a layout move copies blocks (only reads, so
// no cut falls there, but people look for it).
Json cut_table(const Json &phone, const Json &results)
{
    std::vector<std::string> order;
    for (const auto &p : phone.value("phases", Json::array()))
        if (std::find(order.begin(), order.end(), p.get<std::string>()) == order.end())
            order.push_back(p.get<std::string>());
    if (phone.value("moves_blocks", false)) {
        auto moving = std::find(order.begin(), order.end(), "moving");
        order.insert(moving, "copying");
    }
    Json rows = Json::array();
    for (const std::string &phase : order) {
        Json row;
        row["phase"] = phase;
        int counts[4] = {};
        int cuts = 0;
        for (const auto &r : results)
            if (r.value("phase", "") == phase) {
                ++cuts;
                for (int o = 0; o < 4; ++o)
                    counts[o] += r.value("outcome", "") == faults::outcome_name(Outcome(o));
            }
        row["cuts"] = cuts;
        row["recovered"] = counts[int(Outcome::Recovered)];
        row["config_lost"] = counts[int(Outcome::ConfigLost)];
        row["unbootable"] = counts[int(Outcome::Unbootable)];
        row["not_recovered"] = counts[int(Outcome::Other)];
        rows.push_back(row);
    }
    return rows;
}

Json judge_telephone(const Json &in, Json results, int cuts_asked)
{
    std::sort(results.begin(), results.end(),
              [](const Json &a, const Json &b) { return a.value("cut", 0) < b.value("cut", 0); });
    Json t;
    t["name"] = in["name"];
    t["profile"] = in["profile"];
    const std::string expect = in.value("expect", "upgraded");
    t["expect"] = expect;
    const Json &verify = in["verify"];
    const Json &upgrade = in["upgrade"];
    const std::string decision = verify.value("decision", "");
    const int status = upgrade.value("exit_status", -1);
    std::string outcome, reason;
    if (decision == "refused") {
        outcome = status == faults::kRebooted ? "failed"
                  : expect == "refused"       ? "refused as expected"
                                              : "refused";
        reason = status == faults::kRebooted
                     ? "the check refuses the pack (" + code_words(verify) +
                           "), yet the upgrade rebooted"
                     : "the check refuses the pack: " + code_words(verify);
    } else if (expect == "refused") {
        outcome = "taken, refusal expected";
        reason = "the profile expects a refusal, but the check gives " + code_words(verify);
    } else if (decision == "same version") {
        outcome = status == faults::kRebooted ? "already installed" : "failed";
        reason = status == faults::kRebooted
                     ? "the telephone runs this version already: it reboots without writing"
                     : "the telephone runs this version, yet the run ended: " +
                           upgrade.value("ending", "");
    } else if (!in.value("installed", false)) {
        outcome = "failed";
        reason = in.value("prepare_error", "");
        std::replace(reason.begin(), reason.end(), '\n', ' ');
    } else {
        std::vector<int> lost, other, unbootable;
        for (const auto &r : results) {
            const std::string o = r.value("outcome", "");
            const int cut = r.value("cut", 0);
            if (o == faults::outcome_name(Outcome::ConfigLost))
                lost.push_back(cut);
            else if (o == faults::outcome_name(Outcome::Other))
                other.push_back(cut);
            else if (o == faults::outcome_name(Outcome::Unbootable))
                unbootable.push_back(cut);
        }
        outcome = !lost.empty() ? "configuration lost" : !other.empty() ? "not recovered" : "upgraded";
        if (!lost.empty())
            reason += "the configuration is lost by cuts at operations " + faults::ranges(lost) + "; ";
        if (!other.empty())
            reason += "not recovered from cuts at operations " + faults::ranges(other) + "; ";
        if (!unbootable.empty())
            reason += "unbootable after cuts at operations " + faults::ranges(unbootable) +
                      " (a torn boot loader, kernel or root file system); ";
        if (reason.size() >= 2)
            reason.erase(reason.size() - 2);
    }
    t["outcome"] = outcome;
    t["passed"] = outcome == "upgraded" || outcome == "already installed" ||
                  outcome == "refused as expected";
    t["reason"] = reason;
    t["verify"] = verify;
    t["upgrade"] = upgrade;
    if (cuts_asked > 0 && in.value("installed", false) && decision == "accepted") {
        const Json &sorted = results;
        Json c;
        c["operations"] = in.value("operations", 0);
        c["tried"] = sorted.size();
        c["phases"] = cut_table(in, sorted);
        Json results_out = Json::array();
        for (const auto &r : sorted)
            results_out.push_back({{"cut", r["cut"]},
                                   {"phase", r["phase"]},
                                   {"outcome", r["outcome"]},
                                   {"detail", r["detail"]}});
        c["results"] = results_out;
        t["cuts"] = c;
    } else {
        t["cuts"] = nullptr;
    }
    return t;
}

} // namespace

bool merge_shards(const std::vector<Json> &shards, Json *report, std::string *error)
{
    if (shards.empty())
        return *error = "no shard results to merge", false;
    const Json &id = shards[0]["run"];
    const int n = shards[0]["shard"].value("n", 0);
    std::vector<int> seen(size_t(n) + 1, 0);
    for (const Json &s : shards) {
        const int k = s["shard"].value("k", 0);
        const std::string name = std::to_string(k) + "/" + std::to_string(s["shard"].value("n", 0));
        if (s["shard"].value("n", 0) != n || k < 1 || k > n)
            return *error = "shard " + name + " is not one of " + std::to_string(n) + " shards",
                   false;
        if (s["run"] != id)
            return *error = "shard " + name +
                            " is of another run (its pack, fleet, profiles or cuts differ)",
                   false;
        if (seen[size_t(k)]++)
            return *error = "shard " + name + " is given twice", false;
    }
    for (int k = 1; k <= n; ++k)
        if (!seen[size_t(k)])
            return *error = "shard " + std::to_string(k) + "/" + std::to_string(n) +
                            " is missing (shard-" + std::to_string(k) + "-of-" +
                            std::to_string(n) + ".json)",
                   false;
    const int cuts = id.value("cuts", 0);
    Json phones = Json::array();
    int passed = 0;
    std::map<std::string, int> outcomes;
    for (size_t t = 0; t < id["telephones"].size(); ++t) {
        Json in;
        Json results = Json::array();
        for (const Json &s : shards) {
            const Json &one = s["telephones"].at(t);
            if (in.is_null() || one.contains("upgrade"))
                in = one;
            for (const auto &r : one["cuts"])
                results.push_back(r);
        }
        if (!in.contains("upgrade"))
            return *error = "no shard holds the upgrade of " + in.value("name", "?"), false;
        Json phone = judge_telephone(in, results, cuts);
        passed += phone["passed"].get<bool>();
        ++outcomes[phone["outcome"].get<std::string>()];
        phones.push_back(phone);
    }
    Json r;
    r["rehearse"] = id["rehearse"];
    r["pack"] = id["pack"];
    r["fleet"] = id["fleet"];
    r["cuts"] = cuts;
    Json summary;
    summary["telephones"] = phones.size();
    summary["passed"] = passed;
    summary["failed"] = int(phones.size()) - passed;
    Json counts = Json::array();
    for (const char *o : kOutcomeOrder)
        if (outcomes.count(o))
            counts.push_back({{"outcome", o}, {"telephones", outcomes[o]}});
    summary["outcomes"] = counts;
    r["summary"] = summary;
    r["telephones"] = phones;
    double wall = 0;
    for (const Json &s : shards)
        wall = std::max(wall, s.contains("times") ? s["times"].value("wall_s", 0.0) : 0.0);
    r["times"] = {{"wall_s", wall}, {"shards", int(shards.size())}};
    *report = r;
    return true;
}

std::string summary_text(const Json &r)
{
    auto plural = [](size_t n, const char *word) {
        return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
    };
    std::ostringstream out;
    const Json &pack = r["pack"];
    out << "rehearse: pack " << pack.value("file", "") << " (version " << pack.value("version", "")
        << ", model " << pack.value("device_id", 0) << ", OEM " << pack.value("oem_id", 0)
        << ") on " << plural(r["telephones"].size(), "telephone") << " of "
        << r.value("fleet", "") << ", " << plural(r.value("cuts", 0), "cut") << " each\n";
    char line[256];
    snprintf(line, sizeof line, "  %-22s %-17s %-9s %-34s %-24s %7s %7s  %s\n", "telephone",
             "hwver", "expect", "check", "outcome", "flash", "down", "cuts rec/lost/unb/not");
    out << line;
    auto seconds = [](const Json &time, const char *key) {
        if (!time.is_object() || time.value(key, int64_t(0)) == 0)
            return std::string("-");
        char s[32];
        snprintf(s, sizeof s, "%.1f s", double(time.value(key, int64_t(0))) / 1000);
        return std::string(s);
    };
    for (const Json &t : r["telephones"]) {
        const Json &v = t["verify"];
        const std::string check = std::to_string(v.value("code", 0)) + " " + v.value("name", "");
        std::string cuts = "-";
        if (t["cuts"].is_object()) {
            int sums[4] = {};
            for (const auto &p : t["cuts"]["phases"]) {
                sums[0] += p.value("recovered", 0);
                sums[1] += p.value("config_lost", 0);
                sums[2] += p.value("unbootable", 0);
                sums[3] += p.value("not_recovered", 0);
            }
            cuts = std::to_string(t["cuts"].value("tried", 0)) + ": " + std::to_string(sums[0]) +
                   "/" + std::to_string(sums[1]) + "/" + std::to_string(sums[2]) + "/" +
                   std::to_string(sums[3]);
        }
        const Json &time = t["upgrade"]["time"];
        snprintf(line, sizeof line, "  %-22s %-17s %-9s %-34s %-24s %7s %7s  %s\n",
                 t.value("name", "").c_str(), t["profile"].value("hwver", "").c_str(),
                 t.value("expect", "").c_str(), check.c_str(), t.value("outcome", "").c_str(),
                 seconds(time, "flash_ms").c_str(), seconds(time, "down_ms").c_str(),
                 cuts.c_str());
        out << line;
    }
    for (const Json &t : r["telephones"])
        if (!t.value("reason", "").empty())
            out << "  " << t.value("name", "") << ": " << t.value("reason", "") << "\n";
    const Json &s = r["summary"];
    out << "rehearse: " << plural(s.value("telephones", 0), "telephone") << ", " << s.value("passed", 0)
        << " passed, " << s.value("failed", 0) << " failed (";
    bool first = true;
    for (const auto &o : s["outcomes"]) {
        out << (first ? "" : ", ") << o.value("telephones", 0) << " " << o.value("outcome", "");
        first = false;
    }
    out << ")\n";
    return out.str();
}

} // namespace rehearse
