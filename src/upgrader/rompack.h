// The ROM pack: its header records, reading and validation, and the check
// that decides whether a pack may be installed and what to write.
#ifndef UPGRADER_ROMPACK_H
#define UPGRADER_ROMPACK_H

#include "upgrader/devenv.h"

#include <stddef.h>
#include <stdint.h>

#define ROM_MAGIC 0x52524F4Du  // "RROM"
#define PART_MAGIC 0x52504154u // "RPAT"
#define ROM_HEADER_LEN 140     // Rom_Header record
#define PART_HEADER_LEN 44     // Partition_Header record
#define ROM_HEADER_SIZE_CURRENT 128
#define PART_HEADER_SIZE_CURRENT 32
#define MAX_PARTITIONS 16

// The first 140 bytes of a pack, with the scrambled region unscrambled.
typedef struct Rom_Header {
    uint32_t magic_num;
    uint32_t rom_header_size; // header length - 12
    uint32_t rom_header_checksum;
    uint32_t rom_type;
    uint32_t process_type; // 1 = forced upgrade of the whole pack
    uint32_t partition_num;
    uint32_t device_id;
    uint32_t oem_id;
    uint32_t rom_version; // A.B.C.D, A most significant
    uint32_t rom_size;    // length of the checksummed body
    uint32_t rom_checksum;
    uint8_t match_id[16]; // hardware variants the pack accepts
    uint32_t mid_version;
    uint32_t sw_protect;
    uint8_t reserved1[36];
    uint32_t magic_num2;
    uint32_t partition_num_copy;
    uint32_t rom_checksum_copy;
    uint32_t rom_size_copy;
    uint8_t reserved2[4];
    uint8_t scramble_key;
    uint8_t reserved3[15];
} Rom_Header;

// The first 44 bytes of a partition header.
typedef struct Partition_Header {
    uint32_t magic_num;
    uint32_t partition_header_size; // header length - 12
    uint32_t partition_header_checksum;
    uint32_t partition_type; // for ids >= 255: 1 upgrader, 2 MTD layout, 3 config modification
    uint32_t process_type;   // 1 = write whatever the version
    uint32_t partition_data_type;
    uint32_t partition_id; // MTD index 0..9, or >= 255 for a payload kept off flash
    uint32_t partition_version;
    uint32_t partition_size;
    uint32_t partition_checksum;
    uint32_t partition_offset; // from the start of the pack
} Partition_Header;

typedef enum upd_msg_e {
    UPD_MSG_ARG_ADDR_ERR = -100,
    UPD_MSG_ROM_HEADER_RROM_ERR = -99,
    UPD_MSG_ROM_HEADER_CHECKSUM_ERR = -98,
    UPD_MSG_ROM_CHECKSUM_ERR = -97,
    UPD_MSG_OEM_VERSION_ERR = -96,
    UPD_MSG_MACHINE_ID_ERR = -95,
    UPD_MSG_MATCH_ID_ERR = -94,
    UPD_MSG_PART_HEADER_RPAT_ERR = -93,
    UPD_MSG_PART_HEADER_CHECKSUM_ERR = -92,
    UPD_MSG_PART_CHECKSUM_ERR = -91,
    UPD_MSG_PARTITION_ID_ERROR = -90,
    UPD_MSG_PARTITION_TYPE_ERROR = -89,
    UPD_MSG_READ_ENV_FAILED = -88,
    UPD_MSG_READ_HWVERSION_FAILED = -87,
    UPD_MSG_ROM_VERSION_SAME = -86,
    UPD_MSG_MTD_ENV_LOSED = -85,
    UPD_MSG_MTD_ADDR_ERR = -84,
    UPD_MSG_MTD_OPEN_ERR = -83,
    UPD_MSG_FLASH_ERASE_ERR = -82,
    UPD_MSG_FLASH_WRITE_ERR = -81,
    UPD_MSG_SET_ENV_FAILED = -80,
    UPD_MSG_PART_NUM_ERR = -79,
    UPD_MSG_MID_OEM_ERR = -78,
    UPD_MSG_SW_PROTECT_ERR = -77,
    UPD_MSG_PROTECT_OEM_ERR = -76,
    UPD_MSG_UNPROTECT_OEM_ERR = -75,
    UPD_MSG_HW_MIN_VERSION_ERR = -74,
    UPD_MSG_ERR = -1,
    UPD_MSG_OK = 0,
    UPD_MSG_PART_VERSION_SAME = 1,
    UPD_MSG_PART_SKIPPED = 2,
    UPD_MSG_UPGRADER_TOOL = 11,
    UPD_MSG_MTD_CONF = 12,
    UPD_MSG_CONFIG_MODIFY = 13,
} upd_msg_e;

// Set to 1 when the pack's MTD layout was written to "/tmp/mtd.conf".
extern int mtd_config;
// partition_version of the pack's upgrade-program partition.
extern uint32_t upgrader_tool_version;
// Set to 1 when this run's check extracted the pack's upgrade program to
// "/tmp/upgrader_tool": only then may that file be started, and a later
// check of the same run passes the program over.
extern int upgrader_tool_extracted;

// Logs the code's text at error level when it has one.
void update_msg_printf(int code);
// Logs code as update_msg_printf does and hands it back: a refusal is logged
// where it arises.
int update_msg_refuse(int code);
// The code's name ("UPD_MSG_ROM_VERSION_SAME"), or "UPD_MSG_UNKNOWN".
const char *upd_msg_name(int code);

// Formats a version word as "A.B.C.D" into out (at least 16 bytes).
void rompack_version_text(uint32_t version, char *out, size_t size);

// Reads and validates the ROM header of the pack (pack_len bytes): magic,
// unscrambling, field dump, second magic, partition count, header and body
// checksums. Fills header. Returns 0 or a negative upd_msg_e code, already
// logged. Anything the header points at outside pack_len is refused.
int rompack_read_rom_header(const uint8_t *pack, size_t pack_len, Rom_Header *header);

// Reads and validates partition header i at pack offset *offset (header
// magic and checksum, payload inside the pack and its checksum), copies its
// first 44 bytes to out and advances *offset to the next header. Returns 0
// or a negative upd_msg_e code, already logged.
int rompack_read_partition_header(const uint8_t *pack, size_t pack_len, uint64_t *offset,
                                  Partition_Header *out);

// Decides whether the pack may be installed on this device and fills the
// write flags (one per partition header). Returns an upd_msg_e code: 0
// accepted, 11 carried upgrader extracted, -86 same version, other
// negatives refusals. What the pack changes on the device (boot environment,
// configuration modification) is made only for 0 and -86, with
// rompack_apply_pending: when that fails, its code (-80 or -1) is returned
// instead and none of the changes stays. The run that goes on after 11
// checks again.
int upgrader_rompack_check(const uint8_t *pack, size_t pack_len, env_info *table,
                           Rom_Header *header, Partition_Header *partitions, int *flags);

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

// The check with its changes held in *pending (cleared first) instead of
// applied. Same codes as upgrader_rompack_check.
int rompack_check_staged(const uint8_t *pack, size_t pack_len, env_info *table, Rom_Header *header,
                         Partition_Header *partitions, int *flags, rompack_pending *pending);
// Applies the held changes, then clears *pending: the boot environment
// writes with do_set_env, in order, and last the staged file renamed to
// /config/config_modify. Nothing stays half-applied: on a failure every
// variable written so far (the failing one too) is written back to the
// value the check read, or unset when it had none, and the staged file is
// removed. Returns 0, UPD_MSG_SET_ENV_FAILED (-80) when a boot environment
// write failed, or UPD_MSG_ERR (-1) when the configuration modification
// could not be put in place; the failure is logged once, as is a value
// that cannot be put back.
int rompack_apply_pending(rompack_pending *pending);
// Throws the held changes away (removes the staged file), clears *pending.
void rompack_drop_pending(rompack_pending *pending);

#endif
