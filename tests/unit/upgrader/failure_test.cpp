// What the integration tests cannot see of the failure screens and their
// commands. Watchdog requests become lines of "/dev/misc0"; the reboot
// tools and a stand-in of the UI facade record under "<root>/records".
#include "upgrader/failure.h"

#include "basicui/basicUI.h"
#include "files.h"
#include "isolation.h"
#include "lcd_root.h"
#include "libipc/ipc.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <algorithm>
#include <atomic>
#include <thread>

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kPrivateIpc | testsupport::kCaptureSyslog));

namespace
{

using testsupport::key_event, testsupport::put, testsupport::slurp;

// While set, a thread that comes to the screen stays there for good: the
// way to stop the countdown thread, which never returns by itself.
std::atomic<bool> g_park{false}, g_parked{false};

class Failure : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        for (const char *d : {"/dev", "/dev/input", "/tmp", "/bin", "/records"})
            mkdir(at(d).c_str(), 0755);
        put(at("/dev/misc0"), "");
        ASSERT_EQ(mkfifo(at("/dev/input/event0").c_str(), 0600), 0);
        recorder(at("/tmp/reboot"), "tmp-reboot", "reboot");
        recorder(at("/bin/reboot"), "path-reboot", "reboot");
        setenv("PATH", (at("/bin") + ":" + getenv("PATH")).c_str(), 1);
        setenv("UPGRADER_PAUSE_SCALE", "0", 1);
        events = open(at("/dev/input/event0").c_str(), O_RDWR | O_CLOEXEC);
    }
    void TearDown() override
    {
        close(events);
        if (child > 0)
            kill(-child, SIGKILL), waitpid(child, nullptr, 0);
    }
    // The failure screen, in a process group of its own (for its commands).
    void show(int status, int id)
    {
        if ((child = fork()) == 0) {
            setpgid(0, 0);
            ASSERT_EQ(ipc_register(6), 0);
            CBasicUI ui;
            disp_failed_info(&ui, status, 0, id);
            _exit(0);
        }
        setpgid(child, child);
    }
    // A tool that appends word to "<root>/records/<log>".
    static void recorder(const std::string &path, const std::string &word, const std::string &log)
    {
        put(path, "#!/bin/sh\necho " + word + " >> \"$UPGRADER_ROOT/records/" + log + "\"\n");
        chmod(path.c_str(), 0755);
    }
    void press(const std::string &bytes)
    {
        EXPECT_GT(write(events, bytes.data(), bytes.size()), 0);
    }
    template <typename Pred> void wait_until(Pred done)
    {
        ASSERT_TRUE(testsupport::wait_until(done, 60000));
    }
    static int lines(const std::string &text)
    {
        return int(std::count(text.begin(), text.end(), '\n'));
    }
    std::string at(const std::string &path) const { return root / path; }
    std::string records(const std::string &name) const { return slurp(at("/records/" + name)); }

    testsupport::ScopedRoot root;
    int events = -1;
    pid_t child = -1;
};

// The caller's handlers and mask come back unchanged, and the command
// itself is not left ignoring SIGINT (a row kills its shell with it).
TEST_F(Failure, SystemExRetriesOnlyATimeOut)
{
    struct sigaction mine = {}, seen[2] = {};
    mine.sa_handler = [](int) {};
    sigaction(SIGINT, &mine, nullptr), sigaction(SIGQUIT, &mine, nullptr);
    sigset_t blocked, now;
    sigemptyset(&blocked), sigaddset(&blocked, SIGUSR1);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    for (const testsupport::Row &c : testsupport::rows(TEST_DATA_DIR "/system_ex.rows")) {
        unlink(at("/records/runs").c_str());
        std::string command = "echo run >> " + at("/records/runs") + "; " + c[0];
        EXPECT_EQ(system_ex(command.c_str(), std::stoi(c[1]), std::stoi(c[2])), std::stoi(c[3]))
            << c[0];
        EXPECT_EQ(lines(records("runs")), std::stoi(c[4])) << c[0];
    }
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1); // not even a zombie left
    sigaction(SIGINT, nullptr, &seen[0]), sigaction(SIGQUIT, nullptr, &seen[1]);
    sigprocmask(SIG_UNBLOCK, &blocked, &now);
    EXPECT_TRUE(seen[0].sa_handler == mine.sa_handler && seen[1].sa_handler == mine.sa_handler);
    EXPECT_TRUE(sigismember(&now, SIGUSR1));
    signal(SIGINT, SIG_DFL), signal(SIGQUIT, SIG_DFL);
}

// Commands of two threads at once leave SIGINT as it was: one thread must
// not save what the other has just changed.
TEST_F(Failure, SystemExOfTwoThreadsPutsTheSignalsBack)
{
    struct sigaction mine = {}, seen = {};
    mine.sa_handler = [](int) {};
    sigaction(SIGINT, &mine, nullptr);
    auto commands = [] {
        for (int i = 0; i < 20; ++i)
            EXPECT_EQ(system_ex("exit 0", 10, 0), 0);
    };
    std::thread a(commands), b(commands);
    a.join(), b.join();
    sigaction(SIGINT, nullptr, &seen);
    EXPECT_TRUE(seen.sa_handler == mine.sa_handler);
    signal(SIGINT, SIG_DFL);
}

// The copy of reboot in /tmp and the kill script are found under a root
// the shell would split.
TEST_F(Failure, RebootAndKillScriptUnderAnyRoot)
{
    testsupport::TempDir dir;
    std::string base = dir.path() + "/it's a root; $(x)";
    for (const char *d : {"", "/tmp", "/records", "/app", "/app/scripts"})
        mkdir((base + d).c_str(), 0755);
    recorder(base + "/tmp/reboot", "reboot", "run");
    recorder(base + "/app/scripts/killapps.sh", "killapps", "run");
    setenv("UPGRADER_ROOT", base.c_str(), 1);
    EXPECT_EQ(do_reboot(0) + upgrader_killapps(1), 0);
    EXPECT_EQ(slurp(base + "/records/run"), "reboot\nkillapps\n");
    // A copy anyone may have rewritten is not run: the one on PATH is.
    chmod((base + "/tmp/reboot").c_str(), 0777);
    setenv("UPGRADER_ROOT", root.path().c_str(), 1);
    rename((base + "/tmp/reboot").c_str(), at("/tmp/reboot").c_str());
    EXPECT_EQ(do_reboot(0), 0);
    EXPECT_EQ(records("reboot"), "path-reboot\n");
}

// Release, auto-repeat and other keys do nothing; every press of the
// reboot key sets the watchdog going and reboots, even in pieces.
TEST_F(Failure, ScreenRebootsOnEveryPressOfTheRebootKeyOnly)
{
    show(-193, -80);
    std::string reboot = key_event(35, 1);
    press(key_event(35, 0) + key_event(35, 2) + key_event(34, 1) + reboot.substr(0, 8));
    usleep(50000); // so that the event comes in two reads
    press(reboot.substr(8) + reboot + key_event(3, 1));
    // Events are read one by one, each once the one before was handled.
    wait_until([&] {
        int unread = 1;
        return ioctl(events, FIONREAD, &unread) == 0 && unread == 0;
    });
    EXPECT_EQ(records("reboot"), "tmp-reboot\ntmp-reboot\n");
    EXPECT_EQ(slurp(at("/dev/misc0")), "MISC_IOCS_WATCHDOG 1\nMISC_IOCS_WATCHDOG 1\n");
}

// After the count the screen stays at 0 and the reboot, with the tool on
// PATH, is asked for again after every further second.
TEST_F(Failure, CountdownRebootsEverySecondAfterTheCount)
{
    CBasicUI ui;
    autop_timer_arg arg{-191, &ui};
    ASSERT_EQ(pthread_create(&tid_kpad, nullptr, autop_reboot_timer, &arg), 0);
    wait_until([&] { return lines(records("reboot")) >= 3; });
    g_park = true;
    wait_until([] { return g_parked.load(); });
    EXPECT_EQ(records("reboot").find("tmp"), std::string::npos);
    std::istringstream shown(records("ui"));
    int i = 0;
    for (std::string line; std::getline(shown, line); ++i)
        EXPECT_EQ(line, i < 60 ? std::to_string(60 - i) : i % 2 ? "0" : "Rebooting...") << i;
    EXPECT_GE(i, 63);
}

// Appends in one write, so lines of threads and processes never mix.
void shown(const std::string &line)
{
    while (g_park)
        g_parked = true, pause();
    std::ofstream(std::string(getenv("UPGRADER_ROOT")) + "/records/ui", std::ios::app)
        << line + "\n";
}

} // namespace

// The facade as the failure screens use it, recording instead of drawing.
CBasicUI::CBasicUI() {}
CBasicUI::~CBasicUI() {}
int CBasicUI::ShowUpgradingFailedInfoWithID(const char *, int)
{
    return 0;
}
int CBasicUI::ShowUpgradingAutop2FailedInfoWithID(int, int seconds)
{
    return shown(std::to_string(seconds)), 0;
}
void CBasicUI::DispNoticeInfo(const char *text)
{
    shown(text);
}
