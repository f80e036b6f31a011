// Plays a peer of the upgrader inside a simulated telephone.
//
//   probe locks KEY... -- COMMAND [ARGS]: another upgrader owning locks takes
//     each semaphore key by try-lock (no exit undoes it), then becomes
//     COMMAND, so that the locks stay taken while it runs.
//   probe keys FIFO MARKER EVENTS: a keypad sending raw events (a lone
//     release, an auto-repeat), which phonesim's key script of press and
//     release pairs cannot. The open of the FIFO waits for a reader, so the
//     events are written once the program listens; MARKER is made once the
//     reader has taken them all, then the probe waits to be ended.
#include "semctrl/semctrl.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc > 2 && strcmp(argv[1], "locks") == 0) {
        int i = 2;
        for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
            int semid = binary_sem_create_key(key_t(strtoul(argv[i], nullptr, 0)));
            if (semid < 0 || try_lock_binary_sem(semid) != 0)
                return 99;
        }
        if (i + 1 < argc)
            execv(argv[i + 1], argv + i + 1);
        return 127;
    }
    if (argc != 5 || strcmp(argv[1], "keys") != 0)
        return 2;
    char events[512]; // well below PIPE_BUF: written whole, in order
    int in = open(argv[4], O_RDONLY), fd = open(argv[2], O_WRONLY);
    ssize_t n = read(in, events, sizeof(events));
    if (n <= 0 || write(fd, events, size_t(n)) != n)
        return 1;
    for (int pending = 1; pending > 0; usleep(100 * 1000))
        if (ioctl(fd, FIONREAD, &pending) != 0)
            return 1;
    close(open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644));
    for (;;)
        pause();
}
