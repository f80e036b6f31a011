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
//           bar (given every step, drawn when its fill changes) is timed
//           alone as well
//   flashcp mtd-utils' flashcp -A per partition (erases the whole partition,
//           writes, reads back)
//   dd      one MEMERASE per 64 KiB block from here, then dd bs=64k
// and prints the medians and the ratios burn/flashcp and burn/dd, with and
// without the read-back. Every way's result is compared with the payloads
// (outside the timing, from the chip image behind the kernel's back), so a
// way that wrote nothing cannot look fast.
//
//   flash_bench [ROUNDS]      (default 5)
#include "benchphone.h"

#include "basicui/basicUI.h"
#include "upgrader/flash.h"
#include "upgrader/requests.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

using namespace benchphone;

namespace
{

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
    Phone phone;
    Pack pack;
    std::vector<std::string> payload_files;

    std::string device(int id) const { return phone.device(id); }
    const uint8_t *payload(int i) const { return pack.payload(i); }
    uint32_t payload_size(int i) const { return pack.headers[size_t(i)].partition_size; }

    // Old contents everywhere: a block the way left unerased shows.
    bool make()
    {
        if (!phone.make("flash_bench", 0x00))
            return false;
        pack.make(phone, 0x12345678);
        return pack.save(phone, "payload", false, &payload_files);
    }

    // Wipes the partitions to zeros behind the ways' backs, so that each way
    // starts from flash that must be erased.
    bool dirty()
    {
        for (int id : kIds)
            if (!phone.write_window(id, std::vector<uint8_t>(phone.size(id), 0)))
                return false;
        return true;
    }

    double burn()
    {
        CBasicUI ui;
        double t = now();
        int result = pack.burn(phone, &ui);
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
            int result = fd >= 0 ? flash_verify(fd, payload(i), payload_size(i)) : -1;
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
            steps += int(phone.size(kIds[i]) >> 16);
            steps += int(payload_size(i) >> 16);
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
        if (!benchphone::flashcp(phone, {"-A"}, payload_files))
            return -1;
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
            for (uint32_t at = 0; at < phone.size(id); at += FLASH_BLOCK_SIZE) {
                erase_info_user e = {at, FLASH_BLOCK_SIZE};
                if (ioctl(fd, MEMERASE, &e) != 0) {
                    close(fd);
                    return -1;
                }
            }
            close(fd);
            if (!run({"dd", "if=" + payload_files[size_t(i)], "of=" + device(id), "bs=64k",
                      "conv=notrunc", "status=none"})) {
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
    const int rounds = rounds_arg(argc, argv);
    if (!prepare("flash_bench"))
        return 2;

    Bench b;
    if (!b.make()) {
        fprintf(stderr, "cannot make the telephone root\n");
        b.phone.remove();
        return 2;
    }
    std::atomic<int> frames{0};
    phonesim::KernelEvents events;
    events.on_refresh = [&frames](const std::vector<uint8_t> &) { ++frames; };
    std::unique_ptr<phonesim::Kernel> kernel = b.phone.boot(events);
    if (!kernel) {
        b.phone.remove();
        return 2;
    }
    CBasicUI ui;
    (void)ui.Init(); // without an LCD the bar is not drawn; the writer is what is timed

    printf("flash_bench: %d partitions, %llu bytes (%.2f MiB), %d rounds\n", kCount,
           (unsigned long long)b.pack.total, double(b.pack.total) / 1048576.0, rounds);
    printf("%5s %10s %10s %10s %10s %10s %10s\n", "round", "burn", "verify", "burn-ver", "bar",
           "flashcp", "dd");
    std::vector<double> burns, verifies, bars, flashcps, dds;
    int status = 0;
    for (int r = 0; r < rounds && status == 0; ++r) {
        double tb = b.dirty() ? b.burn() : -1;
        double tv = tb >= 0 && holds(b.phone, b.pack, "burn") ? b.verify() : -1;
        double tbar = b.bar();
        double tf = b.dirty() ? b.flashcp() : -1;
        if (tf >= 0 && !holds(b.phone, b.pack, "flashcp"))
            tf = -1;
        double td = b.dirty() ? b.dd() : -1;
        if (td >= 0 && !holds(b.phone, b.pack, "dd"))
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
    kernel->unmount();
    if (status != 0) {
        fprintf(stderr, "flash_bench: a way failed, no figures\n");
        b.phone.remove();
        return 1;
    }

    // Medians say what a run usually costs; the best round is the one least
    // disturbed by the rest of the machine, so the ratios are given for both.
    double mib = double(b.pack.total) / 1048576.0;
    report("median", mib, median(burns), median(verifies), median(bars), median(flashcps),
           median(dds));
    report("best", mib, lowest(burns), lowest(verifies), lowest(bars), lowest(flashcps),
           lowest(dds));
    printf("progress frames drawn in all: %d\n", frames.load());
    b.phone.remove();
    return 0;
}
