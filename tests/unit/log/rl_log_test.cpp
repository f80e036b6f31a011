// The logger judged by what reaches its private "/dev/log"; every case runs
// in a fresh process, so the logger's process-wide state starts anew.
#include "log/rl_log.h"

#include "isolation.h"

#include <limits.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <thread>

namespace
{
::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));
using Lines = std::vector<std::string>;

// "<syslog priority>|<text>" of the lines sent since the last call.
Lines sent()
{
    Lines out;
    for (const testsupport::LogLine &l : testsupport::syslog_capture().take())
        out.push_back(std::to_string(l.priority) + "|" + l.text);
    return out;
}

// The line the calling thread sends.
std::string line(const std::string &name, int level, const std::string &text, int pid = getpid())
{
    return std::to_string(LOG_USER | level) + "|" + name + " pid" + std::to_string(pid) + ",tid" +
           std::to_string(syscall(SYS_gettid)) + ",l" + std::to_string(level) + ": " + text;
}
} // namespace

TEST(RlLog, ThresholdLetsThroughExactlyTheLevelsUpToIt)
{
    void (*const by_level[8])(const char *, ...) = {rl_log_emerg, rl_log_alert, rl_log_crit,
                                                    rl_log_err,   rl_log_warn,  rl_log_notice,
                                                    rl_log_info,  rl_log_debug};
    rl_log_init("t", 7);
    for (int threshold = -1; threshold <= 7; ++threshold) {
        rl_log_reset_level(threshold);
        Lines want;
        for (int level = 0; level < 8; ++level) {
            by_level[level]("x%d", level);
            if (level <= threshold)
                want.push_back(line("t", level, "x" + std::to_string(level)));
        }
        EXPECT_EQ(sent(), want) << threshold;
    }
}

TEST(RlLog, LinesCarryNamePidTidAndLevelAndAreCutAt4095Characters)
{
    rl_log_debug("early"); // before any init: no name, pid 0
    rl_log_init("a%sb%n", 7);
    rl_log_init("second", 3); // changes nothing while initialised
    const char *empty = "", *none = nullptr;
    rl_log_err(empty, 0); // sends nothing, nor does a null format
    rl_log_err(none, 0);
    rl_log_err("%d%% done %s", 50, "ok");
    std::string other;
    std::thread([&] { rl_log_info("x"), other = line("a%sb%n", 6, "x"); }).join();
    rl_log_deinit();
    rl_log_debug("after deinit"); // with the settings it had
    rl_log_init("abcdefghijklmnopqrst", 7);
    const std::string big(5000, 'x'), whole = line("abcdefghijklmn", 6, big);
    rl_log_info("%s", big.c_str()); // expanded after the cut
    rl_log_info(big.c_str(), 0);
    EXPECT_EQ(sent(), (Lines{line("", 7, "early", 0), line("a%sb%n", 3, "50% done ok"), other,
                             line("a%sb%n", 7, "after deinit"), whole,
                             whole.substr(0, whole.find('|') + 1 + 4095)}));
}

// A signal handler's line is the same line, composed without stdio; before
// rl_log_init it goes out all the same, on a socket of its own.
TEST(RlLog, SignalSafeLineIsTheSameLine)
{
    rl_log_signal_safe(LOG_CRIT, "early %d", 7);
    rl_log_reset_level(2);
    rl_log_signal_safe(LOG_ERR, "over the threshold");
    rl_log_init("sig%d", 7);
    rl_log_signal_safe(LOG_ERR, "Catch a signal %d, thread id %d. 100%%", INT_MIN, 0);
    rl_log_err("Catch a signal %d, thread id %d. 100%%", INT_MIN, 0);
    const std::string caught = line("sig%d", 3, "Catch a signal -2147483648, thread id 0. 100%");
    EXPECT_EQ(sent(), (Lines{line("", 2, "early 7", 0), caught, caught}));
}
