// Run inside a simulated telephone by the run tests: meets the telephone
// through the program's own units, as the upgrader does. Logs an info and an
// error line, broadcasts message 4/2, draws a frame (byte i = i * 7), sets
// SW_OEM 9 in the boot environment and makes /tmp/probe.txt.
#include "libipc/ipc.h"
#include "log/rl_log.h"
#include "platform/platform.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

static bool write_to(const char *path, const void *data, size_t size, int flags)
{
    char real[4096];
    if (platform_path(path, real, sizeof(real)) != 0)
        return false;
    int fd = open(real, flags, 0644);
    bool ok = fd >= 0 && write(fd, data, size) == static_cast<ssize_t>(size);
    close(fd);
    return ok;
}

int main()
{
    rl_log_init("probe", 7);
    rl_log_info("probe info %s", "line");
    rl_log_err("probe error %s", "line");
    ipc_register(6);
    ipc_broadcast(4, 2, 0, nullptr, 0);
    unsigned char frame[1056];
    for (size_t i = 0; i < sizeof(frame); ++i)
        frame[i] = static_cast<unsigned char>(i * 7);
    return write_to("/dev/fb0", frame, sizeof(frame), O_WRONLY) &&
                   write_to("/proc/glcd/refresh", "1", 1, O_WRONLY) &&
                   write_to("/proc/avalanche/env", "SW_OEM 9\n", 9, O_WRONLY) &&
                   write_to("/tmp/probe.txt", "made", 4, O_WRONLY | O_CREAT | O_TRUNC)
               ? 0
               : 1;
}
