#include "libipc/ipc.h"

#include "isolation.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

// The unit's sends go through this definition; while set, the kernel takes
// only half of a message (Unix stream sockets never do that for messages
// this small).
static std::atomic<bool> g_half_send{false};

extern "C" ssize_t send(int fd, const void *buf, size_t len, int flags)
{
    return syscall(SYS_sendto, fd, buf, g_half_send ? len / 2 : len, flags, nullptr, 0);
}

namespace
{

constexpr int kWaitMs = 10000;

ipc_msg_t header_of(const std::string &bytes)
{
    ipc_msg_t h{};
    memcpy(&h, bytes.data(), std::min(bytes.size(), sizeof(h)));
    return h;
}

sockaddr_un address_of(int id)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = std::string(getenv("UPGRADER_ROOT")) + "/var/ipc/" + std::to_string(id);
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    return addr;
}

bool readable(int fd, int timeout_ms)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1;
}

// A peer that listens like a receiving process but reads with plain calls.
class Listener
{
  public:
    explicit Listener(int id)
    {
        std::string root = getenv("UPGRADER_ROOT");
        mkdir((root + "/var").c_str(), 0755);
        mkdir((root + "/var/ipc").c_str(), 0755);
        sockaddr_un addr = address_of(id);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0)
            << strerror(errno);
        EXPECT_EQ(listen(fd_, 16), 0);
    }
    ~Listener() { close(fd_); }
    // Takes one connection and reads it to its end.
    bool receive(std::string *bytes)
    {
        int c = readable(fd_, kWaitMs) ? accept(fd_, nullptr, nullptr) : -1;
        if (c < 0)
            return false;
        bytes->clear();
        char buf[4096];
        ssize_t n;
        while (readable(c, kWaitMs) && (n = read(c, buf, sizeof(buf))) > 0)
            bytes->append(buf, static_cast<size_t>(n));
        close(c);
        return true;
    }
    // A connection is queued by the time connect returns, so "none pending
    // now" means the sender never connected.
    bool idle() { return !readable(fd_, 0); }

  private:
    int fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

int connect_raw(int id)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = address_of(id);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0)
        return fd;
    close(fd);
    return -1;
}

// msg_len followed by a recognisable pattern, total bytes long, sent on a
// connection of its own.
std::string wire(int32_t msg_len, size_t total)
{
    std::string bytes(total, '\0');
    for (size_t i = 4; i < total; ++i)
        bytes[i] = static_cast<char>(i * 7 + 1);
    memcpy(&bytes[0], &msg_len, std::min(total, sizeof(msg_len)));
    return bytes;
}

bool send_raw(int id, const std::string &bytes)
{
    int fd = connect_raw(id);
    bool ok =
        fd >= 0 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    close(fd);
    return ok;
}

std::vector<testsupport::LogLine> logs()
{
    return testsupport::syslog_capture().take();
}

bool logged(const std::vector<testsupport::LogLine> &lines, int level, const std::string &msg)
{
    for (const auto &l : lines)
        if (l.level() == level && l.text.size() >= msg.size() + 2 &&
            l.text.compare(l.text.size() - msg.size() - 2, std::string::npos, ": " + msg) == 0)
            return true;
    return false;
}

int thread_count()
{
    int n = 0;
    DIR *d = opendir("/proc/self/task");
    while (readdir(d) != nullptr)
        ++n;
    closedir(d);
    return n;
}

template <typename Pred> bool eventually(Pred pred)
{
    for (int i = 0; i < kWaitMs / 10 && !pred(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return pred();
}

// Copies of whole records handed to the handler.
class Inbox
{
  public:
    static int handler(const ipc_msg_t *msg, void *arg)
    {
        auto *self = static_cast<Inbox *>(arg);
        if (self->on_message)
            self->on_message();
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->messages_.emplace_back(reinterpret_cast<const char *>(msg), sizeof(ipc_msg_t));
        return 0;
    }
    bool pop(std::string *msg)
    {
        if (!eventually([this] { return !empty(); }))
            return false;
        std::lock_guard<std::mutex> lock(mutex_);
        *msg = messages_.front();
        messages_.pop_front();
        return true;
    }
    bool empty()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_.empty();
    }
    std::function<void()> on_message; // runs on the reader thread

  private:
    std::mutex mutex_;
    std::deque<std::string> messages_;
};

class IpcSend : public ::testing::Test
{
  protected:
    void SetUp() override { logs(); }
    void TearDown() override
    {
        g_half_send = false;
        ipc_unregister();
    }
    // Receives one message at peer and checks its header.
    void expect_header(Listener &peer, int msg, int param1, int param2)
    {
        std::string got;
        ASSERT_TRUE(peer.receive(&got));
        ASSERT_EQ(got.size(), 20u);
        ipc_msg_t h = header_of(got);
        EXPECT_EQ(h.msg_len, 20);
        EXPECT_EQ(h.msg, msg);
        EXPECT_EQ(h.sender, 6);
        EXPECT_EQ(h.param1, param1);
        EXPECT_EQ(h.param2, param2);
    }
    testsupport::ScopedRoot root_;
};

TEST_F(IpcSend, HeaderOnlyWhenNoDataGivenAndLargestPayloadWhole)
{
    Listener peer(3);
    ipc_register(6);
    const char some[] = "xyz";
    ASSERT_EQ(ipc_send(3, 4, 2, 0, nullptr, 100), 0);
    ASSERT_EQ(ipc_send(3, 5, -1, 7, some, 0), 0);
    ASSERT_EQ(ipc_send(3, 6, 0, 0, some, -5), 0);
    expect_header(peer, 4, 2, 0);
    expect_header(peer, 5, -1, 7);
    expect_header(peer, 6, 0, 0);

    std::string data = wire(0, IPC_MAX_DATA_LEN);
    ASSERT_EQ(ipc_send(3, 9, 1, 2, data.data(), IPC_MAX_DATA_LEN), 0);
    std::string got;
    ASSERT_TRUE(peer.receive(&got));
    ASSERT_EQ(got.size(), 2068u);
    EXPECT_EQ(header_of(got).msg_len, 2068);
    EXPECT_EQ(got.substr(20), data);
    EXPECT_TRUE(logs().empty());
}

TEST_F(IpcSend, RefusalsAndFailures)
{
    Listener peer(3);
    std::string data(IPC_MAX_DATA_LEN + 1, 'd');
    // The size is judged before the registration, and nothing is connected.
    EXPECT_EQ(ipc_send(3, 9, 0, 0, data.data(), 2049), 1);
    auto lines = logs();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(logged(lines, 3, "data len 2049 is larger than 2048\n"));
    // Unregistered, or nobody listening: quietly -1.
    EXPECT_EQ(ipc_send(3, 4, 0, 0, nullptr, 0), -1);
    EXPECT_TRUE(logs().empty());
    ipc_register(6);
    ipc_unregister();
    logs();
    EXPECT_EQ(ipc_send(3, 4, 0, 0, nullptr, 0), -1);
    ipc_register(6);
    EXPECT_EQ(ipc_send(9, 4, 0, 0, nullptr, 0), -1); // no socket file
    EXPECT_TRUE(logs().empty());
    EXPECT_EQ(ipc_send(3, 9, 0, 0, data.data(), 2049), 1);
    EXPECT_TRUE(peer.idle());

    g_half_send = true; // the message is not written whole
    EXPECT_EQ(ipc_send(3, 4, 0, 0, data.data(), 1000), -1);
    EXPECT_TRUE(logged(logs(), 3, "write failed: 510 of 1020 bytes written\n"));
}

TEST_F(IpcSend, BroadcastReachesEveryListenerFromOneToEleven)
{
    ipc_register(6);
    EXPECT_EQ(ipc_broadcast(4, 2, 0, nullptr, 0), 0); // nobody listens at all
    Listener one(1), six(6), eleven(11), twelve(12);
    EXPECT_EQ(ipc_broadcast(4, 2, 0, nullptr, 0), 0);
    for (Listener *peer : {&one, &six, &eleven}) {
        expect_header(*peer, 4, 2, 0);
        EXPECT_TRUE(peer->idle());
    }
    EXPECT_TRUE(twelve.idle());
    EXPECT_TRUE(logs().empty());
}

TEST_F(IpcSend, RootTooLongForSocketAddressIsRefused)
{
    // Roots giving "<root>/var/ipc/6" 107 and 108 characters; sun_path has
    // room for 107 and the NUL.
    std::string base = root_.path() + "/";
    std::string fits = base + std::string(107 - base.size() - strlen("/var/ipc/6"), 'r');
    std::string too_long = fits + "r";
    ipc_register(6);

    setenv("UPGRADER_ROOT", too_long.c_str(), 1);
    EXPECT_EQ(ipc_send(6, 4, 0, 0, nullptr, 0), -1);
    EXPECT_TRUE(logged(logs(), 3,
                       "ipc socket path too long: UPGRADER_ROOT=\"" + too_long +
                           "\" + \"/var/ipc/6\" is longer than 107 characters\n"));
    EXPECT_EQ(ipc_run(Inbox::handler, nullptr), -1);
    EXPECT_EQ(logs().size(), 1u);

    setenv("UPGRADER_ROOT", fits.c_str(), 1);
    Inbox inbox;
    ASSERT_EQ(ipc_run(Inbox::handler, &inbox), 0);
    ASSERT_EQ(ipc_send(6, 8, 0, 0, nullptr, 0), 0);
    std::string got;
    ASSERT_TRUE(inbox.pop(&got));
    EXPECT_EQ(header_of(got).msg, 8);
}

class IpcReceive : public ::testing::Test
{
  protected:
    void SetUp() override { logs(); }
    void TearDown() override { ipc_unregister(); }
    void start()
    {
        ipc_register(5);
        ASSERT_EQ(ipc_run(Inbox::handler, &inbox_), 0);
        ASSERT_TRUE(testsupport::syslog_capture().wait_for("This is thread"));
    }
    // The reader takes connections in order, so the first message the
    // handler sees after bad ones proves those were dropped.
    void expect_next_is_marker()
    {
        ASSERT_TRUE(send_raw(5, wire(12, 12)));
        std::string got;
        ASSERT_TRUE(inbox_.pop(&got));
        EXPECT_EQ(header_of(got).msg_len, 12);
        EXPECT_TRUE(inbox_.empty());
    }
    testsupport::ScopedRoot root_;
    Inbox inbox_;
};

TEST_F(IpcReceive, RunCreatesDirectoryAndWorldAccessibleSocket)
{
    start();
    struct stat st {
    };
    ASSERT_EQ(stat((root_ / "/var/ipc/5").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0777u);
    EXPECT_TRUE(logged(logs(), 7, "create thread sucess\n"));

    ASSERT_EQ(ipc_send(5, 3, 11, 12, "hi", 2), 0);
    std::string got;
    ASSERT_TRUE(inbox_.pop(&got));
    ipc_msg_t h = header_of(got);
    EXPECT_EQ(h.msg_len, 22);
    EXPECT_EQ(h.sender, 5);
    EXPECT_EQ(h.param1, 11);
    EXPECT_EQ(h.param2, 12);
    EXPECT_EQ(got.substr(20, 2), "hi");

    EXPECT_EQ(ipc_run(Inbox::handler, &inbox_), -1); // already listening
}

TEST_F(IpcReceive, RunFailuresAndStaleSocketFile)
{
    EXPECT_EQ(ipc_run(Inbox::handler, &inbox_), -1);
    EXPECT_TRUE(logged(logs(), 3, "registe ipc failed"));

    // A file where the directory should be: neither bind nor mkdir works.
    mkdir((root_ / "/var").c_str(), 0755);
    FILE *blocker = fopen((root_ / "/var/ipc").c_str(), "w");
    ASSERT_NE(blocker, nullptr);
    fclose(blocker);
    ipc_register(5);
    EXPECT_EQ(ipc_run(Inbox::handler, &inbox_), -1);
    EXPECT_TRUE(logged(logs(), 3, std::string("bind failed: ") + strerror(ENOTDIR)));
    EXPECT_EQ(g_ipc_data.listen_fd, 0);

    // A plain file left where the socket goes is replaced.
    unlink((root_ / "/var/ipc").c_str());
    mkdir((root_ / "/var/ipc").c_str(), 0755);
    fclose(fopen((root_ / "/var/ipc/5").c_str(), "w"));
    start();
    expect_next_is_marker();
}

TEST_F(IpcReceive, LengthLimitsAndTruncatedMessages)
{
    start();
    for (int32_t len : {7, 2069, 0, -1}) {
        ASSERT_TRUE(send_raw(5, wire(len, 20)));
        expect_next_is_marker();
        EXPECT_TRUE(logged(logs(), 3, "msg len failed: msg_len = " + std::to_string(len)));
    }
    const struct {
        int32_t len;
        size_t sent;
        const char *log;
    } cut[] = {{30, 10, "msg_len != read_len: msg_len = 26, read_len = 6"},
               {30, 3, "read len failed: read_len = 3"},
               {30, 0, "read len failed: read_len = 0"}};
    for (const auto &c : cut) {
        ASSERT_TRUE(send_raw(5, wire(c.len, c.sent)));
        expect_next_is_marker();
        EXPECT_TRUE(logged(logs(), 3, c.log)) << c.log;
    }

    ASSERT_TRUE(send_raw(5, wire(8, 8)));
    std::string got;
    ASSERT_TRUE(inbox_.pop(&got));
    EXPECT_EQ(got.substr(0, 8), wire(8, 8));
    EXPECT_EQ(got.substr(8), std::string(sizeof(ipc_msg_t) - 8, '\0')); // rest of the record zeroed
    ASSERT_TRUE(send_raw(5, wire(2068, 2068)));
    ASSERT_TRUE(inbox_.pop(&got));
    EXPECT_EQ(got, wire(2068, 2068));
    for (const auto &line : logs())
        EXPECT_NE(line.level(), 3) << line.text;
}

TEST_F(IpcReceive, UnregisterStopsTheReaderAndDropsAConnectionInProgress)
{
    int threads = thread_count();
    start();
    EXPECT_EQ(thread_count(), threads + 1);
    expect_next_is_marker();
    // Only the length word: the reader holds the connection while it waits
    // for the rest.
    int client = connect_raw(5);
    int32_t len = 30;
    ASSERT_EQ(write(client, &len, 4), 4);
    ASSERT_TRUE(eventually([&] {
        int queued = -1;
        return ioctl(client, TIOCOUTQ, &queued) == 0 && queued == 0;
    })) << "reader never took the length word";
    logs();
    EXPECT_EQ(ipc_unregister(), 0);
    char byte;
    EXPECT_TRUE(readable(client, kWaitMs) && read(client, &byte, 1) == 0) << "connection left open";
    close(client);
    // A joined thread leaves the task list a moment after join returns.
    EXPECT_TRUE(eventually([&] { return thread_count() == threads; }));
    EXPECT_TRUE(logged(logs(), 7, "leave thread\n"));
    EXPECT_EQ(g_ipc_data.listen_fd, 0);
    EXPECT_EQ(g_ipc_data.handler, nullptr);
    EXPECT_TRUE(inbox_.empty());
    // The socket file stays, but nobody listens on it any more.
    EXPECT_EQ(access((root_ / "/var/ipc/5").c_str(), F_OK), 0);
    EXPECT_EQ(connect_raw(5), -1);
    EXPECT_EQ(ipc_send(5, 1, 0, 0, nullptr, 0), -1);
}

TEST_F(IpcReceive, HandlerMayUnregisterOrSetTheQuitFlag)
{
    int threads = thread_count();
    start();
    // Set on the reader itself so that it is known to be between connections.
    inbox_.on_message = [] { set_quitflag(1); };
    expect_next_is_marker();
    EXPECT_EQ(get_quitflag(), 1);
    EXPECT_TRUE(eventually([&] { return thread_count() == threads; }));
    EXPECT_EQ(ipc_unregister(), 0);

    set_quitflag(0);
    start();
    inbox_.on_message = [] { ipc_unregister(); };
    expect_next_is_marker();
    EXPECT_TRUE(eventually([&] { return thread_count() == threads; }));
    EXPECT_EQ(g_ipc_data.self_id, 0);
    EXPECT_EQ(ipc_send(5, 1, 0, 0, nullptr, 0), -1);
}

} // namespace
