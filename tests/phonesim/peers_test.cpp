// The telephone's other programs as phonesim plays them: the IPC listeners,
// the loader of the shared upgrade memory, the configuration saver and the
// keypad.
#include "phonesim/peers.h"

#include "libipc/ipc.h"
#include "libupgrader/libupgrader.h"
#include "semctrl/semctrl.h"

#include "files.h"
#include "isolation.h"
#include "lcd_root.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

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

TEST(Peers, BroadcastFromTheUpgraderReachesEveryListener)
{
    testsupport::ScopedRoot root;
    IpcListeners listeners;
    std::string error;
    const std::set<int> ids = {1, 2, 3, 4, 5, 7, 8, 9, 10, 11}; // 6 is the upgrader's
    ASSERT_EQ(listeners.start(root.path(), std::vector<int>(ids.begin(), ids.end()), &error), 0)
        << error;
    ipc_register(6);
    ipc_broadcast(4, 2, 0, nullptr, 0);
    EXPECT_TRUE(wait_until([&] { return listeners.messages().size() >= 10; }));
    listeners.stop();

    std::set<int> reached;
    for (const IpcRecord &r : listeners.messages()) {
        reached.insert(r.listener);
        EXPECT_EQ(r.msg_len, 20);
        EXPECT_EQ(r.msg, 4);
        EXPECT_EQ(r.sender, 6);
        EXPECT_EQ(r.param1, 2);
    }
    EXPECT_EQ(listeners.messages().size(), 10u);
    EXPECT_EQ(reached, ids);
    ipc_unregister();
}

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

TEST(Peers, KeyScriptWritesPressAndReleaseInTimeOrder)
{
    std::vector<KeyPress> keys;
    for (const char *bad : {"x:1", "1:", "1:17,", "-1:3", "1:70000", "1:3x"})
        EXPECT_FALSE(parse_keys(bad, &keys)) << bad;
    ASSERT_TRUE(parse_keys("0.02:32,0:17,3600:5", &keys));

    testsupport::TempDir dir;
    std::string fifo = dir.path() + "/event0";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    KeyScript script;
    std::string error;
    // The last press lies far ahead: stop() must cut its wait short.
    ASSERT_EQ(script.start(fifo, keys, &error), 0) << error;
    int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    std::string got;
    ASSERT_TRUE(wait_until([&] {
        char buffer[64];
        ssize_t n = read(fd, buffer, sizeof(buffer));
        got.append(buffer, n > 0 ? size_t(n) : 0);
        return got.size() >= 64;
    }));
    script.stop();
    close(fd);
    ASSERT_EQ(got.size(), 64u);
    const std::pair<uint16_t, int32_t> expected[] = {{17, 1}, {17, 0}, {32, 1}, {32, 0}};
    for (int i = 0; i < 4; ++i) // the time stamp aside, as the keypad driver sends them
        EXPECT_EQ(got.substr(i * 16 + 8, 8),
                  testsupport::key_event(expected[i].first, expected[i].second).substr(8))
            << i;
}
