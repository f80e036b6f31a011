// How close the flash writer comes to the least the NOR chip must do, next
// to mtd-utils' flashcp with and without -p, in three upgrades of the
// simulated telephone:
//   1 first upgrade  the chip holds seeded pseudo-random old firmware, so
//                    every block must be erased; pack A is burnt
//   2 same pack      the chip holds A; A is burnt again: nothing to do
//   3 10 % differ    the chip holds A; pack B, A with about one block in
//                    ten changed so that it must be erased, is burnt
// Each way starts from the scenario's chip, restored behind the kernel's
// back, and must leave every partition holding payload then 0xFF (checked
// outside the timing; a difference fails the run). The ways:
//   writer      upgrader_burn_flash over all partitions, progress bar drawn
//   flashcp     flashcp IMAGE /dev/mtdN per partition
//   flashcp -p  flashcp -p IMAGE /dev/mtdN (only blocks that differ), or
//               where it fails, the bench's own changed-only copy
// IMAGE is the payload padded with 0xFF to the window's end. For each way it
// prints the median wall time, the kernel's counts (erase requests, bytes
// programmed and read), the time the telephone's chip would take for them,
// the blocks erased and written, and for the writer the progress bar's
// refreshes; for each scenario the minimum taken from the chip before and
// after, and the ratios. Speed is printed, never judged.
//
//   flash_minimum_bench [ROUNDS]      (default 5)
#include "benchphone.h"

#include "basicui/basicUI.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

using namespace benchphone;
using phonesim::FlashCount;

namespace
{

const uint32_t kBlock = phonesim::kEraseSize;
const uint32_t kOldSeed = 0x0bad5eed;  // the old firmware of scenario 1
const uint32_t kPackSeed = 0x12345678; // pack A, as flash_bench's
const uint32_t kDiffSeed = 0x5eed0010; // the blocks B changes
const int kChanged = 12;               // blocks B changes: about 10 % of 117
const int kBytesChanged = 16;          // bytes changed in each of them

// A 64 KiB block of the chip: partition id and index in the partition.
using Block = std::pair<int, uint32_t>;

int blocks(const Phone &phone)
{
    int n = 0;
    for (int id : kIds)
        n += int(phone.size(id) / kBlock);
    return n;
}

Block nth_block(const Phone &phone, int n)
{
    for (int id : kIds) {
        int here = int(phone.size(id) / kBlock);
        if (n < here)
            return {id, uint32_t(n)};
        n -= here;
    }
    return {-1, 0};
}

// What the kernel reports while one way runs; its callbacks come on the
// kernel's thread.
struct Recorder {
    std::mutex lock;
    std::set<Block> erased, programmed;
    int refreshes = 0;
    std::set<std::vector<uint8_t>> frames;

    void clear()
    {
        std::lock_guard<std::mutex> hold(lock);
        erased.clear();
        programmed.clear();
        refreshes = 0;
        frames.clear();
    }

    void flash_op(const phonesim::FlashOp &op)
    {
        std::string kind = op.kind;
        if ((kind != "erase" && kind != "write") || op.length == 0)
            return;
        std::lock_guard<std::mutex> hold(lock);
        std::set<Block> &into = kind == "erase" ? erased : programmed;
        for (uint32_t b = op.offset / kBlock; b <= (op.offset + op.length - 1) / kBlock; ++b)
            into.insert({op.mtd, b});
    }

    void refresh(const std::vector<uint8_t> &frame)
    {
        std::lock_guard<std::mutex> hold(lock);
        ++refreshes;
        frames.insert(frame);
    }
};

enum { kWriter, kFlashcp, kFlashcpP, kWays };
const char *kWayNames[kWays] = {"writer", "flashcp", "flashcp -p"};
const char kChangedOnly[] = "--changed-only";

// What flashcp -p sets out to do, for a flashcp whose -p cannot read the
// chip's 64 KiB erase blocks: block by block the device is read and
// compared with the image, and only a block that differs is erased and
// written. The bench runs it as a child per partition, as it runs flashcp.
int changed_only(const char *image, const char *device)
{
    std::ifstream in(image, std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    int fd = open(device, O_RDWR | O_CLOEXEC);
    if (!in || data.empty() || fd < 0) {
        fprintf(stderr, "%s: cannot read %s or open %s\n", kChangedOnly, image, device);
        return 1;
    }
    std::vector<uint8_t> block(kBlock);
    int status = 0;
    for (uint32_t at = 0; at < data.size() && status == 0; at += kBlock) {
        size_t n = std::min<size_t>(kBlock, data.size() - at);
        if (pread(fd, block.data(), n, off_t(at)) != ssize_t(n)) {
            status = 1;
        } else if (memcmp(block.data(), data.data() + at, n) != 0) {
            erase_info_user e = {at, kBlock};
            if (ioctl(fd, MEMERASE, &e) != 0 ||
                pwrite(fd, data.data() + at, n, off_t(at)) != ssize_t(n))
                status = 1;
        }
    }
    close(fd);
    if (status != 0)
        fprintf(stderr, "%s: %s failed\n", kChangedOnly, device);
    return status;
}

// The changed-only copy of each image, one child of this program each.
bool changed_only_all(const Phone &phone, const std::vector<std::string> &files)
{
    for (int i = 0; i < kCount; ++i)
        if (!run({"/proc/self/exe", kChangedOnly, files[size_t(i)], phone.device(kIds[i])}))
            return false;
    return true;
}

struct Outcome {
    std::vector<double> walls;
    // The same every round: taken from the last one.
    FlashCount count;
    size_t erased = 0, programmed = 0; // blocks
    int refreshes = 0, frames = 0;
};

struct Scenario {
    const char *title;
    std::vector<uint8_t> before; // the chip
    const Pack *pack;
    std::vector<std::string> images;
    int must_erase = 0, must_program = 0;
    Outcome ways[kWays];
};

// The least the chip must do to go from before to the pack's images: a
// block is erased when a bit must go from 0 to 1, and programmed when it
// must then hold something other than what it holds (0xFF once erased).
void minimum(const Phone &phone, Scenario *s)
{
    for (int i = 0; i < kCount; ++i) {
        int id = kIds[i];
        std::vector<uint8_t> after = s->pack->image(phone, i);
        const uint8_t *old = s->before.data() + phone.offset(id);
        for (uint32_t at = 0; at < phone.size(id); at += kBlock) {
            bool erase = false;
            for (uint32_t k = at; k < at + kBlock && !erase; ++k)
                erase = (~old[k] & after[k]) != 0;
            bool program = false;
            for (uint32_t k = at; k < at + kBlock && !program; ++k)
                program = after[k] != (erase ? 0xFF : old[k]);
            s->must_erase += erase;
            s->must_program += program;
        }
    }
}

// Pack A with kChanged blocks, one from each of as many equal stretches of
// the written blocks, given bytes with bits A has at 0 set, so that each of
// them must be erased again.
Pack changed(const Phone &phone, const Pack &a, std::vector<Block> *which)
{
    Pack b = a;
    Random random{kDiffSeed};
    int total = blocks(phone);
    for (int k = 0; k < kChanged; ++k) {
        int first = k * total / kChanged, last = (k + 1) * total / kChanged;
        Block block = nth_block(phone, first + int(random.next() % uint32_t(last - first)));
        int i = 0;
        while (kIds[i] != block.first)
            ++i;
        which->push_back(block);
        uint32_t at = block.second * kBlock;
        uint32_t end = std::min<uint32_t>(at + kBlock, b.headers[size_t(i)].partition_size);
        for (int n = 0; n < kBytesChanged;) {
            uint32_t pos = at + random.next() % (end - at);
            if (a.payload(i)[pos] == 0xFF || b.payload(i)[pos] != a.payload(i)[pos])
                continue;
            b.payload(i)[pos] = uint8_t(~a.payload(i)[pos]);
            ++n;
        }
    }
    return b;
}

const char *versus(long have, long least, char *text, size_t size)
{
    if (have == least)
        snprintf(text, size, "= minimum");
    else
        snprintf(text, size, "%s minimum by %ld", have > least ? "above" : "below",
                 have > least ? have - least : least - have);
    return text;
}

double kib(uint64_t bytes)
{
    return double(bytes) / 1024.0;
}

void print(const phonesim::FlashTiming &timing, int n, const Scenario &s)
{
    printf("\nscenario %d: %s\n", n, s.title);
    printf("  minimum: erase %d blocks, program %d blocks\n", s.must_erase, s.must_program);
    printf("  %-12s %9s %7s %7s %11s %7s %11s %11s %9s %8s\n", "way", "wall", "erases", "erased",
           "programmed", "written", "read", "telephone", "refreshes", "distinct");
    for (int w = 0; w < kWays; ++w) {
        const Outcome &o = s.ways[w];
        printf("  %-12s %8.3fs %7llu %7zu %7.0f KiB %7zu %7.0f KiB %9.1f s", kWayNames[w],
               median(o.walls), (unsigned long long)o.count.erases, o.erased,
               kib(o.count.programmed), o.programmed, kib(o.count.read),
               flash_time_ms(timing, o.count) / 1000.0);
        if (w == kWriter)
            printf(" %9d %8d\n", o.refreshes, o.frames);
        else
            printf(" %9s %8s\n", "-", "-");
    }
    const Outcome &writer = s.ways[kWriter];
    char erased[64], programmed[64];
    printf("  writer: erased %zu blocks %s, programmed %zu blocks %s\n", writer.erased,
           versus(long(writer.erased), s.must_erase, erased, sizeof(erased)), writer.programmed,
           versus(long(writer.programmed), s.must_program, programmed, sizeof(programmed)));
    double wall = median(writer.walls);
    printf("  wall: writer/%s %.2f, writer/flashcp %.2f\n", kWayNames[kFlashcpP],
           wall / median(s.ways[kFlashcpP].walls), wall / median(s.ways[kFlashcp].walls));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], kChangedOnly) == 0)
        return changed_only(argv[2], argv[3]);
    const int rounds = rounds_arg(argc, argv);
    if (!prepare("flash_minimum_bench"))
        return 2;

    Phone phone;
    Pack a;
    std::vector<uint8_t> old_chip, a_chip;
    bool made = phone.make("flash_minimum", 0xFF);
    if (made) {
        a.make(phone, kPackSeed);
        old_chip.resize(phonesim::kFlashSize);
        Random random{kOldSeed};
        for (uint8_t &byte : old_chip)
            byte = uint8_t(random.next());
        a_chip = old_chip;
        for (int i = 0; i < kCount; ++i) {
            std::vector<uint8_t> image = a.image(phone, i);
            std::copy(image.begin(), image.end(), a_chip.begin() + phone.offset(kIds[i]));
        }
    }
    std::vector<Block> which;
    Pack b = made ? changed(phone, a, &which) : Pack();
    Scenario scenarios[] = {
        {"first upgrade (old firmware in every block, pack A)", old_chip, &a, {}, 0, 0, {}},
        {"same pack again (the chip holds A, pack A)", a_chip, &a, {}, 0, 0, {}},
        {"about 10 % of the blocks differ (the chip holds A, pack B)", a_chip, &b, {}, 0, 0, {}},
    };
    const int kScenarios = int(sizeof(scenarios) / sizeof(scenarios[0]));
    for (int n = 0; made && n < kScenarios; ++n) {
        made = scenarios[n].pack->save(phone, n == 2 ? "imageB" : "imageA", true,
                                       &scenarios[n].images);
        minimum(phone, &scenarios[n]);
    }
    if (!made) {
        fprintf(stderr, "cannot make the telephone root\n");
        phone.remove();
        return 2;
    }

    Recorder recorder;
    phonesim::KernelEvents events;
    events.on_flash_op = [&recorder](const phonesim::FlashOp &op) { recorder.flash_op(op); };
    events.on_refresh = [&recorder](const std::vector<uint8_t> &f) { recorder.refresh(f); };
    std::unique_ptr<phonesim::Kernel> kernel = phone.boot(events);
    if (!kernel) {
        phone.remove();
        return 2;
    }
    CBasicUI ui;
    (void)ui.Init(); // without an LCD the bar is not drawn; the writer is what is timed

    // mtd-utils 2.1.5's flashcp -p overruns its buffer reading a 64 KiB
    // block (a short read, then a garbled file name in its message): tried
    // once on the smallest partition, and when it fails the bench's own
    // changed-only copy stands in for it.
    bool flashcp_p =
        phone.write_chip(old_chip) &&
        run({"flashcp", "-p", scenarios[0].images[kCount - 1], phone.device(kIds[kCount - 1])},
            true);
    std::vector<uint8_t> probed;
    flashcp_p = flashcp_p && phone.read_window(kIds[kCount - 1], &probed) &&
                probed == a.image(phone, kCount - 1);
    if (!flashcp_p)
        kWayNames[kFlashcpP] = "changed-only";

    const phonesim::FlashTiming &timing = phone.profile.flash_timing;
    printf("flash_minimum_bench: %d partitions, %d blocks of 64 KiB, payloads %.2f MiB, %d "
           "rounds\n",
           kCount, blocks(phone), double(a.total) / 1048576.0, rounds);
    printf("telephone chip: %.0f ms per block erased, %.1f ms per KiB programmed, %.3f ms per "
           "KiB read\n",
           timing.erase_ms, timing.program_ms_per_kib, timing.read_ms_per_kib);
    printf("pack B changes %zu blocks (mtd:block):", which.size());
    for (const Block &block : which)
        printf(" %d:%u", block.first, unsigned(block.second));
    printf("\n");
    if (!flashcp_p)
        printf(
            "flashcp -p fails on 64 KiB erase blocks here: changed-only, the bench's own copy of "
            "what it means to do\n(per block: read, compare, erase and write only when it "
            "differs; one child per partition), stands in for it\n");
    int status = 0;
    for (int n = 0; n < kScenarios && status == 0; ++n) {
        Scenario &s = scenarios[n];
        for (int r = 0; r < rounds && status == 0; ++r) {
            for (int w = 0; w < kWays && status == 0; ++w) {
                if (!phone.write_chip(s.before)) {
                    fprintf(stderr, "cannot restore the chip\n");
                    status = 2;
                    break;
                }
                kernel->reset_flash_counts();
                recorder.clear();
                bool done;
                double t = now();
                if (w == kWriter) {
                    CBasicUI writer_ui;
                    int result = s.pack->burn(phone, &writer_ui);
                    done = result == 0;
                    if (!done)
                        fprintf(stderr, "writer: %d\n", result);
                } else if (w == kFlashcpP && !flashcp_p) {
                    done = changed_only_all(phone, s.images);
                } else {
                    std::vector<std::string> options;
                    if (w == kFlashcpP)
                        options.push_back("-p");
                    done = flashcp(phone, options, s.images);
                }
                t = now() - t;
                if (!done || !holds(phone, *s.pack, kWayNames[w])) {
                    status = 1;
                    break;
                }
                Outcome &o = s.ways[w];
                o.walls.push_back(t);
                o.count = FlashCount();
                for (const FlashCount &c : kernel->flash_counts())
                    o.count += c;
                std::lock_guard<std::mutex> hold(recorder.lock);
                o.erased = recorder.erased.size();
                o.programmed = recorder.programmed.size();
                o.refreshes = recorder.refreshes;
                o.frames = int(recorder.frames.size());
            }
        }
        if (status == 0)
            print(timing, n + 1, s);
    }
    kernel->unmount();
    phone.remove();
    if (status != 0) {
        fprintf(stderr, "flash_minimum_bench: a way failed, no more figures\n");
        return status;
    }

    double first = flash_time_ms(timing, scenarios[0].ways[kWriter].count);
    double tenth = flash_time_ms(timing, scenarios[2].ways[kWriter].count);
    double share = first > 0 ? 100.0 * tenth / first : 0;
    printf("\nwriter on the telephone's chip: scenario 3 takes %.1f s, %.1f %% of scenario 1's "
           "%.1f s (target 15 %% or less: %s)\n",
           tenth / 1000.0, share, first / 1000.0, share <= 15.0 ? "met" : "not met");
    return 0;
}
