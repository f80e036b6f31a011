// 64-bit directory offsets: a 32-bit build otherwise cannot list a
// directory whose file system hands out 64-bit offsets (ext4 does).
#define _FILE_OFFSET_BITS 64

#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace
{

// Fails rather than cut: a truncated path would name another file. Leaves
// out empty; -1.
int empty_out(char *out, size_t size)
{
    if (out != nullptr && size > 0)
        out[0] = '\0';
    return -1;
}

const char kShellSafe[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+,:@=";

} // namespace

int platform_path(const char *path, char *out, size_t size)
{
    if (path == nullptr || out == nullptr || size == 0)
        return empty_out(out, size);
    // The root is read on every call: it is the environment's, not ours.
    const char *root = "";
    size_t root_len = 0;
    if (path[0] == '/') {
        const char *env = getenv(UPGRADER_ROOT_ENV);
        if (env != nullptr) {
            root = env;
            root_len = strlen(env);
            while (root_len > 0 && env[root_len - 1] == '/')
                --root_len;
        }
    }
    size_t path_len = strlen(path);
    if (root_len + path_len + 1 > size)
        return empty_out(out, size);
    memcpy(out, root, root_len);
    memcpy(out + root_len, path, path_len + 1);
    return 0;
}

const char *platform_unroot(const char *path)
{
    if (path == nullptr)
        return nullptr;
    const char *env = getenv(UPGRADER_ROOT_ENV);
    if (env == nullptr)
        return path;
    size_t root_len = strlen(env);
    while (root_len > 0 && env[root_len - 1] == '/')
        --root_len;
    if (root_len == 0 || strncmp(path, env, root_len) != 0 || path[root_len] != '/')
        return path;
    return path + root_len;
}

int platform_open(const char *path, int flags)
{
    char real[4096];
    if (platform_path(path, real, sizeof(real)) != 0)
        return -1;
    return open(real, flags);
}

int platform_shell_quote(const char *text, char *out, size_t size)
{
    if (text == nullptr || out == nullptr || size == 0)
        return empty_out(out, size);
    size_t len = strlen(text);
    if (len > 0 && strspn(text, kShellSafe) == len) {
        if (len + 1 > size)
            return empty_out(out, size);
        memcpy(out, text, len + 1);
        return 0;
    }
    size_t n = 0;
    auto put = [&](const char *s, size_t len) {
        if (n + len + 1 > size)
            return false;
        memcpy(out + n, s, len);
        n += len;
        return true;
    };
    if (!put("'", 1))
        return empty_out(out, size);
    for (const char *p = text; *p != '\0'; ++p) {
        // A single quote cannot appear inside single quotes: close, escape, reopen.
        bool ok = *p == '\'' ? put("'\\''", 4) : put(p, 1);
        if (!ok)
            return empty_out(out, size);
    }
    if (!put("'", 1))
        return empty_out(out, size);
    out[n] = '\0';
    return 0;
}

int platform_shell_path(const char *path, char *out, size_t size)
{
    char resolved[4096];
    if (platform_path(path, resolved, sizeof(resolved)) != 0)
        return empty_out(out, size);
    return platform_shell_quote(resolved, out, size);
}

namespace
{

// One request never asks for more than this, so that a length beyond what
// ssize_t holds on a 32-bit target cannot be passed to write.
const size_t kMaxRequest = 0x40000000u;

} // namespace

size_t platform_write_all(int fd, const void *data, size_t size)
{
    const char *at = static_cast<const char *>(data);
    size_t done = 0;
    while (done < size) {
        size_t left = size - done;
        ssize_t n = write(fd, at + done, left < kMaxRequest ? left : kMaxRequest);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return done;
}

namespace
{

// Deeper than any tree the program makes; a planted one deeper still is
// left in part rather than followed without end.
const int kMaxRemoveDepth = 32;

// Removes name in the directory dir_fd (AT_FDCWD and a whole path also
// serve). A link is removed itself; a directory is opened without following
// a link in its place, so a swap under our feet makes the open fail instead
// of leading us elsewhere.
int remove_at(int dir_fd, const char *name, int depth)
{
    if (unlinkat(dir_fd, name, 0) == 0 || errno == ENOENT)
        return 0;
    if ((errno != EISDIR && errno != EPERM) || depth > kMaxRemoveDepth)
        return -1;
    int fd = openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    DIR *dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return -1;
    }
    // Entries removed while the directory is read may hide others from
    // the same pass: read it again while a pass still removes something
    // (a bounded number of times: someone may be adding entries).
    bool removed = true;
    for (int pass = 0; removed && pass < 4; ++pass) {
        removed = false;
        rewinddir(dir);
        while (struct dirent *e = readdir(dir))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0 &&
                remove_at(dirfd(dir), e->d_name, depth + 1) == 0)
                removed = true;
    }
    closedir(dir);
    return unlinkat(dir_fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT ? 0 : -1;
}

} // namespace

int platform_remove(const char *path)
{
    char real[4096];
    if (platform_path(path, real, sizeof(real)) != 0)
        return -1;
    return remove_at(AT_FDCWD, real, 0);
}

int platform_create_private(const char *path, unsigned int mode)
{
    char real[4096];
    if (platform_path(path, real, sizeof(real)) != 0 || remove_at(AT_FDCWD, real, 0) != 0)
        return -1;
    const mode_t owner = static_cast<mode_t>(mode & 0700);
    int fd = open(real, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, owner);
    // The umask may have taken bits the file needs (the carried upgrader
    // must stay executable).
    if (fd >= 0 && fchmod(fd, owner) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int platform_open_private(const char *path)
{
    int fd = platform_open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
                    (st.st_mode & 022) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

int platform_own_tool(const char *path)
{
    char real[4096];
    const char *slash = nullptr;
    if (platform_path(path, real, sizeof(real)) != 0 || (slash = strrchr(real, '/')) == nullptr)
        return 0;
    std::string dir(real, static_cast<size_t>(slash - real));
    struct stat d, t;
    const uid_t self = geteuid();
    return lstat(dir.empty() ? "/" : dir.c_str(), &d) == 0 && S_ISDIR(d.st_mode) &&
           d.st_uid == self && (d.st_mode & 022) == 0 && stat(real, &t) == 0 &&
           S_ISREG(t.st_mode) && (t.st_uid == self || t.st_uid == 0) && (t.st_mode & 022) == 0;
}

int platform_run_output(const char *program, const char *arg, int out_fd)
{
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        if (dup2(out_fd, STDOUT_FILENO) >= 0)
            execl(program, program, arg, static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return status;
}

double platform_pause_scale(void)
{
    const char *env = getenv(UPGRADER_PAUSE_SCALE_ENV);
    if (env == nullptr || env[0] == '\0')
        return 1.0;
    char *end = nullptr;
    double scale = strtod(env, &end);
    // A malformed scale must not turn the telephone's waits into none.
    if (end == env || *end != '\0' || !(scale >= 0.0) || scale > 1000.0)
        return 1.0;
    return scale;
}

namespace
{

void sleep_ns(double ns)
{
    if (ns <= 0.0)
        return;
    timespec left;
    left.tv_sec = static_cast<time_t>(ns / 1e9);
    left.tv_nsec = static_cast<long>(ns - static_cast<double>(left.tv_sec) * 1e9);
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// A regular file standing where the program expects a device node.
bool is_device_image(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

int append_line(int fd, const char *line)
{
    size_t len = strlen(line);
    // O_APPEND is not assumed: the device was opened read-write like the
    // real one, so the line goes after whatever the image holds.
    if (lseek(fd, 0, SEEK_END) < 0)
        return -1;
    return write(fd, line, len) == static_cast<ssize_t>(len) ? 0 : -1;
}

} // namespace

void platform_pause(unsigned int seconds)
{
    sleep_ns(1e9 * seconds * platform_pause_scale());
}

void platform_pause_ms(unsigned int milliseconds)
{
    sleep_ns(1e6 * milliseconds * platform_pause_scale());
}

unsigned int platform_wait_limit_ms(unsigned int seconds)
{
    const double floor_ms = 2000.0;
    double ms = 1000.0 * seconds * platform_pause_scale();
    return static_cast<unsigned int>(ms > floor_ms ? ms : floor_ms);
}

int platform_misc_set(int fd, unsigned long request, const char *name, int value)
{
    if (!is_device_image(fd))
        return ioctl(fd, request, value);
    char line[128];
    snprintf(line, sizeof(line), "%s %d\n", name != nullptr ? name : "?", value);
    return append_line(fd, line);
}

int platform_misc_get(int fd, unsigned long request, const char *name, int *value)
{
    if (!is_device_image(fd))
        return ioctl(fd, request, value);
    char line[128];
    snprintf(line, sizeof(line), "%s\n", name != nullptr ? name : "?");
    if (value != nullptr)
        *value = 0;
    return append_line(fd, line);
}

int platform_fb_info(int fd, unsigned int *smem_len)
{
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (smem_len != nullptr)
            *smem_len = static_cast<unsigned int>(st.st_size);
        return 0;
    }
    fb_fix_screeninfo fix;
    memset(&fix, 0, sizeof(fix));
    if (ioctl(fd, FBIOGET_FSCREENINFO, &fix) != 0)
        return -1;
    fb_var_screeninfo var;
    memset(&var, 0, sizeof(var));
    if (ioctl(fd, FBIOGET_VSCREENINFO, &var) != 0)
        return -2;
    if (smem_len != nullptr)
        *smem_len = fix.smem_len;
    return 0;
}
