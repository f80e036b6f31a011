// The telephone's firmware upgrade program: start-up common to every run,
// then shared-memory mode (no argument), file mode (a ROM file) or direct
// mode (a ROM file and one more argument).
#include "basicui/basicUI.h"
#include "libipc/ipc.h"
#include "log/rl_log.h"
#include "platform/platform.h"
#include "semctrl/semctrl.h"
#include "upgrader/bincopy.h"
#include "upgrader/failure.h"
#include "upgrader/sequence.h"

#include <signal.h>
#include <string.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

namespace
{

const key_t kSaveFileKey = 0xB012;

// Only async-signal-safe calls: the signal may come while this thread is
// inside the logger or the allocator. The status tells the caller that the
// upgrade did not end, whatever it had reached: 0 would read as success.
void signal_handler(int signo)
{
    int tid = int(syscall(SYS_gettid));
    switch (signo) {
    case SIGINT:
        rl_log_signal_safe(LOG_ERR, "Catch a signal SIGINT, thread id %d.", tid);
        break;
    case SIGQUIT:
        rl_log_signal_safe(LOG_ERR, "Catch a signal SIGQUIT, thread id %d.", tid);
        break;
    case SIGILL:
        rl_log_signal_safe(LOG_ERR, "Catch a signal SIGILL, thread id %d.", tid);
        break;
    case SIGABRT:
        rl_log_signal_safe(LOG_ERR, "Catch a signal SIGABRT, thread id %d.", tid);
        break;
    case SIGBUS:
        rl_log_signal_safe(LOG_ERR, "Catch a signal SIGBUS, thread id %d.", tid);
        break;
    case SIGSEGV:
        rl_log_signal_safe(LOG_ERR, "Catch a signal SIGSEGV, thread id %d.", tid);
        break;
    default:
        rl_log_signal_safe(LOG_ERR, "Catch a signal %d, thread id %d.", signo, tid);
        break;
    }
    _exit(128 + signo);
}

// Later commands run the copies in /tmp: the originals may be on a file
// system the upgrade rewrites. Each run makes its own copy, so that no tool
// planted there is ever run; another upgrader started at the same time may
// already be running the copies, so they are replaced, never rewritten.
int copy_bins(void)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (bincopy("/bin", "/tmp/bin") == 0)
            return 0;
        platform_pause(1);
    }
    return -1;
}

int end_run(CBasicUI *ui, int status)
{
    (void)ipc_unregister(); // the process ends either way
    rl_log_deinit();
    delete ui;
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    CBasicUI *ui = new CBasicUI();
    rl_log_init(UPGRADER_NAME, 7);
    rl_log_info("\n\nInit %s, Version %s, Build at %s %s\n", UPGRADER_NAME, UPGRADER_VERSION,
                "Jun 23 2021", "05:56:01");

    const int signals[] = {SIGINT, SIGSEGV, SIGILL, SIGHUP, SIGQUIT, SIGABRT, SIGBUS};
    for (int signo : signals)
        signal(signo, signal_handler);

    static env_info table[ENV_TABLE_SIZE];
    memset(table, 0, sizeof(table));
    (void)ipc_register(6); // unregistered, the program can still send its news

    int reboot_selector = bincopy("/sbin/reboot", "/tmp/reboot");
    if (copy_bins() != 0) {
        rl_log_err("copy_bins failed!\n");
        return end_run(ui, UPGRADER_COPY_BINS_FAILED);
    }
    if (argc >= 4) {
        rl_log_info("\nusage: %s  or  %s rom_file\n", argv[0], argv[0]);
        return end_run(ui, UPGRADER_USAGE);
    }

    int cfg_semid = binary_sem_create_key(kSaveFileKey);
    if (cfg_semid < 0)
        rl_log_err("SEM_KEY_SAVE_FILE get failed! Is save mode?\n");
    rl_log_debug("cfg_semid:%x\n", unsigned(cfg_semid));

    static Rom_Header header;
    static Partition_Header partitions[MAX_PARTITIONS];
    static int flags[MAX_PARTITIONS];
    upgrader_run run = {argc,    argv,       ui,   reboot_selector, cfg_semid, table,
                        &header, partitions, flags};
    int status = argc == 3 ? upgrader_direct(&run) : upgrader_sequence(&run);
    delete run.ui;
    return status;
}
