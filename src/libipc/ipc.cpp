#include "platform/unique_fd.h"
#include "libipc/ipc.h"

#include "log/errno_text.h"
#include "log/rl_log.h"
#include "platform/platform.h"

#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <memory>

ipc_data_t g_ipc_data = {0, -1, pthread_t(), nullptr, nullptr};
int g_quitflag = 0;

static_assert(sizeof(int32_t) == 4, "wire fields are 32-bit");
static_assert(offsetof(ipc_msg_t, data) == IPC_HEADER_LEN, "header is 20 bytes");
static_assert(sizeof(ipc_msg_t) == IPC_MAX_MSG_LEN, "record holds the largest message");

namespace {

// Whether g_ipc_data.reader_thread names a thread that still has to be
// stopped; pthread_t has no "none" value of its own.
bool g_reader_started = false;

struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};
using MsgBuffer = std::unique_ptr<char, FreeDeleter>;

void put_field(char *msg, size_t offset, int32_t value) { memcpy(msg + offset, &value, sizeof(value)); }

// A cut socket path would name another peer's socket, so a root too long
// for the 108-byte address is refused here, where the path is used.
int socket_address(int identity, sockaddr_un *addr)
{
    memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    char rel[32];
    snprintf(rel, sizeof(rel), "%s%d", IPC_DIR, identity);
    if (platform_path(rel, addr->sun_path, sizeof(addr->sun_path)) != 0) {
        const char *root = getenv(UPGRADER_ROOT_ENV);
        rl_log_err("ipc socket path too long: %s=\"%s\" + \"%s\" is longer than %d characters\n",
                   UPGRADER_ROOT_ENV, root != nullptr ? root : "", rel,
                   static_cast<int>(sizeof(addr->sun_path)) - 1);
        return -1;
    }
    return 0;
}

void make_ipc_dir()
{
    char quoted[512];
    if (platform_shell_path(IPC_DIR, quoted, sizeof(quoted)) != 0)
        return;
    char command[sizeof(quoted) + 16];
    snprintf(command, sizeof(command), "mkdir -p %s", quoted);
    // The second bind tells whether it worked.
    int status = system(command);
    (void)status;
}

// --- reader thread ---

// ipc_unregister stops the reader with pthread_cancel, allowed only while it
// waits for a peer (accept, read, the pause after a failed accept), so a
// handler call and the logging around it always run to their end. Closing
// the sockets under a blocked reader instead would race with the descriptor
// numbers being reused. What the reader holds while it waits lives in
// g_held and is released by ipc_unregister after the join: no cleanup rests
// on unwinding the cancelled thread, which differs between C libraries and
// upsets AddressSanitizer.
struct Held {
    int conn_fd;
    char *msg;
};
Held g_held = {-1, nullptr};

void close_held_connection()
{
    if (g_held.conn_fd >= 0)
        close(g_held.conn_fd);
    g_held.conn_fd = -1;
}

void release_held()
{
    close_held_connection();
    free(g_held.msg);
    g_held.msg = nullptr;
}

// Runs wait() with cancellation allowed; errno as wait() left it.
template <typename Wait> auto cancellable(Wait wait) -> decltype(wait())
{
    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old);
    auto result = wait();
    int err = errno;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    errno = err;
    return result;
}

ssize_t cancellable_read(int fd, void *buf, size_t len)
{
    return cancellable([&] {
        ssize_t n;
        do {
            n = read(fd, buf, len);
        } while (n < 0 && errno == EINTR);
        return n;
    });
}

// A listening socket that keeps failing (no descriptors left, no memory)
// would otherwise turn the loop into a busy one that floods the log.
void pause_after_accept_failure(int err)
{
    if (err == EINTR || err == ECONNABORTED || err == EPROTO)
        return;
    timespec pause = {0, 100 * 1000 * 1000};
    cancellable([&] { return nanosleep(&pause, nullptr); });
}

// Returns the message buffer (owned by the caller) when a whole message
// arrived, null otherwise. The connection is closed either way.
char *receive_message(int listen_fd)
{
    g_held.conn_fd =
        cancellable([listen_fd] { return accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC); });
    if (g_held.conn_fd < 0) {
        int err = errno;
        rl_log_err("accept failed: %s", ErrnoText(err).c_str());
        pause_after_accept_failure(err);
        return nullptr;
    }

    int32_t msg_len = 0;
    ssize_t n = cancellable_read(g_held.conn_fd, &msg_len, sizeof(msg_len));
    if (n >= 0 && n < static_cast<ssize_t>(sizeof(msg_len))) {
        close_held_connection();
        rl_log_err("read len failed: read_len = %d", static_cast<int>(n));
        return nullptr;
    }
    // A failed read left msg_len at 0, which is refused here.
    if (msg_len < IPC_MIN_MSG_LEN || msg_len > IPC_MAX_MSG_LEN) {
        close_held_connection();
        rl_log_err("msg len failed: msg_len = %d", static_cast<int>(msg_len));
        return nullptr;
    }

    // Always a whole zeroed record: a handler may read every header field
    // of a short message without going past the allocation.
    g_held.msg = static_cast<char *>(calloc(1, sizeof(ipc_msg_t)));
    if (g_held.msg == nullptr) {
        close_held_connection();
        rl_log_err("malloc msg buffer failed.");
        return nullptr;
    }
    memcpy(g_held.msg, &msg_len, sizeof(msg_len));
    int expected = static_cast<int>(msg_len) - static_cast<int>(sizeof(msg_len));
    n = cancellable_read(g_held.conn_fd, g_held.msg + sizeof(msg_len), static_cast<size_t>(expected));
    close_held_connection();
    char *msg = g_held.msg;
    g_held.msg = nullptr;
    if (n != expected) {
        free(msg);
        rl_log_err("msg_len != read_len: msg_len = %d, read_len = %d", expected, static_cast<int>(n));
        return nullptr;
    }
    return msg;
}

void serve_one_connection(int listen_fd)
{
    char *msg = receive_message(listen_fd);
    if (msg == nullptr)
        return;
    // Cancellation is off from here on, so msg cannot be lost; and g_held is
    // left alone, as a handler that unregisters may start a new reader.
    ipc_handler_t handler = g_ipc_data.handler;
    if (handler != nullptr)
        handler(reinterpret_cast<const ipc_msg_t *>(msg), g_ipc_data.handler_arg);
    free(msg);
}

} // namespace

void ipc_init(void) { ipc_show_version(); }

void ipc_show_version(void)
{
    rl_log_info("Init %s, Version %s, Build at %s %s", IPC_BANNER_NAME, IPC_VERSION, __DATE__, __TIME__);
}

int ipc_register(int identity)
{
    __atomic_store_n(&g_ipc_data.self_id, identity, __ATOMIC_SEQ_CST);
    return 0;
}

int get_quitflag(void) { return __atomic_load_n(&g_quitflag, __ATOMIC_SEQ_CST); }

void set_quitflag(int value) { __atomic_store_n(&g_quitflag, value, __ATOMIC_SEQ_CST); }

int ipc_send(int destination, int msg, int param1, int param2, const void *data, int length)
{
    MsgBuffer buf(static_cast<char *>(calloc(1, IPC_MAX_MSG_LEN)));
    if (!buf) {
        int err = errno;
        rl_log_err("memery alloc failed: %s\n", ErrnoText(err).c_str());
        return -1;
    }
    // Read once: another thread may unregister meanwhile.
    int self_id = __atomic_load_n(&g_ipc_data.self_id, __ATOMIC_SEQ_CST);
    put_field(buf.get(), offsetof(ipc_msg_t, msg), msg);
    put_field(buf.get(), offsetof(ipc_msg_t, sender), self_id);
    put_field(buf.get(), offsetof(ipc_msg_t, param1), param1);
    put_field(buf.get(), offsetof(ipc_msg_t, param2), param2);
    if (length > IPC_MAX_DATA_LEN) {
        rl_log_err("data len %d is larger than %d\n", length, IPC_MAX_DATA_LEN);
        return 1;
    }
    int msg_len = IPC_HEADER_LEN;
    if (data != nullptr && length >= 1) {
        memcpy(buf.get() + IPC_HEADER_LEN, data, static_cast<size_t>(length));
        msg_len += length;
    }
    put_field(buf.get(), offsetof(ipc_msg_t, msg_len), msg_len);
    if (self_id <= 0)
        return -1;

    sockaddr_un addr;
    if (socket_address(destination, &addr) != 0)
        return -1;
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        int err = errno;
        rl_log_err("socket failed: %s", ErrnoText(err).c_str());
        return -1;
    }
    // A sender never waits for a slow or stuck receiver.
    int on = 1;
    if (ioctl(fd.get(), FIONBIO, &on) != 0) {
        int err = errno;
        rl_log_err("ioctl failed: %s", ErrnoText(err).c_str());
        return -1;
    }
    // Nobody listening is normal (a broadcast tries every identity): no log.
    if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0)
        return -1;
    // MSG_NOSIGNAL: a receiver that went away must not kill the sender
    // with SIGPIPE.
    ssize_t n = send(fd.get(), buf.get(), static_cast<size_t>(msg_len), MSG_NOSIGNAL);
    if (n < 0) {
        int err = errno;
        rl_log_err("write failed: %s\n", ErrnoText(err).c_str());
        return -1;
    }
    // The receiver drops a message that is not whole, so a short write
    // delivered nothing.
    if (n != msg_len) {
        rl_log_err("write failed: %d of %d bytes written\n", static_cast<int>(n), msg_len);
        return -1;
    }
    return 0;
}

int ipc_broadcast(int msg, int param1, int param2, const void *data, int length)
{
    for (int id = IPC_BROADCAST_FIRST_ID; id <= IPC_BROADCAST_LAST_ID; ++id)
        (void)ipc_send(id, msg, param1, param2, data, length); // a peer that is not listening misses it, the others do not
    return 0;
}

int ipc_run(ipc_handler_t handler, void *handler_arg)
{
    if (g_ipc_data.self_id <= 0) {
        rl_log_err("registe ipc failed");
        return -1;
    }
    // A second listener would leak the first one's socket and thread.
    if (g_ipc_data.listen_fd >= 0) {
        rl_log_err("ipc already running: id %d, listen_fd %d", g_ipc_data.self_id, g_ipc_data.listen_fd);
        return -1;
    }
    g_ipc_data.handler = handler;
    g_ipc_data.handler_arg = handler_arg;

    sockaddr_un addr;
    if (socket_address(g_ipc_data.self_id, &addr) != 0)
        return -1;
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        int err = errno;
        rl_log_err("create socket failed: %s", ErrnoText(err).c_str());
        return -1;
    }
    const sockaddr *sa = reinterpret_cast<const sockaddr *>(&addr);
    // A socket file left by an earlier run would make bind fail.
    unlink(addr.sun_path);
    if (bind(fd.get(), sa, sizeof(addr)) != 0) {
        make_ipc_dir();
        if (bind(fd.get(), sa, sizeof(addr)) != 0) {
            int err = errno;
            fd.reset();
            unlink(addr.sun_path);
            rl_log_err("bind failed: %s", ErrnoText(err).c_str());
            return -1;
        }
    }
    if (listen(fd.get(), IPC_LISTEN_BACKLOG) != 0) {
        int err = errno;
        fd.reset();
        unlink(addr.sun_path);
        rl_log_err("listen failed: %s", ErrnoText(err).c_str());
        return -1;
    }
    // Peers run as other users.
    if (chmod(addr.sun_path, 0777) != 0) {
        int err = errno;
        rl_log_warn("chmod %s failed: %s", addr.sun_path, ErrnoText(err).c_str());
    }
    g_ipc_data.listen_fd = fd.release();

    pthread_t thread;
    void *arg = reinterpret_cast<void *>(static_cast<intptr_t>(g_ipc_data.listen_fd));
    int rc = pthread_create(&thread, nullptr, read_thread, arg);
    if (rc != 0) {
        // A bound socket nobody accepts on would take the peers' messages
        // and drop them: better that they find nobody listening.
        close(g_ipc_data.listen_fd);
        g_ipc_data.listen_fd = -1;
        unlink(addr.sun_path);
        rl_log_err("pthread_create failed: %s", ErrnoText(rc).c_str());
        return -1;
    }
    rl_log_debug("create thread sucess\n");
    g_ipc_data.reader_thread = thread;
    g_reader_started = true;
    return 0;
}

void *read_thread(void *arg)
{
    int listen_fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    rl_log_debug("This is thread, thread id is %u, gettid()=%d\n",
                 static_cast<unsigned>((uintptr_t)pthread_self()), static_cast<int>(syscall(SYS_gettid)));
    while (get_quitflag() == 0)
        serve_one_connection(listen_fd);
    return nullptr;
}

int ipc_unregister(void)
{
    if (g_reader_started) {
        g_reader_started = false;
        pthread_t reader = g_ipc_data.reader_thread;
        if (pthread_equal(reader, pthread_self())) {
            // Called from the handler: the thread cannot wait for itself. It
            // finishes this message and ends at its next wait for a peer,
            // holding nothing then.
            pthread_detach(reader);
            pthread_cancel(reader);
        } else {
            // Waiting makes sure the handler is not running, and will not run
            // again, once this returns; it also frees the thread's stack.
            pthread_cancel(reader);
            pthread_join(reader, nullptr);
            release_held();
        }
    }
    rl_log_debug("leave thread\n");
    g_ipc_data.handler = nullptr;
    g_ipc_data.handler_arg = nullptr;
    __atomic_store_n(&g_ipc_data.self_id, 0, __ATOMIC_SEQ_CST);
    if (g_ipc_data.listen_fd >= 0) {
        close(g_ipc_data.listen_fd);
        g_ipc_data.listen_fd = -1;
    }
    return 0;
}
