// What the check changes on the device, held until the pack's answer is
// known: the payloads kept off flash (the upgrade program and the MTD layout
// extracted to /tmp, the configuration modification staged beside its
// place) and the boot environment writes with the values they replace;
// applying them all or none, or dropping them.
#ifndef UPGRADER_ROMPACK_PENDING_H
#define UPGRADER_ROMPACK_PENDING_H

#include "upgrader/devenv.h"
#include "upgrader/rompack_read.h"

#include <stdint.h>

// Set to 1 when the pack's MTD layout was written to "/tmp/mtd.conf".
extern int mtd_config;
// partition_version of the pack's upgrade-program partition.
extern uint32_t upgrader_tool_version;
// Set to 1 when this run's check extracted the pack's upgrade program to
// "/tmp/upgrader_tool": only then may that file be started, and a later
// check of the same run passes the program over.
extern int upgrader_tool_extracted;

// What an accepted pack changes on the device, held back until the answer is known.
typedef struct rompack_pending {
    int env_count; // boot environment writes, in the order the rules make them
    struct {
        char name[16];
        char value[16];
        int was_set;                 // 0: the variable was not in the environment the check read
        char before[ENV_VALUE_SIZE]; // its value there, put back when applying fails
    } env[4];
    int config_modify; // 1: the staged configuration modification waits to be renamed into place
} rompack_pending;

// Holds the boot environment write "name value" (at most four; more are
// dropped). before is the variable's value as the check read it, nullptr
// when it was not set: applying puts that back when it fails.
void rompack_stage_env(rompack_pending *pending, const char *name, const char *value,
                       const char *before);

// Extracts or stages the payload of part, a partition kept off flash (id >=
// 255), by its type: 1 the upgrade program to /tmp/upgrader_tool (11, or 2
// when this run already made it or it cannot be written), 2 the MTD layout
// to /tmp/mtd.conf (12, or -1 when it cannot be written), 3 the
// configuration modification staged in pending (13 either way), any other
// type 2. Returns that upd_msg_e code; the caller logs it.
[[nodiscard]] int rompack_extract_payload(const uint8_t *pack, const Partition_Header *part,
                                          rompack_pending *pending);

// Applies the held changes, then clears *pending: the boot environment
// writes with do_set_env, in order, and last the staged file renamed to
// /config/config_modify. Nothing stays half-applied: on a failure every
// variable written so far (the failing one too) is written back to the
// value the check read, or unset when it had none, and the staged file is
// removed. Returns 0, UPD_MSG_SET_ENV_FAILED (-80) when a boot environment
// write failed, or UPD_MSG_ERR (-1) when the configuration modification
// could not be put in place; the failure is logged once, as is a value
// that cannot be put back. (Not [[nodiscard]] yet: the upgrade sequence
// still drops the result.)
[[nodiscard]] int rompack_apply_pending(rompack_pending *pending);
// Throws the held changes away (removes the staged file), clears *pending.
void rompack_drop_pending(rompack_pending *pending);

#endif
