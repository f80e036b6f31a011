// Shared upgrade memory, judged by the kernel's view of the segments
// (shmget, IPC_STAT) and by the lines that reach "/dev/log". Each test case
// runs in a process of its own with a private IPC namespace, so no segment
// exists under the fixed keys until the case makes one.
#include "libupgrader/libupgrader.h"

#include "child.h"
#include "isolation.h"
#include "log/rl_log.h"

#include <errno.h>
#include <linux/capability.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kPrivateIpc | testsupport::kCaptureSyslog));

constexpr key_t kLoaderKey = 0xA130;
constexpr key_t kAltKey = 0x1079B;

// The lines logged so far as "<level>|<message>", with the logger's prefix
// checked and removed; any thread of any process of the test may have sent
// them. A line with a wrong prefix is kept whole so the comparison shows it.
std::vector<std::string> logged()
{
    std::vector<std::string> out;
    const std::string head = std::string(g_module_name) + " pid" + std::to_string(g_pid) + ",tid";
    for (const testsupport::LogLine &line : testsupport::syslog_capture().take()) {
        const std::string &t = line.text;
        std::string level = ",l" + std::to_string(line.level()) + ": ";
        size_t digits = head.size();
        while (digits < t.size() && t[digits] >= '0' && t[digits] <= '9')
            ++digits;
        if (t.compare(0, head.size(), head) == 0 && digits > head.size() &&
            t.compare(digits, level.size(), level) == 0)
            out.push_back(std::to_string(line.level()) + "|" + t.substr(digits + level.size()));
        else
            out.push_back(t);
    }
    return out;
}

std::string attached_line(const void *addr)
{
    char buf[64];
    snprintf(buf, sizeof(buf), "6|Memory attached at %X\n",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(addr)));
    return buf;
}

// A segment under key as another process would leave it, holding marker at
// offset 0.
int make_segment(key_t key, size_t size, int mode, unsigned char marker)
{
    int shmid = shmget(key, size, IPC_CREAT | IPC_EXCL | mode);
    if (shmid == -1)
        return -1;
    void *p = shmat(shmid, nullptr, 0);
    if (p == reinterpret_cast<void *>(-1))
        return shmid;
    *static_cast<unsigned char *>(p) = marker;
    shmdt(p);
    return shmid;
}

shmid_ds stat_of(int shmid)
{
    shmid_ds ds;
    memset(&ds, 0, sizeof(ds));
    if (shmctl(shmid, IPC_STAT, &ds) == -1)
        ds.shm_segsz = 0;
    return ds;
}

using testsupport::in_child;

// Without capabilities, root is held to the permission bits like anyone.
bool drop_capabilities()
{
    __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2];
    memset(data, 0, sizeof(data));
    return syscall(SYS_capset, &hdr, data) == 0;
}

// Every case runs in a fresh namespace under ctest; when the cases share a
// process (the binary run by hand) segments left under the keys by an
// earlier case must not leak into the next.
class Segments : public ::testing::Test {
  protected:
    void SetUp() override
    {
        for (key_t key : {kLoaderKey, kAltKey}) {
            int left = shmget(key, 0, 0);
            if (left != -1)
                shmctl(left, IPC_RMID, nullptr);
        }
        testsupport::syslog_capture().take();
    }
};

using LibupgraderAttach = Segments;
using LibupgraderDelete = Segments;
using LibupgraderState = Segments;
using LibupgraderVersion = Segments;

} // namespace

TEST_F(LibupgraderAttach, NoSegmentUnderEitherKeyGivesZeroAndCreatesNothing)
{
    EXPECT_EQ(get_share_memory(), nullptr);
    unsigned int size = 1234;
    EXPECT_EQ(get_share_memory_sized(&size), nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(shmget(kLoaderKey, 0, 0), -1);
    EXPECT_EQ(shmget(kAltKey, 0, 0), -1);
    EXPECT_TRUE(logged().empty());
}

TEST_F(LibupgraderAttach, LoaderCreatesFullSizeSegmentWithMode0666)
{
    void *addr = libupd_get_share_memory();
    ASSERT_NE(addr, nullptr);
    int shmid = shmget(kLoaderKey, 0, 0);
    ASSERT_NE(shmid, -1);
    shmid_ds ds = stat_of(shmid);
    EXPECT_EQ(ds.shm_segsz, 0x800008u);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0666u);
    EXPECT_EQ(ds.shm_nattch, 1u);
    // Read-write over the whole size.
    static_cast<unsigned char *>(addr)[0x800007] = 0x5A;
    EXPECT_EQ((std::vector<std::string>{"6|Size of memory segment is 8388616\n",
                                        "6|Numbre of attaches 0\n", attached_line(addr)}),
              logged());
}

TEST_F(LibupgraderAttach, LoaderAttachesAnExistingSegmentAsItIs)
{
    int shmid = make_segment(kLoaderKey, 4096, 0600, 0x42);
    ASSERT_NE(shmid, -1);
    void *held = shmat(shmid, nullptr, 0);
    ASSERT_NE(held, reinterpret_cast<void *>(-1));

    void *addr = libupd_get_share_memory();
    ASSERT_NE(addr, nullptr);
    EXPECT_NE(addr, held);
    EXPECT_EQ(*static_cast<unsigned char *>(addr), 0x42);
    EXPECT_EQ(stat_of(shmid).shm_nattch, 2u);
    EXPECT_EQ((std::vector<std::string>{"6|Size of memory segment is 4096\n",
                                        "6|Numbre of attaches 1\n", attached_line(addr)}),
              logged());
}

TEST_F(LibupgraderAttach, UpgraderPrefersTheAlternateKeyAndReportsItsSize)
{
    ASSERT_NE(make_segment(kLoaderKey, 8192, 0666, 0xA1), -1);
    ASSERT_NE(make_segment(kAltKey, 4096, 0666, 0xB2), -1);
    unsigned int size = 0;
    void *addr = get_share_memory_sized(&size);
    ASSERT_NE(addr, nullptr);
    EXPECT_EQ(*static_cast<unsigned char *>(addr), 0xB2);
    EXPECT_EQ(size, 4096u);
    EXPECT_EQ((std::vector<std::string>{"6|Size of memory segment is 4096\n",
                                        "6|Numbre of attaches 0\n", attached_line(addr)}),
              logged());

    void *plain = get_share_memory();
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(*static_cast<unsigned char *>(plain), 0xB2);
}

TEST_F(LibupgraderAttach, UpgraderSeesWhatTheLoaderWrote)
{
    void *loader = libupd_get_share_memory();
    ASSERT_NE(loader, nullptr);
    EXPECT_EQ(libupd_set_state(loader, 1), 1);
    memcpy(libupd_get_rom_start_addr(loader), "ROM", 3);

    unsigned int size = 0;
    void *mine = get_share_memory_sized(&size);
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(size, 0x800008u);
    EXPECT_EQ(libupd_get_state(mine), 1);
    EXPECT_EQ(memcmp(libupd_get_rom_start_addr(mine), "ROM", 3), 0);
}

TEST_F(LibupgraderAttach, UnreadableSegmentIsLoggedAndNotAttached)
{
    ASSERT_NE(make_segment(kLoaderKey, 4096, 0, 0), -1);
    logged();
    int rc = in_child([] {
        if (!drop_capabilities())
            return 2;
        unsigned int size = 77;
        void *addr = get_share_memory_sized(&size);
        return addr == nullptr && size == 0 ? 0 : 1;
    });
    ASSERT_NE(rc, 2) << "capset failed";
    EXPECT_EQ(rc, 0);
    EXPECT_EQ((std::vector<std::string>{"6|shmctl() call failed\n", "6|shmat failed\n"}), logged());
}

TEST_F(LibupgraderDelete, RemovesTheLoaderSegmentEvenWhenAttachedFromTheAlternateKey)
{
    ASSERT_NE(make_segment(kLoaderKey, 4096, 0666, 0xA1), -1);
    int alt = make_segment(kAltKey, 4096, 0666, 0xB2);
    ASSERT_NE(alt, -1);
    void *addr = get_share_memory();
    ASSERT_NE(addr, nullptr);
    ASSERT_EQ(stat_of(alt).shm_nattch, 1u);
    logged();

    libupd_delete_share_memory(addr);
    EXPECT_EQ(shmget(kLoaderKey, 0, 0), -1);
    EXPECT_EQ(shmget(kAltKey, 0, 0), alt);
    EXPECT_EQ(stat_of(alt).shm_nattch, 0u);
    EXPECT_EQ(std::vector<std::string>{"6|detach the shared memory"}, logged());
}

TEST_F(LibupgraderDelete, ZeroAddressOrNoLoaderSegmentLeavesEverything)
{
    int alt = make_segment(kAltKey, 4096, 0666, 0xB2);
    ASSERT_NE(alt, -1);
    void *addr = get_share_memory();
    ASSERT_NE(addr, nullptr);
    logged();

    libupd_delete_share_memory(addr);
    EXPECT_EQ(stat_of(alt).shm_nattch, 1u);

    ASSERT_NE(make_segment(kLoaderKey, 4096, 0666, 0xA1), -1);
    libupd_delete_share_memory(nullptr);
    EXPECT_NE(shmget(kLoaderKey, 0, 0), -1);
    EXPECT_EQ(stat_of(alt).shm_nattch, 1u);
    EXPECT_TRUE(logged().empty());
}

TEST_F(LibupgraderDelete, FailedDetachKeepsTheSegment)
{
    void *addr = libupd_get_share_memory();
    ASSERT_NE(addr, nullptr);
    int shmid = shmget(kLoaderKey, 0, 0);
    logged();

    libupd_delete_share_memory(libupd_get_rom_start_addr(addr));
    EXPECT_EQ(std::vector<std::string>{"3|detach the shared memory failed"}, logged());
    EXPECT_EQ(shmget(kLoaderKey, 0, 0), shmid);
    EXPECT_EQ(stat_of(shmid).shm_nattch, 1u);

    libupd_delete_share_memory(addr);
    EXPECT_EQ(std::vector<std::string>{"6|detach the shared memory"}, logged());
    EXPECT_EQ(shmget(kLoaderKey, 0, 0), -1);
    shmid_ds ds;
    EXPECT_EQ(shmctl(shmid, IPC_STAT, &ds), -1);
}

TEST_F(LibupgraderDelete, FailedRemovalIsLoggedAfterTheDetach)
{
    void *addr = libupd_get_share_memory();
    ASSERT_NE(addr, nullptr);
    int shmid = shmget(kLoaderKey, 0, 0);
    logged();
    // A process of another user may detach but not remove root's segment.
    int rc = in_child([addr] {
        if (setresuid(12345, 12345, 12345) != 0)
            return 2;
        libupd_delete_share_memory(addr);
        return 0;
    });
    if (rc == 2)
        GTEST_SKIP() << "no second user id available";
    ASSERT_EQ(rc, 0);
    EXPECT_EQ((std::vector<std::string>{"6|detach the shared memory",
                                        "3|Failed to delete shared memory"}),
              logged());
    EXPECT_EQ(shmget(kLoaderKey, 0, 0), shmid);
}

TEST_F(LibupgraderState, StateIsALittleEndianWordAtOffsetFour)
{
    unsigned char buf[16];
    memset(buf, 0xEE, sizeof(buf));
    // Odd base: the word must be reachable without an aligned load.
    void *base = buf + 1;
    EXPECT_EQ(libupd_set_state(base, 0x11223344), 0x11223344);
    const unsigned char expect[16] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0x44, 0x33, 0x22,
                                      0x11, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(memcmp(buf, expect, sizeof(buf)), 0);
    EXPECT_EQ(libupd_get_state(base), 0x11223344);

    EXPECT_EQ(libupd_set_state(base, -2), -2);
    EXPECT_EQ(buf[5], 0xFE);
    EXPECT_EQ(buf[8], 0xFF);
    EXPECT_EQ(libupd_get_state(base), -2);

    const unsigned char written[8] = {0, 0, 0, 0, 0x02, 0, 0, 0};
    EXPECT_EQ(libupd_get_state(written), 2);
}

TEST_F(LibupgraderState, RomStartsEightBytesInAndNullAddressesAreRefused)
{
    unsigned char buf[16];
    EXPECT_EQ(libupd_get_rom_start_addr(buf), buf + 8);
    EXPECT_EQ(libupd_get_rom_start_addr(buf + 3), buf + 11);
    EXPECT_EQ(libupd_get_rom_start_addr(nullptr), nullptr);
    EXPECT_EQ(libupd_get_state(nullptr), -1);
    EXPECT_EQ(libupd_set_state(nullptr, 0), -1);
}

TEST_F(LibupgraderVersion, BannerIsLoggedAtInfo)
{
    show_libupgrader_version();
    EXPECT_EQ(std::vector<std::string>{
                  "6|\nInit libupgrader, Version 1.0.0.12, Build at Jun 23 2021 05:55:59\n"},
              logged());
}
