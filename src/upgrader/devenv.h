// The device environment: boot environment, installed versions and MTD
// address ranges, read into one table; the hardware version; writes to the
// boot environment.
#ifndef UPGRADER_DEVENV_H
#define UPGRADER_DEVENV_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#define ENV_TABLE_SIZE 30
#define ENV_NAME_SIZE 50
#define ENV_VALUE_SIZE 100
#define HW_VERSION_LEN 8

// One entry of the device environment table. An empty name marks a free
// entry. Entries mtd0..mtd9 hold an address range, all others text.
typedef struct env_info {
    char name[ENV_NAME_SIZE];
    union {
        char value[ENV_VALUE_SIZE];
        struct {
            uint32_t start_addr; // first byte of the partition in flash
            uint32_t end_addr;   // byte after its last
        };
    };
} env_info;

// Fills the table (ENV_TABLE_SIZE entries, cleared by the caller) from
// "/proc/avalanche/env", the version files and "/proc/ver/software".
// Returns 0, -1 (missing table or failed shell command) or -88.
[[nodiscard]] int read_env(env_info *table);

// The readers of read_env and get_hardware_version, over text already open
// as f (the copies in /tmp; a fuzzer's bytes through fmemopen). Boot
// environment lines into table from its first entry, the refused ones
// logged; returns the entries used.
int read_boot_env(FILE *f, env_info *table);
// The head of the software version up to its first ',' into table[used]
// when 0 <= used < ENV_TABLE_SIZE; 0, or -88 without a ','.
[[nodiscard]] int read_software_version(FILE *f, env_info *table, int used);
// The eight dot-separated numbers of the first 99 bytes into hw[0..7]; 0 or
// -1, logged.
[[nodiscard]] int read_hardware_version(FILE *f, unsigned char *hw);

// Finds the first entry named name; 0 with *index set, or -1.
[[nodiscard]] int get_mtd_info(const env_info *table, const char *name, unsigned int *index);

// Reads the eight numbers of "/proc/misc/hwver" into hw[0..7]; 0 or -1.
[[nodiscard]] int get_hardware_version(unsigned char *hw);

// Writes "name value" (or the name alone for an empty value) to the boot
// environment; 0 or -1.
[[nodiscard]] int do_set_env(const char *name, const char *value);

// Copies from to to with the cat of /tmp/bin, as "<cat> <from> > <to>"
// would (logged so), both paths under the root. Kernel files and MTD block
// devices are copied this way because the platform only promises that cat
// can read them. The copy is a file this run makes, owner-only (see
// platform_create_private), and no shell is involved, so a link planted
// under to's name never redirects it. *size is what the copy holds. 0 when
// cat ran and exited with 0, -1 otherwise.
[[nodiscard]] int cat_copy(const char *from, const char *to, long long *size);

#endif
