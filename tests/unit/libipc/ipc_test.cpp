// Messages between processes, judged at the socket: raw peers take what the
// unit sends and write what it must receive; the handler passes each record
// it gets on through a pipe.
#include "libipc/ipc.h"

#include "child.h"
#include "files.h"
#include "isolation.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>

#include <atomic>
#include <filesystem>

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

// The unit's sends come here; while set, the kernel takes only half of a
// message (Unix stream sockets never do that for messages this small).
static std::atomic<bool> g_half_send{false};
extern "C" ssize_t send(int fd, const void *buf, size_t len, int flags)
{
    return syscall(SYS_sendto, fd, buf, g_half_send ? len / 2 : len, flags, nullptr, 0);
}

// One case forks and starts (or fails to start) a thread in the child.
extern "C" const char *__tsan_default_options()
{
    return "die_after_fork=0";
}

namespace
{
using testsupport::wait_until;
namespace fs = std::filesystem;
std::atomic<int> g_then{0}; // what the handler does first: 1 quit, 2 unregister

int handler(const ipc_msg_t *msg, void *pipe_fd)
{
    if (g_then == 1)
        set_quitflag(1);
    if (g_then == 2)
        (void)ipc_unregister();
    // One write of less than PIPE_BUF bytes: never mixed with another.
    return int(write(*static_cast<int *>(pipe_fd), msg, sizeof(*msg)));
}

class Ipc : public ::testing::Test
{
  protected:
    void SetUp() override { ASSERT_EQ(pipe(inbox_), 0); }
    void TearDown() override { g_half_send = false, g_then = 0, (void)ipc_unregister(); }
    void start() { ASSERT_EQ((ipc_register(5) + ipc_run(handler, &inbox_[1])), 0); }
    static long threads() { return std::distance(fs::directory_iterator("/proc/self/task"), {}); }
    static bool readable(int fd, int ms = 10000)
    {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, ms) == 1;
    }

    // A socket at "/var/ipc/<id>" under the root: listening or connected.
    static int unix_socket(int id, bool listening)
    {
        sockaddr_un a{AF_UNIX, {}};
        snprintf(a.sun_path, sizeof(a.sun_path), "%s/var/ipc/%d", getenv("UPGRADER_ROOT"), id);
        fs::create_directories(fs::path(a.sun_path).parent_path());
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        auto *sa = reinterpret_cast<sockaddr *>(&a);
        if (listening ? bind(fd, sa, sizeof(a)) == 0 && listen(fd, 16) == 0
                      : connect(fd, sa, sizeof(a)) == 0)
            return fd;
        close(fd);
        return -1;
    }
    // A message as the unit puts it on the wire, and the whole zeroed record
    // the handler gets for the bytes of one.
    static std::string message(int32_t msg, int32_t from, int32_t p1, int32_t p2, std::string data)
    {
        int32_t header[5] = {int32_t(20 + data.size()), msg, from, p1, p2};
        return std::string(reinterpret_cast<const char *>(header), 20) + data;
    }
    static std::string record(std::string bytes) { return bytes.resize(2068), bytes; }
    // The length word, then filler up to total bytes, sent to identity 5.
    static std::string send_raw(int32_t msg_len, size_t total)
    {
        std::string bytes(total, 'p');
        memcpy(&bytes[0], &msg_len, std::min(total, sizeof(msg_len)));
        int fd = unix_socket(5, false);
        EXPECT_TRUE(fd >= 0 && write(fd, bytes.data(), total) == ssize_t(total));
        close(fd);
        return bytes;
    }
    std::string pop()
    {
        std::string r(sizeof(ipc_msg_t), 0);
        return readable(inbox_[0]) && read(inbox_[0], &r[0], r.size()) == 2068 ? r : "<none>";
    }
    // The reader takes connections in order, so a marker arriving next
    // proves that what was sent before it was dropped.
    void expect_next_is_marker()
    {
        const std::string marker = record(send_raw(12, 12));
        EXPECT_EQ(pop(), marker);
        EXPECT_FALSE(readable(inbox_[0], 0));
    }
    testsupport::ScopedRoot root_;
    int inbox_[2];
};
} // namespace

// Whole messages arriving are seen by tests/phonesim/peers_test.cpp.
TEST_F(Ipc, SendRefusesWhatCannotArriveWhole)
{
    int peer = unix_socket(3, true);
    const std::string over(IPC_MAX_DATA_LEN + 1, 'd');
    EXPECT_EQ(ipc_send(3, 4, 0, 0, nullptr, 0), -1); // not registered
    ASSERT_EQ(ipc_register(6), 0);
    EXPECT_EQ(ipc_send(3, 9, 0, 0, over.data(), IPC_MAX_DATA_LEN + 1), 1);
    EXPECT_EQ(ipc_send(9, 4, 0, 0, nullptr, 0), -1); // nobody listens
    EXPECT_FALSE(readable(peer, 0));
    g_half_send = true;
    EXPECT_EQ(ipc_send(3, 4, 0, 0, "abcd", 4), -1);
}

TEST_F(Ipc, RunListensOnAWorldAccessibleSocketUnderARootThatFits)
{
    EXPECT_EQ(ipc_run(handler, &inbox_[1]), -1); // not registered
    // A root too long for the socket address is refused, never cut.
    std::string fits = root_.path() + "/";
    fits += std::string(107 - fits.size() - strlen("/var/ipc/5"), 'r');
    setenv("UPGRADER_ROOT", (fits + "r").c_str(), 1);
    ASSERT_EQ(ipc_register(5), 0);
    EXPECT_EQ(ipc_run(handler, &inbox_[1]), -1);
    setenv("UPGRADER_ROOT", fits.c_str(), 1);
    fs::create_directories(fits + "/var/ipc");
    testsupport::put(fits + "/var/ipc/5", ""); // a stale file where the socket goes
    int saved_stdin = dup(0);
    close(0); // the listening socket may be descriptor 0
    start();
    EXPECT_EQ(g_ipc_data.listen_fd, 0);
    EXPECT_EQ(ipc_run(handler, &inbox_[1]), -1); // already listening
    EXPECT_EQ(fs::status(fits + "/var/ipc/5").type(), fs::file_type::socket);
    EXPECT_EQ(fs::status(fits + "/var/ipc/5").permissions(), fs::perms::all);
    ASSERT_EQ(ipc_send(5, 3, 11, 12, "hi", 2), 0);
    ASSERT_EQ(ipc_send(5, 4, -1, 0, nullptr, 100), 0);
    EXPECT_EQ(pop(), record(message(3, 5, 11, 12, "hi")));
    EXPECT_EQ(pop(), record(message(4, 5, -1, 0, ""))); // no data without an address
    EXPECT_EQ(ipc_unregister(), 0);
    EXPECT_EQ(fcntl(0, F_GETFD), -1) << "socket left open";
    dup2(saved_stdin, 0), close(saved_stdin);
}

// One case per row of ipc_frames.rows, in one test: the ThreadSanitizer
// build runs the Ipc suites only.
TEST_F(Ipc, ReceiverTakesOnlyWholeMessagesWithinTheLimits)
{
    enum { kName, kMsgLen, kWritten, kDelivered }; // the columns
    start();
    for (const testsupport::Row &row : testsupport::rows(TEST_DATA_DIR "/ipc_frames.rows")) {
        SCOPED_TRACE(row[kName]);
        const std::string bytes = send_raw(std::stoi(row[kMsgLen]), std::stoul(row[kWritten]));
        if (row[kDelivered] == "yes") {
            EXPECT_EQ(pop(), record(bytes.substr(0, std::stoul(row[kMsgLen]))));
        }
        expect_next_is_marker();
    }
}

TEST_F(Ipc, UnregisterStopsTheReaderAndDropsAConnectionInProgress)
{
    const long before = threads();
    start();
    // Only the length word: the reader holds the connection waiting for more.
    int client = unix_socket(5, false), len = 30, queued = -1;
    ASSERT_EQ(write(client, &len, 4), 4);
    ASSERT_TRUE(wait_until([&] { return ioctl(client, TIOCOUTQ, &queued) == 0 && queued == 0; }));
    EXPECT_EQ(ipc_unregister(), 0);
    EXPECT_TRUE(readable(client) && read(client, &len, 1) == 0) << "connection left open";
    // A joined thread leaves the task list a moment after join returns.
    EXPECT_TRUE(wait_until([&] { return threads() == before; }));
    EXPECT_EQ(unix_socket(5, false), -1);
}

TEST_F(Ipc, HandlerMaySetTheQuitFlagOrUnregister)
{
    const long before = threads();
    for (int then : {1, 2}) {
        start();
        g_then = then;
        expect_next_is_marker();
        EXPECT_TRUE(wait_until([&] { return threads() == before; })) << then;
        EXPECT_EQ(ipc_send(5, 1, 0, 0, nullptr, 0), then == 2 ? -1 : 0);
        EXPECT_EQ(ipc_unregister(), 0);
        set_quitflag(0);
    }
}

TEST_F(Ipc, RunFailsAndCleansUpWhenTheReaderCannotStart)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs to become a user at its process limit";
#if defined(__mips__)
    GTEST_SKIP() << "qemu-user aborts when a thread cannot be made";
#endif
    fs::create_directories(root_ / "/var/ipc");
    chmod(root_.path().c_str(), 0755), chmod((root_ / "/var/ipc").c_str(), 0777);
    EXPECT_EQ(testsupport::in_child([&] {
                  rlimit none = {0, 0};
                  if (setgid(65534) != 0 || setuid(65534) != 0 ||
                      setrlimit(RLIMIT_NPROC, &none) != 0)
                      return 2;
                  if (ipc_register(5) != 0)
                      return 3;
                  return ipc_run(handler, &inbox_[1]) == -1 && g_ipc_data.listen_fd < 0 ? 0 : 1;
              }),
              0);
    EXPECT_FALSE(fs::exists(root_ / "/var/ipc/5")) << "socket file left";
}
