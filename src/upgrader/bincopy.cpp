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
#include <unistd.h>

namespace
{

// Whether the open files a and b hold the same bytes (their sizes are equal).
bool same_bytes(int a, int b)
{
    char x[8192], y[8192];
    for (;;) {
        ssize_t n = read(a, x, sizeof(x));
        if (n <= 0)
            return n == 0 && read(b, y, 1) == 0;
        if (read(b, y, static_cast<size_t>(n)) != n || memcmp(x, y, static_cast<size_t>(n)) != 0)
            return false;
    }
}

bool same_file(int from, const struct stat &st, const char *to)
{
    struct stat have;
    if (lstat(to, &have) != 0 || !S_ISREG(have.st_mode) || have.st_size != st.st_size ||
        (have.st_mode & 0777) != (st.st_mode & 0777))
        return false;
    UniqueFd fd(open(to, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    return fd.valid() && same_bytes(from, fd.get());
}

// A name beside to that no other process makes: pid-stamped, hidden.
int temporary_name(const char *to, char *out, size_t size)
{
    const char *slash = strrchr(to, '/');
    int dir_len = slash != nullptr ? static_cast<int>(slash - to + 1) : 0;
    int n = snprintf(out, size, "%.*s.%s.%d.new", dir_len, to, to + dir_len, int(getpid()));
    return n > 0 && static_cast<size_t>(n) < size ? 0 : -1;
}

int copy_file(const char *from, const char *to, bool follow)
{
    struct stat st;
    if ((follow ? stat(from, &st) : lstat(from, &st)) != 0)
        return -1;
    char temp[PATH_MAX];
    if (temporary_name(to, temp, sizeof(temp)) != 0)
        return -1;
    if (S_ISLNK(st.st_mode)) {
        char link[PATH_MAX], have[PATH_MAX];
        ssize_t n = readlink(from, link, sizeof(link) - 1);
        if (n < 0)
            return -1;
        link[n] = '\0';
        ssize_t m = readlink(to, have, sizeof(have) - 1);
        if (m == n && memcmp(link, have, static_cast<size_t>(n)) == 0)
            return 0;
        unlink(temp);
        if (symlink(link, temp) == 0 && rename(temp, to) == 0)
            return 0;
        unlink(temp);
        return -1;
    }
    if (!S_ISREG(st.st_mode))
        return 0; // devices and pipes have no business among the tools
    UniqueFd in(open(from, O_RDONLY | O_CLOEXEC));
    if (!in.valid())
        return -1;
    if (same_file(in.get(), st, to))
        return 0;
    if (lseek(in.get(), 0, SEEK_SET) != 0)
        return -1;
    unlink(temp); // left by a process of this ID that ended mid-copy
    UniqueFd out(open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid())
        return -1;
    char buf[8192];
    ssize_t n;
    while ((n = read(in.get(), buf, sizeof(buf))) > 0)
        if (platform_write_all(out.get(), buf, static_cast<size_t>(n)) != static_cast<size_t>(n))
            n = -1;
    // Closed before it takes the name: a file still open for writing cannot
    // be run (ETXTBSY), and the other upgrader may run it at once.
    if (n < 0 || fchmod(out.get(), st.st_mode & 0777) != 0 || close(out.release()) != 0 ||
        rename(temp, to) != 0) {
        unlink(temp);
        return -1;
    }
    return 0;
}

int copy_tree(const char *from, const char *to)
{
    struct stat st;
    if (lstat(from, &st) != 0)
        return -1;
    if (!S_ISDIR(st.st_mode))
        return copy_file(from, to, false);
    if (mkdir(to, st.st_mode & 0777) != 0 && errno != EEXIST)
        return -1;
    if (lstat(to, &st) != 0 || !S_ISDIR(st.st_mode))
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
            copy_tree(a, b) != 0)
            ret = -1;
    }
    closedir(dir);
    return ret;
}

} // namespace

int bincopy(const char *source, const char *target)
{
    char from[PATH_MAX], to[PATH_MAX];
    if (platform_path(source, from, sizeof(from)) != 0 ||
        platform_path(target, to, sizeof(to)) != 0)
        return -1;
    struct stat st;
    if (stat(from, &st) != 0)
        return -1;
    return S_ISDIR(st.st_mode) ? copy_tree(from, to) : copy_file(from, to, true);
}
