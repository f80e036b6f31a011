// Running shell commands under a time limit, stopping the applications, the
// watchdog, rebooting, and the failure screens that wait for the reboot.
#ifndef UPGRADER_FAILURE_H
#define UPGRADER_FAILURE_H

#include <pthread.h>

class CBasicUI;

#define KILLAPPS_SCRIPT "/app/scripts/killapps.sh"
#define MISC_DEVICE "/dev/misc0"
#define INPUT_DEVICE "/dev/input/event0"
#define REBOOT_KEY_CODE 35

// The statuses the program ends with; the failure screen's text is chosen
// by them.
enum upgrader_status {
    UPGRADER_OK = 0,
    UPGRADER_USAGE = -200,             // more arguments than any mode takes
    UPGRADER_LOAD_FAILED = -199,       // the loading process says it failed
    UPGRADER_NO_SHM = -198,            // no shared upgrade memory to attach
    UPGRADER_ROM_OPEN_FAILED = -196,   // the ROM file cannot be opened
    UPGRADER_ROM_MAP_FAILED = -195,    // nor mapped
    UPGRADER_DIRECT_FAILED = -194,     // any failure of the direct mode
    UPGRADER_CHECK_FAILED = -193,      // the ROM pack check refused the pack
    UPGRADER_KILLAPPS_FAILED = -192,   // the applications could not be stopped
    UPGRADER_BURN_FAILED = -191,       // a partition could not be written
    UPGRADER_WATCHDOG_FAILED = -190,   // the watchdog could not be closed
    UPGRADER_COPY_BINS_FAILED = -189,  // /bin could not be copied to /tmp
    UPGRADER_MTD_CONFIG_FAILED = -188, // the new partition layout could not be made
    UPGRADER_UMOUNT_FAILED = -187,     // /etc and /config could not be unmounted
};

// Thread handle of the auto-provision reboot countdown.
extern pthread_t tid_kpad;

// Runs command with /bin/sh, giving each attempt at most limit seconds
// (SIGKILL at the limit; limit <= 0 waits for ever); an attempt that timed
// out is retried up to retries times. The exit code (0..255), or -1.
// Calls of several threads run one after the other.
[[nodiscard]] int system_ex(const char *command, int limit, int retries);

// MISC_IOCS_WATCHDOG with value on "/dev/misc0". 0 or -1.
[[nodiscard]] int CloseWatchDog(unsigned int value);
[[nodiscard]] int upgrader_set_watchdog(int value);

// selector 0: "/tmp/reboot", otherwise "reboot"; result of system_ex.
[[nodiscard]] int do_reboot(int selector);

// Asks for the reboot (selector as for do_reboot), first showing
// "Rebooting..." when there is a ui; then waits 10 seconds for it and hands
// the telephone to the watchdog in case it did not come.
void upgrader_reboot(CBasicUI *ui, int selector);

// Runs the kill script unless state is LIBUPD_STATE_NO_KILL or its
// complement. A script still running after platform_wait_limit_ms(120)
// (in whole seconds) is killed. 0, or -1 when it failed or was killed.
[[nodiscard]] int upgrader_killapps(int state);

// The failure screen's text for status and failure id (20-byte buffer).
const char *failed_info_text(int status, int failure_id);

// Status 0 returns at once. Otherwise shows the failure screen and waits for
// the reboot key for ever (without a keypad, reboots after 60 seconds).
void disp_failed_info(CBasicUI *ui, int status, int selector, int failure_id);

// Argument of autop_reboot_timer.
typedef struct autop_timer_arg {
    int failure_id;
    CBasicUI *ui;
} autop_timer_arg;

// Counts 60 seconds down on the screen, then asks for the reboot every
// further second. Once the reboot key was pressed it draws and asks for
// nothing more. Never returns.
void *autop_reboot_timer(void *arg);

// Reads input events from "/dev/input/event0" for ever and reboots on every
// press of the reboot key, which also stops autop_reboot_timer. Never
// returns. When the device cannot be opened (logged), the telephone reboots
// without it: the countdown's reboot when countdown_runs, else a reboot
// after 60 seconds (scaled pauses), repeated while the process lives.
[[noreturn]] void wait_reboot_key(CBasicUI *ui, int selector, bool countdown_runs);

#endif
