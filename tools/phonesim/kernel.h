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
// Changes to the environment and the flash are saved in DIR/.phonesim at
// once, so they outlive the run like the real boot environment and chip do.
//
// Mounting is a boot: the partition table is made from the mtdN variables
// of the boot environment ("START,END" in hex, with or without 0x), as the
// boot loader passes them to the kernel. A window inside the chip, on 64 KiB
// boundaries and not empty is taken as it is, overlaps and all; a missing or
// malformed one falls back to the profile's window. The table is written to
// DIR/.phonesim/layout, and a partition move rewrites that file too, but a
// move lasts only until the next boot unless the environment says so: the
// mtdN variables are the boot loader's, a move does not rewrite them (nor
// does the program), just as on the telephone.
// Missing state falls back to the profile: an erased chip (all 0xFF), and
// the profile's variables followed by mtd0..mtd9.
//
// Flash operations are numbered from 1 over a mount: each MEMERASE and each
// write on dev/mtdN, each partition move and each line written to
// proc/avalanche/env. Requests refused as malformed (EINVAL, ENOSPC, ENOTTY)
// are none; requests refused by a fault are. When the profile's
// power_cut.op comes, that operation takes part of its effect, as on NOR
// flash cut midway: an erase sets the first half of its range (rounded down
// to whole bytes), a write programs the first half of its bytes, a move or
// an environment line does nothing. Then the power is off: the request and
// every later one fail with EIO and change nothing.
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

#include <array>
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

// One flash operation (see above).
struct FlashOp {
    uint64_t n = 0;
    const char *kind = ""; // "erase", "write", "move" or "env"
    int mtd = -1;          // the partition; -1 for env
    uint32_t offset = 0;   // erase, write: in the partition; move: the new offset in the chip
    uint32_t length = 0;   // erase, write: bytes asked for; move: the new size
    std::string text;      // env: the line as written, without its newline
    bool fault = false;    // a profile fault refused or shortened it
    bool cut = false;      // the power failed during it
};

// What one partition's flash was asked to do over a mount. An erase or a
// write refused by a fault or cut by the power is counted with what it did.
struct FlashCount {
    uint64_t erases = 0;     // MEMERASE requests
    uint64_t erased = 0;     // bytes they erased
    uint64_t programmed = 0; // bytes written
    uint64_t read = 0;       // bytes read from dev/mtdN and dev/mtdblock/N
    FlashCount &operator+=(const FlashCount &o);
};
using FlashCounts = std::array<FlashCount, kPartitions>;

// The time the telephone's chip would take for c, in milliseconds.
double flash_time_ms(const FlashTiming &timing, const FlashCount &c);

// All are called on the kernel's own thread while the requester waits for
// its request to return; they must not touch the mount themselves (the
// kernel serves one request at a time).
struct KernelEvents {
    // A refresh: the 1056 bytes of the frame buffer at that moment.
    std::function<void(const std::vector<uint8_t> &frame)> on_refresh;
    // A line written to proc/avalanche/env, as written, without its newline.
    std::function<void(const std::string &line)> on_env_write;
    // Every flash operation, in order; the cut one is the last.
    std::function<void(const FlashOp &op)> on_flash_op;
    // The power failed during an operation: called after on_flash_op and
    // before the requester gets its answer, so that the telephone can be
    // ended before any of its processes runs on.
    std::function<void()> on_power_cut;
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
    // The power is off from now on: when it returns, no request changes
    // anything any more (a request being served has made its change; one
    // still taking the chip's time, see FlashTiming::delay, fails).
    void power_off();
    // The counts since the mount or the last reset, by partition.
    FlashCounts flash_counts() const;
    void reset_flash_counts();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace phonesim

#endif
