#include "phonesim/report.h"

#include "common/hosttool.h"
#include "common/text.h"
#include "phonesim/frames.h"
#include "upgrader/failure.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <map>
#include <set>
#include <sstream>

namespace phonesim
{

namespace
{

using Json = nlohmann::ordered_json;

std::string to_hex(const uint8_t *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

void remove_old_report(const std::string &dir)
{
    for (const char *name : {"report.json", "summary.txt", "contact.png"})
        unlink((dir + "/" + name).c_str());
    std::string frames = dir + "/frames";
    if (DIR *d = opendir(frames.c_str())) {
        std::vector<std::string> names;
        while (struct dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 4 && n.compare(n.size() - 4, 4, ".png") == 0)
                names.push_back(n);
        }
        closedir(d);
        for (const std::string &n : names)
            unlink((frames + "/" + n).c_str());
    }
}

int make_dirs(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            std::string part = path.substr(0, i);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
                return -1;
        }
    }
    return 0;
}

std::string quote_data(const std::vector<uint8_t> &data)
{
    std::string s;
    for (uint8_t c : data) {
        if (c == 0)
            break;
        s += (c >= 32 && c < 127) ? static_cast<char>(c) : '.';
    }
    return s;
}

// What the flash was asked to do and the telephone's time for it, to the
// microsecond.
Json flash_count_json(const FlashTiming &timing, const FlashCount &c)
{
    return {{"erases", c.erases},
            {"erased", c.erased},
            {"programmed", c.programmed},
            {"read", c.read},
            {"estimated_ms", std::round(flash_time_ms(timing, c) * 1000) / 1000}};
}

std::string mib(uint64_t bytes)
{
    char text[32];
    snprintf(text, sizeof(text), "%.2f MiB", double(bytes) / (1 << 20));
    return text;
}

} // namespace

const char *ending_name(Ending e)
{
    switch (e) {
    case Ending::Exit:
        return "exit";
    case Ending::Signal:
        return "signal";
    case Ending::Reboot:
        return "reboot";
    case Ending::TimeLimit:
        return "time-limit";
    case Ending::Interrupted:
        return "interrupted";
    case Ending::PowerCut:
        return "power-cut";
    case Ending::Error:
        break;
    }
    return "error";
}

namespace
{

// The meaning of the program's own statuses, as a user reads them.
const char *program_status_name(int status)
{
    switch (status) {
    case UPGRADER_OK:
        return "done, or nothing to do";
    case UPGRADER_USAGE:
        return "bad arguments";
    case UPGRADER_LOAD_FAILED:
        return "the loader reported a failed load";
    case UPGRADER_NO_SHM:
        return "no shared upgrade memory";
    case UPGRADER_ROM_OPEN_FAILED:
        return "the ROM file cannot be opened";
    case UPGRADER_ROM_MAP_FAILED:
        return "the ROM file cannot be mapped";
    case UPGRADER_DIRECT_FAILED:
        return "direct mode failed";
    case UPGRADER_CHECK_FAILED:
        return "the pack was refused";
    case UPGRADER_KILLAPPS_FAILED:
        return "the kill script failed";
    case UPGRADER_BURN_FAILED:
        return "writing the flash failed";
    case UPGRADER_WATCHDOG_FAILED:
        return "the watchdog could not be closed";
    case UPGRADER_COPY_BINS_FAILED:
        return "/bin could not be copied to /tmp";
    case UPGRADER_MTD_CONFIG_FAILED:
        return "the partition layout could not be made";
    case UPGRADER_UMOUNT_FAILED:
        return "/etc and /config could not be unmounted";
    }
    return "unknown status";
}

// The summary's first line: how the run ended and, for a failure, why.
std::string outcome(const ReportInput &in)
{
    const RunResult &r = in.result;
    std::ostringstream s;
    switch (r.ending) {
    case Ending::Reboot:
        if (!r.failure_screen.shown) {
            s << "rebooted";
            break;
        }
        s << "rebooted from the failure screen: "
          << (r.failure_screen.text.empty() ? "(text not logged)" : r.failure_screen.text);
        if (r.failure_screen.id != 0)
            s << " (ID " << r.failure_screen.id << ")";
        break;
    case Ending::Exit:
        if (in.options->program_run) {
            // The program's statuses are 0 or negative, down to -200; the
            // shell sees their low byte.
            int status = r.status == 0 ? 0 : r.status - 256;
            s << "the program ended without a reboot, status " << status << " ("
              << program_status_name(status) << ")";
        } else {
            s << "exit status " << r.status;
        }
        break;
    case Ending::Signal:
        s << "killed by signal " << r.status << " (" << strsignal(r.status) << ")";
        break;
    case Ending::PowerCut:
        s << "power cut";
        if (!in.flash_ops.empty() && in.flash_ops.back().second.cut)
            s << " during operation " << in.flash_ops.back().second.n << " ("
              << in.flash_ops.back().second.kind << ")";
        break;
    default:
        s << ending_name(r.ending);
    }
    char secs[32];
    snprintf(secs, sizeof(secs), "%.1f", in.seconds);
    s << ", after " << secs << " s";
    return s.str();
}

// The texts the program's failure screens show beside the code.
const char *const kFailureTexts[] = {"Load Rom Failed!", "Get shm Failed!",    "Rom check Failed!",
                                     "Killapps Failed!", "Burn Flash Failed!", "Upgrade Failed!"};

bool ends_with(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

// The program tells its peers with message 3 that it shows a failure screen
// (the one that waits for the Reboot key, or the auto-provision countdown),
// and logs the screen's text at error level as it draws it; a pack refused
// by the check logs its code as "ID:N". The broadcast decides; the log
// only names the reason.
void find_failure_screen(const ReportInput &in, RunResult *result)
{
    const int kMsgFailureScreen = 3;
    FailureScreen &screen = result->failure_screen;
    screen = FailureScreen();
    for (const IpcRecord &m : in.ipc)
        screen.shown = screen.shown || m.msg == kMsgFailureScreen;
    if (!screen.shown)
        return;
    for (const LogLine &l : in.log) {
        if ((l.priority & 7) > 3)
            continue;
        for (const char *text : kFailureTexts)
            if (ends_with(l.text, text))
                screen.text = text;
        size_t id = l.text.rfind("ID:");
        if (id != std::string::npos)
            screen.id = atoi(l.text.c_str() + id + 3);
    }
    if (screen.text.empty())
        screen.text = "Autoprovision failed";
}

int exit_status(const RunResult &r, bool program_run)
{
    switch (r.ending) {
    case Ending::Exit:
        return program_run ? kExitProgramEnded : r.status;
    case Ending::Signal:
        return 128 + r.status;
    case Ending::Reboot:
        return r.failure_screen.shown ? kExitFailureScreen : kExitRebooted;
    case Ending::TimeLimit:
        return kExitTimeLimit;
    case Ending::Interrupted:
        return kExitInterrupted;
    case Ending::PowerCut:
        return kExitPowerCut;
    case Ending::Error:
        break;
    }
    return kExitCannotRun;
}

int write_report(const ReportInput &in, const std::string &dir, std::string *summary,
                 std::string *error)
{
    // The first failure is kept, and the summary is made whatever happens:
    // a report that cannot be written must not hide how the run ended.
    error->clear();
    auto failed = [error](const std::string &why) {
        if (error->empty())
            *error = why;
    };
    const Record record = in.options->record;
    const bool pictures = record == Record::Full, digests = record != Record::Brief;
    if (make_dirs(pictures ? dir + "/frames" : dir) != 0)
        failed(hosttool::path_error(dir, "cannot make the report directory", errno));
    remove_old_report(dir);
    const Paths &paths = *in.paths;
    Json j;
    j["dir"] = paths.root;
    j["command"] = in.options->command;
    j["ending"] = ending_name(in.result.ending);
    j["status"] = in.result.status;
    j["seconds"] = in.seconds;
    j["pause_scale"] = in.options->pause_scale;
    j["time_limit"] = in.options->time_limit;
    if (!in.options->load_pack.empty())
        j["loader"] = {{"pack", in.options->load_pack}, {"state", in.options->state}};
    if (in.options->saver_hold > 0)
        j["saver_hold"] = in.options->saver_hold;
    Json keys = Json::array();
    for (const KeyPress &k : in.options->keys)
        keys.push_back({{"at", k.at}, {"code", k.code}});
    j["keys"] = keys;
    if (record != Record::Full)
        j["record"] = record == Record::Report ? "report" : "brief";

    Json log = Json::array();
    int errors = 0;
    for (const LogLine &l : in.log) {
        log.push_back({{"at", l.at}, {"level", l.priority & 7}, {"text", l.text}});
        if ((l.priority & 7) <= 3)
            ++errors;
    }
    j["log"] = log;

    Json ipc = Json::array();
    for (const IpcRecord &m : in.ipc) {
        ipc.push_back({{"at", m.at},
                       {"listener", m.listener},
                       {"msg", m.msg},
                       {"sender", m.sender},
                       {"param1", m.param1},
                       {"param2", m.param2},
                       {"data_hex", to_hex(m.data.data(), m.data.size())},
                       {"data_text", quote_data(m.data)}});
    }
    j["ipc"] = ipc;

    // Every frame as a picture; each distinct screen once, with its bytes,
    // so that "phonesim show" can draw it again.
    Json frames = Json::array(), screens = Json::array();
    std::vector<std::vector<uint8_t>> distinct;
    std::set<std::string> seen;
    for (size_t i = 0; i < in.frames.size(); ++i) {
        const Frame &f = in.frames[i];
        std::string digest = hosttool::sha256_hex(f.data.data(), f.data.size());
        if (pictures) {
            char name[32];
            snprintf(name, sizeof(name), "frames/%04zu.png", i + 1);
            std::string err;
            if (error->empty() && !write_frame_png(dir + "/" + name, f.data, 4, &err))
                failed(err);
            frames.push_back({{"at", f.at}, {"file", name}, {"sha256", digest}});
        } else {
            frames.push_back({{"at", f.at}, {"sha256", digest}});
        }
        if (seen.insert(digest).second) {
            distinct.push_back(f.data);
            screens.push_back({{"sha256", digest}, {"hex", to_hex(f.data.data(), f.data.size())}});
        }
    }
    j["frames"] = frames;
    j["screens"] = screens;
    if (pictures && !distinct.empty()) {
        std::string err;
        if (error->empty() && !write_contact_sheet(dir + "/contact.png", distinct, 2, &err))
            failed(err);
        j["contact_sheet"] = "contact.png";
    }

    Json env_before = Json::object(), env_after = Json::object(), env_changes = Json::array();
    for (const auto &kv : in.before.bootenv)
        env_before[kv.first] = kv.second;
    for (const auto &kv : in.after.bootenv)
        env_after[kv.first] = kv.second;
    std::vector<std::string> env_summary;
    for (const auto &kv : in.after.bootenv) {
        if (!env_before.contains(kv.first)) {
            env_changes.push_back({{"name", kv.first}, {"before", nullptr}, {"after", kv.second}});
            env_summary.push_back(kv.first + " (new) " + kv.second);
        } else if (env_before[kv.first] != kv.second) {
            std::string old = env_before[kv.first].get<std::string>();
            env_changes.push_back({{"name", kv.first}, {"before", old}, {"after", kv.second}});
            env_summary.push_back(kv.first + " " + old + " -> " + kv.second);
        }
    }
    for (const auto &kv : in.before.bootenv) {
        if (!env_after.contains(kv.first)) {
            env_changes.push_back({{"name", kv.first}, {"before", kv.second}, {"after", nullptr}});
            env_summary.push_back(kv.first + " removed");
        }
    }
    Json writes = Json::array();
    for (const auto &w : in.env_writes)
        writes.push_back({{"at", w.first}, {"line", w.second}});
    j["bootenv"] = {
        {"before", env_before}, {"after", env_after}, {"changes", env_changes}, {"writes", writes}};

    Json parts = Json::array();
    std::vector<std::string> changed_parts, moved_parts;
    for (int i = 0; i < kPartitions; ++i) {
        const Window &b = in.before.windows[i], &a = in.after.windows[i];
        bool moved = b.start != a.start || b.end != a.end;
        bool changed = in.before.sha256[i] != in.after.sha256[i];
        std::string name = "mtd" + std::to_string(i);
        if (changed)
            changed_parts.push_back(name);
        if (moved)
            moved_parts.push_back(name);
        parts.push_back({{"name", name},
                         {"changed", changed},
                         {"moved", moved},
                         {"before",
                          {{"start", text_hex32(b.start)},
                           {"end", text_hex32(b.end)},
                           {"sha256", in.before.sha256[i]}}},
                         {"after",
                          {{"start", text_hex32(a.start)},
                           {"end", text_hex32(a.end)},
                           {"sha256", in.after.sha256[i]}}}});
    }
    if (digests)
        j["partitions"] = parts;

    Json created = Json::array(), changed = Json::array(), removed = Json::array();
    std::vector<std::string> file_summary;
    for (const auto &f : in.after.files) {
        auto it = in.before.files.find(f.first);
        Json entry = {{"path", f.first}, {"size", f.second.size}};
        if (f.second.type != 'd')
            entry["sha256"] = f.second.sha256;
        if (it == in.before.files.end()) {
            created.push_back(entry);
            if (f.second.type != 'd')
                file_summary.push_back("+" + f.first);
        } else if (it->second.type != f.second.type || it->second.size != f.second.size ||
                   it->second.sha256 != f.second.sha256) {
            changed.push_back(entry);
            file_summary.push_back("~" + f.first);
        }
    }
    for (const auto &f : in.before.files) {
        if (in.after.files.count(f.first) == 0) {
            removed.push_back({{"path", f.first}, {"size", f.second.size}});
            file_summary.push_back("-" + f.first);
        }
    }
    if (digests)
        j["files"] = {{"created", created}, {"changed", changed}, {"removed", removed}};

    std::string misc_text;
    read_file(paths.root + "/dev/misc0", &misc_text, in.before.misc_size);
    std::vector<std::string> misc = non_empty_lines(misc_text);
    j["misc"] = misc;

    Json records = Json::object();
    std::vector<std::string> record_summary;
    for (const auto &r : in.after.records) {
        auto it = in.before.records.find(r.first);
        off_t from = it == in.before.records.end() ? 0 : it->second;
        std::string text;
        read_file(paths.records() + "/" + r.first, &text, from);
        std::vector<std::string> lines = non_empty_lines(text);
        std::string key = r.first.substr(0, r.first.size() - 4);
        records[key] = lines;
        if (!lines.empty())
            record_summary.push_back(key + " " + std::to_string(lines.size()));
    }
    j["records"] = records;
    j["sysv"] = in.sysv;

    Json ops = Json::array();
    for (const auto &o : in.flash_ops) {
        const FlashOp &op = o.second;
        Json entry = {{"n", op.n},
                      {"at", o.first},
                      {"kind", op.kind},
                      {"mtd", op.mtd < 0 ? Json() : Json(op.mtd)}};
        if (op.mtd < 0) {
            entry["text"] = op.text;
        } else {
            entry["offset"] = op.offset;
            entry["length"] = op.length;
        }
        if (op.fault)
            entry["fault"] = true;
        ops.push_back(entry);
    }
    j["flash_ops"] = ops;
    const FlashTiming &timing = in.flash_timing;
    FlashCount flash_total;
    Json flash_parts = Json::array();
    for (int i = 0; i < kPartitions; ++i) {
        const FlashCount &c = in.flash_counts[size_t(i)];
        if (c.erases == 0 && c.erased == 0 && c.programmed == 0 && c.read == 0)
            continue;
        flash_total += c;
        Json entry = {{"mtd", i}};
        entry.update(flash_count_json(timing, c));
        flash_parts.push_back(entry);
    }
    j["flash"] = {{"timing",
                   {{"erase_ms", timing.erase_ms},
                    {"program_ms_per_kib", timing.program_ms_per_kib},
                    {"read_ms_per_kib", timing.read_ms_per_kib},
                    {"delay", timing.delay}}},
                  {"partitions", flash_parts},
                  {"total", flash_count_json(timing, flash_total)}};
    if (in.result.ending == Ending::PowerCut) {
        bool at_op = !in.flash_ops.empty() && in.flash_ops.back().second.cut;
        const FlashOp *op = at_op ? &in.flash_ops.back().second : nullptr;
        j["power_cut"] = {{"op", op ? Json(op->n) : Json()},
                          {"seconds", op ? Json() : Json(in.cut_after)},
                          {"kind", op ? Json(op->kind) : Json()}};
    }

    j["exit_status"] = exit_status(in.result, in.options->program_run);
    if (in.result.failure_screen.shown)
        j["failure_screen"] = {
            {"text", in.result.failure_screen.text},
            {"id", in.result.failure_screen.id == 0 ? Json() : Json(in.result.failure_screen.id)}};
    std::string err;
    if (error->empty() && !hosttool::write_output(dir + "/report.json", j.dump(2) + "\n", &err))
        failed(err);

    // The summary is for a glance: long lists are cut, the report has them.
    auto join = [](const std::vector<std::string> &v, const char *none) {
        if (v.empty())
            return std::string(none);
        const size_t shown = 8;
        std::string s;
        for (size_t i = 0; i < v.size() && i < shown; ++i)
            s += (s.empty() ? "" : ", ") + v[i];
        if (v.size() > shown)
            s += " and " + std::to_string(v.size() - shown) + " more";
        return s;
    };
    std::ostringstream s;
    s << "ending:      " << outcome(in) << "\n";
    s << "log:         " << in.log.size() << " lines, " << errors << " at error level or worse\n";
    std::map<std::pair<int, int>, int> kinds;
    for (const IpcRecord &m : in.ipc)
        ++kinds[{m.msg, m.param1}];
    std::vector<std::string> ipc_summary;
    for (const auto &k : kinds)
        ipc_summary.push_back("message " + std::to_string(k.first.first) + "/" +
                              std::to_string(k.first.second) + " x" + std::to_string(k.second));
    s << "ipc:         " << in.ipc.size() << " messages" << (in.ipc.empty() ? "" : ": ")
      << join(ipc_summary, "") << "\n";
    s << "frames:      " << in.frames.size() << " (" << distinct.size() << " distinct)\n";
    s << "boot env:    " << join(env_summary, "unchanged") << "\n";
    if (digests) {
        s << "partitions:  changed " << join(changed_parts, "none") << "; moved "
          << join(moved_parts, "none") << "\n";
        s << "files:       " << join(file_summary, "no change") << "\n";
    } else {
        s << "partitions:  moved " << join(moved_parts, "none")
          << "; contents not compared (--record brief)\n";
        s << "files:       not compared (--record brief)\n";
    }
    s << "misc:        " << join(misc, "no requests") << "\n";
    s << "scripts:     " << join(record_summary, "no runs") << "\n";
    char flash_secs[32];
    snprintf(flash_secs, sizeof(flash_secs), "%.1f", flash_time_ms(timing, flash_total) / 1000);
    s << "flash:       " << flash_total.erases
      << (flash_total.erases == 1 ? " erase (" : " erases (") << mib(flash_total.erased) << "), "
      << mib(flash_total.programmed) << " programmed, " << mib(flash_total.read)
      << " read; telephone time about " << flash_secs << " s\n";
    s << "flash operations: " << in.flash_ops.size() << "\n";
    s << "report:      " << dir << "/report.json\n";
    *summary = s.str();
    if (error->empty() && !hosttool::write_output(dir + "/summary.txt", *summary, &err))
        failed(err);
    return error->empty() ? 0 : -1;
}

} // namespace phonesim
