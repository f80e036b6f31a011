// A simulated telephone driven through the phonesim command (PHONESIM_BIN,
// with UPGRADER_BIN installed) and judged from its report; the packs it
// accepts and the screens it must show, drawn by the UI library.
#ifndef TESTS_SUPPORT_TELEPHONE_H
#define TESTS_SUPPORT_TELEPHONE_H

#include "child.h"
#include "files.h"
#include "isolation.h"
#include "lcd_root.h"

#include "basicui/basicUI.h"
#include "log/rl_log.h"
#include "rompack/packmaker.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include <nlohmann/json.hpp>

namespace testsupport
{

using Lines = std::vector<std::string>;
using nlohmann::json;
// phonesim's exit status when the telephone rebooted / hit the time limit.
constexpr int kRebooted = 100, kTimeLimit = 124;

// phonesim with args, all it prints into out_file; its exit status.
inline int phonesim(const Lines &args, const std::string &out_file)
{
    return in_child([&] {
        int fd = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char *> argv{const_cast<char *>(PHONESIM_BIN)};
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(PHONESIM_BIN, argv.data());
        return 126;
    });
}

// A pack this telephone accepts by default (device 59, variant 2, installed
// 2.143.6.200): the given partitions, version 2.143.7.1 unless told.
inline rompack::PackSpec accepted_pack(std::vector<rompack::PartitionSpec> partitions,
                                       const std::string &version = "2.143.7.1")
{
    rompack::PackSpec recipe;
    recipe.device_id = 59;
    rompack::parse_version(version, &recipe.version);
    recipe.match_id[0] = 2;
    recipe.scramble_key = 17;
    for (rompack::PartitionSpec &p : partitions)
        p.version = p.version != 0 ? p.version : recipe.version;
    recipe.partitions = std::move(partitions);
    return recipe;
}

// A partition of id with size bytes of a deterministic pattern.
inline rompack::PartitionSpec partition(uint32_t id, uint32_t size, const std::string &pattern)
{
    rompack::PartitionSpec p;
    p.id = id;
    rompack::generate_payload(size, pattern, &p.payload);
    return p;
}

// The LCD (hex) after each of the screens drawn in turn on a plain root:
// "progress PERCENT", "failed ID TEXT", "countdown ID SECONDS" or
// "rebooting". In a child: the UI keeps one dialog and frame buffer mapping
// per process.
inline Lines drawn_screens(const Lines &screens)
{
    TempDir out;
    int rc = in_child([&] {
        // No private namespaces here (phonesim needs the host's FUSE), so
        // the drawing keeps quiet instead of writing to the host's log.
        rl_log_reset_level(-1);
        ScopedRoot root;
        make_lcd_root(root, "59.1.0.1.2.0.0.0\n");
        CBasicUI ui;
        if (ui.Init() < 0)
            return 1;
        std::string pictures, kind, text;
        for (const std::string &screen : screens) {
            int n = 0, seconds = 0;
            std::istringstream in(screen);
            in >> kind >> n >> seconds;
            if (kind == "progress")
                ui.SetUpgradingProgressBar(n);
            else if (kind == "countdown")
                ui.ShowUpgradingAutop2FailedInfoWithID(n, seconds);
            else if (kind == "failed")
                ui.ShowUpgradingFailedInfoWithID(screen.substr(screen.find(' ', 7) + 1).c_str(), n);
            else
                ui.DispNoticeInfo("Rebooting...");
            pictures += to_hex(slurp(root / "/dev/fb0")) + "\n";
        }
        ui.Deinit();
        put(out.path() + "/pictures", pictures);
        return 0;
    });
    Lines hex;
    std::istringstream text(slurp(out.path() + "/pictures"));
    for (std::string line; std::getline(text, line);)
        hex.push_back(line);
    return rc == 0 ? hex : Lines{"no picture drawn"};
}

class Telephone
{
  public:
    // A fresh telephone; profile is phonesim's JSON profile ("" = defaults).
    explicit Telephone(const std::string &profile = "")
    {
        Lines args = {"init", dir_, "--program", UPGRADER_BIN};
        if (!profile.empty()) {
            put(tmp_.path() + "/profile.json", profile);
            args.insert(args.end(), {"--profile", tmp_.path() + "/profile.json"});
        }
        init_status_ = phonesim(args, tmp_.path() + "/run.out");
    }

    bool ok() const { return init_status_ == 0; }
    const std::string &dir() const { return dir_; }
    // A path of the telephone ("/tmp/x") on the host.
    std::string operator/(const std::string &path) const { return dir_ + path; }

    // Writes the pack beside the telephone; returns its host path.
    std::string write_pack(const rompack::PackSpec &recipe)
    {
        std::vector<uint8_t> bytes = rompack::make_pack(recipe);
        put(tmp_.path() + "/rom.bin", std::string(bytes.begin(), bytes.end()));
        return tmp_.path() + "/rom.bin";
    }

    // phonesim upgrade or run (each run is a process of its own: it enters
    // namespaces for good); pauses scaled to 0 and a 120 s limit unless the
    // options say otherwise. phonesim's status; the report is loaded.
    int upgrade(const std::string &pack, const std::string &mode, const Lines &options = {})
    {
        return invoke({"upgrade", dir_, pack, "--mode", mode}, options);
    }
    int run(const Lines &command, Lines options = {})
    {
        options.push_back("--");
        options.insert(options.end(), command.begin(), command.end());
        return invoke({"run", dir_}, options);
    }

    const json &report() const { return report_; }
    // What the last phonesim command printed.
    std::string output() const { return slurp(tmp_.path() + "/run.out"); }

    // Log lines of the last run containing text, at level (-1: any).
    int logged(const std::string &text, int level = -1) const
    {
        int n = 0;
        for (const json &l : report_.value("log", json::array()))
            n += l["text"].get<std::string>().find(text) != std::string::npos &&
                 (level < 0 || l["level"] == level);
        return n;
    }
    // The broadcasts, as "msg,param1,param2" in order: what the peer with
    // identity 1 got (every broadcast reaches each peer once).
    Lines ipc_messages() const
    {
        Lines out;
        for (const json &m : report_.value("ipc", json::array()))
            if (m["listener"] == 1)
                out.push_back(m["msg"].dump() + "," + m["param1"].dump() + "," +
                              m["param2"].dump());
        return out;
    }
    Lines misc() const { return report_.value("misc", Lines{}); }
    // The runs of a stand-in script or command ("killapps", "umount").
    Lines records(const char *name) const
    {
        return report_.value("records", json::object()).value(name, Lines{});
    }

    // The report's entry of partition mtdN (null when there is none).
    json partition(int n) const
    {
        for (const json &p : report_.value("partitions", json::array()))
            if (p["name"] == "mtd" + std::to_string(n))
                return p;
        return nullptr;
    }
    // The partitions whose "changed" (or "moved") flag the last run set, as
    // "4 8"; "" for none.
    std::string partitions(const char *flag = "changed") const
    {
        std::string out;
        for (int n = 0; n < 10; ++n)
            if (partition(n).is_object() && partition(n).value(flag, false))
                out += (out.empty() ? "" : " ") + std::to_string(n);
        return out;
    }
    // The bytes of mtdN's current window in the chip image.
    std::string partition_bytes(int n) const
    {
        json after = partition(n)["after"];
        uint32_t start = std::stoul(after["start"].get<std::string>(), nullptr, 0);
        uint32_t end = std::stoul(after["end"].get<std::string>(), nullptr, 0);
        return slurp(dir_ + "/.phonesim/flash.img").substr(start - 0x90000000u, end - start);
    }

    // The hex of every frame, repeats in a row taken out: what a person
    // watching the LCD saw change.
    Lines screens() const
    {
        Lines out;
        for (const json &f : report_.value("frames", json::array()))
            for (const json &s : report_["screens"])
                if (s["sha256"] == f["sha256"] && (out.empty() || out.back() != s["hex"]))
                    out.push_back(s["hex"]);
        return out;
    }

  private:
    int invoke(Lines args, const Lines &options)
    {
        for (auto d : {std::make_pair("--pause-scale", "0"), std::make_pair("--time-limit", "120")})
            if (std::find(options.begin(), options.end(), d.first) == options.end())
                args.insert(args.end(), {d.first, d.second});
        args.insert(args.end(), options.begin(), options.end());
        int status = phonesim(args, tmp_.path() + "/run.out");
        report_ = json::parse(slurp(dir_ + "/.phonesim/last-run/report.json"), nullptr, false);
        if (!report_.is_object())
            report_ = json::object();
        return status;
    }

    TempDir tmp_;
    std::string dir_ = tmp_.path() + "/phone";
    int init_status_ = -1;
    json report_ = json::object();
};

} // namespace testsupport

#endif
