#include "platform/platform.h"

#include <stdlib.h>
#include <string.h>

namespace {

// Fails rather than cut: a truncated path would name another file.
int fail(char *out, size_t size)
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
        return fail(out, size);
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
        return fail(out, size);
    memcpy(out, root, root_len);
    memcpy(out + root_len, path, path_len + 1);
    return 0;
}

int platform_shell_quote(const char *text, char *out, size_t size)
{
    if (text == nullptr || out == nullptr || size == 0)
        return fail(out, size);
    size_t len = strlen(text);
    if (len > 0 && strspn(text, kShellSafe) == len) {
        if (len + 1 > size)
            return fail(out, size);
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
        return fail(out, size);
    for (const char *p = text; *p != '\0'; ++p) {
        // A single quote cannot appear inside single quotes: close, escape, reopen.
        bool ok = *p == '\'' ? put("'\\''", 4) : put(p, 1);
        if (!ok)
            return fail(out, size);
    }
    if (!put("'", 1))
        return fail(out, size);
    out[n] = '\0';
    return 0;
}

int platform_shell_path(const char *path, char *out, size_t size)
{
    char resolved[4096];
    if (platform_path(path, resolved, sizeof(resolved)) != 0)
        return fail(out, size);
    return platform_shell_quote(resolved, out, size);
}
