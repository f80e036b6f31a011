// libFuzzer harness: the whole ROM pack check over arbitrary bytes, as the
// telephone would run it on a pack of exactly that length, against a copy of
// tests/data/device (with the host's cat, touch and chmod in tmp/bin and
// dev/mtd0..9 as plain files). Every input starts from the same device: the
// boot environment is put back and extracted files are removed, so what an
// input reaches does not depend on the inputs before it.
#include "log/rl_log.h"
#include "platform/platform.h"
#include "upgrader/devenv.h"
#include "upgrader/rompack.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace
{
fs::path g_root;
std::string g_env; // the profile's boot environment

void remove_root()
{
    std::error_code ec;
    fs::remove_all(g_root.parent_path(), ec);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    rl_log_reset_level(-1); // the check logs every field at debug level
    const char *tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/rompack-fuzz.XXXXXX";
    if (!mkdtemp(dir.data()))
        abort();
    g_root = fs::path(dir) / "root";
    atexit(remove_root);
    std::error_code ec;
    fs::copy(FUZZ_DEVICE_DIR, g_root, fs::copy_options::recursive, ec);
    fs::create_directories(g_root / "tmp/bin", ec);
    fs::create_directories(g_root / "dev", ec);
    for (const char *tool : {"cat", "touch", "chmod"})
        fs::copy_file(fs::path("/bin") / tool, g_root / "tmp/bin" / tool,
                      fs::copy_options::overwrite_existing, ec);
    for (int i = 0; i < 10; ++i)
        std::ofstream(g_root / "dev" / ("mtd" + std::to_string(i)));
    std::ostringstream env;
    env << std::ifstream(g_root / "proc/avalanche/env", std::ios::binary).rdbuf();
    g_env = env.str();
    if (ec || g_env.empty()) {
        fprintf(stderr, "rompack_check_fuzz: cannot lay out the device in %s\n", g_root.c_str());
        abort();
    }
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
    // libFuzzer hands over exactly size bytes, so AddressSanitizer catches a
    // read past the pack.
    upgrader_rompack_check(data, size, table, &header, partitions, flags);
    return 0;
}
