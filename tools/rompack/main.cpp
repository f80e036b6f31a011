// rompack: make ROM packs, show what is in them, and ask the program's own
// check whether a telephone would take one.
//
//   rompack create MANIFEST -o PACK
//   rompack info PACK [--json] [--verbose]
//   rompack verify PACK --device DIR [--json] [--keep] [--verbose]
//
// Exit status: 0 success (a valid pack; a pack the telephone accepts),
// 1 a refused pack, 2 the tool could not do its work.
#include "log/rl_log.h"
#include "rompack/inspect.h"
#include "rompack/manifest.h"

#include <CLI/CLI.hpp>

#include <stdio.h>
#include <syslog.h>

#include <fstream>
#include <iterator>

namespace
{

constexpr int kRefused = 1;
constexpr int kToolError = 2;

bool read_pack(const std::string &path, std::vector<uint8_t> *out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "rompack: %s: cannot open\n", path.c_str());
        return false;
    }
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// The program logs every step at debug level to the system log; by default
// the tool prints only its own report. --verbose keeps those lines and
// copies them to stderr.
void set_logging(bool verbose)
{
    if (!verbose) {
        rl_log_reset_level(-1);
        return;
    }
    rl_log_init("rompack", LOG_DEBUG);
    openlog("", LOG_NDELAY | LOG_PERROR, LOG_USER);
}

int create(const std::string &manifest_path, const std::string &out_path)
{
    rompack::Manifest manifest;
    std::string error;
    std::vector<uint8_t> pack;
    if (!rompack::load_manifest(manifest_path, &manifest, &error) ||
        !rompack::build_pack(manifest, &pack, &error)) {
        fprintf(stderr, "rompack: %s\n", error.c_str());
        return kToolError;
    }
    std::ofstream out(out_path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(pack.data()),
              static_cast<std::streamsize>(pack.size()));
    out.close();
    if (!out) {
        fprintf(stderr, "rompack: %s: cannot write\n", out_path.c_str());
        return kToolError;
    }
    printf("%s: %zu bytes, %zu partition%s\n", out_path.c_str(), pack.size(),
           manifest.pack.partitions.size(), manifest.pack.partitions.size() == 1 ? "" : "s");
    return 0;
}

int info(const std::string &path, bool json)
{
    std::vector<uint8_t> pack;
    if (!read_pack(path, &pack))
        return kToolError;
    nlohmann::json report = rompack::inspect_pack(pack);
    report["file"] = path;
    fputs(json ? (report.dump(2) + "\n").c_str() : rompack::render_info(report).c_str(), stdout);
    return report["code"] == 0 ? 0 : kRefused;
}

int verify(const std::string &path, const std::string &device, bool json, bool keep)
{
    std::vector<uint8_t> pack;
    if (!read_pack(path, &pack))
        return kToolError;
    nlohmann::json report;
    std::string error;
    if (!rompack::verify_pack(pack, device, keep, &report, &error)) {
        fprintf(stderr, "rompack: %s\n", error.c_str());
        return kToolError;
    }
    report["file"] = path;
    report["device"] = device;
    fputs(json ? (report.dump(2) + "\n").c_str() : rompack::render_verify(report).c_str(), stdout);
    return report["accepted"] ? 0 : kRefused;
}

} // namespace

int main(int argc, char **argv)
{
    // Named, not taken from argv[0]: the manual page is made from this text.
    CLI::App app{"Make ROM packs, show what is in them, and check them against a telephone",
                 "rompack"};
    app.require_subcommand(1);
    bool verbose = false;
    app.add_flag("--verbose,-v", verbose, "Copy the program's log lines to stderr");

    std::string manifest, out_path;
    CLI::App *create_cmd = app.add_subcommand("create", "Make a pack from a JSON manifest");
    create_cmd->add_option("manifest", manifest, "The manifest")
        ->required()
        ->check(CLI::ExistingFile);
    create_cmd->add_option("-o,--output", out_path, "The pack to write")->required();

    std::string pack_path;
    bool json = false;
    CLI::App *info_cmd = app.add_subcommand("info", "Read and validate a pack, show every field");
    info_cmd->add_option("pack", pack_path, "The pack")->required()->check(CLI::ExistingFile);
    info_cmd->add_flag("--json", json, "Print the report as JSON");

    std::string device;
    bool keep = false;
    CLI::App *verify_cmd =
        app.add_subcommand("verify", "Run the telephone's check on a copy of a device profile");
    verify_cmd->add_option("pack", pack_path, "The pack")->required()->check(CLI::ExistingFile);
    verify_cmd->add_option("--device,-d", device, "The device profile, a telephone root")
        ->required()
        ->check(CLI::ExistingDirectory);
    verify_cmd->add_flag("--json", json, "Print the report as JSON");
    verify_cmd->add_flag("--keep", keep, "Keep the device copy and name it");

    for (CLI::App *sub : {info_cmd, verify_cmd})
        sub->add_flag("--verbose,-v", verbose, "Copy the program's log lines to stderr");

    CLI11_PARSE(app, argc, argv);
    set_logging(verbose);
    if (*create_cmd)
        return create(manifest, out_path);
    if (*info_cmd)
        return info(pack_path, json);
    return verify(pack_path, device, json, keep);
}
