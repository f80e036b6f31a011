// libFuzzer harness: the whole ROM pack check over arbitrary bytes of exactly
// that length, against a copy of tests/data/device that every input finds as
// it was (boot environment put back, extracted files removed).
#include "log/rl_log.h"
#include "upgrader/devenv.h"
#include "upgrader/rompack.h"

#include "fuzz_root.h"

#include <stdlib.h>
#include <string.h>

namespace
{
std::string g_env; // the profile's boot environment

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    rl_log_reset_level(-1); // the check logs every field at debug level
    const fuzzroot::fs::path root =
        fuzzroot::make_root("rompack", FUZZ_DEVICE_DIR, {"cat", "touch", "chmod"});
    fuzzroot::fs::create_directories(root / "dev");
    for (int i = 0; i < 10; ++i)
        fuzzroot::put(root / "dev" / ("mtd" + std::to_string(i)), "", 0);
    g_env = fuzzroot::read(root / "proc/avalanche/env");
    if (g_env.empty())
        abort(); // the device could not be laid out
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const fuzzroot::fs::path &root = fuzzroot::root();
    fuzzroot::put(root / "proc/avalanche/env", g_env.data(), g_env.size());
    std::error_code ec;
    for (const char *file : {"tmp/upgrader_tool", "tmp/mtd.conf", "config/config_modify"})
        fuzzroot::fs::remove(root / file, ec);
    env_info table[ENV_TABLE_SIZE];
    memset(table, 0, sizeof(table));
    Rom_Header header;
    Partition_Header partitions[MAX_PARTITIONS];
    int flags[MAX_PARTITIONS];
    mtd_config = 0;
    upgrader_tool_version = 0;
    upgrader_tool_extracted = 0;
    // libFuzzer hands over exactly size bytes, so AddressSanitizer catches a
    // read past the pack. Any answer will do: the faults are what is looked for.
    (void)upgrader_rompack_check(data, size, table, &header, partitions, flags);
    return 0;
}
