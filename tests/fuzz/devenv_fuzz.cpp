// libFuzzer harness: the kernel texts of the device environment, NUL-separated
// in the input: boot environment, hardware version, software version (a part
// not given is empty), for the readers of the copies that /tmp/bin/cat makes
// on the telephone: the copying, a process per text, is left to the unit tests.
#include "log/rl_log.h"
#include "upgrader/devenv.h"

#include "fuzz_root.h"

#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    rl_log_reset_level(-1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    FILE *files[3];
    size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        const void *cut = i < 2 ? memchr(text + at, '\0', size - at) : nullptr;
        const size_t stop = cut != nullptr ? static_cast<const char *>(cut) - text : size;
        files[i] = fuzzroot::stream(text + at, stop - at);
        at = cut != nullptr ? stop + 1 : size;
    }

    env_info table[ENV_TABLE_SIZE];
    memset(table, 0, sizeof(table));
    const int used = read_boot_env(files[0], table);
    const int rc = read_software_version(files[2], table, used);
    if (used < 0 || used > ENV_TABLE_SIZE || (rc != 0 && rc != -88))
        abort();
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
    (void)read_hardware_version(files[1], hw); // read or not: no write past its bytes
    for (size_t i = HW_VERSION_LEN; i < sizeof(hw); ++i)
        if (hw[i] != 0xA5)
            abort(); // more than eight numbers stored
    for (FILE *f : files)
        fclose(f);
    return 0;
}
