// Plays a peer of the upgrader inside a simulated telephone:
//
//   probe locks KEY... -- COMMAND [ARGS]
//     another upgrader that owns some locks: takes each semaphore key by
//     try-lock, which no exit undoes, then becomes COMMAND, so that the
//     locks stay taken while it runs.
//   probe keys FIFO MARKER CODE:VALUE...
//     a keypad sending raw events (a lone release, an auto-repeat), which
//     phonesim's key script of press and release pairs cannot. The open of
//     the FIFO waits for a reader, so the events are only written once the
//     program listens; MARKER is made once the reader has taken them all,
//     then the probe waits to be ended by the run.
#include "semctrl/semctrl.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

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
    if (argc < 4 || strcmp(argv[1], "keys") != 0)
        return 2;
    std::string events;
    for (int i = 4; i < argc; ++i) {
        uint16_t type = 1, code = uint16_t(atoi(argv[i])); // EV_KEY; the time stays 0
        int32_t value = atoi(strchr(argv[i], ':') + 1);
        char event[16] = {};
        memcpy(event + 8, &type, 2);
        memcpy(event + 10, &code, 2);
        memcpy(event + 12, &value, 4);
        events.append(event, sizeof(event));
    }
    // Well below PIPE_BUF: written whole, in this order.
    int fd = open(argv[2], O_WRONLY);
    if (fd < 0 || write(fd, events.data(), events.size()) != ssize_t(events.size()))
        return 1;
    for (int pending = 1; pending > 0; usleep(100 * 1000))
        if (ioctl(fd, FIONREAD, &pending) != 0)
            return 1;
    close(open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644));
    for (;;)
        pause();
}
