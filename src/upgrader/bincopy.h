// Copies of the tools in /tmp that another upgrader may be running.
#ifndef UPGRADER_BINCOPY_H
#define UPGRADER_BINCOPY_H

// Makes the program path target (under the root) a fresh copy of source,
// made by this run: a directory entry by entry, recursively, with symbolic
// links kept as links and regular files with their permissions (never
// writable by others); a single source is copied as the file it leads to.
// The copy is made under a temporary name and then takes target's place in
// one step, so that whatever had the name before (a planted link, file or
// directory of tools) is gone, and another upgrader running the old tools
// keeps running them and finds whole ones the next time. 0, or -1 when
// anything could not be made.
[[nodiscard]] int bincopy(const char *source, const char *target);

#endif
