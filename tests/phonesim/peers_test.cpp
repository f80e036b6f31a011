#include "phonesim/peers.h"

#include "libipc/ipc.h"
#include "libupgrader/libupgrader.h"
#include "semctrl/semctrl.h"

#include "isolation.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

using namespace phonesim;

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kPrivateIpc | testsupport::kCaptureSyslog));

namespace
{

// Polls for something another thread or process does; false after 10 s.
bool eventually(const std::function<bool()> &done)
{
    for (int i = 0; i < 10000; ++i) {
        if (done())
            return true;
        usleep(1000);
    }
    return false;
}

std::vector<uint8_t> bytes(size_t size, uint32_t seed)
{
    std::vector<uint8_t> out(size);
    for (auto &b : out) {
        seed = seed * 1103515245u + 12345u;
        b = uint8_t(seed >> 24);
    }
    return out;
}

std::vector<int> telephone_ids()
{
    std::vector<int> ids;
    for (int id = 1; id <= 11; ++id)
        if (id != 6)
            ids.push_back(id);
    return ids;
}

} // namespace

TEST(Peers, BroadcastFromTheUpgraderReachesEveryListener)
{
    testsupport::ScopedRoot root;
    IpcListeners listeners;
    std::string error;
    ASSERT_EQ(listeners.start(root.path(), telephone_ids(), &error), 0) << error;
    struct stat st;
    ASSERT_EQ(stat((root / "/var/ipc/3").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0777u);

    ipc_register(6);
    ipc_broadcast(4, 2, 0, nullptr, 0);
    EXPECT_TRUE(eventually([&] { return listeners.messages().size() >= 10; }));
    listeners.stop();

    std::set<int> reached;
    for (const IpcRecord &r : listeners.messages()) {
        reached.insert(r.listener);
        EXPECT_EQ(r.msg_len, 20);
        EXPECT_EQ(r.msg, 4);
        EXPECT_EQ(r.sender, 6);
        EXPECT_EQ(r.param1, 2);
        EXPECT_EQ(r.param2, 0);
        EXPECT_TRUE(r.data.empty());
    }
    EXPECT_EQ(listeners.messages().size(), 10u);
    std::vector<int> ids = telephone_ids();
    EXPECT_EQ(reached, std::set<int>(ids.begin(), ids.end()));
    ipc_unregister();
}

TEST(Peers, LongPayloadArrivesWholeAndBadLengthsAreDropped)
{
    testsupport::ScopedRoot root;
    IpcListeners listeners;
    std::string error;
    ASSERT_EQ(listeners.start(root.path(), {3}, &error), 0) << error;

    // Refused lengths, queued on the socket before the good message.
    for (int32_t bad : {7, 2069}) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        std::string path = root / "/var/ipc/3";
        strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        ASSERT_EQ(connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)), 0);
        std::vector<uint8_t> message(2069, 0);
        memcpy(message.data(), &bad, 4);
        EXPECT_EQ(write(fd, message.data(), size_t(bad)), bad);
        close(fd);
    }

    std::vector<uint8_t> payload = bytes(2048, 7);
    ipc_register(6);
    ASSERT_EQ(ipc_send(3, 9, -1, 77, payload.data(), int(payload.size())), 0);
    EXPECT_TRUE(eventually([&] { return !listeners.messages().empty(); }));
    listeners.stop();

    std::vector<IpcRecord> got = listeners.messages();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].listener, 3);
    EXPECT_EQ(got[0].msg_len, 2068);
    EXPECT_EQ(got[0].msg, 9);
    EXPECT_EQ(got[0].param1, -1);
    EXPECT_EQ(got[0].param2, 77);
    EXPECT_EQ(got[0].data, payload);
    EXPECT_GE(got[0].at, 0);
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

    // memory_semid is free again.
    int semid = get_sem_by_key(LIBUPD_SHM_KEY);
    ASSERT_GE(semid, 0);
    EXPECT_EQ(semctl(semid, 0, GETVAL), 1);

    EXPECT_EQ(load_pack(std::vector<uint8_t>(0x800001), 0, &error), -1);
    EXPECT_FALSE(error.empty());
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
        if (read(go[0], &c, 1) != 1)
            _exit(10);
        if (lock_binary_sem(get_sem_by_key(LIBUPD_SHM_KEY)) != 0)
            _exit(11);
        void *memory = get_share_memory();
        if (!memory)
            _exit(12);
        if (libupd_get_state(memory) != -3)
            _exit(13);
        if (memcmp(libupd_get_rom_start_addr(memory), pack.data(), pack.size()) != 0)
            _exit(14);
        _exit(0);
    }
    ASSERT_GT(reader, 0);
    close(go[0]);

    bool reader_blocked = false;
    std::string error;
    int loaded = load_pack(pack, -3, &error, [&] {
        int semid = get_sem_by_key(LIBUPD_SHM_KEY);
        EXPECT_EQ(write(go[1], "g", 1), 1);
        reader_blocked = eventually([&] { return semctl(semid, 0, GETNCNT) == 1; });
    });
    close(go[1]);
    int status = 0;
    ASSERT_EQ(waitpid(reader, &status, 0), reader);
    EXPECT_EQ(loaded, 0) << error;
    EXPECT_TRUE(reader_blocked);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Peers, ConfigSaverHoldsItsSemaphoreUntilStoppedOrDone)
{
    ConfigSaver saver;
    std::string error;
    ASSERT_EQ(saver.start(600, &error), 0) << error;
    int semid = get_sem_by_key(0xB012);
    ASSERT_GE(semid, 0);
    errno = 0;
    EXPECT_EQ(try_lock_binary_sem(semid), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_NE(ConfigSaver().start(1, &error), 0); // taken: a set-up error, no wait
    saver.stop();
    ASSERT_EQ(try_lock_binary_sem(semid), 0);
    ASSERT_EQ(unlock_binary_sem(semid), 0);

    // A short hold ends by itself.
    ASSERT_EQ(saver.start(0.05, &error), 0) << error;
    EXPECT_TRUE(eventually([&] { return semctl(semid, 0, GETVAL) == 1; }));
}

TEST(Peers, KeysParseAndEncode)
{
    std::vector<KeyPress> keys;
    ASSERT_TRUE(parse_keys("0.5:17,2:32", &keys));
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].at, 0.5);
    EXPECT_EQ(keys[0].code, 17);
    EXPECT_EQ(keys[1].at, 2);
    EXPECT_EQ(keys[1].code, 32);
    for (const char *bad : {"x:1", "1:", ":3", "1:17,", "-1:3", "1:70000", "1;3", "1:3x"})
        EXPECT_FALSE(parse_keys(bad, &keys)) << bad;

    EXPECT_EQ(input_event(35, 1, 2.25),
              (std::vector<uint8_t>{2, 0, 0, 0, 0x90, 0xD0, 0x03, 0, 1, 0, 35, 0, 1, 0, 0, 0}));
}

TEST(Peers, KeyScriptWritesPressAndReleaseIntoTheFifo)
{
    testsupport::TempDir dir;
    std::string fifo = dir.path() + "/event0";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    KeyScript script;
    std::string error;
    // The last press lies far ahead: stop() must cut its wait short.
    ASSERT_EQ(script.start(fifo, {{0.02, 32}, {0, 17}, {3600, 5}}, &error), 0) << error;

    int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> got;
    ASSERT_TRUE(eventually([&] {
        uint8_t buffer[64];
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n > 0)
            got.insert(got.end(), buffer, buffer + n);
        return got.size() >= 64;
    }));
    script.stop();
    close(fd);

    ASSERT_EQ(got.size(), 64u);
    struct Expect {
        uint16_t code;
        int32_t value;
    } expect[] = {{17, 1}, {17, 0}, {32, 1}, {32, 0}};
    for (int i = 0; i < 4; ++i) {
        const uint8_t *e = &got[size_t(i) * 16];
        uint16_t type, code;
        int32_t value;
        memcpy(&type, e + 8, 2);
        memcpy(&code, e + 10, 2);
        memcpy(&value, e + 12, 4);
        EXPECT_EQ(type, 1) << i;
        EXPECT_EQ(code, expect[i].code) << i;
        EXPECT_EQ(value, expect[i].value) << i;
    }
    EXPECT_EQ(script.start(dir.path() + "/none", {}, &error), -1);
}
