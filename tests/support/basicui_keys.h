// Keys for the screens: a FIFO under a make_lcd_root root standing in for
// the keypad device, and a screen run on its own thread with bounded waits.
#ifndef TESTS_SUPPORT_BASICUI_KEYS_H
#define TESTS_SUPPORT_BASICUI_KEYS_H

#include "isolation.h"
#include "lcd_root.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <future>

namespace testsupport
{

// Open for reading and writing: no open blocks, and writes wait for a reader.
struct Keypad {
    explicit Keypad(const ScopedRoot &root)
    {
        mkfifo((root / "/dev/input/event0").c_str(), 0600);
        fd = open((root / "/dev/input/event0").c_str(), O_RDWR);
    }
    ~Keypad() { close(fd); }
    void send(const std::string &events)
    {
        EXPECT_EQ(write(fd, events.data(), events.size()), ssize_t(events.size()));
    }
    // Each press is sent once the key loop has logged the one before: the
    // loop keeps only the latest.
    bool press(std::initializer_list<int> codes)
    {
        for (int code : codes) {
            send(key_event(uint16_t(code), 1));
            bool seen = syslog_capture().wait_for("KEY = " + std::to_string(code));
            syslog_capture().take();
            if (!seen)
                return false;
        }
        return true;
    }
    int fd;
};

// Runs screen on its own thread, presses codes, then runs then(); true when
// the screen returns within the bound. One still open is cancelled (soft
// key 1); one ignoring that too ends the run, as it holds the screens' lock
// and would hang every case after it.
inline bool run_screen(
    Keypad &keys, std::function<void()> screen, std::initializer_list<int> codes,
    std::function<void()> then = [] {})
{
    std::future<void> done = std::async(std::launch::async, screen);
    EXPECT_TRUE(keys.press(codes)) << "a key did not reach the key loop";
    then();
    if (done.wait_for(std::chrono::seconds(30)) == std::future_status::ready)
        return true;
    keys.send(key_event(32, 1));
    if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        fprintf(stderr, "a screen never returned: ending the run\n");
        abort();
    }
    return false;
}

} // namespace testsupport

#endif
