#include "upgrader/sequence.h"

#include "basicui/basicUI.h"
#include "libipc/ipc.h"
#include "libupgrader/libupgrader.h"
#include "log/rl_log.h"
#include "platform/file_mapping.h"
#include "platform/platform.h"
#include "platform/unique_fd.h"
#include "semctrl/semctrl.h"
#include "upgrader/autop.h"
#include "upgrader/failure.h"
#include "upgrader/flash.h"
#include "upgrader/mtdlayout.h"
#include "upgrader/staging.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const key_t kProcessKey = 0xC002;
const key_t kToolProcessKey = 0xC003;
const key_t kMemoryKey = 0xA130;
const key_t kBurnKey = 0xC004;

// How long the run waits for the loading process to let go of the shared
// upgrade memory. The watchdog is closed by then, so a loader that never lets
// go must end in a failure screen that can reboot the telephone, not in a
// telephone that waits for ever; a loader's ordinary work takes seconds.
const unsigned int kMemoryLockSeconds = 300;

// The broadcasts of the sequence; they carry no data.
const int kMsgFailureScreen = 3; // a failure screen is about to be shown
const int kMsgUpgrade = 4;       // news of the upgrade, one of these:
const int kNewsCheckFailed = 1;
const int kNewsBegins = 2;
const int kNewsKillFailed = 3;
const int kNewsBurnFailed = 4;

void broadcast(int msg, int param1)
{
    (void)ipc_broadcast(msg, param1, 0, nullptr, 0); // news only: whoever listens hears it
}

// Runs "<prefix> <path under the root>" through system_ex. The
// commands are fixed texts; only the root in front of their paths varies.
[[nodiscard]] int system_ex_path(const char *prefix, const char *path, int limit, int retries)
{
    char quoted[PATH_MAX + 64];
    if (platform_shell_path(path, quoted, sizeof(quoted)) != 0)
        return -1;
    char command[PATH_MAX + 128];
    snprintf(command, sizeof(command), "%s %s", prefix, quoted);
    return system_ex(command, limit, retries);
}

// The read-only view of a ROM file, unmapped and closed when it goes away.
struct RomFile {
    UniqueFd fd;
    FileMapping map;
    size_t len = 0;
};

// Opens and maps the ROM file named on the command line. 0,
// UPGRADER_ROM_OPEN_FAILED or UPGRADER_ROM_MAP_FAILED, logged; on a failure
// the logger and the IPC registration are closed, as the program then ends
// at once.
int map_rom_file(const char *name, RomFile *rom)
{
    rom->fd.reset(platform_open(name, O_RDONLY));
    if (rom->fd.get() < 0) {
        rl_log_err("%s File open failed!\n", name);
        rl_log_deinit();
        (void)ipc_unregister(); // the run ends either way
        return UPGRADER_ROM_OPEN_FAILED;
    }
    struct stat st;
    bool mapped = false;
    if (fstat(rom->fd.get(), &st) == 0 && st.st_size > 0) {
        rom->len = size_t(st.st_size);
        mapped = rom->map.map(rom->fd.get(), rom->len, MAP_PRIVATE);
    }
    if (!mapped) {
        rl_log_err("memory map failed!\n");
        rl_log_deinit();
        (void)ipc_unregister(); // the run ends either way
        rom->fd.reset();
        return UPGRADER_ROM_MAP_FAILED;
    }
    rl_log_debug("start:%x \n", rl_log_addr(rom->map.data()));
    return 0;
}

// Which lock an identity takes, with its messages.
struct Identity {
    key_t key;
    const char *name;
};

// The installed and the relaunched identities; argv[0] is compared as the
// telephone sees it (the root in front taken away).
const Identity *identity_of(const char *argv0)
{
    static const Identity installed = {kProcessKey, "upgrader_process"};
    static const Identity relaunched = {kToolProcessKey, "upgrader_tool_process"};
    const char *path = platform_unroot(argv0);
    if (path == nullptr)
        return nullptr;
    if (strcmp(path, INSTALLED_PATH) == 0)
        return &installed;
    if (strncmp(path, RELAUNCH_PATH, strlen(RELAUNCH_PATH)) == 0)
        return &relaunched;
    return nullptr;
}

// A one-shot try-lock of key into *semid; -1 when it is taken (the caller
// then ends: another upgrader owns the telephone).
int take_try_lock(key_t key, const char *name, int *semid)
{
    *semid = binary_sem_create_key(key);
    if (*semid < 0)
        rl_log_err("get %s failed!\n", name);
    rl_log_debug("wait lock %s\n", name);
    if (try_lock_binary_sem(*semid) == -1) {
        rl_log_err("lock %s failed\n", name);
        return -1;
    }
    rl_log_debug("locked %s\n", name);
    return 0;
}

// The command that starts the carried upgrader in the background, when
// this run's check extracted one from the pack and this is not already it.
// Anything else at that path (left by an earlier run, planted by another
// process of the telephone) is never started: it would run as root with the
// upgrade in its hands. false when there is nothing to start.
bool carried_upgrader_command(const char *argv0, char *command, size_t size)
{
    char tool[PATH_MAX];
    if (upgrader_tool_extracted != 1 || platform_path(RELAUNCH_PATH, tool, sizeof(tool)) != 0 ||
        strcmp(platform_unroot(argv0), RELAUNCH_PATH) == 0)
        return false;
    // Still the file the check made: not swapped, not rewritable by others.
    if (!UniqueFd(platform_open_private(RELAUNCH_PATH)).valid()) {
        rl_log_err("%s is no longer the extracted upgrader; not started\n", RELAUNCH_PATH);
        return false;
    }
    char quoted[PATH_MAX + 64];
    if (platform_shell_quote(tool, quoted, sizeof(quoted)) != 0)
        return false;
    snprintf(command, size, "%s &", quoted);
    return true;
}

void start_carried_upgrader(const char *command)
{
    if (system(command) == -1)
        rl_log_err("%s failed\n", command);
    rl_log_debug("upgrader_tool_check %s exist\n", RELAUNCH_PATH);
}

// The ways a run that ends early is wound up. Each does its own part and then the
// next one's: the configuration saver's lock is let go, then the shared
// memory, then the outcome is shown.
enum Ending { kReleaseConfigLock, kReleaseSharedMemory, kShowOutcome };

struct Sequence {
    upgrader_run *run = nullptr;
    bool shm = false; // shared-memory mode; else file mode
    int memory_semid = -1;
    void *shm_addr = nullptr;
    int state = LIBUPD_STATE_PLAIN; // the loading process's; file mode has none
    bool cfg_taken = false;         // this run holds the configuration saver's lock
    // The telephone is this run's from the process lock on: it closed the
    // watchdog, and any ending that does not reboot gives both back.
    int process_semid = -1;
    bool process_taken = false;
    bool watchdog_closed = false;
    int burn_semid = -1;
    bool burn_taken = false;
    bool flash_elsewhere = false; // another upgrader holds the burn lock
    bool config_finished = false; // the housekeeping of a finished upgrade is done
    int checked = UPD_MSG_OK;     // the pack check's answer
    int status = UPGRADER_OK;
    int failure_id = 0;
    const uint8_t *image = nullptr;
    size_t image_len = 0;
    RomFile rom;
    bool same_version = false;
    rompack_pending pending{}; // what the check would change, until the pack is accepted
    mtd_layout_plan layout{};
    autop_timer_arg timer_arg{};
};

// What a step returns to let the run go on; any other value is the status
// the run ends with (statuses are never positive).
const int kGoOn = 1;

// The state with its complement taken away: -1, -2 and -3 are treated as
// 0, 1 and 2.
int base_state(int state)
{
    return state < 0 ? ~state : state;
}

// After a failed auto-provisioned upgrade: the countdown on its own thread,
// the reboot key on this one. Never returns.
[[noreturn]] void autop_failure_ending(Sequence *s)
{
    broadcast(kMsgFailureScreen, 0);
    s->timer_arg.failure_id = s->failure_id;
    s->timer_arg.ui = s->run->ui;
    if (pthread_create(&tid_kpad, nullptr, autop_reboot_timer, &s->timer_arg) != 0) {
        // The countdown's reboot matters more than the key: without its
        // thread, it runs here.
        rl_log_err("pthread_create failed\n");
        autop_reboot_timer(&s->timer_arg);
    }
    wait_reboot_key(s->run->ui, s->run->reboot_selector, true);
}

// Shows how the run ended, as the loading process asked for by its state.
// Returns only when nothing failed or the state asks for no screen.
void show_outcome(Sequence *s)
{
    upgrader_run *run = s->run;
    rl_log_debug("upgrader_state:%x\n", unsigned(s->state));
    switch (base_state(s->state)) {
    case LIBUPD_STATE_PLAIN:
    case LIBUPD_STATE_NO_KILL:
        disp_failed_info(run->ui, s->status, run->reboot_selector, s->failure_id);
        break;
    case LIBUPD_STATE_AUTOP:
        if (s->status != UPGRADER_OK)
            autop_failure_ending(s);
        break;
    default:
        break;
    }
}

// A lock taken by try-lock, given back for good.
void give_back(int semid, const char *name)
{
    if (give_back_binary_sem(semid) != 0)
        rl_log_err("%s could not be given back: %s\n", name, strerror(errno));
}

// Only a lock this run took is given back: an unlock of the saver's lock
// while the saver holds it would let a second writer in. It was taken by
// try-lock, so it is given back for good: an unlock would be reverted when
// the process ends, leaving the saver locked out until the next boot.
void release_config_lock(Sequence *s)
{
    if (s->cfg_taken)
        give_back(s->run->cfg_semid, "cfg_semid");
    s->cfg_taken = false;
}

// An ending that does not reboot leaves the telephone as the run found it:
// the burn lock and the process lock free again, and the watchdog on,
// switched on before the process lock is free so that it never undoes the
// closing of the next upgrader. While another upgrader holds the burn lock
// the watchdog is left off: that upgrader may be writing the flash with the
// applications stopped and nobody to feed it.
void give_back_telephone(Sequence *s)
{
    if (s->burn_taken)
        give_back(s->burn_semid, "burn_flash_semid");
    s->burn_taken = false;
    if (s->watchdog_closed && !s->flash_elsewhere && CloseWatchDog(1) != 0)
        rl_log_err("the watchdog could not be switched back on\n");
    s->watchdog_closed = false;
    if (s->process_taken)
        give_back(s->process_semid, "the process lock");
    s->process_taken = false;
}

// Winds the run up from the given ending on. Returns the status main ends
// with, unless a failure screen keeps the process.
int wind_up(Sequence *s, Ending from)
{
    upgrader_run *run = s->run;
    if (from == kReleaseConfigLock)
        release_config_lock(s);
    if (from <= kReleaseSharedMemory && s->shm) {
        if (s->memory_semid >= 0)
            if (unlock_binary_sem(s->memory_semid) != 0)
                rl_log_err("unlock memory_semid failed: %s\n", strerror(errno));
        if (s->status != UPGRADER_OK)
            libupd_delete_share_memory(s->shm_addr);
    }
    show_outcome(s);
    give_back_telephone(s);
    run->ui->Deinit();
    (void)ipc_unregister(); // the run ends either way
    rl_log_deinit();
    return s->status;
}

// Ends the run early with status, and the failure id a screen shows, wound
// up from the given ending on.
int end_through(Sequence *s, Ending from, int status, int failure_id)
{
    s->status = status;
    s->failure_id = failure_id;
    return wind_up(s, from);
}

// Most failures show their status as the failure id too.
int end_through(Sequence *s, Ending from, int status)
{
    return end_through(s, from, status, status);
}

// The configuration saver gets ten seconds to finish; the upgrade goes on
// without its lock after that. Whether the lock was taken. (0 is as good an
// identifier as any: the first set made in a boot gets it.)
bool wait_config_saver(int cfg_semid)
{
    if (cfg_semid < 0)
        return false;
    for (int i = 0; i < 10; ++i) {
        if (try_lock_binary_sem(cfg_semid) == 0)
            return true;
        platform_pause(1);
    }
    return false;
}

// The pack was already installed: show the bar run through and reboot
// without writing anything.
void same_version_short_cut(upgrader_run *run)
{
    for (int percent = 15; percent <= 95; percent += 10) {
        run->ui->SetUpgradingProgressBar(percent);
        platform_pause(1);
    }
    run->ui->SetUpgradingProgressBar(100);
    // The reboot comes whatever the removal did.
    (void)system_ex_path("rm -f", "/config/upgrader_autop", 3, 3);
    upgrader_reboot(nullptr, run->reboot_selector);
}

// --- the steps, in the order they run ----------------------------------------

int start_ui(Sequence *s)
{
    CBasicUI *ui = s->run->ui;
    if (ui->Init() < 0) {
        rl_log_err("BasicUI init failed!\n");
        (void)ipc_unregister(); // the run ends either way
        rl_log_deinit();
        return UPGRADER_OK;
    }
    ui->ShowVersion();
    return kGoOn;
}

// Without its process lock the program ends at once: another upgrader owns
// the telephone, and its watchdog is not this run's to touch.
int take_process_lock(Sequence *s)
{
    const Identity *identity = identity_of(s->run->argv[0]);
    if (identity == nullptr) {
        rl_log_debug("upgrader path error\n");
        return UPGRADER_OK;
    }
    if (take_try_lock(identity->key, identity->name, &s->process_semid) != 0)
        return UPGRADER_OK;
    s->process_taken = true;
    return kGoOn;
}

// Only once the telephone is this run's: nothing waits between the try-lock
// and here.
int close_watchdog(Sequence *s)
{
    int watchdog = -1;
    for (int i = 0; i < 3 && watchdog != 0; ++i)
        watchdog = CloseWatchDog(0);
    if (watchdog != 0)
        return end_through(s, kShowOutcome, UPGRADER_WATCHDOG_FAILED);
    s->watchdog_closed = true;
    return kGoOn;
}

int ask_kernel_support(Sequence *)
{
    kernel_support = kernel_support_mtd_repair_check();
    rl_log_info("kernel_support is :%d \n", kernel_support);
    return kGoOn;
}

// A layout move cut short by a power loss left the environment and
// configuration blocks in the staging area: they go back before the pack
// is read, and before this run copies the blocks for a move of its own.
// This is the first point the telephone is this run's (process lock taken,
// watchdog closed). Blocks that cannot be written back end the run on the
// failure screen; the record stays for the next attempt.
int recover_staged_blocks(Sequence *s)
{
    if (mtd_staging_recover() != 0)
        return end_through(s, kShowOutcome, UPGRADER_BURN_FAILED);
    return kGoOn;
}

// The image in place in the shared upgrade memory, under its lock; the
// loading process may already have given up on it.
int load_shared_image(Sequence *s)
{
    if (!s->shm)
        return kGoOn;
    unsigned int segment_size = 0;
    s->shm_addr = get_share_memory_sized(&segment_size);
    if (s->shm_addr == nullptr)
        return end_through(s, kShowOutcome, UPGRADER_NO_SHM);
    rl_log_debug("mem_addr:0x%x\n", rl_log_addr(s->shm_addr));
    s->memory_semid = binary_sem_create_key(kMemoryKey);
    if (s->memory_semid < 0)
        rl_log_err("get memory_semid failed!\n");
    rl_log_debug("wait lock memory_semid\n");
    // Only a lock that never came ends the run; the memory is the holder's
    // to delete, so nothing is released.
    if (lock_binary_sem_timed(s->memory_semid, platform_wait_limit_ms(kMemoryLockSeconds)) != 0 &&
        errno == EAGAIN) {
        rl_log_err("lock memory_semid failed\n");
        return end_through(s, kShowOutcome, UPGRADER_NO_SHM);
    }
    rl_log_debug("locked memory_semid");
    s->state = libupd_get_state(s->shm_addr);
    if (s->state == ~LIBUPD_STATE_PLAIN || s->state == ~LIBUPD_STATE_AUTOP) {
        rl_log_info("upgrader_state is failed\n");
        return end_through(s, kReleaseSharedMemory, UPGRADER_LOAD_FAILED);
    }
    s->image = static_cast<const uint8_t *>(libupd_get_rom_start_addr(s->shm_addr));
    // The image has no length of its own: the segment bounds it.
    s->image_len = segment_size > 8 ? segment_size - 8 : 0;
    rl_log_debug("rom_addr:%x\n", rl_log_addr(s->image));
    return kGoOn;
}

// Before the watchdog and the process lock: a file that is not there ends
// the run with the telephone as it was, and leaves the next upgrade of this
// boot free to run (the process lock is never given back).
int load_file_image(Sequence *s)
{
    if (s->shm)
        return kGoOn;
    int r = map_rom_file(s->run->argv[1], &s->rom);
    if (r != 0)
        return r;
    s->image = s->rom.map.data();
    s->image_len = s->rom.len;
    return kGoOn;
}

int rompack_check(const uint8_t *image, size_t len, upgrader_run *run)
{
    return upgrader_rompack_check(image, len, run->table, run->header, run->partitions, run->flags);
}

// The check with its changes held back: the pack is not accepted before its
// layout is.
int rompack_check_held(Sequence *s)
{
    upgrader_run *run = s->run;
    rompack_drop_pending(&s->pending);
    return rompack_check_staged(s->image, s->image_len, run->table, run->header, run->partitions,
                                run->flags, &s->pending);
}

// Ends the run on the check's refusal r.
int refuse_pack(Sequence *s, int r)
{
    rompack_drop_pending(&s->pending);
    rl_log_err("rom pack check failed! ID:%d\n", r);
    broadcast(kMsgUpgrade, kNewsCheckFailed);
    platform_pause(3);
    return end_through(s, kReleaseSharedMemory, UPGRADER_CHECK_FAILED, r);
}

// The check's answer: a pack of the installed version goes on to the short
// cut after the applications are stopped; a refusal ends the run.
int judge_check(Sequence *s)
{
    int r = s->checked;
    if (r == UPD_MSG_ROM_VERSION_SAME)
        s->same_version = true;
    else if (r < 0)
        return refuse_pack(s, r);
    return kGoOn;
}

int check_pack(Sequence *s)
{
    s->checked = rompack_check_held(s);
    return judge_check(s);
}

// A pack that carries its own upgrader hands the upgrade over to it in
// shared-memory mode. The check stopped where it extracted that upgrader,
// before the later partitions and the rules of the whole pack; a run that
// goes on itself checks the pack again, now to the end (the upgrader is in
// place, so it is passed over). The carried upgrader owns the telephone
// from its own process lock on and closes the watchdog itself then: this
// run gives both back before it starts it, so that a carried upgrader that
// does not take over leaves the telephone as it was.
int hand_over_to_carried_upgrader(Sequence *s)
{
    char command[PATH_MAX + 80];
    if (s->shm && carried_upgrader_command(s->run->argv[0], command, sizeof(command))) {
        rompack_drop_pending(&s->pending); // the carried upgrader checks for itself
        give_back_telephone(s);
        start_carried_upgrader(command);
        return end_through(s, kReleaseSharedMemory, UPGRADER_OK);
    }
    if (s->checked != UPD_MSG_UPGRADER_TOOL)
        return kGoOn;
    return check_pack(s);
}

// The pack's layout is judged while the applications still run; only an
// accepted pack and layout change the boot environment and /config, and a
// change that cannot be made whole refuses the pack before anything else
// is. The configuration's etc/ goes only with a pack accepted for good.
int check_layout(Sequence *s)
{
    upgrader_run *run = s->run;
    if (mtd_config == 1) {
        rl_log_debug("mtd_config\n");
        if (mtd_config_check(run->table, run->partitions, run->flags,
                             int(run->header->partition_num), &s->layout) < 0) {
            rl_log_debug("mtd_config failed!\n");
            rompack_drop_pending(&s->pending);
            return end_through(s, kReleaseSharedMemory, UPGRADER_MTD_CONFIG_FAILED);
        }
    }
    int applied = rompack_apply_pending(&s->pending);
    if (applied < 0)
        return refuse_pack(s, applied);
    if (s->shm)
        (void)system_ex_path("rm -rf", "/config/etc/", 5, 3); // gone or not, the upgrade goes on
    return kGoOn;
}

int announce_upgrade(Sequence *s)
{
    broadcast(kMsgUpgrade, kNewsBegins);
    platform_pause(3);
    s->cfg_taken = wait_config_saver(s->run->cfg_semid);
    return kGoOn;
}

// Taken before the applications are stopped: a telephone whose flash
// another upgrader is writing keeps its applications, and this run ends
// without holding anything a peer waits for. The peers, told that the
// upgrade begins, hear that the applications are not stopped: the news of a
// kill script that failed is the one that says they stay.
int take_burn_lock(Sequence *s)
{
    if (take_try_lock(kBurnKey, "burn_flash_semid", &s->burn_semid) != 0) {
        s->flash_elsewhere = true;
        broadcast(kMsgUpgrade, kNewsKillFailed);
        return end_through(s, kReleaseConfigLock, UPGRADER_OK);
    }
    s->burn_taken = true;
    return kGoOn;
}

// The short cut of an installed pack comes after the kill script, whatever
// that did; its failure counts only when the short cut's reboot did not
// come.
int stop_applications(Sequence *s)
{
    int killed = upgrader_killapps(s->shm ? s->state : LIBUPD_STATE_PLAIN);
    if (s->same_version)
        same_version_short_cut(s->run);
    if (killed < 0) {
        rl_log_err("killapps failed!\n");
        broadcast(kMsgUpgrade, kNewsKillFailed);
        return end_through(s, kReleaseConfigLock, UPGRADER_KILLAPPS_FAILED);
    }
    return kGoOn;
}

// The configuration's side of a finished upgrade: the provisioning
// housekeeping of shared-memory mode, the auto-provision mark gone, and in
// file mode the configuration's etc/. When the layout moves the
// configuration block, this comes before /config is unmounted for the copy:
// written after, it would land in the bare mount point and be lost at the
// reboot. It runs once; a failure after it still ends as the upgrade state
// asks, countdown included.
void finish_configuration(Sequence *s)
{
    if (s->config_finished)
        return;
    s->config_finished = true;
    if (s->shm) {
        config_autop(s->run->table);
        config_deleteLineKey8(s->run->table);
    }
    // Housekeeping: the upgrade is done, and nothing here may stop its reboot.
    (void)system_ex_path("rm -f", "/config/upgrader_autop", 3, 3);
    if (!s->shm)
        (void)system_ex_path("rm -rf", "/config/etc", 3, 3);
}

// The layout change, once nothing writes the environment or the
// configuration any more: their file systems unmounted, both blocks
// copied, the partitions moved, the copies written back into the moved
// windows, config before env, and then the new windows recorded for the
// next boot.
int move_partitions(Sequence *s)
{
    const mtd_layout_plan &plan = s->layout;
    if (plan.moves == 0)
        return kGoOn;
    const bool keeps_blocks = mtd_layout_moves(&plan, 3) || mtd_layout_moves(&plan, 4);
    if (keeps_blocks)
        finish_configuration(s);
    if (keeps_blocks && umount_config_mtd() < 0) {
        rl_log_debug("config unmount failed!\n");
        return end_through(s, kReleaseConfigLock, UPGRADER_UMOUNT_FAILED);
    }
    // The write-back will erase old places of the blocks: a whole copy goes
    // to flash first, and its record to the boot environment.
    if (plan.stage_mtd >= 0 && (cat_env_config_block() != 0 || mtd_staging_write(&plan) != 0)) {
        rl_log_err("mtd3/mtd4 could not be staged; nothing moved\n");
        return end_through(s, kReleaseConfigLock, UPGRADER_MTD_CONFIG_FAILED);
    }
    if (mtd_config_deal(&plan, s->run->table) < 0) {
        rl_log_debug("mtd_config failed!\n");
        return end_through(s, kReleaseConfigLock, UPGRADER_MTD_CONFIG_FAILED);
    }
    const mtd_layout_entry &env = plan.next[3], &config = plan.next[4];
    if (config_mtd_write == 1 &&
        mtd_write(4, MTDBLOCK4_SIZE, MTDBLOCK4_SAVE, config.end_addr - config.start_addr) < 0) {
        rl_log_debug("config mtd_write failed!\n");
        return end_through(s, kReleaseConfigLock, UPGRADER_BURN_FAILED);
    }
    if (env_mtd_write == 1 &&
        mtd_write(3, MTDBLOCK3_SIZE, MTDBLOCK3_SAVE, env.end_addr - env.start_addr) < 0) {
        rl_log_debug("env mtd_write failed!\n");
        return end_through(s, kReleaseConfigLock, UPGRADER_BURN_FAILED);
    }
    if (mtd_layout_commit(&plan) < 0) {
        rl_log_debug("mtd_config failed!\n");
        return end_through(s, kReleaseConfigLock, UPGRADER_MTD_CONFIG_FAILED);
    }
    // The blocks are whole in their recorded windows: the staged copy is no
    // longer needed, and the burn may write over it. A record left behind
    // only makes the next run find a copy that fails its check.
    if (plan.stage_mtd >= 0 && mtd_staging_clear() != 0)
        rl_log_err("the staging record could not be removed\n");
    return kGoOn;
}

int burn(Sequence *s)
{
    upgrader_run *run = s->run;
    int b = upgrader_burn_flash(s->image, run->table, int(run->header->partition_num),
                                run->partitions, run->flags, run->ui);
    if (b < 0) {
        rl_log_err("burn flash failed!\n");
        broadcast(kMsgUpgrade, kNewsBurnFailed);
        return end_through(s, kReleaseConfigLock, UPGRADER_BURN_FAILED, b);
    }
    return kGoOn;
}

// Shared-memory mode: the reboot, waited for with every lock held.
[[noreturn]] void reboot_after_shared_upgrade(Sequence *s)
{
    upgrader_run *run = s->run;
    finish_configuration(s);
    platform_pause(1);
    upgrader_reboot(nullptr, run->reboot_selector);
    for (;;) {
        platform_pause(5);
        rl_log_err("wait reboot");
    }
}

// File mode: the reboot is asked for, then the run ends by itself.
int reboot_after_file_upgrade(Sequence *s)
{
    upgrader_run *run = s->run;
    finish_configuration(s);
    platform_pause(1);
    upgrader_reboot(nullptr, run->reboot_selector);
    release_config_lock(s);
    run->ui->Deinit();
    (void)ipc_unregister(); // the run ends either way
    rl_log_info("upgrader-1 completed!\n");
    rl_log_deinit();
    return UPGRADER_OK;
}

int reboot_after_upgrade(Sequence *s)
{
    if (s->shm)
        reboot_after_shared_upgrade(s);
    return reboot_after_file_upgrade(s);
}

} // namespace

int upgrader_sequence(upgrader_run *run)
{
    using StepFn = int (*)(Sequence *);
    static const StepFn kSteps[] = {
        start_ui,
        load_file_image,
        take_process_lock,
        close_watchdog,
        ask_kernel_support,
        recover_staged_blocks,
        load_shared_image,
        check_pack,
        hand_over_to_carried_upgrader,
        check_layout,
        announce_upgrade,
        take_burn_lock,
        stop_applications,
        move_partitions,
        burn,
        reboot_after_upgrade,
    };
    Sequence s;
    s.run = run;
    s.shm = run->argc == 1;
    for (StepFn step : kSteps) {
        int r = step(&s);
        if (r != kGoOn)
            return r;
    }
    return s.status;
}

int upgrader_direct(upgrader_run *run)
{
    RomFile rom;
    int r = map_rom_file(run->argv[1], &rom);
    if (r != 0)
        return r;
    const uint8_t *image = rom.map.data();

    const char *failure = nullptr;
    if (run->ui->Init() < 0) {
        failure = "BasicUI init failed!\n";
    } else {
        run->ui->ShowVersion();
        int checked = rompack_check(image, rom.len, run);
        if (checked == UPD_MSG_UPGRADER_TOOL) // nobody takes over here: check the rest too
            checked = rompack_check(image, rom.len, run);
        if (checked < 0 && checked != UPD_MSG_ROM_VERSION_SAME)
            failure = "rom pack check failed!\n";
        else if (upgrader_killapps(LIBUPD_STATE_PLAIN) < 0)
            failure = "killapps failed!\n";
        else if (upgrader_burn_flash(image, run->table, int(run->header->partition_num),
                                     run->partitions, run->flags, run->ui) < 0)
            failure = "burn flash failed!\n";
    }
    if (failure != nullptr) {
        rl_log_err("%s", failure);
        delete run->ui;
        run->ui = nullptr;
        rl_log_deinit();
        (void)ipc_unregister(); // the run ends either way
        return UPGRADER_DIRECT_FAILED;
    }
    run->ui->Deinit();
    rl_log_info("rom upgrader completed!\n");
    delete run->ui;
    run->ui = nullptr;
    platform_pause(2);
    upgrader_reboot(nullptr, run->reboot_selector);
    return UPGRADER_OK;
}
