// The flash writer against a stand-in MTD device: a plain file under the
// platform root whose ioctl and write requests this test answers itself.
// The simulated telephone's chip has 64 KiB erase blocks only and cannot
// tell how a payload was cut into write requests; here both are ours to set
// and to watch.
#include "upgrader/flash.h"

#include "files.h"
#include "flash_progress_ui.h"
#include "isolation.h"
#include "logged.h"

#include "basicui/basicUI.h"
#include "upgrader/requests.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace
{

// What the stand-in device does and what was asked of it.
struct FakeDevice {
    bool active = false;
    dev_t dev = 0;
    ino_t ino = 0;
    uint32_t erasesize = 0x10000;
    bool info_fails = false;
    int erase_fails_at = -1; // index of the MEMERASE request that fails
    size_t write_limit = 0;  // stores at most this much per request; 0: all
    bool write_stores_nothing = false;
    std::vector<erase_info_user> erases;
    std::vector<size_t> writes; // sizes asked for
};

FakeDevice g_fake;

bool is_fake(int fd)
{
    if (!g_fake.active)
        return false;
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_dev == g_fake.dev && st.st_ino == g_fake.ino;
}

} // namespace

// Every ioctl and write of the process passes here; those on the stand-in
// device are answered, the others go on to the C library.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (is_fake(fd)) {
        if (request == MEMGETINFO) {
            if (g_fake.info_fails) {
                errno = EIO;
                return -1;
            }
            mtd_info_user info;
            memset(&info, 0, sizeof(info));
            info.type = MTD_NORFLASH;
            info.size = 0x40000;
            info.erasesize = g_fake.erasesize;
            info.writesize = 1;
            memcpy(arg, &info, sizeof(info));
            return 0;
        }
        if (request == MEMERASE) {
            erase_info_user e;
            memcpy(&e, arg, sizeof(e));
            if (int(g_fake.erases.size()) == g_fake.erase_fails_at) {
                errno = EIO;
                return -1;
            }
            g_fake.erases.push_back(e);
            return 0;
        }
        errno = ENOTTY;
        return -1;
    }
    using Real = int (*)(int, unsigned long, ...);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, arg);
}

extern "C" ssize_t write(int fd, const void *buf, size_t n)
{
    using Real = ssize_t (*)(int, const void *, size_t);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "write"));
    if (is_fake(fd)) {
        g_fake.writes.push_back(n);
        if (g_fake.write_stores_nothing)
            return 0;
        if (g_fake.write_limit > 0)
            n = std::min(n, g_fake.write_limit);
    }
    return real(fd, buf, n);
}

namespace
{

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

constexpr uint32_t kBlock = 0x10000;

using testsupport::count_of;
using testsupport::logged;
using testsupport::Logged;

// A telephone root whose /dev/mtd1 is the stand-in, four blocks of erased
// flash, and whose environment gives mtd1 those four blocks.
class FakeDeviceTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_EQ(mkdir((root / "/dev").c_str(), 0755), 0);
        device = root / "/dev/mtd1";
        testsupport::put(device, std::string(4 * kBlock, '\xff'));
        struct stat st;
        ASSERT_EQ(stat(device.c_str(), &st), 0);
        g_fake = FakeDevice();
        g_fake.dev = st.st_dev;
        g_fake.ino = st.st_ino;
        g_fake.active = true;
        memset(table, 0, sizeof(table));
        strcpy(table[0].name, "mtd1");
        table[0].start_addr = 0x90020000;
        table[0].end_addr = 0x90060000;
        progress_seen().clear();
        logged();
    }
    void TearDown() override { g_fake.active = false; }

    // Burns one flagged partition 1 carrying size bytes.
    int burn(uint32_t size)
    {
        payload.resize(size);
        for (uint32_t i = 0; i < size; ++i)
            payload[i] = uint8_t(i * 13 + (i >> 9));
        Partition_Header part;
        memset(&part, 0, sizeof(part));
        part.partition_id = 1;
        part.partition_size = size;
        part.partition_offset = 0;
        int flag = 1;
        CBasicUI ui;
        return upgrader_burn_flash(payload.data(), table, 1, &part, &flag, &ui);
    }

    std::string device_head(size_t n) const { return testsupport::slurp(device).substr(0, n); }
    std::string payload_text() const { return std::string(payload.begin(), payload.end()); }

    testsupport::ScopedRoot root;
    std::string device;
    env_info table[ENV_TABLE_SIZE];
    std::vector<uint8_t> payload;
};

// The payload goes out in whole 64 KiB chunks and one request for the rest.
TEST_F(FakeDeviceTest, PayloadIsWrittenAsWholeBlocksThenTheRest)
{
    EXPECT_EQ(burn(100000), 0);
    EXPECT_EQ(g_fake.writes, (std::vector<size_t>{65536, 34464}));
    EXPECT_EQ(device_head(100000), payload_text());

    g_fake.writes.clear();
    EXPECT_EQ(burn(65536), 0);
    EXPECT_EQ(g_fake.writes, (std::vector<size_t>{65536}));

    g_fake.writes.clear();
    EXPECT_EQ(burn(100), 0);
    EXPECT_EQ(g_fake.writes, (std::vector<size_t>{100}));
    EXPECT_EQ(device_head(100), payload_text());
}

TEST_F(FakeDeviceTest, ShortWritesAreContinuedWhereTheyStopped)
{
    g_fake.write_limit = 30000;
    EXPECT_EQ(burn(100000), 0);
    // 65536 = 30000 + 30000 + 5536; 34464 = 30000 + 4464.
    EXPECT_EQ(g_fake.writes, (std::vector<size_t>{65536, 35536, 5536, 34464, 4464}));
    EXPECT_EQ(device_head(100000), payload_text());
    EXPECT_EQ(progress_seen(), (std::vector<int>{15, 25, 36, 46, 57, 100}));
}

TEST_F(FakeDeviceTest, AWriteThatStoresNothingFailsTheBurn)
{
    g_fake.write_stores_nothing = true;
    EXPECT_EQ(burn(100000), -81);
    EXPECT_EQ(g_fake.writes, (std::vector<size_t>{65536}));
    std::vector<Logged> lines = logged();
    EXPECT_EQ(count_of(lines, "UPD_MSG_FLASH_WRITE_ERR\n", 3), 1);
    EXPECT_EQ(progress_seen(), (std::vector<int>{15, 25, 36, 46}));

    int fd = open(device.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(flash_write_all(fd, payload.data(), 10), -1);
    close(fd);
}

// The erase steps stay one per 64 KiB of the partition whatever the chip
// says; a chip with other erase blocks is told in the log on every step.
TEST_F(FakeDeviceTest, OtherEraseBlockSizeIsLoggedOnEveryEraseCall)
{
    g_fake.erasesize = 0x20000;
    EXPECT_EQ(burn(100), 0);
    std::vector<Logged> lines = logged();
    EXPECT_EQ(count_of(lines, "------------FLASH_BLOCK_SIZE------ERROR---------------\n", 3), 4);
    EXPECT_EQ(count_of(lines, "erase done\n", 7), 4);
    ASSERT_EQ(g_fake.erases.size(), 4u);
    for (uint32_t k = 0; k < 4; ++k) {
        EXPECT_EQ(g_fake.erases[k].start, k * kBlock);
        EXPECT_EQ(g_fake.erases[k].length, 0x20000u);
    }
}

TEST_F(FakeDeviceTest, ChipSizedEraseBlocksLogNoComplaint)
{
    EXPECT_EQ(burn(100), 0);
    std::vector<Logged> lines = logged();
    EXPECT_EQ(count_of(lines, "------------FLASH_BLOCK_SIZE------ERROR---------------\n", 3), 0);
    EXPECT_EQ(count_of(lines, "erase done\n", 7), 4);
}

// One request per erase block, each starting where the last one ended.
TEST_F(FakeDeviceTest, NonRegionEraseStepsByTheChipsEraseBlock)
{
    int fd = open(device.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    g_fake.erasesize = 0x8000;
    EXPECT_EQ(non_region_erase(fd, 0x10000, 3), 0);
    ASSERT_EQ(g_fake.erases.size(), 3u);
    EXPECT_EQ(g_fake.erases[0].start, 0x10000u);
    EXPECT_EQ(g_fake.erases[1].start, 0x18000u);
    EXPECT_EQ(g_fake.erases[2].start, 0x20000u);
    EXPECT_EQ(g_fake.erases[2].length, 0x8000u);
    std::vector<Logged> lines = logged();
    EXPECT_EQ(count_of(lines, "------------FLASH_BLOCK_SIZE------ERROR---------------\n", 3), 1);
    EXPECT_EQ(count_of(lines, "erase done\n", 7), 1);

    g_fake.erases.clear();
    EXPECT_EQ(non_region_erase(fd, 0, 0), 0);
    EXPECT_TRUE(g_fake.erases.empty());
    close(fd);
}

TEST_F(FakeDeviceTest, NonRegionEraseFailsSilentlyOnAFailedRequest)
{
    int fd = open(device.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    g_fake.erase_fails_at = 1;
    EXPECT_EQ(non_region_erase(fd, 0, 3), -1);
    EXPECT_EQ(g_fake.erases.size(), 1u);
    EXPECT_TRUE(logged().empty());

    g_fake.erase_fails_at = -1;
    g_fake.info_fails = true;
    g_fake.erases.clear();
    EXPECT_EQ(non_region_erase(fd, 0, 3), -1);
    EXPECT_TRUE(g_fake.erases.empty());
    close(fd);
}

// A device that cannot even say what it is fails at the first erase step.
TEST_F(FakeDeviceTest, DeviceInfoFailureIsAnEraseFailure)
{
    g_fake.info_fails = true;
    EXPECT_EQ(burn(100000), -82);
    EXPECT_TRUE(progress_seen().empty());
    EXPECT_EQ(count_of(logged(), "UPD_MSG_FLASH_ERASE_ERR\n", 3), 1);
}

} // namespace
