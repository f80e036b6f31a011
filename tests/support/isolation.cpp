#include "isolation.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace testsupport
{

namespace
{

SyslogCapture g_capture;

// The reader must be gone before g_capture is destroyed at exit, or it would
// touch a destroyed mutex and vector. Statics of one file are destroyed in
// reverse order, so g_reader, defined after g_capture, is stopped first.
std::atomic<bool> g_stopping{false};
std::atomic<int> g_reader_fd{-1};

struct Reader {
    std::thread thread;
    pid_t owner = 0;
    ~Reader()
    {
        if (!thread.joinable())
            return;
        // A forked child that exits through exit() has the object but not
        // the thread; joining there would wait for ever.
        if (getpid() != owner) {
            thread.detach();
            return;
        }
        g_stopping = true;
        // Wakes the blocked recv(), which then returns 0.
        shutdown(g_reader_fd.load(), SHUT_RDWR);
        thread.join();
    }
};
Reader g_reader;

bool write_file(const char *path, const std::string &text)
{
    int fd = open(path, O_WRONLY);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// As root the namespaces are entered directly; otherwise inside a new user
// namespace that maps the caller to root.
void enter_namespaces(int flags)
{
    if (geteuid() == 0) {
        ASSERT_EQ(unshare(flags), 0) << "unshare: " << strerror(errno);
        return;
    }
    uid_t uid = geteuid();
    gid_t gid = getegid();
    ASSERT_EQ(unshare(flags | CLONE_NEWUSER), 0) << "unshare(user): " << strerror(errno);
    write_file("/proc/self/setgroups", "deny");
    ASSERT_TRUE(write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1"));
    ASSERT_TRUE(write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"));
}

bool bind_node(const std::string &dir, const char *name)
{
    std::string src = std::string("/dev/") + name;
    std::string dst = dir + "/" + name;
    int fd = open(dst.c_str(), O_CREAT | O_WRONLY, 0666);
    if (fd < 0)
        return false;
    close(fd);
    return mount(src.c_str(), dst.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

// Replaces /dev, in this process's mount namespace only, by a small tmpfs
// holding the usual character devices (fuse too, for phonesim's kernel) and
// a datagram socket at /dev/log.
void install_syslog_capture()
{
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0)
        << "make / private: " << strerror(errno);
    char tmpl[] = "/tmp/rltest-dev-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    ASSERT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", 0, "mode=755"), 0)
        << "tmpfs: " << strerror(errno);
    for (const char *node : {"null", "zero", "full", "random", "urandom", "tty", "fuse"})
        bind_node(dir, node);

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string sock = dir + "/log";
    ASSERT_LT(sock.size(), sizeof(addr.sun_path));
    memcpy(addr.sun_path, sock.c_str(), sock.size() + 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0)
        << "bind log socket: " << strerror(errno);
    int big = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));

    ASSERT_EQ(mount(dir.c_str(), "/dev", nullptr, MS_BIND | MS_REC, nullptr), 0)
        << "bind /dev: " << strerror(errno);
    // The tmpfs stays reachable through /dev; the temporary mount point goes.
    umount2(dir.c_str(), MNT_DETACH);
    rmdir(dir.c_str());
    g_capture.start(fd, "/dev/log");
}

LogLine parse(const char *buf, size_t len)
{
    // "<pri>Mmm dd hh:mm:ss ident: message" (glibc's header; ident is empty).
    LogLine line;
    std::string s(buf, len);
    size_t close = s.find('>');
    if (s.size() > 0 && s[0] == '<' && close != std::string::npos) {
        line.priority = atoi(s.c_str() + 1);
        size_t colon = s.find(": ", close + 16);
        line.text = colon == std::string::npos ? s.substr(close + 1) : s.substr(colon + 2);
    } else {
        line.text = s;
    }
    return line;
}

const char kMarker[] = "\x01syslog-capture-marker";

} // namespace

SyslogCapture &syslog_capture()
{
    return g_capture;
}

void SyslogCapture::start(int fd, const std::string &path)
{
    if (g_reader.thread.joinable()) {
        close(fd);
        return;
    }
    fd_ = fd;
    path_ = path;
    g_reader_fd = fd;
    g_reader.owner = getpid();
    g_reader.thread = std::thread([this] { run(); });
}

void SyslogCapture::run()
{
    static char buf[65536];
    for (;;) {
        ssize_t n = recv(fd_, buf, sizeof(buf), 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (n == 0 && g_stopping)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (static_cast<size_t>(n) == sizeof(kMarker) - 1 && memcmp(buf, kMarker, n) == 0)
            ++markers_seen_;
        else
            pending_.push_back(parse(buf, static_cast<size_t>(n)));
        changed_.notify_all();
    }
}

// Datagrams on one socket arrive in the order they were sent, so once the
// reader has seen a marker sent now, every earlier line is in pending_.
bool SyslogCapture::sync()
{
    if (fd_ < 0)
        return false;
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    std::unique_lock<std::mutex> lock(mutex_);
    unsigned want = ++markers_sent_;
    lock.unlock();
    ssize_t n = sendto(s, kMarker, sizeof(kMarker) - 1, 0, reinterpret_cast<sockaddr *>(&addr),
                       sizeof(addr));
    close(s);
    if (n < 0)
        return false;
    lock.lock();
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return markers_seen_ >= want; });
}

std::vector<LogLine> SyslogCapture::take()
{
    sync();
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<LogLine> out;
    out.swap(pending_);
    return out;
}

std::vector<std::string> SyslogCapture::take_texts()
{
    std::vector<std::string> texts;
    for (const LogLine &l : take())
        texts.push_back(l.text);
    return texts;
}

bool SyslogCapture::wait_for(const std::string &needle, int timeout_ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        for (const LogLine &l : pending_)
            if (l.text.find(needle) != std::string::npos)
                return true;
        return false;
    });
}

void IsolatedEnvironment::SetUp()
{
    int flags = 0;
    if (what_ & kPrivateIpc)
        flags |= CLONE_NEWIPC;
    if (what_ & kCaptureSyslog)
        flags |= CLONE_NEWNS;
    enter_namespaces(flags);
    if (::testing::Test::HasFatalFailure())
        return;
    if (what_ & kCaptureSyslog)
        install_syslog_capture();
}

TempDir::TempDir()
{
    char tmpl[] = "/tmp/upgrader-test-XXXXXX";
    if (mkdtemp(tmpl) != nullptr)
        path_ = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec; // what cannot be removed stays
    std::filesystem::remove_all(path_, ec);
}

ScopedRoot::ScopedRoot()
{
    const char *old = getenv("UPGRADER_ROOT");
    if (old != nullptr) {
        had_saved_ = true;
        saved_ = old;
    }
    setenv("UPGRADER_ROOT", dir_.path().c_str(), 1);
}

ScopedRoot::~ScopedRoot()
{
    if (had_saved_)
        setenv("UPGRADER_ROOT", saved_.c_str(), 1);
    else
        unsetenv("UPGRADER_ROOT");
}

} // namespace testsupport
