// 64-bit directory offsets: a 32-bit build otherwise cannot list a
// directory whose file system hands out 64-bit offsets (ext4 does).
#define _FILE_OFFSET_BITS 64

#include "upgrader/bincopy.h"

#include "platform/platform.h"
#include "platform/unique_fd.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

// A tool keeps its permissions, less anything that lets others change it
// or that runs it as someone else.
mode_t tool_mode(const struct stat &st)
{
    return st.st_mode & 0755;
}

// from (a regular file) into the new file to, which must not exist yet.
int copy_file(const char *from, const struct stat &st, const char *to)
{
    UniqueFd in(open(from, O_RDONLY | O_CLOEXEC));
    if (!in.valid())
        return -1;
    UniqueFd out(open(to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid())
        return -1;
    char buf[8192];
    ssize_t n;
    while ((n = read(in.get(), buf, sizeof(buf))) > 0)
        if (platform_write_all(out.get(), buf, static_cast<size_t>(n)) != static_cast<size_t>(n))
            return -1;
    // Closed before it takes its place: a file still open for writing
    // cannot be run (ETXTBSY), and the other upgrader may run it at once.
    if (n < 0 || fchmod(out.get(), tool_mode(st)) != 0 || close(out.release()) != 0)
        return -1;
    return 0;
}

// from into the new entry to: a directory entry by entry, links as links,
// regular files with their permissions; devices and pipes have no business
// among the tools and are left out.
int copy_tree(const char *from, bool follow, const char *to)
{
    struct stat st;
    if ((follow ? stat(from, &st) : lstat(from, &st)) != 0)
        return -1;
    if (S_ISLNK(st.st_mode)) {
        char link[PATH_MAX];
        ssize_t n = readlink(from, link, sizeof(link) - 1);
        if (n < 0)
            return -1;
        link[n] = '\0';
        return symlink(link, to);
    }
    if (S_ISREG(st.st_mode))
        return copy_file(from, st, to);
    if (!S_ISDIR(st.st_mode))
        return 0;
    if (mkdir(to, 0700) != 0)
        return -1;
    DIR *dir = opendir(from);
    if (dir == nullptr)
        return -1;
    int ret = 0;
    while (struct dirent *e = readdir(dir)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        char a[PATH_MAX], b[PATH_MAX];
        if (snprintf(a, sizeof(a), "%s/%s", from, e->d_name) >= static_cast<int>(sizeof(a)) ||
            snprintf(b, sizeof(b), "%s/%s", to, e->d_name) >= static_cast<int>(sizeof(b)) ||
            copy_tree(a, false, b) != 0)
            ret = -1;
    }
    closedir(dir);
    // Opened to others only once it is whole.
    return ret == 0 ? chmod(to, tool_mode(st)) : -1;
}

// Swaps the entries a and b in one step, whatever each of them is; -1 where
// the kernel or the file system cannot.
int exchange(const char *a, const char *b)
{
#if defined(SYS_renameat2)
    const unsigned int kRenameExchange = 1u << 1;
    return static_cast<int>(syscall(SYS_renameat2, AT_FDCWD, a, AT_FDCWD, b, kRenameExchange));
#else
    (void)a;
    (void)b;
    errno = ENOSYS;
    return -1;
#endif
}

// Puts the finished copy made at temp (a program path) into to's place.
// Whoever looks to up finds the old entry or the whole new one; what was
// there before (maybe planted: a link, another user's directory) ends up at
// temp and is removed without following anything in it.
int take_place(const char *temp, const char *to)
{
    char from[PATH_MAX], place[PATH_MAX];
    if (platform_path(temp, from, sizeof(from)) != 0 ||
        platform_path(to, place, sizeof(place)) != 0)
        return -1;
    for (int attempt = 0; attempt < 3; ++attempt) {
        // Nothing there, or a file or link there that a file replaces.
        if (rename(from, place) == 0)
            return 0;
        if (exchange(from, place) == 0) {
            (void)platform_remove(temp); // the old copy, swapped out; a leftover is removed by the next run
            return 0;
        }
        // A kernel or file system that cannot swap: the name is briefly
        // missing. ENOENT: what was there went meanwhile.
        if (errno != ENOENT && platform_remove(to) != 0)
            break;
    }
    (void)platform_remove(temp); // already failing; the next run removes a leftover first
    return -1;
}

} // namespace

int bincopy(const char *source, const char *target)
{
    // Pid-stamped and hidden beside the target: no other upgrader makes the
    // same name, and whatever was planted under it is removed first.
    const char *slash = strrchr(target, '/');
    const int dir_len = slash != nullptr ? static_cast<int>(slash - target + 1) : 0;
    char temp[PATH_MAX];
    int n = snprintf(temp, sizeof(temp), "%.*s.%s.%d.new", dir_len, target, target + dir_len,
                     int(getpid()));
    char from[PATH_MAX], made[PATH_MAX];
    if (n <= 0 || static_cast<size_t>(n) >= sizeof(temp) ||
        platform_path(source, from, sizeof(from)) != 0 ||
        platform_path(temp, made, sizeof(made)) != 0 || platform_remove(temp) != 0)
        return -1;
    if (copy_tree(from, true, made) != 0) {
        (void)platform_remove(temp); // already failing; the next run removes a leftover first
        return -1;
    }
    return take_place(temp, target);
}
