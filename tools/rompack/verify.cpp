// "rompack verify": the program's own check against a telephone.
//
// The telephone is a root (proc/avalanche/env, proc/misc/hwver,
// proc/ver/software, the version files, dev/mtdN, tmp/bin), given as is or
// written from a phonesim profile or a phonesim telephone. The check runs
// on a throwaway copy of it in a scratch directory with UPGRADER_ROOT
// pointing there, so the description is never written. The copy is prepared so that it behaves like
// the telephone:
//
// - tmp/bin gets cat, touch and chmod from the host's /bin where the
//   telephone has none (the check runs them through the shell);
// - dev/mtd0..9 exist as plain files where missing, so that the check's
//   open test fails only through what the telephone's environment says;
// - proc/avalanche/env behaves like the kernel file: reading it gives the
//   telephone's environment, and every line written to it is recorded. On
//   the telephone the check writes a variable with
//   'echo "NAME VALUE" >/proc/avalanche/env', which on a plain file would
//   overwrite the previous write. So the copy's env is a FIFO whose read end
//   we hold open (non-blocking) for the whole check: every echo opens it
//   without waiting, its line lands in the pipe, and after the check the
//   lines are read back in order (each is far below PIPE_BUF, so none is
//   split or interleaved, and the pipe holds 64 KiB). A FIFO cannot also
//   serve the one read of the environment (cat would wait for a writer), so
//   tmp/bin/cat is a small script that serves that one path from a saved
//   copy of the telephone's env and hands every other call to the real cat.
//
// Files the check extracts are found by comparing tmp/ and config/ of the
// copy before and after (the check's own scratch copies of the kernel files
// left out).
#include "rompack/inspect.h"

#include "common/hosttool.h"
#include "common/text.h"
#include "log/rl_log.h"
#include "phonesim/profile.h"
#include "platform/unique_fd.h"
#include "platform/platform.h"
#include "upgrader/devenv.h"
#include "upgrader/rompack.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

namespace rompack
{

using nlohmann::json;
namespace fs = std::filesystem;

namespace
{

// The check's own copies of kernel files: not extracted payloads.
const char *const kScratch[] = {"tmp/avalanche_env_file", "tmp/ver_software", "tmp/ver_hardware"};

std::string quote(const std::string &s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

bool write_file(const fs::path &path, const std::string &text, mode_t mode)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return out.good() && chmod(path.c_str(), mode) == 0;
}

// FNV-1a over a file's bytes, with its size: enough to see that a file
// changed without keeping its contents.
struct FileStamp {
    uint64_t size = 0;
    uint64_t hash = 0;
    bool operator!=(const FileStamp &o) const { return size != o.size || hash != o.hash; }
};

FileStamp stamp(const fs::path &path)
{
    FileStamp s;
    s.hash = 1469598103934665603ull;
    std::ifstream in(path, std::ios::binary);
    char buf[65536];
    while (in.read(buf, sizeof(buf)) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
            s.hash = (s.hash ^ static_cast<uint8_t>(buf[i])) * 1099511628211ull;
        }
        s.size += static_cast<uint64_t>(in.gcount());
    }
    return s;
}

std::map<std::string, FileStamp> snapshot(const fs::path &root)
{
    std::map<std::string, FileStamp> files;
    for (const char *top : {"tmp", "config"}) {
        std::error_code ec;
        fs::path dir = root / top;
        if (!fs::is_directory(dir, ec))
            continue;
        for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end;
             it.increment(ec)) {
            if (it->is_regular_file(ec))
                files[fs::relative(it->path(), root, ec).string()] = stamp(it->path());
        }
    }
    return files;
}

// Lays out the copy under work/root; false with *error on failure.
bool prepare(const fs::path &device, const fs::path &work, std::string *error)
{
    std::error_code ec;
    const fs::path root = work / "root";
    // Symbolic links are copied as what they point at, so that nothing the
    // check writes can reach outside the copy.
    fs::copy(device, root, fs::copy_options::recursive, ec);
    if (ec) {
        *error = device.string() + ": cannot copy the telephone root: " + ec.message();
        return false;
    }
    for (const char *dir : {"tmp/bin", "dev", "proc/avalanche"}) {
        fs::create_directories(root / dir, ec);
        if (ec) {
            *error = "cannot create " + (root / dir).string() + ": " + ec.message();
            return false;
        }
    }
    for (const char *tool : {"cat", "touch", "chmod"}) {
        const fs::path to = root / "tmp/bin" / tool;
        if (!fs::exists(to, ec) && !fs::copy_file(fs::path("/bin") / tool, to, ec)) {
            *error = std::string("cannot copy /bin/") + tool + ": " + ec.message();
            return false;
        }
    }
    for (int i = 0; i < 10; ++i) {
        const fs::path mtd = root / "dev" / ("mtd" + std::to_string(i));
        if (!fs::exists(mtd, ec) && !write_file(mtd, "", 0644)) {
            *error = "cannot create " + mtd.string();
            return false;
        }
    }
    // The environment: saved beside the copy, replaced by a FIFO.
    const fs::path env = root / "proc/avalanche/env";
    if (fs::exists(env, ec))
        fs::rename(env, work / "env", ec);
    if (ec || mkfifo(env.c_str(), 0666) != 0) {
        *error = "cannot turn " + env.string() + " into a FIFO";
        return false;
    }
    const fs::path real_cat = work / "cat";
    fs::rename(root / "tmp/bin/cat", real_cat, ec);
    if (ec) {
        *error = "cannot move the profile's cat aside: " + ec.message();
        return false;
    }
    const std::string script =
        "#!/bin/sh\n"
        "# rompack verify: the boot environment here is a FIFO that records\n"
        "# writes; reading it gives the profile's environment.\n"
        "case \"$1\" in\n"
        "  */proc/avalanche/env) exec " +
        quote(real_cat) + " " + quote(work / "env") +
        " ;;\n"
        "esac\n"
        "exec " +
        quote(real_cat) + " \"$@\"\n";
    if (!write_file(root / "tmp/bin/cat", script, 0755)) {
        *error = "cannot write the cat wrapper";
        return false;
    }
    return true;
}

// Every line written to the FIFO so far.
std::vector<std::string> drain(int fd)
{
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n > 0)
            text.append(buf, static_cast<size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    return text_lines(text);
}

std::string describe(int code)
{
    switch (code) {
    case UPD_MSG_OK:
        return "accepted";
    case UPD_MSG_UPGRADER_TOOL:
        return "accepted: the pack carries an upgrade program, extracted to /tmp/upgrader_tool; "
               "the check stopped there and the telephone would hand over to it";
    case UPD_MSG_ROM_VERSION_SAME:
        // The locked modes let it through, set the boot environment and
        // reboot with no burn; the direct mode writes the pack again.
        return "accepted (same version: the telephone reboots without writing; only the boot "
               "environment below is set; `upgrader PACK x` writes it again)";
    default:
        return "refused";
    }
}

std::string version_text(uint32_t v)
{
    char text[32];
    rompack_version_text(v, text, sizeof(text));
    return text;
}

// The files the check reads from a telephone root (devenv.cpp read_env,
// get_hardware_version; rompack.cpp). Without the kernel files the check
// fails with -1 or -87; without the version files it takes every partition
// for unknown and accepts what the telephone would call the same version.
// Both are faults of the description, not of the pack.
const char *const kVersionFiles[] = {"app/version.conf", "basic/version.conf", "version.conf"};

// "59.1.0.1.2.0.0.0": eight numbers 0..255, as the kernel gives it.
bool hwver_ok(std::string text)
{
    while (!text.empty() && isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    int count = 0;
    size_t digits = 0;
    unsigned value = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '.') {
            if (digits == 0 || value > 255)
                return false;
            ++count;
            digits = 0;
            value = 0;
        } else if (isdigit(static_cast<unsigned char>(text[i])) && digits < 3) {
            value = value * 10 + unsigned(text[i] - '0');
            ++digits;
        } else {
            return false;
        }
    }
    return count == HW_VERSION_LEN;
}

// What is wrong with the telephone root dir: the file (relative) and the
// fault; an empty file when nothing is.
struct Fault {
    std::string file, what;
};

Fault device_fault(const fs::path &dir)
{
    std::error_code ec;
    const char *const needed[] = {"proc/avalanche/env", "proc/misc/hwver", "proc/ver/software",
                                  kVersionFiles[0],     kVersionFiles[1],  kVersionFiles[2]};
    for (const char *rel : needed)
        if (!fs::is_regular_file(dir / rel, ec))
            return {rel, "missing (the check needs it)"};
    std::string text, error;
    for (const char *rel : {"proc/misc/hwver", "proc/ver/software"}) {
        if (!hosttool::read_input((dir / rel).string(), 4096, &text, &error))
            return {rel, error.substr(error.find(": ") + 2)};
        const std::string line = text.substr(0, text.find('\n'));
        if (rel[5] == 'm' && !hwver_ok(text))
            return {rel, "\"" + line + "\" is not eight numbers 0..255 joined by dots"};
        if (rel[5] == 'v' && line.find(',') == std::string::npos)
            return {rel, "\"" + line + "\" is not \"VERSION,BUILD\""};
    }
    return {};
}

bool put_files(const fs::path &dir, const phonesim::DeviceFiles &files, std::string *error)
{
    for (const auto &[rel, content] : files) {
        std::error_code ec;
        fs::create_directories((dir / rel).parent_path(), ec);
        if (ec || !write_file(dir / rel, content, 0644)) {
            *error =
                hosttool::path_error((dir / rel).string(), "cannot write", ec ? ec.value() : errno);
            return false;
        }
    }
    return true;
}

// A telephone made by phonesim init, read while it does not run: the boot
// environment the kernel would start from, the hardware of its profile and
// its own version files. DIR/proc and DIR/dev lead into the kernel's mount
// and dangle outside a run, so they are never followed.
bool read_phone(const fs::path &dir, phonesim::DeviceFiles *files, std::string *error)
{
    const phonesim::Paths paths{dir.string()};
    std::error_code ec;
    if (!fs::is_regular_file(paths.profile(), ec)) {
        *error =
            dir.string() + ": not a telephone made by phonesim init (no " + paths.profile() + ")";
        return false;
    }
    phonesim::Profile profile;
    if (!phonesim::load_profile(paths.profile(), &profile, error))
        return false;
    *files = phonesim::device_files(profile);
    for (auto &[rel, content] : *files) {
        std::string from = rel == "proc/avalanche/env" ? paths.bootenv() : (dir / rel).string();
        if (rel.compare(0, 5, "proc/") == 0 && rel != "proc/avalanche/env")
            continue; // the kernel serves these from the profile
        struct stat st;
        if (lstat(from.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            content.clear();
            rel.clear(); // as on the telephone: absent
            continue;
        }
        if (!hosttool::read_input(from, 1u << 20, &content, error))
            return false;
    }
    files->erase(
        std::remove_if(files->begin(), files->end(), [](const auto &f) { return f.first.empty(); }),
        files->end());
    return true;
}

// Makes the telephone root the check runs on out of the description:
// *root is the given directory, or one written under work.
bool describe_device(const Device &device, const fs::path &work, fs::path *root, std::string *error)
{
    std::error_code ec;
    if (device.kind == Device::Kind::root) {
        if (!fs::is_directory(device.path, ec)) {
            *error = device.path + ": not a directory";
            return false;
        }
        *root = fs::absolute(device.path, ec);
    } else {
        phonesim::DeviceFiles files;
        if (device.kind == Device::Kind::profile) {
            phonesim::Profile profile;
            if (!phonesim::load_profile(device.path, &profile, error))
                return false;
            files = phonesim::device_files(profile);
        } else {
            if (!fs::is_directory(device.path, ec)) {
                *error = device.path + ": not a directory";
                return false;
            }
            if (!read_phone(device.path, &files, error))
                return false;
        }
        *root = work / "device";
        if (!put_files(*root, files, error))
            return false;
    }
    const Fault fault = device_fault(*root);
    if (fault.file.empty())
        return true;
    if (device.kind == Device::Kind::profile) {
        // Only the kernel files can be wrong in a profile that was read.
        const std::string field = fault.file == "proc/misc/hwver"     ? "hwver"
                                  : fault.file == "proc/ver/software" ? "software"
                                                                      : "bootenv";
        *error = device.path + ": profile field \"" + field + "\": " + fault.what;
        return false;
    }
    *error = device.path + "/" + fault.file + ": " + fault.what;
    if (device.kind == Device::Kind::root && fs::exists(fs::path(device.path) / ".phonesim", ec))
        *error += " (a telephone made by phonesim init is read with --phone)";
    return false;
}

} // namespace

int verify_pack(const std::vector<uint8_t> &pack, const Device &device, bool keep, json *report,
                std::string *error)
{
    hosttool::ScratchDir scratch("rompack-verify");
    if (!scratch.ok()) {
        *error = scratch.error();
        return hosttool::kExitFailed;
    }
    std::error_code ec;
    // canonical only resolves links in TMPDIR, and falls back to the name
    // as made.
    fs::path work = fs::canonical(scratch.path(), ec);
    if (ec || work.empty())
        work = fs::absolute(scratch.path(), ec);
    fs::path source;
    if (!describe_device(device, work, &source, error))
        return hosttool::kExitUsage;
    const fs::path root = work / "root";
    if (!prepare(source, work, error))
        return hosttool::kExitFailed;
    UniqueFd fifo(open((root / "proc/avalanche/env").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fifo.valid()) {
        *error = hosttool::path_error((root / "proc/avalanche/env").string(),
                                      "cannot open the FIFO", errno);
        return hosttool::kExitFailed;
    }
    const auto before = snapshot(root);
    setenv(UPGRADER_ROOT_ENV, root.c_str(), 1);

    env_info table[ENV_TABLE_SIZE];
    memset(table, 0, sizeof(table));
    Rom_Header header;
    memset(&header, 0, sizeof(header));
    Partition_Header parts[MAX_PARTITIONS];
    memset(parts, 0, sizeof(parts));
    int flags[MAX_PARTITIONS];
    for (int &f : flags)
        f = -1; // not examined
    mtd_config = 0;
    upgrader_tool_version = 0;
    const int code = upgrader_rompack_check(pack.data(), pack.size(), table, &header, parts, flags);
    unsetenv(UPGRADER_ROOT_ENV);

    // A refused pack changes nothing (the check takes back what it staged),
    // and a pack of the installed version is not written: the telephone
    // goes straight to its reboot.
    const bool accepted =
        code == UPD_MSG_OK || code == UPD_MSG_UPGRADER_TOOL || code == UPD_MSG_ROM_VERSION_SAME;
    const bool writes = code == UPD_MSG_OK || code == UPD_MSG_UPGRADER_TOOL;
    json &r = *report;
    r["code"] = code;
    r["name"] = upd_msg_name(code);
    r["decision"] = describe(code);
    r["accepted"] = accepted;
    r["partitions"] = json::array();
    const uint32_t count = header.partition_num <= MAX_PARTITIONS ? header.partition_num : 0;
    for (uint32_t i = 0; i < count; ++i) {
        json p;
        p["index"] = i;
        if (flags[i] < 0) {
            p["examined"] = false;
        } else {
            p["examined"] = true;
            p["id"] = parts[i].partition_id;
            p["kind"] = partition_kind(parts[i].partition_id, parts[i].partition_type);
            p["version"] = version_text(parts[i].partition_version);
            p["size"] = parts[i].partition_size;
            p["write"] = writes && flags[i] == 1;
        }
        r["partitions"].push_back(p);
    }
    const std::vector<std::string> env_lines = drain(fifo.get());
    r["env_writes"] = accepted ? json(env_lines) : json::array();
    r["extracted"] = json::array();
    for (const auto &[path, st] : snapshot(root)) {
        bool own = path.compare(0, 8, "tmp/bin/") == 0;
        for (const char *s : kScratch)
            own = own || path == s;
        auto old = before.find(path);
        if (!own && (old == before.end() || old->second != st))
            r["extracted"].push_back({{"path", "/" + path}, {"size", st.size}});
    }
    r["mtd_config"] = mtd_config;
    r["upgrader_tool_version"] = version_text(upgrader_tool_version);
    if (keep) {
        r["copy"] = root.string();
        scratch.keep();
    }
    return hosttool::kExitOk;
}

std::string render_verify(const json &r)
{
    std::string out;
    const int code = r["code"];
    out += "decision: " + std::to_string(code) + " " + r["name"].get<std::string>() + ", " +
           r["decision"].get<std::string>() + "\n";
    out += "partitions:\n";
    if (r["partitions"].empty())
        out += "  none examined\n";
    for (const json &p : r["partitions"]) {
        char buf[160];
        if (!p["examined"]) {
            snprintf(buf, sizeof(buf), "  %2d  not examined\n", p["index"].get<int>());
        } else {
            snprintf(buf, sizeof(buf), "  %2d  %-20s %-16s %8u bytes  %s\n", p["index"].get<int>(),
                     p["kind"].get<std::string>().c_str(), p["version"].get<std::string>().c_str(),
                     p["size"].get<unsigned>(), p["write"] ? "write" : "no write");
        }
        out += buf;
    }
    out += "files extracted:\n";
    if (r["extracted"].empty())
        out += "  none\n";
    for (const json &f : r["extracted"])
        out += "  " + f["path"].get<std::string>() + " (" +
               std::to_string(f["size"].get<uint64_t>()) + " bytes)\n";
    out += "boot environment set:\n";
    if (r["env_writes"].empty())
        out += "  nothing\n";
    for (const json &w : r["env_writes"])
        out += "  " + w.get<std::string>() + "\n";
    if (r["mtd_config"] == 1)
        out += "new MTD layout extracted (mtd_config = 1)\n";
    if (r.contains("copy"))
        out += "device copy kept in " + r["copy"].get<std::string>() + "\n";
    return out;
}

} // namespace rompack
