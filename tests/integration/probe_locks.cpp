// Stands in for another upgrader that already owns some of the telephone's
// locks: takes each key given by try-lock, which no exit undoes, then
// becomes the command after "--" so that the locks stay taken while it runs.
//
//   probe_locks KEY... -- COMMAND [ARGS]
#include "semctrl/semctrl.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        key_t key = key_t(strtoul(argv[i], nullptr, 0));
        int semid = binary_sem_create_key(key);
        if (semid < 0 || try_lock_binary_sem(semid) != 0) {
            fprintf(stderr, "probe_locks: cannot take key %s\n", argv[i]);
            return 99;
        }
    }
    if (i + 1 >= argc) {
        fprintf(stderr, "usage: probe_locks KEY... -- COMMAND [ARGS]\n");
        return 2;
    }
    execv(argv[i + 1], argv + i + 1);
    perror("probe_locks: exec");
    return 127;
}
