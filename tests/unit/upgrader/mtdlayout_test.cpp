// Every case makes a simulated telephone (phonesim's root, chip image and
// kernel, mounted inside this process, /bin copied to /tmp/bin as the
// program does) and moves, copies and writes back partitions against it
// with real shell commands.
#include "upgrader/mtdlayout.h"

#include "files.h"
#include "fuse_device.h"
#include "isolation.h"
#include "phonesim/init.h"
#include "phonesim/kernel.h"
#include "phonesim/profile.h"
#include "upgrader/flash.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>

using namespace phonesim;
using testsupport::put, testsupport::slurp;

// Reads can be made to see one bit other than what the chip holds, as a
// worn block would show it.
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

// The kernel is mounted in a private namespace, with a /dev/fuse of its own.
::testing::Environment *const g_isolated = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));
::testing::Environment *const g_fuse =
    ::testing::AddGlobalTestEnvironment(new testsupport::FuseDeviceEnvironment);

class Mtdlayout : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        setenv("UPGRADER_PAUSE_SCALE", "0", 1);
        mtdlayout_reset();
        kernel_support = 1;
        env_mtd_write = config_mtd_write = upgrader_kernel_only = 0;
        std::copy(profile.mtd, profile.mtd + kPartitions, next);
        // Room below the two small partitions: mtd2 shrinks, mtd3 and mtd4
        // slide down two blocks, mtd5 grows into the gap.
        next[2].end = 0x90300000;
        next[3] = Window{0x90300000, 0x90310000};
        next[4] = Window{0x90310000, 0x90390000};
        next[5].start = 0x90390000;
    }
    void TearDown() override { kernel.reset(); } // unmounted before the root goes
    void boot()
    {
        kernel.reset();
        paths.root = root.path();
        std::string error;
        ASSERT_EQ(init_telephone(paths.root, profile, InitOptions(), &error), 0) << error;
        ASSERT_EQ(system(("cp -rf " + at("/bin") + " " + at("/tmp/")).c_str()), 0);
        kernel.reset(new Kernel(paths, profile, KernelEvents()));
        ASSERT_EQ(kernel->mount(&error), 0) << error;
        for (int i = 0; i < kPartitions; ++i) {
            snprintf(table[i].name, sizeof(table[i].name), "mtd%d", i);
            table[i].start_addr = profile.mtd[i].start;
            table[i].end_addr = profile.mtd[i].end;
        }
    }
    std::string at(const std::string &rel) const { return root / rel; }
    // The new layout file from next: its first `keys` partitions, `raw_at` given as `raw`.
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
    // The windows the kernel serves, then those the table holds.
    std::string layouts() const
    {
        Window w[kPartitions];
        std::string served = parse_layout(slurp(paths.layout()), w) ? format_layout(w) : "";
        for (int i = 0; i < kPartitions; ++i)
            w[i] = Window{table[i].start_addr, table[i].end_addr};
        return served + "/" + format_layout(w);
    }
    std::string both(const Window (&w)[kPartitions]) const
    {
        return format_layout(w) + "/" + format_layout(w);
    }
    bool saved_copy() const { return access(at(MTDBLOCK3_SAVE).c_str(), F_OK) == 0; }
    void fake_cat(const std::string &body)
    {
        put(at("/tmp/bin/cat"), "#!/bin/sh\n" + body + "\n");
        chmod(at("/tmp/bin/cat").c_str(), 0755);
    }

    testsupport::ScopedRoot root;
    Profile profile = default_profile();
    Paths paths;
    std::unique_ptr<Kernel> kernel;
    env_info table[ENV_TABLE_SIZE] = {};
    Window next[kPartitions];
};

TEST_F(Mtdlayout, KernelSupportAndAKernelWithoutMovesBurningOnlyTheKernel)
{
    boot();
    EXPECT_EQ(kernel_support_mtd_repair_check(), 1);
    profile.mtd_move_supported = false;
    boot();
    EXPECT_EQ(kernel_support = kernel_support_mtd_repair_check(), 0);
    write_conf();
    EXPECT_EQ(mtd_config_deal(table), 0);
    EXPECT_EQ(upgrader_kernel_only, 1);
    EXPECT_EQ(layouts(), both(profile.mtd));
    EXPECT_EQ(env_mtd_write + config_mtd_write, 0);
}

// An identical layout moves and copies nothing; one where only mtd5
// differs moves mtd5 alone, without copying.
TEST_F(Mtdlayout, IdenticalLayoutAndOnlyMtd5Differing)
{
    boot();
    std::copy(profile.mtd, profile.mtd + kPartitions, next);
    write_conf();
    EXPECT_EQ(mtd_config_deal(table), 0);
    EXPECT_EQ(layouts(), both(profile.mtd));
    next[5].end = 0x904a0000;
    write_conf();
    EXPECT_EQ(mtd_config_deal(table), 0);
    EXPECT_EQ(layouts(), both(next));
    EXPECT_EQ(env_mtd_write + config_mtd_write + upgrader_kernel_only, 0);
    EXPECT_FALSE(saved_copy());
}

TEST_F(Mtdlayout, ConfigPartitionsMovedAndWrittenBackKeepTheirContent)
{
    boot();
    // Something of the telephone's own in the configuration, beyond the
    // chip's signature line.
    int fd = open(at("/dev/mtd4").c_str(), O_RDWR);
    ASSERT_EQ(pwrite(fd, "[Phone]\nname=desk\n", 18, 0x1000), 18);
    close(fd);
    std::string env_before = slurp(at("/dev/mtdblock/3"));
    std::string config_before = slurp(at("/dev/mtdblock/4"));
    write_conf();
    ASSERT_EQ(mtd_config_deal(table), 0);
    EXPECT_EQ(layouts(), both(next));
    EXPECT_EQ(env_mtd_write + config_mtd_write, 2);
    EXPECT_NE(slurp(at("/dev/mtdblock/4")), config_before); // other flash now
    ASSERT_EQ(umount_config_mtd(), 0);
    EXPECT_EQ(slurp(paths.records() + "/umount.log"),
              "umount " + at("/etc/") + "\numount " + at("/config/") + "\n");
    ASSERT_EQ(mtd_write(4, MTDBLOCK4_SIZE, MTDBLOCK4_SAVE), 0);
    ASSERT_EQ(mtd_write(3, MTDBLOCK3_SIZE, MTDBLOCK3_SAVE), 0);
    EXPECT_EQ(slurp(at("/dev/mtdblock/3")), env_before);
    EXPECT_EQ(slurp(at("/dev/mtdblock/4")), config_before);
}

TEST_F(Mtdlayout, MissingOrMalformedLayoutsAreRefusedBeforeAnythingMoves)
{
    boot();
    for (const testsupport::Row &r :
         testsupport::rows(TEST_DATA_DIR "/mtd_layout_malformed.rows")) {
        write_conf(std::stoi(r[1]), std::stoi(r[2]), r[3]);
        EXPECT_EQ(mtd_config_deal(table), -1) << r[0];
        EXPECT_EQ(layouts(), both(profile.mtd)) << r[0];
        EXPECT_EQ(env_mtd_write + config_mtd_write + upgrader_kernel_only, 0) << r[0];
        EXPECT_FALSE(saved_copy()) << r[0];
    }
    write_conf();
    strcpy(table[7].name, "mtd77");
    EXPECT_EQ(mtd_config_deal(table), -1);
}

// A copy that fails, or that exits with 0 but delivers only the first 4 KiB,
// stops the move before mtd3; a failed copy is not remembered as made.
TEST_F(Mtdlayout, FailedOrShortCopyStopsTheMove)
{
    boot();
    write_conf();
    Window expected[kPartitions];
    std::copy(profile.mtd, profile.mtd + kPartitions, expected);
    expected[2] = next[2]; // moved before mtd3 was reached
    for (std::string cat : {"exit 1", "head -c 4096 \"$1\""}) {
        fake_cat(cat);
        EXPECT_EQ(mtd_config_deal(table), -1) << cat;
        EXPECT_EQ(layouts().substr(0, layouts().find('/')), format_layout(expected)) << cat;
        EXPECT_EQ(env_mtd_write + config_mtd_write, 0) << cat;
    }
    fake_cat("case \"$1\" in *mtdblock/4) exit 1;; esac\nexec " + at("/bin/cat") + " \"$@\"");
    EXPECT_EQ(cat_env_config_block(), -1);
    ASSERT_EQ(system(("cp -f " + at("/bin/cat") + " " + at("/tmp/bin/cat")).c_str()), 0);
    EXPECT_EQ(cat_env_config_block(), 0);
    EXPECT_EQ(slurp(at(MTDBLOCK4_SAVE)), slurp(at("/dev/mtdblock/4")));
}

// Refused images and failing devices leave neither a descriptor nor the
// image's mapping behind; a refused image leaves the partition as it was.
TEST_F(Mtdlayout, WriteBackFailuresLeakNothing)
{
    const struct {
        const char *kind; // a device fault, or none
        int block, size;  // the image's size; 0: no image
        bool flip_reads;
    } cases[] = {{"open", -1, MTDBLOCK4_SIZE, false},     {"erase", 5, MTDBLOCK4_SIZE, false},
                 {"write", 2, MTDBLOCK4_SIZE, false},     {"", 0, MTDBLOCK4_SIZE, true},
                 {"", 0, MTDBLOCK4_SIZE - 0x1000, false}, {"", 0, 0, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.kind + std::to_string(c.size));
        profile.faults.assign(*c.kind ? 1 : 0, Fault{4, c.kind, c.block});
        boot();
        std::string before = slurp(at("/dev/mtdblock/4"));
        unlink(at(MTDBLOCK4_SAVE).c_str());
        if (c.size > 0)
            put(at(MTDBLOCK4_SAVE), std::string(size_t(c.size), 'i'));
        g_flip_reads = c.flip_reads;
        // The first call opens the log connection, which stays.
        EXPECT_EQ(mtd_write(4, MTDBLOCK4_SIZE, MTDBLOCK4_SAVE), -1);
        auto open_fds = [] {
            return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
        };
        long fds = open_fds();
        EXPECT_EQ(mtd_write(4, MTDBLOCK4_SIZE, MTDBLOCK4_SAVE), -1);
        g_flip_reads = 0;
        EXPECT_EQ(open_fds(), fds);
        EXPECT_EQ(slurp("/proc/self/maps").find(at(MTDBLOCK4_SAVE)), std::string::npos);
        EXPECT_TRUE(*c.kind || c.flip_reads || slurp(at("/dev/mtdblock/4")) == before);
    }
    for (int size : {0x8000, 0, -0x10000}) // not whole blocks
        EXPECT_EQ(mtd_write(3, size, MTDBLOCK3_SAVE), -1) << size;
    EXPECT_EQ(mtd_write(10, MTDBLOCK3_SIZE, MTDBLOCK3_SAVE), -1);
}

} // namespace
