// phonesim's kernel as the program meets it, mounted over a new telephone:
// NOR flash partitions, the partition-move request, the boot loader's
// environment and the power failing during a flash operation.
#include "phonesim/init.h"
#include "phonesim/kernel.h"

#include "files.h"
#include "isolation.h"

#include <gtest/gtest.h>
#include <mtd/mtd-user.h>

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>

using namespace phonesim;
using testsupport::put;
using testsupport::slurp;

namespace
{

::testing::Environment *const g_isolated = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

int erase(int fd, uint32_t start, uint32_t length)
{
    erase_info_user e{start, length};
    return ioctl(fd, MEMERASE, &e);
}

// The errno of a request refused with -1; 0 when it was not refused.
int refusal(int rc)
{
    return rc == -1 ? errno : 0;
}

struct Phone {
    testsupport::TempDir dir;
    Paths paths;
    Profile profile = default_profile();
    std::vector<FlashOp> ops;
    int cuts = 0;
    std::unique_ptr<Kernel> kernel; // unmounted before dir goes

    explicit Phone(bool mtd_move_supported = true, uint64_t cut_at = 0)
    {
        paths.root = dir.path();
        profile.mtd_move_supported = mtd_move_supported;
        profile.power_cut.op = cut_at;
        std::string error;
        EXPECT_EQ(init_telephone(paths.root, profile, {}, &error), 0) << error;
        mount();
    }
    // A boot.
    void mount()
    {
        KernelEvents events;
        events.on_flash_op = [this](const FlashOp &op) { ops.push_back(op); };
        events.on_power_cut = [this] { ++cuts; };
        kernel.reset(new Kernel(paths, profile, events));
        std::string error;
        EXPECT_EQ(kernel->mount(&error), 0) << error;
    }
    std::string at(const std::string &rel) const { return paths.kernel() + rel; }
    std::string mtd(int n) const { return slurp(at("/dev/mtd" + std::to_string(n))); }
    int open_mtd(int n) const
    {
        return open(at("/dev/mtd" + std::to_string(n)).c_str(), O_RDWR | O_CLOEXEC);
    }
};

} // namespace

TEST(Kernel, EnvironmentLinesSetRemoveAndPersist)
{
    Phone phone;
    std::string env = phone.at("/proc/avalanche/env"), expected = slurp(env);
    ASSERT_EQ(expected.find("MID_VERSION 0\nSW_OEM 0\nSW_protect 0\n"), 0u) << expected;
    for (const char *line : {"SW_OEM 34\n", "NEW_VAR a b \t\n", "MID_VERSION\n", "NOT_THERE\n"})
        put(env, line);
    ASSERT_EQ(phone.ops.size(), 4u);
    EXPECT_EQ(phone.ops[3].n, 4u);
    EXPECT_EQ(phone.ops[1].text, "NEW_VAR a b \t");
    expected.replace(0, 36, "SW_OEM 34\nSW_protect 0\n");
    expected += "NEW_VAR a b\n";
    EXPECT_EQ(slurp(env), expected);
    EXPECT_EQ(slurp(phone.paths.bootenv()), expected);
    phone.kernel->unmount();
    phone.mount();
    EXPECT_EQ(slurp(env), expected);
}

// A write can only clear bits; an erase sets a whole block to 0xFF.
TEST(Kernel, MtdAnswersLikeNorFlash)
{
    Phone phone;
    int fd = phone.open_mtd(0);
    ASSERT_GE(fd, 0) << strerror(errno);
    mtd_info_user info{};
    ASSERT_EQ(ioctl(fd, MEMGETINFO, &info), 0) << strerror(errno);
    EXPECT_EQ(info.type, MTD_NORFLASH);
    EXPECT_EQ(info.size, 0x20000u);
    EXPECT_EQ(info.erasesize, 0x10000u);

    std::string a(0x10000, '\0'), b = a, both = a;
    for (size_t i = 0; i < a.size(); ++i)
        both[i] = char((a[i] = char(0xA5 ^ i)) & (b[i] = char(i * 7 + (i >> 8))));
    std::string second_block = phone.mtd(0).substr(0x10000);
    ASSERT_EQ(erase(fd, 0, 0x10000), 0) << strerror(errno);
    EXPECT_TRUE(phone.mtd(0).substr(0, 0x10000) == std::string(0x10000, '\xff'));
    ASSERT_EQ(write(fd, a.data(), a.size()), ssize_t(a.size()));
    ASSERT_EQ(pwrite(fd, b.data(), b.size(), 0), ssize_t(b.size()));
    EXPECT_TRUE(phone.mtd(0).substr(0, 0x10000) == both) << "a 0 bit cannot be written back to 1";
    EXPECT_TRUE(phone.mtd(0).substr(0x10000) == second_block);
    EXPECT_TRUE(slurp(phone.paths.flash()).substr(0, 0x10000) == both) << "kept in the chip image";

    // Erases of whole blocks inside the partition only.
    for (auto bad : {std::make_pair(0x100u, 0x10000u), std::make_pair(0x10000u, 0x20000u),
                     std::make_pair(0u, 0u), std::make_pair(0u, 0x8000u)})
        EXPECT_EQ(refusal(erase(fd, bad.first, bad.second)), EINVAL)
            << bad.first << "+" << bad.second;
    // The device ends where its window ends.
    EXPECT_EQ(lseek(fd, 0, SEEK_END), 0x20000);
    EXPECT_EQ(refusal(pwrite(fd, a.data(), 16, 0x20000)), ENOSPC);
    close(fd);
}

// A move lasts until the next boot: the table comes from the environment.
TEST(Kernel, MoveShowsTheChipThereUntilTheNextBoot)
{
    Phone phone;
    std::string env = slurp(phone.at("/proc/avalanche/env"));
    int fd = phone.open_mtd(5);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ioctl(fd, kMtdRepairQuery, nullptr), 0) << strerror(errno);
    MtdRepairArg to{0x320000, 0x10000}; // where mtd3 lives
    ASSERT_EQ(ioctl(fd, kMtdAddrRepair, &to), 0) << strerror(errno);
    // The served table follows (tests/unit/upgrader/mtdlayout_test.cpp).
    EXPECT_TRUE(phone.mtd(5) == slurp(phone.paths.flash()).substr(0x320000, 0x10000));
    // The boot loader's variables are not the kernel's to change.
    EXPECT_EQ(slurp(phone.at("/proc/avalanche/env")), env);
    for (MtdRepairArg bad :
         {MtdRepairArg{0x1000, 0x10000}, MtdRepairArg{0x7F0000, 0x20000}, MtdRepairArg{0x10000, 0}})
        EXPECT_EQ(refusal(ioctl(fd, kMtdAddrRepair, &bad)), EINVAL);
    close(fd);
    ASSERT_EQ(phone.ops.size(), 1u) << "malformed requests are no operations";
    EXPECT_STREQ(phone.ops[0].kind, "move");
    EXPECT_EQ(phone.ops[0].offset, 0x320000u);
    // The block view of mtd3 shows its bytes, read-only.
    EXPECT_TRUE(slurp(phone.at("/dev/mtdblock/3")) == phone.mtd(5));
    EXPECT_EQ(open(phone.at("/dev/mtdblock/3").c_str(), O_RDWR | O_CLOEXEC), -1);

    // A kernel without the move knows neither request.
    Phone old(false);
    fd = old.open_mtd(5);
    EXPECT_EQ(refusal(ioctl(fd, kMtdRepairQuery, nullptr)), ENOTTY);
    EXPECT_EQ(refusal(ioctl(fd, kMtdAddrRepair, &to)), ENOTTY);
    close(fd);

    phone.kernel->unmount();
    phone.mount();
    EXPECT_EQ(slurp(phone.paths.layout()), format_layout(phone.profile.mtd));
}

// Windows the environment gives are taken, overlaps included; those the
// chip cannot hold, or that are missing, are the profile's.
TEST(Kernel, BootTakesThePartitionTableFromTheEnvironment)
{
    Phone phone;
    put(phone.at("/proc/avalanche/env"), "mtd8 0x90320000,0x90330000\nmtd9 907b0000,90808000\n"
                                         "mtd7 906b8000,90730000\nmtd6\nmtd2 90120000,90300000\n");
    phone.kernel->unmount();
    phone.mount();
    Window expected[kPartitions];
    std::copy(phone.profile.mtd, phone.profile.mtd + kPartitions, expected);
    expected[8] = Window{0x90320000, 0x90330000};
    expected[2] = Window{0x90120000, 0x90300000};
    EXPECT_EQ(slurp(phone.paths.layout()), format_layout(expected));
    EXPECT_EQ(phone.mtd(8), slurp(phone.paths.flash()).substr(0x320000, 0x10000));
    EXPECT_EQ(phone.mtd(2).size(), 0x1e0000u);
}

// The cut operation takes the first half of its effect, fails, and nothing
// reaches the chip, the environment or the layout after it.
TEST(Kernel, PowerCutLeavesHalfAnEraseOrWriteAndNothingAfter)
{
    for (bool at_erase : {true, false}) {
        SCOPED_TRACE(at_erase ? "erase" : "write");
        Phone phone(true, 2);
        int fd = phone.open_mtd(8);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, "\x0f\x0f\x0f\x0f\x0f", 5, 0x100), 5);
        std::string chip = slurp(phone.paths.flash()), env = slurp(phone.paths.bootenv());
        if (at_erase) {
            EXPECT_EQ(refusal(erase(fd, 0, 0x20000)), EIO);
            chip.replace(0x730000, 0x10000, std::string(0x10000, '\xff'));
        } else {
            EXPECT_EQ(refusal(pwrite(fd, "\x01\x02\x03\x04\x05", 5, 0x100)), EIO);
            chip.replace(0x730100, 2, "\x01\x02");
        }

        MtdRepairArg to{0x320000, 0x10000};
        EXPECT_EQ(refusal(erase(fd, 0x10000, 0x10000)), EIO);
        EXPECT_EQ(refusal(pwrite(fd, "\0", 1, 0x200)), EIO);
        EXPECT_EQ(refusal(ioctl(fd, kMtdAddrRepair, &to)), EIO);
        close(fd);
        EXPECT_EQ(refusal(open(phone.at("/proc/avalanche/env").c_str(), O_WRONLY | O_CLOEXEC)),
                  EIO);
        EXPECT_TRUE(slurp(phone.paths.flash()) == chip);
        EXPECT_EQ(slurp(phone.paths.bootenv()), env);
        EXPECT_EQ(slurp(phone.paths.layout()), format_layout(phone.profile.mtd));

        ASSERT_EQ(phone.ops.size(), 2u);
        EXPECT_EQ(phone.ops[1].n, 2u);
        EXPECT_STREQ(phone.ops[1].kind, at_erase ? "erase" : "write");
        EXPECT_EQ(phone.ops[1].mtd, 8);
        EXPECT_EQ(phone.ops[1].length, at_erase ? 0x20000u : 5u);
        EXPECT_TRUE(phone.ops[1].cut);
        EXPECT_FALSE(phone.ops[0].cut);
        EXPECT_EQ(phone.cuts, 1);
        // Counted with what they did.
        FlashCount c = phone.kernel->flash_counts()[8];
        EXPECT_EQ(c.erases, at_erase ? 1u : 0u);
        EXPECT_EQ(c.erased, at_erase ? 0x10000u : 0u);
        EXPECT_EQ(c.programmed, at_erase ? 5u : 7u);
    }
}

// Each partition's erases, bytes erased, programmed and read (by both of
// its files), and the telephone's time for them.
TEST(Kernel, CountsWhatEachPartitionDidAndEstimatesItsTime)
{
    Phone phone;
    phone.profile.faults = {Fault{4, "short_write", -1}};
    phone.profile.flash_timing = FlashTiming{400, 8, 0.5, 0};
    phone.kernel->unmount();
    phone.mount();
    int fd8 = phone.open_mtd(8), fd4 = phone.open_mtd(4);
    ASSERT_GE(fd8, 0);
    ASSERT_GE(fd4, 0);
    std::string zeros(0x800, '\0');
    ASSERT_EQ(erase(fd8, 0, 0x20000), 0) << strerror(errno);
    EXPECT_EQ(erase(fd8, 0x100, 0x10000), -1) << "malformed, so never at the chip";
    EXPECT_EQ(pwrite(fd8, zeros.data(), 0x800, 0x10000), 0x800);
    EXPECT_EQ(pwrite(fd4, zeros.data(), 0x400, 0), 0x200) << "the fault halves it";
    close(fd8);
    close(fd4);
    EXPECT_EQ(phone.mtd(8).size(), 0x80000u);
    EXPECT_EQ(slurp(phone.at("/dev/mtdblock/4")).size(), 0x80000u);

    FlashCounts c = phone.kernel->flash_counts();
    EXPECT_EQ(c[8].erases, 1u);
    EXPECT_EQ(c[8].erased, 0x20000u);
    EXPECT_EQ(c[8].programmed, 0x800u);
    EXPECT_EQ(c[8].read, 0x80000u);
    EXPECT_EQ(c[4].erases, 0u);
    EXPECT_EQ(c[4].programmed, 0x200u);
    EXPECT_EQ(c[4].read, 0x80000u);
    for (int i : {0, 1, 2, 3, 5, 6, 7, 9})
        EXPECT_EQ(flash_time_ms(phone.profile.flash_timing, c[i]), 0) << i;
    EXPECT_DOUBLE_EQ(flash_time_ms(phone.profile.flash_timing, c[8]), 2 * 400 + 2 * 8 + 512 * 0.5);
    EXPECT_DOUBLE_EQ(flash_time_ms(phone.profile.flash_timing, c[4]), 0.5 * 8 + 512 * 0.5);
    phone.kernel->reset_flash_counts();
    EXPECT_EQ(phone.kernel->flash_counts()[8].read, 0u);
}
