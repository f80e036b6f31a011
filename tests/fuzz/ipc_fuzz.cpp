// libFuzzer harness: arbitrary bytes from a connected peer at the program's
// own IPC listener, then a well-formed stop message. The input's message
// must arrive exactly when its length field promises 8 to 2068 bytes and
// the peer sent that many, as sent and zero beyond; a longer promise is
// refused, never allocated.
#include "libipc/ipc.h"
#include "log/rl_log.h"

#include "fuzz_root.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

const int kSelf = 7;
const int kStop = 0x5701;
int g_inbox[2]; // the handler passes on each record it gets
const char kZeros[sizeof(ipc_msg_t)] = {};

int handler(const ipc_msg_t *msg, void *)
{
    // One write of less than PIPE_BUF bytes: never mixed with another.
    return int(write(g_inbox[1], msg, sizeof(*msg)));
}

// The next record passed on; libFuzzer's timeout alarm may interrupt the wait.
bool next_record(ipc_msg_t *got)
{
    ssize_t n;
    while ((n = read(g_inbox[0], got, sizeof(*got))) < 0 && errno == EINTR) {
    }
    return n == sizeof(*got);
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
    if (ipc_register(kSelf) != 0 || pipe(g_inbox) != 0 || ipc_run(handler, nullptr) != 0)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int32_t len = 0;
    if (size >= sizeof(len))
        memcpy(&len, data, sizeof(len));
    static int32_t stops = 0; // numbered: a stale or forged stop shows
    send_raw(data, size);
    if (ipc_send(kSelf, kStop, ++stops, 0, nullptr, 0) != 0)
        abort();
    // Connections are taken in order: the input's message, if any, comes
    // before the stop.
    ipc_msg_t got;
    if (!next_record(&got))
        abort();
    if (size >= sizeof(len) && len >= IPC_MIN_MSG_LEN && len <= IPC_MAX_MSG_LEN &&
        static_cast<size_t>(len) <= size) {
        const char *rest = reinterpret_cast<const char *>(&got) + len;
        if (memcmp(&got, data, len) != 0 || memcmp(rest, kZeros, sizeof(got) - len) != 0)
            abort(); // not the bytes the peer sent, zero beyond them
        if (!next_record(&got))
            abort();
    }
    if (got.msg != kStop || got.sender != kSelf || got.param1 != stops ||
        got.msg_len != IPC_HEADER_LEN)
        abort(); // a message that was never sent, or one too many
    return 0;
}
