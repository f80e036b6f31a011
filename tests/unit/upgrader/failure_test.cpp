// Each case runs in a fresh platform root: "/dev/misc0" is an image file on
// which watchdog requests become lines, "/dev/input/event0" a FIFO for key
// events; the reboot tools, the kill script and a stand-in of the UI facade
// record what they were asked to do under "<root>/records".
#include "upgrader/failure.h"

#include "basicui/basicUI.h"
#include "files.h"
#include "isolation.h"
#include "libipc/ipc.h"
#include "logged.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kPrivateIpc | testsupport::kCaptureSyslog));

namespace
{

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

using testsupport::logged_lines, testsupport::put, testsupport::slurp;
using Lines = std::vector<std::string>;

constexpr int kWaitMs = 60000;

Lines lines_of(const std::string &text)
{
    Lines out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// Bounded polling: true as soon as pred holds, false after timeout_ms.
bool wait_until(const std::function<bool()> &pred, int timeout_ms = kWaitMs)
{
    for (int waited = 0; !pred(); waited += 10) {
        if (waited >= timeout_ms)
            return false;
        usleep(10000);
    }
    return true;
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

// A 16-byte input event as the telephone's kernel delivers it.
std::string key_event(uint16_t code, int32_t value)
{
    std::string e(16, '\0');
    uint16_t type = 1; // EV_KEY
    memcpy(&e[8], &type, 2);
    memcpy(&e[10], &code, 2);
    memcpy(&e[12], &value, 4);
    return e;
}

// Messages received as IPC identity 3: "msg sender param1 param2".
int on_message(const ipc_msg_t *m, void *)
{
    append_record("ipc.log", std::to_string(m->msg) + " " + std::to_string(m->sender) + " " +
                                 std::to_string(m->param1) + " " + std::to_string(m->param2));
    return 0;
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
        logged_lines();
    }
    // Receives as IPC identity 3 from here on, into "<root>/records/ipc.log".
    void listen_as_main()
    {
        ipc_register(3);
        ASSERT_EQ(ipc_run(on_message, nullptr), 0);
        // The reader logs as it starts; a fork while it holds the log's lock
        // would leave the failure screen's child stuck in its first log call.
        ASSERT_TRUE(testsupport::syslog_capture().wait_for("This is thread", kWaitMs));
    }
    void TearDown() override
    {
        close(events);
        if (child > 0) {
            kill(-child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }
    // The failure screen as IPC identity 6, in a process group of its own so
    // that the commands it started go with it.
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
        ASSERT_EQ(write(events, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string at(const std::string &path) const { return root / path; }
    Lines record(const std::string &name) const { return lines_of(slurp(at("/records/" + name))); }

    testsupport::ScopedRoot root;
    int events = -1;
    pid_t child = -1;
};

using SystemEx = Failure;

void on_signal(int) {}

// The caller's signal state holds before, after and (bar the mask) in the
// command, whichever way the command ended.
TEST_F(SystemEx, ExitCodeAtOnceOnlyATimeOutRetriedCallersSignalsKept)
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
        bool timeout;
    } cases[] = {
        {"exit 2", 10, 3, 2, 1, false},
        {"exit 255", 1, 0, 255, 1, false},
        {"/nonexistent/tool", 10, 3, 127, 1, false},
        {"sleep 0.2; exit 4", 0, 3, 4, 1, false}, // no limit: waits however long it takes
        {"kill -KILL $$", 10, 3, -1, 1, false},
        // exec: the killed process is the one that hangs, nothing is left behind.
        {"exec sleep 1000", 1, 2, -1, 3, true},
        {"exec sleep 1000", 1, -5, -1, 1, true},
    };
    std::string runs = at("/records/runs");
    for (const auto &c : cases) {
        unlink(runs.c_str());
        std::string command = "echo run >> " + runs + "; " + c.command;
        EXPECT_EQ(system_ex(command.c_str(), c.limit, c.retries), c.code) << c.command;
        EXPECT_EQ(lines_of(slurp(runs)).size(), size_t(c.runs)) << c.command;
        Lines retries; // one per attempt the limit ended
        for (int i = 0; c.timeout && i < c.runs; ++i)
            retries.push_back("4:system_ex:" + command + " retry " + std::to_string(i - 1) +
                              " times...");
        EXPECT_EQ(logged_lines(), retries) << c.command;
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
    EXPECT_EQ(logged_lines(), (Lines{"3:upgrader_set_watchdog", "3:upgrader_set_watchdog,ok"}));
    unlink(at("/dev/misc0").c_str());
    EXPECT_EQ(CloseWatchDog(0), -1);
    EXPECT_EQ(upgrader_set_watchdog(0), -1);
    EXPECT_EQ(logged_lines(), (Lines{"3:/dev/misc0 open failed\n", "3:upgrader_set_watchdog",
                                     "3:open misc ioctl device failed."}));
    // A device that knows no such request.
    ASSERT_EQ(symlink("/dev/null", at("/dev/misc0").c_str()), 0);
    EXPECT_EQ(CloseWatchDog(0), -1);
    EXPECT_EQ(upgrader_set_watchdog(0), -1);
    EXPECT_EQ(logged_lines(), (Lines{"3:/dev/misc0 ctrl failed!\n", "3:upgrader_set_watchdog",
                                     "3:IOCTL MISC_IOCS_WATCHDOG failed."}));
}

TEST_F(Failure, RebootSelectorChoosesTheCopyInTmpOrTheToolOnPath)
{
    for (int selector : {0, -1, 1})
        EXPECT_EQ(do_reboot(selector), 0);
    EXPECT_EQ(record("reboot.log"), (Lines{"tmp-reboot", "path-reboot", "path-reboot"}));
    put(at("/records/reboot.status"), "3");
    EXPECT_EQ(do_reboot(0), 3);
    // The copy in /tmp is found under a root the shell would split.
    testsupport::TempDir dir;
    std::string base = dir.path() + "/it's a root; $(x)";
    for (const char *d : {"", "/tmp", "/records"})
        mkdir((base + d).c_str(), 0755);
    put_recorder(base + "/tmp/reboot", "odd-root", "reboot");
    setenv("UPGRADER_ROOT", base.c_str(), 1);
    EXPECT_EQ(do_reboot(0), 0);
    EXPECT_EQ(slurp(base + "/records/reboot.log"), "odd-root\n");
}

TEST_F(Failure, KillappsRunsTheScriptExceptInStatesTwoAndMinusThree)
{
    for (int state : {2, -3, 0, 1, -1, 3})
        EXPECT_EQ(upgrader_killapps(state), 0) << state;
    EXPECT_EQ(record("killapps.log").size(), 4u);
    EXPECT_TRUE(logged_lines().empty());
    put(at("/records/killapps.status"), "1");
    EXPECT_EQ(upgrader_killapps(0), -1);
    unlink(at("/app/scripts/killapps.sh").c_str());
    EXPECT_EQ(upgrader_killapps(1), -1);
    EXPECT_EQ(record("killapps.log").size(), 5u);
    EXPECT_EQ(logged_lines(), (Lines{"3:killapps failed!\n", "3:killapps failed!\n"}));
}

TEST(FailedInfoText, ByStatusExceptTheHardwareMinimum)
{
    const struct {
        int status;
        const char *text;
    } cases[] = {{-199, "Load Rom Failed!"},   {-198, "Get shm Failed!"},
                 {-193, "Rom check Failed!"},  {-192, "Killapps Failed!"},
                 {-191, "Burn Flash Failed!"}, {-190, "Upgrade Failed!"},
                 {-188, "Upgrade Failed!"},    {-187, "Upgrade Failed!"},
                 {-1, "Upgrade Failed!"},      {1, "Upgrade Failed!"}};
    for (const auto &c : cases)
        EXPECT_STREQ(failed_info_text(c.status, -80), c.text) << c.status;
    // Below the hardware minimum the status does not matter.
    for (int status : {-193, -199})
        EXPECT_STREQ(failed_info_text(status, -74), "Upgrade Failed!") << status;
}

using FailureScreen = Failure;

TEST_F(FailureScreen, RebootsOnEveryPressOfTheRebootKeyOnly)
{
    listen_as_main();
    CBasicUI ui;
    disp_failed_info(&ui, 0, 0, -193); // status 0: no screen, no message, no wait
    show(-193, 0, -80);
    ASSERT_TRUE(wait_until([&] { return !record("ipc.log").empty(); }));
    EXPECT_EQ(record("ipc.log"), (Lines{"3 6 0 0"}));
    EXPECT_TRUE(testsupport::syslog_capture().wait_for("Rom check Failed!", kWaitMs));
    // Release, auto-repeat and other keys do nothing; events are read in
    // order, so by the time the press below reboots, these have been seen.
    press(key_event(35, 0) + key_event(35, 2) + key_event(34, 1) + key_event(3, 1));
    std::string reboot = key_event(35, 1);
    press(reboot.substr(0, 8)); // an event may come in pieces
    usleep(50000);
    press(reboot.substr(8));
    ASSERT_TRUE(wait_until([&] { return slurp(at("/dev/misc0")) == "MISC_IOCS_WATCHDOG 1\n"; }));
    EXPECT_EQ(record("reboot.log"), (Lines{"tmp-reboot"}));
    // A reboot that did not happen is asked for again on the next press.
    press(reboot);
    ASSERT_TRUE(wait_until([&] { return record("reboot.log").size() == 2; }));
    ASSERT_TRUE(wait_until([&] { return lines_of(slurp(at("/dev/misc0"))).size() == 2; }));
    EXPECT_EQ(record("ui.log"), (Lines{"failed Rom check Failed!:-80", "notice Rebooting...",
                                       "notice Rebooting..."}));
}

TEST_F(FailureScreen, HardwareMinimumShowsUpgradeFailedAndBareRebootWhenNoCopy)
{
    show(-193, -1, -74);
    press(key_event(35, 1));
    ASSERT_TRUE(wait_until([&] { return !record("reboot.log").empty(); }));
    EXPECT_EQ(record("reboot.log"), (Lines{"path-reboot"}));
    EXPECT_EQ(record("ui.log").front(), "failed Upgrade Failed!:-74");
}

TEST_F(FailureScreen, NoInputDeviceEndsTheProcess)
{
    unlink(at("/dev/input/event0").c_str());
    show(-191, 0, -5);
    int status = 0;
    ASSERT_TRUE(wait_until([&] { return waitpid(child, &status, WNOHANG) == child; }));
    child = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << status;
    EXPECT_EQ(record("ui.log"), (Lines{"failed Burn Flash Failed!:-5"}));
}

TEST_F(FailureScreen, CountdownShowsSixtyToOneThenRebootsEverySecondAfter)
{
    CBasicUI ui;
    autop_timer_arg arg{-191, &ui};
    ASSERT_EQ(pthread_create(&tid_kpad, nullptr, autop_reboot_timer, &arg), 0);
    ASSERT_TRUE(wait_until([&] { return record("reboot.log").size() >= 3; }));
    g_park = true;
    ASSERT_TRUE(wait_until([] { return g_parked.load(); }));
    // The countdown always reboots with the tool on PATH.
    for (const std::string &r : record("reboot.log"))
        EXPECT_EQ(r, "path-reboot");
    Lines shown = record("ui.log");
    ASSERT_GE(shown.size(), 63u);
    for (int i = 0; i < 60; ++i)
        EXPECT_EQ(shown[static_cast<size_t>(i)], "autop -191 " + std::to_string(60 - i));
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
