// libFuzzer harness: arbitrary bytes from a connected peer at the program's
// own IPC listener, then a well-formed stop message. The input's message
// must arrive exactly when its length field promises 8 to 2068 bytes and
// the peer sent that many, as sent and zero beyond; a longer promise is
// refused, never allocated.
#include "libipc/ipc.h"
#include "log/rl_log.h"

#include "fuzz_root.h"

#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

namespace
{

const int kSelf = 7;
const int kStop = 0x5701;

std::mutex g_mutex;
std::condition_variable g_done;
const uint8_t *g_sent = nullptr; // the input, for the handler to compare
size_t g_sent_size = 0;
bool g_expect_message = false;
int g_calls = 0;
bool g_stopped = false;

int handler(const ipc_msg_t *msg, void *)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const int call = g_calls++;
    if (call == 0 && g_expect_message) {
        const size_t len = static_cast<size_t>(msg->msg_len);
        if (len > g_sent_size || memcmp(msg, g_sent, len) != 0)
            abort(); // not the bytes the peer sent
        const char *rest = reinterpret_cast<const char *>(msg) + len;
        for (size_t i = 0; i < sizeof(ipc_msg_t) - len; ++i)
            if (rest[i] != 0)
                abort(); // the record past msg_len is not zero
        return 0;
    }
    if (msg->msg != kStop || msg->sender != kSelf || msg->msg_len != IPC_HEADER_LEN)
        abort(); // a message that was never sent
    g_stopped = true;
    g_done.notify_all();
    return 0;
}

void send_raw(const uint8_t *data, size_t size)
{
    sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s/var/ipc/%d", fuzzroot::root().c_str(),
             kSelf);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0)
        abort();
    // The receiver may close early; the rest is lost with the connection.
    for (size_t done = 0; done < size;) {
        ssize_t n = send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    close(fd);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    rl_log_reset_level(-1);
    const fuzzroot::fs::path root = fuzzroot::make_root("ipc");
    fuzzroot::fs::create_directories(root / "var/ipc");
    ipc_register(kSelf);
    if (ipc_run(handler, nullptr) != 0)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int32_t len = 0;
    if (size >= sizeof(len))
        memcpy(&len, data, sizeof(len));
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_sent = data;
        g_sent_size = size;
        g_expect_message = size >= sizeof(len) && len >= IPC_MIN_MSG_LEN &&
                           len <= IPC_MAX_MSG_LEN && static_cast<size_t>(len) <= size;
        g_calls = 0;
        g_stopped = false;
    }
    send_raw(data, size);
    if (ipc_send(kSelf, kStop, 0, 0, nullptr, 0) != 0)
        abort();
    std::unique_lock<std::mutex> lock(g_mutex);
    g_done.wait(lock, [] { return g_stopped; });
    if (g_calls != (g_expect_message ? 2 : 1))
        abort(); // a message lost or one too many
    g_sent = nullptr;
    return 0;
}
