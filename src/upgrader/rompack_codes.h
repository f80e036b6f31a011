// The codes of the ROM pack check and of flash burning (upd_msg_e), and the
// one place that logs them: every unit that refuses with a code logs it
// through here, where the refusal arises.
#ifndef UPGRADER_ROMPACK_CODES_H
#define UPGRADER_ROMPACK_CODES_H

// Negative codes are refusals (a failure ID on the failure screen), 0 is
// acceptance, positive codes tell how one partition was handled (1, 2, 12,
// 13) or that the pack's own upgrader takes over (11).
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

// Logs the code's text at error level when it has one.
void update_msg_printf(int code);
// Logs code as update_msg_printf does and hands it back: a refusal is logged
// where it arises.
[[nodiscard]] int update_msg_refuse(int code);
// The code's name ("UPD_MSG_ROM_VERSION_SAME"), or "UPD_MSG_UNKNOWN".
const char *upd_msg_name(int code);

#endif
