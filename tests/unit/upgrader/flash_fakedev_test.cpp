// The flash writer against a stand-in MTD device, a plain file whose ioctl and
// write requests this test answers: unlike the simulated chip, its erase block
// size is ours to set and how a payload is cut into writes ours to watch.
#include "upgrader/flash.h"

#include "files.h"
#include "flash_progress_ui.h"
#include "logged.h"

#include "platform/unique_fd.h"
#include "upgrader/requests.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

// What the stand-in device does and what was asked of it.
static struct FakeDevice {
    struct stat id = {}; // st_ino 0: no stand-in
    uint32_t erasesize = 0x10000;
    bool info_fails = false;
    int erase_fails_at = -1;  // index of the MEMERASE request that fails
    ssize_t write_limit = -1; // stores at most this much per request; -1: all
    std::vector<std::pair<uint32_t, uint32_t>> erases; // start, length
    std::vector<size_t> writes;                        // sizes asked for
} g_fake;

static bool is_fake(int fd)
{
    struct stat st;
    return g_fake.id.st_ino != 0 && fstat(fd, &st) == 0 && st.st_dev == g_fake.id.st_dev &&
           st.st_ino == g_fake.id.st_ino;
}

// Every ioctl and write of the process passes here; those on the stand-in
// device are answered, the others go on to the C library.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (!is_fake(fd)) {
        using Real = int (*)(int, unsigned long, ...);
        static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "ioctl"));
        return real(fd, request, arg);
    }
    if (request == MEMGETINFO && !g_fake.info_fails) {
        mtd_info_user info = {};
        info.erasesize = g_fake.erasesize;
        memcpy(arg, &info, sizeof(info));
        return 0;
    }
    if (request == MEMERASE && int(g_fake.erases.size()) != g_fake.erase_fails_at) {
        erase_info_user e;
        memcpy(&e, arg, sizeof(e));
        g_fake.erases.push_back({e.start, e.length});
        return 0;
    }
    errno = request == MEMGETINFO || request == MEMERASE ? EIO : ENOTTY;
    return -1;
}

extern "C" ssize_t write(int fd, const void *buf, size_t n)
{
    using Real = ssize_t (*)(int, const void *, size_t);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "write"));
    if (is_fake(fd)) {
        g_fake.writes.push_back(n);
        if (g_fake.write_limit >= 0)
            n = std::min(n, size_t(g_fake.write_limit));
    }
    return real(fd, buf, n);
}

namespace
{

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

constexpr uint32_t kBlock = 0x10000;
const char kBlockSizeError[] = "------------FLASH_BLOCK_SIZE------ERROR---------------\n";
using testsupport::count_of;
using testsupport::logged;
using Bytes = std::vector<uint8_t>;

// A telephone root whose /dev/mtd1 is the stand-in, four blocks of erased
// flash, and whose environment gives mtd1 those four blocks.
class FakeDeviceTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_EQ(mkdir((root / "/dev").c_str(), 0755), 0);
        testsupport::put(device, std::string(4 * kBlock, '\xff'));
        g_fake = FakeDevice();
        ASSERT_EQ(stat(device.c_str(), &g_fake.id), 0);
        strcpy(table[0].name, "mtd1");
        table[0].start_addr = 0x90020000;
        table[0].end_addr = 0x90060000;
        progress_seen().clear();
        logged();
    }
    void TearDown() override { g_fake.id.st_ino = 0; }

    int burn(uint32_t size) { return burn_pack({{1, size}}, table, &pack); }
    UniqueFd open_device(int flags) const { return UniqueFd(open(device.c_str(), flags)); }

    testsupport::ScopedRoot root;
    std::string device = root / "/dev/mtd1";
    env_info table[ENV_TABLE_SIZE] = {};
    TestPack pack;
};

// The payload goes out in whole 64 KiB chunks and one request for the rest;
// a request the device stores only part of is continued where it stopped,
// one that stores nothing fails the burn.
TEST_F(FakeDeviceTest, PayloadIsWrittenAsWholeBlocksThenTheRest)
{
    struct {
        uint32_t size;
        ssize_t limit;
        std::vector<size_t> writes;
        int code;
    } cases[] = {{100000, -1, {65536, 34464}, 0},
                 {65536, -1, {65536}, 0},
                 {100, -1, {100}, 0},
                 // 65536 = 30000 + 30000 + 5536; 34464 = 30000 + 4464.
                 {100000, 30000, {65536, 35536, 5536, 34464, 4464}, 0},
                 {100000, 0, {65536}, -81}};
    for (const auto &c : cases) {
        g_fake.writes.clear();
        g_fake.write_limit = c.limit;
        EXPECT_EQ(burn(c.size), c.code) << c.size;
        EXPECT_EQ(g_fake.writes, c.writes) << c.size;
        Bytes payload = pack.payload(0);
        if (c.code == 0) {
            EXPECT_EQ(testsupport::slurp(device).substr(0, c.size),
                      std::string(payload.begin(), payload.end()));
        }
    }
}

// The burn's erase steps stay one per 64 KiB of the partition whatever the
// chip says, and a chip with other erase blocks is told in the log on every
// step; erasing a run of blocks steps by the chip's erase block.
TEST_F(FakeDeviceTest, EraseStepsAndOtherEraseBlockSizes)
{
    using Erases = std::vector<std::pair<uint32_t, uint32_t>>;
    for (uint32_t size : {0x20000u, 0x10000u}) {
        g_fake.erasesize = size;
        g_fake.erases.clear();
        EXPECT_EQ(burn(100), 0);
        EXPECT_EQ(count_of(logged(), kBlockSizeError, 3), size == kBlock ? 0 : 4);
        EXPECT_EQ(g_fake.erases,
                  (Erases{{0, size}, {kBlock, size}, {2 * kBlock, size}, {3 * kBlock, size}}));
    }
    UniqueFd fd = open_device(O_RDWR);
    g_fake.erasesize = 0x8000;
    g_fake.erases.clear();
    EXPECT_EQ(non_region_erase(fd.get(), 0x10000, 3), 0);
    EXPECT_EQ(non_region_erase(fd.get(), 0, 0), 0);
    EXPECT_EQ(g_fake.erases, (Erases{{0x10000, 0x8000}, {0x18000, 0x8000}, {0x20000, 0x8000}}));
    EXPECT_EQ(count_of(logged(), kBlockSizeError, 3), 2); // once a call
}

// A failed erase request ends the erase quietly; a device that cannot say
// what it is fails the burn at its first erase step; reading back fails on
// a device holding less than was written, or unreadable.
TEST_F(FakeDeviceTest, DeviceFailures)
{
    UniqueFd fd = open_device(O_RDWR);
    g_fake.erase_fails_at = 1;
    EXPECT_EQ(non_region_erase(fd.get(), 0, 3), -1);
    EXPECT_TRUE(logged().empty());
    g_fake.erase_fails_at = -1;
    g_fake.info_fails = true;
    EXPECT_EQ(non_region_erase(fd.get(), 0, 3), -1);
    EXPECT_EQ(burn(100000), -82);
    EXPECT_EQ(g_fake.erases.size(), 1u);
    EXPECT_TRUE(progress_seen().empty());
    EXPECT_EQ(count_of(logged(), "UPD_MSG_FLASH_ERASE_ERR\n", 3), 1);

    Bytes erased(4 * kBlock + 1, 0xFF);
    EXPECT_EQ(flash_verify(open_device(O_RDONLY).get(), erased.data(), 4 * kBlock), 0);
    EXPECT_EQ(flash_verify(open_device(O_RDONLY).get(), erased.data(), erased.size()), -1);
    EXPECT_EQ(flash_verify(open_device(O_WRONLY).get(), erased.data(), 1), -1);
}

} // namespace
