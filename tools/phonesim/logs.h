// The telephone's system log daemon: /dev/log, in the run's mount namespace
// only, is a datagram socket whose lines phonesim keeps for the report.
#ifndef PHONESIM_LOGS_H
#define PHONESIM_LOGS_H

#include "platform/unique_fd.h"

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace phonesim
{

struct LogLine {
    double at = 0;
    int priority = 0;
    std::string text; // after the syslog header
};

class LogCollector
{
  public:
    using Clock = std::chrono::steady_clock;
    ~LogCollector() { stop(); }
    // Replaces /dev by a small tmpfs with the usual character devices, a
    // private /dev/shm and the log socket, and starts reading.
    [[nodiscard]] int start(Clock::time_point started, std::string *error);
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

} // namespace phonesim

#endif
