// Copies of the tools in /tmp that another upgrader may be running.
#ifndef UPGRADER_BINCOPY_H
#define UPGRADER_BINCOPY_H

// Makes the program path target (under the root) hold what source holds:
// a directory entry by entry, recursively, with symbolic links kept as
// links and regular files with their permissions; a single source is
// copied as the file it leads to. An existing file is never written into:
// an entry that differs is made under a temporary name and renamed over it,
// so a process running the old one keeps running it, and an identical
// entry is left alone. 0, or -1 when anything could not be made.
int bincopy(const char *source, const char *target);

#endif
