#include "upgrader/failure.h"

#include "basicui/basicUI.h"
#include "libipc/ipc.h"
#include "libupgrader/libupgrader.h"
#include "log/rl_log.h"
#include "platform/platform.h"
#include "platform/unique_fd.h"
#include "upgrader/requests.h"
#include "upgrader/rompack.h"

#include <errno.h>
#include <stdint.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <utility>

pthread_t tid_kpad;

namespace
{

// How often a running command is looked at. Short, so that the common
// command that ends at once costs milliseconds, not a whole second.
const long kPollNs = 10L * 1000 * 1000;

// Size of an input event as the telephone's kernel writes it: a 32-bit
// timeval (8 bytes), then type, code (16 bits each) and value (32 bits).
const size_t kEventSize = 16;
const size_t kEventCodeOffset = 10;
const size_t kEventValueOffset = 12;

// Real pause of the key reader when the device has nothing for it; the
// device is not a plain pause of the upgrade, so it is not scaled (a scale
// of 0 would make the reader spin).
const long kKeyRetryNs = 100L * 1000 * 1000;

// The auto-provision countdown, and how long a failure screen that cannot
// read its key waits before the telephone reboots by itself.
const unsigned int kAutopCountdownSeconds = 60;

// Set once the user has pressed the reboot key: from then on "Rebooting..."
// stays on the screen and the reboot is the key's, so the countdown thread
// neither draws nor asks for the reboot again.
std::atomic<bool> g_rebooting{false};
// Held while the countdown draws or "Rebooting..." is drawn, so that a
// countdown frame checked before the key came cannot land after the notice.
std::mutex g_screen;
// system_ex ignores SIGINT and SIGQUIT for the whole process while its
// command runs and puts the old actions back afterwards: a second thread
// inside it at the same time would save the ignoring as the old action and
// leave the signals ignored for good.
std::mutex g_system_ex;

[[noreturn]] void sleep_for_ever()
{
    for (;;)
        pause();
}

void real_sleep_ns(long ns)
{
    timespec left;
    left.tv_sec = ns / 1000000000L;
    left.tv_nsec = ns % 1000000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

long long monotonic_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// The signal dispositions system_ex changes while its command runs.
struct SavedSignals {
    struct sigaction intr;
    struct sigaction quit;
    sigset_t mask;
};

int restore_signals(const SavedSignals &saved)
{
    int ret = 0;
    if (sigaction(SIGINT, &saved.intr, nullptr) != 0)
        ret = -1;
    if (sigaction(SIGQUIT, &saved.quit, nullptr) != 0)
        ret = -1;
    if (pthread_sigmask(SIG_SETMASK, &saved.mask, nullptr) != 0)
        ret = -1;
    return ret;
}

// Like system(): the parent must not be stopped by the terminal's signals
// meant for the command, and must be the one to reap it.
int ignore_signals(SavedSignals *saved)
{
    struct sigaction ignore;
    memset(&ignore, 0, sizeof(ignore));
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(SIGINT, &ignore, &saved->intr) != 0)
        return -1;
    if (sigaction(SIGQUIT, &ignore, &saved->quit) != 0) {
        sigaction(SIGINT, &saved->intr, nullptr);
        return -1;
    }
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    if (pthread_sigmask(SIG_BLOCK, &chld, &saved->mask) != 0) {
        sigaction(SIGINT, &saved->intr, nullptr);
        sigaction(SIGQUIT, &saved->quit, nullptr);
        return -1;
    }
    return 0;
}

void reap(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// One run of the command. Sets *timed_out when the limit ended it.
int run_once(const char *command, int limit, const SavedSignals &saved, int counter,
             bool *timed_out)
{
    *timed_out = false;
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        restore_signals(saved);
        execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
        _exit(127);
    }

    int status = 0;
    if (limit <= 0) {
        // No limit: nothing to count, so wait in the kernel rather than spin.
        for (;;) {
            pid_t r = waitpid(pid, &status, 0);
            if (r > 0)
                return status;
            if (errno != EINTR)
                return -1;
        }
    }

    // The limit is real time, whatever the pause scale: it guards against a
    // command that hangs, and a hang is not faster in a simulation.
    const long long deadline = monotonic_ns() + static_cast<long long>(limit) * 1000000000LL;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r > 0)
            return status;
        if (r < 0 && errno != EINTR)
            return -1;
        long long left = deadline - monotonic_ns();
        if (left <= 0)
            break;
        real_sleep_ns(left < kPollNs ? static_cast<long>(left) : kPollNs);
    }

    rl_log_warn("%s:%s retry %d times...", "system_ex", command, counter);
    if (kill(pid, SIGKILL) == 0)
        reap(pid);
    *timed_out = true;
    return -1;
}

// Opens the misc control device and issues the watchdog request on it,
// logging a failure with the caller's own texts. 0 or -1.
int watchdog_request(unsigned int value, const char *open_failed, const char *request_failed)
{
    UniqueFd fd(platform_open(MISC_DEVICE, O_RDWR | O_CLOEXEC));
    if (!fd.valid()) {
        rl_log_err("%s", open_failed);
        return -1;
    }
    if (platform_misc_set(fd.get(), MISC_IOCS_WATCHDOG, "MISC_IOCS_WATCHDOG",
                          static_cast<int>(value)) < 0) {
        rl_log_err("%s", request_failed);
        return -1;
    }
    return 0;
}

// Without the keypad nobody can ask for the reboot, so the telephone must
// reboot by itself: after the countdown's length when no countdown runs
// (the failure stays on the screen until then), else when the countdown
// ends it. Never returns.
[[noreturn]] void reboot_without_keypad(CBasicUI *ui, int selector, bool countdown_runs)
{
    int err = errno;
    perror("failed to open \n");
    rl_log_err("%s: cannot open: %s; the telephone reboots without the reboot key\n", INPUT_DEVICE,
               strerror(err));
    if (countdown_runs)
        sleep_for_ever();
    for (;;) {
        platform_pause(kAutopCountdownSeconds);
        upgrader_reboot(ui, selector);
    }
}

} // namespace

int system_ex(const char *command, int limit, int retries)
{
    if (command == nullptr)
        return -1;
    if (retries < 0)
        retries = 0;

    std::lock_guard<std::mutex> lock(g_system_ex);
    SavedSignals saved;
    if (ignore_signals(&saved) != 0)
        return -1;

    int status = -1;
    int counter = -1;
    for (;;) {
        bool timed_out = false;
        status = run_once(command, limit, saved, counter, &timed_out);
        ++counter;
        if (!timed_out || counter >= retries)
            break;
    }

    if (restore_signals(saved) != 0)
        return -1;
    if ((status & 0x7F) != 0)
        return -1;
    return (status & 0xFF00) >> 8;
}

int CloseWatchDog(unsigned int value)
{
    return watchdog_request(value, "/dev/misc0 open failed\n", "/dev/misc0 ctrl failed!\n");
}

int upgrader_set_watchdog(int value)
{
    rl_log_err("upgrader_set_watchdog");
    if (watchdog_request(static_cast<unsigned int>(value), "open misc ioctl device failed.",
                         "IOCTL MISC_IOCS_WATCHDOG failed.") != 0)
        return -1;
    rl_log_err("upgrader_set_watchdog,ok");
    return 0;
}

int do_reboot(int selector)
{
    // The copy made at start-up, unless something took its place since.
    if (selector != 0 || !UniqueFd(platform_open_private("/tmp/reboot")).valid())
        return system_ex("reboot", 10, 3);
    char command[4096];
    if (platform_shell_path("/tmp/reboot", command, sizeof(command)) != 0) {
        rl_log_err("%s: reboot path too long for the root\n", "do_reboot");
        return -1;
    }
    return system_ex(command, 10, 3);
}

void upgrader_reboot(CBasicUI *ui, int selector)
{
    if (ui != nullptr) {
        std::lock_guard<std::mutex> lock(g_screen);
        ui->DispNoticeInfo("Rebooting...");
    }
    int r = do_reboot(selector);
    if (r != 0)
        rl_log_err("reboot request failed (%d); the watchdog takes over\n", r);
    platform_pause(10);
    (void)CloseWatchDog(1); // logs its own failure; nothing else is left to try
}

int upgrader_killapps(int state)
{
    if (state == LIBUPD_STATE_NO_KILL || state == ~LIBUPD_STATE_NO_KILL)
        return 0;
    // The script runs while the watchdog is closed, so one that hangs would
    // hang the telephone with nothing left to reset it. Stopping the
    // applications takes seconds; two minutes leaves them ample time to save
    // their state and still lets the user see the failure and reboot.
    const unsigned int limit_ms = platform_wait_limit_ms(120);
    char command[4096];
    int status = -1;
    if (platform_shell_path(KILLAPPS_SCRIPT, command, sizeof(command)) == 0)
        status = system_ex(command, static_cast<int>((limit_ms + 999) / 1000), 0);
    if (status != 0) {
        rl_log_err("killapps failed!\n");
        return -1;
    }
    return 0;
}

const char *failed_info_text(int status, int failure_id)
{
    // A ROM below the hardware's minimum is refused by the check, but the
    // user is not to be told the pack itself is broken.
    if (failure_id == UPD_MSG_HW_MIN_VERSION_ERR)
        return "Upgrade Failed!";
    switch (status) {
    case UPGRADER_LOAD_FAILED:
        return "Load Rom Failed!";
    case UPGRADER_NO_SHM:
        return "Get shm Failed!";
    case UPGRADER_CHECK_FAILED:
        return "Rom check Failed!";
    case UPGRADER_KILLAPPS_FAILED:
        return "Killapps Failed!";
    case UPGRADER_BURN_FAILED:
        return "Burn Flash Failed!";
    default:
        return "Upgrade Failed!";
    }
}

void disp_failed_info(CBasicUI *ui, int status, int selector, int failure_id)
{
    if (status == 0)
        return;
    (void)ipc_broadcast(3, 0, 0, nullptr, 0); // news only: whoever listens hears it

    char text[20];
    memset(text, 0, sizeof(text));
    strncpy(text, failed_info_text(status, failure_id), sizeof(text) - 1);
    rl_log_err("%s", text);
    if (ui != nullptr)
        ui->ShowUpgradingFailedInfoWithID(text, failure_id);
    wait_reboot_key(ui, selector, false);
}

void wait_reboot_key(CBasicUI *ui, int selector, bool countdown_runs)
{
    UniqueFd fd(platform_open(INPUT_DEVICE, O_RDWR | O_CLOEXEC));
    if (!fd.valid())
        reboot_without_keypad(ui, selector, countdown_runs);
    unsigned char event[kEventSize];
    size_t have = 0;
    for (;;) {
        ssize_t n = read(fd.get(), event + have, kEventSize - have);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            // The device went away under us: come back to it rather than
            // leave the telephone without its reboot key.
            real_sleep_ns(kKeyRetryNs);
            UniqueFd again(platform_open(INPUT_DEVICE, O_RDWR | O_CLOEXEC));
            if (again.valid()) {
                fd = std::move(again);
                have = 0;
            }
            continue;
        }
        if (n == 0) {
            // Nothing more for now (a plain file at its end); wait for more
            // without spinning, keeping the position and any partial event.
            real_sleep_ns(kKeyRetryNs);
            continue;
        }
        have += static_cast<size_t>(n);
        if (have < kEventSize)
            continue;
        have = 0;

        uint16_t code;
        int32_t value;
        memcpy(&code, event + kEventCodeOffset, sizeof(code));
        memcpy(&value, event + kEventValueOffset, sizeof(value));
        if (value == 1 && code == REBOOT_KEY_CODE) {
            g_rebooting = true;
            upgrader_reboot(ui, selector);
        }
    }
}

void *autop_reboot_timer(void *arg)
{
    const autop_timer_arg *timer = static_cast<const autop_timer_arg *>(arg);
    CBasicUI *ui = timer != nullptr ? timer->ui : nullptr;
    int failure_id = timer != nullptr ? timer->failure_id : 0;

    int counter = kAutopCountdownSeconds;
    for (;;) {
        do {
            // Once the count is over, every further round shows 0: the
            // reboot is overdue, and a negative count would mean nothing.
            if (counter < 0)
                counter = 0;
            {
                std::lock_guard<std::mutex> lock(g_screen);
                if (g_rebooting)
                    break;
                if (ui != nullptr)
                    ui->ShowUpgradingAutop2FailedInfoWithID(failure_id, counter);
            }
            platform_pause(1);
            --counter;
        } while (counter > 0);
        if (g_rebooting)
            sleep_for_ever();
        upgrader_reboot(ui, 1);
    }
    return nullptr;
}
