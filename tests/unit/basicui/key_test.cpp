// The keypad device is a FIFO under a temporary root, fed 16-byte events the
// way the simulated telephone feeds them. Waits for the reader thread are
// bounded polls, never a measured time.
#include "basicui/key.h"

#include "isolation.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <initializer_list>
#include <set>
#include <string>
#include <thread>

using testsupport::ScopedRoot;

namespace
{

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(
    new testsupport::IsolatedEnvironment(testsupport::kCaptureSyslog));

struct Ev {
    uint16_t code;
    int32_t value;
    uint16_t type;
};

std::string encode(std::initializer_list<Ev> events)
{
    std::string out;
    for (const Ev &e : events) {
        char raw[KEY_EVENT_SIZE] = {};
        memset(raw, 0x5a, 8); // time: never looked at
        memcpy(raw + 8, &e.type, 2);
        memcpy(raw + 10, &e.code, 2);
        memcpy(raw + 12, &e.value, 4);
        out.append(raw, sizeof(raw));
    }
    return out;
}

void make_dev(const ScopedRoot &root)
{
    mkdir((root / "/dev").c_str(), 0755);
    mkdir((root / "/dev/input").c_str(), 0755);
}

// Bounded poll: up to about ten seconds of 1 ms steps.
template <typename Pred> bool eventually(Pred done)
{
    for (int i = 0; i < 10000; ++i) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

// The writing end, once the reader thread holds the FIFO open.
int open_writer(const ScopedRoot &root)
{
    int fd = -1;
    std::string path = root / KEY_DEVICE;
    eventually([&] { return (fd = open(path.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; });
    if (fd >= 0)
        fcntl(fd, F_SETFL, 0);
    return fd;
}

bool drained(int fd)
{
    int pending = -1;
    return ioctl(fd, FIONREAD, &pending) == 0 && pending == 0;
}

TEST(KeyReader, PressesOnlyLastOneWinsTakenOnce)
{
    ScopedRoot root;
    make_dev(root);
    ASSERT_EQ(mkfifo((root / KEY_DEVICE).c_str(), 0600), 0);

    EXPECT_EQ(key_get_keypressed(), 0);
    EXPECT_EQ(g_key_thread_opened, 1);
    int w = open_writer(root);
    ASSERT_GE(w, 0);

    std::string batch =
        encode({{9, 0, 1}, {8, 2, 1}, {3, 1, 1}, {4, 1, 1}, {4, 0, 1}, {7, 0, 1}, {7, 2, 1}});
    ASSERT_EQ(write(w, batch.data(), batch.size()), static_cast<ssize_t>(batch.size()));
    std::set<uint32_t> seen;
    EXPECT_TRUE(eventually([&] {
        uint32_t v = g_last_key.load();
        seen.insert(v);
        return v == 4 && drained(w);
    }));
    for (uint32_t v : seen)
        EXPECT_TRUE(v == 0 || v == 3 || v == 4) << "non-press taken: " << v;
    EXPECT_EQ(key_get_keypressed(), 4); // the trailing release and repeat left it alone
    EXPECT_EQ(key_get_keypressed(), 0);

    // A press counts whatever its event type.
    batch = encode({{KPAD_SOFT4, KEY_VALUE_PRESS, 0}});
    ASSERT_EQ(write(w, batch.data(), batch.size()), static_cast<ssize_t>(batch.size()));
    int got = 0;
    EXPECT_TRUE(eventually([&] { return (got = key_get_keypressed()) != 0; }));
    EXPECT_EQ(got, KPAD_SOFT4);
    EXPECT_EQ(key_get_keypressed(), 0);
    close(w);
}

TEST(KeyReader, MissingDeviceLogsAndNeverYieldsKeys)
{
    ScopedRoot root;
    EXPECT_EQ(key_get_keypressed(), 0);
    EXPECT_TRUE(testsupport::syslog_capture().wait_for("can't open /dev/input/event0."));
    EXPECT_EQ(key_get_keypressed(), 0);
}

TEST(KeyDevice, ReadsWholeEventsOnly)
{
    ScopedRoot root;
    make_dev(root);
    std::ofstream(root / KEY_DEVICE, std::ios::binary)
        << encode({{0xfffe, -5, 1}}) << std::string(10, '\0');

    key_event_t ev = {};
    EXPECT_EQ(dev_read_key(-1, &ev), -1);
    int fd = dev_open_keypad();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(dev_read_key(fd, nullptr), -1);
    ASSERT_EQ(dev_read_key(fd, &ev), 0);
    EXPECT_EQ(ev.code, 0xfffeu); // widened, not sign-extended
    EXPECT_EQ(ev.value, -5);
    EXPECT_EQ(dev_read_key(fd, &ev), -1); // 10 bytes left: no event
    EXPECT_EQ(dev_read_key(fd, &ev), -1); // end of file
    dev_close_keypad(fd);
}

} // namespace
