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
[[nodiscard]] int platform_path(const char *path, char *out, size_t size);

// The program path as the telephone sees it: path with the root in front
// taken away ("DIR/basic/bin/upgrader" -> "/basic/bin/upgrader" when the
// root is DIR), or path itself when it does not lie under the root.
const char *platform_unroot(const char *path);

// open(2) of a program path under the root; -1 also when the path does not
// fit, which to the caller is just a file that cannot be opened.
[[nodiscard]] int platform_open(const char *path, int flags);

// Makes text one literal word for /bin/sh. Text made only of characters the
// shell never interprets (letters, digits and "/._-+,:@=") is left as it is,
// so that commands on the telephone read as they always did; anything else
// is put in single quotes. Returns 0, or -1 when the result would not fit.
[[nodiscard]] int platform_shell_quote(const char *text, char *out, size_t size);

// platform_path followed by platform_shell_quote: a path ready to be put
// into a shell command.
[[nodiscard]] int platform_shell_path(const char *path, char *out, size_t size);

// Writes size bytes of data to fd, going on after short and interrupted
// writes. Returns the number of bytes stored: size, or less when a write
// failed or stored nothing (a device that takes nothing will take nothing the
// next time either).
size_t platform_write_all(int fd, const void *data, size_t size);

// --- files of this run in directories every process can write -------------
//
// /tmp belongs to every process of the telephone. What the program writes
// there it makes itself, in each run, so that nothing planted under one of
// its names (a link into /config, a file someone else can rewrite, a
// directory of tools) receives its writes or is run as one of its files.

// Removes whatever has the program path's name: a file, a link (never what
// it leads to) or a directory with everything in it. 0, also when there was
// nothing; -1 when something is left.
[[nodiscard]] int platform_remove(const char *path);

// Makes the file at the program path anew for this run: whatever had the
// name is removed first, then the file is created exclusively and never
// through a link, with the owner bits of mode (nobody else may read or
// write it). A descriptor open for writing, or -1.
[[nodiscard]] int platform_create_private(const char *path, unsigned int mode);

// Opens the program path for reading when it is the program's own: a
// regular file, not a link, owned by this process's user and writable by
// nobody else. A descriptor, or -1.
[[nodiscard]] int platform_open_private(const char *path);

// 1 when the tool at the program path is still one of the program's copies:
// its directory is not a link, belongs to this process's user and is
// writable by nobody else, and the tool, followed through a link there, is
// a regular file of this user or of root that nobody else can write. 0
// otherwise: the tool must not be run.
[[nodiscard]] int platform_own_tool(const char *path);

// Runs program with its one argument, its standard output going to out_fd;
// no shell, so nothing in the command is interpreted and no redirection
// opens a path. The wait status as system() gives it, or -1 when the
// program could not be started.
[[nodiscard]] int platform_run_output(const char *program, const char *arg, int out_fd);

// --- pauses ---------------------------------------------------------------

#define UPGRADER_PAUSE_SCALE_ENV "UPGRADER_PAUSE_SCALE"

// The program's plain pauses (waiting between retries, before a reboot).
// They are multiplied by UPGRADER_PAUSE_SCALE (default 1; 0 = no wait), so a
// simulated telephone can run an upgrade without its real waiting. Time
// limits of commands are not pauses and are never scaled.
void platform_pause(unsigned int seconds);
// The scale in force: a malformed or negative value counts as 1, so that a
// typing error never takes the telephone's waits away.
double platform_pause_scale(void);
void platform_pause_ms(unsigned int milliseconds);

// The limit, in milliseconds, of a wait for another process that must not
// hang the telephone while its watchdog is closed (a lock held by a peer, the
// kill script). Scaled like the pauses, so a simulated telephone reaches it,
// but never below 2 seconds: at a scale of 0 a peer still gets the time it
// needs for its ordinary work.
unsigned int platform_wait_limit_ms(unsigned int seconds);

// --- device requests ---------------------------------------------------------
//
// The device nodes the program drives may be images in their place: a
// regular file instead of the misc control device or the frame buffer. The
// requests below do on an image what the driver would let the program see.

// A request that passes a value (watchdog, LEDs, backlight). On a character
// device: ioctl(fd, request, value). On a regular file: appends the line
// "NAME VALUE\n" (for example "MISC_IOCS_WATCHDOG 0") and succeeds.
// Returns the ioctl's result, or 0 / -1 for the file.
[[nodiscard]] int platform_misc_set(int fd, unsigned long request, const char *name, int value);

// A request that fills an int (LED state, backlight). On a character device:
// ioctl(fd, request, value). On a regular file: appends "NAME\n" and sets
// *value to 0.
[[nodiscard]] int platform_misc_get(int fd, unsigned long request, const char *name, int *value);

// The frame buffer's memory length (the driver's smem_len), from the fixed
// and variable screen information on a frame buffer device, or the file size
// of an image file. Returns 0; -1 when the fixed information cannot be read;
// -2 when the variable information cannot be read.
[[nodiscard]] int platform_fb_info(int fd, unsigned int *smem_len);

#endif
