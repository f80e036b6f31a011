// Process locks, judged by the kernel's view of the sets (semctl GETVAL,
// IPC_STAT). The undo behaviour only shows when a process ends, so those
// cases let a forked child take or give the semaphore and then exit. Every
// test case runs in a process of its own with a private IPC namespace, so
// the fixed keys never meet the host's or another case's sets.
#include "semctrl/semctrl.h"

#include "child.h"
#include "isolation.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace
{

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kPrivateIpc | testsupport::kCaptureSyslog));

constexpr key_t kKey = 0xC003;

int value_of(int semid, int index = 0)
{
    return semctl(semid, index, GETVAL);
}

using testsupport::in_child;

// When the cases share a process (the binary run by hand) a set left under
// the key by an earlier case must not leak into the next.
class Semctrl : public ::testing::Test
{
  protected:
    void SetUp() override { semctl(semget(kKey, 0, 0), 0, IPC_RMID); }
};

} // namespace

TEST_F(Semctrl, SetsAreCreatedWithMode0666AndRequestedCount)
{
    // Run alone, this is the namespace's first set and gets identifier 0,
    // which is a valid set like any other.
    int bin = binary_sem_create_private();
    ASSERT_GE(bin, 0);
    EXPECT_EQ(value_of(bin), 1);

    semid_ds ds{};
    int priv = sem_create_private(3);
    ASSERT_GE(priv, 0);
    ASSERT_EQ(semctl(priv, 0, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.sem_perm.mode & 0777, 0666u);
    EXPECT_EQ(ds.sem_nsems, 3u);
    EXPECT_EQ(value_of(priv, 2), 0);

    int keyed = binary_sem_create_key(kKey);
    ASSERT_GE(keyed, 0);
    ASSERT_EQ(semctl(keyed, 0, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.sem_perm.mode & 0777, 0666u);
    EXPECT_EQ(ds.sem_nsems, 1u);
    EXPECT_EQ(sem_free(keyed), 0);
    EXPECT_EQ(get_sem_by_key(kKey), -1);
    EXPECT_EQ(value_of(keyed), -1);
    EXPECT_EQ(sem_free(keyed), -1);
}

TEST_F(Semctrl, CreateKeyOnExistingKeyKeepsTheSetAndItsValueEvenZero)
{
    EXPECT_EQ(get_sem_by_key(kKey), -1);
    EXPECT_EQ(errno, ENOENT);
    int semid = sem_create_key(2, kKey);
    ASSERT_GE(semid, 0);
    ASSERT_EQ(sem_set_value(semid, 1, 7), 0);
    EXPECT_EQ(sem_create_key(5, kKey), semid);
    EXPECT_EQ(get_sem_by_key(kKey), semid);
    EXPECT_EQ(value_of(semid, 1), 7);
    ASSERT_EQ(sem_free(semid), 0);

    semid = binary_sem_create_key(kKey);
    ASSERT_GE(semid, 0);
    EXPECT_EQ(value_of(semid), 1);
    ASSERT_EQ(try_lock_binary_sem(semid), 0);
    EXPECT_EQ(binary_sem_create_key(kKey), semid);
    EXPECT_EQ(value_of(semid), 0);
}

TEST_F(Semctrl, ValuesAndOperationsReachTheNamedSemaphoreOnly)
{
    int semid = sem_create_private(3);
    ASSERT_GE(semid, 0);
    const unsigned short values[3] = {4, 1, 1};
    ASSERT_EQ(set_sem_values(semid, values), 0);
    EXPECT_EQ(value_of(semid, 0), 4);
    ASSERT_EQ(sem_set_value(semid, 0, 0), 0);
    ASSERT_EQ(binary_sem_set_value(semid), 0);
    EXPECT_EQ(value_of(semid, 0), 1);
    EXPECT_EQ(sem_set_value(semid, 3, 1), -1);

    EXPECT_EQ(try_lock_sem(semid, 2), 0);
    EXPECT_EQ(lock_sem(semid, 1), 0);
    EXPECT_EQ(value_of(semid, 0), 1);
    EXPECT_EQ(value_of(semid, 1), 0);
    EXPECT_EQ(value_of(semid, 2), 0);
    EXPECT_EQ(unlock_sem(semid, 2), 0);
    EXPECT_EQ(value_of(semid, 2), 1);
    // Beyond the set, or not representable as a semaphore number (65536
    // must not wrap onto semaphore 0).
    for (int bad : {3, -1, 65536})
        EXPECT_EQ(try_lock_sem(semid, bad), -1) << bad;
    EXPECT_EQ(value_of(semid, 0), 1);
}

TEST_F(Semctrl, NegativeIdentifiersFail)
{
    const unsigned short values[1] = {1};
    for (int bad : {-1, -65536}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(sem_free(bad), -1);
        EXPECT_EQ(sem_set_value(bad, 0, 1), -1);
        EXPECT_EQ(binary_sem_set_value(bad), -1);
        EXPECT_EQ(set_sem_values(bad, values), -1);
        EXPECT_EQ(try_lock_sem(bad, 0), -1);
        EXPECT_EQ(try_lock_binary_sem(bad), -1);
        EXPECT_EQ(lock_sem(bad, 0), -1);
        EXPECT_EQ(lock_binary_sem(bad), -1);
        EXPECT_EQ(unlock_sem(bad, 0), -1);
        EXPECT_EQ(unlock_binary_sem(bad), -1);
        EXPECT_EQ(errno, EINVAL);
    }
}

TEST_F(Semctrl, TryLockOnTakenSemaphoreFailsWithEagainAndLockWaits)
{
    int semid = binary_sem_create_private();
    ASSERT_GE(semid, 0);
    ASSERT_EQ(try_lock_binary_sem(semid), 0);
    errno = 0;
    EXPECT_EQ(try_lock_binary_sem(semid), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(value_of(semid), 0);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        char c = 'C';
        _exit(lock_binary_sem(semid) == 0 && write(fds[1], &c, 1) == 1 ? 0 : 1);
    }
    // A bounded wait for the child to be blocked on the semaphore.
    for (int i = 0; i < 10000 && semctl(semid, 0, GETNCNT) != 1; ++i)
        usleep(1000);
    if (semctl(semid, 0, GETNCNT) != 1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        FAIL() << "the child never waited on the semaphore";
    }
    // The child is asleep in semop, so nothing from it can be in the pipe.
    pollfd p{fds[0], POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);
    char c = 'P';
    ASSERT_EQ(write(fds[1], &c, 1), 1);
    ASSERT_EQ(unlock_binary_sem(semid), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    char order[3] = {};
    ASSERT_EQ(read(fds[0], order, 2), 2);
    EXPECT_STREQ(order, "PC");
    EXPECT_EQ(value_of(semid), 1); // the child's lock was undone when it exited
}

TEST_F(Semctrl, UndoWhenTheProcessEnds)
{
    int semid = binary_sem_create_key(kKey);
    ASSERT_GE(semid, 0);
    // A lock is given back.
    EXPECT_EQ(in_child([&] { return lock_binary_sem(semid) == 0 && value_of(semid) == 0 ? 0 : 1; }),
              0);
    EXPECT_EQ(value_of(semid), 1);
    // A try-lock outlives its process and blocks the next process's try-lock.
    EXPECT_EQ(in_child([&] { return try_lock_binary_sem(semid) == 0 ? 0 : 1; }), 0);
    EXPECT_EQ(value_of(semid), 0);
    EXPECT_EQ(in_child([&] { return try_lock_binary_sem(semid) == -1 && errno == EAGAIN ? 0 : 1; }),
              0);
    // An unlock is reverted, also of a semaphore someone else took.
    EXPECT_EQ(
        in_child([&] { return unlock_binary_sem(semid) == 0 && value_of(semid) == 1 ? 0 : 1; }), 0);
    EXPECT_EQ(value_of(semid), 0);
}

TEST_F(Semctrl, BannerIsLoggedAtInfo)
{
    testsupport::syslog_capture().take();
    show_semctrl_version();
    auto lines = testsupport::syslog_capture().take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level(), 6);
    EXPECT_EQ(lines[0].text.substr(lines[0].text.find(": ") + 2),
              "\nInit semctrl, Version 1.0.0.2, Build at Jun 23 2021 05:55:59\n");
}
