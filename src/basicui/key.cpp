#include "basicui/key.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "log/errno_text.h"
#include "log/rl_log.h"
#include "platform/platform.h"

std::atomic<uint32_t> g_last_key{0};
int g_key_thread_opened = 0;

namespace
{

// A device that keeps failing reads would otherwise keep one core busy and
// flood the system log: the first failure of a run is logged, and the
// retries back off from a tenth of a second, far below a key press, to a
// few seconds. A read that works starts over.
const long kFirstRetryPauseMs = 100;
const long kLongestRetryPauseMs = 3200;

void pause_after_failed_read(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000L * 1000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// On the telephone the keypad is always the same device and one reader
// serves it for the life of the process. Under another root (the simulated
// telephone, the tests) the device may move: the reader of the old path is
// retired by a new generation and stops when its read next returns, without
// taking what it read; nobody waits for it.
struct reader_t {
    unsigned generation;
    char path[PATH_MAX]; // empty when the path did not fit
};
std::atomic<unsigned> g_reader_generation{0};
char g_reader_path[PATH_MAX]; // the path the current reader serves; screen thread only

// A screen waiting for a key polls every 50 ms, and each poll tries again
// to start a reader that could not start: the first failure is logged, the
// next ones only after a start that worked. Screen thread only.
bool g_start_failure_logged = false;

int open_keypad_at(const char *path)
{
    int fd = -1;
    if (path[0] != '\0')
        fd = open(path, O_RDWR | O_CLOEXEC);
    else
        errno = ENAMETOOLONG;
    if (fd < 0) {
        int saved = errno; // the caller reports why
        rl_log_crit("can't open /dev/input/event0.\n");
        errno = saved;
        return -1;
    }
    return fd;
}

void resolve_keypad(char (&path)[PATH_MAX])
{
    if (platform_path(KEY_DEVICE, path, sizeof(path)) != 0)
        path[0] = '\0';
}

// 0 when a reader thread was started for path; -1 (logged once) when none
// could be.
[[nodiscard]] int start_reader(const char (&path)[PATH_MAX])
{
    memcpy(g_reader_path, path, sizeof(g_reader_path));
    const char *what = "malloc";
    int err = ENOMEM;
    reader_t *reader = static_cast<reader_t *>(malloc(sizeof(reader_t)));
    if (reader != nullptr) {
        reader->generation = g_reader_generation.fetch_add(1) + 1;
        memcpy(reader->path, path, sizeof(reader->path));
        g_last_key.store(0); // a press on the old device is not one on the new
        pthread_t thread;
        what = "pthread_create";
        err = pthread_create(&thread, nullptr, kpad_thread, reader);
        if (err == 0) {
            // The thread lives until the process exits or a newer reader
            // retires it; nobody joins it.
            (void)pthread_detach(thread); // cannot fail on a thread just made
            g_start_failure_logged = false;
            return 0;
        }
        free(reader);
    }
    if (!g_start_failure_logged) {
        rl_log_err("%s: %s of the keypad reader of %s failed: %s; the next poll tries again",
                   "key_get_keypressed", what, KEY_DEVICE, ErrnoText(err).c_str());
        g_start_failure_logged = true;
    }
    return -1;
}

} // namespace

int dev_open_keypad(void)
{
    char path[PATH_MAX];
    resolve_keypad(path);
    return open_keypad_at(path);
}

int dev_read_key(int fd, key_event_t *event)
{
    if (fd < 0 || event == nullptr)
        return -1;
    unsigned char raw[KEY_EVENT_SIZE];
    ssize_t got;
    do {
        got = read(fd, raw, sizeof(raw));
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(sizeof(raw)))
        return -1;
    uint16_t code;
    int32_t value;
    memcpy(&code, raw + KEY_EVENT_CODE_OFFSET, sizeof(code));
    memcpy(&value, raw + KEY_EVENT_VALUE_OFFSET, sizeof(value));
    event->value = value;
    event->code = code;
    return 0;
}

void dev_close_keypad(int fd)
{
    if (fd >= 0) // 0 is a descriptor like any other once stdin is closed
        close(fd);
}

void *kpad_thread(void *arg)
{
    reader_t *self = static_cast<reader_t *>(arg);
    int fd = self != nullptr ? open_keypad_at(self->path) : dev_open_keypad();
    if (fd < 0) {
        perror("failed to open ");
        free(self);
        return nullptr;
    }
    long retry_pause_ms = 0; // 0 while reads work
    for (;;) {
        key_event_t event;
        int got = dev_read_key(fd, &event);
        if (self != nullptr && self->generation != g_reader_generation.load())
            break; // retired: a reader of the new device has the slot
        if (got != 0) {
            if (retry_pause_ms == 0) {
                rl_log_info("%s no key read", "kpad_thread");
                retry_pause_ms = kFirstRetryPauseMs;
            }
            pause_after_failed_read(retry_pause_ms);
            retry_pause_ms = std::min(2 * retry_pause_ms, kLongestRetryPauseMs);
            continue;
        }
        retry_pause_ms = 0;
        if (event.value == KEY_VALUE_PRESS)
            g_last_key.store(event.code);
    }
    dev_close_keypad(fd);
    free(self);
    return nullptr;
}

int key_get_keypressed(void)
{
    char path[PATH_MAX];
    resolve_keypad(path);
    if (!g_key_thread_opened || strcmp(path, g_reader_path) != 0) {
        // Without a reader no key ever comes: the next poll tries again.
        g_key_thread_opened = start_reader(path) == 0;
        if (g_key_thread_opened)
            platform_pause_ms(500);
    }
    // Exchange, so that a press landing between a read and a clear is not lost.
    return static_cast<int>(g_last_key.exchange(0));
}
