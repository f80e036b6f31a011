#include "upgrader/mtdlayout.h"

#include "log/rl_log.h"
#include "platform/file_mapping.h"
#include "platform/platform.h"
#include "platform/unique_fd.h"
#include "upgrader/flash.h"
#include "upgrader/inifile.h"
#include "upgrader/requests.h"
#include "upgrader/shellcmd.h"
#include "upgrader/staging.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

int kernel_support = 0;
int env_mtd_write = 0;
int config_mtd_write = 0;

namespace
{

const int kPartitionCount = 10;
const int kCopyAttempts = 5;
const int kUmountAttempts = 5;
const int kConfValueSize = 100;

// Room for a resolved (and possibly quoted) path; a root that does not fit
// is refused by platform_path rather than cut.
const size_t kPathMax = 1024;

const char kUmount[] = "/tmp/bin/umount";

// Frees the layout text on every return path.
struct FreeText {
    void operator()(char *p) const { free(p); }
};

// Set once both partitions were saved whole: a second move in the same run
// must not overwrite the copies with what the moved windows now show.
bool g_copies_made = false;

// Opens /dev/mtdN read-write under the platform root; name gets
// "/dev/mtdN", as the telephone has it, for the caller's messages.
UniqueFd open_mtd_device(int n, char (&name)[32])
{
    snprintf(name, sizeof(name), "/dev/mtd%d", n);
    return UniqueFd(platform_open(name, O_RDWR | O_CLOEXEC));
}

bool valid_window(uint32_t start, uint32_t end)
{
    return start >= MTD_FLASH_BASE && end <= MTD_FLASH_END && flash_whole_blocks(start, end);
}

// Reads the ten windows of the new layout from the text of the layout file;
// false at the first key that is missing, malformed or outside the flash.
bool read_layout(const char *text, mtd_layout_entry (&layout)[kPartitionCount])
{
    for (int n = 0; n < kPartitionCount; ++n) {
        char key[8];
        snprintf(key, sizeof(key), "mtd%d", n);
        char str_buf[kConfValueSize] = {0};
        int found = read_profile_text("mtd", key, str_buf, sizeof(str_buf), nullptr, text);
        rl_log_debug("str_buf:%s\n", str_buf);
        unsigned int start = 0;
        unsigned int end = 0;
        if (found != 1 || sscanf(str_buf, "%x,%x", &start, &end) != 2 || !valid_window(start, end))
            return false;
        memcpy(layout[n].name, key, sizeof(key));
        layout[n].start_addr = start;
        layout[n].end_addr = end;
    }
    return true;
}

// Copies one MTD block device to a file in /tmp, until the copy holds the
// whole partition. 0, or -1 after every attempt failed.
int copy_block(const char *device, const char *file, long long expected)
{
    for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
        long long size = 0;
        // A partial copy is as bad as none: written back, it would leave the
        // rest of the block erased.
        if (cat_copy(device, file, &size) == 0 && size == expected)
            return 0;
        platform_pause(1);
    }
    rl_log_err("%s could not be copied whole to %s\n", device, file);
    return -1;
}

} // namespace

int kernel_support_mtd_repair_check(void)
{
    rl_log_debug("kernel_support_mtd_repair_check \n");
    for (int n = 0; n < 2; ++n) {
        char name[32];
        UniqueFd fd = open_mtd_device(n, name);
        if (!fd.valid()) {
            rl_log_debug("%s open failed!\n", name);
            return 0;
        }
        if (ioctl(fd.get(), MTD_REPAIR_QUERY, nullptr) == 0)
            return 1;
        rl_log_debug("%s ioctl failed!\n", name);
    }
    return 0;
}

int mtd_layout_moves(const mtd_layout_plan *plan, int n)
{
    const mtd_layout_entry &next = plan->next[n];
    const mtd_layout_entry &prev = plan->prev[n];
    return next.start_addr != prev.start_addr || next.end_addr != prev.end_addr;
}

int mtd_config_check(const env_info *table, const Partition_Header *partitions, const int *flags,
                     int count, mtd_layout_plan *plan)
{
    // Loaded once for the ten keys; a file that cannot be read, or a text
    // buffer that cannot be had, is a layout without keys.
    char conf[kPathMax];
    std::unique_ptr<char, FreeText> text;
    if (platform_path(MTD_CONF_PATH, conf, sizeof(conf)) != 0)
        rl_log_err("%s: path too long under the root\n", MTD_CONF_PATH);
    else
        text.reset(static_cast<char *>(malloc(INI_TEXT_MAX + 1)));
    if (text != nullptr && !load_ini_file(conf, text.get(), nullptr))
        text.reset();
    return mtd_config_check_text(text.get(), table, partitions, flags, count, plan);
}

int mtd_config_check_text(const char *text, const env_info *table,
                          const Partition_Header *partitions, const int *flags, int count,
                          mtd_layout_plan *plan)
{
    if (plan == nullptr)
        return -1;
    memset(plan, 0, sizeof(*plan));
    plan->stage_mtd = -1;
    if (!read_layout(text, plan->next))
        return -1;

    for (int n = 0; n < kPartitionCount; ++n) {
        const mtd_layout_entry &next = plan->next[n];
        unsigned int index = 0;
        if (table == nullptr || get_mtd_info(table, next.name, &index) != 0) {
            rl_log_info("%s isnot exist!\n", next.name);
            return -1;
        }
        plan->prev[n] = next;
        plan->prev[n].start_addr = table[index].start_addr;
        plan->prev[n].end_addr = table[index].end_addr;
        rl_log_info("%s start_addr:%x end_addr:%x\n", next.name, plan->prev[n].start_addr,
                    plan->prev[n].end_addr);
        for (int m = 0; m < n; ++m) {
            // Two partitions on the same blocks: writing one destroys the other.
            if (next.start_addr < plan->next[m].end_addr &&
                plan->next[m].start_addr < next.end_addr) {
                rl_log_err("%s and %s overlap in the new layout\n", plan->next[m].name, next.name);
                return -1;
            }
        }
    }

    int moves = 0;
    for (int n = 0; n < kPartitionCount; ++n) {
        const mtd_layout_entry &next = plan->next[n];
        if (!mtd_layout_moves(plan, n))
            continue;
        if (kernel_support == 0) {
            // The old layout stays; the burn then keeps to what fits it.
            rl_log_info("kernel_support is UNAVAILABLE\n");
            upgrader_kernel_only = 1;
            return 0;
        }
        // The saved block is written back whole: a smaller window would
        // lose its end.
        const uint32_t saved = n == 3 ? MTDBLOCK3_SIZE : n == 4 ? MTDBLOCK4_SIZE : 0;
        if (next.end_addr - next.start_addr < saved) {
            rl_log_err("%s: new window of %x bytes cannot hold its %x\n", next.name,
                       next.end_addr - next.start_addr, saved);
            return -1;
        }
        ++moves;
    }
    // The check measured the payloads against the windows of today; the
    // burn writes into the new ones.
    for (int i = 0; moves > 0 && partitions != nullptr && flags != nullptr && i < count; ++i) {
        const Partition_Header &part = partitions[i];
        if (flags[i] != 1 || part.partition_id >= uint32_t(kPartitionCount))
            continue;
        const mtd_layout_entry &next = plan->next[part.partition_id];
        if (next.end_addr - next.start_addr < part.partition_size) {
            rl_log_err("%s: new window of %x bytes cannot hold the pack's %x\n", next.name,
                       next.end_addr - next.start_addr, part.partition_size);
            return -1;
        }
    }
    plan->moves = moves;
    // Refused now, while the applications run and nothing is copied or
    // moved, rather than risk the blocks when the write-back begins.
    return mtd_staging_choose(partitions, flags, count, plan);
}

int mtd_config_deal(const mtd_layout_plan *plan, env_info *table)
{
    if (plan == nullptr || table == nullptr)
        return -1;
    int moved[kPartitionCount];
    int count = 0;
    for (int n = 0; n < kPartitionCount && plan->moves > 0; ++n) {
        if (!mtd_layout_moves(plan, n))
            continue;
        if (mtd_diffrent_deal(n, &plan->next[n]) < 0) {
            // Half a layout matches neither the boot environment nor the
            // pack: the partitions go back where the boot loader has them.
            while (count > 0) {
                const mtd_layout_entry &back = plan->prev[moved[--count]];
                if (mtd_addr_repair(moved[count], back.start_addr - MTD_FLASH_BASE,
                                    back.end_addr - back.start_addr) != 0)
                    rl_log_err("%s could not be moved back\n", back.name);
                else
                    rl_log_info("%s moved back\n", back.name);
            }
            env_mtd_write = config_mtd_write = 0;
            return -1;
        }
        moved[count++] = n;
    }
    for (int i = 0; i < count; ++i) {
        unsigned int index = 0;
        if (get_mtd_info(table, plan->next[moved[i]].name, &index) == 0) {
            table[index].start_addr = plan->next[moved[i]].start_addr;
            table[index].end_addr = plan->next[moved[i]].end_addr;
        }
    }
    return 0;
}

int mtd_layout_commit(const mtd_layout_plan *plan)
{
    if (plan == nullptr)
        return -1;
    static const int kPlain[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    static const int kStaged[] = {0, 1, 2, 5, 6, 7, 8, 9, 3, 4};
    for (int n : plan->stage_mtd >= 0 ? kStaged : kPlain) {
        if (!mtd_layout_moves(plan, n))
            continue;
        const mtd_layout_entry &next = plan->next[n];
        char value[32];
        snprintf(value, sizeof value, "%x,%x", unsigned(next.start_addr), unsigned(next.end_addr));
        if (do_set_env(next.name, value) != 0) {
            rl_log_err("%s not recorded in the boot environment\n", next.name);
            return -1;
        }
    }
    return 0;
}

int mtd_diffrent_deal(int n, const mtd_layout_entry *entry)
{
    if (entry == nullptr)
        return -1;
    rl_log_debug("mtd_diffrent_deal %s\n", entry->name);
    bool env_block = strcmp(entry->name, "mtd3") == 0;
    bool config_block = strcmp(entry->name, "mtd4") == 0;
    if (env_block || config_block) {
        // Once moved, the window shows other flash: without whole copies the
        // environment and configuration would be lost for good.
        if (cat_env_config_block() != 0) {
            rl_log_err("%s not moved: its content could not be saved\n", entry->name);
            return -1;
        }
        if (env_block)
            env_mtd_write = 1;
        else
            config_mtd_write = 1;
    }
    return mtd_addr_repair(n, entry->start_addr - MTD_FLASH_BASE,
                           entry->end_addr - entry->start_addr);
}

int mtd_addr_repair(int n, uint32_t offset, uint32_t size)
{
    if (n < 0 || n >= kPartitionCount)
        return -1;
    char name[32];
    UniqueFd fd = open_mtd_device(n, name);
    if (!fd.valid()) {
        rl_log_debug("%s open failed!\n", name);
        return -1;
    }
    rl_log_debug("offset:%x size:%x\n", offset, size);
    mtd_repair_info info;
    info.offset = offset;
    info.size = size;
    if (ioctl(fd.get(), MTD_ADDR_REPAIR, &info) != 0) {
        rl_log_debug("%s ioctl failed!\n", name);
        return -1;
    }
    return 0;
}

int cat_env_config_block(void)
{
    rl_log_debug("cat_env_config_block\n");
    if (g_copies_made)
        return 0;
    if (copy_block("/dev/mtdblock/3", MTDBLOCK3_SAVE, MTDBLOCK3_SIZE) != 0)
        return -1;
    if (copy_block("/dev/mtdblock/4", MTDBLOCK4_SAVE, MTDBLOCK4_SIZE) != 0)
        return -1;
    g_copies_made = true;
    return 0;
}

int umount_config_mtd(void)
{
    char umount[kPathMax];
    char etc[kPathMax];
    char config[kPathMax];
    if (platform_shell_path(kUmount, umount, sizeof(umount)) != 0 ||
        platform_shell_path("/etc/", etc, sizeof(etc)) != 0 ||
        platform_shell_path("/config/", config, sizeof(config)) != 0) {
        rl_log_err("umount: path too long under the root\n");
        return -1;
    }
    if (!platform_own_tool(kUmount)) {
        rl_log_err("%s is not the copy this program made; not run\n", kUmount);
        return -1;
    }
    char cmd[4 * kPathMax];
    int len = snprintf(cmd, sizeof(cmd), "%s %s; %s %s", umount, etc, umount, config);
    if (len < 0 || static_cast<size_t>(len) >= sizeof(cmd)) {
        rl_log_err("umount: command too long\n");
        return -1;
    }
    for (int attempt = 0; attempt < kUmountAttempts; ++attempt) {
        int status = system(cmd);
        rl_log_info("shellcmd:%s\n", cmd);
        if (system_return_check(status) == 0)
            return 0;
        platform_pause(1);
    }
    return -1;
}

int mtd_write(int n, int size, const char *path, uint32_t window)
{
    if (n < 0 || n >= kPartitionCount || path == nullptr || size <= 0 ||
        static_cast<uint32_t>(size) % FLASH_BLOCK_SIZE != 0 || window < uint32_t(size) ||
        window % FLASH_BLOCK_SIZE != 0) {
        rl_log_err("mtd_write: refused partition %d size %x\n", n, static_cast<unsigned>(size));
        return -1;
    }
    // Only the image this run saved: one swapped in by another process
    // would be written over the configuration.
    UniqueFd file(platform_open_private(path));
    if (!file.valid()) {
        rl_log_debug("%s File open failed!\n", path);
        return -1;
    }
    struct stat st;
    if (fstat(file.get(), &st) != 0) {
        rl_log_debug("%s File open failed!\n", path);
        return -1;
    }
    rl_log_debug("file size:%x \n", static_cast<unsigned>(st.st_size));
    FileMapping image;
    if (!image.map(file.get(), static_cast<size_t>(st.st_size), MAP_SHARED)) {
        rl_log_debug("memory map failed!\n");
        return -1;
    }
    if (st.st_size != static_cast<off_t>(size)) {
        rl_log_err("%s size error\n", path);
        return -1;
    }

    char name[32];
    UniqueFd device = open_mtd_device(n, name);
    if (!device.valid()) {
        rl_log_err("%s open failed!\n", name);
        return -1;
    }
    if (flash_check_geometry(device.get(), window, name) != 0)
        return -1;
    // The whole window: a larger one must not keep old bytes behind the image.
    const uint32_t erase_blocks = window / FLASH_BLOCK_SIZE;
    FlashWindow target(device.get(), image.data(), static_cast<uint64_t>(size), erase_blocks);
    if (!target.valid())
        return -1;
    for (uint32_t i = 0; i < erase_blocks; ++i) {
        if (flash_window_prepare(&target, i) < 0) {
            rl_log_err("%s erase of block %u failed\n", name, static_cast<unsigned>(i));
            return -1;
        }
    }
    const uint32_t blocks = static_cast<uint32_t>(size) / FLASH_BLOCK_SIZE;
    for (uint32_t i = 0; i < blocks; ++i) {
        rl_log_debug("mtd_write :%x \n", static_cast<unsigned>(n));
        if (flash_window_write(&target, i) != 0) {
            rl_log_err("%s write of block %u failed\n", name, static_cast<unsigned>(i));
            return -1;
        }
    }
    // The configuration must come back exactly as it was saved; a block the
    // flash did not take would otherwise only show after the reboot. Blocks
    // that already held it were compared a moment ago.
    if (flash_window_verify(&target) != 0) {
        rl_log_err("%s differs from %s after writing\n", name, path);
        return -1;
    }
    return 0;
}

void mtdlayout_reset(void)
{
    g_copies_made = false;
}
