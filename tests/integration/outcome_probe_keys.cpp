// Plays a keypad that sends chosen raw input events, such as a lone release
// or an auto-repeat, which phonesim's key script (press and release pairs)
// cannot: outcome_probe_keys FIFO MARKER CODE:VALUE...
//
// The open of the FIFO waits until a reader has it open, so the events are
// only written once the program listens for keys. When the reader has taken
// every byte, MARKER is created, and the probe then waits to be ended by the
// run (time limit or reboot). Exit 2 for a bad command line, 1 when the
// events could not be written or were not read within a minute.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <vector>

namespace
{

void put_le(uint8_t *at, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        at[i] = uint8_t(value >> (8 * i));
}

bool parse_event(const char *text, std::vector<uint8_t> *events)
{
    unsigned int code = 0;
    int value = 0;
    char tail = 0;
    if (sscanf(text, "%u:%d%c", &code, &value, &tail) != 2 || code > 0xFFFF)
        return false;
    uint8_t event[16] = {};
    put_le(event + 8, 1, 2); // EV_KEY; the time stays 0
    put_le(event + 10, code, 2);
    put_le(event + 12, uint32_t(value), 4);
    events->insert(events->end(), event, event + sizeof(event));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s FIFO MARKER CODE:VALUE...\n", argv[0]);
        return 2;
    }
    std::vector<uint8_t> events;
    for (int i = 3; i < argc; ++i)
        if (!parse_event(argv[i], &events)) {
            fprintf(stderr, "bad event %s\n", argv[i]);
            return 2;
        }

    int fd = open(argv[1], O_WRONLY);
    if (fd < 0) {
        perror(argv[1]);
        return 1;
    }
    // Well below PIPE_BUF: written whole, in this order.
    if (write(fd, events.data(), events.size()) != ssize_t(events.size())) {
        perror("write");
        return 1;
    }
    int pending = 1;
    for (int i = 0; i < 600 && pending > 0; ++i) {
        if (ioctl(fd, FIONREAD, &pending) != 0) {
            perror("FIONREAD");
            return 1;
        }
        if (pending > 0)
            usleep(100 * 1000);
    }
    if (pending > 0) {
        fprintf(stderr, "events not read\n");
        return 1;
    }
    int marker = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (marker < 0) {
        perror(argv[2]);
        return 1;
    }
    close(marker);
    for (;;)
        pause();
}
