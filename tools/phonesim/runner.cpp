#include "platform/unique_fd.h"
#include "phonesim/runner.h"

#include "common/text.h"
#include "phonesim/frames.h"
#include "phonesim/kernel.h"
#include "phonesim/profile.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

namespace phonesim
{

namespace
{

using Clock = std::chrono::steady_clock;
using Json = nlohmann::ordered_json;

std::string errtext(const std::string &what)
{
    return what + ": " + strerror(errno);
}

uint64_t fnv1a(const void *data, size_t size, uint64_t hash = 0xcbf29ce484222325ull)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < size; ++i) {
        hash ^= p[i];
        hash *= 0x100000001b3ull;
    }
    return hash;
}

std::string hex64(uint64_t v)
{
    char buf[24];
    snprintf(buf, sizeof(buf), "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

std::string to_hex(const uint8_t *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

bool read_file(const std::string &path, std::string *out, off_t from = 0)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    in.seekg(from);
    std::ostringstream s;
    s << in.rdbuf();
    *out = s.str();
    return true;
}

bool write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

off_t file_size(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// The lines of text that are not empty.
std::vector<std::string> non_empty_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

bool write_proc(const char *path, const std::string &text)
{
    UniqueFd fd(open(path, O_WRONLY | O_CLOEXEC));
    return fd.get() >= 0 &&
           write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// ---------------------------------------------------------------------------
// The state of the telephone outside the running processes, taken before and
// after a run.

struct FileInfo {
    char type = 'f'; // f regular, d directory, l symbolic link, o other
    uint64_t size = 0;
    uint64_t hash = 0;
};

void snapshot_tree(const std::string &root, const std::string &rel,
                   std::map<std::string, FileInfo> *tree)
{
    std::string dir = root + rel;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    }
    closedir(d);
    for (const std::string &name : names) {
        std::string r = rel + "/" + name;
        struct stat st;
        if (lstat((root + r).c_str(), &st) != 0)
            continue;
        FileInfo info;
        if (S_ISDIR(st.st_mode)) {
            info.type = 'd';
            (*tree)[r] = info;
            snapshot_tree(root, r, tree);
            continue;
        }
        info.size = static_cast<uint64_t>(st.st_size);
        if (S_ISREG(st.st_mode)) {
            std::string content;
            if (read_file(root + r, &content))
                info.hash = fnv1a(content.data(), content.size());
        } else if (S_ISLNK(st.st_mode)) {
            info.type = 'l';
            char target[4096];
            ssize_t n = readlink((root + r).c_str(), target, sizeof(target));
            if (n > 0)
                info.hash = fnv1a(target, static_cast<size_t>(n));
        } else {
            info.type = 'o';
        }
        (*tree)[r] = info;
    }
}

struct Snapshot {
    std::vector<std::pair<std::string, std::string>> bootenv;
    Window windows[kPartitions];
    uint64_t hashes[kPartitions] = {};
    off_t misc_size = 0;
    std::map<std::string, off_t> records; // record file name -> size
    std::map<std::string, FileInfo> files;
};

std::vector<std::pair<std::string, std::string>> parse_bootenv(const std::string &text)
{
    std::vector<std::pair<std::string, std::string>> vars;
    for (const std::string &line : non_empty_lines(text)) {
        size_t sp = line.find(' ');
        if (sp == std::string::npos)
            vars.emplace_back(line, "");
        else
            vars.emplace_back(line.substr(0, sp), line.substr(sp + 1));
    }
    return vars;
}

// The layout file holds "mtdN start end" lines in hex; partitions it does not
// name keep the profile's windows.
void read_layout(const Paths &paths, const Profile &profile, Window *windows)
{
    for (int i = 0; i < kPartitions; ++i)
        windows[i] = profile.mtd[i];
    std::string text;
    if (!read_file(paths.layout(), &text))
        return;
    for (const std::string &line : non_empty_lines(text)) {
        std::istringstream in(line);
        std::string name, start, end;
        if (!(in >> name >> start >> end) || name.compare(0, 3, "mtd") != 0)
            continue;
        int n = atoi(name.c_str() + 3);
        if (n < 0 || n >= kPartitions)
            continue;
        windows[n].start = static_cast<uint32_t>(strtoul(start.c_str(), nullptr, 16));
        windows[n].end = static_cast<uint32_t>(strtoul(end.c_str(), nullptr, 16));
    }
}

Snapshot take_snapshot(const Paths &paths, const Profile &profile)
{
    Snapshot s;
    std::string text;
    if (read_file(paths.bootenv(), &text))
        s.bootenv = parse_bootenv(text);
    read_layout(paths, profile, s.windows);
    std::string flash;
    read_file(paths.flash(), &flash);
    for (int i = 0; i < kPartitions; ++i) {
        uint64_t start = s.windows[i].start >= kFlashBase ? s.windows[i].start - kFlashBase : 0;
        uint64_t end = s.windows[i].end >= kFlashBase ? s.windows[i].end - kFlashBase : 0;
        start = std::min<uint64_t>(start, flash.size());
        end = std::min<uint64_t>(std::max(end, start), flash.size());
        s.hashes[i] = fnv1a(flash.data() + start, static_cast<size_t>(end - start));
    }
    s.misc_size = file_size(paths.root + "/dev/misc0");
    if (DIR *d = opendir(paths.records().c_str())) {
        while (struct dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0)
                s.records[name] = file_size(paths.records() + "/" + name);
        }
        closedir(d);
    }
    snapshot_tree(paths.root, "/tmp", &s.files);
    snapshot_tree(paths.root, "/config", &s.files);
    return s;
}

// ---------------------------------------------------------------------------
// The system log daemon of the telephone: a datagram socket that takes the
// place of /dev/log in the run's mount namespace.

struct LogLine {
    double at = 0;
    int priority = 0;
    std::string text;
};

class LogCollector
{
  public:
    ~LogCollector() { stop(); }
    int start(Clock::time_point started, std::string *error);
    // Takes in what is still queued, then ends the thread.
    void stop();
    std::vector<LogLine> lines()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

  private:
    void run();
    void receive_one(char *buf, size_t size, int flags, bool *more);
    UniqueFd socket_;
    UniqueFd wake_[2];
    std::thread thread_;
    std::mutex mutex_;
    std::vector<LogLine> lines_;
    Clock::time_point started_;
};

bool bind_node(const std::string &dir, const char *name)
{
    std::string src = std::string("/dev/") + name;
    std::string dst = dir + "/" + name;
    UniqueFd fd(open(dst.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666));
    if (fd.get() < 0)
        return false;
    return mount(src.c_str(), dst.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

// Replaces /dev, in the run's mount namespace only, by a small tmpfs with the
// usual character devices, a private /dev/shm and the log socket.
int LogCollector::start(Clock::time_point started, std::string *error)
{
    started_ = started;
    char tmpl[] = "/tmp/phonesim-dev-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        *error = errtext("mkdtemp");
        return -1;
    }
    std::string dir = tmpl;
    struct Cleanup {
        std::string dir;
        ~Cleanup()
        {
            umount2(dir.c_str(), MNT_DETACH);
            rmdir(dir.c_str());
        }
    } cleanup{dir};
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "mode=755") != 0) {
        *error = errtext("mount tmpfs for /dev");
        return -1;
    }
    for (const char *node : {"null", "zero", "full", "random", "urandom", "tty"})
        bind_node(dir, node);
    if (mkdir((dir + "/pts").c_str(), 0755) == 0)
        mount("/dev/pts", (dir + "/pts").c_str(), nullptr, MS_BIND | MS_REC, nullptr);
    if (mkdir((dir + "/shm").c_str(), 01777) == 0)
        mount("tmpfs", (dir + "/shm").c_str(), "tmpfs", 0, "mode=1777");
    if (symlink("pts/ptmx", (dir + "/ptmx").c_str()) != 0 ||
        symlink("/proc/self/fd", (dir + "/fd").c_str()) != 0 ||
        symlink("/proc/self/fd/0", (dir + "/stdin").c_str()) != 0 ||
        symlink("/proc/self/fd/1", (dir + "/stdout").c_str()) != 0 ||
        symlink("/proc/self/fd/2", (dir + "/stderr").c_str()) != 0) {
        *error = errtext("links in /dev");
        return -1;
    }

    socket_ = UniqueFd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (socket_.get() < 0) {
        *error = errtext("log socket");
        return -1;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = dir + "/log";
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (bind(socket_.get(), reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        *error = errtext("bind " + path);
        return -1;
    }
    chmod(path.c_str(), 0666);
    int big = 4 << 20;
    setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    if (mount(dir.c_str(), "/dev", nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        *error = errtext("bind /dev");
        return -1;
    }
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        *error = errtext("pipe");
        return -1;
    }
    wake_[0] = UniqueFd(p[0]);
    wake_[1] = UniqueFd(p[1]);
    thread_ = std::thread([this] { run(); });
    return 0;
}

// "<pri>Mmm dd hh:mm:ss ident: message", the header of the C library's
// syslog; the program's ident is empty.
void LogCollector::receive_one(char *buf, size_t size, int flags, bool *more)
{
    ssize_t n = recv(socket_.get(), buf, size, flags);
    if (n < 0) {
        *more = errno == EINTR;
        return;
    }
    *more = true;
    std::string s(buf, static_cast<size_t>(n));
    LogLine line;
    line.at = std::chrono::duration<double>(Clock::now() - started_).count();
    size_t close = s.find('>');
    if (!s.empty() && s[0] == '<' && close != std::string::npos) {
        line.priority = atoi(s.c_str() + 1);
        size_t colon = s.find(": ", close + 16);
        line.text = colon == std::string::npos ? s.substr(close + 1) : s.substr(colon + 2);
    } else {
        line.text = s;
    }
    while (!line.text.empty() && (line.text.back() == '\n' || line.text.back() == '\0'))
        line.text.pop_back();
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(std::move(line));
}

void LogCollector::run()
{
    std::vector<char> buf(65536);
    for (;;) {
        struct pollfd polls[2] = {{socket_.get(), POLLIN, 0}, {wake_[0].get(), POLLIN, 0}};
        if (poll(polls, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (polls[1].revents)
            break;
        bool more = true;
        if (polls[0].revents & POLLIN)
            receive_one(buf.data(), buf.size(), MSG_DONTWAIT, &more);
    }
    // Every sender is gone by now: what is queued is all there is.
    bool more = true;
    while (more)
        receive_one(buf.data(), buf.size(), MSG_DONTWAIT, &more);
}

void LogCollector::stop()
{
    if (!thread_.joinable())
        return;
    char c = 1;
    if (write(wake_[1].get(), &c, 1) != 1) {
        // A full pipe wakes the thread as well.
    }
    thread_.join();
}

// ---------------------------------------------------------------------------
// Namespaces and the init process of the telephone.

int enter_namespaces(std::string *error)
{
    int flags = CLONE_NEWNS | CLONE_NEWIPC;
    if (geteuid() == 0) {
        if (unshare(flags) != 0) {
            *error = errtext("unshare");
            return -1;
        }
    } else {
        uid_t uid = geteuid();
        gid_t gid = getegid();
        if (unshare(flags | CLONE_NEWUSER) != 0) {
            *error = errtext("unshare (user namespace)");
            return -1;
        }
        write_proc("/proc/self/setgroups", "deny");
        if (!write_proc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !write_proc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            *error = errtext("uid/gid map");
            return -1;
        }
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *error = errtext("make / private");
        return -1;
    }
    return 0;
}

// Everything the init process needs, prepared before the clone: after it
// the child of a threaded process may only make system calls.
struct InitPlan {
    std::string path;
    std::vector<std::string> args, env;
    std::vector<char *> argv, envp;
    int status_fd = -1;
};

[[noreturn]] void init_main(const InitPlan &plan)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    struct sigaction dfl;
    memset(&dfl, 0, sizeof(dfl));
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Descriptors of phonesim (the FUSE channel, sockets, the control FIFO)
    // are none of the telephone's business.
    syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */);
    pid_t command = vfork();
    if (command == 0) {
        execve(plan.path.c_str(), plan.argv.data(), plan.envp.data());
        _exit(127);
    }
    if (command < 0)
        _exit(125);
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, 0);
        if (pid == command) {
            if (write(plan.status_fd, &status, sizeof(status)) != sizeof(status))
                _exit(125);
            _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        }
        if (pid < 0 && errno != EINTR)
            _exit(125);
    }
}

// The command is looked up on the telephone's PATH before anything starts.
bool resolve_command(const std::string &name, const std::string &path_var, std::string *out)
{
    if (name.find('/') != std::string::npos) {
        *out = name;
        return access(name.c_str(), X_OK) == 0;
    }
    std::istringstream in(path_var);
    std::string dir;
    while (std::getline(in, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0) {
            *out = candidate;
            return true;
        }
    }
    return false;
}

std::string format_scale(double v)
{
    std::ostringstream s;
    s << v;
    return s.str();
}

// Blocks the terminal's signals (they are read from a signalfd) and ignores
// SIGPIPE for the run; restores both afterwards.
class SignalScope
{
  public:
    SignalScope()
    {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &set_, &old_mask_);
        struct sigaction ign;
        memset(&ign, 0, sizeof(ign));
        ign.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ign, &old_pipe_);
        fd_ = UniqueFd(signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK));
    }
    ~SignalScope()
    {
        fd_.reset();
        sigaction(SIGPIPE, &old_pipe_, nullptr);
        pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
    }
    int fd() const { return fd_.get(); }

  private:
    sigset_t set_, old_mask_;
    struct sigaction old_pipe_;
    UniqueFd fd_;
};

const char *ending_name(Ending e)
{
    switch (e) {
    case Ending::Exit:
        return "exit";
    case Ending::Signal:
        return "signal";
    case Ending::Reboot:
        return "reboot";
    case Ending::TimeLimit:
        return "time-limit";
    case Ending::Interrupted:
        return "interrupted";
    case Ending::PowerCut:
        return "power-cut";
    case Ending::Error:
        break;
    }
    return "error";
}

// The file systems the umount stand-in put aside are mounted again, and
// what was written into their bare mount points meanwhile is gone.
int remount(const Paths &paths, std::string *error)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    for (fs::directory_iterator it(paths.unmounted(), ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string point = paths.root + "/" + it->path().filename().string();
        fs::remove_all(point, ec);
        if (!ec)
            fs::rename(it->path(), point, ec);
        if (ec) {
            *error =
                "cannot mount " + it->path().string() + " at " + point + " again: " + ec.message();
            return -1;
        }
    }
    return 0;
}

// A boot mounts the file systems again; after a power cut the telephone's
// RAM, its /tmp, is empty too. The marker goes at every boot, as a boot is
// what it waits for.
int boot(const Paths &paths, std::string *error)
{
    if (remount(paths, error) != 0)
        return -1;
    bool after_cut = access(paths.power_cut().c_str(), F_OK) == 0;
    unlink(paths.power_cut().c_str());
    if (!after_cut)
        return 0;
    namespace fs = std::filesystem;
    std::error_code ec;
    for (fs::directory_iterator it(paths.root + "/tmp", ec), end; !ec && it != end;
         it.increment(ec)) {
        fs::remove_all(it->path(), ec);
        if (ec) {
            *error =
                "cannot empty " + paths.root + "/tmp: " + it->path().string() + ": " + ec.message();
            return -1;
        }
    }
    return 0;
}

// The telephone's PID namespace, to find its processes in /proc; empty when
// /proc is not of phonesim's own PID namespace and its numbers would be
// someone else's.
std::string pid_namespace(pid_t pid)
{
    char self[32], link[64];
    ssize_t n = readlink("/proc/self", self, sizeof(self) - 1);
    if (n <= 0 || std::string(self, size_t(n)) != std::to_string(getpid()))
        return "";
    std::string path = "/proc/" + std::to_string(pid) + "/ns/pid";
    n = readlink(path.c_str(), link, sizeof(link) - 1);
    return n > 0 ? std::string(link, size_t(n)) : "";
}

// Every process of the telephone at once, not only its init: the others die
// of the init's death only once it has run its exit, and a process whose
// power failed must not run on meanwhile.
void kill_telephone(pid_t init, const std::string &pid_ns)
{
    kill(init, SIGKILL);
    if (pid_ns.empty())
        return;
    DIR *d = opendir("/proc");
    if (d == nullptr)
        return;
    while (struct dirent *e = readdir(d)) {
        char *end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        char link[64];
        std::string path = std::string("/proc/") + e->d_name + "/ns/pid";
        ssize_t n = readlink(path.c_str(), link, sizeof(link) - 1);
        if (n > 0 && std::string(link, size_t(n)) == pid_ns)
            kill(pid_t(pid), SIGKILL);
    }
    closedir(d);
}

struct Frame {
    double at = 0;
    std::vector<uint8_t> data;
};

struct Observed {
    std::mutex mutex;
    std::vector<Frame> frames;
    std::vector<std::pair<double, std::string>> env_writes;
    std::vector<std::pair<double, FlashOp>> flash_ops;
    Json sysv; // taken at a power cut, before the telephone was killed
};

// The telephone's init as the kernel's thread learns it: a request can
// arrive before the clone has returned in phonesim.
class InitPid
{
  public:
    void set(pid_t pid, std::string pid_ns)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pid_ = pid;
        pid_ns_ = std::move(pid_ns);
        known_.notify_all();
    }
    pid_t wait(std::string *pid_ns)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        known_.wait_for(lock, std::chrono::seconds(5), [this] { return pid_ > 0; });
        *pid_ns = pid_ns_;
        return pid_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable known_;
    pid_t pid_ = 0;
    std::string pid_ns_;
};

// ---------------------------------------------------------------------------
// The report.

void remove_old_report(const std::string &dir)
{
    for (const char *name : {"report.json", "summary.txt", "contact.png"})
        unlink((dir + "/" + name).c_str());
    std::string frames = dir + "/frames";
    if (DIR *d = opendir(frames.c_str())) {
        std::vector<std::string> names;
        while (struct dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 4 && n.compare(n.size() - 4, 4, ".png") == 0)
                names.push_back(n);
        }
        closedir(d);
        for (const std::string &n : names)
            unlink((frames + "/" + n).c_str());
    }
}

int make_dirs(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            std::string part = path.substr(0, i);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
                return -1;
        }
    }
    return 0;
}

std::string quote_data(const std::vector<uint8_t> &data)
{
    std::string s;
    for (uint8_t c : data) {
        if (c == 0)
            break;
        s += (c >= 32 && c < 127) ? static_cast<char>(c) : '.';
    }
    return s;
}

struct ReportInput {
    const RunOptions *options;
    const Paths *paths;
    RunResult result;
    double seconds = 0;
    Snapshot before, after;
    std::vector<LogLine> log;
    std::vector<IpcRecord> ipc;
    std::vector<Frame> frames;
    std::vector<std::pair<double, std::string>> env_writes;
    std::vector<std::pair<double, FlashOp>> flash_ops;
    FlashTiming flash_timing;
    FlashCounts flash_counts{}; // none unless the kernel served the run
    double cut_after = 0;       // the time cut asked for
    Json sysv;
};

// The upgrade's System V objects as a peer finds them when the run ends
// (the program still alive when it asked for the reboot): each lock's value
// (1 free, 0 taken; null when it was never made) and whether the shared
// upgrade memory is still there.
Json sysv_snapshot()
{
    Json locks = Json::object();
    const std::pair<const char *, key_t> keys[] = {{"upgrader_process", 0xC002},
                                                   {"upgrader_tool_process", 0xC003},
                                                   {"memory_semid", 0xA130},
                                                   {"cfg_semid", 0xB012},
                                                   {"burn_flash_semid", 0xC004}};
    for (const auto &k : keys) {
        int id = semget(k.second, 0, 0);
        int value = id < 0 ? -1 : semctl(id, 0, GETVAL);
        locks[k.first] = value < 0 ? Json() : Json(value);
    }
    return {{"locks", locks}, {"upgrade_memory", shmget(0xA130, 0, 0) >= 0}};
}

// What the flash was asked to do and the telephone's time for it, to the
// microsecond.
Json flash_count_json(const FlashTiming &timing, const FlashCount &c)
{
    return {{"erases", c.erases},
            {"erased", c.erased},
            {"programmed", c.programmed},
            {"read", c.read},
            {"estimated_ms", std::round(flash_time_ms(timing, c) * 1000) / 1000}};
}

std::string mib(uint64_t bytes)
{
    char text[32];
    snprintf(text, sizeof(text), "%.2f MiB", double(bytes) / (1 << 20));
    return text;
}

int write_report(const ReportInput &in, const std::string &dir, std::string *summary,
                 std::string *error)
{
    if (make_dirs(dir + "/frames") != 0) {
        *error = errtext(dir);
        return -1;
    }
    remove_old_report(dir);
    const Paths &paths = *in.paths;
    Json j;
    j["dir"] = paths.root;
    j["command"] = in.options->command;
    j["ending"] = ending_name(in.result.ending);
    j["status"] = in.result.status;
    j["seconds"] = in.seconds;
    j["pause_scale"] = in.options->pause_scale;
    j["time_limit"] = in.options->time_limit;
    if (!in.options->load_pack.empty())
        j["loader"] = {{"pack", in.options->load_pack}, {"state", in.options->state}};
    if (in.options->saver_hold > 0)
        j["saver_hold"] = in.options->saver_hold;
    Json keys = Json::array();
    for (const KeyPress &k : in.options->keys)
        keys.push_back({{"at", k.at}, {"code", k.code}});
    j["keys"] = keys;

    Json log = Json::array();
    int errors = 0;
    for (const LogLine &l : in.log) {
        log.push_back({{"at", l.at}, {"level", l.priority & 7}, {"text", l.text}});
        if ((l.priority & 7) <= 3)
            ++errors;
    }
    j["log"] = log;

    Json ipc = Json::array();
    for (const IpcRecord &m : in.ipc) {
        ipc.push_back({{"at", m.at},
                       {"listener", m.listener},
                       {"msg", m.msg},
                       {"sender", m.sender},
                       {"param1", m.param1},
                       {"param2", m.param2},
                       {"data_hex", to_hex(m.data.data(), m.data.size())},
                       {"data_text", quote_data(m.data)}});
    }
    j["ipc"] = ipc;

    // Every frame as a picture; each distinct screen once, with its bytes,
    // so that "phonesim show" can draw it again.
    Json frames = Json::array(), screens = Json::array();
    std::vector<std::vector<uint8_t>> distinct;
    std::set<uint64_t> seen;
    for (size_t i = 0; i < in.frames.size(); ++i) {
        const Frame &f = in.frames[i];
        uint64_t h = fnv1a(f.data.data(), f.data.size());
        char name[32];
        snprintf(name, sizeof(name), "frames/%04zu.png", i + 1);
        std::string err;
        if (!write_frame_png(dir + "/" + name, f.data, 4, &err)) {
            *error = err;
            return -1;
        }
        frames.push_back({{"at", f.at}, {"file", name}, {"hash", hex64(h)}});
        if (seen.insert(h).second) {
            distinct.push_back(f.data);
            screens.push_back({{"hash", hex64(h)}, {"hex", to_hex(f.data.data(), f.data.size())}});
        }
    }
    j["frames"] = frames;
    j["screens"] = screens;
    if (!distinct.empty()) {
        std::string err;
        if (!write_contact_sheet(dir + "/contact.png", distinct, 2, &err)) {
            *error = err;
            return -1;
        }
        j["contact_sheet"] = "contact.png";
    }

    Json env_before = Json::object(), env_after = Json::object(), env_changes = Json::array();
    for (const auto &kv : in.before.bootenv)
        env_before[kv.first] = kv.second;
    for (const auto &kv : in.after.bootenv)
        env_after[kv.first] = kv.second;
    std::vector<std::string> env_summary;
    for (const auto &kv : in.after.bootenv) {
        if (!env_before.contains(kv.first)) {
            env_changes.push_back({{"name", kv.first}, {"before", nullptr}, {"after", kv.second}});
            env_summary.push_back(kv.first + " (new) " + kv.second);
        } else if (env_before[kv.first] != kv.second) {
            std::string old = env_before[kv.first].get<std::string>();
            env_changes.push_back({{"name", kv.first}, {"before", old}, {"after", kv.second}});
            env_summary.push_back(kv.first + " " + old + " -> " + kv.second);
        }
    }
    for (const auto &kv : in.before.bootenv) {
        if (!env_after.contains(kv.first)) {
            env_changes.push_back({{"name", kv.first}, {"before", kv.second}, {"after", nullptr}});
            env_summary.push_back(kv.first + " removed");
        }
    }
    Json writes = Json::array();
    for (const auto &w : in.env_writes)
        writes.push_back({{"at", w.first}, {"line", w.second}});
    j["bootenv"] = {
        {"before", env_before}, {"after", env_after}, {"changes", env_changes}, {"writes", writes}};

    Json parts = Json::array();
    std::vector<std::string> changed_parts, moved_parts;
    for (int i = 0; i < kPartitions; ++i) {
        const Window &b = in.before.windows[i], &a = in.after.windows[i];
        bool moved = b.start != a.start || b.end != a.end;
        bool changed = in.before.hashes[i] != in.after.hashes[i];
        std::string name = "mtd" + std::to_string(i);
        if (changed)
            changed_parts.push_back(name);
        if (moved)
            moved_parts.push_back(name);
        parts.push_back({{"name", name},
                         {"changed", changed},
                         {"moved", moved},
                         {"before",
                          {{"start", text_hex32(b.start)},
                           {"end", text_hex32(b.end)},
                           {"hash", hex64(in.before.hashes[i])}}},
                         {"after",
                          {{"start", text_hex32(a.start)},
                           {"end", text_hex32(a.end)},
                           {"hash", hex64(in.after.hashes[i])}}}});
    }
    j["partitions"] = parts;

    Json created = Json::array(), changed = Json::array(), removed = Json::array();
    std::vector<std::string> file_summary;
    for (const auto &f : in.after.files) {
        auto it = in.before.files.find(f.first);
        Json entry = {{"path", f.first}, {"size", f.second.size}, {"hash", hex64(f.second.hash)}};
        if (it == in.before.files.end()) {
            created.push_back(entry);
            if (f.second.type != 'd')
                file_summary.push_back("+" + f.first);
        } else if (it->second.type != f.second.type || it->second.size != f.second.size ||
                   it->second.hash != f.second.hash) {
            changed.push_back(entry);
            file_summary.push_back("~" + f.first);
        }
    }
    for (const auto &f : in.before.files) {
        if (in.after.files.count(f.first) == 0) {
            removed.push_back({{"path", f.first}, {"size", f.second.size}});
            file_summary.push_back("-" + f.first);
        }
    }
    j["files"] = {{"created", created}, {"changed", changed}, {"removed", removed}};

    std::string misc_text;
    read_file(paths.root + "/dev/misc0", &misc_text, in.before.misc_size);
    std::vector<std::string> misc = non_empty_lines(misc_text);
    j["misc"] = misc;

    Json records = Json::object();
    std::vector<std::string> record_summary;
    for (const auto &r : in.after.records) {
        auto it = in.before.records.find(r.first);
        off_t from = it == in.before.records.end() ? 0 : it->second;
        std::string text;
        read_file(paths.records() + "/" + r.first, &text, from);
        std::vector<std::string> lines = non_empty_lines(text);
        std::string key = r.first.substr(0, r.first.size() - 4);
        records[key] = lines;
        if (!lines.empty())
            record_summary.push_back(key + " " + std::to_string(lines.size()));
    }
    j["records"] = records;
    j["sysv"] = in.sysv;

    Json ops = Json::array();
    for (const auto &o : in.flash_ops) {
        const FlashOp &op = o.second;
        Json entry = {{"n", op.n},
                      {"at", o.first},
                      {"kind", op.kind},
                      {"mtd", op.mtd < 0 ? Json() : Json(op.mtd)}};
        if (op.mtd < 0) {
            entry["text"] = op.text;
        } else {
            entry["offset"] = op.offset;
            entry["length"] = op.length;
        }
        if (op.fault)
            entry["fault"] = true;
        ops.push_back(entry);
    }
    j["flash_ops"] = ops;
    const FlashTiming &timing = in.flash_timing;
    FlashCount flash_total;
    Json flash_parts = Json::array();
    for (int i = 0; i < kPartitions; ++i) {
        const FlashCount &c = in.flash_counts[size_t(i)];
        if (c.erases == 0 && c.erased == 0 && c.programmed == 0 && c.read == 0)
            continue;
        flash_total += c;
        Json entry = {{"mtd", i}};
        entry.update(flash_count_json(timing, c));
        flash_parts.push_back(entry);
    }
    j["flash"] = {{"timing",
                   {{"erase_ms", timing.erase_ms},
                    {"program_ms_per_kib", timing.program_ms_per_kib},
                    {"read_ms_per_kib", timing.read_ms_per_kib},
                    {"delay", timing.delay}}},
                  {"partitions", flash_parts},
                  {"total", flash_count_json(timing, flash_total)}};
    if (in.result.ending == Ending::PowerCut) {
        bool at_op = !in.flash_ops.empty() && in.flash_ops.back().second.cut;
        const FlashOp *op = at_op ? &in.flash_ops.back().second : nullptr;
        j["power_cut"] = {{"op", op ? Json(op->n) : Json()},
                          {"seconds", op ? Json() : Json(in.cut_after)},
                          {"kind", op ? Json(op->kind) : Json()}};
    }

    if (!write_file(dir + "/report.json", j.dump(2) + "\n")) {
        *error = errtext(dir + "/report.json");
        return -1;
    }

    // The summary is for a glance: long lists are cut, the report has them.
    auto join = [](const std::vector<std::string> &v, const char *none) {
        if (v.empty())
            return std::string(none);
        const size_t shown = 8;
        std::string s;
        for (size_t i = 0; i < v.size() && i < shown; ++i)
            s += (s.empty() ? "" : ", ") + v[i];
        if (v.size() > shown)
            s += " and " + std::to_string(v.size() - shown) + " more";
        return s;
    };
    std::ostringstream s;
    s << "ending:      " << ending_name(in.result.ending);
    if (in.result.ending == Ending::Exit)
        s << " status " << in.result.status;
    else if (in.result.ending == Ending::Signal)
        s << " " << strsignal(in.result.status);
    char secs[32];
    snprintf(secs, sizeof(secs), "%.1f", in.seconds);
    s << " after " << secs << " s";
    if (in.result.ending == Ending::PowerCut && !in.flash_ops.empty() &&
        in.flash_ops.back().second.cut)
        s << ", during operation " << in.flash_ops.back().second.n << " ("
          << in.flash_ops.back().second.kind << ")";
    s << "\n";
    s << "log:         " << in.log.size() << " lines, " << errors << " at error level or worse\n";
    std::map<std::pair<int, int>, int> kinds;
    for (const IpcRecord &m : in.ipc)
        ++kinds[{m.msg, m.param1}];
    std::vector<std::string> ipc_summary;
    for (const auto &k : kinds)
        ipc_summary.push_back("message " + std::to_string(k.first.first) + "/" +
                              std::to_string(k.first.second) + " x" + std::to_string(k.second));
    s << "ipc:         " << in.ipc.size() << " messages" << (in.ipc.empty() ? "" : ": ")
      << join(ipc_summary, "") << "\n";
    s << "frames:      " << in.frames.size() << " (" << distinct.size() << " distinct)\n";
    s << "boot env:    " << join(env_summary, "unchanged") << "\n";
    s << "partitions:  changed " << join(changed_parts, "none") << "; moved "
      << join(moved_parts, "none") << "\n";
    s << "files:       " << join(file_summary, "no change") << "\n";
    s << "misc:        " << join(misc, "no requests") << "\n";
    s << "scripts:     " << join(record_summary, "no runs") << "\n";
    char flash_secs[32];
    snprintf(flash_secs, sizeof(flash_secs), "%.1f", flash_time_ms(timing, flash_total) / 1000);
    s << "flash:       " << flash_total.erases
      << (flash_total.erases == 1 ? " erase (" : " erases (") << mib(flash_total.erased) << "), "
      << mib(flash_total.programmed) << " programmed, " << mib(flash_total.read)
      << " read; telephone time about " << flash_secs << " s\n";
    s << "flash operations: " << in.flash_ops.size() << "\n";
    s << "report:      " << dir << "/report.json\n";
    *summary = s.str();
    if (!write_file(dir + "/summary.txt", *summary)) {
        *error = errtext(dir + "/summary.txt");
        return -1;
    }
    return 0;
}

} // namespace

int run_telephone(const RunOptions &options, RunResult *result, std::string *error)
{
    *result = RunResult();
    if (options.command.empty()) {
        *error = "no command to run";
        return -1;
    }
    Paths paths;
    paths.root = options.dir;
    while (paths.root.size() > 1 && paths.root.back() == '/')
        paths.root.pop_back();
    {
        char resolved[PATH_MAX];
        if (realpath(paths.root.c_str(), resolved) == nullptr) {
            *error = errtext(options.dir);
            return -1;
        }
        paths.root = resolved;
    }
    struct stat st;
    if (stat(paths.state().c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = options.dir + ": not a telephone root (run phonesim init first)";
        return -1;
    }
    Profile profile = default_profile();
    if (!load_profile(paths.profile(), &profile, error))
        return -1;
    if (options.cut_at > 0 || options.cut_after > 0) {
        profile.power_cut.op = options.cut_at;
        profile.power_cut.seconds = options.cut_after;
    }
    if (options.flash_delay >= 0)
        profile.flash_timing.delay = options.flash_delay;

    // The environment of the program, and the command found on its PATH.
    const char *host_path = getenv("PATH");
    std::string path_var = paths.root + "/bin:" + paths.root +
                           "/sbin:" + (host_path != nullptr ? host_path : "/usr/bin:/bin");
    InitPlan plan;
    if (!resolve_command(options.command[0], path_var, &plan.path)) {
        *error = options.command[0] + ": command not found";
        result->status = 127;
        return -1;
    }
    plan.args = options.command;
    for (char **e = environ; *e != nullptr; ++e) {
        std::string var = *e;
        if (var.compare(0, 5, "PATH=") != 0 && var.compare(0, 14, "UPGRADER_ROOT=") != 0 &&
            var.compare(0, 21, "UPGRADER_PAUSE_SCALE=") != 0)
            plan.env.push_back(var);
    }
    plan.env.push_back("PATH=" + path_var);
    plan.env.push_back("UPGRADER_ROOT=" + paths.root);
    plan.env.push_back("UPGRADER_PAUSE_SCALE=" + format_scale(options.pause_scale));
    for (std::string &a : plan.args)
        plan.argv.push_back(&a[0]);
    plan.argv.push_back(nullptr);
    for (std::string &e : plan.env)
        plan.envp.push_back(&e[0]);
    plan.envp.push_back(nullptr);

    std::vector<uint8_t> pack;
    if (!options.load_pack.empty()) {
        std::string bytes;
        if (!read_file(options.load_pack, &bytes)) {
            *error = errtext(options.load_pack);
            return -1;
        }
        pack.assign(bytes.begin(), bytes.end());
    }

    std::string tmp_copy;
    if (!options.tmp_copy.empty() && !read_file(options.tmp_copy, &tmp_copy)) {
        *error = errtext(options.tmp_copy);
        return -1;
    }
    if (boot(paths, error) != 0)
        return -1;
    if (!options.tmp_copy.empty()) {
        std::string name = options.tmp_copy.substr(options.tmp_copy.find_last_of('/') + 1);
        if (!write_file(paths.root + "/tmp/" + name, tmp_copy)) {
            *error = "cannot copy " + options.tmp_copy + " to " + paths.root + "/tmp/";
            return -1;
        }
    }

    ReportInput report;
    report.options = &options;
    report.paths = &paths;
    report.cut_after = profile.power_cut.seconds;
    report.flash_timing = profile.flash_timing;

    if (enter_namespaces(error) != 0)
        return -1;
    // Threads start only now: they inherit the blocked signals.
    SignalScope signals;
    Clock::time_point started = Clock::now();
    if (mkfifo(paths.control().c_str(), 0600) != 0 && errno != EEXIST) {
        *error = errtext(paths.control());
        return -1;
    }
    // Read-write, so that the FIFO never reports an end of file and a writer
    // never waits for a reader while the telephone runs.
    UniqueFd control(open(paths.control().c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (control.get() < 0) {
        *error = errtext(paths.control());
        return -1;
    }
    char drain[256];
    while (read(control.get(), drain, sizeof(drain)) > 0) {
    }

    Observed observed;
    KernelEvents events;
    bool watch = options.watch;
    events.on_refresh = [&observed, started, watch](const std::vector<uint8_t> &frame) {
        std::lock_guard<std::mutex> lock(observed.mutex);
        observed.frames.push_back(
            {std::chrono::duration<double>(Clock::now() - started).count(), frame});
        if (watch) {
            std::string text = "\x1b[H\x1b[2J" + render_text(frame);
            if (write(STDOUT_FILENO, text.data(), text.size()) < 0) {
                // The terminal is gone; the frame is in the report anyway.
            }
        }
    };
    events.on_env_write = [&observed, started](const std::string &line) {
        std::lock_guard<std::mutex> lock(observed.mutex);
        observed.env_writes.emplace_back(
            std::chrono::duration<double>(Clock::now() - started).count(), line);
    };
    events.on_flash_op = [&observed, started](const FlashOp &op) {
        std::lock_guard<std::mutex> lock(observed.mutex);
        observed.flash_ops.emplace_back(
            std::chrono::duration<double>(Clock::now() - started).count(), op);
    };
    // The telephone ends before the request that was cut returns: its
    // requester never learns how it went, as none would with the power off.
    InitPid init_pid;
    std::atomic<bool> op_cut{false};
    UniqueFd cut_wake[2];
    {
        int p[2];
        if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) {
            *error = errtext("pipe");
            return -1;
        }
        cut_wake[0] = UniqueFd(p[0]);
        cut_wake[1] = UniqueFd(p[1]);
    }
    events.on_power_cut = [&observed, &init_pid, &op_cut, &cut_wake] {
        Json sysv = sysv_snapshot();
        {
            std::lock_guard<std::mutex> lock(observed.mutex);
            observed.sysv = sysv;
        }
        std::string pid_ns;
        pid_t init = init_pid.wait(&pid_ns);
        if (init > 0)
            kill_telephone(init, pid_ns);
        op_cut = true;
        char c = 1;
        if (write(cut_wake[1].get(), &c, 1) != 1) {
            // The loop also sees the init die.
        }
    };
    Kernel kernel(paths, profile, events);
    if (kernel.mount(error) != 0)
        return -1;
    // After the mount, which booted: the layout is the one of this boot.
    report.before = take_snapshot(paths, profile);
    // /dev is replaced after the mount: the kernel needs the host's /dev/fuse.
    LogCollector log;
    if (log.start(started, error) != 0)
        return -1;

    IpcListeners listeners;
    if (listeners.start(paths.root, {1, 2, 3, 4, 5, 7, 8, 9, 10, 11}, error) != 0)
        return -1;
    ConfigSaver saver;
    if (options.saver_hold > 0 && saver.start(options.saver_hold, error) != 0)
        return -1;
    if (!options.load_pack.empty() && load_pack(pack, options.state, error) != 0)
        return -1;

    int status_pipe[2];
    if (pipe2(status_pipe, O_CLOEXEC) != 0) {
        *error = errtext("pipe");
        return -1;
    }
    UniqueFd status_read(status_pipe[0]), status_write(status_pipe[1]);
    plan.status_fd = status_write.get();

    // The first process of a new PID namespace is its init: when it dies the
    // kernel kills everything else in the namespace, which is the power cut.
    // A raw clone, because the process has threads by now and fork's
    // handlers are not wanted in the child.
    long cloned = syscall(SYS_clone, CLONE_NEWPID | SIGCHLD, nullptr, nullptr, nullptr, nullptr);
    if (cloned < 0) {
        *error = errtext("clone (PID namespace)");
        return -1;
    }
    if (cloned == 0)
        init_main(plan);
    pid_t init = static_cast<pid_t>(cloned);
    std::string pid_ns = pid_namespace(init);
    init_pid.set(init, pid_ns);
    status_write.reset();
    // The telephone is killed whatever way this function is left.
    struct InitGuard {
        pid_t pid;
        bool reaped = false;
        ~InitGuard()
        {
            if (!reaped) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
    } guard{init};

    KeyScript keys;
    if (!options.keys.empty() &&
        keys.start(paths.root + "/dev/input/event0", options.keys, error) != 0)
        return -1;

    UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, init, 0)));
    bool has_time_limit = options.time_limit > 0;
    Clock::time_point deadline =
        started + std::chrono::duration_cast<Clock::duration>(
                      std::chrono::duration<double>(has_time_limit ? options.time_limit : 0));
    bool has_cut_time = profile.power_cut.seconds > 0;
    Clock::time_point cut_time =
        started + std::chrono::duration_cast<Clock::duration>(
                      std::chrono::duration<double>(profile.power_cut.seconds));
    bool reboot = false, exited = false, interrupted = false, timed_out = false;
    bool time_cut = false;
    std::string control_text;
    auto read_control = [&] {
        char buf[256];
        ssize_t n;
        while ((n = read(control.get(), buf, sizeof(buf))) > 0)
            control_text.append(buf, static_cast<size_t>(n));
        for (const std::string &line : non_empty_lines(control_text))
            if (line == "reboot")
                reboot = true;
    };
    int init_status = 0;
    while (!reboot && !exited && !interrupted && !timed_out && !time_cut && !op_cut) {
        auto until = [](Clock::time_point end) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            return static_cast<int>(std::max<long long>(0, left.count()));
        };
        int timeout = has_time_limit ? until(deadline) : -1;
        if (has_cut_time)
            timeout = timeout < 0 ? until(cut_time) : std::min(timeout, until(cut_time));
        // Without pidfds the init is looked at every few milliseconds.
        if (pidfd.get() < 0 && (timeout < 0 || timeout > 20))
            timeout = 20;
        struct pollfd polls[4] = {{control.get(), POLLIN, 0},
                                  {signals.fd(), POLLIN, 0},
                                  {cut_wake[0].get(), POLLIN, 0},
                                  {pidfd.get(), POLLIN, 0}};
        int n = poll(polls, pidfd.get() >= 0 ? 4 : 3, timeout);
        if (n < 0 && errno != EINTR) {
            *error = errtext("poll");
            return -1;
        }
        if (waitpid(init, &init_status, WNOHANG) == init) {
            guard.reaped = true;
            exited = true;
        }
        // A reboot asked for before the program ended is a reboot, even when
        // the program got to exit first.
        read_control();
        if (polls[1].revents & POLLIN) {
            // Taken, so that it is not delivered when the mask is restored.
            struct signalfd_siginfo info;
            while (read(signals.fd(), &info, sizeof(info)) == sizeof(info))
                interrupted = true;
        }
        // The earlier of the time cut and the time limit ends the run.
        Clock::time_point now = Clock::now();
        if (has_cut_time && now >= cut_time && (!has_time_limit || cut_time <= deadline))
            time_cut = true;
        else if (has_time_limit && now >= deadline)
            timed_out = true;
    }
    // Whatever ended the run, the telephone's power goes now: nothing more
    // reaches its flash, and no cut can come after the ending was decided.
    kernel.power_off();
    if (op_cut) {
        std::lock_guard<std::mutex> lock(observed.mutex);
        report.sysv = observed.sysv;
    } else {
        report.sysv = sysv_snapshot();
    }
    if (!guard.reaped) {
        kill_telephone(init, pid_ns);
        waitpid(init, &init_status, 0);
        guard.reaped = true;
    }
    report.seconds = std::chrono::duration<double>(Clock::now() - started).count();

    int command_status = 0;
    bool have_status = exited && read(status_read.get(), &command_status, sizeof(command_status)) ==
                                     sizeof(command_status);
    if (op_cut) {
        result->ending = Ending::PowerCut;
    } else if (reboot) {
        result->ending = Ending::Reboot;
    } else if (have_status && WIFEXITED(command_status)) {
        result->ending = Ending::Exit;
        result->status = WEXITSTATUS(command_status);
    } else if (have_status && WIFSIGNALED(command_status)) {
        result->ending = Ending::Signal;
        result->status = WTERMSIG(command_status);
    } else if (interrupted) {
        result->ending = Ending::Interrupted;
    } else if (time_cut) {
        result->ending = Ending::PowerCut;
    } else if (timed_out) {
        result->ending = Ending::TimeLimit;
    } else {
        // The init died without telling how the command ended.
        result->ending = Ending::Error;
        result->status = WIFEXITED(init_status) ? WEXITSTATUS(init_status) : 125;
    }

    // The next run of this telephone boots from a power cut.
    if (result->ending == Ending::PowerCut && !write_file(paths.power_cut(), "power cut\n")) {
        *error = errtext(paths.power_cut());
        return -1;
    }

    keys.stop();
    saver.stop();
    listeners.stop();
    kernel.unmount();
    report.flash_counts = kernel.flash_counts();
    log.stop();

    report.result = *result;
    report.log = log.lines();
    report.ipc = listeners.messages();
    {
        std::lock_guard<std::mutex> lock(observed.mutex);
        report.frames = observed.frames;
        report.env_writes = observed.env_writes;
        report.flash_ops = observed.flash_ops;
    }
    // The power is off: /config is what the next boot mounts.
    if (remount(paths, error) != 0)
        return -1;
    report.after = take_snapshot(paths, profile);
    result->report_dir = options.report.empty() ? paths.last_run() : options.report;
    if (write_report(report, result->report_dir, &result->summary, error) != 0)
        return -1;
    return 0;
}

} // namespace phonesim
