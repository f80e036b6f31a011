// Running and judging the shell commands through which the program copies
// kernel files and partitions.
#ifndef UPGRADER_SHELLCMD_H
#define UPGRADER_SHELLCMD_H

// Judges a status as returned by system(): 0 when the command ran and exited
// with 0; -1 when the status is negative, the command was ended by a signal,
// or it exited with a non-zero code.
[[nodiscard]] int system_return_check(int status);

#endif
