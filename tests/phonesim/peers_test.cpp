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
#include <string.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace phonesim;
using testsupport::wait_until;

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kPrivateIpc | testsupport::kCaptureSyslog));

// The program reads the shared memory once it holds memory_semid: the
// loader holds it until the pack and the state are in.
TEST(Peers, LoaderHoldsMemorySemidUntilPackAndStateAreIn)
{
    std::vector<uint8_t> pack(4096);
    for (size_t i = 0; i < pack.size(); ++i)
        pack[i] = uint8_t(i * 7 + (i >> 8));
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
