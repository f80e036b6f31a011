// A simulated telephone with the real upgrader installed, for tests that
// judge an upgrade the way a user or a peer would: exit status or reboot,
// log lines, IPC messages, screens, flash, boot environment and files.
// UPGRADER_BIN and PHONESIM_BIN name the programs.
#ifndef TESTS_INTEGRATION_TELEPHONE_H
#define TESTS_INTEGRATION_TELEPHONE_H

#include "files.h"
#include "isolation.h"
#include "phonesim_run.h"
#include "rompack/packmaker.h"

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace testsupport
{

// phonesim's exit status when the telephone rebooted / hit the time limit.
constexpr int kRebooted = 100;
constexpr int kTimeLimit = 124;

// A pack this telephone accepts by default (device 59, variant 2, installed
// 2.143.6.200): the given partitions, version 2.143.7.1 unless told.
inline rompack::PackSpec accepted_pack(std::vector<rompack::PartitionSpec> partitions,
                                       const std::string &version = "2.143.7.1")
{
    rompack::PackSpec recipe;
    recipe.device_id = 59;
    recipe.oem_id = 0;
    rompack::parse_version(version, &recipe.version);
    recipe.match_id[0] = 2;
    recipe.scramble_key = 17;
    for (rompack::PartitionSpec &p : partitions)
        if (p.version == 0)
            p.version = recipe.version;
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

class Telephone
{
  public:
    // A fresh telephone in a temporary directory; profile is phonesim's JSON
    // profile ("" = defaults).
    explicit Telephone(const std::string &profile_json = "")
    {
        dir_ = tmp_.path() + "/phone";
        std::vector<std::string> args = {"init", dir_, "--program", UPGRADER_BIN};
        if (!profile_json.empty()) {
            put(tmp_.path() + "/profile.json", profile_json);
            args.push_back("--profile");
            args.push_back(tmp_.path() + "/profile.json");
        }
        init_status_ = phonesim(args, tmp_.path() + "/init.out");
    }

    bool ok() const { return init_status_ == 0; }
    const std::string &dir() const { return dir_; }
    // A path of the telephone ("/tmp/x") on the host.
    std::string operator/(const std::string &path) const { return dir_ + path; }

    // Writes the pack to the host path and returns it.
    std::string write_pack(const rompack::PackSpec &recipe, const std::string &name = "rom.bin")
    {
        std::vector<uint8_t> bytes = rompack::make_pack(recipe);
        std::string path = tmp_.path() + "/" + name;
        put(path, std::string(bytes.begin(), bytes.end()));
        return path;
    }

    // phonesim upgrade DIR PACK --mode MODE with extra options (pauses
    // scaled to 0 and a 120 s limit unless the options say otherwise).
    // Returns phonesim's status and loads the report.
    int upgrade(const std::string &pack, const std::string &mode,
                std::vector<std::string> options = {})
    {
        std::vector<std::string> args = {"upgrade", dir_, pack, "--mode", mode};
        return invoke(args, options);
    }

    // phonesim run DIR [options] -- command...
    int run(const std::vector<std::string> &command, std::vector<std::string> options = {})
    {
        std::vector<std::string> args = {"run", dir_};
        options.push_back("--");
        options.insert(options.end(), command.begin(), command.end());
        return invoke(args, options);
    }

    const nlohmann::json &report() const { return report_; }
    // The stdout of the last phonesim command.
    std::string output() const { return slurp(tmp_.path() + "/run.out"); }

    // Texts of the log lines of the last run after "upgrader pidN,tidN,lL: ".
    std::vector<std::string> log() const
    {
        std::vector<std::string> out;
        for (const nlohmann::json &l : report_["log"]) {
            std::string text = l["text"];
            size_t colon = text.find(": ");
            out.push_back(colon == std::string::npos ? text : text.substr(colon + 2));
        }
        return out;
    }
    // Whether some log line contains text.
    bool logged(const std::string &text) const
    {
        for (const std::string &l : log())
            if (l.find(text) != std::string::npos)
                return true;
        return false;
    }
    // The broadcasts received, as "msg,param1,param2" in order: what the
    // peer with identity 1 got (every broadcast reaches each peer once).
    std::vector<std::string> ipc_messages() const
    {
        std::vector<std::string> out;
        for (const nlohmann::json &m : report_["ipc"])
            if (m["listener"] == 1)
                out.push_back(std::to_string(m["msg"].get<int>()) + "," +
                              std::to_string(m["param1"].get<int>()) + "," +
                              std::to_string(m["param2"].get<int>()));
        return out;
    }
    // The report's entry of partition mtdN (null when there is none).
    nlohmann::json partition(int n) const
    {
        for (const nlohmann::json &p : report_["partitions"])
            if (p["name"] == "mtd" + std::to_string(n))
                return p;
        return nullptr;
    }
    // Whether partition mtdN's bytes changed in the last run.
    bool partition_changed(int n) const
    {
        nlohmann::json p = partition(n);
        return p.is_object() && p["changed"].get<bool>();
    }
    // The bytes of mtdN's current window in the chip image.
    std::string partition_bytes(int n) const
    {
        nlohmann::json p = partition(n);
        if (!p.is_object())
            return "";
        uint32_t start = std::stoul(p["after"]["start"].get<std::string>(), nullptr, 0);
        uint32_t end = std::stoul(p["after"]["end"].get<std::string>(), nullptr, 0);
        return slurp(dir_ + "/.phonesim/flash.img").substr(start - 0x90000000u, end - start);
    }
    // The hex of the last frame shown, "" when none.
    std::string last_screen() const
    {
        if (report_["frames"].empty())
            return "";
        return screen_hex(report_, report_["frames"].back());
    }

  private:
    int invoke(std::vector<std::string> args, std::vector<std::string> options)
    {
        bool has_scale = false, has_limit = false;
        for (const std::string &o : options) {
            has_scale = has_scale || o == "--pause-scale";
            has_limit = has_limit || o == "--time-limit";
        }
        std::vector<std::string> extra;
        if (!has_scale)
            extra.insert(extra.end(), {"--pause-scale", "0"});
        if (!has_limit)
            extra.insert(extra.end(), {"--time-limit", "120"});
        // Options go before "--" of a run, after PACK of an upgrade.
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), options.begin(), options.end());
        int status = phonesim(args, tmp_.path() + "/run.out");
        report_ = last_report(dir_);
        return status;
    }

    TempDir tmp_;
    std::string dir_;
    int init_status_ = -1;
    nlohmann::json report_;
};

} // namespace testsupport

#endif
