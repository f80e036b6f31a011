#include "faults/target.h"
#include "common/hosttool.h"
#include "faults/cutrun.h"
#include "phonesim/profile.h"
#include "platform/unique_fd.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace faults
{

namespace
{

namespace fs = std::filesystem;

// The guest's RAM: 256 MiB, of which the kernel leaves alone the chip (8 MiB
// at 128 MiB) and the state area after it (64 KiB: a header, the record of
// a power cut, and from 4 KiB the boot environment as text).
constexpr uint64_t kRamSize = 256ull << 20;
constexpr uint64_t kChipAt = 128ull << 20;
constexpr uint64_t kStateAt = kChipAt + kChipSize;
constexpr uint64_t kStateSize = 0x10000, kEnvAt = 0x1000, kCutAt = 16;
const char kStateHeader[16] = "phoneflash v1\n";
const char kCommandLine[] = "console=ttyS0 mem=128M@0 mem=119M@137M quiet panic=-1";

std::string memory(const std::string &dir)
{
    return dir + "/.target/memory";
}

std::string console(const std::string &dir)
{
    return dir + "/.target/console.log";
}

// A shell word for the guest's run.conf: quoted, whatever the profile holds.
std::string quoted(const std::string &text)
{
    std::string q = "'";
    for (char c : text)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// QEMU's option values separate with commas; a comma in a path is doubled.
std::string qemu_value(const std::string &text)
{
    std::string v;
    for (char c : text)
        v += c == ',' ? std::string(",,") : std::string(1, c);
    return v;
}

// One member of an archive in the kernel's initramfs format ("newc"), the
// ino-th of its archive (inode numbers matter only to hard links).
void cpio_member(std::string *out, unsigned ino, const std::string &name, unsigned mode,
                 const std::string &data)
{
    char head[111];
    snprintf(head, sizeof head, "070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X", ino,
             mode, 0u, 0u, 1u, 0u, unsigned(data.size()), 0u, 0u, 0u, 0u, unsigned(name.size() + 1),
             0u);
    *out += head;
    *out += name;
    *out += '\0';
    out->resize((out->size() + 3) & ~size_t(3), '\0');
    *out += data;
    out->resize((out->size() + 3) & ~size_t(3), '\0');
}

bool read_at(const std::string &path, uint64_t at, size_t size, std::string *bytes)
{
    bytes->assign(size, '\0');
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return fd.get() >= 0 && pread(fd.get(), &(*bytes)[0], size, off_t(at)) == ssize_t(size);
}

// The guest's "@@ run WHAT ..." lines of WHAT, without the prefix.
std::vector<std::string> said(const std::string &text, const std::string &what)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    const std::string prefix = "@@ run " + what;
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
            line.pop_back();
        if (line.compare(0, prefix.size(), prefix) == 0 &&
            (line.size() == prefix.size() || line[prefix.size()] == ' '))
            lines.push_back(line.substr(std::min(line.size(), prefix.size() + 1)));
    }
    return lines;
}

} // namespace

bool find_guest(const std::string &dir, Guest *guest, std::string *error)
{
    const std::string kernel = fs::absolute(dir + "/vmlinuz").string();
    const std::string initramfs = fs::absolute(dir + "/initramfs.cpio").string();
    for (const std::string &path : {kernel, initramfs})
        if (access(path.c_str(), R_OK) != 0)
            return *error = hosttool::path_error(
                       path, "cannot read it (made by scripts/target-check.sh)", errno),
                   false;
    guest->kernel = kernel;
    guest->initramfs = initramfs;
    return find_program("qemu-system-mipsel", "PATH", &guest->qemu, error) &&
           find_program("timeout", "PATH", &guest->timeout, error);
}

bool target_seed(const std::string &dir, std::string *error)
{
    const phonesim::Paths paths{dir};
    const std::string chip = slurp(paths.flash()), env = slurp(paths.bootenv());
    if (chip.size() != kChipSize)
        return *error = paths.flash() + ": not an 8 MiB chip", false;
    if (env.size() + 1 > kStateSize - kEnvAt)
        return *error = paths.bootenv() + ": too long for the guest's state area", false;
    std::error_code ec;
    fs::create_directories(dir + "/.target", ec);
    const std::string path = memory(dir);
    UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    // Sparse: the guest writes only the pages it uses.
    if (fd.get() < 0 || ftruncate(fd.get(), off_t(kRamSize)) != 0 ||
        pwrite(fd.get(), chip.data(), chip.size(), off_t(kChipAt)) != ssize_t(chip.size()) ||
        pwrite(fd.get(), kStateHeader, sizeof kStateHeader, off_t(kStateAt)) !=
            ssize_t(sizeof kStateHeader) ||
        pwrite(fd.get(), env.c_str(), env.size() + 1, off_t(kStateAt + kEnvAt)) !=
            ssize_t(env.size() + 1))
        return *error = hosttool::path_error(path, "cannot write it", errno), false;
    return true;
}

int target_upgrade(const Guest &guest, const std::string &dir, const std::string &pack,
                   const std::string &mode, int cut, double time_limit, const std::string &log)
{
    const std::string state = dir + "/.target";
    const std::string initrd = state + "/initrd.cpio";
    std::error_code ec;
    fs::remove(state + "/layout", ec);
    fs::remove(console(dir), ec);
    // The guest as made, and this boot's orders and pack after it: the
    // kernel unpacks archives one after the other, later members winning.
    std::string run;
    unsigned members = 0;
    const std::string conf = "NAME=run\nPACK=pack.rom\nMODE=" + quoted(mode) +
                             "\nCUT=" + std::to_string(cut) +
                             "\nTIME_LIMIT=" + std::to_string(int(time_limit)) +
                             "\nKEY=0\nROOT=/phone\nHWVER=" + quoted(guest.hwver) +
                             "\nSOFTWARE=" + quoted(guest.software) + "\n";
    cpio_member(&run, ++members, "target/run.conf", 0100644, conf);
    cpio_member(&run, ++members, "target/packs/pack.rom", 0100644, slurp(pack));
    // The telephone's own files, as phonesim init made them from the profile.
    for (const char *file : {"version.conf", "app/version.conf", "basic/version.conf"})
        if (fs::is_regular_file(dir + "/" + file, ec))
            cpio_member(&run, ++members, std::string("target/root/") + file, 0100644,
                        slurp(dir + "/" + file));
    cpio_member(&run, ++members, "target/root/config", 040755, "");
    for (auto it = fs::recursive_directory_iterator(dir + "/config", ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string rel = "target/root/" + fs::relative(it->path(), dir, ec).string();
        if (it->is_directory(ec))
            cpio_member(&run, ++members, rel, 040755, "");
        else if (it->is_regular_file(ec))
            cpio_member(&run, ++members, rel, 0100644, slurp(it->path().string()));
    }
    cpio_member(&run, ++members, "TRAILER!!!", 0, "");
    {
        std::ifstream base(guest.initramfs, std::ios::binary);
        std::ofstream out(initrd, std::ios::binary | std::ios::trunc);
        out << base.rdbuf();
        out.write(run.data(), std::streamsize(run.size()));
        if (!base || !out.flush())
            return kRunFailed;
    }
    // The program's own time limit is the guest's; the boot around it gets
    // another minute.
    const std::vector<std::string> args = {
        guest.timeout,
        "-s",
        "KILL",
        std::to_string(int(time_limit) + 60),
        guest.qemu,
        "-M",
        "malta,memory-backend=ram0",
        "-m",
        "256",
        "-object",
        "memory-backend-file,id=ram0,size=256M,share=on,mem-path=" + qemu_value(memory(dir)),
        "-display",
        "none",
        "-serial",
        "file:" + console(dir),
        "-monitor",
        "none",
        "-no-reboot",
        "-nic",
        "none",
        "-vga",
        "none",
        "-kernel",
        guest.kernel,
        "-initrd",
        initrd,
        "-append",
        kCommandLine};
    const int rc = run_logged(args, log);
    const std::string text = slurp(console(dir));
    {
        std::ofstream out(log, std::ios::app);
        out << text;
    }
    fs::remove(initrd, ec);
    std::string record;
    if (read_at(memory(dir), kStateAt + kCutAt, 64, &record) && record.compare(0, 4, "cut ") == 0)
        return kPowerCut;
    std::ofstream layout(state + "/layout");
    for (const std::string &line : said(text, "layout"))
        layout << line << "\n";
    std::ofstream ops(state + "/ops");
    for (const std::string &line : said(text, "op"))
        ops << line << "\n";
    const std::vector<std::string> ending = said(text, "ending");
    if (said(text, "done").empty() || ending.empty())
        return rc == 128 + 9 ? kTimeLimit : kRunFailed; // timeout -s KILL
    if (ending[0] == "reboot")
        return kRebooted;
    return ending[0] == "time-limit" ? kTimeLimit : kNoReboot;
}

Telephone target_phone(const std::string &dir)
{
    Telephone phone;
    std::string chip, state;
    if (read_at(memory(dir), kChipAt, kChipSize, &chip))
        phone.chip.assign(chip.begin(), chip.end());
    if (read_at(memory(dir), kStateAt + kEnvAt, kStateSize - kEnvAt, &state))
        phone.env = parse_env(state.substr(0, state.find('\0')));
    phone.layout = layout_from_file(slurp(dir + "/.target/layout"));
    return phone;
}

bool target_operations(const std::string &dir, std::vector<Operation> *ops, std::string *error)
{
    std::istringstream in(slurp(dir + "/.target/ops"));
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        int n = 0;
        Operation op;
        if (!(fields >> n >> op.kind >> op.mtd) || n != int(ops->size()) + 1)
            return *error = dir + "/.target/ops: unreadable line \"" + line + "\"", false;
        ops->push_back(op);
    }
    return !ops->empty() || (*error = dir + "/.target/ops: no flash operation", false);
}

} // namespace faults
