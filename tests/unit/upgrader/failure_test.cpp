// What the failure screens do that the integration tests cannot see: the
// reboot key's events byte by byte, the reboot asked for again, the
// countdown thread going on after its count, the watchdog requests, and
// commands under a time limit. Each case runs in a fresh platform root:
// "/dev/misc0" is an image file on which watchdog requests become lines,
// "/dev/input/event0" a FIFO for key events; the reboot tools, the kill
// script and a stand-in of the UI facade record what they were asked to do
// under "<root>/records".
#include "upgrader/failure.h"

#include "basicui/basicUI.h"
#include "files.h"
#include "isolation.h"
#include "lcd_root.h"
#include "libipc/ipc.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kPrivateIpc | testsupport::kCaptureSyslog));

namespace
{

using testsupport::key_event, testsupport::put, testsupport::slurp, testsupport::wait_until;
using Lines = std::vector<std::string>;

constexpr int kWaitMs = 60000;

// While set, a thread that comes to the screen stays there for good: the
// way to stop the countdown thread, which never returns by itself.
std::atomic<bool> g_park{false};
std::atomic<bool> g_parked{false};

// Appends to "<root>/records/<name>" in one write, so lines of threads and
// of forked processes never mix.
void append_record(const std::string &name, const std::string &line)
{
    if (const char *root = getenv("UPGRADER_ROOT"))
        std::ofstream(std::string(root) + "/records/" + name, std::ios::app) << line + "\n";
}

void shown(const std::string &line)
{
    while (g_park) {
        g_parked = true;
        pause();
    }
    append_record("ui.log", line);
}

Lines lines_of(const std::string &text)
{
    Lines out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// A tool that appends word to "<root>/records/<log>.log" and exits with the
// number in "<root>/records/<log>.status" (0 without).
void put_recorder(const std::string &path, const std::string &word, const std::string &log)
{
    std::string r = "\"$UPGRADER_ROOT/records/" + log;
    put(path, "#!/bin/sh\necho " + word + " >> " + r + ".log\"\nexit \"$(cat " + r +
                  ".status\" 2>/dev/null || echo 0)\"\n");
    chmod(path.c_str(), 0755);
}

class Failure : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        for (const char *d :
             {"/dev", "/dev/input", "/tmp", "/bin", "/app", "/app/scripts", "/records"})
            mkdir(at(d).c_str(), 0755);
        put(at("/dev/misc0"), "");
        ASSERT_EQ(mkfifo(at("/dev/input/event0").c_str(), 0600), 0) << strerror(errno);
        put_recorder(at("/tmp/reboot"), "tmp-reboot", "reboot");
        put_recorder(at("/bin/reboot"), "path-reboot", "reboot");
        put_recorder(at("/app/scripts/killapps.sh"), "killapps", "killapps");
        const char *path = getenv("PATH");
        setenv("PATH", (at("/bin") + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(), 1);
        setenv("UPGRADER_PAUSE_SCALE", "0", 1);
        events = open(at("/dev/input/event0").c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(events, 0);
    }
    void TearDown() override
    {
        close(events);
        if (child > 0) {
            kill(-child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }
    // The failure screen, in a process group of its own so that the
    // commands it started go with it.
    void show(int status, int selector, int id)
    {
        child = fork();
        if (child == 0) {
            setpgid(0, 0);
            ipc_register(6);
            CBasicUI ui;
            disp_failed_info(&ui, status, selector, id);
            _exit(0);
        }
        ASSERT_GT(child, 0);
        setpgid(child, child);
    }
    void press(const std::string &bytes)
    {
        ASSERT_EQ(write(events, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    std::string at(const std::string &path) const { return root / path; }
    Lines record(const std::string &name) const { return lines_of(slurp(at("/records/" + name))); }

    testsupport::ScopedRoot root;
    int events = -1;
    pid_t child = -1;
};

void on_signal(int) {}

// The caller's signal state holds before, after and (bar the mask) in the
// command, whichever way the command ended.
TEST_F(Failure, SystemExExitCodeAtOnceOnlyATimeOutRetriedCallersSignalsKept)
{
    struct sigaction mine = {};
    mine.sa_handler = on_signal;
    for (int sig : {SIGINT, SIGQUIT})
        ASSERT_EQ(sigaction(sig, &mine, nullptr), 0);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    ASSERT_EQ(sigprocmask(SIG_SETMASK, &blocked, nullptr), 0);
    const struct {
        const char *command;
        int limit, retries, code, runs;
    } cases[] = {
        {"exit 2", 10, 3, 2, 1},
        {"/nonexistent/tool", 10, 3, 127, 1},
        {"sleep 0.2; exit 4", 0, 3, 4, 1}, // no limit: waits however long it takes
        {"kill -KILL $$", 10, 3, -1, 1},
        // exec: the killed process is the one that hangs, nothing is left behind.
        {"exec sleep 1000", 1, 2, -1, 3},
        {"exec sleep 1000", 1, -5, -1, 1},
    };
    std::string runs = at("/records/runs");
    for (const auto &c : cases) {
        unlink(runs.c_str());
        std::string command = "echo run >> " + runs + "; " + c.command;
        EXPECT_EQ(system_ex(command.c_str(), c.limit, c.retries), c.code) << c.command;
        EXPECT_EQ(lines_of(slurp(runs)).size(), size_t(c.runs)) << c.command;
    }
    EXPECT_EQ(system_ex(nullptr, 10, 3), -1);
    // Every child was reaped: none is left, not even a zombie.
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    struct sigaction now;
    for (int sig : {SIGINT, SIGQUIT}) {
        ASSERT_EQ(sigaction(sig, nullptr, &now), 0);
        EXPECT_EQ(now.sa_handler, on_signal) << sig;
    }
    sigset_t mask;
    ASSERT_EQ(sigprocmask(SIG_SETMASK, nullptr, &mask), 0);
    EXPECT_EQ(sigismember(&mask, SIGUSR1), 1);
    EXPECT_EQ(sigismember(&mask, SIGCHLD), 0);
#ifndef __mips__
    // SIGINT and SIGQUIT are not ignored in the command. (Under the emulator
    // the command is a host process with the emulator's signal state.)
    std::string status = at("/records/status");
    EXPECT_EQ(system_ex(("grep '^SigIgn' /proc/self/status > " + status).c_str(), 10, 0), 0);
    Lines ignored = lines_of(slurp(status));
    ASSERT_EQ(ignored.size(), 1u);
    unsigned long long bits = strtoull(ignored[0].substr(7).c_str(), nullptr, 16);
    EXPECT_EQ(bits & ((1ull << (SIGINT - 1)) | (1ull << (SIGQUIT - 1))), 0u) << ignored[0];
#endif
}

TEST_F(Failure, WatchdogRequestsBecomeLinesOnTheMiscImageOrFail)
{
    EXPECT_EQ(CloseWatchDog(0), 0);
    EXPECT_EQ(upgrader_set_watchdog(1), 0);
    EXPECT_EQ(slurp(at("/dev/misc0")), "MISC_IOCS_WATCHDOG 0\nMISC_IOCS_WATCHDOG 1\n");
    unlink(at("/dev/misc0").c_str());
    EXPECT_EQ(CloseWatchDog(0), -1);
    EXPECT_EQ(upgrader_set_watchdog(0), -1);
    // A device that knows no such request.
    ASSERT_EQ(symlink("/dev/null", at("/dev/misc0").c_str()), 0);
    EXPECT_EQ(CloseWatchDog(0), -1);
    EXPECT_EQ(upgrader_set_watchdog(0), -1);
}

// The reboot selector chooses the copy in /tmp or the tool on PATH; the
// copy and the kill script are found under a root the shell would split.
TEST_F(Failure, RebootAndKillScriptUnderAnyRoot)
{
    for (int selector : {0, -1})
        EXPECT_EQ(do_reboot(selector), 0);
    EXPECT_EQ(record("reboot.log"), (Lines{"tmp-reboot", "path-reboot"}));
    put(at("/records/reboot.status"), "3");
    EXPECT_EQ(do_reboot(0), 3);
    put(at("/records/killapps.status"), "1");
    EXPECT_EQ(upgrader_killapps(0), -1);

    testsupport::TempDir dir;
    std::string base = dir.path() + "/it's a root; $(x)";
    for (const char *d : {"", "/tmp", "/records", "/app", "/app/scripts"})
        mkdir((base + d).c_str(), 0755);
    put_recorder(base + "/tmp/reboot", "odd-root", "reboot");
    put_recorder(base + "/app/scripts/killapps.sh", "odd-root", "killapps");
    setenv("UPGRADER_ROOT", base.c_str(), 1);
    EXPECT_EQ(do_reboot(0), 0);
    EXPECT_EQ(upgrader_killapps(1), 0);
    EXPECT_EQ(slurp(base + "/records/reboot.log") + slurp(base + "/records/killapps.log"),
              "odd-root\nodd-root\n");
}

TEST_F(Failure, ScreenRebootsOnEveryPressOfTheRebootKeyOnly)
{
    show(-193, 0, -80);
    ASSERT_TRUE(wait_until([&] { return !record("ui.log").empty(); }, kWaitMs));
    // Release, auto-repeat and other keys do nothing; events are read in
    // order, so by the time the press below reboots, these have been seen.
    press(key_event(35, 0) + key_event(35, 2) + key_event(34, 1) + key_event(3, 1));
    std::string reboot = key_event(35, 1);
    press(reboot.substr(0, 8)); // an event may come in pieces
    usleep(50000);
    press(reboot.substr(8));
    ASSERT_TRUE(
        wait_until([&] { return slurp(at("/dev/misc0")) == "MISC_IOCS_WATCHDOG 1\n"; }, kWaitMs));
    EXPECT_EQ(record("reboot.log"), (Lines{"tmp-reboot"}));
    // A reboot that did not happen is asked for again on the next press.
    press(reboot);
    ASSERT_TRUE(wait_until([&] { return record("reboot.log").size() == 2; }, kWaitMs));
    ASSERT_TRUE(wait_until([&] { return lines_of(slurp(at("/dev/misc0"))).size() == 2; }, kWaitMs));
}

TEST_F(Failure, ScreenWithoutInputDeviceEndsTheProcess)
{
    unlink(at("/dev/input/event0").c_str());
    show(-191, 0, -5);
    int status = 0;
    ASSERT_TRUE(wait_until([&] { return waitpid(child, &status, WNOHANG) == child; }, kWaitMs));
    child = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << status;
}

TEST_F(Failure, CountdownRebootsWithTheToolOnPathEverySecondAfterTheCount)
{
    CBasicUI ui;
    autop_timer_arg arg{-191, &ui};
    ASSERT_EQ(pthread_create(&tid_kpad, nullptr, autop_reboot_timer, &arg), 0);
    ASSERT_TRUE(wait_until([&] { return record("reboot.log").size() >= 3; }, kWaitMs));
    g_park = true;
    ASSERT_TRUE(wait_until([] { return g_parked.load(); }, kWaitMs));
    for (const std::string &r : record("reboot.log"))
        EXPECT_EQ(r, "path-reboot");
    Lines shown = record("ui.log");
    ASSERT_GE(shown.size(), 63u);
    // After the count: the screen stays at 0 and the reboot is asked for
    // again after every further second.
    for (size_t i = 60; i < shown.size(); ++i)
        EXPECT_EQ(shown[i], i % 2 == 0 ? "notice Rebooting..." : "autop -191 0") << i;
    EXPECT_EQ(slurp(at("/dev/misc0")).substr(0, 21), "MISC_IOCS_WATCHDOG 1\n");
}

} // namespace

// The facade as the failure screens use it, recording instead of drawing.
CBasicUI::CBasicUI() {}
CBasicUI::~CBasicUI() {}
int CBasicUI::ShowUpgradingFailedInfoWithID(const char *message, int id)
{
    shown("failed " + std::string(message) + ":" + std::to_string(id));
    return 0;
}
int CBasicUI::ShowUpgradingAutop2FailedInfoWithID(int code, int seconds)
{
    shown("autop " + std::to_string(code) + " " + std::to_string(seconds));
    return 0;
}
void CBasicUI::DispNoticeInfo(const char *text)
{
    shown("notice " + std::string(text));
}
