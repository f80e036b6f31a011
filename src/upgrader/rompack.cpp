// The ROM pack check: the rules that decide whether a pack may be installed
// on this device and which partitions to write.
#include "upgrader/rompack.h"

#include "log/rl_log.h"
#include "platform/platform.h"
#include "platform/unique_fd.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace
{

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

// Holds a boot environment write with the value the check read for it.
void stage_env(rompack_pending *pending, const env_info *table, const char *name, const char *value)
{
    rompack_stage_env(pending, name, value, env_text(table, name));
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
[[nodiscard]] int check_flash_partition(const env_info *table, const Rom_Header *header,
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
    char dev_path[1024];
    // Left empty when it does not fit under the root: the open then fails.
    (void)platform_path(dev, dev_path, sizeof(dev_path));
    {
        UniqueFd fd(open(dev_path, O_RDWR));
        if (!fd.valid()) {
            rl_log_err("%s open failed!\n", dev_path);
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

// OEM and protection rules of the current layout, cases a to i; their
// boot environment writes are staged in pending.
[[nodiscard]] int check_oem_protect(const Rom_Header *header, const env_info *table, uint32_t oem,
                                    uint32_t mid, uint32_t protect, rompack_pending *pending)
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
[[nodiscard]] int check_whole_pack(const rompack_device *dev, const env_info *table,
                                   const Rom_Header *header, rompack_pending *pending)
{
    rl_log_debug("rom_upgrade_check start\n");
    unsigned char hw[HW_VERSION_LEN] = {};
    if (dev->hardware_version(hw) != 0)
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

int rompack_check_staged(const uint8_t *pack, size_t pack_len, env_info *table, Rom_Header *header,
                         Partition_Header *partitions, int *flags, rompack_pending *pending)
{
    static const rompack_device kTelephone = {get_hardware_version, read_env};
    return rompack_check_device(&kTelephone, pack, pack_len, table, header, partitions, flags,
                                pending);
}

int rompack_check_device(const rompack_device *device, const uint8_t *pack, size_t pack_len,
                         env_info *table, Rom_Header *header, Partition_Header *partitions,
                         int *flags, rompack_pending *pending)
{
    if (pending == nullptr)
        return UPD_MSG_ERR;
    memset(pending, 0, sizeof(*pending));
    if (pack == nullptr || table == nullptr || header == nullptr || partitions == nullptr ||
        flags == nullptr)
        return UPD_MSG_ERR;

    int r = rompack_read_rom_header_for_check(pack, pack_len, header, table);
    if (r != UPD_MSG_OK)
        return r;

    unsigned char hw[HW_VERSION_LEN] = {};
    if (device->hardware_version(hw) != 0)
        return update_msg_refuse(UPD_MSG_READ_HWVERSION_FAILED);
    if (!meets_hw_min_version(hw, header->rom_version))
        return update_msg_refuse(UPD_MSG_HW_MIN_VERSION_ERR);

    r = device->read_env(table);
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
        const int code = rompack_extract_payload(pack, part, pending);
        update_msg_printf(code);
        if (code == UPD_MSG_UPGRADER_TOOL || code < 0)
            return code;
    }
    return check_whole_pack(device, table, header, pending);
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
