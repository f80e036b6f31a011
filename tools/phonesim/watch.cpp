#include "phonesim/watch.h"

#include "phonesim/frames.h"
#include "phonesim/peers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

namespace phonesim
{

namespace
{

// The terminal to put back if phonesim ends without reaching stop().
struct termios g_saved;
bool g_raw = false;

void restore_terminal()
{
    if (g_raw)
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
    g_raw = false;
}

void put(const std::string &text)
{
    if (write(STDOUT_FILENO, text.data(), text.size()) < 0) {
        // The terminal is gone; the frames are in the report anyway.
    }
}

} // namespace

std::string render_watch(const std::vector<uint8_t> &frame)
{
    // Bit 1 top left, 2 top right, 4 bottom left, 8 bottom right.
    static const char *const kQuadrants[16] = {
        " ",      "\u2598", "\u259d", "\u2580", "\u2596", "\u258c", "\u259e", "\u259b",
        "\u2597", "\u259a", "\u2590", "\u259c", "\u2584", "\u2599", "\u259f", "\u2588"};
    // Black ink on a light grey ground, whatever the terminal's colours.
    std::string text;
    for (int y = 0; y < kLcdHeight; y += 2) {
        text += "\x1b[38;5;16;48;5;252m";
        for (int x = 0; x < kLcdWidth; x += 2)
            text += kQuadrants[pixel(frame, x, y) | pixel(frame, x + 1, y) << 1 |
                               pixel(frame, x, y + 1) << 2 | pixel(frame, x + 1, y + 1) << 3];
        text += "\x1b[0m\n";
    }
    return text;
}

int watch_key_code(const std::string &k)
{
    if (k.size() == 1) {
        char c = k[0];
        if (c >= '1' && c <= '9')
            return c - '0';
        const std::string keys = "0*#", codes = "\x0a\x0b\x0c";
        if (keys.find(c) != std::string::npos)
            return codes[keys.find(c)];
        if (c == '\r' || c == '\n')
            return 17; // OK
        if (c == 0x7f || c == 0x08)
            return 18; // delete
        const std::string soft = "qwer";
        if (soft.find(c) != std::string::npos)
            return 32 + int(soft.find(c));
        return 0;
    }
    // Up and down move between fields, left and right move the caret.
    static const std::pair<const char *, int> kSequences[] = {
        {"\x1b[A", 13},   {"\x1b[B", 14},   {"\x1b[D", 15},   {"\x1b[C", 16},
        {"\x1bOP", 32},   {"\x1bOQ", 33},   {"\x1bOR", 34},   {"\x1bOS", 35},
        {"\x1b[11~", 32}, {"\x1b[12~", 33}, {"\x1b[13~", 34}, {"\x1b[14~", 35}};
    for (const auto &s : kSequences)
        if (k == s.first)
            return s.second;
    return 0;
}

void Watch::start(const std::string &keypad_fifo)
{
    started_ = std::chrono::steady_clock::now();
    if (!isatty(STDOUT_FILENO)) {
        fprintf(stderr, "phonesim: --watch is off: standard output is not a terminal\n");
        return;
    }
    active_ = true;
    int p[2];
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_) != 0 || pipe2(p, O_CLOEXEC) != 0)
        return;
    wake_[0] = UniqueFd(p[0]);
    wake_[1] = UniqueFd(p[1]);
    // Read-write and non-blocking, as the key script opens it: no wait for
    // the program to open its end.
    keypad_ = UniqueFd(open(keypad_fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    struct termios raw = saved_;
    cfmakeraw(&raw);
    raw.c_oflag = saved_.c_oflag;
    if (keypad_.get() < 0 || tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) != 0)
        return;
    g_saved = saved_;
    g_raw = raw_ = true;
    atexit(restore_terminal);
    reader_ = std::thread([this] { read_keys(); });
}

void Watch::draw(const std::vector<uint8_t> &frame)
{
    if (!active_)
        return;
    std::lock_guard<std::mutex> lock(draw_);
    put("\x1b[H\x1b[2J" + render_watch(frame));
}

void Watch::read_keys()
{
    for (;;) {
        struct pollfd polls[2] = {{STDIN_FILENO, POLLIN, 0}, {wake_[0].get(), POLLIN, 0}};
        if (poll(polls, 2, -1) < 0)
            continue;
        if (polls[1].revents != 0)
            return;
        char buf[16];
        ssize_t n = read(STDIN_FILENO, buf, sizeof(buf));
        if (n <= 0)
            return;
        std::string key(buf, size_t(n));
        // Raw mode takes the terminal's own signals away: Ctrl-C (and the
        // quit key) still end phonesim, through its usual way out.
        if (key[0] == 0x03 || key[0] == 0x1c) {
            kill(getpid(), key[0] == 0x03 ? SIGINT : SIGTERM);
            continue;
        }
        int code = watch_key_code(key);
        if (code == 0)
            continue;
        double at =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        std::vector<uint8_t> events = input_event(code, 1, at), release = input_event(code, 0, at);
        events.insert(events.end(), release.begin(), release.end());
        if (write(keypad_.get(), events.data(), events.size()) < 0) {
            // A full keypad queue drops the key, as a busy telephone would.
        }
    }
}

void Watch::stop()
{
    if (reader_.joinable()) {
        char c = 1;
        if (write(wake_[1].get(), &c, 1) != 1) {
            // A full pipe wakes the reader as well.
        }
        reader_.join();
    }
    if (raw_)
        restore_terminal();
    raw_ = false;
    active_ = false;
}

} // namespace phonesim
