// libFuzzer harness: the whole ROM pack check over arbitrary bytes, as the
// telephone would run it on a pack of exactly that length.
//
// The device is a copy of tests/data/device made once per process (with
// the host's cat, touch and chmod in tmp/bin and dev/mtd0..9 as plain
// files). Every input starts from the same device: the boot environment the
// previous input may have written is put back and the files it may have
// extracted are removed, so that what an input reaches does not depend on
// the inputs before it.
#include "log/rl_log.h"
#include "platform/platform.h"
#include "upgrader/devenv.h"
#include "upgrader/rompack.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

namespace
{

fs::path g_root;
std::string g_env; // the profile's boot environment

void remove_root()
{
    std::error_code ec;
    if (!g_root.empty())
        fs::remove_all(g_root.parent_path(), ec);
}

[[noreturn]] void die(const std::string &what)
{
    fprintf(stderr, "rompack_check_fuzz: %s\n", what.c_str());
    abort();
}

void set_up()
{
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/rompack-fuzz.XXXXXX";
    if (!mkdtemp(pattern.data()))
        die("cannot create " + pattern);
    g_root = fs::path(pattern) / "root";
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
    if (ec)
        die("cannot lay out the device in " + g_root.string() + ": " + ec.message());
    std::ifstream env(g_root / "proc/avalanche/env", std::ios::binary);
    g_env.assign(std::istreambuf_iterator<char>(env), std::istreambuf_iterator<char>());
    if (g_env.empty())
        die("the device profile has no boot environment");
    setenv(UPGRADER_ROOT_ENV, g_root.c_str(), 1);
}

void reset_device()
{
    std::ofstream(g_root / "proc/avalanche/env", std::ios::binary | std::ios::trunc) << g_env;
    std::error_code ec;
    for (const char *file : {"tmp/upgrader_tool", "tmp/mtd.conf", "config/config_modify"})
        fs::remove(g_root / file, ec);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    rl_log_reset_level(-1); // the check logs every field at debug level
    set_up();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    reset_device();
    env_info table[ENV_TABLE_SIZE];
    memset(table, 0, sizeof(table));
    Rom_Header header;
    Partition_Header partitions[MAX_PARTITIONS];
    int flags[MAX_PARTITIONS];
    mtd_config = 0;
    upgrader_tool_version = 0;
    // libFuzzer hands over a buffer of exactly size bytes, so a read past
    // the pack is caught by AddressSanitizer.
    upgrader_rompack_check(data, size, table, &header, partitions, flags);
    return 0;
}
