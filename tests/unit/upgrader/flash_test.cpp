// The flash writer against the simulated telephone's kernel and NOR flash,
// mounted in this process. The chip starts out holding data everywhere, so a
// byte the burn failed to erase or to write shows in what it reads back.
#include "upgrader/flash.h"

#include "files.h"
#include "flash_progress_ui.h"
#include "fuse_device.h"
#include "isolation.h"
#include "logged.h"

#include "basicui/basicUI.h"
#include "phonesim/kernel.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

using namespace phonesim;

namespace
{

::testing::Environment *const g_isolated = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));
::testing::Environment *const g_fuse =
    ::testing::AddGlobalTestEnvironment(new testsupport::FuseDeviceEnvironment);

constexpr uint32_t kBlock = 0x10000;
constexpr int kErr = 3, kInfo = 6, kDebug = 7;

// mtd1 and mtd2 have four blocks each, so that the erase steps of the bar
// can be told apart; the others are small.
const Window kLayout[kPartitions] = {{0x90000000, 0x90020000}, {0x90020000, 0x90060000},
                                     {0x90060000, 0x900a0000}, {0x900a0000, 0x900b0000},
                                     {0x900b0000, 0x900d0000}, {0x900d0000, 0x900f0000},
                                     {0x900f0000, 0x90110000}, {0x90110000, 0x90130000},
                                     {0x90130000, 0x90150000}, {0x90150000, 0x90170000}};

// What the chip holds at a flash offset before the burn.
uint8_t chip_byte(uint32_t at)
{
    return uint8_t(at * 7 + (at >> 16) + 1);
}

using testsupport::count_of;
using testsupport::logged;
using testsupport::Logged;

// One partition of the pack under test.
struct Part {
    int id;
    uint32_t size;
    int flag = 1;
};

// A telephone root (the platform root of the test) with the simulated
// kernel mounted, /dev/mtdN leading into it, a pack and the environment
// table the burn is given.
class FlashBurn : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        paths.root = root.path();
        std::copy(kLayout, kLayout + kPartitions, profile.mtd);
        ASSERT_EQ(mkdir(paths.state().c_str(), 0755), 0);
        ASSERT_EQ(mkdir((root / "/dev").c_str(), 0755), 0);
        std::string chip(kFlashSize, '\0');
        for (uint32_t i = 0; i < kFlashSize; ++i)
            chip[i] = char(chip_byte(i));
        testsupport::put(paths.flash(), chip);
        testsupport::put(paths.layout(), format_layout(kLayout));
        testsupport::put(paths.bootenv(), "");
        for (int i = 0; i < kPartitions; ++i) {
            std::string link = "../.phonesim/kernel/dev/mtd" + std::to_string(i);
            ASSERT_EQ(symlink(link.c_str(), (root / "/dev/mtd" + std::to_string(i)).c_str()), 0);
        }
        memset(table, 0, sizeof(table));
        for (int i = 0; i < kPartitions; ++i) {
            snprintf(table[i].name, sizeof(table[i].name), "mtd%d", i);
            table[i].start_addr = kLayout[i].start;
            table[i].end_addr = kLayout[i].end;
        }
        progress_seen().clear();
    }

    void TearDown() override
    {
        if (kernel)
            kernel->unmount();
        kernel.reset();
    }

    void start()
    {
        kernel.reset(new Kernel(paths, profile, KernelEvents()));
        std::string error;
        ASSERT_EQ(kernel->mount(&error), 0) << error;
        logged(); // only what the burn logs counts
    }

    // Builds a pack holding the partitions' payloads one after another and
    // burns it.
    int burn(const std::vector<Part> &parts)
    {
        headers.assign(parts.size(), Partition_Header());
        flags.assign(parts.size(), 0);
        pack.assign(64, 0); // stands for the pack's headers
        for (size_t i = 0; i < parts.size(); ++i) {
            memset(&headers[i], 0, sizeof(headers[i]));
            headers[i].partition_id = uint32_t(parts[i].id);
            headers[i].partition_size = parts[i].size;
            headers[i].partition_offset = uint32_t(pack.size());
            for (uint32_t b = 0; b < parts[i].size; ++b)
                pack.push_back(uint8_t(b * 13 + (b >> 9) + parts[i].id * 41));
            flags[i] = parts[i].flag;
        }
        CBasicUI ui;
        return upgrader_burn_flash(pack.data(), table, int(parts.size()), headers.data(),
                                   flags.data(), &ui);
    }

    std::vector<uint8_t> payload(size_t i) const
    {
        const uint8_t *p = pack.data() + headers[i].partition_offset;
        return std::vector<uint8_t>(p, p + headers[i].partition_size);
    }

    // The bytes of partition n as the chip holds them.
    std::vector<uint8_t> flash(int n) const
    {
        std::string chip = testsupport::slurp(paths.flash());
        uint32_t at = kLayout[n].start - kFlashBase;
        return std::vector<uint8_t>(chip.begin() + at,
                                    chip.begin() + at + (kLayout[n].end - kLayout[n].start));
    }

    static std::vector<uint8_t> untouched(int n)
    {
        std::vector<uint8_t> v;
        for (uint32_t a = kLayout[n].start - kFlashBase; a < kLayout[n].end - kFlashBase; ++a)
            v.push_back(chip_byte(a));
        return v;
    }

    // The payload of header i, then erased flash to the end of partition n.
    std::vector<uint8_t> written(size_t i, int n) const
    {
        std::vector<uint8_t> v = payload(i);
        v.resize(kLayout[n].end - kLayout[n].start, 0xFF);
        return v;
    }

    static std::vector<uint8_t> slice(const std::vector<uint8_t> &v, uint32_t from, uint32_t to)
    {
        return std::vector<uint8_t>(v.begin() + from, v.begin() + to);
    }

    testsupport::ScopedRoot root;
    Paths paths;
    Profile profile;
    std::unique_ptr<Kernel> kernel;
    env_info table[ENV_TABLE_SIZE];
    std::vector<uint8_t> pack;
    std::vector<Partition_Header> headers;
    std::vector<int> flags;
};

// --- the progress bar and what is logged on the way ---------------------

TEST_F(FlashBurn, OneFlaggedPartitionMovesTheBarThroughEraseAndWrite)
{
    start();
    ASSERT_EQ(burn({{1, 100000}}), 0);
    EXPECT_EQ(progress_seen(), (std::vector<int>{15, 25, 36, 46, 57, 100}));
    std::vector<Logged> lines = logged();
    EXPECT_EQ(count_of(lines, "mtd1 start_addr:90020000 end_addr:90060000\n", kInfo), 1);
    EXPECT_EQ(count_of(lines, "blocks :1 size:186a0\n", kDebug), 1);
    EXPECT_EQ(count_of(lines, "last size:86a0\n", kDebug), 1);
    EXPECT_EQ(count_of(lines, "erase done\n", kDebug), 4);
    for (const Logged &l : lines)
        EXPECT_GT(l.level, kErr) << l.message;
    EXPECT_EQ(flash(1), written(0, 1));
}

// Unflagged headers take no share of the bar and are not touched.
TEST_F(FlashBurn, TwoFlaggedPartitionsShareTheBar)
{
    start();
    ASSERT_EQ(burn({{1, 100000}, {5, 5000, 0}, {2, 100000}, {6, 7000, 2}}), 0);
    EXPECT_EQ(progress_seen(), (std::vector<int>{15, 20, 25, 30, 36, 57, 62, 67, 72, 78, 100}));
    EXPECT_EQ(flash(1), written(0, 1));
    EXPECT_EQ(flash(2), written(2, 2));
    EXPECT_EQ(flash(5), untouched(5));
    EXPECT_EQ(flash(6), untouched(6));
    for (int n : {0, 3, 4, 7, 8, 9})
        EXPECT_EQ(flash(n), untouched(n)) << "mtd" << n;
}

TEST_F(FlashBurn, BlockSizedAndTinyPayloads)
{
    start();
    ASSERT_EQ(burn({{1, 65536}}), 0);
    EXPECT_EQ(progress_seen(), (std::vector<int>{15, 25, 36, 46, 57, 100}));
    std::vector<Logged> lines = logged();
    EXPECT_EQ(count_of(lines, "blocks :1 size:10000\n", kDebug), 1);
    EXPECT_EQ(count_of(lines, "last size:0\n", kDebug), 1);
    EXPECT_EQ(flash(1), written(0, 1));

    progress_seen().clear();
    ASSERT_EQ(burn({{2, 100}}), 0);
    EXPECT_EQ(progress_seen(), (std::vector<int>{15, 25, 36, 46, 100}));
    lines = logged();
    EXPECT_EQ(count_of(lines, "blocks :0 size:64\n", kDebug), 1);
    EXPECT_EQ(count_of(lines, "last size:64\n", kDebug), 1);
    EXPECT_EQ(flash(2), written(0, 2));
}

TEST_F(FlashBurn, NothingFlaggedOpensNothing)
{
    // Any device opened would fail the burn.
    for (int n = 0; n < kPartitions; ++n)
        profile.faults.push_back({n, "open", -1});
    start();
    EXPECT_EQ(burn({{1, 100000, 0}, {2, 100, 0}}), 0);
    EXPECT_EQ(progress_seen(), (std::vector<int>{100}));
    EXPECT_TRUE(logged().empty());
}

TEST_F(FlashBurn, NoPartitionsGoesStraightTo100)
{
    start();
    CBasicUI ui;
    int flag = 1;
    Partition_Header part;
    memset(&part, 0, sizeof(part));
    part.partition_id = 1;
    part.partition_size = 100;
    uint8_t byte[100] = {};
    for (int count : {0, -3}) {
        progress_seen().clear();
        EXPECT_EQ(upgrader_burn_flash(byte, table, count, &part, &flag, &ui), 0);
        EXPECT_EQ(progress_seen(), (std::vector<int>{100}));
    }
    EXPECT_TRUE(logged().empty());
    EXPECT_EQ(flash(1), untouched(1));
}

// With a layout the kernel cannot take, only the kernel partition goes in;
// the skipped partition's share of the bar is never added.
TEST_F(FlashBurn, KernelOnlyModeWritesOnlyTheKernel)
{
    start();
    upgrader_kernel_only = 1;
    int result = burn({{5, 100000}, {1, 100000}});
    upgrader_kernel_only = 0;
    ASSERT_EQ(result, 0);
    EXPECT_EQ(progress_seen(), (std::vector<int>{15, 20, 25, 30, 36, 100}));
    std::vector<Logged> lines = logged();
    EXPECT_EQ(count_of(lines, "upgrader_kernel_only is AVAILABLE \n", kInfo), 2);
    EXPECT_EQ(count_of(lines, "ppartition_addr->partition_id:5\n", kInfo), 1);
    EXPECT_EQ(count_of(lines, "mtd5 start_addr:900d0000 end_addr:900f0000\n", kInfo), 0);
    EXPECT_EQ(flash(5), untouched(5));
    EXPECT_EQ(flash(1), written(1, 1));
}

// --- failures -------------------------------------------------------------

TEST_F(FlashBurn, MissingEnvironmentEntry)
{
    start();
    table[7].name[0] = '\0';
    EXPECT_EQ(burn({{1, 100}, {7, 100}}), -85);
    std::vector<Logged> lines = logged();
    EXPECT_EQ(count_of(lines, "mtd7 isnot exist!\n", kErr), 1);
    EXPECT_EQ(count_of(lines, "UPD_MSG_MTD_ENV_LOSED\n", kErr), 1);
    EXPECT_EQ(flash(1), written(0, 1));
}

TEST_F(FlashBurn, DeviceThatCannotBeOpened)
{
    profile.faults.push_back({2, "open", -1});
    start();
    EXPECT_EQ(burn({{1, 100000}, {2, 100000}}), -83);
    std::vector<Logged> lines = logged();
    EXPECT_EQ(count_of(lines, "/dev/mtd2 open failed!\n", kErr), 1);
    // The code's text as the check's table has it.
    EXPECT_EQ(count_of(lines, "UPD_MSG_MTD_ADDR_ERR\n", kErr), 1);
    EXPECT_EQ(progress_seen(), (std::vector<int>{15, 20, 25, 30, 36}));
    // What was written before stays written.
    EXPECT_EQ(flash(1), written(0, 1));
    EXPECT_EQ(flash(2), untouched(2));
}

TEST_F(FlashBurn, EraseFailureLeavesThePartitionErasedUpToTheBlock)
{
    profile.faults.push_back({1, "erase", 2});
    start();
    EXPECT_EQ(burn({{1, 100000}}), -82);
    EXPECT_EQ(progress_seen(), (std::vector<int>{15, 25}));
    EXPECT_EQ(count_of(logged(), "UPD_MSG_FLASH_ERASE_ERR\n", kErr), 1);
    std::vector<uint8_t> now = flash(1);
    EXPECT_EQ(slice(now, 0, 2 * kBlock), std::vector<uint8_t>(2 * kBlock, 0xFF));
    EXPECT_EQ(slice(now, 2 * kBlock, 4 * kBlock), slice(untouched(1), 2 * kBlock, 4 * kBlock));
}

TEST_F(FlashBurn, WriteFailureInAChunk)
{
    profile.faults.push_back({2, "write", 1});
    start();
    EXPECT_EQ(burn({{1, 100}, {2, 200000}}), -81);
    EXPECT_EQ(count_of(logged(), "UPD_MSG_FLASH_WRITE_ERR\n", kErr), 1);
    // The first partition has no whole chunk to report; the second erases
    // from 57, reports its first chunk at 78 and fails on the next.
    EXPECT_EQ(progress_seen(), (std::vector<int>{15, 20, 25, 30, 57, 62, 67, 72, 78}));
    EXPECT_EQ(flash(1), written(0, 1));
    std::vector<uint8_t> now = flash(2);
    EXPECT_EQ(slice(now, 0, kBlock), slice(payload(1), 0, kBlock));
    EXPECT_EQ(slice(now, kBlock, 4 * kBlock), std::vector<uint8_t>(3 * kBlock, 0xFF));
}

TEST_F(FlashBurn, WriteFailureInTheRest)
{
    profile.faults.push_back({1, "write", 1});
    start();
    EXPECT_EQ(burn({{1, 100000}}), -81);
    EXPECT_EQ(progress_seen(), (std::vector<int>{15, 25, 36, 46, 57}));
    std::vector<Logged> lines = logged();
    EXPECT_EQ(count_of(lines, "last size:86a0\n", kDebug), 1);
    EXPECT_EQ(count_of(lines, "UPD_MSG_FLASH_WRITE_ERR\n", kErr), 1);
}

// The chip stores half of every write: the burn keeps writing until all of
// it is in.
TEST_F(FlashBurn, ShortWritesAreContinued)
{
    profile.faults.push_back({1, "short_write", -1});
    start();
    ASSERT_EQ(burn({{1, 100000}}), 0);
    EXPECT_EQ(progress_seen(), (std::vector<int>{15, 25, 36, 46, 57, 100}));
    EXPECT_EQ(flash(1), written(0, 1));
}

// The environment gives mtd1 one block while the payload runs into the
// second: the erase covers less than the write, and on NOR the old data
// of the second block shows through what was written over it. Every write
// reports success; only reading back finds it.
TEST_F(FlashBurn, ReadBackFindsBytesThatDidNotTake)
{
    table[1].end_addr = table[1].start_addr + kBlock;
    start();
    EXPECT_EQ(burn({{1, 100000}}), -81);
    std::vector<Logged> lines = logged();
    EXPECT_EQ(count_of(lines, "/dev/mtd1 verify failed!\n", kErr), 1);
    EXPECT_EQ(count_of(lines, "UPD_MSG_FLASH_WRITE_ERR\n", kErr), 1);
    // One erase step, one write step, and no end.
    EXPECT_EQ(progress_seen(), (std::vector<int>{15, 57}));
    std::vector<uint8_t> now = flash(1);
    EXPECT_EQ(slice(now, 0, kBlock), slice(payload(0), 0, kBlock));
    EXPECT_NE(slice(now, kBlock, 100000), slice(payload(0), kBlock, 100000));
}

TEST_F(FlashBurn, MissingArgumentsAreRefusedQuietly)
{
    start();
    CBasicUI ui;
    uint8_t byte = 0;
    int flag = 1;
    Partition_Header part;
    memset(&part, 0, sizeof(part));
    part.partition_id = 1;
    part.partition_size = 1;
    EXPECT_EQ(upgrader_burn_flash(nullptr, table, 1, &part, &flag, &ui), -1);
    EXPECT_EQ(upgrader_burn_flash(&byte, nullptr, 1, &part, &flag, &ui), -1);
    EXPECT_EQ(upgrader_burn_flash(&byte, table, 1, nullptr, &flag, &ui), -1);
    EXPECT_EQ(upgrader_burn_flash(&byte, table, 1, &part, nullptr, &ui), -1);
    EXPECT_EQ(upgrader_burn_flash(&byte, table, 1, &part, &flag, nullptr), -1);
    EXPECT_TRUE(progress_seen().empty());
    EXPECT_TRUE(logged().empty());
    EXPECT_EQ(flash(1), untouched(1));
}

// --- erasing a whole partition ------------------------------------------

TEST_F(FlashBurn, FormatErasesTheWholePartitionAndNothingElse)
{
    start();
    fmt_one_partition(table, 2);
    EXPECT_EQ(flash(2), std::vector<uint8_t>(4 * kBlock, 0xFF));
    EXPECT_EQ(flash(1), untouched(1));
    EXPECT_EQ(flash(3), untouched(3));
    std::vector<Logged> lines = logged();
    EXPECT_EQ(count_of(lines, "mtd2 start_addr:90060000 end_addr:900a0000\n", kInfo), 1);
    EXPECT_EQ(count_of(lines, "erase done\n", kDebug), 4);
}

TEST_F(FlashBurn, FormatStopsAtTheFirstFailedErase)
{
    profile.faults.push_back({2, "erase", 1});
    profile.faults.push_back({3, "open", -1});
    start();
    fmt_one_partition(table, 2);
    std::vector<uint8_t> now = flash(2);
    EXPECT_EQ(slice(now, 0, kBlock), std::vector<uint8_t>(kBlock, 0xFF));
    EXPECT_EQ(slice(now, kBlock, 4 * kBlock), slice(untouched(2), kBlock, 4 * kBlock));

    fmt_one_partition(table, 3);
    table[4].name[0] = '\0';
    fmt_one_partition(table, 4);
    std::vector<Logged> lines = logged();
    EXPECT_EQ(count_of(lines, "/dev/mtd3 open failed!\n", kErr), 1);
    EXPECT_EQ(count_of(lines, "mtd4 isnot exist!\n", kErr), 1);
    EXPECT_EQ(flash(3), untouched(3));
    EXPECT_EQ(flash(4), untouched(4));
}

// --- the primitives on the chip and on plain files ----------------------

TEST_F(FlashBurn, NonRegionEraseErasesCountBlocksFromStart)
{
    profile.faults.push_back({2, "erase", 3});
    start();
    int fd = open((root / "/dev/mtd2").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_EQ(non_region_erase(fd, int(kBlock), 2), 0);
    std::vector<uint8_t> now = flash(2);
    EXPECT_EQ(slice(now, 0, kBlock), slice(untouched(2), 0, kBlock));
    EXPECT_EQ(slice(now, kBlock, 3 * kBlock), std::vector<uint8_t>(2 * kBlock, 0xFF));
    EXPECT_EQ(non_region_erase(fd, 0, 4), -1);
    close(fd);
}

TEST(FlashPrimitives, VerifyComparesWhatTheDeviceHolds)
{
    testsupport::TempDir dir;
    std::string path = dir.path() + "/dev";
    std::vector<uint8_t> data(3 * kBlock + 123);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i ^ (i >> 8));
    std::string content(data.begin(), data.end());
    testsupport::put(path, content + "tail");
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    // The position left by the writes does not matter: reading starts at 0.
    ASSERT_EQ(lseek(fd, 0, SEEK_END), off_t(content.size() + 4));
    EXPECT_EQ(flash_verify(fd, data.data(), data.size()), 0);
    EXPECT_EQ(flash_verify(fd, data.data(), 0), 0);

    std::vector<uint8_t> other = data;
    other[2 * kBlock + 5] ^= 0x10;
    EXPECT_EQ(flash_verify(fd, other.data(), other.size()), -1);
    other = data;
    other.back() ^= 1;
    EXPECT_EQ(flash_verify(fd, other.data(), other.size()), -1);
    // More than the device holds.
    std::vector<uint8_t> longer = data;
    longer.insert(longer.end(), {'t', 'a', 'i', 'l', 0xFF});
    EXPECT_EQ(flash_verify(fd, longer.data(), longer.size()), -1);
    close(fd);

    // A device that cannot be read.
    fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(flash_verify(fd, data.data(), data.size()), -1);
    close(fd);
}

TEST(FlashPrimitives, WriteAllWritesEverythingOrFails)
{
    testsupport::TempDir dir;
    std::string path = dir.path() + "/dev";
    testsupport::put(path, "");
    std::vector<uint8_t> data(200000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 3);
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(flash_write_all(fd, data.data(), data.size()), 0);
    EXPECT_EQ(flash_write_all(fd, data.data(), 0), 0);
    close(fd);
    EXPECT_EQ(testsupport::slurp(path), std::string(data.begin(), data.end()));

    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(flash_write_all(fd, data.data(), data.size()), -1);
    close(fd);
}

// A write at the end of a partition has no room: the chip refuses it.
TEST_F(FlashBurn, WriteAllStopsAtTheEndOfThePartition)
{
    start();
    int fd = open((root / "/dev/mtd3").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0) << strerror(errno);
    std::vector<uint8_t> data(kBlock + 10, 0);
    EXPECT_EQ(flash_write_all(fd, data.data(), data.size()), -1);
    close(fd);
}

} // namespace
