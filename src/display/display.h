// The LCD hardware and the telephone's LEDs and backlight: the frame buffer
// "/dev/fb0", the LCD refresh file "/proc/glcd/refresh" and the misc
// control device "/dev/misc0", all under the platform root.
#ifndef DISPLAY_DISPLAY_H
#define DISPLAY_DISPLAY_H

#include <stdint.h>
#include <sys/ioctl.h>

extern int fb_fd;           // open frame buffer, -1 when none
extern uint32_t fb_size;    // length of the mapping (the driver's smem_len)
extern unsigned char *fb_buf; // mapped screen memory, null while unmapped

[[nodiscard]] int devctrl_open_lcd(unsigned char **screen);
void devctrl_close_lcd(void);
[[nodiscard]] int devctrl_refresh_lcd(void);
[[nodiscard]] int devctrl_refresh_lcd_Lark(void);
[[nodiscard]] int devctrl_flush_fbdata(const unsigned char *buffer, int length);
int devctrl_get_led(void);
[[nodiscard]] int devctrl_set_led(int mask);
[[nodiscard]] int devctrl_set_led_ex(unsigned char *states);
int devctrl_get_bklight(void);
[[nodiscard]] int devctrl_set_bklight(int value);
[[nodiscard]] int devctrl_set_ext_led(int value);

// The misc device's LED and backlight requests, in the kernel's own ioctl
// encoding so that the cross build yields the driver's numbers
// (MISC_IOCS_LED is 0x80044D07 on the telephone).
#define MISC_IOCS_LED _IOW('M', 7, int)
#define MISC_IOCG_LED _IOR('M', 8, int)
#define MISC_IOCS_BKLIGHT _IOW('M', 9, int)
#define MISC_IOCG_BKLIGHT _IOR('M', 10, int)
#define MISC_IOCS_EXT_LED _IOW('M', 17, int)

// The smallest frame buffer devctrl_open_lcd accepts: one whole LCD picture
// (132 x 64 pixels, one bit each), which the drawing code copies in at once.
#define DEVCTRL_FB_MIN_SIZE 1056u

#endif
