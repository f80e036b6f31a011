// Run inside a simulated telephone by the DisplayRun tests: drives the LCD,
// the LEDs and the backlight through the display unit alone.
//   display_probe   draws pattern A and refreshes, draws pattern B and
//                   refreshes the Lark way, sets LED 5 and backlight 1
// Pattern A is byte i = i * 13 + 5, pattern B its complement.
#include "display/display.h"

#include <stdio.h>

int main()
{
    unsigned char *screen = nullptr;
    if (devctrl_open_lcd(&screen) != 0 || screen == nullptr || fb_size < 1056) {
        fprintf(stderr, "display_probe: no frame buffer\n");
        return 1;
    }
    for (unsigned i = 0; i < 1056; ++i)
        screen[i] = static_cast<unsigned char>(i * 13 + 5);
    if (devctrl_refresh_lcd() != 0) {
        fprintf(stderr, "display_probe: refresh failed\n");
        return 2;
    }
    for (unsigned i = 0; i < 1056; ++i)
        screen[i] = static_cast<unsigned char>(~(i * 13 + 5));
    if (devctrl_refresh_lcd_Lark() != 0) {
        fprintf(stderr, "display_probe: Lark refresh failed\n");
        return 3;
    }
    if (devctrl_set_led(5) != 0 || devctrl_set_bklight(1) != 0) {
        fprintf(stderr, "display_probe: misc requests failed\n");
        return 4;
    }
    devctrl_close_lcd();
    return 0;
}
