// Reading a ROM pack in place: its two header records, the unscrambling of
// the ROM header, and the validation of magics, sizes and the three XOR
// checksums. Nothing here decides about the device or changes it.
#ifndef UPGRADER_ROMPACK_READ_H
#define UPGRADER_ROMPACK_READ_H

#include "upgrader/devenv.h"
#include "upgrader/rompack_codes.h"

#include <stddef.h>
#include <stdint.h>

#define ROM_MAGIC 0x52524F4Du       // "RROM"
#define PART_MAGIC 0x52504154u      // "RPAT"
#define ROM_HEADER_LEN 140          // Rom_Header record
#define PART_HEADER_LEN 44          // Partition_Header record
#define ROM_HEADER_SIZE_CURRENT 128 // rom_header_size of the scrambled layout; below: older
#define PART_HEADER_SIZE_CURRENT 32 // partition_header_size as packs are made
#define MAX_PARTITIONS 16           // partition headers a pack may have

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

// Formats a version word as "A.B.C.D" into out (at least 16 bytes).
void rompack_version_text(uint32_t version, char *out, size_t size);

// Reads and validates the ROM header of the pack (pack_len bytes): magic,
// unscrambling, field dump, second magic, partition count, header and body
// checksums. Fills header. Returns 0 or a negative upd_msg_e code, already
// logged. Anything the header points at outside pack_len is refused.
[[nodiscard]] int rompack_read_rom_header(const uint8_t *pack, size_t pack_len, Rom_Header *header);

// The same as the check's first step: table (ENV_TABLE_SIZE entries) is
// cleared together with the header, once the pack has shown its magic.
[[nodiscard]] int rompack_read_rom_header_for_check(const uint8_t *pack, size_t pack_len,
                                                    Rom_Header *header, env_info *table);

// Reads and validates partition header i at pack offset *offset (header
// magic and checksum, payload inside the pack and its checksum), copies its
// first 44 bytes to out and advances *offset to the next header. Returns 0
// or a negative upd_msg_e code, already logged.
[[nodiscard]] int rompack_read_partition_header(const uint8_t *pack, size_t pack_len,
                                                uint64_t *offset, Partition_Header *out);

#endif
