#include "phonesim/logs.h"

#include "common/hosttool.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace phonesim
{

namespace
{

std::string errtext(const std::string &what)
{
    return what + ": " + strerror(errno);
}

bool bind_node(const std::string &dir, const char *name)
{
    std::string src = std::string("/dev/") + name;
    std::string dst = dir + "/" + name;
    UniqueFd fd(open(dst.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666));
    if (fd.get() < 0)
        return false;
    return mount(src.c_str(), dst.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

} // namespace

// Replaces /dev, in the run's mount namespace only, by a small tmpfs with the
// usual character devices, a private /dev/shm and the log socket.
int LogCollector::start(Clock::time_point started, std::string *error)
{
    started_ = started;
    // An empty directory to build the new /dev in, seen by the host as empty
    // all along (the tmpfs is in this mount namespace only): rmdir clears
    // it, where a scratch directory's rm -rf would cost a fork and an exec.
    struct EmptyDir {
        std::string path;
        ~EmptyDir()
        {
            if (!path.empty())
                rmdir(path.c_str());
        }
    } scratch;
    {
        const char *base = getenv("TMPDIR");
        std::string name =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/phonesim-dev.XXXXXX";
        if (mkdtemp(&name[0]) == nullptr) {
            *error = hosttool::path_error(name, "cannot create a scratch directory", errno);
            return -1;
        }
        scratch.path = name;
    }
    const std::string &dir = scratch.path;
    // Gone before the directory is: what is mounted there stays as /dev.
    struct Unmount {
        const std::string &dir;
        ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }
    } unmount{dir};
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

} // namespace phonesim
