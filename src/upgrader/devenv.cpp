#include "upgrader/devenv.h"

#include "log/rl_log.h"
#include "platform/platform.h"
#include "platform/unique_fd.h"
#include "upgrader/inifile.h"
#include "upgrader/shellcmd.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace
{

const int kReadEnvFailed = -88; // UPD_MSG_READ_ENV_FAILED

const char kEnvFile[] = "/proc/avalanche/env";
const char kEnvCopy[] = "/tmp/avalanche_env_file";
const char kSoftwareFile[] = "/proc/ver/software";
const char kSoftwareCopy[] = "/tmp/ver_software";
const char kHardwareFile[] = "/proc/misc/hwver";
const char kHardwareCopy[] = "/tmp/ver_hardware";
const char kCat[] = "/tmp/bin/cat";

// A kernel file can read back empty while its driver is still filling it, so
// the copy is repeated a few times before we settle for what is there.
const int kCopyAttempts = 5;

const size_t kEnvLineMax = 150;      // lines this long or longer are refused
const size_t kSoftwareLineMax = 148; // only the head of /proc/ver/software matters
const size_t kHardwareTextMax = 99;
const size_t kSetEnvMax = 256;     // what the boot environment accepts in one write
const size_t kSetEnvOverhead = 27; // the echo command around name and value

// Room for a resolved (and possibly quoted) path; a root that does not fit
// is refused by platform_path rather than cut.
const size_t kPathMax = 1024;

struct CloseFile {
    void operator()(FILE *f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, CloseFile>;

// A copy this run made in /tmp, or nothing when it is not the program's own
// any more.
File open_copy(const char *path)
{
    int fd = platform_open_private(path);
    FILE *f = fd >= 0 ? fdopen(fd, "r") : nullptr;
    if (f == nullptr && fd >= 0)
        close(fd);
    return File(f);
}

// Copies a kernel file; a copy that comes out empty is made again.
int copy_kernel_file(const char *from, const char *to)
{
    for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
        long long size = 0;
        if (cat_copy(from, to, &size) != 0)
            return -1;
        if (size > 0)
            break;
    }
    return 0;
}

// Reads up to the next '\n' however long the line is, so that an overlong
// line is judged as a whole instead of coming back as several short ones.
// Keeps the first size - 1 characters in buf and the full length in *len.
// Returns false when the file ended before a '\n'.
bool read_line(FILE *f, char *buf, size_t size, size_t *len)
{
    size_t n = 0;
    int c;
    while ((c = getc(f)) != EOF && c != '\n') {
        if (n + 1 < size)
            buf[n] = static_cast<char>(c);
        ++n;
    }
    buf[n < size ? n : size - 1] = '\0';
    *len = n;
    return c == '\n';
}

void copy_text(char *dst, size_t size, const char *src)
{
    size_t len = strnlen(src, size - 1);
    memcpy(dst, src, len);
    dst[len] = '\0';
}

void store_text(env_info *entry, const char *name, const char *value)
{
    copy_text(entry->name, sizeof(entry->name), name);
    copy_text(entry->value, sizeof(entry->value), value);
}

bool is_text_name(const char *name)
{
    // MtdStaging: where a layout move cut short left mtd3/mtd4 (staging.h).
    static const char *const kNames[] = {"MID_VERSION", "SW_OEM", "SW_protect", "Mtd2Version",
                                         "MtdStaging"};
    for (const char *known : kNames)
        if (strcmp(name, known) == 0)
            return true;
    return false;
}

bool is_mtd_name(const char *name)
{
    return strncmp(name, "mtd", 3) == 0 && name[3] >= '0' && name[3] <= '9' && name[4] == '\0';
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One "%x" conversion: blanks, an optional 0x, hex digits. Unlike sscanf it
// refuses a number that does not fit 32 bits instead of wrapping it into a
// wrong flash address.
const char *parse_hex(const char *p, uint32_t *out)
{
    while (*p == ' ' || *p == '\t')
        ++p;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hex_digit(p[2]) >= 0)
        p += 2;
    if (hex_digit(*p) < 0)
        return nullptr;
    uint32_t v = 0;
    for (; hex_digit(*p) >= 0; ++p) {
        if (v > 0x0FFFFFFFu)
            return nullptr;
        v = (v << 4) | static_cast<uint32_t>(hex_digit(*p));
    }
    *out = v;
    return p;
}

// "start,end" as the boot loader writes it; anything after end is ignored.
bool parse_range(const char *value, uint32_t *start, uint32_t *end)
{
    const char *p = parse_hex(value, start);
    return p != nullptr && *p == ',' && parse_hex(p + 1, end) != nullptr;
}

// The whole flash: no partition is larger.
const uint32_t kFlashSize = 0x800000;

} // namespace

int read_boot_env(FILE *f, env_info *table)
{
    int used = 0;
    char line[kEnvLineMax];
    size_t len;
    while (read_line(f, line, sizeof(line), &len)) {
        if (used >= ENV_TABLE_SIZE) {
            rl_log_err("env data too many\n");
            continue;
        }
        if (len >= kEnvLineMax) {
            rl_log_err("env data too long\n");
            continue;
        }
        char *sep = strpbrk(line, " \t");
        if (sep == nullptr) {
            rl_log_err("invalid env\n");
            continue;
        }
        *sep = '\0';
        const char *name = line;
        const char *value = sep + 1;
        if (strlen(name) >= ENV_NAME_SIZE) {
            rl_log_err("env name too long\n");
            continue;
        }
        if (strlen(value) >= ENV_VALUE_SIZE) {
            rl_log_err("env value too long\n");
            continue;
        }
        rl_log_debug("pvar:%s pval:%s\n", name, value);
        if (is_text_name(name)) {
            store_text(&table[used++], name, value);
        } else if (is_mtd_name(name)) {
            uint32_t start;
            uint32_t end;
            if (!parse_range(value, &start, &end))
                continue;
            // A range running backwards or beyond the flash would give a
            // wrapped or impossible size; without the entry the partition is
            // simply missing.
            if (end < start || end - start > kFlashSize) {
                rl_log_err("%s range %x,%x refused\n", name, start, end);
                continue;
            }
            env_info *entry = &table[used++];
            copy_text(entry->name, sizeof(entry->name), name);
            entry->start_addr = start;
            entry->end_addr = end;
        }
    }
    return used;
}

namespace
{

int read_versions(env_info *table, int used)
{
    struct VersionKey {
        const char *key;
        const char *file;
    };
    static const VersionKey kKeys[] = {
        {"RomVersion", "/app/version.conf"},
        {"Mtd6Version", "/app/version.conf"},
        {"Mtd5Version", "/basic/version.conf"},
        {"Mtd0Version", "/version.conf"},
    };
    for (const VersionKey &k : kKeys) {
        char path[kPathMax];
        char value[ENV_VALUE_SIZE];
        if (used >= ENV_TABLE_SIZE || platform_path(k.file, path, sizeof(path)) != 0)
            continue;
        if (read_profile_string("Version", k.key, value, sizeof(value), nullptr, path) != 1)
            continue;
        store_text(&table[used++], k.key, value);
        rl_log_debug("%s:%s\n", k.key, value);
    }
    return used;
}

// Text that sits inside double quotes in a shell command must not be able to
// end the quotes or expand anything there.
bool quotable(const char *text)
{
    return strpbrk(text, "\"\\$`\n") == nullptr;
}

} // namespace

int read_env(env_info *table)
{
    if (table == nullptr)
        return -1;
    if (copy_kernel_file(kEnvFile, kEnvCopy) != 0)
        return -1;
    int used;
    {
        File env = open_copy(kEnvCopy);
        if (!env)
            return kReadEnvFailed;
        used = read_boot_env(env.get(), table);
    }
    used = read_versions(table, used);

    if (copy_kernel_file(kSoftwareFile, kSoftwareCopy) != 0)
        return -1;
    File software = open_copy(kSoftwareCopy);
    if (!software)
        return kReadEnvFailed;
    return read_software_version(software.get(), table, used);
}

int read_software_version(FILE *f, env_info *table, int used)
{
    char head[kSoftwareLineMax + 1];
    size_t len;
    read_line(f, head, sizeof(head), &len);
    char *comma = strchr(head, ',');
    if (comma == nullptr)
        return kReadEnvFailed;
    *comma = '\0';
    if (used >= 0 && used < ENV_TABLE_SIZE) {
        env_info *entry = &table[used];
        store_text(entry, "Mtd1Version", head);
        rl_log_debug("%s:%s\n", entry->name, entry->value);
    }
    return 0;
}

int cat_copy(const char *from, const char *to, long long *size)
{
    char cat[kPathMax], src[kPathMax], quoted[3][kPathMax];
    if (platform_shell_path(kCat, quoted[0], kPathMax) != 0 ||
        platform_shell_path(from, quoted[1], kPathMax) != 0 ||
        platform_shell_path(to, quoted[2], kPathMax) != 0 ||
        platform_path(kCat, cat, sizeof(cat)) != 0 || platform_path(from, src, sizeof(src)) != 0) {
        rl_log_err("copy of %s: path too long under the root\n", from);
        return -1;
    }
    // The log shows the command as it would be typed; it is run without a
    // shell, its output going straight into the new file.
    char cmd[3 * kPathMax + 8];
    snprintf(cmd, sizeof(cmd), "%s %s > %s", quoted[0], quoted[1], quoted[2]);
    rl_log_info("shellcmd:%s\n", cmd);
    if (!platform_own_tool(kCat)) {
        rl_log_err("%s is not the copy this program made; not run\n", kCat);
        return -1;
    }
    UniqueFd out(platform_create_private(to, 0600));
    if (!out.valid()) {
        rl_log_err("%s could not be made\n", to);
        return -1;
    }
    const int status = platform_run_output(cat, src, out.get());
    struct stat st;
    *size = fstat(out.get(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
    return system_return_check(status);
}

int get_mtd_info(const env_info *table, const char *name, unsigned int *index)
{
    if (table == nullptr || name == nullptr || index == nullptr)
        return -1;
    // No entry can hold a longer name; and bounding the comparison by the
    // field keeps us inside an entry whose name the caller left unterminated.
    if (strlen(name) >= ENV_NAME_SIZE)
        return -1;
    for (unsigned int i = 0; i < ENV_TABLE_SIZE; ++i) {
        if (strncmp(table[i].name, name, ENV_NAME_SIZE) == 0) {
            *index = i;
            return 0;
        }
    }
    return -1;
}

int get_hardware_version(unsigned char *hw)
{
    if (hw == nullptr)
        return -1;
    if (copy_kernel_file(kHardwareFile, kHardwareCopy) != 0)
        return -1;
    File f = open_copy(kHardwareCopy);
    return f ? read_hardware_version(f.get(), hw) : -1;
}

int read_hardware_version(FILE *f, unsigned char *hw)
{
    char text[kHardwareTextMax + 1];
    size_t n = fread(text, 1, kHardwareTextMax, f);
    text[n] = '\0';
    rl_log_debug("hardware_version:%s\n", text);

    int count = 0;
    for (const char *p = text; *p != '\0';) {
        if (*p == '.') {
            ++p;
            continue;
        }
        if (count == HW_VERSION_LEN) {
            rl_log_err("read hwver fail1\n");
            return -1;
        }
        // strtol stops at the '.' that ends the piece, so no copy is needed.
        hw[count++] = static_cast<unsigned char>(strtol(p, nullptr, 10) & 0xFF);
        while (*p != '\0' && *p != '.')
            ++p;
    }
    if (count != HW_VERSION_LEN) {
        rl_log_err("hwver read fail2\n");
        return -1;
    }
    rl_log_info("hw_version: %d.%d.%d.%d.%d.%d.%d.%d\n", hw[0], hw[1], hw[2], hw[3], hw[4], hw[5],
                hw[6], hw[7]);
    return 0;
}

int do_set_env(const char *name, const char *value)
{
    if (name == nullptr) {
        rl_log_err("penv_name NULL!\n");
        return -1;
    }
    if (value == nullptr) {
        rl_log_err("penv_value NULL!\n");
        return -1;
    }
    if (strlen(name) + strlen(value) + kSetEnvOverhead >= kSetEnvMax) {
        rl_log_err("env str too long!\n");
        return -1;
    }
    if (!quotable(name) || !quotable(value)) {
        rl_log_err("env str holds a character the shell would interpret, refused!\n");
        return -1;
    }
    char env[kPathMax];
    if (platform_shell_path(kEnvFile, env, sizeof(env)) != 0) {
        rl_log_err("set env: path too long under the root\n");
        return -1;
    }
    char cmd[kSetEnvMax + kPathMax];
    int n = value[0] != '\0' ? snprintf(cmd, sizeof(cmd), "echo \"%s %s\" >%s ", name, value, env)
                             : snprintf(cmd, sizeof(cmd), "echo \"%s\" >%s ", name, env);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(cmd)) {
        rl_log_err("env str too long!\n");
        return -1;
    }
    rl_log_info("\nshellcmd:%s\n", cmd);
    if (system_return_check(system(cmd)) != 0) {
        rl_log_err("%s shellcmd failed!\n", cmd);
        return -1;
    }
    return 0;
}
