// Each case runs in a fresh platform root: "/dev/misc0" is an image file on
// which watchdog requests become lines, "/dev/input/event0" a FIFO the test
// writes key events into, and the reboot tools and the kill script are small
// scripts that record their runs. The screens are recorded by a stand-in of
// the UI facade defined below, so that what the user would see (texts,
// failure codes, every second of the countdown) is checked exactly.
#include "upgrader/failure.h"

#include "basicui/basicUI.h"
#include "files.h"
#include "isolation.h"
#include "libipc/ipc.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kPrivateIpc | testsupport::kCaptureSyslog));

namespace
{

// Appends one line to "<root>/records/ui.log"; one write, so lines of the
// countdown thread and of forked processes never mix.
void record_ui(const std::string &line)
{
    const char *root = getenv("UPGRADER_ROOT");
    if (root == nullptr)
        return;
    std::string path = std::string(root) + "/records/ui.log";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::string text = line + "\n";
    ssize_t n = write(fd, text.data(), text.size());
    (void)n;
    close(fd);
}

// While set, a thread that comes to the screen stays there for good: the
// way to stop the countdown thread, which never returns by itself.
std::atomic<bool> g_park{false};
std::atomic<bool> g_parked{false};

void park_if_asked()
{
    if (!g_park)
        return;
    g_parked = true;
    for (;;)
        pause();
}

} // namespace

// The facade as the failure screens use it, recording instead of drawing.
CBasicUI::CBasicUI() {}
CBasicUI::~CBasicUI() {}
int CBasicUI::ShowUpgradingFailedInfoWithID(const char *message, int id)
{
    park_if_asked();
    record_ui("failed " + std::string(message) + ":" + std::to_string(id));
    return 0;
}
int CBasicUI::ShowUpgradingAutop2FailedInfoWithID(int code, int seconds)
{
    park_if_asked();
    record_ui("autop " + std::to_string(code) + " " + std::to_string(seconds));
    return 0;
}
void CBasicUI::DispNoticeInfo(const char *text)
{
    park_if_asked();
    record_ui("notice " + std::string(text));
}

namespace
{

using testsupport::put;
using testsupport::slurp;

constexpr int kWaitMs = 60000;

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

void sleep_ms(int ms)
{
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

// Bounded polling: true as soon as pred holds, false after timeout_ms.
bool wait_until(const std::function<bool()> &pred, int timeout_ms = kWaitMs)
{
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        if (pred())
            return true;
        sleep_ms(10);
    }
    return pred();
}

void put_script(const std::string &path, const std::string &body)
{
    put(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
}

// Messages since the last call as "<level>:<message>".
std::vector<std::string> logged()
{
    std::vector<std::string> out;
    for (const testsupport::LogLine &l : testsupport::syslog_capture().take()) {
        size_t colon = l.text.find(": ");
        out.push_back(std::to_string(l.level()) + ":" +
                      (colon == std::string::npos ? l.text : l.text.substr(colon + 2)));
    }
    return out;
}

bool contains(const std::vector<std::string> &lines, const std::string &line)
{
    for (const std::string &l : lines)
        if (l == line)
            return true;
    return false;
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

class Failure : public ::testing::Test
{
  protected:
    void SetUp() override { populate(root.path()); }

    // The telephone's side of the root: devices and recording tools.
    void populate(const std::string &dir)
    {
        base = dir;
        for (const char *d : {"/dev", "/dev/input", "/tmp", "/bin", "/app", "/app/scripts",
                              "/records", "/var", "/var/ipc"})
            mkdir(at(d).c_str(), 0755);
        put(at("/dev/misc0"), "");
        ASSERT_EQ(mkfifo(at("/dev/input/event0").c_str(), 0600), 0) << strerror(errno);
        put_script(at("/tmp/reboot"), "echo tmp-reboot >> \"$UPGRADER_ROOT/records/reboot.log\"\n"
                                      "exit \"$(cat \"$UPGRADER_ROOT/records/reboot.status\" "
                                      "2>/dev/null || echo 0)\"\n");
        put_script(at("/bin/reboot"),
                   "echo path-reboot >> \"$UPGRADER_ROOT/records/reboot.log\"\n");
        put_script(
            at("/app/scripts/killapps.sh"),
            "echo killapps >> \"$UPGRADER_ROOT/records/killapps.log\"\n"
            "exit \"$(cat \"$UPGRADER_ROOT/records/killapps.status\" 2>/dev/null || echo 0)\"\n");
        const char *path = getenv("PATH");
        setenv("PATH", (at("/bin") + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(), 1);
        logged();
    }
    std::string at(const std::string &path) const { return base + path; }
    std::vector<std::string> record(const std::string &name) const
    {
        return lines_of(slurp(at("/records/" + name)));
    }
    size_t reboots() const { return record("reboot.log").size(); }

    testsupport::ScopedRoot root;
    std::string base;
};

// ---------------------------------------------------------------- system_ex

using SystemEx = Failure;

TEST_F(SystemEx, ExitCodeComesBackAtOnceWithoutRetry)
{
    std::string runs = at("/records/runs");
    EXPECT_EQ(system_ex(("echo run >> " + runs + "; exit 2").c_str(), 10, 3), 2);
    EXPECT_EQ(lines_of(slurp(runs)).size(), 1u);
    EXPECT_EQ(system_ex("exit 0", 10, 3), 0);
    EXPECT_EQ(system_ex("exit 255", 1, 0), 255);
    EXPECT_EQ(system_ex("/nonexistent/tool", 10, 3), 127);
    // No limit: waits for the command however long it takes.
    EXPECT_EQ(system_ex("sleep 0.2; exit 4", 0, 3), 4);
    for (const std::string &l : logged())
        EXPECT_EQ(l.find("retry"), std::string::npos) << l;
}

TEST_F(SystemEx, HangingCommandIsKilledAndRetriedThenFails)
{
    std::string runs = at("/records/runs");
    // exec: the killed process is the one that hangs, nothing is left behind.
    std::string command = "echo run >> " + runs + "; exec sleep 1000";
    EXPECT_EQ(system_ex(command.c_str(), 1, 2), -1);
    EXPECT_EQ(lines_of(slurp(runs)).size(), 3u);
    std::vector<std::string> logs = logged();
    ASSERT_EQ(logs.size(), 3u);
    EXPECT_EQ(logs[0], "4:system_ex:" + command + " retry -1 times...");
    EXPECT_EQ(logs[1], "4:system_ex:" + command + " retry 0 times...");
    EXPECT_EQ(logs[2], "4:system_ex:" + command + " retry 1 times...");
    // Every child was reaped: none is left, not even a zombie.
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(SystemEx, NegativeRetriesRunOnce)
{
    std::string runs = at("/records/runs");
    EXPECT_EQ(system_ex(("echo run >> " + runs + "; exec sleep 1000").c_str(), 1, -5), -1);
    EXPECT_EQ(lines_of(slurp(runs)).size(), 1u);
}

TEST_F(SystemEx, SignalDeathAndNullCommandFail)
{
    EXPECT_EQ(system_ex("kill -KILL $$", 10, 3), -1);
    EXPECT_EQ(system_ex("kill -TERM $$", 10, 3), -1);
    EXPECT_EQ(system_ex(nullptr, 10, 3), -1);
    // Not a time-out: run once only.
    std::string runs = at("/records/runs");
    EXPECT_EQ(system_ex(("echo run >> " + runs + "; kill -KILL $$").c_str(), 10, 3), -1);
    EXPECT_EQ(lines_of(slurp(runs)).size(), 1u);
}

void on_signal(int) {}

TEST_F(SystemEx, SignalStateIsTheCallersBeforeAfterAndInTheCommand)
{
    struct sigaction mine;
    memset(&mine, 0, sizeof(mine));
    mine.sa_handler = on_signal;
    sigemptyset(&mine.sa_mask);
    ASSERT_EQ(sigaction(SIGINT, &mine, nullptr), 0);
    ASSERT_EQ(sigaction(SIGQUIT, &mine, nullptr), 0);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    ASSERT_EQ(sigprocmask(SIG_SETMASK, &blocked, nullptr), 0);

#ifndef __mips__
    // The command sees SIGINT and SIGQUIT not ignored: the caller's handler
    // becomes the default across exec. (The shell sets its children's mask
    // itself, so the mask cannot be seen from the command. Under the
    // emulator the command is a host process that inherits the emulator's
    // signal state, not ours, so this part is for native runs.)
    std::string status = at("/records/status");
    EXPECT_EQ(system_ex(("grep '^SigIgn' /proc/self/status > " + status).c_str(), 10, 0), 0);
    std::vector<std::string> ignored = lines_of(slurp(status));
    ASSERT_EQ(ignored.size(), 1u);
    unsigned long long bits = strtoull(ignored[0].substr(7).c_str(), nullptr, 16);
    EXPECT_EQ(bits & (1ull << (SIGINT - 1)), 0u) << ignored[0];
    EXPECT_EQ(bits & (1ull << (SIGQUIT - 1)), 0u) << ignored[0];
#endif
    EXPECT_EQ(system_ex("exec sleep 1000", 1, 0), -1); // the time-out path restores too

    struct sigaction now;
    ASSERT_EQ(sigaction(SIGINT, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, on_signal);
    ASSERT_EQ(sigaction(SIGQUIT, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, on_signal);
    sigset_t mask;
    ASSERT_EQ(sigprocmask(SIG_SETMASK, nullptr, &mask), 0);
    EXPECT_EQ(sigismember(&mask, SIGUSR1), 1);
    EXPECT_EQ(sigismember(&mask, SIGCHLD), 0);
}

// ------------------------------------------------------- watchdog, reboot

using Watchdog = Failure;

TEST_F(Watchdog, RequestsBecomeLinesOnTheMiscImage)
{
    EXPECT_EQ(CloseWatchDog(0), 0);
    EXPECT_EQ(CloseWatchDog(1), 0);
    EXPECT_EQ(upgrader_set_watchdog(1), 0);
    EXPECT_EQ(slurp(at("/dev/misc0")),
              "MISC_IOCS_WATCHDOG 0\nMISC_IOCS_WATCHDOG 1\nMISC_IOCS_WATCHDOG 1\n");
    EXPECT_EQ(logged(),
              (std::vector<std::string>{"3:upgrader_set_watchdog", "3:upgrader_set_watchdog,ok"}));
}

TEST_F(Watchdog, MissingOrRefusingDeviceFails)
{
    unlink(at("/dev/misc0").c_str());
    EXPECT_EQ(CloseWatchDog(0), -1);
    EXPECT_EQ(upgrader_set_watchdog(0), -1);
    EXPECT_EQ(logged(),
              (std::vector<std::string>{"3:/dev/misc0 open failed\n", "3:upgrader_set_watchdog",
                                        "3:open misc ioctl device failed."}));
    // A device that knows no such request.
    ASSERT_EQ(symlink("/dev/null", at("/dev/misc0").c_str()), 0);
    EXPECT_EQ(CloseWatchDog(0), -1);
    EXPECT_EQ(upgrader_set_watchdog(0), -1);
    EXPECT_EQ(logged(),
              (std::vector<std::string>{"3:/dev/misc0 ctrl failed!\n", "3:upgrader_set_watchdog",
                                        "3:IOCTL MISC_IOCS_WATCHDOG failed."}));
}

using Reboot = Failure;

TEST_F(Reboot, SelectorChoosesTheCopyInTmpOrTheToolOnPath)
{
    EXPECT_EQ(do_reboot(0), 0);
    EXPECT_EQ(do_reboot(-1), 0);
    EXPECT_EQ(do_reboot(1), 0);
    EXPECT_EQ(record("reboot.log"),
              (std::vector<std::string>{"tmp-reboot", "path-reboot", "path-reboot"}));
    put(at("/records/reboot.status"), "3");
    EXPECT_EQ(do_reboot(0), 3);
}

TEST(RebootRoot, CopyInTmpIsFoundUnderARootTheShellWouldSplit)
{
    testsupport::TempDir dir;
    std::string base = dir.path() + "/it's a root; $(x)";
    ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
    mkdir((base + "/tmp").c_str(), 0755);
    put_script(base + "/tmp/reboot", "touch \"$(dirname \"$0\")/ran\"\n");
    setenv("UPGRADER_ROOT", base.c_str(), 1);
    EXPECT_EQ(do_reboot(0), 0);
    EXPECT_EQ(access((base + "/tmp/ran").c_str(), F_OK), 0);
    unsetenv("UPGRADER_ROOT");
}

using Killapps = Failure;

TEST_F(Killapps, StatesTwoAndMinusThreeSkipTheScript)
{
    EXPECT_EQ(upgrader_killapps(2), 0);
    EXPECT_EQ(upgrader_killapps(-3), 0);
    EXPECT_TRUE(record("killapps.log").empty());
    for (int state : {0, 1, -1, 3})
        EXPECT_EQ(upgrader_killapps(state), 0) << state;
    EXPECT_EQ(record("killapps.log").size(), 4u);
    EXPECT_TRUE(logged().empty());
}

TEST_F(Killapps, FailingOrMissingScriptFails)
{
    put(at("/records/killapps.status"), "1");
    EXPECT_EQ(upgrader_killapps(0), -1);
    EXPECT_EQ(record("killapps.log").size(), 1u);
    unlink(at("/app/scripts/killapps.sh").c_str());
    EXPECT_EQ(upgrader_killapps(1), -1);
    EXPECT_EQ(logged(), (std::vector<std::string>{"3:killapps failed!\n", "3:killapps failed!\n"}));
}

// ------------------------------------------------------------ failure screen

TEST(FailedInfoText, ByStatusExceptTheHardwareMinimum)
{
    EXPECT_STREQ(failed_info_text(-199, -199), "Load Rom Failed!");
    EXPECT_STREQ(failed_info_text(-198, -198), "Get shm Failed!");
    EXPECT_STREQ(failed_info_text(-193, -80), "Rom check Failed!");
    EXPECT_STREQ(failed_info_text(-192, -192), "Killapps Failed!");
    EXPECT_STREQ(failed_info_text(-191, -5), "Burn Flash Failed!");
    for (int status : {-190, -188, -187, -1, 1})
        EXPECT_STREQ(failed_info_text(status, status), "Upgrade Failed!") << status;
    EXPECT_STREQ(failed_info_text(-193, -74), "Upgrade Failed!");
    EXPECT_STREQ(failed_info_text(-199, -74), "Upgrade Failed!");
    for (int status : {-199, -198, -193, -192, -191, -190})
        EXPECT_LT(strlen(failed_info_text(status, 0)), 20u); // fits the screen's buffer
}

// A listener on an IPC identity, reading like a receiving process.
class IpcListener
{
  public:
    explicit IpcListener(int id)
    {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = std::string(getenv("UPGRADER_ROOT")) + "/var/ipc/" + std::to_string(id);
        snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0)
            << strerror(errno);
        EXPECT_EQ(listen(fd_, 16), 0);
    }
    ~IpcListener() { close(fd_); }
    // The header of the next message: msg, sender, param1, param2.
    bool receive(int32_t header[5], int timeout_ms)
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1)
            return false;
        int c = accept(fd_, nullptr, nullptr);
        if (c < 0)
            return false;
        std::string bytes;
        char buf[4096];
        ssize_t n;
        while ((n = read(c, buf, sizeof(buf))) > 0)
            bytes.append(buf, static_cast<size_t>(n));
        close(c);
        if (bytes.size() < 20)
            return false;
        memcpy(header, bytes.data(), 20);
        return true;
    }
    bool idle()
    {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, 0) == 0;
    }

  private:
    int fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

// A process that never returns by itself, in a process group of its own so
// that the commands it started go with it.
class Child
{
  public:
    template <typename Body> explicit Child(Body body)
    {
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            body();
            _exit(0);
        }
        if (pid_ > 0)
            setpgid(pid_, pid_);
    }
    ~Child() { stop(); }
    bool valid() const { return pid_ > 0; }
    // Its exit status, or -1 while it runs or when it was killed.
    bool exited(int *code)
    {
        int status = 0;
        if (pid_ <= 0 || waitpid(pid_, &status, WNOHANG) != pid_)
            return false;
        pid_ = -1;
        *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return true;
    }
    void stop()
    {
        if (pid_ <= 0)
            return;
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
};

class FailureScreen : public Failure
{
  protected:
    void SetUp() override
    {
        Failure::SetUp();
        setenv("UPGRADER_PAUSE_SCALE", "0", 1);
        events = open(at("/dev/input/event0").c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(events, 0);
    }
    void TearDown() override { close(events); }
    void press(const std::string &bytes)
    {
        ASSERT_EQ(write(events, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    int events = -1;
};

TEST_F(FailureScreen, StatusZeroReturnsWithoutScreenOrMessage)
{
    IpcListener listener(3);
    ipc_register(6);
    CBasicUI ui;
    disp_failed_info(&ui, 0, 0, -193);
    EXPECT_TRUE(listener.idle());
    EXPECT_TRUE(record("ui.log").empty());
    EXPECT_TRUE(logged().empty());
}

TEST_F(FailureScreen, RebootsOnEveryPressOfTheRebootKeyOnly)
{
    IpcListener listener(3);
    Child child([] {
        ipc_register(6);
        CBasicUI ui;
        disp_failed_info(&ui, -193, 0, -80);
    });
    ASSERT_TRUE(child.valid());

    int32_t header[5] = {};
    ASSERT_TRUE(listener.receive(header, kWaitMs));
    EXPECT_EQ(header[1], 3); // message
    EXPECT_EQ(header[2], 6); // sender
    EXPECT_EQ(header[3], 0);
    EXPECT_EQ(header[4], 0);
    EXPECT_TRUE(testsupport::syslog_capture().wait_for("Rom check Failed!", kWaitMs));
    EXPECT_TRUE(contains(logged(), "3:Rom check Failed!"));

    // Release, auto-repeat and other keys do nothing; events are read in
    // order, so by the time the press below reboots, these have been seen.
    press(key_event(35, 0));
    press(key_event(35, 2));
    press(key_event(34, 1));
    press(key_event(3, 1));
    std::string reboot = key_event(35, 1);
    press(reboot.substr(0, 8)); // an event may come in pieces
    sleep_ms(50);
    press(reboot.substr(8));
    ASSERT_TRUE(wait_until([&] { return slurp(at("/dev/misc0")) == "MISC_IOCS_WATCHDOG 1\n"; }));
    EXPECT_EQ(record("reboot.log"), (std::vector<std::string>{"tmp-reboot"}));

    // A reboot that did not happen is asked for again on the next press.
    press(reboot);
    ASSERT_TRUE(wait_until([&] { return record("reboot.log").size() == 2; }));
    ASSERT_TRUE(wait_until([&] { return lines_of(slurp(at("/dev/misc0"))).size() == 2; }));
    EXPECT_EQ(record("ui.log"),
              (std::vector<std::string>{"failed Rom check Failed!:-80", "notice Rebooting...",
                                        "notice Rebooting..."}));
    child.stop();
}

TEST_F(FailureScreen, HardwareMinimumShowsUpgradeFailedAndBareRebootWhenNoCopy)
{
    Child child([] {
        ipc_register(6);
        CBasicUI ui;
        disp_failed_info(&ui, -193, -1, -74);
    });
    ASSERT_TRUE(child.valid());
    ASSERT_TRUE(wait_until([&] { return record("ui.log").size() == 1; }));
    press(key_event(35, 1));
    ASSERT_TRUE(wait_until([&] { return reboots() == 1; }));
    EXPECT_EQ(record("reboot.log"), (std::vector<std::string>{"path-reboot"}));
    EXPECT_EQ(record("ui.log").front(), "failed Upgrade Failed!:-74");
    child.stop();
}

TEST_F(FailureScreen, NoInputDeviceEndsTheProcess)
{
    unlink(at("/dev/input/event0").c_str());
    Child child([] {
        ipc_register(6);
        CBasicUI ui;
        disp_failed_info(&ui, -191, 0, -5);
    });
    ASSERT_TRUE(child.valid());
    int code = 0;
    ASSERT_TRUE(wait_until([&] { return child.exited(&code); }));
    EXPECT_EQ(code, 255);
    EXPECT_EQ(record("ui.log"), (std::vector<std::string>{"failed Burn Flash Failed!:-5"}));
    EXPECT_EQ(reboots(), 0u);
}

// --------------------------------------------------------------- countdown

TEST_F(FailureScreen, CountdownShowsSixtyToOneThenRebootsEverySecondAfter)
{
    CBasicUI ui;
    autop_timer_arg arg{-191, &ui};
    ASSERT_EQ(pthread_create(&tid_kpad, nullptr, autop_reboot_timer, &arg), 0);
    bool rebooted = wait_until([&] { return reboots() >= 3; });
    g_park = true;
    ASSERT_TRUE(wait_until([] { return g_parked.load(); }));
    ASSERT_TRUE(rebooted);

    // The countdown always reboots with the tool on PATH.
    for (const std::string &r : record("reboot.log"))
        EXPECT_EQ(r, "path-reboot");
    std::vector<std::string> shown = record("ui.log");
    ASSERT_GE(shown.size(), 63u);
    for (int i = 0; i < 60; ++i)
        EXPECT_EQ(shown[static_cast<size_t>(i)], "autop -191 " + std::to_string(60 - i));
    EXPECT_EQ(shown[60], "notice Rebooting...");
    // After the count: the screen stays at 0 and the reboot is asked for
    // again after every further second.
    for (size_t i = 61; i < shown.size(); ++i)
        EXPECT_EQ(shown[i], i % 2 == 1 ? "autop -191 0" : "notice Rebooting...") << i;
    std::vector<std::string> misc = lines_of(slurp(at("/dev/misc0")));
    ASSERT_GE(misc.size(), 2u);
    for (const std::string &m : misc)
        EXPECT_EQ(m, "MISC_IOCS_WATCHDOG 1");
}

} // namespace
