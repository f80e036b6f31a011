// The LCD and keypad seen from a test: a temporary platform root with the
// frame buffer and refresh file as regular files, pixels of the 132x64
// one-bit frame buffer, and input events as the keypad driver sends them.
#ifndef TESTS_SUPPORT_LCD_ROOT_H
#define TESTS_SUPPORT_LCD_ROOT_H

#include "files.h"
#include "isolation.h"

#include <stdint.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

namespace testsupport
{

inline void make_lcd_root(const ScopedRoot &root, const char *hwver = "60.0.0.1.0.0.0.0\n")
{
    for (const char *dir : {"/dev", "/dev/input", "/proc", "/proc/glcd", "/proc/misc"})
        mkdir((root / dir).c_str(), 0755);
    put(root / "/dev/fb0", std::string(1056, '\0'));
    put(root / "/proc/glcd/refresh", "");
    put(root / "/proc/misc/hwver", hwver);
}

// 1 where the pixel at (x, y) of a 132x64 frame buffer is ink.
inline int ink_at(const unsigned char *bits, int x, int y)
{
    int i = y * 132 + x;
    return (bits[i / 8] >> (i % 8)) & 1;
}

// A 16-byte input event (EV_KEY) as the keypad driver of a 32-bit system
// delivers it; value 1 press, 0 release, 2 repeat.
inline std::string key_event(uint16_t code, int32_t value)
{
    std::string e(16, '\0');
    uint16_t type = 1;
    memcpy(&e[8], &type, 2);
    memcpy(&e[10], &code, 2);
    memcpy(&e[12], &value, 4);
    return e;
}

} // namespace testsupport

#endif
