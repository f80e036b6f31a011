// Staging the environment and configuration blocks in flash while a layout
// move writes them back over their own old places.
//
// When a moved window of mtd3 or mtd4 covers an old place of mtd3 or mtd4,
// writing the saved copy into it erases the only other copy in flash before
// the new one is whole; the copy in /tmp does not survive a power cut. So
// the run first writes both blocks (mtd4's 512 KiB, then mtd3's 64 KiB) to
// a staging area, reads them back, and records where they lie in the boot
// environment variable MtdStaging, as one line:
//
//     MtdStaging START,CRC4,CRC3,MTD3START,MTD3END,MTD4START,MTD4END
//
// all in bare hex: the flash address of the area, the CRC-32 of each
// block, and the new windows of mtd3 and mtd4. The record is cleared once
// the new windows are written, read back and recorded.
//
// The area lies where the pack burns a partition whole in the old layout
// and in the new one, so its bytes are lost to nobody, and outside every
// old and new window of mtd3 and mtd4. At every moment a power cut leaves
// both blocks whole in the windows the boot environment names, or in the
// staging area with the record naming it; the next run restores them from
// there before anything else touches the flash.
#ifndef UPGRADER_STAGING_H
#define UPGRADER_STAGING_H

#include "upgrader/devenv.h"
#include "upgrader/mtdlayout.h"

#define MTD_STAGING_VAR "MtdStaging"
#define MTD_STAGING_SIZE (MTDBLOCK4_SIZE + MTDBLOCK3_SIZE)

// 1 when the plan moves mtd3 or mtd4 into an old place of either.
int mtd_staging_needed(const mtd_layout_plan *plan);

// Chooses the staging area of a plan that needs one (plan->stage_mtd and
// plan->stage_start; stage_mtd -1 when none is needed): inside a partition
// the pack writes (count headers, flags) in both layouts, outside the boot
// chain (mtd0..mtd2) unless nothing else has room. -1, logged, when no
// partition has room.
[[nodiscard]] int mtd_staging_choose(const Partition_Header *partitions, const int *flags,
                                     int count, mtd_layout_plan *plan);

// Writes the saved copies (/tmp/mtdblock4, /tmp/mtdblock3) to the plan's
// staging area through the partition holding it in the current layout,
// reads them back and records the area. 0 or -1, logged.
[[nodiscard]] int mtd_staging_write(const mtd_layout_plan *plan);

// Removes the record. 0 or -1.
[[nodiscard]] int mtd_staging_clear(void);

// At the start of a run: when the boot environment holds a staging record,
// brings mtd3 and mtd4 to the windows the record names (a layout recorded
// halfway is completed first) and writes the staged blocks there, then
// removes the record. A record that does not parse, or staged blocks that
// fail their check, are logged and leave the flash alone.
// 0 when there was nothing to do, the blocks are back, or the record is
// unusable; -1 when the blocks could not be written back (the record
// stays, for the next run).
[[nodiscard]] int mtd_staging_recover(void);

// CRC-32 (IEEE 802.3) of len bytes.
uint32_t staging_crc32(const uint8_t *data, size_t len);

#endif
