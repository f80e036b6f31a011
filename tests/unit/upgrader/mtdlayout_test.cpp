// Every case makes a simulated telephone (phonesim's root, chip image and
// kernel, mounted in this process) and runs the partition moves, copies and
// write-backs against it with real shell commands from DIR/tmp/bin, as the
// program does after copying /bin there.
#include "upgrader/mtdlayout.h"

#include "phone_fixture.h"
#include "platform/unique_fd.h"
#include "upgrader/flash.h"

#include <fcntl.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

using phonesim::format_layout;
using phonesim::kPartitions;
using phonesim::Window;
using testsupport::count_containing;
using testsupport::count_of;
using testsupport::logged;
using testsupport::put;
using testsupport::slurp;

// Reads back from the flash can be made to see one bit other than what the
// chip holds, as a worn block would show it.
static std::atomic<int> g_flip_reads{0};

extern "C" ssize_t pread(int fd, void *buf, size_t count, off_t offset)
{
    ssize_t n = syscall(SYS_pread64, fd, buf, count, offset);
    if (n > 0 && g_flip_reads.load() != 0)
        static_cast<uint8_t *>(buf)[n - 1] ^= 0x01;
    return n;
}

extern "C" ssize_t pread64(int fd, void *buf, size_t count, off64_t offset)
{
    return pread(fd, buf, count, off_t(offset));
}

namespace
{

const uint32_t kMtd3Size = 0x10000, kMtd4Size = 0x80000;
const int kErr = 3, kInfo = 6, kDebug = 7;

long open_descriptors()
{
    std::filesystem::directory_iterator fds("/proc/self/fd");
    return std::distance(fds, std::filesystem::directory_iterator());
}

// An image whose every byte tells its place.
std::string image(uint32_t size)
{
    std::string bytes(size, '\0');
    for (uint32_t i = 0; i < size; ++i)
        bytes[i] = char((i * 13) ^ (i >> 9));
    return bytes;
}

class Mtdlayout : public testsupport::PhoneFixture
{
  protected:
    void SetUp() override
    {
        PhoneFixture::SetUp();
        setenv("UPGRADER_PAUSE_SCALE", "0", 1);
        mtdlayout_reset();
        kernel_support = 1;
        env_mtd_write = config_mtd_write = upgrader_kernel_only = 0;
        std::copy(profile.mtd, profile.mtd + kPartitions, next);
    }

    // Room below the two small partitions: mtd2 (0x90120000-0x90320000)
    // shrinks, mtd3 and mtd4 slide down two blocks, mtd5 grows into the gap.
    void slide_config_down()
    {
        next[2].end = 0x90300000;
        next[3] = Window{0x90300000, 0x90310000};
        next[4] = Window{0x90310000, 0x90390000};
        next[5].start = 0x90390000;
    }

    // The new layout file, from next: only the first `keys` partitions, and
    // partition `raw_at` given as `raw`.
    void write_conf(int keys = kPartitions, int raw_at = -1, const std::string &raw = "")
    {
        std::string text = "[mtd]\n";
        for (int i = 0; i < keys; ++i) {
            char value[32];
            snprintf(value, sizeof(value), "%x,%x", next[i].start, next[i].end);
            text += "mtd" + std::to_string(i) + "=" + (i == raw_at ? raw : value) + "\n";
        }
        put(at("/tmp/mtd.conf"), text);
    }

    // The windows the kernel serves now, and those the table holds.
    std::string kernel_layout() const
    {
        Window w[kPartitions];
        return phonesim::parse_layout(slurp(paths.layout()), w) ? format_layout(w) : "";
    }
    std::string table_layout() const
    {
        Window w[kPartitions];
        for (int i = 0; i < kPartitions; ++i)
            w[i] = Window{table[i].start_addr, table[i].end_addr};
        return format_layout(w);
    }
    bool exists(const std::string &rel) const { return access(at(rel).c_str(), F_OK) == 0; }
    // Replaces the telephone's copy of cat with a shell script.
    void fake_cat(const std::string &body)
    {
        put(at("/tmp/bin/cat"), "#!/bin/sh\n" + body + "\n");
        chmod(at("/tmp/bin/cat").c_str(), 0755);
    }

    Window next[kPartitions];
};

// --- kernel support and layout comparison ---------------------------------

TEST_F(Mtdlayout, KernelWithoutMovesAsksBothDevicesAndAnswersNo)
{
    profile.mtd_move_supported = false;
    boot();
    EXPECT_EQ(kernel_support_mtd_repair_check(), 0);
    auto lines = logged();
    EXPECT_EQ(count_of(lines, "/dev/mtd0 ioctl failed!\n", kDebug), 1);
    EXPECT_EQ(count_of(lines, "/dev/mtd1 ioctl failed!\n", kDebug), 1);
}

TEST_F(Mtdlayout, MissingDeviceAnswersNo)
{
    profile.faults.push_back(phonesim::Fault{0, "open", -1});
    boot();
    EXPECT_EQ(kernel_support_mtd_repair_check(), 0);
    EXPECT_EQ(count_of(logged(), "/dev/mtd0 open failed!\n", kDebug), 1);
}

// The kernel moves partitions. An identical layout moves and copies
// nothing; one where only mtd5 differs moves mtd5 alone, without copying.
TEST_F(Mtdlayout, IdenticalLayoutAndOnlyMtd5Differing)
{
    boot();
    EXPECT_EQ(kernel_support_mtd_repair_check(), 1);
    EXPECT_EQ(count_containing(logged(), "failed"), 0);
    write_conf();
    EXPECT_EQ(mtd_config_deal(table), 0);
    EXPECT_EQ(kernel_layout(), format_layout(profile.mtd));
    auto lines = logged();
    EXPECT_EQ(count_containing(lines, "mtd_diffrent_deal"), 0);
    EXPECT_EQ(count_of(lines, "mtd9 start_addr:907b0000 end_addr:90800000\n", kInfo), 1);

    next[5].end = 0x904a0000;
    write_conf();
    EXPECT_EQ(mtd_config_deal(table), 0);
    EXPECT_EQ(kernel_layout(), format_layout(next));
    EXPECT_EQ(table_layout(), format_layout(next));
    EXPECT_EQ(env_mtd_write + config_mtd_write + upgrader_kernel_only, 0);
    EXPECT_FALSE(exists("/tmp/mtdblock3"));
    lines = logged();
    EXPECT_EQ(count_containing(lines, "shellcmd:"), 0);
    EXPECT_EQ(count_of(lines, "mtd_diffrent_deal mtd5\n", kDebug), 1);
}

TEST_F(Mtdlayout, ConfigPartitionsMovedAndWrittenBackKeepTheirContent)
{
    boot();
    // Something of the telephone's own in the configuration, beyond the
    // chip's signature line.
    {
        UniqueFd fd(open(at("/dev/mtd4").c_str(), O_RDWR));
        const char entry[] = "[Phone]\nname=desk\n";
        ASSERT_EQ(pwrite(fd.get(), entry, sizeof(entry), 0x1000), ssize_t(sizeof(entry)));
    }
    std::string env_before = slurp(at("/dev/mtdblock/3"));
    std::string config_before = slurp(at("/dev/mtdblock/4"));

    slide_config_down();
    write_conf();
    ASSERT_EQ(mtd_config_deal(table), 0);
    EXPECT_EQ(kernel_layout(), format_layout(next));
    EXPECT_EQ(table_layout(), format_layout(next));
    EXPECT_EQ(env_mtd_write + config_mtd_write, 2);
    auto lines = logged();
    // Copied once, although two partitions needed the copies.
    EXPECT_EQ(count_containing(lines, "shellcmd:"), 2);
    std::string cat =
        at("/tmp/bin/cat") + " " + at("/dev/mtdblock/3") + " > " + at("/tmp/mtdblock3");
    EXPECT_EQ(count_of(lines, "shellcmd:" + cat + "\n", kInfo), 1);
    EXPECT_EQ(slurp(at("/tmp/mtdblock3")), env_before);
    EXPECT_EQ(slurp(at("/tmp/mtdblock4")), config_before);
    EXPECT_NE(slurp(at("/dev/mtdblock/4")), config_before); // other flash now

    ASSERT_EQ(umount_config_mtd(), 0);
    EXPECT_EQ(slurp(paths.records() + "/umount.log"),
              "umount " + at("/etc/") + "\numount " + at("/config/") + "\n");
    ASSERT_EQ(mtd_write(4, MTDBLOCK4_SIZE, MTDBLOCK4_SAVE), 0);
    ASSERT_EQ(mtd_write(3, MTDBLOCK3_SIZE, MTDBLOCK3_SAVE), 0);
    EXPECT_EQ(slurp(at("/dev/mtdblock/3")), env_before);
    EXPECT_EQ(slurp(at("/dev/mtdblock/4")), config_before);
    lines = logged();
    EXPECT_EQ(count_of(lines, "file size:80000 \n", kDebug), 1);
    EXPECT_EQ(count_containing(lines, "mtd_write :4 "), int(kMtd4Size / 0x10000));
}

TEST_F(Mtdlayout, WithoutKernelSupportFirstDifferenceRestrictsTheBurn)
{
    profile.mtd_move_supported = false;
    boot();
    ASSERT_EQ(kernel_support = kernel_support_mtd_repair_check(), 0);
    slide_config_down();
    write_conf();
    logged();
    EXPECT_EQ(mtd_config_deal(table), 0);
    EXPECT_EQ(upgrader_kernel_only, 1);
    EXPECT_EQ(kernel_layout(), format_layout(profile.mtd));
    EXPECT_EQ(table_layout(), format_layout(profile.mtd));
    EXPECT_EQ(env_mtd_write + config_mtd_write, 0);
    auto lines = logged();
    EXPECT_EQ(count_of(lines, "kernel_support is UNAVAILABLE\n", kInfo), 1);
    EXPECT_EQ(count_of(lines, "mtd2 start_addr:90120000 end_addr:90320000\n", kInfo), 1);
    EXPECT_EQ(count_containing(lines, "mtd3 start_addr"), 0);
    EXPECT_EQ(count_containing(lines, "shellcmd:"), 0);
}

TEST_F(Mtdlayout, PartitionMissingFromTheEnvironmentFails)
{
    boot();
    write_conf();
    strcpy(table[7].name, "mtd77");
    EXPECT_EQ(mtd_config_deal(table), -1);
    EXPECT_EQ(count_of(logged(), "mtd7 isnot exist!\n", kInfo), 1);
}

// --- malformed layouts: refused before anything is compared or moved -------

TEST_F(Mtdlayout, MalformedLayoutsAreRefusedBeforeAnythingMoves)
{
    struct {
        const char *name;
        int keys;
        int partition;
        std::string value;
    } cases[] = {{"nine keys", 9, 0, "90000000,90020000"},
                 {"misaligned", 10, 6, "904b8000,906b0000"},
                 {"above the chip", 10, 9, "907b0000,90810000"},
                 {"below the chip", 10, 0, "8fff0000,90020000"},
                 {"end before start", 10, 8, "907b0000,90730000"},
                 {"empty", 10, 8, "90730000,90730000"},
                 {"not hex", 10, 4, "zz,90390000"},
                 {"no end", 10, 4, "90310000"}};
    boot();
    slide_config_down();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        write_conf(c.keys, c.partition, c.value);
        EXPECT_EQ(mtd_config_deal(table), -1);
        EXPECT_EQ(kernel_layout(), format_layout(profile.mtd));
        EXPECT_EQ(table_layout(), format_layout(profile.mtd));
        EXPECT_EQ(env_mtd_write + config_mtd_write + upgrader_kernel_only, 0);
        EXPECT_FALSE(exists("/tmp/mtdblock3"));
        auto lines = logged();
        EXPECT_EQ(count_containing(lines, "start_addr:"), 0);
        EXPECT_EQ(count_containing(lines, "shellcmd:"), 0);
    }
}

// --- saving the partitions before a move ----------------------------------

// A copy that fails, or that exits with 0 but delivers only the first 4 KiB,
// stops the move before mtd3, after five tries.
TEST_F(Mtdlayout, FailedOrShortCopyStopsTheMove)
{
    boot();
    slide_config_down();
    write_conf();
    Window expected[kPartitions];
    std::copy(profile.mtd, profile.mtd + kPartitions, expected);
    expected[2] = next[2]; // moved before mtd3 was reached
    for (std::string cat : {"exit 1", "head -c 4096 \"$1\""}) {
        SCOPED_TRACE(cat);
        fake_cat(cat);
        EXPECT_EQ(mtd_config_deal(table), -1);
        EXPECT_EQ(kernel_layout(), format_layout(expected));
        EXPECT_EQ(env_mtd_write + config_mtd_write, 0);
        auto lines = logged();
        EXPECT_EQ(count_containing(lines, "shellcmd:"), 5);
        EXPECT_EQ(count_containing(lines, "mtd_diffrent_deal mtd4"), 0);
    }
}

TEST_F(Mtdlayout, FailedCopyIsNotRememberedAsMade)
{
    boot();
    // mtd3 copies, mtd4 does not.
    fake_cat("case \"$1\" in *mtdblock/4) exit 1;; esac\nexec " + at("/bin/cat") + " \"$@\"");
    EXPECT_EQ(cat_env_config_block(), -1);
    EXPECT_EQ(count_containing(logged(), "shellcmd:"), 1 + 5);

    ASSERT_EQ(system(("cp -f " + at("/bin/cat") + " " + at("/tmp/bin/cat")).c_str()), 0);
    EXPECT_EQ(cat_env_config_block(), 0);
    EXPECT_EQ(count_containing(logged(), "shellcmd:"), 2);
    EXPECT_EQ(slurp(at("/tmp/mtdblock4")), slurp(at("/dev/mtdblock/4")));
    EXPECT_EQ(cat_env_config_block(), 0);
    EXPECT_EQ(count_containing(logged(), "shellcmd:"), 0);
}

TEST_F(Mtdlayout, UmountFailingEveryTimeGivesUpAfterFiveTries)
{
    profile.umount_status = 1;
    boot();
    EXPECT_EQ(umount_config_mtd(), -1);
    std::string runs = slurp(paths.records() + "/umount.log");
    EXPECT_EQ(std::count(runs.begin(), runs.end(), '\n'), 10);
    std::string umount = at("/tmp/bin/umount") + " ";
    std::string cmd = umount + at("/etc/") + "; " + umount + at("/config/");
    EXPECT_EQ(count_of(logged(), "shellcmd:" + cmd + "\n", kInfo), 5);
}

// --- writing a saved image back ---------------------------------------------

// Sizes that are not whole blocks and partitions that do not exist are
// refused; writes the chip stores only half of are continued.
TEST_F(Mtdlayout, WriteBackArgumentsAndShortWrites)
{
    profile.faults.push_back(phonesim::Fault{3, "short_write", -1});
    boot();
    std::string before = slurp(at("/dev/mtdblock/3"));
    put(at("/tmp/mtdblock3"), image(0x8000));
    EXPECT_EQ(mtd_write(3, 0x8000, MTDBLOCK3_SAVE), -1);
    EXPECT_EQ(mtd_write(3, 0, MTDBLOCK3_SAVE), -1);
    EXPECT_EQ(mtd_write(3, -0x10000, MTDBLOCK3_SAVE), -1);
    EXPECT_EQ(mtd_write(10, MTDBLOCK3_SIZE, MTDBLOCK3_SAVE), -1);
    EXPECT_EQ(slurp(at("/dev/mtdblock/3")), before);
    put(at("/tmp/mtdblock3"), image(kMtd3Size));
    EXPECT_EQ(mtd_write(3, MTDBLOCK3_SIZE, MTDBLOCK3_SAVE), 0);
    EXPECT_EQ(slurp(at("/dev/mtdblock/3")), image(kMtd3Size));
}

struct WriteFault {
    const char *name;
    const char *kind; // a device fault, or null
    int block;
    uint32_t image_size; // 0: no image
    bool flip_reads;
    int level;
    const char *log; // a line the failure leaves
    friend void PrintTo(const WriteFault &f, std::ostream *os) { *os << f.name; }
};

class MtdlayoutWriteFault : public Mtdlayout, public ::testing::WithParamInterface<WriteFault>
{
};

// Every failure leaves its line, and neither a descriptor nor the image's
// mapping behind; an image refused leaves the partition as it was.
TEST_P(MtdlayoutWriteFault, FailsAndLeaksNothing)
{
    const WriteFault &f = GetParam();
    if (f.kind != nullptr)
        profile.faults.push_back(phonesim::Fault{4, f.kind, f.block});
    boot();
    std::string before = slurp(at("/dev/mtdblock/4"));
    if (f.image_size > 0)
        put(at("/tmp/mtdblock4"), image(f.image_size));
    g_flip_reads = f.flip_reads;
    // The first call opens the log connection, which stays.
    EXPECT_EQ(mtd_write(4, MTDBLOCK4_SIZE, MTDBLOCK4_SAVE), -1);
    long fds = open_descriptors();
    EXPECT_EQ(mtd_write(4, MTDBLOCK4_SIZE, MTDBLOCK4_SAVE), -1);
    g_flip_reads = 0;
    EXPECT_EQ(open_descriptors(), fds);
    EXPECT_EQ(slurp("/proc/self/maps").find(at("/tmp/mtdblock4")), std::string::npos);
    EXPECT_EQ(count_of(logged(), std::string(f.log) + "\n", f.level), 2);
    if (f.kind == nullptr && !f.flip_reads) {
        EXPECT_EQ(slurp(at("/dev/mtdblock/4")), before);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Faults, MtdlayoutWriteFault, ::testing::Values(
    WriteFault{"Open", "open", -1, kMtd4Size, false, kErr, "/dev/mtd4 open failed!"},
    WriteFault{"Erase", "erase", 5, kMtd4Size, false, kErr, "/dev/mtd4 erase of block 5 failed"},
    WriteFault{"Write", "write", 2, kMtd4Size, false, kErr, "/dev/mtd4 write of block 2 failed"},
    WriteFault{"ReadBackDiffers", nullptr, 0, kMtd4Size, true, kErr,
               "/dev/mtd4 differs from /tmp/mtdblock4 after writing"},
    WriteFault{"WrongSize", nullptr, 0, kMtd4Size - 0x1000, false, kErr,
               "/tmp/mtdblock4 size error"},
    WriteFault{"NoImage", nullptr, 0, 0, false, kDebug, "/tmp/mtdblock4 File open failed!"}),
    [](const ::testing::TestParamInfo<WriteFault> &info) { return std::string(info.param.name); });
// clang-format on

} // namespace
