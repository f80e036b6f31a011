// What the flash benchmarks share: a telephone root with phonesim's default
// layout whose simulated kernel the benchmark mounts in its own process,
// payloads for the partitions a full pack writes, the chip read and written
// behind the kernel's back, and the stock MTD tools run against it.
#ifndef BENCH_BENCHPHONE_H
#define BENCH_BENCHPHONE_H

#include "phonesim/kernel.h"
#include "phonesim/profile.h"
#include "upgrader/devenv.h"
#include "upgrader/rompack.h"

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

class CBasicUI;

namespace benchphone
{

// The partitions a full pack writes in the default layout: 117 blocks.
constexpr int kIds[] = {1, 2, 5, 6, 7, 8, 9};
constexpr int kCount = int(sizeof(kIds) / sizeof(kIds[0]));
// Each payload stops short of its partition's end, so that every partition
// also has a last write shorter than a block.
constexpr uint32_t kShort = 0x1234;

double now();
// The rounds asked for on the command line (argv[1]), 5 by default, at least 1.
int rounds_arg(int argc, char **argv);
double median(std::vector<double> v);
double lowest(const std::vector<double> &v);

// Seeded xorshift32: the same bytes on every run and machine.
struct Random {
    uint32_t x;
    uint32_t next()
    {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    }
};

bool put(const std::string &path, const void *data, size_t size);
// Runs a tool without a shell, its errors silenced when quiet; true when it
// exits 0.
bool run(const std::vector<std::string> &args, bool quiet = false);

// Root, mtd-utils' flashcp and a private mount namespace, or a message on
// stderr and false.
bool prepare(const char *who);

struct Phone {
    std::string root;
    phonesim::Paths paths;
    phonesim::Profile profile = phonesim::default_profile();
    env_info table[ENV_TABLE_SIZE]; // as the upgrade reads it from the kernel

    // A telephone root in /tmp named after who, its chip all fill.
    bool make(const char *who, uint8_t fill);
    // Removes the root; the kernel must be unmounted.
    void remove();
    // Mounts the simulated kernel and points the program's paths (and its
    // LCD) at the root; null with a message on failure.
    std::unique_ptr<phonesim::Kernel> boot(phonesim::KernelEvents events);

    std::string device(int id) const { return root + "/dev/mtd" + std::to_string(id); }
    uint32_t size(int id) const { return profile.mtd[id].end - profile.mtd[id].start; }
    uint32_t offset(int id) const { return profile.mtd[id].start - phonesim::kFlashBase; }

    // The chip image or one window of it, straight from the file the kernel
    // maps: nothing is counted, and a request served later sees the change.
    bool read_chip(std::vector<uint8_t> *chip) const;
    bool write_chip(const std::vector<uint8_t> &chip) const;
    bool read_window(int id, std::vector<uint8_t> *data) const;
    bool write_window(int id, const std::vector<uint8_t> &data) const;
};

// A pack of seeded pseudo-random payloads for kIds, each kShort bytes
// shorter than its window, laid out as upgrader_burn_flash takes them.
struct Pack {
    std::vector<uint8_t> bytes;
    std::vector<Partition_Header> headers;
    std::vector<int> flags;
    uint64_t total = 0; // payload bytes

    void make(const Phone &phone, uint32_t seed);
    const uint8_t *payload(int i) const { return bytes.data() + headers[i].partition_offset; }
    uint8_t *payload(int i) { return bytes.data() + headers[i].partition_offset; }
    // What partition kIds[i] holds once written: the payload, then erased
    // flash to the window's end.
    std::vector<uint8_t> image(const Phone &phone, int i) const;
    // Writes each payload (padded: each image) to ROOT/NAME<id>.
    bool save(const Phone &phone, const std::string &name, bool padded,
              std::vector<std::string> *files) const;
    // upgrader_burn_flash over all the partitions, flagged; its result.
    int burn(Phone &phone, CBasicUI *ui) const;
};

// Every partition of the pack holds its image, read behind the kernel's
// back; a message naming way otherwise.
bool holds(const Phone &phone, const Pack &pack, const char *way);

// flashcp OPTIONS FILE /dev/mtdN for each partition, one process each, in
// order; a message naming the partition on the first failure.
bool flashcp(const Phone &phone, const std::vector<std::string> &options,
             const std::vector<std::string> &files);

} // namespace benchphone

#endif
