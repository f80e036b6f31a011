// libFuzzer harness: the whole ROM pack check over arbitrary bytes of exactly
// that length, against a copy of tests/data/device that every input finds as
// it was (boot environment put back, extracted files removed).
#include "log/rl_log.h"
#include "platform/platform.h"
#include "upgrader/devenv.h"
#include "upgrader/rompack.h"

#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace
{
fs::path g_root;
std::string g_env; // the profile's boot environment

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    rl_log_reset_level(-1); // the check logs every field at debug level
    const char *tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/rompack-fuzz.XXXXXX";
    if (!mkdtemp(dir.data()))
        abort();
    g_root = fs::path(dir) / "root";
    atexit([] {
        std::error_code gone;
        fs::remove_all(g_root.parent_path(), gone);
    });
    std::error_code ec;
    fs::copy(FUZZ_DEVICE_DIR, g_root, fs::copy_options::recursive, ec);
    fs::create_directories(g_root / "tmp/bin", ec);
    fs::create_directories(g_root / "dev", ec);
    for (const char *tool : {"cat", "touch", "chmod"})
        fs::copy_file(fs::path("/bin") / tool, g_root / "tmp/bin" / tool,
                      fs::copy_options::overwrite_existing, ec);
    for (int i = 0; i < 10; ++i)
        std::ofstream(g_root / "dev" / ("mtd" + std::to_string(i)));
    std::ifstream env(g_root / "proc/avalanche/env", std::ios::binary);
    g_env.assign(std::istreambuf_iterator<char>(env), {});
    if (ec || g_env.empty())
        abort(); // the device could not be laid out
    setenv(UPGRADER_ROOT_ENV, g_root.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::ofstream(g_root / "proc/avalanche/env", std::ios::binary | std::ios::trunc) << g_env;
    std::error_code ec;
    for (const char *file : {"tmp/upgrader_tool", "tmp/mtd.conf", "config/config_modify"})
        fs::remove(g_root / file, ec);
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
