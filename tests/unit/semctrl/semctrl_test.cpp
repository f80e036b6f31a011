// Process locks, judged by the kernel's view of the sets (semctl GETVAL,
// IPC_STAT). The undo behaviour only shows when a process ends, so those
// cases let a forked child take or give the semaphore and then exit. Every
// test case runs in a process of its own with a private IPC namespace, so
// the fixed keys never meet the host's or another case's sets.
#include "semctrl/semctrl.h"

#include "child.h"
#include "isolation.h"
#include "log/rl_log.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace {

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kPrivateIpc | testsupport::kCaptureSyslog));

constexpr key_t kKey = 0xC003;

int value_of(int semid, int index = 0) { return semctl(semid, index, GETVAL); }

using testsupport::in_child;

// A bounded wait for another process to be blocked on the semaphore.
bool wait_for_sleeper(int semid)
{
    for (int i = 0; i < 10000; ++i) {
        if (semctl(semid, 0, GETNCNT) == 1)
            return true;
        usleep(1000);
    }
    return false;
}

// Every case runs in a fresh namespace under ctest; when the cases share a
// process (the binary run by hand) a set left under the key by an earlier
// case must not leak into the next.
class KeyedSets : public ::testing::Test {
  protected:
    void SetUp() override
    {
        int left = semget(kKey, 0, 0);
        if (left != -1)
            semctl(left, 0, IPC_RMID);
        testsupport::syslog_capture().take();
    }
};

using SemctrlCreate = KeyedSets;
using SemctrlValues = KeyedSets;
using SemctrlLocking = KeyedSets;
using SemctrlUndo = KeyedSets;
using SemctrlVersion = KeyedSets;

} // namespace

TEST_F(SemctrlCreate, PrivateBinarySemaphoreStartsFreeEvenAsIdentifierZero)
{
    // Run alone, this is the namespace's first set and gets identifier 0,
    // which is a valid set like any other.
    int semid = binary_sem_create_private();
    ASSERT_GE(semid, 0);
    EXPECT_EQ(value_of(semid), 1);
}

TEST_F(SemctrlCreate, SetsAreCreatedWithMode0666AndRequestedCount)
{
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
}

TEST_F(SemctrlCreate, CreateKeyOnExistingKeyReturnsTheExistingSet)
{
    EXPECT_EQ(get_sem_by_key(kKey), -1);
    EXPECT_EQ(errno, ENOENT);
    int semid = sem_create_key(2, kKey);
    ASSERT_GE(semid, 0);
    ASSERT_EQ(sem_set_value(semid, 1, 7), 0);
    EXPECT_EQ(sem_create_key(2, kKey), semid);
    EXPECT_EQ(sem_create_key(5, kKey), semid);
    EXPECT_EQ(get_sem_by_key(kKey), semid);
    EXPECT_EQ(value_of(semid, 1), 7);
}

TEST_F(SemctrlCreate, BinaryCreateKeyKeepsAnExistingValueEvenZero)
{
    int semid = binary_sem_create_key(kKey);
    ASSERT_GE(semid, 0);
    EXPECT_EQ(value_of(semid), 1);
    ASSERT_EQ(try_lock_binary_sem(semid), 0);
    EXPECT_EQ(binary_sem_create_key(kKey), semid);
    EXPECT_EQ(value_of(semid), 0);
}

TEST_F(SemctrlCreate, FreeRemovesTheSet)
{
    int semid = binary_sem_create_key(kKey);
    ASSERT_GE(semid, 0);
    EXPECT_EQ(sem_free(semid), 0);
    EXPECT_EQ(get_sem_by_key(kKey), -1);
    EXPECT_EQ(value_of(semid), -1);
    EXPECT_EQ(sem_free(semid), -1);
}

TEST_F(SemctrlValues, SetValueAndSetAllReachTheNamedSemaphores)
{
    int semid = sem_create_private(3);
    ASSERT_GE(semid, 0);
    const unsigned short values[3] = {4, 0, 9};
    ASSERT_EQ(set_sem_values(semid, values), 0);
    EXPECT_EQ(value_of(semid, 0), 4);
    EXPECT_EQ(value_of(semid, 1), 0);
    EXPECT_EQ(value_of(semid, 2), 9);
    ASSERT_EQ(sem_set_value(semid, 1, 2), 0);
    EXPECT_EQ(value_of(semid, 1), 2);
    ASSERT_EQ(sem_set_value(semid, 0, 0), 0);
    ASSERT_EQ(binary_sem_set_value(semid), 0);
    EXPECT_EQ(value_of(semid, 0), 1);
    EXPECT_EQ(sem_set_value(semid, 3, 1), -1);
}

TEST_F(SemctrlValues, OperationsWorkOnTheGivenIndexOnly)
{
    int semid = sem_create_private(3);
    ASSERT_GE(semid, 0);
    const unsigned short values[3] = {1, 1, 1};
    ASSERT_EQ(set_sem_values(semid, values), 0);
    EXPECT_EQ(try_lock_sem(semid, 2), 0);
    EXPECT_EQ(lock_sem(semid, 1), 0);
    EXPECT_EQ(value_of(semid, 0), 1);
    EXPECT_EQ(value_of(semid, 1), 0);
    EXPECT_EQ(value_of(semid, 2), 0);
    EXPECT_EQ(unlock_sem(semid, 2), 0);
    EXPECT_EQ(value_of(semid, 2), 1);
    // Beyond the set, or not representable as a semaphore number (65536
    // must not wrap onto semaphore 0).
    EXPECT_EQ(try_lock_sem(semid, 3), -1);
    EXPECT_EQ(try_lock_sem(semid, -1), -1);
    EXPECT_EQ(try_lock_sem(semid, 65536), -1);
    EXPECT_EQ(value_of(semid, 0), 1);
}

TEST_F(SemctrlValues, NegativeIdentifiersFail)
{
    const unsigned short values[1] = {1};
    for (int bad : {-1, -2, -65536}) {
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

TEST_F(SemctrlLocking, TryLockOnTakenSemaphoreFailsWithEagain)
{
    int semid = binary_sem_create_private();
    ASSERT_GE(semid, 0);
    ASSERT_EQ(try_lock_binary_sem(semid), 0);
    errno = 0;
    EXPECT_EQ(try_lock_binary_sem(semid), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(value_of(semid), 0);
    EXPECT_EQ(unlock_binary_sem(semid), 0);
    EXPECT_EQ(try_lock_binary_sem(semid), 0);
}

TEST_F(SemctrlLocking, LockWaitsUntilTheHolderUnlocks)
{
    int semid = binary_sem_create_private();
    ASSERT_GE(semid, 0);
    ASSERT_EQ(try_lock_binary_sem(semid), 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int rc = lock_binary_sem(semid);
        char c = 'C';
        _exit(rc == 0 && write(fds[1], &c, 1) == 1 ? 0 : 1);
    }
    if (!wait_for_sleeper(semid)) {
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
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    char order[3] = {};
    ASSERT_EQ(read(fds[0], order, 2), 2);
    EXPECT_STREQ(order, "PC");
    // The child's lock was undone when it exited.
    EXPECT_EQ(value_of(semid), 1);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(SemctrlUndo, TryLockOutlivesItsProcess)
{
    int semid = binary_sem_create_key(kKey);
    ASSERT_GE(semid, 0);
    EXPECT_EQ(in_child([&] { return try_lock_binary_sem(semid) == 0 ? 0 : 1; }), 0);
    EXPECT_EQ(value_of(semid), 0);
    // And it blocks the next process's try-lock.
    EXPECT_EQ(in_child([&] { return try_lock_binary_sem(semid) == -1 && errno == EAGAIN ? 0 : 1; }),
              0);
}

TEST_F(SemctrlUndo, LockIsGivenBackWhenItsProcessEnds)
{
    int semid = binary_sem_create_key(kKey);
    ASSERT_GE(semid, 0);
    EXPECT_EQ(in_child([&] { return lock_binary_sem(semid) == 0 && value_of(semid) == 0 ? 0 : 1; }),
              0);
    EXPECT_EQ(value_of(semid), 1);
}

TEST_F(SemctrlUndo, UnlockIsRevertedWhenItsProcessEnds)
{
    int semid = binary_sem_create_key(kKey);
    ASSERT_GE(semid, 0);
    EXPECT_EQ(in_child([&] {
                  return try_lock_binary_sem(semid) == 0 && unlock_binary_sem(semid) == 0 &&
                                 value_of(semid) == 1
                             ? 0
                             : 1;
              }),
              0);
    EXPECT_EQ(value_of(semid), 0);

    // An unlock of a semaphore someone else took is reverted the same way.
    EXPECT_EQ(in_child([&] { return unlock_binary_sem(semid); }), 0);
    EXPECT_EQ(value_of(semid), 0);
}

TEST_F(SemctrlVersion, BannerIsLoggedAtInfo)
{
    show_semctrl_version();
    auto lines = testsupport::syslog_capture().take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level(), 6);
    EXPECT_EQ(lines[0].text, std::string(g_module_name) + " pid" + std::to_string(g_pid) + ",tid" +
                                 std::to_string(syscall(SYS_gettid)) +
                                 ",l6: \nInit semctrl, Version 1.0.0.2, Build at Jun 23 2021 "
                                 "05:55:59\n");
}
