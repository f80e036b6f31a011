#include "platform/unique_fd.h"
#include "phonesim/runner.h"

#include "common/hosttool.h"
#include "phonesim/frames.h"
#include "phonesim/kernel.h"
#include "phonesim/profile.h"
#include "phonesim/report.h"
#include "phonesim/watch.h"

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

// The broadcast with which the program announces a failure screen.
const int kMsgFailureScreen = 3;

std::string failure_screen_hint(bool watch_keys)
{
    return std::string("phonesim: the telephone waits on its failure screen: press Reboot with "
                       "--keys 0:35 (--keys T:35 at T seconds)") +
           (watch_keys ? ", or here with the key r or F4" : ", or --watch and the key r or F4") +
           "; the auto-provision countdown reboots by itself after 60 s\n";
}

bool write_proc(const char *path, const std::string &text)
{
    UniqueFd fd(open(path, O_WRONLY | O_CLOEXEC));
    return fd.get() >= 0 &&
           write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
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

} // namespace

int run_telephone(const RunOptions &options, RunResult *result, std::string *error,
                  std::string *report_error)
{
    report_error->clear();
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

    // The shared upgrade memory and /tmp hold less than the chip.
    const uint64_t kPackLimit = 64u << 20;
    std::vector<uint8_t> pack;
    if (!options.load_pack.empty() &&
        !hosttool::read_input(options.load_pack, kPackLimit, &pack, error))
        return -1;
    std::vector<uint8_t> tmp_copy;
    if (!options.tmp_copy.empty() &&
        !hosttool::read_input(options.tmp_copy, kPackLimit, &tmp_copy, error))
        return -1;
    if (boot(paths, error) != 0)
        return -1;
    if (!options.tmp_copy.empty()) {
        std::string name = options.tmp_copy.substr(options.tmp_copy.find_last_of('/') + 1);
        if (!hosttool::write_output(paths.root + "/tmp/" + name, tmp_copy.data(), tmp_copy.size(),
                                    0644, error))
            return -1;
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

    // After the signal mask: the key reader must not take SIGINT itself.
    Watch watch;
    if (options.watch)
        watch.start(paths.root + "/dev/input/event0");
    Observed observed;
    KernelEvents events;
    events.on_refresh = [&observed, started, &watch](const std::vector<uint8_t> &frame) {
        std::lock_guard<std::mutex> lock(observed.mutex);
        observed.frames.push_back(
            {std::chrono::duration<double>(Clock::now() - started).count(), frame});
        watch.draw(frame);
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
    const bool digests = options.record != Record::Brief;
    report.before = take_snapshot(paths, profile, digests);
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
    // Nobody presses Reboot in a run without keys: say so once the program
    // waits for it, rather than leave the user waiting for the time limit.
    bool hint_due = options.keys.empty();
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
        if (hint_due && (timeout < 0 || timeout > 250))
            timeout = 250;
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
        if (hint_due) {
            for (const IpcRecord &m : listeners.messages())
                hint_due = hint_due && m.msg != kMsgFailureScreen;
            if (!hint_due)
                fprintf(stderr, "%s", failure_screen_hint(watch.reads_keys()).c_str());
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

    watch.stop();
    // The next run of this telephone boots from a power cut.
    if (result->ending == Ending::PowerCut &&
        !hosttool::write_output(paths.power_cut(), "power cut\n", error))
        return -1;

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
    report.after = take_snapshot(paths, profile, digests);
    find_failure_screen(report, result);
    result->flash_ops = report.flash_ops.size();
    report.result = *result;
    // DIR/.phonesim/last-run is always written, so that a --report that
    // fails at the end does not lose a finished upgrade's result.
    result->report_dir = paths.last_run();
    if (write_report(report, result->report_dir, &result->summary, error) != 0)
        return -1;
    if (!options.report.empty()) {
        std::string summary;
        if (write_report(report, options.report, &summary, report_error) == 0) {
            result->report_dir = options.report;
            result->summary = summary;
        }
    }
    return 0;
}

} // namespace phonesim
