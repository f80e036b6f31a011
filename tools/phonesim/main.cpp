// phonesim: the simulated telephone on a PC.
//
//   phonesim init DIR [--profile FILE] [--program PATH] [--busybox] [--chip FILE]
//   phonesim run DIR [options] -- COMMAND [ARGS]
//   phonesim upgrade DIR PACK --mode file|shm|direct [--state N] [options]
//   phonesim show DIR
//
// Exit status of run and upgrade: 100 when the telephone rebooted without a
// failure screen, 102 when it rebooted from one; for run the command's exit
// status, for upgrade 103 when the program ended without a reboot; 128 + N
// when it was killed by signal N; 124 at the time limit; 101 when the power
// was cut (--cut-at, --cut-after or the profile's power_cut); 130 when
// phonesim itself was interrupted; 2 for a bad command line or input; 125
// when phonesim could not make the run; 127 when the command was not found.
#include "common/hosttool.h"
#include "phonesim/frames.h"
#include "phonesim/init.h"
#include "phonesim/profile.h"
#include "phonesim/runner.h"

#include <elf.h>
#include <stddef.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <iostream>
#include <sstream>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

namespace
{

using phonesim::kExitCannotRun;
using phonesim::kExitNotFound;
constexpr int kExitUsage = hosttool::kExitUsage;

struct RunFlags {
    double pause_scale = 1;
    double time_limit = 600;
    std::string load;
    int state = 0;
    double saver_hold = 0;
    std::string keys;
    bool watch = false;
    std::string report;
    uint64_t cut_at = 0;
    double cut_after = 0;
    double flash_delay = -1; // the profile's
    std::string record = "full";
    CLI::Option *state_option = nullptr;
};

void add_run_flags(CLI::App *app, RunFlags *f, bool with_loader)
{
    app->add_option("--pause-scale", f->pause_scale,
                    "UPGRADER_PAUSE_SCALE for the program (0 = no pauses)");
    app->add_option("--time-limit", f->time_limit,
                    "end the run after SECS (real time, above 0; default 600)");
    if (with_loader) {
        app->add_option("--load", f->load, "the loader puts PACK into the shared upgrade memory");
        f->state_option =
            app->add_option("--state", f->state, "upgrade state the loader sets (with --load)");
    }
    app->add_option("--saver-hold", f->saver_hold,
                    "the configuration saver holds semaphore 0xB012 for SECS (0 or more)");
    app->add_option("--keys", f->keys, "key presses T:CODE,... (seconds, keypad code)");
    app->add_flag("--watch", f->watch, "draw the LCD in the terminal as it changes");
    app->add_option("--report", f->report, "report directory (default DIR/.phonesim/last-run)");
    app->add_option("--cut-at", f->cut_at, "the power fails during flash operation N (from 1)")
        ->check(CLI::Range(uint64_t(1), UINT64_MAX));
    app->add_option("--cut-after", f->cut_after,
                    "the power fails SECS after the start (real time, above 0)");
    app->add_option("--flash-delay", f->flash_delay,
                    "each flash request waits the telephone's time for it times SCALE (1 = "
                    "the telephone's pace, 0.1 ten times faster), to watch the progress bar "
                    "at a real telephone's pace; replaces the profile's flash_timing.delay")
        ->type_name("SCALE");
    app->add_option("--record", f->record,
                    "what the report holds: full (the default: report.json, summary.txt, the "
                    "frames as PNG and the contact sheet), report (no pictures) or brief (no "
                    "pictures, and no partition or file digests: for campaigns of many runs)")
        ->check(CLI::IsMember({"full", "report", "brief"}));
}

// Values the options take but that make no sense: the message says what
// would; empty when all is well.
std::string refused_value(const RunFlags &f, bool cut_after_given, bool flash_delay_given)
{
    auto number = [](double v) { return std::isfinite(v); };
    if (!number(f.time_limit) || f.time_limit <= 0)
        return "--time-limit: a number of seconds above 0 (the default is 600)";
    if (!number(f.pause_scale) || f.pause_scale < 0)
        return "--pause-scale: a number 0 or above (0 = no pauses, 1 = the telephone's)";
    if (!number(f.saver_hold) || f.saver_hold < 0)
        return "--saver-hold: a number of seconds, 0 or above";
    if (cut_after_given && (!number(f.cut_after) || f.cut_after <= 0))
        return "--cut-after: a number of seconds above 0";
    if (flash_delay_given && (!number(f.flash_delay) || f.flash_delay < 0))
        return "--flash-delay: a number 0 or above (1 = the telephone's pace)";
    if (f.state_option != nullptr && f.state_option->count() > 0 && f.load.empty())
        return "--state: only with --load PACK (the loader sets the state)";
    return "";
}

// Where --report goes must be writable before the run, not found out after
// an upgrade that cannot be repeated.
bool report_writable(const std::string &dir, std::string *error)
{
    std::string path = dir;
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            std::string part = path.substr(0, i);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
                *error = hosttool::path_error(part, "--report cannot be made", errno);
                return false;
            }
        }
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = hosttool::path_error(dir, "--report is not a directory", ENOTDIR);
        return false;
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        *error = hosttool::path_error(dir, "--report cannot be written", errno);
        return false;
    }
    return true;
}

int run(const std::string &dir, const RunFlags &f, const std::vector<std::string> &command,
        const std::string &tmp_copy = "", bool program_run = false)
{
    phonesim::RunOptions o;
    o.dir = dir;
    o.command = command;
    o.pause_scale = f.pause_scale;
    o.time_limit = f.time_limit;
    o.load_pack = f.load;
    o.state = f.state;
    o.saver_hold = f.saver_hold;
    o.watch = f.watch;
    o.report = f.report;
    o.cut_at = f.cut_at;
    o.cut_after = f.cut_after;
    o.flash_delay = f.flash_delay;
    o.tmp_copy = tmp_copy;
    o.program_run = program_run;
    o.record = f.record == "brief"    ? phonesim::Record::Brief
               : f.record == "report" ? phonesim::Record::Report
                                      : phonesim::Record::Full;
    if (!f.keys.empty() && !phonesim::parse_keys(f.keys, &o.keys)) {
        std::cerr << "phonesim: --keys: expected T:CODE,T:CODE,... (seconds 0 or above, "
                     "keypad codes 0..65535) but got "
                  << f.keys << "\n";
        return kExitUsage;
    }
    phonesim::RunResult result;
    std::string error, report_error;
    if (!f.report.empty() && !report_writable(f.report, &error)) {
        std::cerr << "phonesim: " << error << "\n";
        return kExitUsage;
    }
    if (phonesim::run_telephone(o, &result, &error, &report_error) != 0) {
        std::cerr << "phonesim: " << error << "\n";
        return result.status == kExitNotFound ? kExitNotFound : kExitCannotRun;
    }
    // The summary goes to stderr: stdout belongs to the command.
    std::cerr << result.summary;
    if (!report_error.empty())
        std::cerr << "phonesim: the report could not be written to " << f.report << ": "
                  << report_error << "; it is in " << result.report_dir << "\n";
    if (f.cut_at > 0 && result.ending != phonesim::Ending::PowerCut)
        std::cerr << "phonesim: the cut at " << f.cut_at << " was never reached (the run had "
                  << result.flash_ops << " flash operations)\n";
    return phonesim::exit_status(result, program_run);
}

// The program runs on this machine: an ELF executable of its class, byte
// order and machine, or a script. Anything else would only fail later in
// the run as "not found" (127), with nothing said.
bool runs_here(const std::string &program, std::string *error)
{
    auto header = [](const std::string &path, unsigned char *out, size_t size) {
        FILE *f = fopen(path.c_str(), "rb");
        size_t n = f != nullptr ? fread(out, 1, size, f) : 0;
        if (f != nullptr)
            fclose(f);
        return n;
    };
    unsigned char mine[sizeof(Elf64_Ehdr)] = {}, its[sizeof(Elf64_Ehdr)] = {};
    size_t have = header(program, its, sizeof(its));
    if (have >= 2 && its[0] == '#' && its[1] == '!')
        return true;
    header("/proc/self/exe", mine, sizeof(mine));
    // e_machine sits at the same place in 32- and 64-bit headers.
    const size_t machine = offsetof(Elf64_Ehdr, e_machine);
    if (have >= machine + 2 && memcmp(its, ELFMAG, SELFMAG) == 0 &&
        its[EI_CLASS] == mine[EI_CLASS] && its[EI_DATA] == mine[EI_DATA] &&
        memcmp(its + machine, mine + machine, 2) == 0)
        return true;
    *error = "--program: " + program +
             ": not a program for this machine (a host build of the program, or a #! script)";
    return false;
}

int init(const std::string &dir, const std::string &profile_file, const std::string &program,
         bool busybox, const std::string &chip)
{
    phonesim::Profile profile = phonesim::default_profile();
    std::string error;
    if (!profile_file.empty() && !phonesim::load_profile(profile_file, &profile, &error)) {
        std::cerr << "phonesim: " << error << "\n";
        return kExitUsage;
    }
    if (!program.empty() && access(program.c_str(), F_OK) == 0 && !runs_here(program, &error)) {
        std::cerr << "phonesim: " << error << "\n";
        return kExitUsage;
    }
    phonesim::InitOptions options;
    options.program = program;
    options.busybox = busybox;
    options.chip = chip;
    if (!chip.empty() && !phonesim::chip_image_ok(chip, &error)) {
        std::cerr << "phonesim: " << error << "\n";
        return kExitUsage;
    }
    if (phonesim::init_telephone(dir, profile, options, &error) != 0) {
        std::cerr << "phonesim: " << error << "\n";
        return 1;
    }
    std::cout << "telephone made in " << dir << "\n";
    return 0;
}

// The pack goes into the telephone's /tmp, where the program finds it under
// its root; the run copies it there once it has booted, as a boot after a
// power cut empties /tmp.
int upgrade(const std::string &dir, const std::string &pack, const std::string &mode, RunFlags f)
{
    std::string program = dir + "/basic/bin/upgrader";
    if (access(program.c_str(), X_OK) != 0) {
        std::cerr << "phonesim: " << program
                  << " is missing: install it with phonesim init --program PATH\n";
        return kExitUsage;
    }
    std::vector<std::string> command = {program};
    std::string tmp_copy;
    if (mode == "shm") {
        f.load = pack;
    } else {
        tmp_copy = pack;
        command.push_back("/tmp/" + pack.substr(pack.find_last_of('/') + 1));
        if (mode == "direct")
            command.push_back("x");
    }
    return run(dir, f, command, tmp_copy, true);
}

bool from_hex(const std::string &hex, std::vector<uint8_t> *out)
{
    if (hex.size() % 2 != 0)
        return false;
    out->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        unsigned v = 0;
        if (sscanf(hex.c_str() + i, "%2x", &v) != 1)
            return false;
        out->push_back(static_cast<uint8_t>(v));
    }
    return true;
}

int show(const std::string &dir)
{
    phonesim::Paths paths;
    paths.root = dir;
    std::ifstream in(paths.last_run() + "/report.json");
    if (!in) {
        std::cerr << "phonesim: " << dir << ": no run reported yet\n";
        return 1;
    }
    nlohmann::json report = nlohmann::json::parse(in, nullptr, false);
    if (report.is_discarded()) {
        std::cerr << "phonesim: " << paths.last_run() << "/report.json is not valid JSON\n";
        return 1;
    }
    std::string last;
    if (report.contains("frames") && !report["frames"].empty())
        last = report["frames"].back().value("sha256", "");
    std::vector<uint8_t> frame;
    for (const auto &s : report.value("screens", nlohmann::json::array()))
        if (s.value("sha256", "") == last)
            from_hex(s.value("hex", ""), &frame);
    if (frame.size() == phonesim::kFrameBytes)
        std::cout << phonesim::render_text(frame);
    else
        std::cout << "(the last run drew no screen)\n";
    std::ifstream summary(paths.last_run() + "/summary.txt");
    std::cout << "\nlast run:\n" << summary.rdbuf();
    std::ifstream env(paths.bootenv()), layout(paths.layout());
    std::cout << "\nboot environment now:\n" << env.rdbuf();
    std::cout << "\nlayout now:\n" << layout.rdbuf();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    // Everything after "--" is the command, untouched by option parsing.
    std::vector<std::string> command;
    int own = argc;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--") == 0) {
            own = i;
            command.assign(argv + i + 1, argv + argc);
            break;
        }
    }

    // Named, not taken from argv[0]: the manual page is made from this text.
    CLI::App app{"phonesim: the simulated telephone", "phonesim"};
    app.require_subcommand(1);

    std::string dir, profile, program, chip;
    bool busybox = false;
    CLI::App *init_cmd = app.add_subcommand("init", "make a telephone root DIR");
    init_cmd->add_option("DIR", dir, "telephone root")->required();
    init_cmd->add_option("--profile", profile, "JSON profile (defaults otherwise)");
    init_cmd->add_option("--program", program, "installed as /basic/bin/upgrader");
    init_cmd->add_flag("--busybox", busybox, "busybox applets as the /bin tools");
    init_cmd->add_option("--chip", chip,
                         "the chip image to start from (8 MiB) instead of an erased chip");

    RunFlags flags;
    CLI::App *run_cmd = app.add_subcommand("run", "run COMMAND in the telephone DIR");
    run_cmd->footer("Usage: phonesim run DIR [OPTIONS] -- COMMAND [ARGS]\n"
                    "Everything after -- is the command, run as the telephone's.");
    run_cmd->add_option("DIR", dir, "telephone root")->required();
    add_run_flags(run_cmd, &flags, true);

    std::string pack, mode;
    CLI::App *upgrade_cmd =
        app.add_subcommand("upgrade", "run /basic/bin/upgrader on PACK in the telephone DIR");
    upgrade_cmd->add_option("DIR", dir, "telephone root")->required();
    upgrade_cmd->add_option("PACK", pack, "ROM pack")->required()->check(CLI::ExistingFile);
    upgrade_cmd->add_option("--mode", mode, "file, shm or direct")
        ->required()
        ->check(CLI::IsMember({"file", "shm", "direct"}));
    CLI::Option *upgrade_state =
        upgrade_cmd->add_option("--state", flags.state, "upgrade state the loader sets (shm)");
    add_run_flags(upgrade_cmd, &flags, false);

    CLI::App *show_cmd = app.add_subcommand("show", "the last screen and the state of DIR");
    show_cmd->add_option("DIR", dir, "telephone root")->required();

    hosttool::add_version_flag(app);
    int status = 0;
    if (!hosttool::parse_command_line(app, own, argv, &status))
        return status;
    for (CLI::App *sub : {run_cmd, upgrade_cmd}) {
        if (!*sub)
            continue;
        std::string refused =
            refused_value(flags, sub->count("--cut-after") > 0, sub->count("--flash-delay") > 0);
        if (!refused.empty()) {
            std::cerr << "phonesim: " << refused << "\n";
            return kExitUsage;
        }
    }
    // The telephone's root is handed to the program and its tools, which run
    // from other working directories: it must not be relative.
    if (!dir.empty() && dir[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof(cwd)) != nullptr)
            dir = std::string(cwd) + "/" + dir;
    }

    if (*init_cmd)
        return init(dir, profile, program, busybox, chip);
    if (*show_cmd)
        return show(dir);
    if (*upgrade_cmd) {
        if (!command.empty()) {
            std::cerr << "phonesim: upgrade takes no command\n";
            return kExitUsage;
        }
        if (upgrade_state->count() > 0 && mode != "shm") {
            std::cerr << "phonesim: --state: only with --mode shm (the loader sets the state)\n";
            return kExitUsage;
        }
        return upgrade(dir, pack, mode, flags);
    }
    if (command.empty()) {
        std::cerr << "phonesim: run needs -- COMMAND [ARGS]\n";
        return kExitUsage;
    }
    return run(dir, flags, command);
}
