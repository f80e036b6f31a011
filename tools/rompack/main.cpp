// rompack: make ROM packs, show what is in them, and ask the program's own
// check whether a telephone would take one.
//
//   rompack create MANIFEST -o PACK
//   rompack info PACK [--json]
//   rompack verify PACK (--device DIR | --profile FILE | --phone DIR) [--json] [--keep]
//
// "-" is standard input for MANIFEST and PACK, and standard output for -o.
//
// Exit status, for every subcommand:
//   0  success: the pack was made, the pack is valid (info), the telephone
//      takes it (verify: 0, 11 a carried upgrade program, -86 the same
//      version, which the telephone reboots from without writing);
//   1  refused (info: an invalid pack; verify: the telephone refuses it), or
//      the work failed (the pack or the report could not be written, the
//      scratch copy could not be made);
//   2  usage or input error: a bad command line; a manifest, payload or pack
//      that cannot be read or is malformed; -o naming an input; a broken
//      telephone description (a file the check needs missing or garbled, a
//      bad profile field).
#include "common/hosttool.h"
#include "log/rl_log.h"
#include "rompack/inspect.h"
#include "rompack/manifest.h"

#include <CLI/CLI.hpp>

#include <errno.h>
#include <stdio.h>
#include <syslog.h>

namespace
{

using hosttool::kExitFailed;
using hosttool::kExitOk;
using hosttool::kExitUsage;

// The largest pack the maker makes; a bigger file is not one of ours.
constexpr uint64_t kMaxPack = 256ull << 20;

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

int fail(int status, const std::string &message)
{
    fprintf(stderr, "rompack: %s\n", message.c_str());
    return status;
}

// The report on standard output; a closed pipe or a full disk is reported.
int print(const std::string &text, int status)
{
    std::string error;
    if (!hosttool::write_output("-", text.data(), text.size(), 0644, &error))
        return fail(kExitFailed, error);
    return status;
}

// A manifest given where the pack belongs is the commonest slip: say so,
// rather than call it a pack without its magic.
bool read_pack(const std::string &path, std::vector<uint8_t> *pack, std::string *error)
{
    if (!hosttool::read_input(path, kMaxPack, pack, error))
        return false;
    if (rompack::looks_like_manifest(*pack))
        return *error = (path == "-" ? std::string("standard input") : path) +
                        ": a manifest, not a pack: make the pack with \"rompack create " +
                        path + " -o PACK\" first",
               false;
    return true;
}

int create(const std::string &manifest_path, const std::string &out_path)
{
    rompack::Manifest manifest;
    std::string error;
    if (!rompack::load_manifest(manifest_path, &manifest, &error))
        return fail(kExitUsage, error);
    // Refused before anything is written: the rename would replace an input.
    if (hosttool::same_file(out_path, manifest_path))
        return fail(kExitUsage, out_path + ": is the manifest; give another -o");
    for (const std::string &payload : manifest.payload_files)
        if (hosttool::same_file(out_path, payload))
            return fail(kExitUsage, out_path + ": is the payload " + payload + "; give another -o");
    std::vector<uint8_t> pack;
    if (!rompack::build_pack(manifest, &pack, &error))
        return fail(kExitUsage,
                    (manifest_path == "-" ? "standard input" : manifest_path) + ": " + error);
    if (!hosttool::write_output(out_path, pack.data(), pack.size(), 0644, &error))
        return fail(kExitFailed, error);
    // With the pack on standard output the summary goes to stderr.
    fprintf(out_path == "-" ? stderr : stdout, "%s: %zu bytes, %zu partition%s\n",
            out_path == "-" ? "standard output" : out_path.c_str(), pack.size(),
            manifest.pack.partitions.size(), manifest.pack.partitions.size() == 1 ? "" : "s");
    return kExitOk;
}

int info(const std::string &path, bool json)
{
    std::vector<uint8_t> pack;
    std::string error;
    if (!read_pack(path, &pack, &error))
        return fail(kExitUsage, error);
    nlohmann::json report = rompack::inspect_pack(pack);
    report["file"] = path;
    return print(json ? report.dump(2) + "\n" : rompack::render_info(report),
                 report["code"] == 0 ? kExitOk : kExitFailed);
}

int verify(const std::string &path, const rompack::Device &device, bool json, bool keep)
{
    std::vector<uint8_t> pack;
    std::string error;
    if (!read_pack(path, &pack, &error))
        return fail(kExitUsage, error);
    nlohmann::json report;
    const int status = rompack::verify_pack(pack, device, keep, &report, &error);
    if (status != kExitOk)
        return fail(status, error);
    report["file"] = path;
    report["device"] = device.path;
    return print(json ? report.dump(2) + "\n" : rompack::render_verify(report),
                 report["accepted"] ? kExitOk : kExitFailed);
}

} // namespace

int main(int argc, char **argv)
{
    // Named, not taken from argv[0]: the manual page is made from this text.
    CLI::App app{"Make ROM packs, show what is in them, and check them against a telephone.\n"
                 "Exit status: 0 success or accepted, 1 refused or failed, "
                 "2 usage or input error.",
                 "rompack"};
    hosttool::add_version_flag(app);
    app.require_subcommand(1);
    bool verbose = false;
    app.add_flag("--verbose,-v", verbose, "Copy the program's log lines to stderr");

    std::string manifest, out_path;
    CLI::App *create_cmd = app.add_subcommand("create", "Make a pack from a JSON manifest");
    create_cmd
        ->add_option("manifest", manifest,
                     "The manifest (- for standard input: payload files are then named "
                     "relative to the current directory)")
        ->required()
        ->type_name("MANIFEST");
    create_cmd
        ->add_option("-o,--output", out_path,
                     "The pack to write (- for standard output); it appears whole or not at all")
        ->required()
        ->type_name("PACK");

    std::string pack_path;
    bool json = false;
    CLI::App *info_cmd = app.add_subcommand(
        "info", "Read and validate a pack, show every field and the SHA-256 of the pack and of "
                "each payload");
    info_cmd->add_option("pack", pack_path, "The pack (- for standard input)")
        ->required()
        ->type_name("PACK");
    info_cmd->add_flag("--json", json, "Print the report as JSON");

    rompack::Device device;
    std::string device_dir, profile, phone;
    bool keep = false;
    CLI::App *verify_cmd = app.add_subcommand(
        "verify", "Run the telephone's check on a scratch copy of a telephone; exactly one of "
                  "--profile, --phone and --device describes it. Exit 0 when the telephone "
                  "takes the pack (0; 11, it carries an upgrade program; -86, the same "
                  "version, which it reboots from without writing), 1 when it refuses it, 2 "
                  "when the description is broken (a file the check needs is missing or "
                  "garbled, a bad profile field)");
    verify_cmd->add_option("pack", pack_path, "The pack (- for standard input)")
        ->required()
        ->type_name("PACK");
    CLI::Option *profile_opt =
        verify_cmd
            ->add_option("--profile", profile,
                         "A phonesim JSON profile (hardware, versions, boot environment)")
            ->type_name("FILE");
    CLI::Option *phone_opt =
        verify_cmd
            ->add_option("--phone", phone,
                         "A telephone made by 'phonesim init', as it stands between runs (its boot "
                         "environment, profile and version files)")
            ->type_name("DIR");
    CLI::Option *device_opt =
        verify_cmd
            ->add_option("--device,-d", device_dir,
                         "Low-level: a telephone root directory holding proc/avalanche/env, "
                         "proc/misc/hwver, "
                         "proc/ver/software, app/version.conf, basic/version.conf and version.conf")
            ->type_name("DIR");
    profile_opt->excludes(phone_opt)->excludes(device_opt);
    phone_opt->excludes(device_opt);
    verify_cmd->add_flag("--json", json, "Print the report as JSON");
    verify_cmd->add_flag("--keep", keep, "Keep the scratch copy of the telephone and name it");

    for (CLI::App *sub : {info_cmd, verify_cmd})
        sub->add_flag("--verbose,-v", verbose, "Copy the program's log lines to stderr");

    int status = kExitOk;
    if (!hosttool::parse_command_line(app, argc, argv, &status))
        return status;
    set_logging(verbose);
    if (*create_cmd)
        return create(manifest, out_path);
    if (*info_cmd)
        return info(pack_path, json);
    if (profile_opt->count() + phone_opt->count() + device_opt->count() != 1)
        return fail(kExitUsage, "verify: describe the telephone with one of --profile FILE, "
                                "--phone DIR or --device DIR");
    device.kind = *profile_opt ? rompack::Device::Kind::profile
                  : *phone_opt ? rompack::Device::Kind::phone
                               : rompack::Device::Kind::root;
    device.path = *profile_opt ? profile : *phone_opt ? phone : device_dir;
    return verify(pack_path, device, json, keep);
}
