// Moving MTD partition boundaries to the layout a ROM pack carries, keeping
// the contents of the environment (mtd3) and configuration (mtd4) blocks.
#ifndef UPGRADER_MTDLAYOUT_H
#define UPGRADER_MTDLAYOUT_H

#include "upgrader/devenv.h"
#include "upgrader/rompack.h"

#include <stdint.h>

#define MTD_FLASH_BASE 0x90000000u
#define MTD_FLASH_END 0x90800000u
#define MTD_CONF_PATH "/tmp/mtd.conf"
#define MTDBLOCK3_SAVE "/tmp/mtdblock3"
#define MTDBLOCK4_SAVE "/tmp/mtdblock4"
#define MTDBLOCK3_SIZE 0x10000
#define MTDBLOCK4_SIZE 0x80000

// 1 when the kernel can move partitions (set by the sequence at start).
extern int kernel_support;
// 1 when mtd3 / mtd4 was moved and its saved copy must be written back.
extern int env_mtd_write;
extern int config_mtd_write;

// One partition of the new layout.
typedef struct mtd_layout_entry {
    char name[8];
    uint32_t start_addr;
    uint32_t end_addr;
} mtd_layout_entry;

// The pack's layout, judged before anything is copied or moved, and the
// windows it replaces.
typedef struct mtd_layout_plan {
    mtd_layout_entry next[10];
    mtd_layout_entry prev[10];
    int moves; // partitions the kernel is to move; 0 when none or it cannot
    // Where mtd3 and mtd4 are staged while they are written back over their
    // old places (upgrader/staging.h): the partition holding the area, -1
    // when no staging is needed, and the area's flash address.
    int stage_mtd;
    uint32_t stage_start;
} mtd_layout_plan;

// 1 when the plan gives partition n another window than it has, else 0.
int mtd_layout_moves(const mtd_layout_plan *plan, int n);

// 1 when mtd0 or mtd1 answers the partition query with 0, else 0.
[[nodiscard]] int kernel_support_mtd_repair_check(void);
// Reads "/tmp/mtd.conf" and judges the whole layout against the current
// windows in table and the pack's flagged partitions (count headers): ten
// windows inside the flash that do not overlap, a moved mtd3/mtd4 window
// that holds its saved 64 KiB/512 KiB, and a window for each flagged
// payload that holds it. Without kernel support a differing layout sets
// upgrader_kernel_only and moves nothing. Moves nothing itself. 0 or -1,
// the reason logged.
[[nodiscard]] int mtd_config_check(const env_info *table, const Partition_Header *partitions, const int *flags,
                     int count, mtd_layout_plan *plan);
// The same judgement over the layout text already in memory (NUL-terminated;
// absent reads as a file without keys).
[[nodiscard]] int mtd_config_check_text(const char *text, const env_info *table,
                                        const Partition_Header *partitions, const int *flags,
                                        int count, mtd_layout_plan *plan);
// Moves the partitions of a checked plan, saving mtd3 and mtd4 to /tmp
// before either moves, and updates table. A failed move puts back the
// partitions already moved. 0 or -1.
[[nodiscard]] int mtd_config_deal(const mtd_layout_plan *plan, env_info *table);
// Records the windows of the partitions the plan moves in the boot
// environment, where the next boot takes its partition table from. Until
// then a power cut boots the old table, whose mtd3/mtd4 still hold the
// blocks (or are restored from the staging area); so it comes once the
// copies are back in the new windows and before anything is burnt over the
// old ones. With staging, mtd3 and mtd4 come last, so that a table recorded
// halfway has moved everything else already. 0 or -1.
[[nodiscard]] int mtd_layout_commit(const mtd_layout_plan *plan);
// Saves mtd3/mtd4 when entry is one of them, then moves partition n.
[[nodiscard]] int mtd_diffrent_deal(int n, const mtd_layout_entry *entry);
// Moves partition n to {offset, size}. 0 or -1.
[[nodiscard]] int mtd_addr_repair(int n, uint32_t offset, uint32_t size);
// Copies mtd3 and mtd4 to /tmp once per process. 0, or -1 when a copy
// could not be made whole.
[[nodiscard]] int cat_env_config_block(void);
// Unmounts /etc and /config (5 tries). 0 or -1.
[[nodiscard]] int umount_config_mtd(void);
// Erases the whole window (window bytes) of partition n, writes the image
// file of exactly size bytes at its start and reads it back. 0 or -1.
[[nodiscard]] int mtd_write(int n, int size, const char *path, uint32_t window);

// Forgets that the copies were made (for a fresh start in one process).
void mtdlayout_reset(void);

#endif
