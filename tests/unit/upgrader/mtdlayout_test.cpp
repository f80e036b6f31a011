// Partition moves, copies and write-backs on a simulated telephone (its
// kernel mounted in this process, /bin copied to /tmp/bin as the program does).
#include "upgrader/mtdlayout.h"

#include "files.h"
#include "isolation.h"
#include "phonesim/init.h"
#include "phonesim/kernel.h"
#include "phonesim/profile.h"
#include "upgrader/flash.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <atomic>
#include <map>
#include <memory>
#include <sstream>

using namespace phonesim;
using testsupport::put, testsupport::slurp, testsupport::Row;

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

// The kernel is mounted in a private mount namespace.
::testing::Environment *const g_isolated = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

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
    // Writes the layout file, the first `keys` windows of next with the
    // changes ("mtdN=VALUE ...") made (and taken into next where they read
    // as windows), and applies it.
    int apply(int keys = kPartitions, const std::string &changes = "")
    {
        std::map<int, std::string> values;
        for (int i = 0; i < keys; ++i) {
            char value[32];
            snprintf(value, sizeof(value), "%x,%x", next[i].start, next[i].end);
            values[i] = value;
        }
        std::istringstream in(changes);
        for (std::string change; in >> change;) {
            int n = std::stoi(change.substr(3));
            values[n] = change.substr(change.find('=') + 1);
            sscanf(values[n].c_str(), "%x,%x", &next[n].start, &next[n].end);
        }
        std::string text = "[mtd]\n";
        for (const auto &[n, value] : values)
            text += "mtd" + std::to_string(n) + "=" + value + "\n";
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
    // The pack's one flash partition: basic (mtd5), where the blocks are
    // staged when they slide over their old places.
    Partition_Header part = [] {
        Partition_Header p = {};
        p.partition_id = 5;
        return p;
    }();
    int flag = 1;
};

class LayoutFile : public Mtdlayout, public ::testing::WithParamInterface<Row>
{
};
// The columns of mtd_layouts.rows.
enum { kName, kBase, kKeys, kChanges, kCat, kResult, kAfter, kMarked, kCopies };

TEST_P(LayoutFile, IsCarriedOutWholeOrNotAtAll)
{
    const Row &r = GetParam();
    boot();
    if (r[kBase] == "today")
        std::copy(profile.mtd, profile.mtd + kPartitions, next);
    const std::string cat = at("/tmp/bin/cat");
    if (!r[kCat].empty())
        put(cat, "#!/bin/sh\n" + r[kCat] + "\n");
    EXPECT_EQ(apply(std::stoi(r[kKeys]), r[kChanges]), std::stoi(r[kResult]));
    EXPECT_EQ(layouts(), both(r[kAfter] == "new" ? next : profile.mtd));
    EXPECT_EQ(moved(), std::stoi(r[kMarked]));
    for (const char *copy : {MTDBLOCK3_SAVE, MTDBLOCK4_SAVE})
        EXPECT_TRUE(r[kCopies] != "none" || access(at(copy).c_str(), F_OK) != 0) << copy;
    if (!r[kCat].empty()) { // a failed copy is not taken as made
        ASSERT_EQ(system(("cp -f " + at("/bin/cat") + " " + cat).c_str()), 0);
        EXPECT_EQ(cat_env_config_block(), 0);
        EXPECT_EQ(slurp(at(MTDBLOCK4_SAVE)), slurp(at("/dev/mtdblock/4")));
    }
}

INSTANTIATE_TEST_SUITE_P(OnATelephoneThatMovesPartitions, LayoutFile,
                         ::testing::ValuesIn(testsupport::rows(TEST_DATA_DIR "/mtd_layouts.rows")),
                         [](const ::testing::TestParamInfo<Row> &info) { return info.param[0]; });

// mtd4 grows by a block that held the end of its old window: written back,
// the new window holds the old content and nothing after it. (mtd3 written
// back: Phone.LayoutMoveKeepsEnvironmentAndConfiguration.)
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
    std::string config_before = slurp(at("/dev/mtdblock/4"));
    ASSERT_EQ(apply(), 0);
    EXPECT_EQ(layouts() + std::to_string(moved()), both(next) + "2");
    ASSERT_EQ(umount_config_mtd(), 0);
    ASSERT_EQ(mtd_write(4, MTDBLOCK4_SIZE, MTDBLOCK4_SAVE, 0x90000), 0);
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

} // namespace
