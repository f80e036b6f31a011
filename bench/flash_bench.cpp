// How fast the flash writer burns a pack compared with the stock MTD tools,
// all against the simulated telephone's kernel and NOR flash.
//
// One run makes a telephone root with the default layout, mounts the
// simulated kernel in this process (a private mount namespace: run as root),
// and burns the same payloads (mtd1, mtd2 and mtd5..mtd9, about 7.3 MiB)
// several rounds in three ways:
//   burn    upgrader_burn_flash, progress bar drawn, each partition read back;
//           flash_verify is also timed alone over the same partitions, so
//           the burn without its read-back is burn - verify; the progress
//           bar's drawing (one refresh per step) is timed alone as well
//   flashcp mtd-utils' flashcp -A per partition (erases the whole partition,
//           writes, reads back)
//   dd      one MEMERASE per 64 KiB block from here, then dd bs=64k
// and prints the medians and the ratios burn/flashcp and burn/dd, with and
// without the read-back. Every way's result is read back and compared
// (outside the timing), so a way that wrote nothing cannot look fast.
//
//   flash_bench [ROUNDS]      (default 5)
#include "upgrader/flash.h"

#include "basicui/basicUI.h"
#include "phonesim/kernel.h"
#include "phonesim/profile.h"
#include "upgrader/requests.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <string>
#include <vector>

extern char **environ;

using namespace phonesim;

namespace
{

const int kIds[] = {1, 2, 5, 6, 7, 8, 9};
const int kCount = int(sizeof(kIds) / sizeof(kIds[0]));
// Each payload stops short of its partition's end, so that every partition
// also has a last write shorter than a block.
const uint32_t kShort = 0x1234;

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

void put(const std::string &path, const void *data, size_t size)
{
    std::ofstream out(path, std::ios::binary);
    out.write(static_cast<const char *>(data), std::streamsize(size));
}

// Runs a tool without a shell; true when it exits 0.
bool run(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The MTD tools live in the administrator's directories.
bool have_tool(const char *name)
{
    std::string path =
        std::string(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin") + ":/usr/sbin:/sbin";
    setenv("PATH", path.c_str(), 1);
    return run({"sh", "-c", std::string("command -v ") + name + " >/dev/null"});
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double lowest(const std::vector<double> &v)
{
    return *std::min_element(v.begin(), v.end());
}

void report(const char *what, double mib, double burn, double verify, double bar, double flashcp,
            double dd)
{
    double bare = burn - verify;
    printf("%-6s burn %.3fs (%.1f MiB/s), verify %.3fs, burn without read-back %.3fs (%.1f "
           "MiB/s), bar %.3fs (%.0f%% of the burn)\n",
           what, burn, mib / burn, verify, bare, mib / bare, bar, 100.0 * bar / burn);
    printf("%-6s flashcp %.3fs (%.1f MiB/s), erase+dd %.3fs (%.1f MiB/s)\n", what, flashcp,
           mib / flashcp, dd, mib / dd);
    printf("%-6s with read-back:    burn/flashcp %.2f  burn/dd %.2f\n", what, burn / flashcp,
           burn / dd);
    printf("%-6s without read-back: burn/flashcp %.2f  burn/dd %.2f\n", what, bare / flashcp,
           bare / dd);
    // The tools draw nothing: the burn's flash work alone, for comparison.
    if (burn > bar)
        printf("%-6s burn less the bar: burn/flashcp %.2f  burn/dd %.2f\n", what,
               (burn - bar) / flashcp, (burn - bar) / dd);
}

struct Bench {
    std::string root;
    Paths paths;
    Profile profile = default_profile();
    std::vector<uint8_t> pack;
    std::vector<Partition_Header> headers;
    std::vector<int> flags;
    env_info table[ENV_TABLE_SIZE];
    std::vector<std::string> payload_files;
    uint64_t total = 0;

    std::string device(int id) const { return root + "/dev/mtd" + std::to_string(id); }
    const uint8_t *payload(int i) const { return pack.data() + headers[i].partition_offset; }

    bool make_root()
    {
        char dir[] = "/tmp/flash_bench.XXXXXX";
        if (mkdtemp(dir) == nullptr)
            return false;
        root = dir;
        paths.root = root;
        mkdir(paths.state().c_str(), 0755);
        mkdir((root + "/dev").c_str(), 0755);
        // Old contents everywhere: a block the way left unerased shows.
        std::vector<uint8_t> chip(kFlashSize, 0x00);
        put(paths.flash(), chip.data(), chip.size());
        std::string layout = format_layout(profile.mtd);
        put(paths.layout(), layout.data(), layout.size());
        put(paths.bootenv(), "", 0);
        std::vector<uint8_t> fb(1056, 0);
        put(root + "/dev/fb0", fb.data(), fb.size());
        put(root + "/dev/misc0", "", 0);
        if (symlink(".phonesim/kernel/proc", (root + "/proc").c_str()) != 0)
            return false;
        for (int i = 0; i < kPartitions; ++i) {
            std::string link = "../.phonesim/kernel/dev/mtd" + std::to_string(i);
            if (symlink(link.c_str(), device(i).c_str()) != 0)
                return false;
        }
        return true;
    }

    void make_pack()
    {
        memset(table, 0, sizeof(table));
        for (int i = 0; i < kPartitions; ++i) {
            snprintf(table[i].name, sizeof(table[i].name), "mtd%d", i);
            table[i].start_addr = profile.mtd[i].start;
            table[i].end_addr = profile.mtd[i].end;
        }
        pack.assign(64, 0); // where the pack's own headers would be
        uint32_t x = 0x12345678;
        for (int id : kIds) {
            Partition_Header h;
            memset(&h, 0, sizeof(h));
            h.partition_id = uint32_t(id);
            h.partition_size = profile.mtd[id].end - profile.mtd[id].start - kShort;
            h.partition_offset = uint32_t(pack.size());
            for (uint32_t b = 0; b < h.partition_size; ++b) {
                x ^= x << 13;
                x ^= x >> 17;
                x ^= x << 5;
                pack.push_back(uint8_t(x));
            }
            headers.push_back(h);
            flags.push_back(1);
            total += h.partition_size;
        }
        for (int i = 0; i < kCount; ++i) {
            std::string file = root + "/payload" + std::to_string(kIds[i]);
            put(file, payload(i), headers[i].partition_size);
            payload_files.push_back(file);
        }
    }

    // Wipes the partitions to zeros behind the ways' backs, so that each way
    // starts from flash that must be erased.
    void dirty()
    {
        std::fstream chip(paths.flash(), std::ios::in | std::ios::out | std::ios::binary);
        for (int id : kIds) {
            std::vector<char> zeros(profile.mtd[id].end - profile.mtd[id].start, 0);
            chip.seekp(profile.mtd[id].start - kFlashBase);
            chip.write(zeros.data(), std::streamsize(zeros.size()));
        }
    }

    // Reads every partition back through the device: the payload, then
    // erased flash.
    bool check(const char *way)
    {
        for (int i = 0; i < kCount; ++i) {
            int id = kIds[i];
            uint32_t size = profile.mtd[id].end - profile.mtd[id].start;
            std::vector<uint8_t> want(payload(i), payload(i) + headers[i].partition_size);
            want.resize(size, 0xFF);
            std::vector<uint8_t> got(size);
            int fd = open(device(id).c_str(), O_RDONLY | O_CLOEXEC);
            ssize_t n = fd >= 0 ? pread(fd, got.data(), size, 0) : -1;
            if (fd >= 0)
                close(fd);
            if (n != ssize_t(size) || got != want) {
                fprintf(stderr, "%s: mtd%d does not hold its payload\n", way, id);
                return false;
            }
        }
        return true;
    }

    double burn()
    {
        CBasicUI ui;
        double t = now();
        int result =
            upgrader_burn_flash(pack.data(), table, kCount, headers.data(), flags.data(), &ui);
        t = now() - t;
        if (result != 0) {
            fprintf(stderr, "burn: %d\n", result);
            return -1;
        }
        return t;
    }

    double verify()
    {
        double t = now();
        for (int i = 0; i < kCount; ++i) {
            int fd = open(device(kIds[i]).c_str(), O_RDWR | O_CLOEXEC);
            int result = fd >= 0 ? flash_verify(fd, payload(i), headers[i].partition_size) : -1;
            if (fd >= 0)
                close(fd);
            if (result != 0) {
                fprintf(stderr, "verify: mtd%d differs\n", kIds[i]);
                return -1;
            }
        }
        return now() - t;
    }

    // The progress bar alone: as many steps as a burn shows.
    double bar()
    {
        int steps = 1;
        for (int i = 0; i < kCount; ++i) {
            int id = kIds[i];
            steps += int((profile.mtd[id].end - profile.mtd[id].start) >> 16);
            steps += int(headers[i].partition_size >> 16);
        }
        CBasicUI ui;
        double t = now();
        for (int k = 0; k < steps; ++k)
            ui.SetUpgradingProgressBar(15 + k * 85 / steps);
        return now() - t;
    }

    double flashcp()
    {
        double t = now();
        for (int i = 0; i < kCount; ++i)
            if (!run({"flashcp", "-A", payload_files[i], device(kIds[i])})) {
                fprintf(stderr, "flashcp failed on mtd%d\n", kIds[i]);
                return -1;
            }
        return now() - t;
    }

    double dd()
    {
        double t = now();
        for (int i = 0; i < kCount; ++i) {
            int id = kIds[i];
            int fd = open(device(id).c_str(), O_RDWR | O_CLOEXEC);
            if (fd < 0)
                return -1;
            uint32_t size = profile.mtd[id].end - profile.mtd[id].start;
            for (uint32_t at = 0; at < size; at += kEraseSize) {
                erase_info_user e = {at, kEraseSize};
                if (ioctl(fd, MEMERASE, &e) != 0) {
                    close(fd);
                    return -1;
                }
            }
            close(fd);
            if (!run({"dd", "if=" + payload_files[i], "of=" + device(id), "bs=64k", "conv=notrunc",
                      "status=none"})) {
                fprintf(stderr, "dd failed on mtd%d\n", id);
                return -1;
            }
        }
        return now() - t;
    }
};

} // namespace

int main(int argc, char **argv)
{
    int rounds = argc > 1 ? atoi(argv[1]) : 5;
    if (rounds < 1)
        rounds = 1;
    if (geteuid() != 0) {
        fprintf(stderr, "flash_bench mounts the simulated kernel: run it as root\n");
        return 2;
    }
    if (!have_tool("flashcp")) {
        fprintf(stderr, "flashcp not found: install mtd-utils\n");
        return 2;
    }
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        fprintf(stderr, "private mount namespace: %s\n", strerror(errno));
        return 2;
    }

    Bench b;
    if (!b.make_root()) {
        fprintf(stderr, "cannot make the telephone root\n");
        return 2;
    }
    setenv("UPGRADER_ROOT", b.root.c_str(), 1);
    b.make_pack();
    std::atomic<int> frames{0};
    KernelEvents events;
    events.on_refresh = [&frames](const std::vector<uint8_t> &) { ++frames; };
    Kernel kernel(b.paths, b.profile, events);
    std::string error;
    if (kernel.mount(&error) != 0) {
        fprintf(stderr, "mount: %s\n", error.c_str());
        return 2;
    }
    CBasicUI ui;
    ui.Init();

    printf("flash_bench: %d partitions, %llu bytes (%.2f MiB), %d rounds\n", kCount,
           (unsigned long long)b.total, double(b.total) / 1048576.0, rounds);
    printf("%5s %10s %10s %10s %10s %10s %10s\n", "round", "burn", "verify", "burn-ver", "bar",
           "flashcp", "dd");
    std::vector<double> burns, verifies, bars, flashcps, dds;
    int status = 0;
    for (int r = 0; r < rounds && status == 0; ++r) {
        b.dirty();
        double tb = b.burn();
        double tv = tb >= 0 && b.check("burn") ? b.verify() : -1;
        double tbar = b.bar();
        b.dirty();
        double tf = b.flashcp();
        if (tf >= 0 && !b.check("flashcp"))
            tf = -1;
        b.dirty();
        double td = b.dd();
        if (td >= 0 && !b.check("dd"))
            td = -1;
        if (tb < 0 || tv < 0 || tf < 0 || td < 0) {
            status = 1;
            break;
        }
        burns.push_back(tb);
        verifies.push_back(tv);
        bars.push_back(tbar);
        flashcps.push_back(tf);
        dds.push_back(td);
        printf("%5d %9.3fs %9.3fs %9.3fs %9.3fs %9.3fs %9.3fs\n", r + 1, tb, tv, tb - tv, tbar, tf,
               td);
    }
    kernel.unmount();
    if (status != 0) {
        fprintf(stderr, "flash_bench: a way failed, no figures\n");
        return 1;
    }

    // Medians say what a run usually costs; the best round is the one least
    // disturbed by the rest of the machine, so the ratios are given for both.
    double mib = double(b.total) / 1048576.0;
    report("median", mib, median(burns), median(verifies), median(bars), median(flashcps),
           median(dds));
    report("best", mib, lowest(burns), lowest(verifies), lowest(bars), lowest(flashcps),
           lowest(dds));
    printf("progress frames drawn in all: %d\n", frames.load());
    std::string rm = "rm -rf '" + b.root + "'";
    if (system(rm.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", b.root.c_str());
    return 0;
}
