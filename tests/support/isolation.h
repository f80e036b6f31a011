// Test isolation: each test process can put itself in private namespaces so
// that the fixed System V keys and the system log socket "/dev/log" belong
// to the test alone, not to the host or to a running simulated telephone.
#ifndef TESTS_SUPPORT_ISOLATION_H
#define TESTS_SUPPORT_ISOLATION_H

#include <gtest/gtest.h>

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

// Reads what the process sent to "/dev/log". Datagrams are queued by the
// time the sending call returns, so reading never waits on the sender.
class SyslogCapture {
  public:
    // Lines received so far and not yet taken, in order.
    std::vector<LogLine> take();
    // Drains and returns the texts only.
    std::vector<std::string> take_texts();
    // Waits up to timeout_ms for a line containing needle (for lines sent by
    // other threads); lines read on the way are kept for take().
    bool wait_for(const std::string &needle, int timeout_ms = 10000);
    int fd = -1;
    std::vector<LogLine> pending;
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
