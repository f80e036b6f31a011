// Partition moves, copies and write-backs on a simulated telephone (its
// kernel mounted in this process, /bin copied to /tmp/bin as the program does).
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
#include <sys/syscall.h>
#include <atomic>
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
        // Room below the two small partitions: mtd2 shrinks, mtd3 and mtd4
        // slide down two blocks, mtd5 grows into the gap.
        std::copy(profile.mtd, profile.mtd + kPartitions, next);
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
            table[i].start_addr = profile.mtd[i].start, table[i].end_addr = profile.mtd[i].end;
        }
    }
    std::string at(const std::string &rel) const { return root / rel; }
    // Writes the layout file from next (its first `keys` partitions, `raw_at`
    // given as `raw`) and applies it.
    int apply(int keys = kPartitions, int raw_at = -1, const std::string &raw = "")
    {
        std::string text = "[mtd]\n";
        for (int i = 0; i < keys; ++i) {
            char value[32];
            snprintf(value, sizeof(value), "%x,%x", next[i].start, next[i].end);
            text += "mtd" + std::to_string(i) + "=" + (i == raw_at ? raw : value) + "\n";
        }
        put(at("/tmp/mtd.conf"), text);
        mtd_layout_plan plan;
        int r = mtd_config_check(table, &part, &flag, 1, &plan);
        return r != 0 ? r : mtd_config_deal(&plan, table);
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
    int moved() const { return env_mtd_write + config_mtd_write + upgrader_kernel_only; }

    testsupport::ScopedRoot root;
    Profile profile = default_profile();
    Paths paths;
    std::unique_ptr<Kernel> kernel;
    env_info table[ENV_TABLE_SIZE] = {};
    Window next[kPartitions];
    Partition_Header part = {}; // the pack's one flash partition
    int flag = 1;
};

// Without kernel support only the kernel is burnt; malformed layouts are
// refused before anything moves.
TEST_F(Mtdlayout, KernelSupportAndMalformedLayouts)
{
    profile.mtd_move_supported = false;
    boot();
    EXPECT_EQ(kernel_support = kernel_support_mtd_repair_check(), 0);
    EXPECT_EQ(apply(), 0);
    EXPECT_EQ(layouts() + std::to_string(moved()), both(profile.mtd) + "1");
    profile.mtd_move_supported = true;
    boot();
    EXPECT_EQ(kernel_support = kernel_support_mtd_repair_check(), 1);
    upgrader_kernel_only = 0;
    for (const testsupport::Row &r :
         testsupport::rows(TEST_DATA_DIR "/mtd_layout_malformed.rows")) {
        EXPECT_EQ(apply(std::stoi(r[1]), std::stoi(r[2]), r[3]), -1) << r[0];
        EXPECT_EQ(layouts() + std::to_string(moved()), both(profile.mtd) + "0") << r[0];
        EXPECT_NE(access(at(MTDBLOCK3_SAVE).c_str(), F_OK), 0) << r[0];
    }
    // The check measured the payload against today's window.
    part.partition_id = 5, part.partition_size = next[5].end - next[5].start + 1;
    EXPECT_EQ(apply(), -1);
    EXPECT_EQ(layouts() + std::to_string(moved()), both(profile.mtd) + "0");
}

// mtd4 grows by a block that held the end of its old window: written back,
// the new window holds the old content and nothing after it.
TEST_F(Mtdlayout, ConfigPartitionsMovedAndWrittenBackKeepTheirContent)
{
    next[4].end = next[5].start = 0x903a0000;
    boot();
    // Something of the telephone's own in the configuration, beyond the
    // chip's signature line.
    int fd = open(at("/dev/mtd4").c_str(), O_RDWR);
    ASSERT_EQ(pwrite(fd, "[Phone]\nname=desk\n", 18, 0x1000), 18);
    ASSERT_EQ(pwrite(fd, "tail", 4, 0x6ff00), 4);
    close(fd);
    std::string env_before = slurp(at("/dev/mtdblock/3"));
    std::string config_before = slurp(at("/dev/mtdblock/4"));
    ASSERT_EQ(apply(), 0);
    EXPECT_EQ(layouts() + std::to_string(moved()), both(next) + "2");
    EXPECT_NE(slurp(at("/dev/mtdblock/4")), config_before); // other flash now
    ASSERT_EQ(umount_config_mtd(), 0);
    ASSERT_EQ(mtd_write(4, MTDBLOCK4_SIZE, MTDBLOCK4_SAVE, 0x90000), 0);
    ASSERT_EQ(mtd_write(3, MTDBLOCK3_SIZE, MTDBLOCK3_SAVE, MTDBLOCK3_SIZE), 0);
    EXPECT_EQ(slurp(at("/dev/mtdblock/3")), env_before);
    config_before += std::string(0x10000, '\xff');
    EXPECT_EQ(slurp(at("/dev/mtdblock/4")), config_before);
    // A partition that reads back other than the image fails; images not
    // of whole blocks or of another size are refused.
    g_flip_reads = 1;
    EXPECT_EQ(mtd_write(4, MTDBLOCK4_SIZE, MTDBLOCK4_SAVE, 0x90000), -1);
    g_flip_reads = 0;
    for (int size : {0x8000, 0, -0x10000, MTDBLOCK4_SIZE * 2})
        EXPECT_EQ(mtd_write(4, size, MTDBLOCK4_SAVE, 0x90000), -1) << size;
    EXPECT_EQ(mtd_write(4, MTDBLOCK4_SIZE, MTDBLOCK4_SAVE, 0xa0000), -1) << "past the device";
    EXPECT_EQ(slurp(at("/dev/mtdblock/4")), config_before);
}

// A layout that moves only partitions after mtd4 keeps the configuration
// where it is: nothing is copied or marked for a write-back.
TEST_F(Mtdlayout, MovingOnlyLaterPartitionsCopiesNothing)
{
    boot();
    std::copy(profile.mtd, profile.mtd + kPartitions, next);
    next[5].end -= 0x10000, next[6].start -= 0x10000;
    ASSERT_EQ(apply(), 0);
    EXPECT_EQ(layouts() + std::to_string(moved()), both(next) + "0");
    for (const char *save : {MTDBLOCK3_SAVE, MTDBLOCK4_SAVE})
        EXPECT_NE(access(at(save).c_str(), F_OK), 0) << save;
}

// A copy that fails, or that exits with 0 but delivers only the first 4 KiB,
// stops the move before mtd3 and undoes it; a failed copy is not remembered
// as made.
TEST_F(Mtdlayout, FailedOrShortCopyStopsTheMove)
{
    boot();
    Window expected[kPartitions]; // mtd2, moved before mtd3 was reached, moved back
    std::copy(profile.mtd, profile.mtd + kPartitions, expected);
    std::string cat = at("/tmp/bin/cat");
    for (std::string body : {"exit 1", "head -c 4096 \"$1\"",
                             "case \"$1\" in *mtdblock/4) exit 1;; esac\nexec /bin/cat \"$@\""}) {
        put(cat, "#!/bin/sh\n" + body + "\n");
        EXPECT_EQ(apply(), -1) << body;
        EXPECT_EQ(layouts().substr(0, layouts().find('/')), format_layout(expected)) << body;
        EXPECT_EQ(moved(), 0) << body;
    }
    ASSERT_EQ(system(("cp -f " + at("/bin/cat") + " " + cat).c_str()), 0);
    EXPECT_EQ(cat_env_config_block(), 0);
    EXPECT_EQ(slurp(at(MTDBLOCK4_SAVE)), slurp(at("/dev/mtdblock/4")));
}

} // namespace
