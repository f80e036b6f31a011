// Shared upgrade memory, judged by the kernel's view of the segments. Each
// case runs in its own process and private IPC namespace.
#include "libupgrader/libupgrader.h"

#include "isolation.h"

#include <sys/shm.h>

namespace
{
::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kPrivateIpc));

// A segment under key as another process leaves it, marker at offset 0.
int make_segment(key_t key, size_t size, unsigned char marker)
{
    int shmid = shmget(key, size, IPC_CREAT | IPC_EXCL | 0600);
    void *p = shmat(shmid, nullptr, 0);
    *static_cast<unsigned char *>(p) = marker;
    return shmdt(p) == 0 ? shmid : -1;
}

shmid_ds stat_of(int shmid)
{
    shmid_ds ds{};
    shmctl(shmid, IPC_STAT, &ds);
    return ds;
}
} // namespace

TEST(Libupgrader, UpgraderNeverCreatesTheSegmentTheLoaderDoes)
{
    unsigned int size = 1234;
    EXPECT_EQ(get_share_memory_sized(&size), nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(shmget(LIBUPD_SHM_KEY, 0, 0) + shmget(LIBUPD_SHM_ALT_KEY, 0, 0), -2);
    ASSERT_NE(libupd_get_share_memory(), nullptr);
    const int shmid = shmget(LIBUPD_SHM_KEY, 0, 0);
    EXPECT_EQ(stat_of(shmid).shm_segsz, 0x800008u);
    EXPECT_EQ(stat_of(shmid).shm_perm.mode & 0777, 0666u);
    EXPECT_NE(get_share_memory_sized(&size), nullptr);
    EXPECT_EQ(size, 0x800008u);
    libupd_delete_share_memory(&size); // not attached: the segment stays
    EXPECT_EQ(shmget(LIBUPD_SHM_KEY, 0, 0), shmid);
}

TEST(Libupgrader, ExistingSegmentsAreAttachedAsTheyAreTheAlternateKeyFirst)
{
    make_segment(LIBUPD_SHM_KEY, 8192, 0xA1);
    EXPECT_EQ(*static_cast<unsigned char *>(libupd_get_share_memory()), 0xA1);
    const int alt = make_segment(LIBUPD_SHM_ALT_KEY, 4096, 0xB2);
    unsigned int size = 0;
    void *addr = get_share_memory_sized(&size);
    ASSERT_NE(addr, nullptr);
    EXPECT_EQ(*static_cast<unsigned char *>(addr), 0xB2);
    EXPECT_EQ(size, 4096u);
    // Deleting removes the loader's segment whichever key addr came from, so
    // that the next loader starts afresh.
    libupd_delete_share_memory(nullptr);
    EXPECT_EQ(stat_of(alt).shm_nattch, 1u);
    libupd_delete_share_memory(addr);
    EXPECT_EQ(stat_of(alt).shm_nattch, 0u);
    EXPECT_EQ(shmget(LIBUPD_SHM_KEY, 0, 0), -1);
    EXPECT_EQ(shmget(LIBUPD_SHM_ALT_KEY, 0, 0), alt);
}

TEST(Libupgrader, StateIsALittleEndianWordAtOffsetFourReadUnaligned)
{
    std::string buf(12, '\xEE');
    EXPECT_EQ(libupd_set_state(&buf[1], -2), -2);
    EXPECT_EQ(buf, "\xEE\xEE\xEE\xEE\xEE\xFE\xFF\xFF\xFF\xEE\xEE\xEE");
    EXPECT_EQ(libupd_get_state(&buf[1]), -2);
    EXPECT_EQ(libupd_get_rom_start_addr(&buf[3]), &buf[11]);
    EXPECT_EQ(libupd_get_state(nullptr), -1); // "loading failed"
}
