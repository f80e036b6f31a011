// libFuzzer harness: the whole ROM pack check over arbitrary bytes of exactly
// that length, against a copy of tests/data/device that every input finds as
// it was (extracted files removed). The device is read once, as the
// telephone reads it, and answered from memory: a process per copy left the
// fuzzer hardly any time for the pack. What the check holds back is dropped:
// applying it, a shell per variable, is left to the unit tests.
#include "log/rl_log.h"
#include "upgrader/devenv.h"
#include "upgrader/rompack.h"

#include "fuzz_root.h"

#include <stdlib.h>
#include <string.h>

namespace
{

unsigned char g_hw[HW_VERSION_LEN];
env_info g_table[ENV_TABLE_SIZE];

int hardware_version(unsigned char *hw)
{
    memcpy(hw, g_hw, sizeof(g_hw));
    return 0;
}

int device_env(env_info *table)
{
    memcpy(table, g_table, sizeof(g_table));
    return 0;
}

const rompack_device kDevice = {hardware_version, device_env};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    rl_log_reset_level(-1); // the check logs every field at debug level
    const fuzzroot::fs::path root =
        fuzzroot::make_root("rompack", FUZZ_DEVICE_DIR, {"cat", "touch", "chmod"});
    fuzzroot::fs::create_directories(root / "dev");
    for (int i = 0; i < 10; ++i)
        fuzzroot::put(root / "dev" / ("mtd" + std::to_string(i)), "", 0);
    if (get_hardware_version(g_hw) != 0 || read_env(g_table) != 0)
        abort(); // the device could not be laid out
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const fuzzroot::fs::path &root = fuzzroot::root();
    std::error_code ec;
    for (const char *file : {"tmp/upgrader_tool", "tmp/mtd.conf"})
        fuzzroot::fs::remove(root / file, ec);
    env_info table[ENV_TABLE_SIZE];
    memset(table, 0, sizeof(table));
    Rom_Header header;
    Partition_Header partitions[MAX_PARTITIONS];
    int flags[MAX_PARTITIONS];
    mtd_config = 0;
    upgrader_tool_version = 0;
    upgrader_tool_extracted = 0;
    rompack_pending pending;
    // libFuzzer hands over exactly size bytes, so AddressSanitizer catches a
    // read past the pack. Any answer will do: the faults are what is looked for.
    (void)rompack_check_device(&kDevice, data, size, table, &header, partitions, flags, &pending);
    rompack_drop_pending(&pending);
    return 0;
}
