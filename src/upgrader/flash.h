// Writing the partitions of a ROM pack into their MTD flash partitions.
#ifndef UPGRADER_FLASH_H
#define UPGRADER_FLASH_H

#include "upgrader/devenv.h"
#include "upgrader/rompack.h"

#include <stdint.h>

class CBasicUI;

// The erase block of the telephone's NOR flash: partitions start and end on
// it, and the burn erases and writes one at a time.
#define FLASH_BLOCK_SIZE 0x10000

// Whether [start, end) is at least one whole 64 KiB erase block and nothing
// else: the burn erases in whole blocks, so the tail of any other range
// would be programmed without an erase.
bool flash_whole_blocks(uint32_t start, uint32_t end);

// 1 when the pack's layout differs from the flash's and the kernel cannot
// move partitions: only the kernel (partition id 1) may then be written.
extern int upgrader_kernel_only;

// Makes every flagged partition of the pack (count headers) hold its
// payload, taken in place from the pack, and then 0xFF to the end of its
// window, moving the progress bar from 15 to 100. Only blocks that differ
// are erased or written (see FlashWindow), and only those are read back
// and compared once the partition is written. Before the first erase, the
// range of every partition to be written must be whole 64 KiB blocks, at
// least one: else nothing is erased and the result is -82.
// Returns 0 or a negative upd_msg_e code (-1, -85, -83, -82, -81), logged.
[[nodiscard]] int upgrader_burn_flash(const uint8_t *pack, env_info *table, int count,
                                      const Partition_Header *partitions, const int *flags,
                                      CBasicUI *ui);

// A window of an MTD device being brought to hold data (len bytes from its
// start) and then 0xFF to its end, with no more erasing and programming
// than its bytes need: NOR wears and, on the telephone, takes about half a
// second per erase and as much per programmed block, while reading a block
// takes milliseconds. flash_window_prepare on every block first (the erase
// phase), then flash_window_write on every FLASH_BLOCK_SIZE chunk of data
// (the write phase), then flash_window_verify (the read-back).
class FlashWindow
{
  public:
    // blocks: the window's length in FLASH_BLOCK_SIZE units. valid() is
    // false when the buffers cannot be had.
    FlashWindow(int fd, const uint8_t *data, uint64_t len, uint32_t blocks);
    ~FlashWindow();
    FlashWindow(const FlashWindow &) = delete;
    FlashWindow &operator=(const FlashWindow &) = delete;
    bool valid() const { return scratch != nullptr && pending != nullptr; }

    int fd;
    const uint8_t *data;
    uint64_t len;
    uint32_t blocks;
    uint8_t *scratch; // one block as read from the flash
    uint8_t *pending; // per block: kFlashWrite while its part of data must
                      // be written, kFlashReadBack once erased or written
    uint32_t erased;  // blocks erased so far
    uint32_t written; // chunks written so far
};

// The bits of FlashWindow::pending.
enum : uint8_t { kFlashWrite = 1, kFlashReadBack = 2 };

// Reads block k of the window and compares it with what it must hold.
// Identical: nothing to do, not even the read-back. Only bits to clear (an
// erased block among them): its chunk is left to the write phase. A bit
// that must go back to 1: the block is erased first. A block that cannot
// be read is erased.
// 0, or -1 when the erase fails.
[[nodiscard]] int flash_window_prepare(FlashWindow *w, uint32_t k);

// Writes chunk k of data at its place, unless the erase phase found that
// the flash already holds it; chunks past the window's blocks are always
// written. 0, or -1 when the write fails.
[[nodiscard]] int flash_window_write(FlashWindow *w, uint32_t k);

// Reads back whole every block of the window that was erased or written,
// and every chunk of data written past the window's blocks, and compares
// them with what they must hold: a block the erase phase found identical
// was read just before and is not read again. 0, or -1 on the first
// difference or failed read, logged as flash_verify logs it.
[[nodiscard]] int flash_window_verify(FlashWindow *w);

// Refuses (-1, logged with device) a device whose erase block does not
// divide FLASH_BLOCK_SIZE or that is smaller than range_size, the length its
// environment entry gives it; 0 when it can be erased and written in 64 KiB
// blocks. Erases nothing.
[[nodiscard]] int flash_check_geometry(int fd, uint32_t range_size, const char *device);

// Erases count FLASH_BLOCK_SIZE blocks of the open MTD device fd from byte
// offset start, in requests of the device's own erase block. 0, or -1 when
// a request fails or the erase block does not divide FLASH_BLOCK_SIZE (then
// nothing is erased).
[[nodiscard]] int non_region_erase(int fd, int start, int count);

// Erases the whole MTD partition index; failures are only logged.
void fmt_one_partition(const env_info *table, int index);

// Writes len bytes of data at the device's current position, continuing
// short writes. 0, or -1 when a write fails or stores nothing.
[[nodiscard]] int flash_write_all(int fd, const uint8_t *data, uint64_t len);

// Reads size bytes at offset at of the device, continuing short reads;
// false when a read fails or the device ends first (errno 0 then).
[[nodiscard]] bool flash_read_exact(int fd, uint64_t at, uint8_t *buffer, size_t size);

// Reads len bytes from the device's start and compares them with data, all
// of them (the bench times it alone). 0 when equal, -1 on a difference or a
// failed read; either is logged with the block and its offset, a failed
// read with errno's text.
[[nodiscard]] int flash_verify(int fd, const uint8_t *data, uint64_t len);

#endif
