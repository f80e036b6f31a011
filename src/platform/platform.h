// The program's one door to the outside world.
//
// Every absolute path the program uses (files, devices, kernel files, tools,
// sockets) goes through platform_path, which places it under the directory
// named by the environment variable UPGRADER_ROOT. Unset or empty means "/",
// which is how the program runs on the telephone; the simulated telephone
// points it at a directory tree of its own.
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

#include <stddef.h>

#define UPGRADER_ROOT_ENV "UPGRADER_ROOT"

// Resolves an absolute program path under the root into out (size bytes).
// Relative paths are left as they are: they name files relative to the
// working directory, which the caller chose. Returns 0, or -1 when path or
// out is absent or the result would not fit (out is then an empty string,
// never a cut path).
int platform_path(const char *path, char *out, size_t size);

// Makes text one literal word for /bin/sh. Text made only of characters the
// shell never interprets (letters, digits and "/._-+,:@=") is left as it is,
// so that commands on the telephone read as they always did; anything else
// is put in single quotes. Returns 0, or -1 when the result would not fit.
int platform_shell_quote(const char *text, char *out, size_t size);

// platform_path followed by platform_shell_quote: a path ready to be put
// into a shell command.
int platform_shell_path(const char *path, char *out, size_t size);

#endif
