#include "upgrader/rompack.h"

#include "log/rl_log.h"
#include "platform/platform.h"
#include "platform/unique_fd.h"
#include "upgrader/aes.h"

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int mtd_config = 0;
uint32_t upgrader_tool_version = 0;
int upgrader_tool_extracted = 0;

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

struct MsgText {
    int code;
    const char *name;
    const char *text; // logged by update_msg_printf; nullptr: nothing
};

// Most codes are logged as their own name.
// clang-format off
#define LOGGED(code) {code, #code, #code "\n"}
#define SILENT(code) {code, #code, nullptr}
// clang-format on
const MsgText kMessages[] = {
    LOGGED(UPD_MSG_ARG_ADDR_ERR),
    LOGGED(UPD_MSG_ROM_HEADER_RROM_ERR),
    LOGGED(UPD_MSG_ROM_HEADER_CHECKSUM_ERR),
    LOGGED(UPD_MSG_ROM_CHECKSUM_ERR),
    LOGGED(UPD_MSG_OEM_VERSION_ERR),
    LOGGED(UPD_MSG_MACHINE_ID_ERR),
    LOGGED(UPD_MSG_MATCH_ID_ERR),
    LOGGED(UPD_MSG_PART_HEADER_RPAT_ERR),
    LOGGED(UPD_MSG_PART_HEADER_CHECKSUM_ERR),
    LOGGED(UPD_MSG_PART_CHECKSUM_ERR),
    LOGGED(UPD_MSG_PARTITION_ID_ERROR),
    LOGGED(UPD_MSG_PARTITION_TYPE_ERROR),
    LOGGED(UPD_MSG_READ_ENV_FAILED),
    LOGGED(UPD_MSG_READ_HWVERSION_FAILED),
    LOGGED(UPD_MSG_ROM_VERSION_SAME),
    LOGGED(UPD_MSG_MTD_ENV_LOSED),
    LOGGED(UPD_MSG_MTD_ADDR_ERR),
    // Logged with the text of -84 on purpose: either way the partition is unusable.
    {UPD_MSG_MTD_OPEN_ERR, "UPD_MSG_MTD_OPEN_ERR", "UPD_MSG_MTD_ADDR_ERR\n"},
    LOGGED(UPD_MSG_FLASH_ERASE_ERR),
    LOGGED(UPD_MSG_FLASH_WRITE_ERR),
    LOGGED(UPD_MSG_SET_ENV_FAILED),
    LOGGED(UPD_MSG_PART_NUM_ERR),
    SILENT(UPD_MSG_MID_OEM_ERR),
    SILENT(UPD_MSG_SW_PROTECT_ERR),
    SILENT(UPD_MSG_PROTECT_OEM_ERR),
    SILENT(UPD_MSG_UNPROTECT_OEM_ERR),
    SILENT(UPD_MSG_HW_MIN_VERSION_ERR),
    SILENT(UPD_MSG_ERR),
    SILENT(UPD_MSG_OK),
    LOGGED(UPD_MSG_PART_VERSION_SAME),
    SILENT(UPD_MSG_PART_SKIPPED),
    SILENT(UPD_MSG_UPGRADER_TOOL),
    SILENT(UPD_MSG_MTD_CONF),
    SILENT(UPD_MSG_CONFIG_MODIFY),
};
#undef LOGGED
#undef SILENT

const MsgText *find_message(int code)
{
    for (const MsgText &m : kMessages)
        if (m.code == code)
            return &m;
    return nullptr;
}

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
    aes_decrypt(&h->scramble_key, bytes + 12, static_cast<int>(h->rom_header_size - 36),
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
int read_rom_header(const uint8_t *pack, size_t pack_len, Rom_Header *header, env_info *table)
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

// Resolves a program path; an empty string when it does not fit, which makes
// any later open or command fail instead of touching another file.
struct Path {
    explicit Path(const char *path) { platform_path(path, text, sizeof(text)); }
    char text[1024];
};

// Extracts a payload to path, in a file this run makes (see
// platform_create_private): a link or file planted under the name never
// receives the payload, and nobody else can rewrite it before it is used.
// 0 when every byte was stored, -1 otherwise.
int write_payload_file(const char *path, const uint8_t *data, size_t size, unsigned int mode)
{
    UniqueFd fd(platform_create_private(path, mode));
    if (!fd.valid()) {
        rl_log_err("%s open failed!\n", path);
        return -1;
    }
    const size_t stored = platform_write_all(fd.get(), data, size);
    if (stored != size || close(fd.release()) != 0) {
        rl_log_err("%s write failed: %u of %u bytes stored\n", path, static_cast<unsigned>(stored),
                   static_cast<unsigned>(size));
        return -1;
    }
    return 0;
}

const char kConfigModify[] = "/config/config_modify";
const char kConfigModifyStaged[] = "/config/config_modify.new";

// The configuration modification waits beside its place until the pack is
// accepted. It is written whole and synced first, so that the rename leaves
// either the old file or all of the new one; whatever had the staged name
// (an earlier pack's leftover, a link) is removed rather than written through.
int stage_config_modify(const uint8_t *data, size_t size)
{
    Path staged(kConfigModifyStaged);
    UniqueFd fd(platform_create_private(kConfigModifyStaged, 0600));
    if (!fd.valid()) {
        rl_log_err("%s open failed!\n", staged.text);
        return -1;
    }
    const size_t stored = platform_write_all(fd.get(), data, size);
    const bool ok = stored == size && fsync(fd.get()) == 0 && fchmod(fd.get(), 0777) == 0 &&
                    close(fd.release()) == 0;
    if (!ok) {
        rl_log_err("%s could not be written (%u of %u bytes stored)\n", staged.text,
                   static_cast<unsigned>(stored), static_cast<unsigned>(size));
        fd.reset();
        unlink(staged.text);
        return -1;
    }
    return 0;
}

// Text value of the first entry named name, or nullptr.
const char *env_text(const env_info *table, const char *name)
{
    unsigned int index = 0;
    if (get_mtd_info(table, name, &index) != 0 || index >= ENV_TABLE_SIZE)
        return nullptr;
    return table[index].value;
}

// A missing entry counts as 0; texts are decimal numbers. Read unsigned and
// wider than a long, so that on the 32-bit target an OEM of 2^31 or more
// stays itself instead of becoming the largest long.
uint32_t env_number(const env_info *table, const char *name)
{
    const char *text = env_text(table, name);
    return text == nullptr ? 0 : static_cast<uint32_t>(strtoull(text, nullptr, 10));
}

// The value the check read is held beside the new one: a failed apply puts
// it back.
void stage_env(rompack_pending *pending, const env_info *table, const char *name,
               const char *value)
{
    if (pending->env_count >= static_cast<int>(sizeof(pending->env) / sizeof(pending->env[0])))
        return; // the rules make at most three
    auto &e = pending->env[pending->env_count];
    snprintf(e.name, sizeof(e.name), "%s", name);
    snprintf(e.value, sizeof(e.value), "%s", value);
    const char *before = env_text(table, name);
    e.was_set = before != nullptr ? 1 : 0;
    snprintf(e.before, sizeof(e.before), "%s", before != nullptr ? before : "");
    ++pending->env_count;
}

void stage_env_number(rompack_pending *pending, const env_info *table, const char *name,
                      uint32_t value)
{
    char text[16];
    snprintf(text, sizeof(text), "%u", static_cast<unsigned>(value));
    stage_env(pending, table, name, text);
}

bool version_at_least(uint32_t version, unsigned c, unsigned d)
{
    unsigned vc = (version >> 8) & 255;
    unsigned vd = version & 255;
    return vc > c || (vc == c && vd >= d);
}

// Packs below the minimum version of a hardware generation lack what that
// hardware needs to boot.
bool meets_hw_min_version(const unsigned char *hw, uint32_t version)
{
    const unsigned b = (version >> 16) & 255;
    const unsigned c = (version >> 8) & 255;
    if (hw[7] != 1 && hw[0] == 59 && (hw[3] & 0x0F) == 1)
        return (b == 143 || b == 164) ? version_at_least(version, 6, 200) : c >= 6;
    if (hw[7] == 1 && (hw[0] == 59 || hw[0] == 53 || hw[0] == 52))
        return (b == 143 || b == 164) ? c >= 8 : version_at_least(version, 5, 200);
    if (hw[7] == 1 && hw[0] == 55)
        return b == 145 ? c >= 6 : version_at_least(version, 6, 100);
    return true;
}

// One flash partition (id < 255): sets *flag, or returns a refusal code.
int check_flash_partition(const env_info *table, const Rom_Header *header,
                          const Partition_Header *part, int *flag)
{
    if (part->partition_id >= 10)
        return update_msg_refuse(UPD_MSG_PARTITION_ID_ERROR);
    if (part->partition_type != 0)
        return update_msg_refuse(UPD_MSG_PARTITION_TYPE_ERROR);
    const int id = static_cast<int>(part->partition_id);

    char name[16];
    snprintf(name, sizeof(name), "mtd%d", id);
    unsigned int index = 0;
    if (get_mtd_info(table, name, &index) != 0 || index >= ENV_TABLE_SIZE) {
        rl_log_err("%s isnot exist!\n", name);
        return update_msg_refuse(UPD_MSG_MTD_ENV_LOSED);
    }
    const uint32_t start = table[index].start_addr;
    const uint32_t end = table[index].end_addr;
    rl_log_info("%s start_addr:%x end_addr:%x\n", name, start, end);
    if (end <= start || end - start < part->partition_size)
        return update_msg_refuse(UPD_MSG_MTD_ADDR_ERR);

    char dev[16];
    snprintf(dev, sizeof(dev), "/dev/mtd%d", id);
    Path dev_path(dev);
    {
        UniqueFd fd(open(dev_path.text, O_RDWR));
        if (!fd.valid()) {
            rl_log_err("%s open failed!\n", dev_path.text);
            return update_msg_refuse(UPD_MSG_MTD_OPEN_ERR);
        }
    }

    if (header->process_type == 1) {
        rl_log_info("rom force upgrade!\n");
        *flag = 1;
        return UPD_MSG_OK;
    }
    if (part->process_type == 1) {
        rl_log_info("mtd%d force upgrade!\n", id);
        *flag = 1;
        return UPD_MSG_OK;
    }
    char key[24];
    snprintf(key, sizeof(key), "Mtd%dVersion", id);
    if (get_mtd_info(table, key, &index) != 0 || index >= ENV_TABLE_SIZE) {
        rl_log_info("%s env isnot exist!\n", key);
        *flag = 1;
        return UPD_MSG_OK;
    }
    char version[16];
    rompack_version_text(part->partition_version, version, sizeof(version));
    rl_log_info("%s name:%s value:%s\n", key, table[index].name, table[index].value);
    rl_log_info("mtdn_version:%s version:%s\n", table[index].value, version);
    if (strcmp(table[index].value, version) == 0) {
        update_msg_printf(UPD_MSG_PART_VERSION_SAME);
        *flag = 0;
    } else {
        *flag = 1;
    }
    return UPD_MSG_OK;
}

// A payload kept off flash (id >= 255); returns its outcome code. The
// configuration modification is only staged in pending.
int extract_payload(const uint8_t *pack, const Partition_Header *part, rompack_pending *pending)
{
    const uint8_t *data = pack + part->partition_offset;
    const size_t size = part->partition_size;
    switch (part->partition_type) {
    case 1: {
        rl_log_info("ppartition_addr->partition_type:%d\n", 1);
        upgrader_tool_version = part->partition_version;
        // Checked again by a run that goes on itself: the program it made
        // is in place and passed over.
        if (upgrader_tool_extracted == 1)
            return UPD_MSG_PART_SKIPPED;
        // Whatever had the name is replaced, even a file from an earlier
        // run: it is not known to hold this pack's program. A relaunched
        // copy replaces itself here, which its running image never notices.
        // Closed before it can be started (ETXTBSY otherwise).
        if (write_payload_file("/tmp/upgrader_tool", data, size, 0700) != 0) {
            // A cut program must not be there to be started.
            platform_remove("/tmp/upgrader_tool");
            return UPD_MSG_PART_SKIPPED;
        }
        upgrader_tool_extracted = 1;
        return UPD_MSG_UPGRADER_TOOL;
    }
    case 2:
        rl_log_info("MTD CONFIG ppartition_addr->partition_type:%d\n", 2);
        // Without it the pack would be burned onto the old layout.
        if (write_payload_file("/tmp/mtd.conf", data, size, 0600) != 0) {
            rl_log_err("/tmp/mtd.conf could not be written: the pack's partition layout cannot "
                       "be applied\n");
            return UPD_MSG_ERR;
        }
        mtd_config = 1;
        return UPD_MSG_MTD_CONF;
    case 3:
        rl_log_info("CONFIG MODIFY ppartition_addr->partition_type:%d\n", 3);
        // A later one in the same pack replaces it; a failed one leaves the
        // installed file as it is.
        pending->config_modify = stage_config_modify(data, size) == 0 ? 1 : 0;
        return UPD_MSG_CONFIG_MODIFY;
    default:
        return UPD_MSG_PART_SKIPPED;
    }
}

// OEM and protection rules of the current layout, cases a to i; their
// boot environment writes are staged in pending.
int check_oem_protect(const Rom_Header *header, const env_info *table, uint32_t oem, uint32_t mid,
                      uint32_t protect, rompack_pending *pending)
{
    const uint32_t h_mid = header->mid_version;
    const uint32_t h_oem = header->oem_id;
    const uint32_t h_prot = header->sw_protect;
    const bool same_oem = h_oem == oem;
    if (mid != 0 && h_mid != 0) // a
        return same_oem ? UPD_MSG_OK : update_msg_refuse(UPD_MSG_MID_OEM_ERR);
    if (protect == 0) {
        if (h_mid != 0) {
            if (same_oem || oem == 0) { // b
                stage_env(pending, table, "SW_protect", "1");
                stage_env_number(pending, table, "SW_OEM", h_oem);
                return UPD_MSG_OK;
            }
            return update_msg_refuse(UPD_MSG_UNPROTECT_OEM_ERR); // c
        }
        if (h_prot != 0) // d
            return update_msg_refuse(UPD_MSG_UNPROTECT_OEM_ERR);
        stage_env_number(pending, table, "SW_OEM", h_oem); // e
        return UPD_MSG_OK;
    }
    if (!same_oem) // f
        return update_msg_refuse(UPD_MSG_PROTECT_OEM_ERR);
    if (h_mid != 0) { // g
        stage_env(pending, table, "SW_protect", "0");
        return UPD_MSG_OK;
    }
    if (h_prot == 0) // h
        return update_msg_refuse(UPD_MSG_PROTECT_OEM_ERR);
    return UPD_MSG_OK; // i
}

// The rules over the whole pack once every partition has passed: model,
// OEM and protection, mid version, variant, same version.
int check_whole_pack(const env_info *table, const Rom_Header *header, rompack_pending *pending)
{
    rl_log_debug("rom_upgrade_check start\n");
    unsigned char hw[HW_VERSION_LEN] = {};
    if (get_hardware_version(hw) != 0)
        return update_msg_refuse(UPD_MSG_READ_HWVERSION_FAILED);

    const uint32_t device = header->device_id;
    if (hw[0] == device) {
    } else if ((hw[0] == 1 && device == 53) || (hw[0] == 53 && device == 1)) {
        rl_log_err("hardware_version is 1\n");
    } else if (hw[0] == 52 && device == 55) {
        rl_log_err("Upgrade Kite rom on Wren device.");
    } else {
        rl_log_err("hardware_version:%x prom_header->device_id:%x\n", hw[0], device);
        return update_msg_refuse(UPD_MSG_MACHINE_ID_ERR);
    }

    const uint32_t oem = env_number(table, "SW_OEM");
    const uint32_t mid = env_number(table, "MID_VERSION");
    const uint32_t protect = env_number(table, "SW_protect");
    rl_log_debug("sw_oem :%u \n", static_cast<unsigned>(oem));
    rl_log_debug("mid_version :%u \n", static_cast<unsigned>(mid));
    rl_log_debug("sw_protect :%u \n", static_cast<unsigned>(protect));

    if (header->rom_header_size != ROM_HEADER_SIZE_CURRENT) {
        if (protect == 1)
            return update_msg_refuse(UPD_MSG_SW_PROTECT_ERR);
    } else {
        int r = check_oem_protect(header, table, oem, mid, protect, pending);
        if (r != UPD_MSG_OK)
            return r;
    }

    if (mid != header->mid_version)
        stage_env(pending, table, "MID_VERSION", mid != 0 ? "0" : "1");

    const unsigned variant = hw[4] & 0x0F;
    if (memchr(header->match_id, static_cast<int>(variant), sizeof(header->match_id)) == nullptr) {
        rl_log_err("match_id:%x\n", variant);
        return update_msg_refuse(UPD_MSG_MATCH_ID_ERR);
    }

    if (header->process_type == 1) {
        rl_log_info("rom force upgrader!\n");
        return UPD_MSG_OK;
    }
    unsigned int index = 0;
    if (get_mtd_info(table, "RomVersion", &index) != 0 || index >= ENV_TABLE_SIZE) {
        rl_log_info("RomVersion env isnot exist!\n");
        return UPD_MSG_OK;
    }
    char version[16];
    rompack_version_text(header->rom_version, version, sizeof(version));
    rl_log_info("%s name:%s value:%s\n", "RomVersion", table[index].name, table[index].value);
    rl_log_debug("rom_version_cmp:%s rom_version:%s\n", version, table[index].value);
    if (strcmp(version, table[index].value) == 0)
        return update_msg_refuse(UPD_MSG_ROM_VERSION_SAME);
    return UPD_MSG_OK;
}

} // namespace

void update_msg_printf(int code)
{
    const MsgText *m = find_message(code);
    if (m != nullptr && m->text != nullptr)
        rl_log_err("%s", m->text);
}

int update_msg_refuse(int code)
{
    update_msg_printf(code);
    return code;
}

const char *upd_msg_name(int code)
{
    const MsgText *m = find_message(code);
    return m != nullptr ? m->name : "UPD_MSG_UNKNOWN";
}

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

int rompack_check_staged(const uint8_t *pack, size_t pack_len, env_info *table, Rom_Header *header,
                         Partition_Header *partitions, int *flags, rompack_pending *pending)
{
    if (pending == nullptr)
        return UPD_MSG_ERR;
    memset(pending, 0, sizeof(*pending));
    if (pack == nullptr || table == nullptr || header == nullptr || partitions == nullptr ||
        flags == nullptr)
        return UPD_MSG_ERR;

    int r = read_rom_header(pack, pack_len, header, table);
    if (r != UPD_MSG_OK)
        return r;

    unsigned char hw[HW_VERSION_LEN] = {};
    if (get_hardware_version(hw) != 0)
        return update_msg_refuse(UPD_MSG_READ_HWVERSION_FAILED);
    if (!meets_hw_min_version(hw, header->rom_version))
        return update_msg_refuse(UPD_MSG_HW_MIN_VERSION_ERR);

    r = read_env(table);
    if (r < 0)
        return update_msg_refuse(r);
    rl_log_info("upgrader_softversion_check!\n");
    const uint32_t count = header->partition_num;
    rl_log_debug("headers size:0x%x\n", static_cast<unsigned>(140 + 44 * count));
    memset(partitions, 0, sizeof(Partition_Header) * count);

    uint64_t offset = 12 + static_cast<uint64_t>(header->rom_header_size);
    for (uint32_t i = 0; i < count; ++i) {
        Partition_Header *part = &partitions[i];
        r = rompack_read_partition_header(pack, pack_len, &offset, part);
        if (r != UPD_MSG_OK)
            return r;
        if (part->partition_id < 255) {
            r = check_flash_partition(table, header, part, &flags[i]);
            if (r != UPD_MSG_OK)
                return r;
            continue;
        }
        flags[i] = 0;
        const int code = extract_payload(pack, part, pending);
        update_msg_printf(code);
        if (code == UPD_MSG_UPGRADER_TOOL || code < 0)
            return code;
    }
    return check_whole_pack(table, header, pending);
}

int upgrader_rompack_check(const uint8_t *pack, size_t pack_len, env_info *table,
                           Rom_Header *header, Partition_Header *partitions, int *flags)
{
    rompack_pending pending;
    const int r = rompack_check_staged(pack, pack_len, table, header, partitions, flags, &pending);
    if (r != UPD_MSG_OK && r != UPD_MSG_ROM_VERSION_SAME) {
        rompack_drop_pending(&pending);
        return r;
    }
    const int applied = rompack_apply_pending(&pending);
    return applied != UPD_MSG_OK ? applied : r;
}

namespace
{

// Writes the first count staged variables back to the values the check
// read, the last written first; one that was not set is unset (its name
// written alone).
void put_back_env(const rompack_pending *pending, int count)
{
    for (int i = count - 1; i >= 0; --i) {
        const auto &e = pending->env[i];
        const char *before = e.was_set ? e.before : "";
        if (do_set_env(e.name, before) != 0)
            rl_log_err("%s could not be put back to \"%s\"\n", e.name, before);
    }
}

// The rename leaves either the old file or all of the new one, so it comes
// last: nothing is left to undo after it.
int place_config_modify()
{
    Path staged(kConfigModifyStaged);
    Path target(kConfigModify);
    if (rename(staged.text, target.text) != 0) {
        rl_log_err("%s could not be put in place: %s\n", target.text, strerror(errno));
        return UPD_MSG_ERR;
    }
    // The rename itself must outlive a power cut that comes before the
    // reboot syncs.
    Path dir("/config");
    UniqueFd config(open(dir.text, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!config.valid() || fsync(config.get()) != 0)
        rl_log_warn("%s: sync of the directory failed\n", dir.text);
    return UPD_MSG_OK;
}

} // namespace

int rompack_apply_pending(rompack_pending *pending)
{
    if (pending == nullptr)
        return UPD_MSG_ERR;
    const int room = static_cast<int>(sizeof(pending->env) / sizeof(pending->env[0]));
    const int count = pending->env_count < room ? pending->env_count : room;
    int r = UPD_MSG_OK;
    for (int i = 0; i < count && r == UPD_MSG_OK; ++i) {
        if (do_set_env(pending->env[i].name, pending->env[i].value) != 0) {
            // A write reported as failed may still have been taken: it is
            // put back with the others.
            put_back_env(pending, i + 1);
            r = UPD_MSG_SET_ENV_FAILED;
        }
    }
    if (r == UPD_MSG_OK && pending->config_modify) {
        r = place_config_modify();
        if (r != UPD_MSG_OK)
            put_back_env(pending, count);
    }
    if (r != UPD_MSG_OK) {
        Path staged(kConfigModifyStaged);
        unlink(staged.text);
    }
    memset(pending, 0, sizeof(*pending));
    return r == UPD_MSG_OK ? r : update_msg_refuse(r);
}

void rompack_drop_pending(rompack_pending *pending)
{
    // Unconditionally: a run that ended before its answer may have left one.
    Path staged(kConfigModifyStaged);
    unlink(staged.text);
    if (pending != nullptr)
        memset(pending, 0, sizeof(*pending));
}
