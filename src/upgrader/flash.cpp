// Writing the partitions of a ROM pack into their MTD flash partitions.
#include "upgrader/flash.h"

#include "basicui/basicUI.h"
#include "log/rl_log.h"
#include "platform/platform.h"
#include "platform/unique_fd.h"
#include "upgrader/requests.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <memory>

int upgrader_kernel_only = 0;

bool flash_whole_blocks(uint32_t start, uint32_t end)
{
    return end > start && start % FLASH_BLOCK_SIZE == 0 && end % FLASH_BLOCK_SIZE == 0;
}

namespace
{

// The environment entry and device of one MTD partition.
struct MtdNames {
    char entry[16];  // "mtd%d"
    char device[32]; // "/dev/mtd%d", as the telephone names it
};

void mtd_names(unsigned int id, MtdNames *names)
{
    snprintf(names->entry, sizeof(names->entry), "mtd%u", id);
    snprintf(names->device, sizeof(names->device), "/dev/mtd%u", id);
}

// Looks up the partition's address range; logs as the burn does. 0 or -1.
[[nodiscard]] int find_range(const env_info *table, const MtdNames &names, uint32_t *start,
                             uint32_t *end)
{
    unsigned int index = 0;
    if (get_mtd_info(table, names.entry, &index) != 0) {
        rl_log_err("%s isnot exist!\n", names.entry);
        return -1;
    }
    *start = table[index].start_addr;
    *end = table[index].end_addr;
    rl_log_info("%s start_addr:%x end_addr:%x\n", names.entry, *start, *end);
    return 0;
}

// Opens the device read-write; logs a failure with the telephone's path.
UniqueFd open_device(const MtdNames &names)
{
    UniqueFd fd(platform_open(names.device, O_RDWR | O_CLOEXEC));
    if (!fd.valid())
        rl_log_err("%s open failed!\n", names.device);
    return fd;
}

// The writer counts in 64 KiB blocks: only an erase block that tiles one
// exactly lets a block be erased whole and alone.
bool erase_size_fits(uint32_t erasesize)
{
    return erasesize != 0 && FLASH_BLOCK_SIZE % erasesize == 0;
}

// The bar follows the burn; drawing it never decides the burn's outcome.
void show_progress(CBasicUI *ui, int percent)
{
    (void)ui->SetUpgradingProgressBar(percent); // always 0; an undrawn bar must not stop the burn
}

struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};

// The range of every partition the burn will write is judged before its
// first erase, as a new layout is, so that a refusal leaves the flash as it
// was. A missing entry is left to the burn, which reports it in its turn.
// 0, or -1 (logged) for the first range that is not whole blocks.
[[nodiscard]] int check_ranges(const env_info *table, int count, const Partition_Header *partitions,
                               const int *flags)
{
    for (int i = 0; i < count; ++i) {
        const Partition_Header &part = partitions[i];
        if (flags[i] != 1 || (upgrader_kernel_only == 1 && part.partition_id != 1))
            continue;
        MtdNames names;
        mtd_names(part.partition_id, &names);
        unsigned int index = 0;
        if (get_mtd_info(table, names.entry, &index) != 0)
            continue;
        const uint32_t start = table[index].start_addr;
        const uint32_t end = table[index].end_addr;
        if (!flash_whole_blocks(start, end)) {
            rl_log_err("%s start_addr:%x end_addr:%x: not whole 64 KiB erase blocks, refused "
                       "before any erase\n",
                       names.entry, start, end);
            return -1;
        }
    }
    return 0;
}

} // namespace

int flash_check_geometry(int fd, uint32_t range_size, const char *device)
{
    mtd_info_user info;
    memset(&info, 0, sizeof(info));
    if (ioctl(fd, MEMGETINFO, &info) != 0) {
        rl_log_err("%s: cannot read its geometry: %s\n", device, strerror(errno));
        return -1;
    }
    if (!erase_size_fits(info.erasesize)) {
        rl_log_err("%s: erase block of %u bytes does not divide 64 KiB\n", device,
                   unsigned(info.erasesize));
        return -1;
    }
    if (info.size < range_size) {
        rl_log_err("%s: %u bytes, smaller than its range of %u\n", device, unsigned(info.size),
                   unsigned(range_size));
        return -1;
    }
    return 0;
}

int non_region_erase(int fd, int start, int count)
{
    mtd_info_user info;
    memset(&info, 0, sizeof(info));
    if (ioctl(fd, MEMGETINFO, &info) != 0)
        return -1;
    if (info.erasesize != FLASH_BLOCK_SIZE)
        rl_log_err("------------FLASH_BLOCK_SIZE------ERROR---------------\n");
    // A larger erase block would take the neighbours of the 64 KiB block
    // with it, and they may hold data not about to be written again.
    if (!erase_size_fits(info.erasesize))
        return -1;
    uint32_t at = uint32_t(start);
    for (int i = 0; i < count; ++i) {
        for (uint32_t done = 0; done < FLASH_BLOCK_SIZE; done += info.erasesize) {
            erase_info_user erase;
            erase.start = at + done;
            erase.length = info.erasesize;
            if (ioctl(fd, MEMERASE, &erase) != 0)
                return -1;
        }
        at += FLASH_BLOCK_SIZE;
    }
    rl_log_debug("erase done\n");
    return 0;
}

void fmt_one_partition(const env_info *table, int index)
{
    MtdNames names;
    mtd_names(unsigned(index), &names);
    uint32_t start = 0, end = 0;
    if (find_range(table, names, &start, &end) != 0)
        return;
    UniqueFd fd = open_device(names);
    if (!fd.valid())
        return;
    int blocks = int((end - start) / FLASH_BLOCK_SIZE);
    for (int k = 0; k < blocks; ++k) {
        if (non_region_erase(fd.get(), k * FLASH_BLOCK_SIZE, 1) < 0)
            break;
    }
}

FlashWindow::FlashWindow(int fd_, const uint8_t *data_, uint64_t len_, uint32_t blocks_)
    : fd(fd_), data(data_), len(len_), blocks(blocks_),
      scratch(static_cast<uint8_t *>(malloc(FLASH_BLOCK_SIZE))),
      pending(static_cast<uint8_t *>(calloc(blocks_ + 1, 1))), erased(0), written(0)
{
}

FlashWindow::~FlashWindow()
{
    free(scratch);
    free(pending);
}

namespace
{

// The bytes of data that fall into block k: their offset in data, and how
// many (0 past its end).
uint32_t chunk_length(const FlashWindow &w, uint32_t k, uint64_t *at)
{
    *at = uint64_t(k) * FLASH_BLOCK_SIZE;
    if (*at >= w.len)
        return 0;
    uint64_t left = w.len - *at;
    return uint32_t(left < FLASH_BLOCK_SIZE ? left : FLASH_BLOCK_SIZE);
}


bool all_erased(const uint8_t *bytes, size_t n)
{
    uint8_t all = 0xFF;
    for (size_t i = 0; i < n; ++i)
        all &= bytes[i];
    return all == 0xFF;
}

// Reads size bytes at offset at into buffer and compares them with want
// for part bytes, then with erased flash. 0, or -1 logged with the block
// and whether the read failed or the bytes differed.
[[nodiscard]] int read_back(int fd, uint64_t at, uint8_t *buffer, size_t size, const uint8_t *want,
                            size_t part)
{
    const unsigned block = unsigned(at / FLASH_BLOCK_SIZE);
    if (!flash_read_exact(fd, at, buffer, size)) {
        rl_log_err("read-back of block %u (offset 0x%llx) failed: %s\n", block,
                   static_cast<unsigned long long>(at),
                   errno != 0 ? strerror(errno) : "the device ended");
        return -1;
    }
    if (memcmp(buffer, want, part) != 0 || !all_erased(buffer + part, size - part)) {
        rl_log_err("read-back of block %u (offset 0x%llx): the flash differs from the image\n",
                   block, static_cast<unsigned long long>(at));
        return -1;
    }
    return 0;
}

} // namespace

// Ending early is as bad as failing: the flash is shorter than its window.
bool flash_read_exact(int fd, uint64_t at, uint8_t *buffer, size_t size)
{
    size_t got = 0;
    while (got < size) {
        ssize_t n = pread(fd, buffer + got, size - got, off_t(at + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = 0; // the device ended: no error to name
        if (n <= 0)
            return false;
        got += size_t(n);
    }
    return true;
}

int flash_window_prepare(FlashWindow *w, uint32_t k)
{
    if (k >= w->blocks)
        return 0;
    uint64_t at = 0;
    const uint32_t part = chunk_length(*w, k, &at);
    const uint8_t *want = w->data + at;
    bool erase = true;
    bool differs = true;
    if (flash_read_exact(w->fd, at, w->scratch, FLASH_BLOCK_SIZE)) {
        const uint8_t *have = w->scratch;
        uint8_t ones = 0, diff = 0; // bits to set again, bits that differ
        for (uint32_t i = 0; i < part; ++i) {
            ones |= uint8_t(want[i] & ~have[i]);
            diff |= uint8_t(want[i] ^ have[i]);
        }
        // Behind the data the window is erased flash.
        if (!all_erased(have + part, FLASH_BLOCK_SIZE - part))
            ones = diff = 1;
        erase = ones != 0;
        differs = diff != 0;
    }
    w->pending[k] = 0;
    if (!differs)
        return 0;
    if (erase) {
        if (non_region_erase(w->fd, int(at), 1) < 0)
            return -1;
        ++w->erased;
        w->pending[k] = all_erased(want, part) ? kFlashReadBack : kFlashWrite | kFlashReadBack;
    } else {
        w->pending[k] = kFlashWrite | kFlashReadBack;
    }
    return 0;
}

int flash_window_write(FlashWindow *w, uint32_t k)
{
    uint64_t at = 0;
    const uint32_t part = chunk_length(*w, k, &at);
    if (part == 0 || (k < w->blocks && (w->pending[k] & kFlashWrite) == 0))
        return 0;
    if (lseek(w->fd, off_t(at), SEEK_SET) != off_t(at) ||
        flash_write_all(w->fd, w->data + at, part) < 0)
        return -1;
    if (k < w->blocks)
        w->pending[k] = kFlashReadBack;
    ++w->written;
    return 0;
}

int flash_window_verify(FlashWindow *w)
{
    for (uint32_t k = 0;; ++k) {
        uint64_t at = 0;
        const uint32_t part = chunk_length(*w, k, &at);
        if (k < w->blocks) {
            // The whole block, its erased tail included: an erase cut short
            // leaves old bits behind the image.
            if ((w->pending[k] & kFlashReadBack) != 0 &&
                read_back(w->fd, at, w->scratch, FLASH_BLOCK_SIZE, w->data + at, part) != 0)
                return -1;
        } else if (part == 0) {
            return 0;
        } else if (read_back(w->fd, at, w->scratch, part, w->data + at, part) != 0) {
            return -1; // past the window's blocks data is always written
        }
    }
}

int flash_write_all(int fd, const uint8_t *data, uint64_t len)
{
    if (len > SIZE_MAX)
        return -1;
    return platform_write_all(fd, data, size_t(len)) == len ? 0 : -1;
}

int flash_verify(int fd, const uint8_t *data, uint64_t len)
{
    std::unique_ptr<uint8_t, FreeDeleter> buffer(static_cast<uint8_t *>(malloc(FLASH_BLOCK_SIZE)));
    if (!buffer)
        return -1;
    for (uint64_t at = 0; at < len; at += FLASH_BLOCK_SIZE) {
        uint64_t left = len - at;
        size_t ask = size_t(left < FLASH_BLOCK_SIZE ? left : FLASH_BLOCK_SIZE);
        if (read_back(fd, at, buffer.get(), ask, data + at, ask) != 0)
            return -1;
    }
    return 0;
}

namespace
{

// Writes one flagged partition, erase phase then write phase, and reads it
// back; the bar moves on from *base by step for each phase. 0, or a
// negative upd_msg_e code, logged.
[[nodiscard]] int burn_partition(const uint8_t *pack, const env_info *table,
                                 const Partition_Header &part, int step, int *base, CBasicUI *ui)
{
    MtdNames names;
    mtd_names(part.partition_id, &names);
    uint32_t start = 0, end = 0;
    if (find_range(table, names, &start, &end) != 0)
        return update_msg_refuse(UPD_MSG_MTD_ENV_LOSED);
    UniqueFd fd = open_device(names);
    if (!fd.valid())
        return update_msg_refuse(UPD_MSG_MTD_OPEN_ERR);
    if (flash_check_geometry(fd.get(), end - start, names.device) != 0)
        return update_msg_refuse(UPD_MSG_FLASH_ERASE_ERR);

    // The whole window, not only what the payload covers: nothing of the
    // old image may survive behind the new one.
    uint32_t size = part.partition_size;
    const uint8_t *payload = pack + part.partition_offset;
    int blocks = int((end - start) / FLASH_BLOCK_SIZE);
    FlashWindow window(fd.get(), payload, size, uint32_t(blocks));
    if (!window.valid())
        return update_msg_refuse(UPD_MSG_FLASH_ERASE_ERR);
    for (int k = 0; k < blocks; ++k) {
        if (flash_window_prepare(&window, uint32_t(k)) < 0)
            return update_msg_refuse(UPD_MSG_FLASH_ERASE_ERR);
        show_progress(ui, *base + (k * step) / blocks);
    }

    int chunks = int(size / FLASH_BLOCK_SIZE);
    rl_log_debug("blocks :%x size:%x\n", size / FLASH_BLOCK_SIZE, size);
    *base += step;

    for (int j = 0; j < chunks; ++j) {
        if (flash_window_write(&window, uint32_t(j)) < 0)
            return update_msg_refuse(UPD_MSG_FLASH_WRITE_ERR);
        show_progress(ui, *base + (j * step) / chunks);
    }
    uint32_t rest = size % FLASH_BLOCK_SIZE;
    rl_log_debug("last size:%x\n", rest);
    if (rest > 0 && flash_window_write(&window, uint32_t(chunks)) < 0)
        return update_msg_refuse(UPD_MSG_FLASH_WRITE_ERR);
    rl_log_info("%s: %u of %d blocks erased, %u written\n", names.device, unsigned(window.erased),
                blocks, unsigned(window.written));

    // NOR keeps whatever bits an incomplete erase left behind, and a write
    // can report success for bytes that did not take: only reading the
    // erased and written blocks back tells that the partition holds the
    // image. The others were read and found holding it a moment ago.
    if (flash_window_verify(&window) != 0) {
        rl_log_err("%s verify failed!\n", names.device);
        return update_msg_refuse(UPD_MSG_FLASH_WRITE_ERR);
    }
    *base += step;
    return 0;
}

} // namespace

int upgrader_burn_flash(const uint8_t *pack, env_info *table, int count,
                        const Partition_Header *partitions, const int *flags, CBasicUI *ui)
{
    if (pack == nullptr || table == nullptr || partitions == nullptr || flags == nullptr ||
        ui == nullptr)
        return -1;

    int n = 0;
    for (int i = 0; i < count; ++i)
        if (flags[i] == 1)
            ++n;
    int base = 15;
    if (count <= 0) {
        show_progress(ui, 100);
        return 0;
    }
    if (check_ranges(table, count, partitions, flags) != 0)
        return update_msg_refuse(UPD_MSG_FLASH_ERASE_ERR);

    for (int i = 0; i < count; ++i) {
        if (flags[i] != 1)
            continue;
        const Partition_Header &part = partitions[i];
        if (upgrader_kernel_only == 1) {
            rl_log_info("upgrader_kernel_only is AVAILABLE \n");
            if (part.partition_id != 1) {
                rl_log_info("ppartition_addr->partition_id:%x\n", part.partition_id);
                continue;
            }
        }
        const int r = burn_partition(pack, table, part, 85 / (2 * n), &base, ui);
        if (r != 0)
            return r;
    }
    show_progress(ui, 100);
    return 0;
}
