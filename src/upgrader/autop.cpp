// 64-bit directory offsets and file sizes: a 32-bit build otherwise cannot
// list a directory whose file system hands out 64-bit offsets (ext4 does).
#define _FILE_OFFSET_BITS 64

#include "upgrader/autop.h"

#include "log/rl_log.h"
#include "platform/platform.h"
#include "upgrader/failure.h"

#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

#define AUTOP_TMP_DIR "/tmp/"
// Room of one entry of the file list: "/tmp/" and the name, NUL included.
#define AUTOP_PATH_SIZE 256
// Commands hold a rooted, quoted path or two; quoting may grow a path by
// a few characters per single quote in a name.
#define AUTOP_CMD_SIZE 8192

class DirCloser
{
  public:
    explicit DirCloser(DIR *dir) : dir_(dir) {}
    ~DirCloser()
    {
        if (dir_ != nullptr)
            closedir(dir_);
    }
    DirCloser(const DirCloser &) = delete;
    DirCloser &operator=(const DirCloser &) = delete;
    DIR *get() const { return dir_; }

  private:
    DIR *dir_;
};

// Finds "RomVersion" in the table; its text, or null (logged).
const char *rom_version(const env_info *table)
{
    unsigned int index = 0;
    if (get_mtd_info(table, "RomVersion", &index) != 0) {
        rl_log_info("RomVersion env isnot exist!\n");
        return nullptr;
    }
    return table[index].value;
}

bool ends_with(const char *name, char last)
{
    size_t len = strlen(name);
    return len > 0 && name[len - 1] == last;
}

// A provisioning file: "*.cfg*g" or "*.conf*f", as the provisioning client
// names what it leaves behind.
bool is_provisioning_name(const char *name)
{
    if (strstr(name, ".cfg") != nullptr && ends_with(name, 'g'))
        return true;
    return strstr(name, ".conf") != nullptr && ends_with(name, 'f');
}

// A regular file itself, not a link to one.
bool is_file_not_link(const char *program_path)
{
    char path[4096];
    struct stat st;
    return platform_path(program_path, path, sizeof(path)) == 0 && lstat(path, &st) == 0 &&
           S_ISREG(st.st_mode);
}

// Gathers up to AUTOP_MAX_FILES provisioning files of /tmp, in the order the
// directory lists them. Returns how many, or -1 when /tmp cannot be read.
int gather(char list[AUTOP_MAX_FILES][AUTOP_PATH_SIZE])
{
    char dir_path[4096];
    DIR *opened = nullptr;
    if (platform_path(AUTOP_TMP_DIR, dir_path, sizeof(dir_path)) == 0)
        opened = opendir(dir_path);
    DirCloser dir(opened);
    if (dir.get() == nullptr) {
        rl_log_err("open /tmp failed!\n");
        return -1;
    }

    int count = 0;
    const struct dirent *entry;
    while ((entry = readdir(dir.get())) != nullptr) {
        char path[AUTOP_PATH_SIZE];
        int len = snprintf(path, sizeof(path), "%s%s", AUTOP_TMP_DIR, entry->d_name);
        if (len < 0 || static_cast<size_t>(len) >= sizeof(path)) {
            // A cut name would be some other file's.
            if (is_provisioning_name(entry->d_name))
                rl_log_warn("%s: %s%s skipped, name too long\n", "config_autop", AUTOP_TMP_DIR,
                            entry->d_name);
            continue;
        }
        if (!is_file_not_link(path) || !is_provisioning_name(entry->d_name))
            continue;
        if (count == AUTOP_MAX_FILES) {
            // The list is full; say what is left out rather than lose it
            // without a trace.
            rl_log_warn("%s: %s skipped, more than %d files\n", "config_autop", path,
                        AUTOP_MAX_FILES);
            continue;
        }
        memcpy(list[count], path, static_cast<size_t>(len) + 1);
        ++count;
    }
    return count;
}

// Runs format with the save file's shell path (and the optional quoted
// argument before it) through system_ex with 3 seconds and 1 retry.
void run(const char *format, const char *save, const char *arg = nullptr)
{
    char command[AUTOP_CMD_SIZE];
    int len = arg != nullptr ? snprintf(command, sizeof(command), format, arg, save)
                             : snprintf(command, sizeof(command), format, save);
    if (len < 0 || static_cast<size_t>(len) >= sizeof(command)) {
        rl_log_err("%s: command too long, not run\n", "config_autop");
        return;
    }
    (void)system_ex(command, 3, 1); // housekeeping never stops the reboot that follows
}

} // namespace

void config_autop(const env_info *table)
{
    const char *version = rom_version(table);
    if (version == nullptr)
        return;
    int numbers[4] = {0, 0, 0, 0};
    sscanf(version, "%d.%d.%d.%d", &numbers[0], &numbers[1], &numbers[2], &numbers[3]);
    if (numbers[2] > 3)
        return;

    char save_path[4096];
    if (platform_path(AUTOP_RETRY_SAVE, save_path, sizeof(save_path)) != 0) {
        rl_log_err("%s: root too long for %s\n", "config_autop", AUTOP_RETRY_SAVE);
        return;
    }
    if (access(save_path, F_OK) == 0) {
        rl_log_err("/config/autop_retry_save.cfg is exist");
        return;
    }

    char list[AUTOP_MAX_FILES][AUTOP_PATH_SIZE];
    int count = gather(list);
    if (count < 0)
        return;

    char save[4096];
    if (platform_shell_path(AUTOP_RETRY_SAVE, save, sizeof(save)) != 0) {
        rl_log_err("%s: root too long for %s\n", "config_autop", AUTOP_RETRY_SAVE);
        return;
    }
    run("touch %s", save);
    for (int i = 0; i < count; ++i) {
        // The names come from whoever could write to /tmp: quoted, each is
        // only ever a file name to the shell, whatever characters it holds.
        char file[4096];
        if (platform_shell_path(list[i], file, sizeof(file)) != 0) {
            rl_log_err("%s: %s skipped, root too long\n", "config_autop", list[i]);
            continue;
        }
        run("cat %s >> %s", save, file);
        run("echo \"  \" >> %s", save);
    }
    run("sed -i \"/.[u,U][r,R][l,L]/ c\\   \"  %s", save);
    run("echo \"Config.Autoprovision.Reboot.Enable = 1 \" >> %s", save);
    rl_log_err("config ok");
}

void config_deleteLineKey8(const env_info *table)
{
    rl_log_info("config_deleteLineKey8");
    const char *version = rom_version(table);
    if (version == nullptr)
        return;
    unsigned char numbers[4] = {0, 0, 0, 0};
    sscanf(version, "%hhu.%hhu.%hhu.%hhu", &numbers[0], &numbers[1], &numbers[2], &numbers[3]);
    if (numbers[0] != 59 || numbers[2] >= 4)
        return;

    char keys[4096];
    if (platform_shell_path(PROGRAMABLE_KEY_CONF, keys, sizeof(keys)) != 0) {
        rl_log_err("%s: root too long for %s\n", "config_deleteLineKey8", PROGRAMABLE_KEY_CONF);
        return;
    }
    rl_log_info("config_deleteLineKey8 excute");
    char command[AUTOP_CMD_SIZE];
    snprintf(command, sizeof(command), "sed -i \"/LINEKEY8/ c\\ [ LINEKEY8_NOUSED ]\" %s ", keys);
    (void)system_ex(command, 3, 1); // housekeeping never stops the reboot that follows
}
