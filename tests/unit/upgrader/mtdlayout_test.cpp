// Every case makes a simulated telephone (phonesim's root, chip image and
// kernel, mounted in this process) and runs the partition moves, copies and
// write-backs against it with real shell commands from DIR/tmp/bin, as the
// program does after copying /bin there.
#include "upgrader/mtdlayout.h"

#include "files.h"
#include "fuse_device.h"
#include "isolation.h"
#include "phonesim/init.h"
#include "phonesim/kernel.h"
#include "phonesim/profile.h"
#include "upgrader/devenv.h"
#include "upgrader/flash.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

using testsupport::put;
using testsupport::slurp;

// Reads back from the flash can be made to see one bit other than what the
// chip holds, as a worn block would show it.
static std::atomic<int> g_flip_reads{0};

static ssize_t pread_flipped(int fd, void *buf, size_t count, off_t offset)
{
    ssize_t n = syscall(SYS_pread64, fd, buf, count, offset);
    if (n > 0 && g_flip_reads.load() != 0)
        static_cast<uint8_t *>(buf)[n - 1] ^= 0x01;
    return n;
}

extern "C" ssize_t pread(int fd, void *buf, size_t count, off_t offset)
{
    return pread_flipped(fd, buf, count, offset);
}

extern "C" ssize_t pread64(int fd, void *buf, size_t count, off64_t offset)
{
    return pread_flipped(fd, buf, count, off_t(offset));
}

namespace
{

::testing::Environment *const g_isolated = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));
::testing::Environment *const g_fuse =
    ::testing::AddGlobalTestEnvironment(new testsupport::FuseDeviceEnvironment);

using phonesim::kPartitions;
using phonesim::Window;

const uint32_t kMtd3Size = 0x10000;
const uint32_t kMtd4Size = 0x80000;

// A layout that makes room below the two small partitions: mtd2 shrinks,
// mtd3 and mtd4 slide down by two blocks and mtd5 grows into the gap.
// Default: mtd2 0x90120000-0x90320000, mtd3 -0x90330000, mtd4 -0x903b0000.
void slide_config_down(Window (&w)[kPartitions])
{
    w[2].end = 0x90300000;
    w[3] = Window{0x90300000, 0x90310000};
    w[4] = Window{0x90310000, 0x90390000};
    w[5].start = 0x90390000;
}

std::string hex_window(const Window &w)
{
    char text[32];
    snprintf(text, sizeof(text), "%x,%x", w.start, w.end);
    return text;
}

// One log line as "<level>:<message>".
using Logs = std::vector<std::string>;

Logs logged()
{
    Logs out;
    for (const testsupport::LogLine &l : testsupport::syslog_capture().take()) {
        std::string msg = l.text.substr(l.text.find(": ") + 2);
        while (!msg.empty() && msg.back() == '\n')
            msg.pop_back();
        out.push_back(std::to_string(l.level()) + ":" + msg);
    }
    return out;
}

int count_containing(const Logs &logs, const std::string &needle)
{
    return int(std::count_if(logs.begin(), logs.end(), [&](const std::string &l) {
        return l.find(needle) != std::string::npos;
    }));
}

::testing::AssertionResult has_line(const Logs &logs, const std::string &line)
{
    if (std::find(logs.begin(), logs.end(), line) != logs.end())
        return ::testing::AssertionSuccess();
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    failure << "no line \"" << line << "\" among:";
    for (const std::string &l : logs)
        failure << "\n  " << l;
    return failure;
}

int open_descriptors()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr)
        return -1;
    while (readdir(d) != nullptr)
        ++n;
    closedir(d);
    return n;
}

class Mtdlayout : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        profile = phonesim::default_profile();
        setenv("UPGRADER_PAUSE_SCALE", "0", 1);
        mtdlayout_reset();
        kernel_support = 1;
        env_mtd_write = 0;
        config_mtd_write = 0;
        upgrader_kernel_only = 0;
    }
    void TearDown() override
    {
        kernel.reset();
        unsetenv("UPGRADER_ROOT");
    }

    // Makes the telephone from profile and starts its kernel; the table
    // holds the current windows as the device environment would.
    void boot()
    {
        paths.root = dir.path() + "/phone";
        std::string error;
        ASSERT_EQ(phonesim::init_telephone(paths.root, profile, phonesim::InitOptions(), &error), 0)
            << error;
        ASSERT_EQ(system(("cp -rf " + paths.root + "/bin " + paths.root + "/tmp/").c_str()), 0);
        setenv("UPGRADER_ROOT", paths.root.c_str(), 1);
        kernel.reset(new phonesim::Kernel(paths, profile, phonesim::KernelEvents()));
        ASSERT_EQ(kernel->mount(&error), 0) << error;
        for (int i = 0; i < kPartitions; ++i) {
            snprintf(table[i].name, sizeof(table[i].name), "mtd%d", i);
            table[i].start_addr = profile.mtd[i].start;
            table[i].end_addr = profile.mtd[i].end;
        }
        snprintf(table[kPartitions].name, sizeof(table[0].name), "RomVersion");
        logged();
    }

    void write_conf(const Window (&w)[kPartitions], int keys = kPartitions)
    {
        std::string text = "[mtd]\n";
        for (int i = 0; i < keys; ++i)
            text += "mtd" + std::to_string(i) + "=" + hex_window(w[i]) + "\n";
        put(at("/tmp/mtd.conf"), text);
    }

    // The windows the kernel serves now.
    std::vector<std::string> kernel_layout()
    {
        Window w[kPartitions];
        if (!phonesim::parse_layout(slurp(paths.layout()), w))
            return {};
        std::vector<std::string> out;
        for (const Window &x : w)
            out.push_back(hex_window(x));
        return out;
    }
    static std::vector<std::string> as_text(const Window (&w)[kPartitions])
    {
        std::vector<std::string> out;
        for (const Window &x : w)
            out.push_back(hex_window(x));
        return out;
    }
    std::vector<std::string> table_layout() const
    {
        std::vector<std::string> out;
        for (int i = 0; i < kPartitions; ++i)
            out.push_back(hex_window(Window{table[i].start_addr, table[i].end_addr}));
        return out;
    }

    std::string at(const std::string &rel) const { return paths.root + rel; }
    bool exists(const std::string &rel) const
    {
        struct stat st;
        return stat(at(rel).c_str(), &st) == 0;
    }
    // Replaces the telephone's copy of cat with a shell script.
    void fake_cat(const std::string &body)
    {
        put(at("/tmp/bin/cat"), "#!/bin/sh\n" + body + "\n");
        chmod(at("/tmp/bin/cat").c_str(), 0755);
    }
    void restore_cat()
    {
        ASSERT_EQ(system(("cp -f " + at("/bin/cat") + " " + at("/tmp/bin/cat")).c_str()), 0);
    }

    testsupport::TempDir dir;
    phonesim::Profile profile;
    phonesim::Paths paths;
    std::unique_ptr<phonesim::Kernel> kernel; // unmounted before dir goes
    env_info table[ENV_TABLE_SIZE] = {};
};

// --- kernel support and layout comparison ---------------------------------

TEST_F(Mtdlayout, KernelThatMovesPartitionsIsDetected)
{
    boot();
    EXPECT_EQ(kernel_support_mtd_repair_check(), 1);
    Logs logs = logged();
    EXPECT_TRUE(has_line(logs, "7:kernel_support_mtd_repair_check "));
    EXPECT_EQ(count_containing(logs, "ioctl failed"), 0);
}

TEST_F(Mtdlayout, KernelWithoutMovesAsksBothDevicesAndAnswersNo)
{
    profile.mtd_move_supported = false;
    boot();
    EXPECT_EQ(kernel_support_mtd_repair_check(), 0);
    Logs logs = logged();
    EXPECT_TRUE(has_line(logs, "7:/dev/mtd0 ioctl failed!"));
    EXPECT_TRUE(has_line(logs, "7:/dev/mtd1 ioctl failed!"));
}

TEST_F(Mtdlayout, MissingDeviceAnswersNo)
{
    profile.faults.push_back(phonesim::Fault{0, "open", -1});
    boot();
    EXPECT_EQ(kernel_support_mtd_repair_check(), 0);
    EXPECT_TRUE(has_line(logged(), "7:/dev/mtd0 open failed!"));
}

TEST_F(Mtdlayout, IdenticalLayoutMovesNothingAndCopiesNothing)
{
    boot();
    write_conf(profile.mtd);
    std::vector<std::string> before = kernel_layout();
    EXPECT_EQ(mtd_config_deal(table), 0);
    EXPECT_EQ(kernel_layout(), before);
    EXPECT_EQ(env_mtd_write, 0);
    EXPECT_EQ(config_mtd_write, 0);
    EXPECT_EQ(upgrader_kernel_only, 0);
    EXPECT_FALSE(exists("/tmp/mtdblock3"));
    EXPECT_FALSE(exists("/tmp/mtdblock4"));
    Logs logs = logged();
    EXPECT_EQ(count_containing(logs, "shellcmd:"), 0);
    EXPECT_EQ(count_containing(logs, "mtd_diffrent_deal"), 0);
    EXPECT_TRUE(has_line(logs, "6:mtd9 start_addr:907b0000 end_addr:90800000"));
}

TEST_F(Mtdlayout, OnlyMtd5DifferingMovesMtd5Alone)
{
    boot();
    Window next[kPartitions];
    std::copy(profile.mtd, profile.mtd + kPartitions, next);
    next[5].end = 0x904a0000;
    write_conf(next);
    EXPECT_EQ(mtd_config_deal(table), 0);
    EXPECT_EQ(kernel_layout(), as_text(next));
    EXPECT_EQ(table_layout(), as_text(next));
    EXPECT_EQ(env_mtd_write, 0);
    EXPECT_EQ(config_mtd_write, 0);
    EXPECT_FALSE(exists("/tmp/mtdblock3"));
    EXPECT_FALSE(exists("/tmp/mtdblock4"));
    Logs logs = logged();
    EXPECT_EQ(count_containing(logs, "shellcmd:"), 0);
    EXPECT_TRUE(has_line(logs, "7:mtd_diffrent_deal mtd5"));
    EXPECT_TRUE(has_line(logs, "7:offset:3b0000 size:f0000"));
}

TEST_F(Mtdlayout, ConfigPartitionsMovedAndWrittenBackKeepTheirContent)
{
    boot();
    std::string env_before = slurp(at("/dev/mtdblock/3"));
    std::string config_before = slurp(at("/dev/mtdblock/4"));
    ASSERT_EQ(env_before.size(), kMtd3Size);
    ASSERT_EQ(config_before.size(), kMtd4Size);
    // Something of the telephone's own in the configuration, beyond the
    // chip's signature line.
    {
        int fd = open(at("/dev/mtd4").c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        const char entry[] = "[Phone]\nname=desk\n";
        ASSERT_EQ(pwrite(fd, entry, sizeof(entry), 0x1000), ssize_t(sizeof(entry)));
        close(fd);
        config_before = slurp(at("/dev/mtdblock/4"));
    }

    Window next[kPartitions];
    std::copy(profile.mtd, profile.mtd + kPartitions, next);
    slide_config_down(next);
    write_conf(next);
    ASSERT_EQ(mtd_config_deal(table), 0);

    EXPECT_EQ(kernel_layout(), as_text(next));
    EXPECT_EQ(table_layout(), as_text(next));
    EXPECT_EQ(env_mtd_write, 1);
    EXPECT_EQ(config_mtd_write, 1);
    Logs logs = logged();
    // Copied once, although two partitions needed the copies.
    EXPECT_EQ(count_containing(logs, "shellcmd:"), 2);
    EXPECT_TRUE(has_line(logs, "6:shellcmd:" + at("/tmp/bin/cat") + " " + at("/dev/mtdblock/3") +
                                   " > " + at("/tmp/mtdblock3")));
    EXPECT_EQ(slurp(at("/tmp/mtdblock3")), env_before);
    EXPECT_EQ(slurp(at("/tmp/mtdblock4")), config_before);
    // The moved windows now show other flash.
    EXPECT_NE(slurp(at("/dev/mtdblock/4")), config_before);

    ASSERT_EQ(umount_config_mtd(), 0);
    EXPECT_EQ(slurp(paths.records() + "/umount.log"),
              "umount " + at("/etc/") + "\numount " + at("/config/") + "\n");
    ASSERT_EQ(mtd_write(4, MTDBLOCK4_SIZE, MTDBLOCK4_SAVE), 0);
    ASSERT_EQ(mtd_write(3, MTDBLOCK3_SIZE, MTDBLOCK3_SAVE), 0);
    EXPECT_EQ(slurp(at("/dev/mtdblock/3")), env_before);
    EXPECT_EQ(slurp(at("/dev/mtdblock/4")), config_before);
    EXPECT_EQ(count_containing(logged(), "7:mtd_write :4 "), int(kMtd4Size / 0x10000));
}

TEST_F(Mtdlayout, WithoutKernelSupportFirstDifferenceRestrictsTheBurn)
{
    profile.mtd_move_supported = false;
    boot();
    kernel_support = kernel_support_mtd_repair_check();
    ASSERT_EQ(kernel_support, 0);
    Window next[kPartitions];
    std::copy(profile.mtd, profile.mtd + kPartitions, next);
    slide_config_down(next);
    write_conf(next);
    std::vector<std::string> before = kernel_layout();
    logged();

    EXPECT_EQ(mtd_config_deal(table), 0);
    EXPECT_EQ(upgrader_kernel_only, 1);
    EXPECT_EQ(kernel_layout(), before);
    EXPECT_EQ(table_layout(), as_text(profile.mtd));
    EXPECT_EQ(env_mtd_write, 0);
    EXPECT_EQ(config_mtd_write, 0);
    Logs logs = logged();
    EXPECT_TRUE(has_line(logs, "6:kernel_support is UNAVAILABLE"));
    EXPECT_TRUE(has_line(logs, "6:mtd2 start_addr:90120000 end_addr:90320000"));
    EXPECT_EQ(count_containing(logs, "mtd3 start_addr"), 0);
    EXPECT_EQ(count_containing(logs, "shellcmd:"), 0);
}

TEST_F(Mtdlayout, PartitionMissingFromTheEnvironmentFails)
{
    boot();
    Window next[kPartitions];
    std::copy(profile.mtd, profile.mtd + kPartitions, next);
    write_conf(next);
    strcpy(table[7].name, "mtd77");
    EXPECT_EQ(mtd_config_deal(table), -1);
    EXPECT_TRUE(has_line(logged(), "6:mtd7 isnot exist!"));
}

// --- malformed layouts: refused before anything is compared or moved -------

struct BadLayout {
    const char *name;
    int keys;
    int partition;
    Window window;
    const char *raw; // a value written as it stands, instead of window
};

void PrintTo(const BadLayout &bad, std::ostream *os)
{
    *os << bad.name;
}

class MtdlayoutBadConf : public Mtdlayout, public ::testing::WithParamInterface<BadLayout>
{
};

TEST_P(MtdlayoutBadConf, RefusedBeforeAnythingMoves)
{
    const BadLayout &bad = GetParam();
    boot();
    Window next[kPartitions];
    std::copy(profile.mtd, profile.mtd + kPartitions, next);
    slide_config_down(next);
    if (bad.raw == nullptr) {
        next[bad.partition] = bad.window;
        write_conf(next, bad.keys);
    } else {
        write_conf(next);
        std::string text = slurp(at("/tmp/mtd.conf"));
        std::string key = "mtd" + std::to_string(bad.partition) + "=";
        size_t from = text.find(key) + key.size();
        text.replace(from, text.find('\n', from) - from, bad.raw);
        put(at("/tmp/mtd.conf"), text);
    }
    std::vector<std::string> before = kernel_layout();

    EXPECT_EQ(mtd_config_deal(table), -1);
    EXPECT_EQ(kernel_layout(), before);
    EXPECT_EQ(table_layout(), as_text(profile.mtd));
    EXPECT_EQ(env_mtd_write + config_mtd_write + upgrader_kernel_only, 0);
    EXPECT_FALSE(exists("/tmp/mtdblock3"));
    Logs logs = logged();
    EXPECT_EQ(count_containing(logs, "start_addr:"), 0);
    EXPECT_EQ(count_containing(logs, "shellcmd:"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, MtdlayoutBadConf,
    ::testing::Values(BadLayout{"NineKeys", 9, 0, {}, nullptr},
                      BadLayout{"Misaligned", 10, 6, {0x904b8000, 0x906b0000}, nullptr},
                      BadLayout{"AboveTheChip", 10, 9, {0x907b0000, 0x90810000}, nullptr},
                      BadLayout{"BelowTheChip", 10, 0, {0x8fff0000, 0x90020000}, nullptr},
                      BadLayout{"EndBeforeStart", 10, 8, {0x907b0000, 0x90730000}, nullptr},
                      BadLayout{"Empty", 10, 8, {0x90730000, 0x90730000}, nullptr},
                      BadLayout{"NotHex", 10, 4, {}, "zz,90390000"},
                      BadLayout{"NoEnd", 10, 4, {}, "90310000"}),
    [](const ::testing::TestParamInfo<BadLayout> &info) { return std::string(info.param.name); });

// --- saving the partitions before a move ----------------------------------

TEST_F(Mtdlayout, FailedCopyStopsTheMove)
{
    boot();
    fake_cat("exit 1");
    Window next[kPartitions];
    std::copy(profile.mtd, profile.mtd + kPartitions, next);
    slide_config_down(next);
    write_conf(next);

    EXPECT_EQ(mtd_config_deal(table), -1);
    Window expected[kPartitions];
    std::copy(profile.mtd, profile.mtd + kPartitions, expected);
    expected[2] = next[2]; // moved before mtd3 was reached
    EXPECT_EQ(kernel_layout(), as_text(expected));
    EXPECT_EQ(env_mtd_write, 0);
    EXPECT_EQ(config_mtd_write, 0);
    Logs logs = logged();
    EXPECT_EQ(count_containing(logs, "shellcmd:"), 5);
    EXPECT_EQ(count_containing(logs, "mtd_diffrent_deal mtd4"), 0);
}

TEST_F(Mtdlayout, ShortCopyStopsTheMove)
{
    boot();
    // Exits with 0 but delivers only the first 4 KiB.
    fake_cat("head -c 4096 \"$1\"");
    Window next[kPartitions];
    std::copy(profile.mtd, profile.mtd + kPartitions, next);
    next[4] = Window{0x90330000, 0x903a0000};
    next[5].start = 0x903a0000;
    write_conf(next);

    EXPECT_EQ(mtd_config_deal(table), -1);
    EXPECT_EQ(kernel_layout(), as_text(profile.mtd));
    EXPECT_EQ(config_mtd_write, 0);
    EXPECT_EQ(count_containing(logged(), "shellcmd:"), 5);
}

TEST_F(Mtdlayout, FailedCopyIsNotRememberedAsMade)
{
    boot();
    // mtd3 copies, mtd4 does not.
    fake_cat("case \"$1\" in *mtdblock/4) exit 1;; esac\nexec " + at("/bin/cat") + " \"$@\"");
    EXPECT_EQ(cat_env_config_block(), -1);
    EXPECT_EQ(count_containing(logged(), "shellcmd:"), 1 + 5);

    restore_cat();
    EXPECT_EQ(cat_env_config_block(), 0);
    EXPECT_EQ(count_containing(logged(), "shellcmd:"), 2);
    EXPECT_EQ(slurp(at("/tmp/mtdblock4")), slurp(at("/dev/mtdblock/4")));

    EXPECT_EQ(cat_env_config_block(), 0);
    EXPECT_EQ(count_containing(logged(), "shellcmd:"), 0);
}

// --- unmounting -------------------------------------------------------------

TEST_F(Mtdlayout, UmountFailingEveryTimeGivesUpAfterFiveTries)
{
    profile.umount_status = 1;
    boot();
    EXPECT_EQ(umount_config_mtd(), -1);
    std::string runs = slurp(paths.records() + "/umount.log");
    EXPECT_EQ(std::count(runs.begin(), runs.end(), '\n'), 10);
    Logs logs = logged();
    EXPECT_EQ(count_containing(logs, "6:shellcmd:" + at("/tmp/bin/umount") + " " + at("/etc/") +
                                         "; " + at("/tmp/bin/umount") + " " + at("/config/")),
              5);
}

// --- writing a saved image back ---------------------------------------------

class MtdlayoutWrite : public Mtdlayout
{
  protected:
    // An image whose every byte tells its place.
    std::string image(uint32_t size)
    {
        std::string bytes(size, '\0');
        for (uint32_t i = 0; i < size; ++i)
            bytes[i] = char((i * 13) ^ (i >> 9));
        return bytes;
    }
};

TEST_F(MtdlayoutWrite, ImageOfTheRightSizeLandsWhole)
{
    boot();
    std::string bytes = image(kMtd4Size);
    put(at("/tmp/mtdblock4"), bytes);
    EXPECT_EQ(mtd_write(4, MTDBLOCK4_SIZE, MTDBLOCK4_SAVE), 0);
    EXPECT_EQ(slurp(at("/dev/mtdblock/4")), bytes);
    Logs logs = logged();
    EXPECT_TRUE(has_line(logs, "7:file size:80000 "));
    EXPECT_EQ(count_containing(logs, "7:mtd_write :4 "), 8);
}

TEST_F(MtdlayoutWrite, ShortWritesAreContinued)
{
    profile.faults.push_back(phonesim::Fault{3, "short_write", -1});
    boot();
    std::string bytes = image(kMtd3Size);
    put(at("/tmp/mtdblock3"), bytes);
    EXPECT_EQ(mtd_write(3, MTDBLOCK3_SIZE, MTDBLOCK3_SAVE), 0);
    EXPECT_EQ(slurp(at("/dev/mtdblock/3")), bytes);
}

TEST_F(MtdlayoutWrite, DifferenceOnReadBackFails)
{
    boot();
    put(at("/tmp/mtdblock3"), image(kMtd3Size));
    g_flip_reads = 1;
    EXPECT_EQ(mtd_write(3, MTDBLOCK3_SIZE, MTDBLOCK3_SAVE), -1);
    g_flip_reads = 0;
    EXPECT_TRUE(has_line(logged(), "3:/dev/mtd3 differs from /tmp/mtdblock3 after writing"));
}

TEST_F(MtdlayoutWrite, WrongSizeIsRefusedAndReleasesTheImage)
{
    boot();
    std::string before = slurp(at("/dev/mtdblock/3"));
    put(at("/tmp/mtdblock3"), image(kMtd3Size - 0x1000));
    // The first call opens the log connection, which stays.
    EXPECT_EQ(mtd_write(3, MTDBLOCK3_SIZE, MTDBLOCK3_SAVE), -1);
    int fds = open_descriptors();
    EXPECT_EQ(mtd_write(3, MTDBLOCK3_SIZE, MTDBLOCK3_SAVE), -1);
    EXPECT_EQ(open_descriptors(), fds);
    EXPECT_EQ(slurp("/proc/self/maps").find(at("/tmp/mtdblock3")), std::string::npos);
    EXPECT_TRUE(has_line(logged(), "3:/tmp/mtdblock3 size error"));
    EXPECT_EQ(slurp(at("/dev/mtdblock/3")), before);
}

TEST_F(MtdlayoutWrite, SizesThatAreNotWholeBlocksAreRefused)
{
    boot();
    std::string before = slurp(at("/dev/mtdblock/3"));
    put(at("/tmp/mtdblock3"), image(0x8000));
    EXPECT_EQ(mtd_write(3, 0x8000, MTDBLOCK3_SAVE), -1);
    EXPECT_EQ(mtd_write(3, 0, MTDBLOCK3_SAVE), -1);
    EXPECT_EQ(mtd_write(3, -0x10000, MTDBLOCK3_SAVE), -1);
    EXPECT_EQ(mtd_write(10, MTDBLOCK3_SIZE, MTDBLOCK3_SAVE), -1);
    EXPECT_EQ(slurp(at("/dev/mtdblock/3")), before);
}

TEST_F(MtdlayoutWrite, MissingImageIsRefused)
{
    boot();
    std::string before = slurp(at("/dev/mtdblock/3"));
    EXPECT_EQ(mtd_write(3, MTDBLOCK3_SIZE, MTDBLOCK3_SAVE), -1);
    EXPECT_TRUE(has_line(logged(), "7:/tmp/mtdblock3 File open failed!"));
    EXPECT_EQ(slurp(at("/dev/mtdblock/3")), before);
}

struct DeviceFault {
    const char *name;
    const char *kind;
    int block;
    const char *log; // a line the failure leaves
};

void PrintTo(const DeviceFault &fault, std::ostream *os)
{
    *os << fault.name;
}

class MtdlayoutWriteFault : public MtdlayoutWrite, public ::testing::WithParamInterface<DeviceFault>
{
};

TEST_P(MtdlayoutWriteFault, FailsAndLeaksNothing)
{
    const DeviceFault &fault = GetParam();
    profile.faults.push_back(phonesim::Fault{4, fault.kind, fault.block});
    boot();
    put(at("/tmp/mtdblock4"), image(kMtd4Size));
    // The first call opens the log connection, which stays.
    EXPECT_EQ(mtd_write(4, MTDBLOCK4_SIZE, MTDBLOCK4_SAVE), -1);
    int fds = open_descriptors();
    EXPECT_EQ(mtd_write(4, MTDBLOCK4_SIZE, MTDBLOCK4_SAVE), -1);
    EXPECT_EQ(open_descriptors(), fds);
    EXPECT_EQ(slurp("/proc/self/maps").find(at("/tmp/mtdblock4")), std::string::npos);
    EXPECT_TRUE(has_line(logged(), fault.log));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MtdlayoutWriteFault,
    ::testing::Values(DeviceFault{"Open", "open", -1, "3:/dev/mtd4 open failed!"},
                      DeviceFault{"Erase", "erase", 5, "3:/dev/mtd4 erase of block 5 failed"},
                      DeviceFault{"Write", "write", 2, "3:/dev/mtd4 write of block 2 failed"}),
    [](const ::testing::TestParamInfo<DeviceFault> &info) { return std::string(info.param.name); });

} // namespace
