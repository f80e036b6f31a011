#include "phonesim/kernel.h"

#include "fuse_device.h"
#include "isolation.h"

#include <gtest/gtest.h>
#include <mtd/mtd-user.h>

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

using namespace phonesim;

namespace
{

::testing::Environment *const g_isolated = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));
::testing::Environment *const g_fuse =
    ::testing::AddGlobalTestEnvironment(new testsupport::FuseDeviceEnvironment);

const Window kLayout[kPartitions] = {{0x90000000, 0x90020000}, {0x90020000, 0x90100000},
                                     {0x90100000, 0x90300000}, {0x90300000, 0x90310000},
                                     {0x90310000, 0x90390000}, {0x90390000, 0x90500000},
                                     {0x90500000, 0x90700000}, {0x90700000, 0x90720000},
                                     {0x90720000, 0x90740000}, {0x90740000, 0x90800000}};

const char kBootenv[] = "MID_VERSION 0\nSW_OEM 12\nSW_protect 0\nMtd2Version 2.0.0.1\n"
                        "mtd0 90000000,90020000\n";

// What the chip holds at a flash offset before anybody writes.
uint8_t chip_byte(uint32_t at)
{
    return uint8_t(at * 7 + (at >> 16));
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<uint8_t> chip_range(uint32_t at, uint32_t n)
{
    std::vector<uint8_t> v(n);
    for (uint32_t i = 0; i < n; ++i)
        v[i] = chip_byte(at + i);
    return v;
}

std::vector<uint8_t> read_at(int fd, off_t off, size_t n)
{
    std::vector<uint8_t> v(n);
    ssize_t got = pread(fd, v.data(), n, off);
    v.resize(got < 0 ? 0 : size_t(got));
    return v;
}

// A telephone root made by hand: state, chip image, layout, environment and
// frame buffer.
struct Phone {
    testsupport::TempDir dir;
    Paths paths;
    Profile profile;
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> frames;
    std::vector<std::string> env_writes;
    std::unique_ptr<Kernel> kernel; // unmounted before dir goes

    explicit Phone(bool with_state = true)
    {
        paths.root = dir.path();
        std::copy(kLayout, kLayout + kPartitions, profile.mtd);
        mkdir(paths.state().c_str(), 0755);
        mkdir((paths.root + "/dev").c_str(), 0755);
        spit(paths.root + "/dev/fb0", std::string(1056, '\0'));
        if (!with_state)
            return;
        std::string chip(kFlashSize, '\0');
        for (uint32_t i = 0; i < kFlashSize; ++i)
            chip[i] = char(chip_byte(i));
        spit(paths.flash(), chip);
        std::string layout;
        for (int i = 0; i < kPartitions; ++i) {
            char line[64];
            snprintf(line, sizeof(line), "mtd%d %x %x\n", i, kLayout[i].start, kLayout[i].end);
            layout += line;
        }
        spit(paths.layout(), layout);
        spit(paths.bootenv(), kBootenv);
    }

    void start()
    {
        KernelEvents events;
        events.on_refresh = [this](const std::vector<uint8_t> &f) {
            std::lock_guard<std::mutex> lock(mutex);
            frames.push_back(f);
        };
        events.on_env_write = [this](const std::string &line) {
            std::lock_guard<std::mutex> lock(mutex);
            env_writes.push_back(line);
        };
        kernel.reset(new Kernel(paths, profile, events));
        std::string error;
        ASSERT_EQ(kernel->mount(&error), 0) << error;
    }

    std::string at(const std::string &rel) const { return paths.kernel() + rel; }
    int open_mtd(int n, int flags = O_RDWR) const
    {
        return open(at("/dev/mtd" + std::to_string(n)).c_str(), flags | O_CLOEXEC);
    }
};

int erase(int fd, uint32_t start, uint32_t length)
{
    erase_info_user e{start, length};
    return ioctl(fd, MEMERASE, &e);
}

int write_text(const std::string &path, const std::string &text)
{
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = write(fd, text.data(), text.size());
    close(fd);
    return n == ssize_t(text.size()) ? 0 : -1;
}

TEST(KernelProc, EnvironmentLinesSetRemoveAndPersist)
{
    Phone phone;
    phone.start();
    std::string env = phone.at("/proc/avalanche/env");
    EXPECT_EQ(slurp(env), kBootenv);

    ASSERT_EQ(write_text(env, "SW_OEM 34\n"), 0);
    ASSERT_EQ(write_text(env, "NEW_VAR a b \t\n"), 0);
    ASSERT_EQ(write_text(env, "MID_VERSION\n"), 0);
    ASSERT_EQ(write_text(env, "NOT_THERE\n"), 0);
    // The program's own command, trailing blank included.
    ASSERT_EQ(system(("echo \"SW_protect 1\" >" + env + " ").c_str()), 0);

    const std::string expected =
        "SW_OEM 34\nSW_protect 1\nMtd2Version 2.0.0.1\nmtd0 90000000,90020000\nNEW_VAR a b\n";
    EXPECT_EQ(slurp(env), expected);
    EXPECT_EQ(slurp(phone.paths.bootenv()), expected);
    EXPECT_EQ(phone.env_writes,
              (std::vector<std::string>{"SW_OEM 34", "NEW_VAR a b \t", "MID_VERSION", "NOT_THERE",
                                        "SW_protect 1"}));

    phone.kernel->unmount();
    phone.start();
    EXPECT_EQ(slurp(env), expected);
}

TEST(KernelProc, VersionsReadAsProfileTextAndRefuseWrites)
{
    Phone phone;
    phone.profile.hwver = "59.1.0.1.2.0.0.0";
    phone.profile.software = "1.2.3.4,build";
    phone.start();
    std::string out = phone.paths.root + "/hwver.out";
    ASSERT_EQ(system(("cat " + phone.at("/proc/misc/hwver") + " > " + out).c_str()), 0);
    EXPECT_EQ(slurp(out), "59.1.0.1.2.0.0.0\n");
    EXPECT_EQ(slurp(phone.at("/proc/ver/software")), "1.2.3.4,build\n");
    EXPECT_EQ(write_text(phone.at("/proc/misc/hwver"), "1.2\n"), -1);
}

TEST(KernelMtd, InfoEraseAndNorProgramming)
{
    Phone phone;
    phone.start();
    int fd = phone.open_mtd(0);
    ASSERT_GE(fd, 0) << strerror(errno);

    mtd_info_user info{};
    ASSERT_EQ(ioctl(fd, MEMGETINFO, &info), 0) << strerror(errno);
    EXPECT_EQ(info.type, MTD_NORFLASH);
    EXPECT_EQ(info.flags, unsigned(MTD_CAP_NORFLASH));
    EXPECT_EQ(info.size, 0x20000u);
    EXPECT_EQ(info.erasesize, 0x10000u);
    EXPECT_EQ(info.writesize, 1u);

    std::vector<uint8_t> data(0x10000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(0xA5 ^ i);
    std::vector<uint8_t> anded = chip_range(0, 0x10000);
    for (size_t i = 0; i < data.size(); ++i)
        anded[i] &= data[i];

    // Without an erase only the 1 bits of the old content can survive.
    ASSERT_EQ(write(fd, data.data(), data.size()), ssize_t(data.size()));
    EXPECT_EQ(read_at(fd, 0, 0x10000), anded);

    ASSERT_EQ(erase(fd, 0, 0x10000), 0) << strerror(errno);
    EXPECT_EQ(read_at(fd, 0, 0x10000), std::vector<uint8_t>(0x10000, 0xFF));
    ASSERT_EQ(pwrite(fd, data.data(), data.size(), 0), ssize_t(data.size()));
    EXPECT_EQ(read_at(fd, 0, 0x10000), data);
    EXPECT_EQ(read_at(fd, 0x10000, 0x10000), chip_range(0x10000, 0x10000));
    EXPECT_EQ(slurp(phone.paths.flash()).substr(0, 0x10000), std::string(data.begin(), data.end()));

    for (auto bad : {std::make_pair(0x100u, 0x10000u), std::make_pair(0x10000u, 0x20000u),
                     std::make_pair(0u, 0u), std::make_pair(0u, 0x8000u)}) {
        errno = 0;
        EXPECT_EQ(erase(fd, bad.first, bad.second), -1) << bad.first << "+" << bad.second;
        EXPECT_EQ(errno, EINVAL);
    }

    // The device ends where its window ends.
    EXPECT_EQ(lseek(fd, 0, SEEK_END), 0x20000);
    EXPECT_TRUE(read_at(fd, 0x20000, 16).empty());
    EXPECT_EQ(pwrite(fd, data.data(), 16, 0x20000), -1);
    EXPECT_EQ(errno, ENOSPC);
    close(fd);
}

TEST(KernelMtd, MoveShowsTheChipThereAndPersistsTheLayout)
{
    Phone phone;
    phone.start();
    int fd = phone.open_mtd(5);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ioctl(fd, kMtdRepairQuery, nullptr), 0) << strerror(errno);

    MtdRepairArg to{0x300000, 0x10000}; // where mtd3 lives
    ASSERT_EQ(ioctl(fd, kMtdAddrRepair, &to), 0) << strerror(errno);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_size, 0x10000);
    EXPECT_EQ(read_at(fd, 0, 0x20000), chip_range(0x300000, 0x10000));
    EXPECT_NE(slurp(phone.paths.layout()).find("mtd5 90300000 90310000\n"), std::string::npos);
    // The boot loader's variables are not the kernel's to change.
    EXPECT_EQ(slurp(phone.at("/proc/avalanche/env")), kBootenv);

    for (MtdRepairArg bad : {MtdRepairArg{0x1000, 0x10000}, MtdRepairArg{0x7F0000, 0x20000},
                             MtdRepairArg{0x10000, 0}}) {
        errno = 0;
        EXPECT_EQ(ioctl(fd, kMtdAddrRepair, &bad), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    close(fd);

    // The block view of mtd3 shows the same bytes, read-only.
    std::string out = phone.paths.root + "/mtdblock3";
    ASSERT_EQ(system(("cat " + phone.at("/dev/mtdblock/3") + " > " + out).c_str()), 0);
    std::vector<uint8_t> expected = chip_range(0x300000, 0x10000);
    EXPECT_EQ(slurp(out), std::string(expected.begin(), expected.end()));
    EXPECT_EQ(slurp(phone.at("/dev/mtdblock/4")).size(), 0x80000u);
    EXPECT_EQ(open(phone.at("/dev/mtdblock/3").c_str(), O_RDWR | O_CLOEXEC), -1);
}

TEST(KernelMtd, WithoutKernelSupportQueryAndMoveAreRefused)
{
    Phone phone;
    phone.profile.mtd_move_supported = false;
    phone.start();
    int fd = phone.open_mtd(0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ioctl(fd, kMtdRepairQuery, nullptr), -1);
    EXPECT_EQ(errno, ENOTTY);
    MtdRepairArg to{0x300000, 0x10000};
    EXPECT_EQ(ioctl(fd, kMtdAddrRepair, &to), -1);
    EXPECT_EQ(errno, ENOTTY);
    mtd_info_user info{};
    ASSERT_EQ(ioctl(fd, MEMGETINFO, &info), 0);
    EXPECT_EQ(info.size, 0x20000u);
    close(fd);
}

TEST(KernelMtd, FaultsFromTheProfile)
{
    Phone phone;
    phone.profile.faults = {
        {2, "open", -1}, {5, "erase", 1}, {6, "write", -1}, {7, "short_write", -1}};
    phone.start();

    EXPECT_EQ(phone.open_mtd(2), -1);
    EXPECT_EQ(errno, EIO);

    int fd = phone.open_mtd(5);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(erase(fd, 0, 0x10000), 0);
    EXPECT_EQ(erase(fd, 0x10000, 0x10000), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(erase(fd, 0, 0x20000), -1);
    EXPECT_EQ(erase(fd, 0x20000, 0x10000), 0);
    EXPECT_EQ(read_at(fd, 0x10000, 0x10000), chip_range(0x3A0000, 0x10000));
    close(fd);

    std::vector<uint8_t> zeros(0x10000, 0);
    fd = phone.open_mtd(6);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, zeros.data(), zeros.size()), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(read_at(fd, 0, 0x10000), chip_range(0x500000, 0x10000));
    close(fd);

    fd = phone.open_mtd(7);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(erase(fd, 0, 0x10000), 0);
    EXPECT_EQ(write(fd, zeros.data(), zeros.size()), 0x8000);
    std::vector<uint8_t> half(0x10000, 0xFF);
    std::fill(half.begin(), half.begin() + 0x8000, 0);
    EXPECT_EQ(read_at(fd, 0, 0x10000), half);
    close(fd);
}

TEST(KernelRefresh, WritingOneCapturesTheFrameBufferAsItIsThen)
{
    Phone phone;
    phone.start();
    int fb = open((phone.paths.root + "/dev/fb0").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fb, 0);
    auto *screen =
        static_cast<uint8_t *>(mmap(nullptr, 1056, PROT_READ | PROT_WRITE, MAP_SHARED, fb, 0));
    ASSERT_NE(screen, MAP_FAILED);
    std::string refresh = phone.at("/proc/glcd/refresh");

    std::vector<uint8_t> first(1056), second(1056);
    for (size_t i = 0; i < 1056; ++i) {
        first[i] = uint8_t(i);
        second[i] = uint8_t(~i * 3);
    }
    std::copy(first.begin(), first.end(), screen);
    int fd = open(refresh.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "1", 1), 1);
    ASSERT_EQ(write(fd, "0", 1), 1);
    close(fd);
    std::copy(second.begin(), second.end(), screen);
    ASSERT_EQ(system(("echo \"1\" >" + refresh).c_str()), 0);

    EXPECT_EQ(phone.frames, (std::vector<std::vector<uint8_t>>{first, second}));
    munmap(screen, 1056);
    close(fb);
}

TEST(KernelMount, MissingStateFallsBackToAnErasedChipAndTheProfile)
{
    Phone phone(false);
    phone.profile.bootenv = {{"MID_VERSION", "0"}, {"SW_OEM", "7"}};
    phone.start();
    std::string env = slurp(phone.at("/proc/avalanche/env"));
    EXPECT_EQ(env.substr(0, 48), "MID_VERSION 0\nSW_OEM 7\nmtd0 90000000,90020000\nmt");
    EXPECT_NE(env.find("\nmtd9 90740000,90800000\n"), std::string::npos);
    EXPECT_EQ(slurp(phone.paths.flash()), std::string(kFlashSize, '\xff'));
    EXPECT_EQ(slurp(phone.at("/dev/mtd4")), std::string(0x80000, '\xff'));

    std::string listing = phone.paths.root + "/ls.out";
    ASSERT_EQ(system(("cd " + phone.at("") + " && ls -R > " + listing).c_str()), 0);
    std::string ls = slurp(listing);
    for (const char *name :
         {"env", "hwver", "software", "refresh", "mtd0", "mtd9", "./dev/mtdblock:\n3\n4\n"})
        EXPECT_NE(ls.find(name), std::string::npos) << name << " in\n" << ls;
}

TEST(KernelMount, TwoTelephonesAtOnceAndUnmountWithAFileOpen)
{
    Phone a, b;
    a.start();
    b.start();
    ASSERT_EQ(write_text(a.at("/proc/avalanche/env"), "SW_OEM 99\n"), 0);
    int fd = a.open_mtd(3);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(erase(fd, 0, 0x10000), 0);
    EXPECT_EQ(slurp(b.at("/proc/avalanche/env")), kBootenv);
    EXPECT_EQ(slurp(b.at("/dev/mtd3")), slurp(b.paths.flash()).substr(0x300000, 0x10000));

    // The descriptor keeps the mount busy; unmounting must not wait for it.
    a.kernel->unmount();
    EXPECT_TRUE(read_at(fd, 0, 16).empty());
    close(fd);
    EXPECT_NE(slurp(b.at("/proc/avalanche/env")).find("SW_OEM 12\n"), std::string::npos);
}

} // namespace
