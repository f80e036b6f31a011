// The flash writer against stand-in MTD devices: plain files whose ioctl and
// write requests this test answers as NOR flash would (an erase sets 0xFF, a
// write only clears bits), with the faults of tests/data/flash_burn.rows. The
// progress bar is recorded value by value (the drawn fill loses precision).
#include "upgrader/flash.h"

#include "basicui/basicUI.h"
#include "files.h"
#include "isolation.h"
#include "platform/unique_fd.h"
#include "upgrader/requests.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

namespace
{

constexpr uint32_t kBlock = 0x10000;
const uint32_t kBlocks[10] = {2, 4, 4, 1, 2, 2, 2, 2, 2, 2};
std::string g_devices; // "<root>/dev/mtd"
int g_fault_on = -1;   // the device of the fault
char g_fault[16];      // its kind
int g_fault_at = -1;   // the index of the failing request
int g_requests[10][3]; // erase, write and read requests so far, by device
std::vector<int> g_progress;

// The stand-in device fd is, or -1.
int device_of(int fd)
{
    char link[64], path[4096] = {};
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    if (g_devices.empty() || readlink(link, path, sizeof(path) - 1) < 0 ||
        strncmp(path, g_devices.c_str(), g_devices.size()) != 0)
        return -1;
    return atoi(path + g_devices.size());
}

bool fault(int n, const char *kind, int kind_index = -1)
{
    int at = kind_index < 0 ? -1 : g_requests[n][kind_index]++;
    return n == g_fault_on && strcmp(g_fault, kind) == 0 && (at < 0 || at == g_fault_at);
}

} // namespace

// Every ioctl, pread and write of the process passes here; those on a
// stand-in device are answered (a pread counted), the others go on to the C
// library.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    int n = device_of(fd);
    if (n < 0)
        return reinterpret_cast<int (*)(int, unsigned long, ...)>(dlsym(RTLD_NEXT, "ioctl"))(
            fd, request, arg);
    if (request == MEMGETINFO && !fault(n, "info")) {
        mtd_info_user info = {};
        struct stat st;
        info.size = fstat(fd, &st) == 0 ? uint32_t(st.st_size) : 0;
        info.erasesize = fault(n, "esize") ? uint32_t(g_fault_at) : kBlock;
        return memcpy(arg, &info, sizeof(info)), 0;
    }
    erase_info_user e;
    memcpy(&e, arg, sizeof(e));
    std::string ff(request == MEMERASE && !fault(n, "dud") ? e.length : 0, '\xff');
    if (request == MEMERASE && !fault(n, "erase", 0))
        return pwrite(fd, ff.data(), ff.size(), e.start) == ssize_t(ff.size()) ? 0 : -1;
    return errno = EIO, -1;
}

extern "C" ssize_t pread(int fd, void *buf, size_t len, off_t at)
{
    int n = device_of(fd);
    g_requests[std::max(n, 0)][2] += n >= 0;
    using Pread = ssize_t (*)(int, void *, size_t, off_t);
    return reinterpret_cast<Pread>(dlsym(RTLD_NEXT, "pread"))(fd, buf, len, at);
}

extern "C" ssize_t write(int fd, const void *buf, size_t len)
{
    int n = device_of(fd);
    if (n < 0)
        return reinterpret_cast<ssize_t (*)(int, const void *, size_t)>(dlsym(RTLD_NEXT, "write"))(
            fd, buf, len);
    if (fault(n, "write", 1))
        return errno = EIO, -1;
    if (fault(n, "lost"))
        return lseek(fd, off_t(len), SEEK_CUR), ssize_t(len);
    std::string cells(fault(n, "short") ? (len + 1) / 2 : len, '\0');
    off_t at = lseek(fd, 0, SEEK_CUR);
    cells.resize(size_t(std::max(read(fd, &cells[0], cells.size()), ssize_t(0))));
    for (size_t i = 0; i < cells.size(); ++i)
        cells[i] = char(cells[i] & static_cast<const char *>(buf)[i]);
    ssize_t done = pwrite(fd, cells.data(), cells.size(), at);
    return lseek(fd, at + std::max(done, ssize_t(0)), SEEK_SET), done;
}

// Only what the flash writer calls is defined: any new use of the facade
// shows as a link error rather than as an unrecorded screen.
CBasicUI::CBasicUI() {}
CBasicUI::~CBasicUI() {}
int CBasicUI::SetUpgradingProgressBar(int percent)
{
    return g_progress.push_back(percent), 0;
}

namespace
{

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

// Bytes that tell their place: partition n before the burn (7, n + 1), the
// payload of partition id (13, id * 41).
std::string bytes(uint32_t size, int mul, int add)
{
    std::string c(size, '\0');
    for (uint32_t at = 0; at < size; ++at)
        c[at] = char(at * mul + (at >> 9) + add);
    return c;
}

// What the burn leaves in partition n: the payload, then erased flash.
std::string target(int n, uint32_t size)
{
    std::string t = bytes(size, 13, n * 41);
    t.resize(kBlocks[n] * kBlock, '\xff');
    return t;
}

// The columns of flash_burn.rows.
enum Column { kName, kPartitions, kFault, kCode, kProgress, kHolds, kRequests };

class BurnFlash : public ::testing::TestWithParam<testsupport::Row>
{
};

TEST_P(BurnFlash, GivesTheCodeBarRequestsAndFlashOfItsRow)
{
    const testsupport::Row &r = GetParam();
    testsupport::ScopedRoot root;
    mkdir((root / "/dev").c_str(), 0755);
    g_devices = root / "/dev/mtd";
    env_info table[ENV_TABLE_SIZE] = {};
    for (uint32_t n = 0, start = 0x90000000; n < 10; ++n) {
        testsupport::put(g_devices + std::to_string(n), bytes(kBlocks[n] * kBlock, 7, n + 1));
        snprintf(table[n].name, sizeof(table[n].name), "mtd%u", n);
        table[n].start_addr = start;
        table[n].end_addr = start += kBlocks[n] * kBlock;
    }
    std::string pack(64, '\0');
    std::vector<Partition_Header> parts;
    std::vector<int> flags;
    parts.reserve(16), flags.reserve(16); // never null, even without partitions
    std::istringstream words(r[kPartitions]);
    for (std::string w; words >> w;) {
        Partition_Header h = {};
        flags.push_back(1);
        sscanf(w.c_str(), "%u:%u:%d", &h.partition_id, &h.partition_size, &flags.back());
        h.partition_offset = uint32_t(pack.size());
        pack += bytes(h.partition_size, 13, int(h.partition_id) * 41);
        parts.push_back(h);
    }
    memset(g_requests, 0, sizeof(g_requests));
    g_fault_on = g_fault_at = -1;
    upgrader_kernel_only = r[kFault] == "kernel_only";
    if (sscanf(r[kFault].c_str(), "%d:%15[a-z]:%i", &g_fault_on, g_fault, &g_fault_at) >= 2) {
        if (strcmp(g_fault, "open") == 0)
            unlink((g_devices + std::to_string(g_fault_on)).c_str());
        if (strcmp(g_fault, "noenv") == 0)
            table[g_fault_on].name[0] = '\0';
        if (strcmp(g_fault, "window") == 0)
            table[g_fault_on].end_addr = table[g_fault_on].start_addr + uint32_t(g_fault_at);
        // Flash that already holds some or all of what the burn leaves.
        const std::string device = g_devices + std::to_string(g_fault_on);
        std::string held = target(g_fault_on, parts.empty() ? 0 : parts[0].partition_size);
        const size_t k = size_t(std::max(g_fault_at, 0)) * kBlock;
        if (strcmp(g_fault, "blank") == 0)
            held.assign(held.size(), '\xff');
        if (strstr("stale lost dud", g_fault) != nullptr)
            held.replace(k, kBlock, testsupport::slurp(device).substr(k, kBlock));
        if (strcmp(g_fault, "torn") == 0)
            held.replace(k + kBlock / 2, kBlock / 2, kBlock / 2, '\xff');
        if (strstr("same blank stale torn lost dud", g_fault) != nullptr)
            testsupport::put(device, held);
    }
    g_progress.clear();
    CBasicUI ui;
    EXPECT_EQ(upgrader_burn_flash(reinterpret_cast<const uint8_t *>(pack.data()), table,
                                  int(parts.size()), parts.data(), flags.data(), &ui),
              std::stoi(r[kCode]));
    upgrader_kernel_only = 0;
    std::string progress;
    for (int p : g_progress)
        progress += (progress.empty() ? "" : " ") + std::to_string(p);
    EXPECT_EQ(progress, r[kProgress]);
    std::string requests;
    for (const Partition_Header &h : parts)
        requests += (requests.empty() ? "" : " ") + std::to_string(g_requests[h.partition_id][0]) +
                    "/" + std::to_string(g_requests[h.partition_id][1]) + "/" +
                    std::to_string(g_requests[h.partition_id][2]);
    EXPECT_TRUE(r[kRequests] == "-" || requests == r[kRequests]) << requests;
    // Partitions not named hold what they held; a named one holds its
    // payload up to `to` over flash erased up to `erased`.
    std::string holds[10] = {"o", "o", "o", "o", "o", "o", "o", "o", "o", "o"};
    uint32_t sizes[10] = {};
    std::istringstream expected(r[kHolds]);
    for (const Partition_Header &h : parts)
        expected >> holds[h.partition_id], sizes[h.partition_id] = h.partition_size;
    for (int n = 0; n < 10; ++n) {
        uint32_t size = sizes[n], to = 0, erased = 0;
        if (holds[n] == "w")
            to = size, erased = kBlocks[n] * kBlock;
        else if (holds[n] != "o" && sscanf(holds[n].c_str(), "%i:%i", &to, &erased) != 2)
            continue;
        std::string want = bytes(kBlocks[n] * kBlock, 7, n + 1), p = bytes(size, 13, n * 41);
        std::fill(want.begin(), want.begin() + erased, '\xff');
        for (uint32_t a = 0; a < to; ++a)
            want[a] = char(want[a] & p[a]);
        EXPECT_TRUE(testsupport::slurp(g_devices + std::to_string(n)) == want) << "mtd" << n;
    }
    g_devices.clear();
}
INSTANTIATE_TEST_SUITE_P(FlashBurn, BurnFlash,
                         ::testing::ValuesIn(testsupport::rows(TEST_DATA_DIR "/flash_burn.rows")),
                         testsupport::RowName());

// The configuration write-back erases with no geometry check before it: an
// erase block larger than 64 KiB must leave the flash as it was.
TEST(FlashBurn, EraseRefusesBlockLargerThanItsUnit)
{
    testsupport::ScopedRoot root;
    mkdir((root / "/dev").c_str(), 0755);
    g_devices = root / "/dev/mtd";
    const std::string old = bytes(2 * kBlock, 7, 1);
    testsupport::put(g_devices + "0", old);
    g_fault_on = 0, g_fault_at = 0x20000;
    snprintf(g_fault, sizeof(g_fault), "esize");
    UniqueFd fd(open((g_devices + "0").c_str(), O_RDWR));
    ASSERT_TRUE(fd.valid());
    EXPECT_EQ(non_region_erase(fd.get(), 0, 1), -1);
    EXPECT_TRUE(testsupport::slurp(g_devices + "0") == old);
    g_devices.clear(), g_fault_on = -1;
}

} // namespace
