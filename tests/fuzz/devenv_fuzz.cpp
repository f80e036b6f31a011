// libFuzzer harness: the kernel texts of the device environment, NUL-separated
// in the input: boot environment, hardware version, software version (a part
// not given keeps tests/data/device's). They reach the parsers as on the
// telephone, copied by /tmp/bin/cat into /tmp.
#include "log/rl_log.h"
#include "upgrader/devenv.h"

#include "fuzz_root.h"

#include <stdlib.h>
#include <string.h>

#include <string>

namespace
{

const char *const kFiles[] = {"proc/avalanche/env", "proc/misc/hwver", "proc/ver/software"};
std::string g_default[3];

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    rl_log_reset_level(-1);
    fuzzroot::make_root("devenv", FUZZ_DEVICE_DIR, {"cat"});
    for (int i = 0; i < 3; ++i)
        g_default[i] = fuzzroot::read(fuzzroot::root() / kFiles[i]);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        if (at > size) {
            fuzzroot::put(fuzzroot::root() / kFiles[i], g_default[i].data(), g_default[i].size());
            continue;
        }
        const void *cut = i < 2 ? memchr(text + at, '\0', size - at) : nullptr;
        const size_t stop = cut != nullptr ? static_cast<const char *>(cut) - text : size;
        fuzzroot::put(fuzzroot::root() / kFiles[i], text + at, stop - at);
        at = cut != nullptr ? stop + 1 : size + 1;
    }

    env_info table[ENV_TABLE_SIZE];
    memset(table, 0, sizeof(table));
    const int rc = read_env(table);
    if (rc != 0 && rc != -88)
        abort(); // the copies themselves must work in this root
    for (const env_info &entry : table) {
        if (memchr(entry.name, '\0', sizeof(entry.name)) == nullptr)
            abort();
        const bool range = strncmp(entry.name, "mtd", 3) == 0 && entry.name[3] >= '0' &&
                           entry.name[3] <= '9' && entry.name[4] == '\0';
        if (range &&
            (entry.end_addr < entry.start_addr || entry.end_addr - entry.start_addr > 0x800000))
            abort(); // a window the table must have refused
        if (!range && memchr(entry.value, '\0', sizeof(entry.value)) == nullptr)
            abort();
    }
    unsigned int index;
    (void)get_mtd_info(table, "mtd3", &index); // found or not: no read outside the table

    unsigned char hw[HW_VERSION_LEN + 8];
    memset(hw, 0xA5, sizeof(hw));
    (void)get_hardware_version(hw); // read or not: no write past its bytes
    for (size_t i = HW_VERSION_LEN; i < sizeof(hw); ++i)
        if (hw[i] != 0xA5)
            abort(); // more than eight numbers stored
    return 0;
}
