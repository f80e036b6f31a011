// Process locks, judged by the kernel's view of the sets. Each case runs in
// its own process and private IPC namespace; forked children show the undo.
// A lock waiting and a try-lock failing on a taken semaphore are seen by
// tests/phonesim/peers_test.cpp.
#include "semctrl/semctrl.h"

#include "child.h"
#include "isolation.h"

#include <sys/sem.h>

namespace
{
::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kPrivateIpc));
constexpr key_t kKey = 0xC003;
int value_of(int semid, int index = 0)
{
    return semctl(semid, index, GETVAL);
}
int mode_of(int semid)
{
    semid_ds ds{};
    return semctl(semid, 0, IPC_STAT, &ds) == 0 ? int(ds.sem_perm.mode & 0777) : -1;
}
} // namespace

TEST(Semctrl, SetsAreOpenToEveryUserAndAKeyedSetSurvivesARecreate)
{
    EXPECT_EQ(mode_of(sem_create_private(3)), 0666);
    int bin = binary_sem_create_private();
    EXPECT_EQ(try_lock_sem(bin, 65536), -1); // must not wrap onto semaphore 0
    EXPECT_EQ(value_of(bin), 1);
    EXPECT_EQ(get_sem_by_key(kKey), -1);
    int keyed = binary_sem_create_key(kKey);
    EXPECT_EQ(mode_of(keyed), 0666);
    // A lock another process holds must survive our start-up.
    ASSERT_EQ(try_lock_binary_sem(keyed), 0);
    EXPECT_EQ(binary_sem_create_key(kKey), keyed);
    EXPECT_EQ(sem_create_key(5, kKey), keyed);
    EXPECT_EQ(value_of(keyed), 0);
    EXPECT_EQ(sem_free(keyed), 0);
    EXPECT_EQ(get_sem_by_key(kKey), -1);
}

TEST(Semctrl, LockAndUnlockAreUndoneWhenTheProcessEndsButTryLockIsNot)
{
    using testsupport::in_child;
    int semid = binary_sem_create_key(kKey);
    EXPECT_EQ(in_child([&] { return lock_binary_sem(semid) == 0 ? value_of(semid) : -1; }), 0);
    EXPECT_EQ(value_of(semid), 1);
    EXPECT_EQ(in_child([&] { return try_lock_binary_sem(semid); }), 0);
    EXPECT_EQ(value_of(semid), 0);
    EXPECT_EQ(in_child([&] { return unlock_binary_sem(semid) == 0 ? value_of(semid) : -1; }), 1);
    EXPECT_EQ(value_of(semid), 0);
    // Taken for good: a timed lock gives up, and takes it once it is free.
    EXPECT_EQ(in_child([&] { return lock_binary_sem_timed(semid, 50) == -1 && errno == EAGAIN; }),
              1);
    ASSERT_EQ(unlock_binary_sem(semid), 0);
    EXPECT_EQ(in_child([&] { return lock_binary_sem_timed(semid, 50) == 0 ? value_of(semid) : -1; }),
              0);
    EXPECT_EQ(value_of(semid), 1);
}
