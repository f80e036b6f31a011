// Shared upgrade memory, judged by the kernel's view of the segments
// (shmget, IPC_STAT) and by the lines that reach "/dev/log". Each test case
// runs in a process of its own with a private IPC namespace, so no segment
// exists under the fixed keys until the case makes one.
#include "libupgrader/libupgrader.h"

#include "isolation.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <string>
#include <vector>

namespace
{

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kPrivateIpc | testsupport::kCaptureSyslog));

constexpr key_t kLoaderKey = 0xA130;
constexpr key_t kAltKey = 0x1079B;
using Lines = std::vector<std::string>;

// The lines logged so far as "<level>|<message>".
Lines logged()
{
    Lines out;
    for (const testsupport::LogLine &line : testsupport::syslog_capture().take())
        out.push_back(std::to_string(line.level()) + "|" +
                      line.text.substr(line.text.find(": ") + 2));
    return out;
}

// What the attach logs for a segment of size bytes with attaches others.
Lines attach_lines(unsigned size, int attaches, const void *addr)
{
    char at[64];
    snprintf(at, sizeof(at), "6|Memory attached at %X\n",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(addr)));
    return {"6|Size of memory segment is " + std::to_string(size) + "\n",
            "6|Numbre of attaches " + std::to_string(attaches) + "\n", at};
}

// A segment under key as another process would leave it, holding marker at
// offset 0.
int make_segment(key_t key, size_t size, int mode, unsigned char marker)
{
    int shmid = shmget(key, size, IPC_CREAT | IPC_EXCL | mode);
    void *p = shmid == -1 ? reinterpret_cast<void *>(-1) : shmat(shmid, nullptr, 0);
    if (p != reinterpret_cast<void *>(-1)) {
        *static_cast<unsigned char *>(p) = marker;
        shmdt(p);
    }
    return shmid;
}

shmid_ds stat_of(int shmid)
{
    shmid_ds ds{};
    shmctl(shmid, IPC_STAT, &ds);
    return ds;
}

unsigned char first_byte(const void *addr)
{
    return *static_cast<const unsigned char *>(addr);
}

// When the cases share a process (the binary run by hand) segments left by
// an earlier case must not leak into the next.
class Libupgrader : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        for (key_t key : {kLoaderKey, kAltKey})
            shmctl(shmget(key, 0, 0), IPC_RMID, nullptr);
        logged();
    }
};

} // namespace

TEST_F(Libupgrader, NoSegmentUnderEitherKeyGivesZeroAndCreatesNothing)
{
    EXPECT_EQ(get_share_memory(), nullptr);
    unsigned int size = 1234;
    EXPECT_EQ(get_share_memory_sized(&size), nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(shmget(kLoaderKey, 0, 0), -1);
    EXPECT_EQ(shmget(kAltKey, 0, 0), -1);
    EXPECT_TRUE(logged().empty());
}

TEST_F(Libupgrader, LoaderCreatesFullSizeSegmentWithMode0666AndUpgraderSeesIt)
{
    void *addr = libupd_get_share_memory();
    ASSERT_NE(addr, nullptr);
    int shmid = shmget(kLoaderKey, 0, 0);
    ASSERT_NE(shmid, -1);
    shmid_ds ds = stat_of(shmid);
    EXPECT_EQ(ds.shm_segsz, 0x800008u);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0666u);
    EXPECT_EQ(ds.shm_nattch, 1u);
    EXPECT_EQ(attach_lines(8388616, 0, addr), logged());
    static_cast<unsigned char *>(addr)[0x800007] = 0x5A; // read-write over the whole size

    EXPECT_EQ(libupd_set_state(addr, 1), 1);
    memcpy(libupd_get_rom_start_addr(addr), "ROM", 3);
    unsigned int size = 0;
    void *mine = get_share_memory_sized(&size);
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(size, 0x800008u);
    EXPECT_EQ(libupd_get_state(mine), 1);
    EXPECT_EQ(memcmp(libupd_get_rom_start_addr(mine), "ROM", 3), 0);
}

TEST_F(Libupgrader, LoaderAttachesAnExistingSegmentAsItIs)
{
    int shmid = make_segment(kLoaderKey, 4096, 0600, 0x42);
    ASSERT_NE(shmid, -1);
    void *held = shmat(shmid, nullptr, 0);
    void *addr = libupd_get_share_memory();
    ASSERT_NE(addr, nullptr);
    EXPECT_NE(addr, held);
    EXPECT_EQ(first_byte(addr), 0x42);
    EXPECT_EQ(stat_of(shmid).shm_nattch, 2u);
    EXPECT_EQ(attach_lines(4096, 1, addr), logged());
}

TEST_F(Libupgrader, UpgraderPrefersTheAlternateKeyAndReportsItsSize)
{
    ASSERT_NE(make_segment(kLoaderKey, 8192, 0666, 0xA1), -1);
    ASSERT_NE(make_segment(kAltKey, 4096, 0666, 0xB2), -1);
    unsigned int size = 0;
    void *addr = get_share_memory_sized(&size);
    ASSERT_NE(addr, nullptr);
    EXPECT_EQ(first_byte(addr), 0xB2);
    EXPECT_EQ(size, 4096u);
    EXPECT_EQ(attach_lines(4096, 0, addr), logged());
    void *plain = get_share_memory();
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(first_byte(plain), 0xB2);
}

TEST_F(Libupgrader, DeleteRemovesTheLoaderSegmentEvenWhenAttachedFromTheAlternateKey)
{
    int alt = make_segment(kAltKey, 4096, 0666, 0xB2);
    ASSERT_NE(alt, -1);
    void *addr = get_share_memory();
    ASSERT_NE(addr, nullptr);
    // No loader segment yet, or a null address: everything stays.
    libupd_delete_share_memory(addr);
    EXPECT_EQ(stat_of(alt).shm_nattch, 1u);
    ASSERT_NE(make_segment(kLoaderKey, 4096, 0666, 0xA1), -1);
    libupd_delete_share_memory(nullptr);
    EXPECT_EQ(stat_of(alt).shm_nattch, 1u);
    logged();

    libupd_delete_share_memory(addr);
    EXPECT_EQ(shmget(kLoaderKey, 0, 0), -1);
    EXPECT_EQ(shmget(kAltKey, 0, 0), alt);
    EXPECT_EQ(stat_of(alt).shm_nattch, 0u);
    EXPECT_EQ(Lines{"6|detach the shared memory"}, logged());
}

TEST_F(Libupgrader, FailedDetachKeepsTheSegment)
{
    void *addr = libupd_get_share_memory();
    ASSERT_NE(addr, nullptr);
    int shmid = shmget(kLoaderKey, 0, 0);
    logged();
    libupd_delete_share_memory(libupd_get_rom_start_addr(addr));
    EXPECT_EQ(Lines{"3|detach the shared memory failed"}, logged());
    EXPECT_EQ(shmget(kLoaderKey, 0, 0), shmid);
    EXPECT_EQ(stat_of(shmid).shm_nattch, 1u);
}

TEST_F(Libupgrader, StateIsALittleEndianWordAtOffsetFourAndRomStartsAtEight)
{
    unsigned char buf[16];
    memset(buf, 0xEE, sizeof(buf));
    void *base = buf + 1; // odd: the word must be reachable without an aligned load
    EXPECT_EQ(libupd_set_state(base, 0x11223344), 0x11223344);
    const unsigned char expect[16] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0x44, 0x33, 0x22,
                                      0x11, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(memcmp(buf, expect, sizeof(buf)), 0);
    EXPECT_EQ(libupd_get_state(base), 0x11223344);
    EXPECT_EQ(libupd_set_state(base, -2), -2);
    EXPECT_EQ(libupd_get_state(base), -2);
    const unsigned char written[8] = {0, 0, 0, 0, 0x02, 0, 0, 0};
    EXPECT_EQ(libupd_get_state(written), 2);

    EXPECT_EQ(libupd_get_rom_start_addr(buf), buf + 8);
    EXPECT_EQ(libupd_get_rom_start_addr(buf + 3), buf + 11);
    EXPECT_EQ(libupd_get_rom_start_addr(nullptr), nullptr);
    EXPECT_EQ(libupd_get_state(nullptr), -1);
    EXPECT_EQ(libupd_set_state(nullptr, 0), -1);
}

TEST_F(Libupgrader, BannerIsLoggedAtInfo)
{
    show_libupgrader_version();
    EXPECT_EQ(Lines{"6|\nInit libupgrader, Version 1.0.0.12, Build at Jun 23 2021 05:55:59\n"},
              logged());
}
