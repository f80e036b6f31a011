// The telephone's other programs as phonesim plays them: the loader of the
// shared upgrade memory and the configuration saver (the IPC listeners and
// the keypad are seen in runs).
#include "phonesim/peers.h"

#include "libupgrader/libupgrader.h"
#include "semctrl/semctrl.h"

#include "files.h"
#include "isolation.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace phonesim;
using testsupport::wait_until;

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kPrivateIpc | testsupport::kCaptureSyslog));

namespace
{

std::vector<uint8_t> bytes(size_t size, uint32_t seed)
{
    std::vector<uint8_t> out(size);
    for (auto &b : out)
        b = uint8_t((seed = seed * 1103515245u + 12345u) >> 24);
    return out;
}

} // namespace

TEST(Peers, LoaderLeavesThePackAndStateInSharedMemory)
{
    std::vector<uint8_t> pack = bytes(300000, 1);
    std::string error;
    ASSERT_EQ(load_pack(pack, 1, &error), 0) << error;
    int shmid = shmget(LIBUPD_SHM_KEY, 0, 0);
    ASSERT_GE(shmid, 0);
    struct shmid_ds info;
    ASSERT_EQ(shmctl(shmid, IPC_STAT, &info), 0);
    EXPECT_EQ(info.shm_segsz, size_t(LIBUPD_SHM_SIZE));
    EXPECT_EQ(info.shm_nattch, 0u); // the loader let go of its attachment

    void *memory = get_share_memory();
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(libupd_get_state(memory), 1);
    EXPECT_EQ(memcmp(libupd_get_rom_start_addr(memory), pack.data(), pack.size()), 0);
    shmdt(memory);
    EXPECT_EQ(semctl(get_sem_by_key(LIBUPD_SHM_KEY), 0, GETVAL), 1) << "memory_semid is free";
    EXPECT_EQ(load_pack(std::vector<uint8_t>(0x800001), 0, &error), -1) << "too big";
}

TEST(Peers, LoaderHoldsMemorySemidUntilPackAndStateAreIn)
{
    std::vector<uint8_t> pack = bytes(4096, 2);
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t reader = fork();
    if (reader == 0) {
        // The upgrade program's side: wait for the semaphore, then read.
        char c;
        void *memory = nullptr;
        _exit(read(go[0], &c, 1) != 1 || lock_binary_sem(get_sem_by_key(LIBUPD_SHM_KEY)) != 0 ||
                      !(memory = get_share_memory()) || libupd_get_state(memory) != -3 ||
                      memcmp(libupd_get_rom_start_addr(memory), pack.data(), pack.size()) != 0
                  ? 1
                  : 0);
    }
    ASSERT_GT(reader, 0);
    bool reader_blocked = false;
    std::string error;
    int loaded = load_pack(pack, -3, &error, [&] {
        EXPECT_EQ(write(go[1], "g", 1), 1);
        int semid = get_sem_by_key(LIBUPD_SHM_KEY);
        reader_blocked = wait_until([&] { return semctl(semid, 0, GETNCNT) == 1; });
    });
    int status = 0;
    ASSERT_EQ(waitpid(reader, &status, 0), reader);
    EXPECT_EQ(loaded, 0) << error;
    EXPECT_TRUE(reader_blocked);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(Peers, ConfigSaverHoldsItsSemaphoreUntilStoppedOrDone)
{
    ConfigSaver saver;
    std::string error;
    ASSERT_EQ(saver.start(600, &error), 0) << error;
    int semid = get_sem_by_key(0xB012);
    ASSERT_GE(semid, 0);
    EXPECT_EQ(try_lock_binary_sem(semid), -1);
    EXPECT_EQ(errno, EAGAIN);
    saver.stop();
    ASSERT_EQ(try_lock_binary_sem(semid), 0);
    ASSERT_EQ(unlock_binary_sem(semid), 0);
    // A short hold ends by itself.
    ASSERT_EQ(saver.start(0.05, &error), 0) << error;
    EXPECT_TRUE(wait_until([&] { return semctl(semid, 0, GETVAL) == 1; }));
}
