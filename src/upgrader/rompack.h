// The ROM pack check: whether a pack may be installed on this device and
// which of its partitions to write. The one header the program's units
// include for ROM packs: it brings the codes (rompack_codes.h), the records
// and their reading (rompack_read.h) and the changes the check holds back
// (rompack_pending.h).
#ifndef UPGRADER_ROMPACK_H
#define UPGRADER_ROMPACK_H

#include "upgrader/devenv.h"
#include "upgrader/rompack_codes.h"
#include "upgrader/rompack_pending.h"
#include "upgrader/rompack_read.h"

#include <stddef.h>
#include <stdint.h>

// Decides whether the pack may be installed on this device and fills the
// write flags (one per partition header). Returns an upd_msg_e code: 0
// accepted, 11 carried upgrader extracted, -86 same version, other
// negatives refusals. What the pack changes on the device (boot environment,
// configuration modification) is made only for 0 and -86, with
// rompack_apply_pending: when that fails, its code (-80 or -1) is returned
// instead and none of the changes stays. The run that goes on after 11
// checks again.
[[nodiscard]] int upgrader_rompack_check(const uint8_t *pack, size_t pack_len, env_info *table,
                                         Rom_Header *header, Partition_Header *partitions,
                                         int *flags);

// The check with its changes held in *pending (cleared first) instead of
// applied. Same codes as upgrader_rompack_check.
[[nodiscard]] int rompack_check_staged(const uint8_t *pack, size_t pack_len, env_info *table,
                                       Rom_Header *header, Partition_Header *partitions, int *flags,
                                       rompack_pending *pending);

// Where the check learns about the device: the hardware version and the
// environment table, with the results of get_hardware_version and read_env.
// The telephone's are those two; a fuzzer answers from memory instead of
// starting a copy by /tmp/bin/cat for each.
typedef struct rompack_device {
    int (*hardware_version)(unsigned char *hw);
    int (*read_env)(env_info *table);
} rompack_device;

// rompack_check_staged asking device (not absent) instead of the telephone.
[[nodiscard]] int rompack_check_device(const rompack_device *device, const uint8_t *pack,
                                       size_t pack_len, env_info *table, Rom_Header *header,
                                       Partition_Header *partitions, int *flags,
                                       rompack_pending *pending);

#endif
