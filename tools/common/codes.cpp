#include "common/codes.h"
#include "upgrader/rompack_codes.h"
#include "upgrader/rompack_read.h"

namespace hosttool
{

// What each code of the check and of the flash writer tells a user. A code
// the program defines without a line here (or the other way round) stops
// the tool: a new code is described before the guide is made again.
const std::map<int, std::string> &code_meanings()
{
    static const std::map<int, std::string> meanings = {
        {UPD_MSG_ARG_ADDR_ERR, "the file does not start with the pack's magic, or is shorter "
                               "than its ROM header"},
        {UPD_MSG_ROM_HEADER_RROM_ERR, "the ROM header's second magic is wrong after unscrambling "
                                      "(wrong scramble key), or its size is too large"},
        {UPD_MSG_ROM_HEADER_CHECKSUM_ERR, "the ROM header's checksum word does not balance"},
        {UPD_MSG_ROM_CHECKSUM_ERR, "the body is shorter than the header says, or its checksum "
                                   "differs"},
        {UPD_MSG_OEM_VERSION_ERR, "never given by this program"},
        {UPD_MSG_MACHINE_ID_ERR, "the pack's device id does not fit the telephone's model (first "
                                 "number of hwver)"},
        {UPD_MSG_MATCH_ID_ERR, "the telephone's variant (fifth number of hwver) is not in the "
                               "pack's match ids"},
        {UPD_MSG_PART_HEADER_RPAT_ERR, "a partition header lies outside the file or lacks its "
                                       "magic"},
        {UPD_MSG_PART_HEADER_CHECKSUM_ERR, "a partition header's checksum word does not balance"},
        {UPD_MSG_PART_CHECKSUM_ERR, "a payload lies outside the file, or its checksum differs"},
        {UPD_MSG_PARTITION_ID_ERROR, "a flash partition id from 10 to 254"},
        {UPD_MSG_PARTITION_TYPE_ERROR, "a flash partition (id 0..9) whose type is not 0"},
        {UPD_MSG_READ_ENV_FAILED, "the boot environment or the version files could not be read"},
        {UPD_MSG_READ_HWVERSION_FAILED, "hwver could not be read, or does not hold eight numbers"},
        {UPD_MSG_ROM_VERSION_SAME, "the telephone already runs the pack's version (RomVersion): "
                                   "the program stops the applications, writes no partition and "
                                   "reboots"},
        {UPD_MSG_MTD_ENV_LOSED, "the boot environment has no window mtdN for a partition of the "
                                "pack"},
        {UPD_MSG_MTD_ADDR_ERR, "a partition's payload is larger than its window"},
        {UPD_MSG_MTD_OPEN_ERR, "/dev/mtdN could not be opened (logged with the text of -84)"},
        {UPD_MSG_FLASH_ERASE_ERR, "writing the flash: an erase failed, or the device's erase "
                                  "blocks or size do not fit its window"},
        {UPD_MSG_FLASH_WRITE_ERR, "writing the flash: a write or its read-back failed"},
        {UPD_MSG_SET_ENV_FAILED, "a boot environment write of the accepted pack failed; the writes "
                                 "already made are put back"},
        {UPD_MSG_PART_NUM_ERR, "more than " + std::to_string(MAX_PARTITIONS) + " partitions"},
        {UPD_MSG_MID_OEM_ERR, "telephone and pack both have a mid version, and their OEMs differ"},
        {UPD_MSG_SW_PROTECT_ERR, "a pack with the older ROM header on a protected telephone"},
        {UPD_MSG_PROTECT_OEM_ERR, "a protected telephone: a pack of another OEM, or of its own "
                                  "OEM with neither mid version nor protection"},
        {UPD_MSG_UNPROTECT_OEM_ERR, "an unprotected telephone: a mid-version pack of another OEM "
                                    "(telephone OEM not 0), or a protected pack without mid "
                                    "version"},
        {UPD_MSG_HW_MIN_VERSION_ERR, "the pack is older than the minimum version of the "
                                     "telephone's hardware"},
        {UPD_MSG_ERR, "the check could not run (a file it needs in /tmp could not be written)"},
        {UPD_MSG_OK, "the telephone takes the pack"},
        {UPD_MSG_PART_VERSION_SAME, "a partition of the installed version: not written"},
        {UPD_MSG_PART_SKIPPED, "a partition that is not for the flash, passed over"},
        {UPD_MSG_UPGRADER_TOOL, "the pack carries an upgrade program, extracted to "
                                "/tmp/upgrader_tool, which takes the upgrade over"},
        {UPD_MSG_MTD_CONF, "the pack carries a partition layout, extracted to /tmp/mtd.conf"},
        {UPD_MSG_CONFIG_MODIFY, "the pack carries a configuration modification, staged for "
                                "/config/config_modify"},
    };
    return meanings;
}

std::string code_meaning(int code)
{
    const auto &meanings = code_meanings();
    auto it = meanings.find(code);
    return it == meanings.end() ? std::string() : it->second;
}

} // namespace hosttool
