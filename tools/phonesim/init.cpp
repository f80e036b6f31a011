#include "platform/platform.h"
#include "platform/unique_fd.h"
#include "phonesim/init.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

namespace phonesim {

namespace {

namespace fs = std::filesystem;

// Internal to init: unwinds to init_telephone, which turns it into *error.
struct InitFailure {
    std::string what;
};

[[noreturn]] void throw_init_failure(const std::string &what) { throw InitFailure{what}; }

std::string errno_text() { return strerror(errno); }

void write_file(const std::string &path, const void *data, size_t size, mode_t mode) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (fd.get() < 0)
        throw_init_failure("cannot create " + path + ": " + errno_text());
    if (platform_write_all(fd.get(), data, size) != size)
        throw_init_failure("cannot write " + path + ": " + errno_text());
    // The mode is part of what init makes (scripts must be executable
    // whatever the caller's umask).
    if (fchmod(fd.get(), mode) != 0)
        throw_init_failure("cannot set the mode of " + path + ": " + errno_text());
}

void write_file(const std::string &path, const std::string &text, mode_t mode = 0644) {
    write_file(path, text.data(), text.size(), mode);
}

void make_dirs(const std::string &path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec)
        throw_init_failure("cannot create " + path + ": " + ec.message());
}

void make_fifo(const std::string &path, mode_t mode) {
    if (mkfifo(path.c_str(), mode) != 0 || chmod(path.c_str(), mode) != 0)
        throw_init_failure("cannot create the FIFO " + path + ": " + errno_text());
}

void make_symlink(const std::string &target, const std::string &path) {
    if (symlink(target.c_str(), path.c_str()) != 0)
        throw_init_failure("cannot create the link " + path + ": " + errno_text());
}

void copy_executable(const std::string &from, const std::string &to) {
    std::error_code ec;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (ec)
        throw_init_failure("cannot copy " + from + " to " + to + ": " + ec.message());
    if (chmod(to.c_str(), 0755) != 0)
        throw_init_failure("cannot set the mode of " + to + ": " + errno_text());
}

// A telephone per power cut means a chip per cut: a reflink shares the
// blocks where the file system can (btrfs, XFS), copy_file_range copies
// inside the kernel elsewhere, and plain reads and writes are the last way.
void copy_chip(const std::string &from, const std::string &to) {
    UniqueFd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0)
        throw_init_failure("--chip: cannot open " + from + ": " + errno_text());
    UniqueFd out(open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (out.get() < 0)
        throw_init_failure("cannot create " + to + ": " + errno_text());
    if (ioctl(out.get(), FICLONE, in.get()) != 0) {
        size_t left = kFlashSize;
        while (left > 0) {
            ssize_t n = copy_file_range(in.get(), nullptr, out.get(), nullptr, left, 0);
            if (n <= 0)
                break;
            left -= size_t(n);
        }
        if (left > 0) {
            // Whatever copy_file_range managed stays; the rest by hand.
            off_t at = off_t(kFlashSize - left);
            std::vector<char> buf(1 << 20);
            while (left > 0) {
                ssize_t n = pread(in.get(), buf.data(), std::min(buf.size(), left), at);
                if (n <= 0 || platform_write_all(out.get(), buf.data(), size_t(n)) != size_t(n))
                    throw_init_failure("cannot copy " + from + " to " + to + ": " +
                                       (n == 0 ? std::string("file shrank") : errno_text()));
                left -= size_t(n);
                at += n;
            }
        }
    }
    if (fchmod(out.get(), 0644) != 0)
        throw_init_failure("cannot set the mode of " + to + ": " + errno_text());
}

// The tools the program and its shell commands use from /bin (the platform
// provides them; the program copies /bin to /tmp/bin and runs the copies).
const char *const kTools[] = {"cat", "cp", "rm", "touch", "chmod", "sed",
                              "echo", "sh", "mkdir", "ls", "sleep"};

// A host program by name in /bin or /usr/bin, the way the telephone's shell
// would find it; "" when there is none. PATH is not used: the copies must be
// real programs, not whatever a user's PATH offers first.
std::string find_host_program(const std::string &name) {
    for (const char *dir : {"/bin/", "/usr/bin/"}) {
        std::string path = dir + name;
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0)
            return path;
    }
    return "";
}

// The stand-ins are scripts run by the host's /bin/sh. They find the
// telephone through UPGRADER_ROOT (set for everything run in it), never
// through a path written at init, so a telephone root can be moved or
// copied.
// A mounted file system is a directory of the telephone here. Unmounting
// one puts it aside under .phonesim/unmounted until the next boot and leaves
// the bare mount point in its place: what is written there afterwards never
// reaches the file system, as on the telephone, and is gone at the reboot.
std::string umount_script(int status) {
    return "#!/bin/sh\n"
           "# phonesim: umount stand-in; the file system comes back at the next boot.\n"
           "if [ -z \"$UPGRADER_ROOT\" ]; then\n"
           "    echo \"umount: UPGRADER_ROOT is not set\" >&2\n"
           "    exit 1\n"
           "fi\n"
           "echo \"umount $*\" >> \"$UPGRADER_ROOT/.phonesim/records/umount.log\"\n"
           "status=" +
           std::to_string(status) +
           "\n"
           "[ \"$status\" -eq 0 ] || exit \"$status\"\n"
           "for target in \"$@\"; do\n"
           "    name=${target#\"$UPGRADER_ROOT\"}; name=${name#/}; name=${name%/}\n"
           "    case \"$name\" in ''|*/*|.*) echo \"umount: $target: not mounted\" >&2; status=32; continue ;; esac\n"
           "    aside=\"$UPGRADER_ROOT/.phonesim/unmounted/$name\"\n"
           "    if [ -e \"$aside\" ] || [ ! -d \"$UPGRADER_ROOT/$name\" ]; then\n"
           "        echo \"umount: $target: not mounted\" >&2; status=32; continue\n"
           "    fi\n"
           "    mkdir -p \"$UPGRADER_ROOT/.phonesim/unmounted\" &&\n"
           "        mv \"$UPGRADER_ROOT/$name\" \"$aside\" && mkdir \"$UPGRADER_ROOT/$name\" || status=1\n"
           "done\n"
           "exit \"$status\"\n";
}

std::string killapps_script(int status) {
    return "#!/bin/sh\n"
           "# phonesim: stops the telephone's applications (there are none to stop);\n"
           "# the run is recorded for the report.\n"
           "if [ -z \"$UPGRADER_ROOT\" ]; then\n"
           "    echo \"killapps.sh: UPGRADER_ROOT is not set\" >&2\n"
           "    exit 1\n"
           "fi\n"
           "echo \"killapps.sh${*:+ $*}\" >> \"$UPGRADER_ROOT/.phonesim/records/killapps.log\"\n"
           "exit " +
           std::to_string(status) + "\n";
}

// Opening a FIFO for writing blocks until someone reads it, so the request
// is written by a child that is given one second: phonesim keeps the
// control FIFO open while a telephone runs. A reboot that is accepted never
// returns, like the real one: phonesim ends the whole telephone.
const char kRebootScript[] =
    "#!/bin/sh\n"
    "# phonesim: asks the running simulated telephone to reboot.\n"
    "control=\"$UPGRADER_ROOT/.phonesim/control\"\n"
    "if [ -z \"$UPGRADER_ROOT\" ] || [ ! -p \"$control\" ]; then\n"
    "    echo \"reboot: no simulated telephone running\" >&2\n"
    "    exit 1\n"
    "fi\n"
    "( echo reboot > \"$control\" ) &\n"
    "writer=$!\n"
    "( sleep 1; kill $writer 2>/dev/null ) &\n"
    "timer=$!\n"
    "if { wait $writer; } 2>/dev/null; then\n"
    "    kill $timer 2>/dev/null\n"
    "    while :; do sleep 3600; done\n"
    "fi\n"
    "echo \"reboot: no simulated telephone running\" >&2\n"
    "exit 1\n";

// Line key definitions as the telephone's application keeps them; the
// upgrade may retire LINEKEY8.
std::string programmable_keys() {
    std::string text;
    for (int i = 1; i <= 10; ++i) {
        text += "[ LINEKEY" + std::to_string(i) + " ]\n";
        text += "DKtype = 15\n";
        text += "Line = " + std::to_string(i <= 6 ? i : 0) + "\n";
        text += "Value = \n";
        text += "Label = \n\n";
    }
    return text;
}

const char kSystemIni[] = "[ Network ]\n"
                          "eWANType = 0\n"
                          "strWANIP = \n"
                          "[ AutoProvision ]\n"
                          "bEnablePowerOn = 1\n"
                          "strServerURL = http://provisioning.example.com/\n";

const char kConfigEtcHosts[] = "127.0.0.1 localhost\n";

// The chip as shipped: erased (0xFF) except a one-line signature at the
// start of every partition, so that a report can tell a partition that was
// written from one that was not, and a moved partition shows where its
// content came from.
std::vector<uint8_t> flash_image(const Profile &p) {
    std::vector<uint8_t> chip(kFlashSize, 0xFF);
    for (int i = 0; i < kPartitions; ++i) {
        char sig[64];
        int n = snprintf(sig, sizeof sig, "phonesim mtd%d %x,%x\n", i, p.mtd[i].start, p.mtd[i].end);
        memcpy(chip.data() + (p.mtd[i].start - kFlashBase), sig, static_cast<size_t>(n));
    }
    return chip;
}

// An existing DIR is only re-made when it is a telephone (or empty): init
// wipes it, and the user's own files must never go that way.
void clear_dir(const std::string &dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT)
            throw_init_failure("cannot examine " + dir + ": " + errno_text());
        make_dirs(dir);
        return;
    }
    if (!S_ISDIR(st.st_mode))
        throw_init_failure(dir + " exists and is not a directory");
    std::error_code ec;
    bool empty = fs::is_empty(dir, ec);
    if (ec)
        throw_init_failure("cannot read " + dir + ": " + ec.message());
    if (empty)
        return;
    Paths paths{dir};
    if (lstat(paths.state().c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw_init_failure(dir + " is not empty and is not a simulated telephone (no .phonesim); "
                   "not replacing it");
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        fs::remove_all(it->path(), ec);
        if (ec)
            throw_init_failure("cannot remove " + it->path().string() + ": " + ec.message());
    }
    if (ec)
        throw_init_failure("cannot clear " + dir + ": " + ec.message());
}

void make_telephone(const std::string &dir, const Profile &profile, const InitOptions &options) {
    // Everything that can fail for reasons outside DIR is checked before
    // DIR is touched.
    std::vector<std::pair<std::string, std::string>> tools; // name, host path
    if (options.busybox) {
        std::string busybox = find_host_program("busybox");
        if (busybox.empty())
            throw_init_failure("--busybox: busybox is not installed (no /bin/busybox or /usr/bin/busybox)");
        tools.emplace_back("busybox", busybox);
    } else {
        for (const char *name : kTools) {
            std::string path = find_host_program(name);
            if (path.empty())
                throw_init_failure(std::string("the host has no ") + name + " in /bin or /usr/bin");
            tools.emplace_back(name, path);
        }
    }
    if (!options.program.empty()) {
        struct stat st;
        if (stat(options.program.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            throw_init_failure("--program: " + options.program + " is not a file");
    }
    std::string chip_error;
    if (!options.chip.empty() && !chip_image_ok(options.chip, &chip_error))
        throw_init_failure(chip_error);

    clear_dir(dir);
    const Paths paths{dir};
    const std::string r = dir;

    for (const char *sub : {"/app/scripts", "/basic/bin", "/config/Phone/Key", "/config/etc",
                            "/var/ipc", "/tmp", "/etc", "/bin", "/sbin", "/dev/input"})
        make_dirs(r + sub);
    make_dirs(paths.records());
    make_dirs(paths.kernel());
    if (chmod((r + "/tmp").c_str(), 01777) != 0)
        throw_init_failure("cannot set the mode of " + r + "/tmp: " + errno_text());

    // The version files; the kernel serves the proc files itself.
    for (const auto &file : device_files(profile)) {
        if (file.first.compare(0, 5, "proc/") != 0)
            write_file(r + "/" + file.first, file.second);
    }

    write_file(r + "/config/Phone/Key/ProgramableKey.conf", programmable_keys());
    write_file(r + "/config/system.ini", kSystemIni);
    write_file(r + "/config/etc/hosts", kConfigEtcHosts);

    if (options.busybox) {
        copy_executable(tools[0].second, r + "/bin/busybox");
        // Hard links: busybox picks the applet from its name, and the
        // program's "cp /bin/ /tmp/ -rf" copies each as a working file.
        for (const char *name : kTools)
            if (link((r + "/bin/busybox").c_str(), (r + "/bin/" + name).c_str()) != 0)
                throw_init_failure(std::string("cannot link the busybox applet ") + name + ": " + errno_text());
    } else {
        for (const auto &tool : tools)
            copy_executable(tool.second, r + "/bin/" + tool.first);
    }
    write_file(r + "/bin/umount", umount_script(profile.umount_status), 0755);
    write_file(r + "/sbin/reboot", kRebootScript, 0755);
    write_file(r + "/app/scripts/killapps.sh", killapps_script(profile.killapps_status), 0755);
    if (!options.program.empty())
        copy_executable(options.program, r + "/basic/bin/upgrader");

    const std::vector<uint8_t> zeros(1056, 0); // 132x64 pixels, one bit each
    write_file(r + "/dev/fb0", zeros.data(), zeros.size(), 0666);
    write_file(r + "/dev/misc0", "", 0666);
    make_fifo(r + "/dev/input/event0", 0666);

    // The kernel is mounted at .phonesim/kernel while a telephone runs;
    // these links are how the program's fixed paths reach it.
    make_symlink(".phonesim/kernel/proc", r + "/proc");
    for (int i = 0; i < kPartitions; ++i)
        make_symlink("../.phonesim/kernel/dev/mtd" + std::to_string(i),
                     r + "/dev/mtd" + std::to_string(i));
    make_symlink("../.phonesim/kernel/dev/mtdblock", r + "/dev/mtdblock");

    write_file(paths.profile(), profile_to_json(profile));
    if (!options.chip.empty()) {
        copy_chip(options.chip, paths.flash());
    } else {
        const std::vector<uint8_t> chip = flash_image(profile);
        write_file(paths.flash(), chip.data(), chip.size(), 0644);
    }
    write_file(paths.bootenv(), format_bootenv(initial_bootenv(profile)));
    write_file(paths.layout(), format_layout(profile.mtd));
    make_fifo(paths.control(), 0600);
}

} // namespace

bool chip_image_ok(const std::string &path, std::string *error) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *error = "--chip: " + path + ": " + errno_text();
        return false;
    }
    if (!S_ISREG(st.st_mode) || uint64_t(st.st_size) != kFlashSize) {
        *error = "--chip: " + path + ": not a chip image (a file of " +
                 std::to_string(kFlashSize) + " bytes)";
        return false;
    }
    return true;
}

int init_telephone(const std::string &dir, const Profile &profile, const InitOptions &options,
                   std::string *error) {
    if (dir.empty()) {
        if (error)
            *error = "no telephone directory given";
        return -1;
    }
    try {
        make_telephone(dir, profile, options);
    } catch (const InitFailure &e) {
        if (error)
            *error = e.what;
        return -1;
    } catch (const std::exception &e) {
        if (error)
            *error = std::string("init of ") + dir + " failed: " + e.what();
        return -1;
    }
    return 0;
}

} // namespace phonesim
