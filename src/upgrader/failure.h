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

// Thread handle of the auto-provision reboot countdown.
extern pthread_t tid_kpad;

// Runs command with /bin/sh, giving each attempt at most limit seconds
// (SIGKILL at the limit; limit <= 0 waits for ever); an attempt that timed
// out is retried up to retries times. The exit code (0..255), or -1.
int system_ex(const char *command, int limit, int retries);

// MISC_IOCS_WATCHDOG with value on "/dev/misc0". 0 or -1.
int CloseWatchDog(unsigned int value);
int upgrader_set_watchdog(int value);

// selector 0: "/tmp/reboot", otherwise "reboot"; result of system_ex.
int do_reboot(int selector);

// Runs the kill script unless state is 2 or -3. 0 or -1.
int upgrader_killapps(int state);

// The failure screen's text for status and failure id (20-byte buffer).
const char *failed_info_text(int status, int failure_id);

// Status 0 returns at once. Otherwise shows the failure screen and waits for
// the reboot key for ever.
void disp_failed_info(CBasicUI *ui, int status, int selector, int failure_id);

// Argument of autop_reboot_timer.
typedef struct autop_timer_arg {
    int failure_id;
    CBasicUI *ui;
} autop_timer_arg;

// Counts 60 seconds down on the screen, then asks for the reboot every
// further second. Never returns.
void *autop_reboot_timer(void *arg);

// Reads input events from "/dev/input/event0" for ever and reboots on every
// press of the reboot key. Never returns (exit(-1) when the device cannot
// be opened).
void wait_reboot_key(CBasicUI *ui, int selector);

#endif
