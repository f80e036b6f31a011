#include "basicui/key.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "log/rl_log.h"
#include "platform/platform.h"

std::atomic<uint32_t> g_last_key{0};
int g_key_thread_opened = 0;

namespace
{

// A device that keeps failing reads would otherwise keep one core busy and
// flood the system log; a tenth of a second is far below a key press.
const long kReadRetryPauseNs = 100L * 1000L * 1000L;

void pause_after_failed_read()
{
    struct timespec ts = {0, kReadRetryPauseNs};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

} // namespace

int dev_open_keypad(void)
{
    char path[PATH_MAX];
    int fd = -1;
    if (platform_path(KEY_DEVICE, path, sizeof(path)) == 0)
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
    if (fd > 0)
        close(fd);
}

void *kpad_thread(void *arg)
{
    (void)arg;
    int fd = dev_open_keypad();
    if (fd < 0) {
        perror("failed to open ");
        return nullptr;
    }
    for (;;) {
        key_event_t event;
        if (dev_read_key(fd, &event) != 0) {
            rl_log_info("%s no key read", "kpad_thread");
            pause_after_failed_read();
            continue;
        }
        if (event.value == KEY_VALUE_PRESS)
            g_last_key.store(event.code);
    }
    return nullptr;
}

int key_get_keypressed(void)
{
    if (!g_key_thread_opened) {
        g_key_thread_opened = 1;
        pthread_t thread;
        // The thread lives until the process exits; nobody joins it.
        if (pthread_create(&thread, nullptr, kpad_thread, nullptr) == 0)
            pthread_detach(thread);
        platform_pause_ms(500);
    }
    // Exchange, so that a press landing between a read and a clear is not lost.
    return static_cast<int>(g_last_key.exchange(0));
}
