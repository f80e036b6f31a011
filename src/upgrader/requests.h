// Request numbers of the devices the upgrade drives. They are built with the
// kernel's own macros so that they take the telephone's values when built
// for it (MIPS puts the direction bits elsewhere than the PC does):
//   MEMGETINFO 0x40204D01, MEMERASE 0x80084D02, MTD_REPAIR_QUERY 0x40044D12,
//   MTD_ADDR_REPAIR 0x80084D11, MISC_IOCS_WATCHDOG 0x80044D05 on the phone.
#ifndef UPGRADER_REQUESTS_H
#define UPGRADER_REQUESTS_H

#include <mtd/mtd-user.h> // MEMGETINFO, MEMERASE
#include <stdint.h>
#include <sys/ioctl.h>

// Argument of MTD_ADDR_REPAIR: the new window of the opened partition.
typedef struct mtd_repair_info {
    uint32_t offset; // into the flash chip (address - 0x90000000)
    uint32_t size;   // bytes
} mtd_repair_info;

// Answers 0 when the kernel can move partition boundaries; null argument.
#define MTD_REPAIR_QUERY _IOR('M', 0x12, int)
// Moves the opened partition to {offset, size}.
#define MTD_ADDR_REPAIR _IOW('M', 0x11, mtd_repair_info)
// Switches the hardware watchdog; the value itself is the argument.
#define MISC_IOCS_WATCHDOG _IOW('M', 5, int)

#endif
