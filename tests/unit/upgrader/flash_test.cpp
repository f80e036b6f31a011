// The flash writer against the simulated telephone's kernel and NOR flash,
// mounted in this process. The chip starts out holding data everywhere, so a
// byte the burn failed to erase or to write shows in what it reads back.
#include "upgrader/flash.h"

#include "flash_progress_ui.h"
#include "phone_fixture.h"

#include "basicui/basicUI.h"
#include "platform/unique_fd.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

using namespace phonesim;
using testsupport::count_of;
using testsupport::logged;
using testsupport::Logged;

namespace
{

constexpr uint32_t kBlock = 0x10000;
constexpr int kErr = 3, kInfo = 6, kDebug = 7;
using Bytes = std::vector<uint8_t>;

// mtd1 and mtd2 have four blocks each, so that the erase steps of the bar
// can be told apart; the others are small.
const Window kLayout[kPartitions] = {{0x90000000, 0x90020000}, {0x90020000, 0x90060000},
                                     {0x90060000, 0x900a0000}, {0x900a0000, 0x900b0000},
                                     {0x900b0000, 0x900d0000}, {0x900d0000, 0x900f0000},
                                     {0x900f0000, 0x90110000}, {0x90110000, 0x90130000},
                                     {0x90130000, 0x90150000}, {0x90150000, 0x90170000}};

class FlashBurn : public testsupport::PhoneFixture
{
  protected:
    void start()
    {
        std::copy(kLayout, kLayout + kPartitions, profile.mtd);
        boot([this] { testsupport::put(paths.flash(), chip()); });
        progress_seen().clear();
    }

    int burn(const std::vector<PackPart> &parts) { return burn_pack(parts, table, &pack); }

    // What the chip holds before the burn.
    static const std::string &chip()
    {
        static const std::string bytes = [] {
            std::string c(kFlashSize, '\0');
            for (uint32_t at = 0; at < kFlashSize; ++at)
                c[at] = char(at * 7 + (at >> 16) + 1);
            return c;
        }();
        return bytes;
    }
    static Bytes part_of(const std::string &image, int n)
    {
        auto from = image.begin() + (kLayout[n].start - kFlashBase);
        return Bytes(from, from + (kLayout[n].end - kLayout[n].start));
    }
    Bytes flash(int n) const { return part_of(testsupport::slurp(paths.flash()), n); }
    static Bytes untouched(int n) { return part_of(chip(), n); }

    // Partition n holding payload i up to `to`, erased flash up to
    // `erased_to`, and what it held before from there on.
    Bytes expected(size_t i, int n, uint32_t to, uint32_t erased_to) const
    {
        Bytes v = untouched(n);
        std::fill(v.begin(), v.begin() + erased_to, 0xFF);
        if (to > 0)
            std::copy_n(pack.payload(i).begin(), to, v.begin());
        return v;
    }
    Bytes written(size_t i, int n) const
    {
        return expected(i, n, pack.headers[i].partition_size, kLayout[n].end - kLayout[n].start);
    }

    // The error lines logged since the last call.
    static std::vector<std::string> errors()
    {
        std::vector<std::string> out;
        for (const Logged &l : logged())
            if (l.level <= kErr)
                out.push_back(l.message);
        return out;
    }

    TestPack pack;
};

// --- the progress bar ---------------------------------------------------

struct Burn {
    const char *name;
    std::vector<PackPart> parts;
    std::vector<int> progress;
    const char *last_size; // the logged size of the last, partial chunk; null: no log
    friend void PrintTo(const Burn &b, std::ostream *os) { *os << b.name; }
};

class FlashBurnOk : public FlashBurn, public ::testing::WithParamInterface<Burn>
{
};

// Flagged partitions land whole, with erased flash after them; the others
// take no share of the bar and are not even opened (that would fail).
TEST_P(FlashBurnOk, BarAndFlash)
{
    const Burn &b = GetParam();
    auto flagged = [&](int n) {
        size_t i = 0;
        while (i < b.parts.size() && !(b.parts[i].id == n && b.parts[i].flag == 1))
            ++i;
        return i;
    };
    for (int n = 0; n < kPartitions; ++n)
        if (flagged(n) == b.parts.size())
            profile.faults.push_back({n, "open", -1});
    start();
    ASSERT_EQ(burn(b.parts), 0);
    EXPECT_EQ(progress_seen(), b.progress);
    std::vector<Logged> lines = logged();
    if (b.last_size == nullptr)
        EXPECT_TRUE(lines.empty());
    else
        EXPECT_GT(count_of(lines, b.last_size, kDebug), 0);
    for (const Logged &l : lines)
        EXPECT_GT(l.level, kErr) << l.message;
    for (int n = 0; n < kPartitions; ++n) {
        size_t i = flagged(n);
        EXPECT_EQ(flash(n), i < b.parts.size() ? written(i, n) : untouched(n)) << "mtd" << n;
        char window[64];
        snprintf(window, sizeof(window), "mtd%d start_addr:%x end_addr:%x\n", n, kLayout[n].start,
                 kLayout[n].end);
        EXPECT_EQ(count_of(lines, window, kInfo), i < b.parts.size() ? 1 : 0) << window;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, FlashBurnOk,
    ::testing::Values(
        Burn{"OneFlagged", {{1, 100000}}, {15, 25, 36, 46, 57, 100}, "last size:86a0\n"},
        Burn{"WholeBlock", {{1, 65536}}, {15, 25, 36, 46, 57, 100}, "last size:0\n"},
        Burn{"Tiny", {{2, 100}}, {15, 25, 36, 46, 100}, "last size:64\n"},
        Burn{"TwoFlaggedShareTheBar",
             {{1, 100000}, {5, 5000, 0}, {2, 100000}, {6, 7000, 2}},
             {15, 20, 25, 30, 36, 57, 62, 67, 72, 78, 100},
             "last size:86a0\n"},
        Burn{"NothingFlagged", {{1, 100000, 0}, {2, 100, 0}}, {100}, nullptr}),
    [](const ::testing::TestParamInfo<Burn> &info) { return std::string(info.param.name); });

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
    EXPECT_EQ(count_of(logged(), "upgrader_kernel_only is AVAILABLE \n", kInfo), 2);
    EXPECT_EQ(flash(5), untouched(5));
    EXPECT_EQ(flash(1), written(1, 1));
}

// --- failures -------------------------------------------------------------

struct Failure {
    const char *name;
    Fault fault; // none when kind is empty
    std::vector<PackPart> parts;
    int unnamed; // the environment entry left out, or -1
    int code;
    std::vector<int> progress;
    std::vector<std::string> errors;
    // What the last partition then holds: its payload up to `to`, erased
    // flash up to `erased_to`, its old content after. Those before it stay
    // written.
    uint32_t to, erased_to;
    friend void PrintTo(const Failure &f, std::ostream *os) { *os << f.name; }
};

class FlashBurnFault : public FlashBurn, public ::testing::WithParamInterface<Failure>
{
};

TEST_P(FlashBurnFault, CodeLogAndFlash)
{
    const Failure &f = GetParam();
    if (!f.fault.kind.empty())
        profile.faults.push_back(f.fault);
    start();
    if (f.unnamed >= 0)
        table[f.unnamed].name[0] = '\0';
    EXPECT_EQ(burn(f.parts), f.code);
    EXPECT_EQ(progress_seen(), f.progress);
    EXPECT_EQ(errors(), f.errors);
    size_t last = f.parts.size() - 1;
    for (size_t i = 0; i < last; ++i)
        EXPECT_EQ(flash(f.parts[i].id), written(i, f.parts[i].id));
    EXPECT_EQ(flash(f.parts[last].id), expected(last, f.parts[last].id, f.to, f.erased_to));
}

const std::string kWriteErr = "UPD_MSG_FLASH_WRITE_ERR\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Faults, FlashBurnFault, ::testing::Values(
    Failure{"MissingEnvironmentEntry", {}, {{1, 100}, {7, 100}}, 7, -85, {15, 20, 25, 30},
            {"mtd7 isnot exist!\n", "UPD_MSG_MTD_ENV_LOSED\n"}, 0, 0},
    // The code's text as the check's table has it.
    Failure{"OpenFails", {2, "open", -1}, {{1, 100000}, {2, 100000}}, -1, -83,
            {15, 20, 25, 30, 36}, {"/dev/mtd2 open failed!\n", "UPD_MSG_MTD_ADDR_ERR\n"}, 0, 0},
    Failure{"EraseFailsAtBlock2", {1, "erase", 2}, {{1, 100000}}, -1, -82, {15, 25},
            {"UPD_MSG_FLASH_ERASE_ERR\n"}, 0, 2 * kBlock},
    // The first partition has no whole chunk to report; the second erases
    // from 57, reports its first chunk at 78 and fails on the next.
    Failure{"WriteFailsInAChunk", {2, "write", 1}, {{1, 100}, {2, 200000}}, -1, -81,
            {15, 20, 25, 30, 57, 62, 67, 72, 78}, {kWriteErr}, kBlock, 4 * kBlock},
    Failure{"WriteFailsInTheRest", {1, "write", 1}, {{1, 100000}}, -1, -81,
            {15, 25, 36, 46, 57}, {kWriteErr}, kBlock, 4 * kBlock},
    // The chip stores half of every write: the burn keeps writing.
    Failure{"ShortWritesContinued", {1, "short_write", -1}, {{1, 100000}}, -1, 0,
            {15, 25, 36, 46, 57, 100}, {}, 100000, 4 * kBlock}),
    [](const ::testing::TestParamInfo<Failure> &info) { return std::string(info.param.name); });
// clang-format on

// The environment gives mtd1 one block while the payload runs into the
// second: the erase covers less than the write, and on NOR the old data of
// the second block shows through what was written over it. Every write
// reports success; only reading back finds it.
TEST_F(FlashBurn, ReadBackFindsBytesThatDidNotTake)
{
    start();
    table[1].end_addr = table[1].start_addr + kBlock;
    EXPECT_EQ(burn({{1, 100000}}), -81);
    EXPECT_EQ(errors(), (std::vector<std::string>{"/dev/mtd1 verify failed!\n", kWriteErr}));
    EXPECT_EQ(progress_seen(), (std::vector<int>{15, 57}));
    Bytes want = expected(0, 1, kBlock, kBlock), payload = pack.payload(0);
    for (uint32_t a = kBlock; a < 100000; ++a)
        want[a] &= payload[a];
    EXPECT_EQ(flash(1), want);
}

// Missing arguments are refused (-1) before the bar moves; no partitions
// to burn finish the bar at once.
TEST_F(FlashBurn, NothingToBurnTouchesNothing)
{
    start();
    CBasicUI ui;
    uint8_t byte[100] = {};
    int flag = 1;
    Partition_Header part = {};
    EXPECT_EQ(upgrader_burn_flash(nullptr, table, 1, &part, &flag, &ui), -1);
    EXPECT_EQ(upgrader_burn_flash(byte, nullptr, 1, &part, &flag, &ui), -1);
    EXPECT_EQ(upgrader_burn_flash(byte, table, 1, nullptr, &flag, &ui), -1);
    EXPECT_EQ(upgrader_burn_flash(byte, table, 1, &part, nullptr, &ui), -1);
    EXPECT_EQ(upgrader_burn_flash(byte, table, 1, &part, &flag, nullptr), -1);
    EXPECT_TRUE(progress_seen().empty());
    for (int count : {0, -3}) {
        EXPECT_EQ(upgrader_burn_flash(byte, table, count, &part, &flag, &ui), 0);
        EXPECT_EQ(progress_seen().back(), 100);
    }
    EXPECT_EQ(progress_seen().size(), 2u);
    EXPECT_TRUE(logged().empty());
    EXPECT_EQ(flash(1), untouched(1));
}

// --- erasing a whole partition, and the primitives ------------------------

// Formatting erases every block of the partition and nothing else, and
// stops at the first failure.
TEST_F(FlashBurn, FormatErasesThePartitionUpToAFailure)
{
    profile.faults.push_back({2, "erase", 1});
    profile.faults.push_back({3, "open", -1});
    start();
    fmt_one_partition(table, 1);
    EXPECT_EQ(count_of(logged(), "erase done\n", kDebug), 4);
    fmt_one_partition(table, 2);
    fmt_one_partition(table, 3);
    table[4].name[0] = '\0';
    fmt_one_partition(table, 4);
    EXPECT_EQ(errors(),
              (std::vector<std::string>{"/dev/mtd3 open failed!\n", "mtd4 isnot exist!\n"}));
    EXPECT_EQ(flash(0), untouched(0));
    EXPECT_EQ(flash(1), Bytes(4 * kBlock, 0xFF));
    EXPECT_EQ(flash(2), expected(0, 2, 0, kBlock));
    for (int n : {3, 4, 5})
        EXPECT_EQ(flash(n), untouched(n));
}

// non_region_erase erases count blocks from start; a write at the end of a
// partition has no room: the chip refuses it.
TEST_F(FlashBurn, PrimitivesOnTheChip)
{
    profile.faults.push_back({2, "erase", 3});
    start();
    UniqueFd fd(open(at("/dev/mtd2").c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_GE(fd.get(), 0) << strerror(errno);
    EXPECT_EQ(non_region_erase(fd.get(), int(kBlock), 2), 0);
    Bytes want = untouched(2);
    std::fill(want.begin() + kBlock, want.begin() + 3 * kBlock, 0xFF);
    EXPECT_EQ(flash(2), want);
    EXPECT_EQ(non_region_erase(fd.get(), 0, 4), -1);
    UniqueFd small(open(at("/dev/mtd3").c_str(), O_RDWR | O_CLOEXEC));
    Bytes data(kBlock + 10, 0);
    EXPECT_EQ(flash_write_all(small.get(), data.data(), data.size()), -1);
}

} // namespace
