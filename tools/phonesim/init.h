// "phonesim init": makes a telephone root from a profile.
#ifndef PHONESIM_INIT_H
#define PHONESIM_INIT_H

#include "phonesim/profile.h"

#include <string>

namespace phonesim {

struct InitOptions {
    std::string program; // installed as /basic/bin/upgrader when not empty
    bool busybox = false; // /bin tools as busybox applets instead of the host's
    // When not empty, the chip image (exactly the chip's size) to start
    // from instead of the erased chip with its signatures; copied as a
    // reflink where the file system shares blocks, else in the kernel.
    std::string chip;
};

// True when path is a chip image init can start from: a regular file of
// the chip's size; false with *error saying why not.
bool chip_image_ok(const std::string &path, std::string *error);

// Creates (or re-creates) DIR: version files, /config samples, /var/ipc,
// /tmp, /bin tools, the umount, reboot and kill-script stand-ins, /dev/fb0,
// /dev/misc0, /dev/input/event0 (FIFO), the links into the kernel
// (DIR/proc, DIR/dev/mtdN, DIR/dev/mtdblock), and the state in
// DIR/.phonesim: profile, flash image, boot environment, layout.
// A DIR that is not empty must be a telephone made before (it has
// .phonesim): it is wiped first. Any other non-empty DIR is refused and left
// alone, as is every DIR when busybox is asked for and not installed, or
// when the chip image given is not a regular file of the chip's size.
// 0, or -1 with *error set.
int init_telephone(const std::string &dir, const Profile &profile, const InitOptions &options,
                   std::string *error);

} // namespace phonesim

#endif
