// --watch: the LCD drawn in the terminal at every refresh, and the
// terminal's keys pressed on the telephone's keypad.
#ifndef PHONESIM_WATCH_H
#define PHONESIM_WATCH_H

#include "platform/unique_fd.h"

#include <termios.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace phonesim
{

// The frame as 66 columns by 32 lines of quadrant blocks (two by two LCD
// pixels per cell), ink dark on a light ground as in the PNG frames.
std::string render_watch(const std::vector<uint8_t> &frame);

// The keypad code of a key read from the terminal (bytes of one key, an
// escape sequence for arrows and F1..F4), or 0 for none: digits, * and #,
// the arrows, Enter (OK), Backspace (delete), F1..F4 or q w e r for the
// four soft keys (r: the fourth, Reboot).
int watch_key_code(const std::string &bytes);

class Watch
{
  public:
    ~Watch() { stop(); }
    // Draws only when standard output is a terminal; otherwise says so once
    // on stderr and does nothing. Keys are read when standard input is a
    // terminal too, in raw mode until stop().
    void start(const std::string &keypad_fifo);
    // Whether frames are drawn, and whether the terminal's keys reach the
    // keypad.
    bool active() const { return active_; }
    bool reads_keys() const { return raw_; }
    // Clears the terminal and draws the frame (nothing when not active).
    void draw(const std::vector<uint8_t> &frame);
    // Restores the terminal; called on every way out of the run.
    void stop();

  private:
    void read_keys();
    bool active_ = false, raw_ = false;
    struct termios saved_ {
    };
    UniqueFd keypad_, wake_[2];
    std::thread reader_;
    std::mutex draw_;
    std::chrono::steady_clock::time_point started_;
};

} // namespace phonesim

#endif
