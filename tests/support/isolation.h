// Test isolation: each test process can put itself in private namespaces so
// that the fixed System V keys and the system log socket "/dev/log" belong
// to the test alone, not to the host or to a running simulated telephone.
#ifndef TESTS_SUPPORT_ISOLATION_H
#define TESTS_SUPPORT_ISOLATION_H

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

enum Isolation : unsigned {
    kPrivateIpc = 1u << 0,    // own System V IPC namespace
    kCaptureSyslog = 1u << 1, // own mount namespace with a "/dev/log" we read
};

// One datagram as the system log daemon would receive it.
struct LogLine {
    int priority = 0;  // facility | level as sent
    std::string text;  // the message after the syslog header
    int level() const { return priority & 7; }
};

// Reads what the process sent to "/dev/log". A thread drains the socket all
// the time: the kernel queues only a handful of datagrams per socket
// (net.unix.max_dgram_qlen) and syslog() blocks the sender when the queue is
// full.
class SyslogCapture {
  public:
    // Lines received so far and not yet taken, in order. Everything sent
    // before the call is included: a marker is sent through the same socket
    // and the reader is waited for until it has seen it.
    std::vector<LogLine> take();
    // The same, texts only.
    std::vector<std::string> take_texts();
    // Waits up to timeout_ms for a line containing needle (for lines sent by
    // other threads); lines seen on the way stay for take().
    bool wait_for(const std::string &needle, int timeout_ms = 10000);

    void start(int fd, const std::string &path);

  private:
    void run();
    bool sync();
    int fd_ = -1;
    std::string path_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<LogLine> pending_;
    unsigned markers_seen_ = 0;
    unsigned markers_sent_ = 0;
};

SyslogCapture &syslog_capture();

// Registered as a global test environment; fails the run when the namespaces
// cannot be entered.
class IsolatedEnvironment : public ::testing::Environment {
  public:
    explicit IsolatedEnvironment(unsigned what) : what_(what) {}
    void SetUp() override;

  private:
    unsigned what_;
};

// A fresh directory, removed with its contents on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

// A temporary platform root: sets UPGRADER_ROOT for its lifetime.
class ScopedRoot {
  public:
    ScopedRoot();
    ~ScopedRoot();
    const std::string &path() const { return dir_.path(); }
    std::string operator/(const std::string &rel) const { return dir_.path() + rel; }

  private:
    TempDir dir_;
    std::string saved_;
    bool had_saved_ = false;
};

} // namespace testsupport

#endif
