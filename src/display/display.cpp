// Device control behind the LCD drawing: the frame buffer mapping, the
// driver's refresh file and the misc device's LED and backlight requests.
//
// Only the frame buffer stays open and mapped between calls; the refresh
// file and the misc device are opened and closed within every call.
#include "display/display.h"

#include "log/rl_log.h"
#include "platform/platform.h"
#include "platform/unique_fd.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

int fb_fd = -1;
uint32_t fb_size = 0;
unsigned char *fb_buf = nullptr;

namespace
{

const char kFrameBuffer[] = "/dev/fb0";
const char kRefresh[] = "/proc/glcd/refresh";
const char kMisc[] = "/dev/misc0";

using Fd = UniqueFd;

// Opens a program path under the platform root; -1 also when the path does
// not fit, which to the caller is just a device that cannot be opened.
int open_path(const char *path, int flags)
{
    char real[4096];
    if (platform_path(path, real, sizeof(real)) != 0)
        return -1;
    return open(real, flags);
}

struct MiscRequest {
    unsigned long number;
    const char *name;
    const char *failure;
};

const MiscRequest kSetLed = {MISC_IOCS_LED, "MISC_IOCS_LED", "IOCTL MISC_IOCS_LED failed."};
const MiscRequest kGetLed = {MISC_IOCG_LED, "MISC_IOCG_LED", "IOCTL MISC_IOCG_LED failed."};
const MiscRequest kSetBklight = {MISC_IOCS_BKLIGHT, "MISC_IOCS_BKLIGHT",
                                 "IOCTL MISC_IOCS_BKLIGHT failed."};
const MiscRequest kGetBklight = {MISC_IOCG_BKLIGHT, "MISC_IOCG_BKLIGHT",
                                 "IOCTL MISC_IOCG_BKLIGHT failed."};
const MiscRequest kSetExtLed = {MISC_IOCS_EXT_LED, "MISC_IOCS_EXT_LED",
                                "IOCTL MISC_IOCS_EXT_LED failed."};

int misc_set(const MiscRequest &request, int value)
{
    Fd fd(open_path(kMisc, O_RDWR));
    if (!fd.valid()) {
        rl_log_err("open misc ioctl device failed.");
        return -1;
    }
    if (platform_misc_set(fd.get(), request.number, request.name, value) < 0) {
        rl_log_err("%s", request.failure);
        return -1;
    }
    return 0;
}

// A failure reads as 0: callers cannot tell it from a driver value of 0.
int misc_get(const MiscRequest &request)
{
    Fd fd(open_path(kMisc, O_RDWR));
    if (!fd.valid()) {
        rl_log_err("open misc ioctl device failed.");
        return 0;
    }
    int value = 0;
    if (platform_misc_get(fd.get(), request.number, request.name, &value) < 0) {
        rl_log_err("%s", request.failure);
        return 0;
    }
    return value;
}

} // namespace

int devctrl_open_lcd(unsigned char **screen)
{
    if (fb_buf != nullptr)
        return 0;

    Fd fd(open_path(kFrameBuffer, O_RDWR | O_SYNC));
    if (!fd.valid()) {
        rl_log_err("Error opening /dev/fb0\n");
        return -1;
    }
    unsigned int smem_len = 0;
    int info = platform_fb_info(fd.get(), &smem_len);
    if (info == -1) {
        rl_log_err("error: ioctl(FBIOGET_FSCREENINFO) failed\n");
        return -1;
    }
    if (info != 0) {
        rl_log_err("error: ioctl(FBIOGET_VSCREENINFO) failed\n");
        return -1;
    }
    // The drawing code copies a whole picture into the mapping without
    // looking at its length; a smaller frame buffer would be written past
    // its end, so it is refused here rather than faulting later.
    if (smem_len < DEVCTRL_FB_MIN_SIZE) {
        rl_log_err("error: frame buffer of %u bytes is smaller than the %u-byte LCD picture\n",
                   smem_len, DEVCTRL_FB_MIN_SIZE);
        return -1;
    }
    void *map = mmap(nullptr, smem_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (map == MAP_FAILED) {
        rl_log_err("error: unable to mmap framebuffer\n");
        return -1;
    }
    fb_size = smem_len;
    fb_buf = static_cast<unsigned char *>(map);
    fb_fd = fd.release();
    if (screen != nullptr)
        *screen = fb_buf;
    return 0;
}

void devctrl_close_lcd(void)
{
    if (fb_buf == nullptr)
        return;
    munmap(fb_buf, fb_size);
    close(fb_fd);
    fb_fd = -1;
    fb_buf = nullptr;
}

int devctrl_refresh_lcd(void)
{
    Fd fd(open_path(kRefresh, O_RDWR));
    if (!fd.valid()) {
        rl_log_err("open glcd refresh procfs device failed.");
        return -1;
    }
    if (write(fd.get(), "1", 1) < 0) {
        rl_log_err("WRITE GLCD_REFRESH_DEV failed.");
        return -1;
    }
    return 0;
}

int devctrl_refresh_lcd_Lark(void)
{
    char path[4096];
    if (platform_shell_path(kRefresh, path, sizeof(path)) != 0)
        return -1;
    char command[4200];
    int n = snprintf(command, sizeof(command), "echo \"1\" >%s", path);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(command))
        return -1;
    return system(command);
}

int devctrl_flush_fbdata(const unsigned char *buffer, int length)
{
    if (buffer == nullptr || length < 0) {
        rl_log_err("error: no frame buffer data to write\n");
        return -1;
    }
    Fd fd(open_path(kFrameBuffer, O_RDWR));
    if (!fd.valid()) {
        rl_log_err("Error opening /dev/fb0\n");
        return -1;
    }
    ssize_t written = write(fd.get(), buffer, static_cast<size_t>(length));
    if (written < 0) {
        rl_log_err("error: writing %d bytes to /dev/fb0 failed\n", length);
        return -1;
    }
    // Part of a frame is not the picture asked for.
    if (written != length) {
        rl_log_err("error: only %d of %d bytes written to /dev/fb0\n", static_cast<int>(written),
                   length);
        return -1;
    }
    return 0;
}

int devctrl_get_led(void) { return misc_get(kGetLed); }

int devctrl_set_led(int mask) { return misc_set(kSetLed, mask); }

int devctrl_set_led_ex(unsigned char *states)
{
    if (states == nullptr) {
        rl_log_err("error: no LED states given\n");
        return -1;
    }
    // LED 0 keeps only the low bit of its state: its state 3 lights it as 1
    // does, while 3 leaves every other LED dark.
    states[0] &= static_cast<unsigned char>(~0x02u);
    int mask = 0;
    for (int i = 0; i < 5; ++i) {
        int state = (states[i / 4] >> (2 * (i % 4))) & 0x03;
        if (state == 1)
            mask |= 1 << i;
    }
    return misc_set(kSetLed, mask);
}

int devctrl_get_bklight(void) { return misc_get(kGetBklight); }

int devctrl_set_bklight(int value) { return misc_set(kSetBklight, value); }

int devctrl_set_ext_led(int value) { return misc_set(kSetExtLed, value); }
