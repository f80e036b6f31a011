// Reading and validating a ROM pack in place.
#include "upgrader/rompack_read.h"

#include "log/rl_log.h"
#include "upgrader/aes.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>

// The records are byte images of the pack's headers.
static_assert(sizeof(Rom_Header) == ROM_HEADER_LEN, "Rom_Header must be 140 bytes");
static_assert(sizeof(Partition_Header) == PART_HEADER_LEN, "Partition_Header must be 44 bytes");
static_assert(offsetof(Rom_Header, match_id) == 44, "match_id at 44");
static_assert(offsetof(Rom_Header, magic_num2) == 104, "magic_num2 at 104");
static_assert(offsetof(Rom_Header, partition_num_copy) == 108, "partition_num_copy at 108");
static_assert(offsetof(Rom_Header, scramble_key) == 124, "scramble_key at 124");

namespace
{

// Largest rom_header_size whose scrambled region (12 .. size - 25) still
// ends before scramble_key at 124.
constexpr uint32_t kMaxRomHeaderSize = 148;

// Headers may put words at any offset and the target traps on unaligned
// loads, so pack words are always copied out.
uint32_t load32(const uint8_t *p)
{
    uint32_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

uint32_t xor_words(const uint8_t *p, uint64_t count)
{
    uint32_t x = 0;
    for (uint64_t i = 0; i < count; ++i)
        x ^= load32(p + 4 * i);
    return x;
}

// Address of pack offset off, computed without forming a pointer beyond the
// pack (off may come from an unchecked header).
unsigned addr_at(const uint8_t *pack, uint64_t off)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(pack) + static_cast<uintptr_t>(off));
}

// True when [off, off + len) lies inside the pack; logs what does not.
bool inside(uint64_t off, uint64_t len, size_t pack_len, const char *what)
{
    if (off + len <= pack_len)
        return true;
    rl_log_err("%s (offset 0x%llx, 0x%llx bytes) lies outside the pack of 0x%llx bytes\n", what,
               static_cast<unsigned long long>(off), static_cast<unsigned long long>(len),
               static_cast<unsigned long long>(pack_len));
    return false;
}

void dump_rom_header(const Rom_Header *h)
{
    rl_log_debug("\nmagic_num: %x\n", h->magic_num);
    rl_log_debug("rom_header_size: %x\n", h->rom_header_size);
    rl_log_debug("rom_header_checksum: %x\n", h->rom_header_checksum);
    rl_log_debug("rom_type: %x\n", h->rom_type);
    rl_log_debug("process_type: %x\n", h->process_type);
    rl_log_debug("partition_num: %x\n", h->partition_num);
    rl_log_debug("device_id: %x\n", h->device_id);
    rl_log_debug("oem_id: %x\n", h->oem_id);
    rl_log_debug("rom_version: %x\n", h->rom_version);
    rl_log_debug("mid_version: %x\n", h->mid_version);
    rl_log_debug("sw_protect: %x\n", h->sw_protect);
    rl_log_debug("rom_size: %x\n", h->rom_size);
    rl_log_debug("rom_checksum: %x\n\n", h->rom_checksum);
}

void dump_partition_header(const Partition_Header *p)
{
    rl_log_debug("\nmagic_num: %x\n", p->magic_num);
    rl_log_debug("partition_header_size: %x\n", p->partition_header_size);
    rl_log_debug("partition_header_checksum: %x\n", p->partition_header_checksum);
    rl_log_debug("partition_type: %x\n", p->partition_type);
    rl_log_debug("process_type: %x\n", p->process_type);
    rl_log_debug("partition_data_type: %x\n", p->partition_data_type);
    rl_log_debug("partition_id: %x\n", p->partition_id);
    rl_log_debug("partition_version: %x\n", p->partition_version);
    rl_log_debug("partition_size: %x\n", p->partition_size);
    rl_log_debug("partition_checksum: %x\n", p->partition_checksum);
    rl_log_debug("partition_offset: %x\n\n\n", p->partition_offset);
}

// The clear words at 20, 36 and 40 were moved out of the scrambled region by
// the pack maker; their scrambled bytes wait at 108, 116 and 112. Put them
// back, unscramble, move the results to the copies and restore the clear
// values.
void unscramble(Rom_Header *h)
{
    const uint32_t partition_num = h->partition_num;
    const uint32_t rom_size = h->rom_size;
    const uint32_t rom_checksum = h->rom_checksum;
    h->partition_num = h->partition_num_copy;
    h->rom_size = h->rom_size_copy;
    h->rom_checksum = h->rom_checksum_copy;
    unsigned char *bytes = reinterpret_cast<unsigned char *>(h);
    // Cannot fail: the key and the region lie in the record, and the region
    // is at least 92 bytes long.
    (void)aes_decrypt(&h->scramble_key, bytes + 12, static_cast<int>(h->rom_header_size - 36),
                      bytes + 12);
    h->partition_num_copy = h->partition_num;
    h->rom_checksum_copy = h->rom_checksum;
    h->rom_size_copy = h->rom_size;
    h->partition_num = partition_num;
    h->rom_size = rom_size;
    h->rom_checksum = rom_checksum;
}

// Magic, copy, unscrambling, field dump, second magic, partition count,
// header and body checksums. table, when given, is cleared together with
// the header, once the pack has shown its magic.
[[nodiscard]] int read_rom_header(const uint8_t *pack, size_t pack_len, Rom_Header *header,
                                  env_info *table)
{
    if (pack == nullptr || header == nullptr)
        return UPD_MSG_ERR;
    if (!inside(0, 4, pack_len, "rom magic"))
        return update_msg_refuse(UPD_MSG_ARG_ADDR_ERR);
    const uint32_t magic = load32(pack);
    rl_log_debug("rom--------:0x%x\n", magic);
    if (magic != ROM_MAGIC)
        return update_msg_refuse(UPD_MSG_ARG_ADDR_ERR);

    if (table != nullptr)
        memset(table, 0, sizeof(env_info) * ENV_TABLE_SIZE);
    memset(header, 0, sizeof(*header));
    // The record is always the first 140 bytes, whatever the size says, and
    // is filled only from a pack that holds the header its size gives. An
    // older header with nothing behind it makes a pack shorter than the
    // record: what lies past the pack's end stays zero rather than being read.
    if (!inside(0, offsetof(Rom_Header, rom_header_checksum), pack_len, "rom header size"))
        return update_msg_refuse(UPD_MSG_ARG_ADDR_ERR);
    const uint64_t header_size = load32(pack + offsetof(Rom_Header, rom_header_size));
    if (!inside(0, 12 + header_size, pack_len, "rom header"))
        return update_msg_refuse(UPD_MSG_ARG_ADDR_ERR);
    memcpy(header, pack, pack_len < ROM_HEADER_LEN ? pack_len : ROM_HEADER_LEN);

    if (header_size < ROM_HEADER_SIZE_CURRENT) {
        rl_log_warn("ignore aes decrypt, invalid rom header size %d.\n",
                    static_cast<int>(header_size));
    } else if (header_size > kMaxRomHeaderSize) {
        // Beyond this the scrambled region would take in scramble_key and then
        // run past the 140-byte record.
        rl_log_err("rom header size %u: scrambled region would reach the scramble key\n",
                   static_cast<unsigned>(header_size));
        return update_msg_refuse(UPD_MSG_ROM_HEADER_RROM_ERR);
    } else {
        unscramble(header);
    }

    dump_rom_header(header);

    if (header_size >= ROM_HEADER_SIZE_CURRENT && header->magic_num2 != ROM_MAGIC)
        return update_msg_refuse(UPD_MSG_ROM_HEADER_RROM_ERR);
    if (header->partition_num >= MAX_PARTITIONS + 1)
        return update_msg_refuse(UPD_MSG_PART_NUM_ERR);

    // The balancing word makes the header as stored (scrambled) XOR to 0.
    const uint64_t header_words = (header_size >> 2) + 1;
    rl_log_debug("\npaddr:%x pdat:%x\n", rl_log_addr(pack), rl_log_addr(pack));
    rl_log_debug("len:%x\n", static_cast<unsigned>(header_words));
    if (xor_words(pack + 8, header_words) != 0)
        return update_msg_refuse(UPD_MSG_ROM_HEADER_CHECKSUM_ERR);

    const uint64_t body = 12 + header_size;
    if (!inside(body, header->rom_size, pack_len, "rom body"))
        return update_msg_refuse(UPD_MSG_ROM_CHECKSUM_ERR);
    const uint64_t body_words = header->rom_size >> 2;
    rl_log_debug("\npdat:%x len:%x\n", rl_log_addr(pack + body), static_cast<unsigned>(body_words));
    const uint32_t sum = xor_words(pack + body, body_words);
    // The two words before the end of the range; body >= 12, so both lie
    // inside the pack even for an empty body.
    const uint64_t end = body + 4 * body_words;
    rl_log_debug("last dat:%x %x\n", load32(pack + end - 4), load32(pack + end - 8));
    if (sum != header->rom_checksum)
        return update_msg_refuse(UPD_MSG_ROM_CHECKSUM_ERR);
    return UPD_MSG_OK;
}

} // namespace

void rompack_version_text(uint32_t version, char *out, size_t size)
{
    if (out == nullptr || size == 0)
        return;
    snprintf(out, size, "%d.%d.%d.%d", static_cast<int>(version >> 24),
             static_cast<int>((version >> 16) & 255), static_cast<int>((version >> 8) & 255),
             static_cast<int>(version & 255));
}

int rompack_read_rom_header(const uint8_t *pack, size_t pack_len, Rom_Header *header)
{
    return read_rom_header(pack, pack_len, header, nullptr);
}

int rompack_read_rom_header_for_check(const uint8_t *pack, size_t pack_len, Rom_Header *header,
                                      env_info *table)
{
    return read_rom_header(pack, pack_len, header, table);
}

int rompack_read_partition_header(const uint8_t *pack, size_t pack_len, uint64_t *offset,
                                  Partition_Header *out)
{
    if (pack == nullptr || offset == nullptr || out == nullptr)
        return UPD_MSG_ERR;
    const uint64_t h = *offset;
    if (!inside(h, PART_HEADER_LEN, pack_len, "partition header record"))
        return update_msg_refuse(UPD_MSG_PART_HEADER_RPAT_ERR);
    memcpy(out, pack + h, PART_HEADER_LEN);
    const uint64_t header_size = out->partition_header_size;
    if (!inside(h, 12 + header_size, pack_len, "partition header"))
        return update_msg_refuse(UPD_MSG_PART_HEADER_RPAT_ERR);

    dump_partition_header(out);

    rl_log_debug("ppartition_addr:%x ppart_data_addr:%x\n", rl_log_addr(pack + h),
                 addr_at(pack, out->partition_offset));
    if (out->magic_num != PART_MAGIC)
        return update_msg_refuse(UPD_MSG_PART_HEADER_RPAT_ERR);

    if (xor_words(pack + h + 8, (header_size >> 2) + 1) != 0)
        return update_msg_refuse(UPD_MSG_PART_HEADER_CHECKSUM_ERR);

    const uint64_t data = out->partition_offset;
    if (!inside(data, out->partition_size, pack_len, "partition payload"))
        return update_msg_refuse(UPD_MSG_PART_CHECKSUM_ERR);
    // An empty or short payload may sit at the very end of the pack; its
    // first word is then not there to be shown.
    const uint32_t first = data + 4 <= pack_len ? load32(pack + data) : 0;
    rl_log_debug("ppart_dat:%x :%x\n", rl_log_addr(pack + data), first);
    const uint32_t sum = xor_words(pack + data, out->partition_size >> 2);
    if (sum != out->partition_checksum) {
        rl_log_err("partition_checksum_cal:%x checksum:%x\n", sum, out->partition_checksum);
        return update_msg_refuse(UPD_MSG_PART_CHECKSUM_ERR);
    }
    *offset = h + 12 + header_size;
    return UPD_MSG_OK;
}
