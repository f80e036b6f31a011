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

// What each code of the check and of the flash writer tells a user. A code
// the program defines without a line here (or the other way round) stops
// the tool: a new code is described before the guide is made again.
const std::map<int, std::string> &code_meanings()
{
    static const std::map<int, std::string> meanings = {
        {UPD_MSG_ARG_ADDR_ERR, "the file does not start with the pack's magic, or is shorter "
                               "than its ROM header"},
        {UPD_MSG_ROM_HEADER_RROM_ERR, "the ROM header's second magic is wrong after unscrambling "
                                      "(wrong scramble key), or its size is too large"},
        {UPD_MSG_ROM_HEADER_CHECKSUM_ERR, "the ROM header's checksum word does not balance"},
        {UPD_MSG_ROM_CHECKSUM_ERR, "the body is shorter than the header says, or its checksum "
                                   "differs"},
        {UPD_MSG_OEM_VERSION_ERR, "never given by this program"},
        {UPD_MSG_MACHINE_ID_ERR, "the pack's device id does not fit the telephone's model (first "
                                 "number of hwver)"},
        {UPD_MSG_MATCH_ID_ERR, "the telephone's variant (fifth number of hwver) is not in the "
                               "pack's match ids"},
        {UPD_MSG_PART_HEADER_RPAT_ERR, "a partition header lies outside the file or lacks its "
                                       "magic"},
        {UPD_MSG_PART_HEADER_CHECKSUM_ERR, "a partition header's checksum word does not balance"},
        {UPD_MSG_PART_CHECKSUM_ERR, "a payload lies outside the file, or its checksum differs"},
        {UPD_MSG_PARTITION_ID_ERROR, "a flash partition id from 10 to 254"},
        {UPD_MSG_PARTITION_TYPE_ERROR, "a flash partition (id 0..9) whose type is not 0"},
        {UPD_MSG_READ_ENV_FAILED, "the boot environment or the version files could not be read"},
        {UPD_MSG_READ_HWVERSION_FAILED, "hwver could not be read, or does not hold eight numbers"},
        {UPD_MSG_ROM_VERSION_SAME, "the telephone already runs the pack's version (RomVersion): "
                                   "the program stops the applications, writes no partition and "
                                   "reboots"},
        {UPD_MSG_MTD_ENV_LOSED, "the boot environment has no window mtdN for a partition of the "
                                "pack"},
        {UPD_MSG_MTD_ADDR_ERR, "a partition's payload is larger than its window"},
        {UPD_MSG_MTD_OPEN_ERR, "/dev/mtdN could not be opened (logged with the text of -84)"},
        {UPD_MSG_FLASH_ERASE_ERR, "writing the flash: an erase failed, or the device's erase "
                                  "blocks or size do not fit its window"},
        {UPD_MSG_FLASH_WRITE_ERR, "writing the flash: a write or its read-back failed"},
        {UPD_MSG_SET_ENV_FAILED, "a boot environment write of the accepted pack failed; the writes "
                                 "already made are put back"},
        {UPD_MSG_PART_NUM_ERR, "more than " + std::to_string(MAX_PARTITIONS) + " partitions"},
        {UPD_MSG_MID_OEM_ERR, "telephone and pack both have a mid version, and their OEMs differ"},
        {UPD_MSG_SW_PROTECT_ERR, "a pack with the older ROM header on a protected telephone"},
        {UPD_MSG_PROTECT_OEM_ERR, "a protected telephone: a pack of another OEM, or of its own "
                                  "OEM with neither mid version nor protection"},
        {UPD_MSG_UNPROTECT_OEM_ERR, "an unprotected telephone: a mid-version pack of another OEM "
                                    "(telephone OEM not 0), or a protected pack without mid "
                                    "version"},
        {UPD_MSG_HW_MIN_VERSION_ERR, "the pack is older than the minimum version of the "
                                     "telephone's hardware"},
        {UPD_MSG_ERR, "the check could not run (a file it needs in /tmp could not be written)"},
        {UPD_MSG_OK, "the telephone takes the pack"},
        {UPD_MSG_PART_VERSION_SAME, "a partition of the installed version: not written"},
        {UPD_MSG_PART_SKIPPED, "a partition that is not for the flash, passed over"},
        {UPD_MSG_UPGRADER_TOOL, "the pack carries an upgrade program, extracted to "
                                "/tmp/upgrader_tool, which takes the upgrade over"},
        {UPD_MSG_MTD_CONF, "the pack carries a partition layout, extracted to /tmp/mtd.conf"},
        {UPD_MSG_CONFIG_MODIFY, "the pack carries a configuration modification, staged for "
                                "/config/config_modify"},
    };
    return meanings;
}

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
    const auto &meanings = code_meanings();
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
