// Building ROM packs in code: the pack maker behind "rompack create", also
// used by tests and the simulated telephone. No dependency beyond the
// standard library, so it builds for every target.
#ifndef ROMPACK_PACKMAKER_H
#define ROMPACK_PACKMAKER_H

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

namespace rompack
{

struct PartitionSpec {
    uint32_t id = 0;           // MTD index, or >= 255 for a payload kept off flash
    uint32_t type = 0;         // partition_type
    uint32_t process_type = 0; // 1 = always write
    uint32_t data_type = 0;
    uint32_t version = 0; // A.B.C.D word
    std::vector<uint8_t> payload;
    // Where the payload goes; by default right after the previous payload
    // (the first right after the last header).
    std::optional<uint32_t> offset;
    uint32_t header_size = 32; // partition_header_size; the header is 12 + this long
};

struct PackSpec {
    uint32_t rom_type = 0;
    uint32_t process_type = 0;
    uint32_t device_id = 0;
    uint32_t oem_id = 0;
    uint32_t version = 0; // A.B.C.D word
    uint8_t match_id[16] = {};
    uint32_t mid_version = 0;
    uint32_t sw_protect = 0;
    // 128 is the current, scrambled layout; below 128 the older layout
    // (stored in clear, no second magic).
    uint32_t header_size = 128;
    uint8_t scramble_key = 0;
    std::vector<PartitionSpec> partitions;
};

// Parses "A.B.C.D" (each 0..255) into a version word; false when malformed.
bool parse_version(const std::string &text, uint32_t *word);

// Substitutes through the inverse of the format's table, then rotates right
// by key mod len: exactly what aes_decrypt undoes.
void scramble(uint8_t key, uint8_t *data, int len);

// Lays out headers and payloads, computes the three checksums and
// scrambles the header. The body (rom_size) runs from the first partition
// header to the end of the pack.
std::vector<uint8_t> make_pack(const PackSpec &recipe);

// Recomputes the ROM header checksum of a pack in place (for tests that
// change header bytes after making a pack). Handles both layouts.
void fix_rom_header_checksum(std::vector<uint8_t> &pack);

// Recomputes rom_checksum (the clear word at 40) over the body named by
// rom_size as far as it lies inside the pack, then the ROM header checksum:
// for tests that change body bytes and want the damage found further on.
void fix_rom_checksum(std::vector<uint8_t> &pack);

// The length make_pack would produce, without building anything.
uint64_t pack_length(const PackSpec &recipe);

// Payload generated from a size and a pattern: "zero", "ff", "counter"
// (byte i = i & 255) or "random:SEED" (deterministic). false when the
// pattern is unknown.
bool generate_payload(uint32_t size, const std::string &pattern, std::vector<uint8_t> *out);

} // namespace rompack

#endif
