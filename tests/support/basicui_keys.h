// Keys for the screens: a FIFO under the test's root standing in for the
// keypad device, and a screen run on its own thread with a bounded wait.
#ifndef TESTS_SUPPORT_BASICUI_KEYS_H
#define TESTS_SUPPORT_BASICUI_KEYS_H

#include "isolation.h"
#include "lcd_root.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <memory>
#include <thread>

namespace testsupport
{

// Under a root made by make_lcd_root. Open for reading and writing, so no
// open blocks and what is written waits for the reader.
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
    bool drained()
    {
        int pending = -1;
        return wait_until([&] { return ioctl(fd, FIONREAD, &pending) == 0 && pending == 0; });
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

// A screen that waits for keys. Still open when the case ends, it gets a
// cancel (soft key 1); ignoring that too, it ends the run, since it holds
// the screens' lock and would hang every case after it.
class Screen
{
  public:
    Screen(Keypad &keys, std::function<void()> run) : keys_(keys)
    {
        auto ended = std::make_shared<std::promise<void>>();
        done_ = ended->get_future();
        thread_ = std::thread([run, ended] {
            run();
            ended->set_value();
        });
    }
    bool ended(int seconds = 30)
    {
        return done_.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready;
    }
    ~Screen()
    {
        if (!ended(0)) {
            ADD_FAILURE() << "the screen did not return";
            keys_.send(key_event(32, 1));
            if (!ended(10)) {
                fprintf(stderr, "a screen never returned: ending the run\n");
                abort();
            }
        }
        thread_.join();
    }

  private:
    Keypad &keys_;
    std::future<void> done_;
    std::thread thread_;
};

} // namespace testsupport

#endif
