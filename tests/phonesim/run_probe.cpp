// A small program run inside a simulated telephone by the run tests: it meets
// the telephone through the program's own units, as the upgrader does.
//   run_probe         logs a line, prints the shared upgrade memory and args
//   run_probe report  also logs an error, broadcasts message 4/2, draws a
//                     frame, writes the boot environment and a file in /tmp
#include "libipc/ipc.h"
#include "libupgrader/libupgrader.h"
#include "log/rl_log.h"
#include "platform/platform.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace
{

bool write_to(const char *path, const void *data, size_t size, int flags)
{
    char real[4096];
    if (platform_path(path, real, sizeof(real)) != 0)
        return false;
    int fd = open(real, flags, 0644);
    if (fd < 0)
        return false;
    bool ok = write(fd, data, size) == static_cast<ssize_t>(size);
    close(fd);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    rl_log_init("probe", 7);
    rl_log_info("probe args %d", argc - 1);
    if (argc > 1 && strcmp(argv[1], "report") == 0) {
        rl_log_err("probe error %s", "line");
        ipc_register(6);
        ipc_broadcast(4, 2, 0, nullptr, 0);
        unsigned char frame[1056];
        for (size_t i = 0; i < sizeof(frame); ++i)
            frame[i] = static_cast<unsigned char>(i * 7);
        if (!write_to("/dev/fb0", frame, sizeof(frame), O_WRONLY) ||
            !write_to("/proc/glcd/refresh", "1", 1, O_WRONLY) ||
            !write_to("/proc/avalanche/env", "SW_OEM 9\n", 9, O_WRONLY) ||
            !write_to("/tmp/probe.txt", "made", 4, O_WRONLY | O_CREAT | O_TRUNC)) {
            perror("probe");
            return 1;
        }
    }
    if (void *shm = get_share_memory()) {
        const unsigned char *rom =
            static_cast<const unsigned char *>(libupd_get_rom_start_addr(shm));
        printf("state %d rom %02x%02x%02x%02x\n", libupd_get_state(shm), rom[0], rom[1], rom[2],
               rom[3]);
    } else {
        printf("no shared memory\n");
    }
    printf("args:");
    for (int i = 1; i < argc; ++i)
        printf(" %s", argv[i]);
    printf("\n");
    return 0;
}
