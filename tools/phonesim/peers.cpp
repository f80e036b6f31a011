#include "platform/unique_fd.h"
#include "phonesim/peers.h"

#include "libupgrader/libupgrader.h"
#include "semctrl/semctrl.h"

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace phonesim
{

namespace
{

using Clock = std::chrono::steady_clock;

// The receiver's limits of the wire format: anything outside is dropped.
constexpr int32_t kMinMessage = 8;
constexpr int32_t kMaxMessage = 20 + 2048;
constexpr int kHeader = 20;
// A sender writes its message at once after connecting; one that stalls
// must not hold up the other listeners for long.
constexpr int kReadTimeoutMs = 2000;

constexpr key_t kSaverKey = 0xB012;
constexpr size_t kMaxPack = 0x800000;
// Key times and holds beyond this (about 115 days) are typing errors.
constexpr double kLongestWait = 1e7;

std::string errtext(const std::string &what)
{
    return what + ": " + strerror(errno);
}

void set_error(std::string *error, const std::string &text)
{
    if (error)
        *error = text;
}

// Reads exactly size bytes unless the peer closes, fails or stalls. The
// number of bytes read.
size_t read_full(int fd, uint8_t *buffer, size_t size)
{
    size_t got = 0;
    while (got < size) {
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, kReadTimeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        ssize_t n = read(fd, buffer + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += size_t(n);
    }
    return got;
}

int32_t le32(const uint8_t *p)
{
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                   uint32_t(p[3]) << 24);
}

void put_le(uint8_t *p, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        p[i] = uint8_t(value >> (8 * i));
}

} // namespace

// ---------------------------------------------------------------------------
// IPC listeners

struct IpcListeners::Impl {
    std::vector<std::pair<int, UniqueFd>> sockets; // identity, listening socket
    UniqueFd wake;                                 // eventfd: stop() rings it
    std::thread thread;
    Clock::time_point started;
    mutable std::mutex mutex;
    std::vector<IpcRecord> records;

    void run();
    void receive(int identity, int fd);
};

void IpcListeners::Impl::run()
{
    std::vector<struct pollfd> polls;
    for (auto &s : sockets)
        polls.push_back({s.second.get(), POLLIN, 0});
    polls.push_back({wake.get(), POLLIN, 0});
    const size_t listeners = sockets.size();
    // Takes one waiting connection from every listener that has one.
    auto accept_ready = [&](int timeout_ms) {
        for (auto &p : polls)
            p.revents = 0;
        int ready = poll(polls.data(), polls.size(), timeout_ms);
        for (size_t i = 0; ready > 0 && i < listeners; ++i) {
            if (!(polls[i].revents & POLLIN))
                continue;
            UniqueFd connection(accept4(polls[i].fd, nullptr, nullptr, SOCK_CLOEXEC));
            if (connection.get() >= 0)
                receive(sockets[i].first, connection.get());
        }
        return ready;
    };
    for (;;) {
        if (accept_ready(-1) < 0 && errno != EINTR)
            return;
        if (polls.back().revents == 0)
            continue;
        // A message sent just before the program ended is already queued:
        // take what is waiting before going, or the report would miss it.
        polls.pop_back();
        while (accept_ready(0) > 0) {
        }
        return;
    }
}

void IpcListeners::Impl::receive(int identity, int fd)
{
    uint8_t message[kMaxMessage] = {};
    if (read_full(fd, message, 4) != 4)
        return;
    int32_t length = le32(message);
    if (length < kMinMessage || length > kMaxMessage)
        return;
    if (read_full(fd, message + 4, size_t(length) - 4) != size_t(length) - 4)
        return;
    IpcRecord record;
    record.listener = identity;
    record.msg_len = length;
    // A message shorter than the header keeps zeros in the fields it lacks.
    record.msg = le32(message + 4);
    record.sender = le32(message + 8);
    record.param1 = le32(message + 12);
    record.param2 = le32(message + 16);
    if (length > kHeader)
        record.data.assign(message + kHeader, message + length);
    record.at = std::chrono::duration<double>(Clock::now() - started).count();
    std::lock_guard<std::mutex> lock(mutex);
    records.push_back(std::move(record));
}

IpcListeners::IpcListeners() = default;

IpcListeners::~IpcListeners()
{
    stop();
}

int IpcListeners::start(const std::string &root, const std::vector<int> &ids, std::string *error)
{
    stop();
    auto impl = std::make_unique<Impl>();
    impl->started = Clock::now();
    std::string dir = root + "/var/ipc";
    for (const std::string &d : {root + "/var", dir}) {
        if (mkdir(d.c_str(), 0777) != 0 && errno != EEXIST) {
            set_error(error, errtext(d));
            return -1;
        }
    }
    for (int id : ids) {
        std::string path = dir + "/" + std::to_string(id);
        struct sockaddr_un addr;
        memset(&addr, 0, sizeof(addr));
        addr.sun_family = AF_UNIX;
        if (path.size() >= sizeof(addr.sun_path)) {
            set_error(error, path + ": path too long for a socket");
            return -1;
        }
        memcpy(addr.sun_path, path.c_str(), path.size());
        UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (fd.get() < 0) {
            set_error(error, errtext("socket"));
            return -1;
        }
        unlink(path.c_str()); // a socket file left by an earlier run
        if (bind(fd.get(), reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0 ||
            listen(fd.get(), 64) != 0 || chmod(path.c_str(), 0777) != 0) {
            set_error(error, errtext(path));
            return -1;
        }
        impl->sockets.emplace_back(id, std::move(fd));
    }
    impl->wake = UniqueFd(eventfd(0, EFD_CLOEXEC));
    if (impl->wake.get() < 0) {
        set_error(error, errtext("eventfd"));
        return -1;
    }
    Impl *raw = impl.get();
    impl->thread = std::thread([raw] { raw->run(); });
    impl_ = std::move(impl);
    return 0;
}

void IpcListeners::stop()
{
    if (!impl_ || !impl_->thread.joinable())
        return;
    uint64_t one = 1;
    if (write(impl_->wake.get(), &one, sizeof(one)) != sizeof(one)) {
        // Fails only on counter overflow, when the thread is awake anyway.
    }
    impl_->thread.join();
    for (auto &s : impl_->sockets)
        s.second.reset();
}

std::vector<IpcRecord> IpcListeners::messages() const
{
    if (!impl_)
        return {};
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->records;
}

// ---------------------------------------------------------------------------
// Configuration saver

ConfigSaver::~ConfigSaver()
{
    stop();
}

int ConfigSaver::start(double hold_seconds, std::string *error)
{
    stop();
    int semid = binary_sem_create_key(kSaverKey);
    if (semid < 0) {
        set_error(error, errtext("semaphore 0xB012"));
        return -1;
    }
    // With undo: should phonesim die while holding it, the kernel gives the
    // semaphore back. Not waiting: a semaphore held by someone else is a
    // set-up error, not something to hang on.
    struct sembuf take = {0, -1, SEM_UNDO | IPC_NOWAIT};
    if (semop(semid, &take, 1) != 0) {
        set_error(error, errtext("taking semaphore 0xB012"));
        return -1;
    }
    stop_ = false;
    if (!(hold_seconds > 0))
        hold_seconds = 0;
    hold_seconds = std::min(hold_seconds, kLongestWait);
    thread_ = std::thread([this, semid, hold_seconds] {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_for(lock, std::chrono::duration<double>(hold_seconds),
                       [this] { return stop_.load(); });
        (void)unlock_binary_sem(semid); // the set goes with the telephone's IPC namespace anyway
    });
    return 0;
}

void ConfigSaver::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

// ---------------------------------------------------------------------------
// Loader

int load_pack(const std::vector<uint8_t> &pack, int state, std::string *error)
{
    return load_pack(pack, state, error, nullptr);
}

int load_pack(const std::vector<uint8_t> &pack, int state, std::string *error,
              const std::function<void()> &while_held)
{
    if (pack.size() > kMaxPack) {
        set_error(error, "pack of " + std::to_string(pack.size()) +
                             " bytes does not fit the shared upgrade memory");
        return -1;
    }
    void *memory = libupd_get_share_memory();
    if (!memory) {
        set_error(error, errtext("shared upgrade memory"));
        return -1;
    }
    struct Detach {
        void *addr;
        ~Detach() { shmdt(addr); }
    } detach{memory};

    // A segment made by someone else may be smaller than ours would be.
    int shmid = shmget(LIBUPD_SHM_KEY, 0, 0);
    struct shmid_ds info;
    if (shmid < 0 || shmctl(shmid, IPC_STAT, &info) != 0) {
        set_error(error, errtext("shared upgrade memory"));
        return -1;
    }
    if (info.shm_segsz < pack.size() + LIBUPD_ROM_OFFSET) {
        set_error(error, "shared upgrade memory of " + std::to_string(info.shm_segsz) +
                             " bytes is too small for the pack");
        return -1;
    }
    int semid = binary_sem_create_key(LIBUPD_SHM_KEY);
    if (semid < 0) {
        set_error(error, errtext("memory_semid"));
        return -1;
    }
    if (lock_binary_sem(semid) != 0) {
        set_error(error, errtext("taking memory_semid"));
        return -1;
    }
    if (while_held)
        while_held();
    uint8_t *rom = static_cast<uint8_t *>(libupd_get_rom_start_addr(memory));
    if (!pack.empty())
        memcpy(rom, pack.data(), pack.size());
    libupd_set_state(memory, state);
    if (unlock_binary_sem(semid) != 0) {
        set_error(error, errtext("giving back memory_semid"));
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Keys

bool parse_keys(const std::string &text, std::vector<KeyPress> *keys)
{
    std::vector<KeyPress> parsed;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t comma = text.find(',', pos);
        if (comma == std::string::npos)
            comma = text.size();
        std::string item = text.substr(pos, comma - pos);
        pos = comma + 1;
        if (comma == text.size() - 1)
            return false; // a trailing comma
        size_t colon = item.find(':');
        if (colon == std::string::npos)
            return false;
        std::string time = item.substr(0, colon), code = item.substr(colon + 1);
        if (time.empty() || code.empty())
            return false;
        char *end = nullptr;
        errno = 0;
        double at = strtod(time.c_str(), &end);
        if (*end || errno || !isfinite(at) || at < 0 || at > kLongestWait)
            return false;
        errno = 0;
        long value = strtol(code.c_str(), &end, 10);
        if (*end || errno || value < 0 || value > 0xFFFF)
            return false;
        parsed.push_back({at, int(value)});
    }
    if (keys)
        *keys = std::move(parsed);
    return true;
}

std::vector<uint8_t> input_event(int code, int value, double at)
{
    if (!(at >= 0))
        at = 0;
    at = std::min(at, kLongestWait);
    uint32_t seconds = uint32_t(at);
    uint32_t micros = uint32_t(llround((at - seconds) * 1e6));
    if (micros >= 1000000) {
        ++seconds;
        micros -= 1000000;
    }
    std::vector<uint8_t> event(16);
    put_le(&event[0], seconds, 4);
    put_le(&event[4], micros, 4);
    put_le(&event[8], 1, 2); // EV_KEY
    put_le(&event[10], uint32_t(code), 2);
    put_le(&event[12], uint32_t(value), 4);
    return event;
}

struct KeyScript::Impl {
    UniqueFd fifo;
    std::vector<KeyPress> keys;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;

    void run();
    bool write_event(int code, int value, Clock::time_point started);
};

bool KeyScript::Impl::write_event(int code, int value, Clock::time_point started)
{
    double now = std::chrono::duration<double>(Clock::now() - started).count();
    std::vector<uint8_t> event = input_event(code, value, now);
    // Writes to a FIFO of at most PIPE_BUF bytes are whole or not at all.
    for (;;) {
        ssize_t n = write(fifo.get(), event.data(), event.size());
        if (n == ssize_t(event.size()))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

void KeyScript::Impl::run()
{
    Clock::time_point started = Clock::now();
    for (const KeyPress &key : keys) {
        auto due = started + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(key.at));
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (wake.wait_until(lock, due, [this] { return stop; }))
                return;
        }
        if (!write_event(key.code, 1, started) || !write_event(key.code, 0, started))
            return;
    }
}

KeyScript::KeyScript() = default;

KeyScript::~KeyScript()
{
    stop();
}

int KeyScript::start(const std::string &fifo, const std::vector<KeyPress> &keys, std::string *error)
{
    stop();
    auto impl = std::make_unique<Impl>();
    // Read-write: the open does not wait for the program to open its end,
    // and our own read end keeps writes from failing before it does.
    impl->fifo = UniqueFd(open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (impl->fifo.get() < 0) {
        set_error(error, errtext(fifo));
        return -1;
    }
    int flags = fcntl(impl->fifo.get(), F_GETFL);
    if (flags < 0 || fcntl(impl->fifo.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        set_error(error, errtext(fifo));
        return -1;
    }
    impl->keys = keys;
    for (KeyPress &key : impl->keys)
        key.at = std::max(0.0, std::min(key.at, kLongestWait));
    std::stable_sort(impl->keys.begin(), impl->keys.end(),
                     [](const KeyPress &a, const KeyPress &b) { return a.at < b.at; });
    Impl *raw = impl.get();
    impl->thread = std::thread([raw] { raw->run(); });
    impl_ = std::move(impl);
    return 0;
}

void KeyScript::stop()
{
    if (!impl_)
        return;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stop = true;
    }
    impl_->wake.notify_all();
    if (impl_->thread.joinable())
        impl_->thread.join();
    impl_.reset();
}

} // namespace phonesim
