// The simulated telephone's kernel: a FUSE file system mounted at
// DIR/.phonesim/kernel that serves what the real kernel serves, and to which
// DIR/proc and DIR/dev/mtd* lead:
//   proc/avalanche/env   boot environment: reads "NAME VALUE" lines; a written
//                        line "NAME VALUE" sets one, a name alone removes it
//   proc/misc/hwver, proc/ver/software
//   proc/glcd/refresh    writing "1" captures DIR/dev/fb0 as one frame before
//                        the write returns
//   dev/mtd0..9          windows of the chip image: read, NOR write (bits only
//                        go 1 -> 0), MEMGETINFO, MEMERASE, the partition query
//                        and move requests (when the profile supports them)
//   dev/mtdblock/3, 4    read-only views of the same windows
// Changes to the environment and the layout are saved in DIR/.phonesim at
// once, so they outlive the run like the real boot environment does.
//
// The mtdN variables of the boot environment are ordinary variables: the
// boot loader owns them, and a partition move changes the window the kernel
// serves without rewriting them (nor does the program rewrite them), just as
// on the telephone, where the environment is the boot loader's alone.
// Missing state falls back to the profile: an erased chip (all 0xFF), the
// profile's windows, and the profile's variables followed by mtd0..mtd9.
//
// Faults from the profile apply on every matching request: "open" fails
// opening dev/mtdN with EIO; "erase" fails a MEMERASE covering the block;
// "write" fails a write touching the block with EIO and stores nothing;
// "short_write" stores and reports half of such a write (at least a byte).
#ifndef PHONESIM_KERNEL_H
#define PHONESIM_KERNEL_H

#include "phonesim/profile.h"

#include <stdint.h>
#include <sys/ioctl.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace phonesim
{

// The platform's two partition requests on /dev/mtdN, in this host's ioctl
// encoding (the program uses the same macros, so on the PC it sends these):
// the query takes a null argument and answers 0 when partitions can be
// moved; the move takes {offset into the chip, size}, both 64 KiB multiples.
struct MtdRepairArg {
    uint32_t offset;
    uint32_t size;
};
constexpr unsigned long kMtdRepairQuery = _IOR('M', 0x12, int);
constexpr unsigned long kMtdAddrRepair = _IOW('M', 0x11, MtdRepairArg);

// Both are called on the kernel's own thread while the writer waits for its
// write to return; they must not touch the mount themselves (the kernel
// serves one request at a time).
struct KernelEvents {
    // A refresh: the 1056 bytes of the frame buffer at that moment.
    std::function<void(const std::vector<uint8_t> &frame)> on_refresh;
    // A line written to proc/avalanche/env, as written, without its newline.
    std::function<void(const std::string &line)> on_env_write;
};

class Kernel
{
  public:
    Kernel(const Paths &paths, const Profile &profile, KernelEvents events);
    ~Kernel(); // unmounts
    Kernel(const Kernel &) = delete;
    Kernel &operator=(const Kernel &) = delete;
    // Mounts at paths.kernel() and serves requests on a thread of its own.
    // 0, or -1 with *error set. The caller is expected to be in a private
    // mount namespace, with /dev/fuse reachable. The mount holds proc/... and
    // dev/mtdN, dev/mtdblock/N as listed above.
    int mount(std::string *error);
    // Aborts the connection, so it returns even while files on the mount are
    // open (their users then get ENOTCONN); waits for a request being served.
    void unmount();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace phonesim

#endif
