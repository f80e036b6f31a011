// doctables: writes the code tables of docs/guide.md from the program's own
// definitions, so that the guide cannot drift from the code.
//
//   doctables GUIDE [-o OUT]   rewrite every table block of GUIDE (OUT: GUIDE)
//   doctables --check GUIDE    only compare; name the blocks that differ
//
// A block is the text between the lines "<!-- doctables: NAME -->" and
// "<!-- end doctables -->"; everything else of the guide is left as written.
//
// Exit status: 0 done (with --check: every block up to date); 1 a block is
// out of date, or the guide could not be written; 2 a bad command line, or a
// guide that cannot be read, lacks a block or names one this tool does not
// know.
#include "basicui/key.h"
#include "common/codes.h"
#include "common/hosttool.h"
#include "libupgrader/libupgrader.h"
#include "upgrader/failure.h"
#include "upgrader/rompack_codes.h"
#include "upgrader/rompack_read.h"

#include <CLI/CLI.hpp>

#include <stdio.h>
#include <string.h>

#include <functional>
#include <map>
#include <string>

namespace
{


// rompack verify's answer: the codes with which the program goes on to
// reboot are accepted (a same-version pack reboots without writing). The
// flash writer's codes come after the check, so verify never gives them.
const char *verify_answer(int code)
{
    if (code == UPD_MSG_OK || code == UPD_MSG_UPGRADER_TOOL || code == UPD_MSG_ROM_VERSION_SAME)
        return "accepted, exit 0";
    if (code == UPD_MSG_FLASH_ERASE_ERR || code == UPD_MSG_FLASH_WRITE_ERR)
        return "(writing the flash)";
    return code < 0 ? "refused, exit 1" : "(one partition)";
}

bool pack_codes(std::string *out, std::string *error)
{
    // Wider than the codes the program defines, so that a new one is found.
    constexpr int kLowest = -300, kHighest = 300;
    const std::string unknown = upd_msg_name(kLowest - 1);
    const auto &meanings = hosttool::code_meanings();
    *out = "| Code | Name | Meaning | `rompack verify` |\n|---|---|---|---|\n";
    size_t described = 0;
    for (int code = kLowest; code <= kHighest; ++code) {
        const std::string name = upd_msg_name(code);
        if (name == unknown)
            continue;
        auto it = meanings.find(code);
        if (it == meanings.end()) {
            *error = "code " + std::to_string(code) + " " + name + " has no meaning to print";
            return false;
        }
        ++described;
        *out += "| " + std::to_string(code) + " | `" + name + "` | " + it->second + " | " +
                verify_answer(code) + " |\n";
    }
    if (described != meanings.size()) {
        *error = "a meaning is written for a code the program does not define";
        return false;
    }
    return true;
}

bool upgrade_states(std::string *out, std::string *)
{
    struct Row {
        int state;
        const char *meaning;
    };
    const Row rows[] = {
        {LIBUPD_STATE_PLAIN, "a failure shows the failure screen, which waits for the Reboot key"},
        {LIBUPD_STATE_AUTOP, "auto-provisioned: a failure shows the screen and counts 60 seconds "
                             "down to the reboot"},
        {LIBUPD_STATE_NO_KILL, "as 0, but the applications are not stopped (no kill script)"},
        {~LIBUPD_STATE_PLAIN, "the loader failed to load the pack: nothing is done"},
        {~LIBUPD_STATE_AUTOP, "the loader failed to load the pack (auto-provisioned): nothing is "
                              "done"},
        {~LIBUPD_STATE_NO_KILL, "as 2"},
    };
    *out = "| State | Meaning |\n|---|---|\n";
    for (const Row &r : rows)
        *out += "| " + std::to_string(r.state) + " | " + r.meaning + " |\n";
    return true;
}

bool keypad(std::string *out, std::string *)
{
    struct Row {
        const char *key;
        int code;
        const char *use;
    };
    const Row rows[] = {
        {"1 .. 9", KPAD_1, "types the digit (codes 1 to 9)"},
        {"0", KPAD_0, "types the character"},
        {"*", KPAD_STAR, "types the character"},
        {"#", KPAD_HASH, "types the character"},
        {"previous field", KPAD_PREV, "moves to the previous field"},
        {"next field", KPAD_NEXT, "moves to the next field"},
        {"left", KPAD_LEFT, "moves the caret"},
        {"right", KPAD_RIGHT, "moves the caret"},
        {"OK", KPAD_OK, "confirms"},
        {"delete", KPAD_DEL, "deletes a character"},
        {"soft key 1 (leftmost)", KPAD_SOFT1, "cancels"},
        {"soft key 2", KPAD_SOFT2, "switches the input mode"},
        {"soft key 3", KPAD_SOFT3, "deletes a character"},
        {"soft key 4 (rightmost)", KPAD_SOFT4, "confirms"},
    };
    *out = "| Key | Code | What it does |\n|---|---|---|\n";
    for (const Row &r : rows) {
        // The failure screens wait for this one key alone.
        const std::string reboot =
            r.code == REBOOT_KEY_CODE ? "**Reboot** on a failure screen; " : "";
        *out += "| " + std::string(r.key) + " | " + std::to_string(r.code) + " | " + reboot +
                r.use + " |\n";
    }
    return true;
}

using Table = std::function<bool(std::string *, std::string *)>;

const std::map<std::string, Table> &tables()
{
    static const std::map<std::string, Table> all = {
        {"pack-codes", pack_codes},
        {"upgrade-states", upgrade_states},
        {"keypad", keypad},
    };
    return all;
}

const char kBegin[] = "<!-- doctables: ";
const char kBeginEnd[] = " -->";
const char kEnd[] = "<!-- end doctables -->";

struct Result {
    std::string text;
    std::string stale; // names of the blocks that changed, comma-separated
};

// Rebuilds guide with every block made again. false with *error on a guide
// that lacks a table, names an unknown one or leaves a block open.
bool rebuild(const std::string &guide, Result *result, std::string *error)
{
    std::map<std::string, bool> seen;
    size_t pos = 0;
    while (pos < guide.size()) {
        size_t eol = guide.find('\n', pos);
        eol = eol == std::string::npos ? guide.size() : eol + 1;
        const std::string line = guide.substr(pos, eol - pos);
        result->text += line;
        pos = eol;
        if (line.compare(0, strlen(kBegin), kBegin) != 0)
            continue;
        const size_t name_end = line.find(kBeginEnd, strlen(kBegin));
        const std::string name = line.substr(strlen(kBegin), name_end - strlen(kBegin));
        auto table = tables().find(name);
        if (name_end == std::string::npos || table == tables().end()) {
            *error = "unknown table block: " + line;
            return false;
        }
        const size_t end = guide.find(std::string(kEnd) + "\n", pos);
        if (end == std::string::npos) {
            *error = "table block " + name + " is not closed with " + kEnd;
            return false;
        }
        std::string made;
        if (!table->second(&made, error))
            return false;
        if (guide.compare(pos, end - pos, made) != 0)
            result->stale += (result->stale.empty() ? "" : ", ") + name;
        result->text += made;
        pos = end;
        seen[name] = true;
    }
    for (const auto &t : tables())
        if (!seen[t.first]) {
            *error = "no block for the table " + t.first + " (add " + kBegin + t.first + kBeginEnd +
                     " ... " + kEnd + ")";
            return false;
        }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Write the code tables of the user's guide from the program's own definitions",
                 "doctables"};
    hosttool::add_version_flag(app);
    std::string guide_path, out_path;
    bool check = false;
    app.add_option("guide", guide_path, "The guide (docs/guide.md)")->required();
    app.add_option("-o,--output", out_path, "Where to write it (default: the guide itself)");
    app.add_flag("--check", check, "Only compare; exit 1 when a table is out of date");
    int status = hosttool::kExitOk;
    if (!hosttool::parse_command_line(app, argc, argv, &status))
        return status;

    std::string guide, error;
    Result result;
    if (!hosttool::read_input(guide_path, 1 << 20, &guide, &error) ||
        !rebuild(guide, &result, &error)) {
        fprintf(stderr, "doctables: %s\n", error.c_str());
        return hosttool::kExitUsage;
    }
    if (check) {
        if (result.stale.empty())
            return hosttool::kExitOk;
        fprintf(stderr, "doctables: %s: out of date: %s (make guide writes them again)\n",
                guide_path.c_str(), result.stale.c_str());
        return hosttool::kExitFailed;
    }
    if (!hosttool::write_output(out_path.empty() ? guide_path : out_path, result.text, &error)) {
        fprintf(stderr, "doctables: %s\n", error.c_str());
        return hosttool::kExitFailed;
    }
    return hosttool::kExitOk;
}
