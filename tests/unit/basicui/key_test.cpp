// The keypad reader on a FIFO under a temporary root, fed 16-byte events as
// the keypad driver sends them.
#include "basicui/key.h"

#include "basicui_keys.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/ioctl.h>
#include <syslog.h>

using namespace testsupport;

namespace
{

::testing::Environment *const g_env =
    ::testing::AddGlobalTestEnvironment(new IsolatedEnvironment(kCaptureSyslog));

bool drained(const Keypad &keys)
{
    int pending = -1;
    return wait_until([&] { return ioctl(keys.fd, FIONREAD, &pending) == 0 && pending == 0; });
}

int next_key()
{
    int got = 0;
    wait_until([&] { return (got = key_get_keypressed()) != 0; });
    return got;
}

// Only presses count, the last one wins and is taken once. A new root (the
// next case, the next simulated telephone) moves the device: a new reader
// serves it, and the old one takes nothing more.
TEST(KeyReader, TakesPressesAndFollowsTheDeviceToANewRoot)
{
    ScopedRoot old_root;
    make_lcd_root(old_root);
    Keypad old_keys(old_root);
    EXPECT_EQ(key_get_keypressed(), 0);
    old_keys.send(key_event(9, 0) + key_event(8, 2) + key_event(3, 1) + key_event(4, 1) +
                  key_event(7, 0) + key_event(7, 2));
    ASSERT_TRUE(drained(old_keys));
    EXPECT_EQ(next_key(), 4) << "releases and repeats leave the press alone";
    EXPECT_EQ(key_get_keypressed(), 0);

    ScopedRoot root;
    make_lcd_root(root);
    Keypad keys(root);
    EXPECT_EQ(key_get_keypressed(), 0);
    old_keys.send(key_event(KPAD_STAR, 1));
    ASSERT_TRUE(drained(old_keys));
    EXPECT_EQ(key_get_keypressed(), 0) << "the old reader took a key";
    keys.send(key_event(KPAD_SOFT4, 1));
    EXPECT_EQ(next_key(), KPAD_SOFT4);

    ScopedRoot no_keypad;
    EXPECT_EQ(key_get_keypressed(), 0);
    EXPECT_TRUE(syslog_capture().wait_for("can't open /dev/input/event0."));
}

// Reads that keep failing are reported once, not at every retry, and again
// only after a read has worked.
TEST(KeyReader, FailingReadsAreLoggedOnceUntilAReadWorks)
{
    ScopedRoot root;
    make_lcd_root(root);
    Keypad keys(root);
    EXPECT_EQ(key_get_keypressed(), 0);
    syslog_capture().take();
    int logged = 0;
    for (int round : {1, 2}) {
        for (int i = 0; i < 3; ++i) { // a piece of an event: one failed read
            keys.send(std::string(8, 'x'));
            ASSERT_TRUE(drained(keys));
        }
        keys.send(key_event(KPAD_OK, 1));
        EXPECT_EQ(next_key(), KPAD_OK);
        for (const std::string &line : syslog_capture().take_texts())
            logged += line.find("no key read") != std::string::npos;
        EXPECT_EQ(logged, round);
    }
}

// With no room for a thread's stack the reader cannot start: that is logged
// once, and the polls go on trying until one starts it.
TEST(KeyReader, AReaderThatCannotStartIsLoggedOnceAndStartedByALaterPoll)
{
    ScopedRoot root;
    make_lcd_root(root);
    Keypad keys(root);
    pthread_attr_t normal, huge;
    ASSERT_EQ(pthread_getattr_default_np(&normal), 0);
    pthread_attr_init(&huge);
    pthread_attr_setstacksize(&huge, SIZE_MAX & ~size_t(0xffff));
    ASSERT_EQ(pthread_setattr_default_np(&huge), 0);
    syslog_capture().take();
    EXPECT_EQ(key_get_keypressed() + key_get_keypressed(), 0);
    pthread_setattr_default_np(&normal);
    int logged = 0;
    for (const LogLine &line : syslog_capture().take())
        logged += line.level() == LOG_ERR && line.text.find("pthread_create") != std::string::npos;
    EXPECT_EQ(logged, 1);
    keys.send(key_event(KPAD_OK, 1));
    EXPECT_EQ(next_key(), KPAD_OK);
}

// Opened where stdin was, the device is descriptor 0, closed like any other.
TEST(KeyDevice, ReadsWholeEventsOnly)
{
    ScopedRoot root;
    make_lcd_root(root);
    put(root / KEY_DEVICE, key_event(0xfffe, -5) + std::string(10, '\0'));
    key_event_t ev = {};
    int saved = dup(0);
    close(0);
    ASSERT_EQ(dev_open_keypad(), 0);
    ASSERT_EQ(dev_read_key(0, &ev), 0);
    EXPECT_EQ(ev.code, 0xfffeu); // widened, not sign-extended
    EXPECT_EQ(ev.value, -5);
    EXPECT_EQ(dev_read_key(0, &ev), -1); // 10 bytes left: no event
    dev_close_keypad(0);
    EXPECT_EQ(fcntl(0, F_GETFD), -1) << "descriptor 0 left open";
    dup2(saved, 0), close(saved);
}

} // namespace
