// A temporary platform root for the LCD: the frame buffer and refresh file
// as regular files, the hardware version line, and an empty /dev/input.
#ifndef TESTS_SUPPORT_LCD_ROOT_H
#define TESTS_SUPPORT_LCD_ROOT_H

#include "files.h"
#include "isolation.h"

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

} // namespace testsupport

#endif
