// The codes' names and log texts.
#include "upgrader/rompack_codes.h"

#include "log/rl_log.h"

namespace
{

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
