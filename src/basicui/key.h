// Keypad input. A background thread reads the input event device and keeps
// the code of the latest key press; the screens poll it.
#ifndef BASICUI_KEY_H
#define BASICUI_KEY_H

#include <stdint.h>

#include <atomic>

#define KEY_DEVICE "/dev/input/event0"
#define KEY_EVENT_SIZE 16         // input_event of a 32-bit system
#define KEY_EVENT_CODE_OFFSET 10  // u16
#define KEY_EVENT_VALUE_OFFSET 12 // s32
#define KEY_VALUE_PRESS 1         // release 0 and repeat 2 are dropped

// Keypad codes as the telephone's keypad driver reports them.
#define KPAD_1 1 // digits 1 to 9 are codes 1 to 9
#define KPAD_2 2
#define KPAD_3 3
#define KPAD_4 4
#define KPAD_5 5
#define KPAD_6 6
#define KPAD_7 7
#define KPAD_8 8
#define KPAD_9 9
#define KPAD_0 10
#define KPAD_STAR 11
#define KPAD_HASH 12
#define KPAD_PREV 13  // previous field
#define KPAD_NEXT 14  // next field
#define KPAD_LEFT 15  // caret left
#define KPAD_RIGHT 16 // caret right
#define KPAD_OK 17    // confirm
#define KPAD_DEL 18   // delete
#define KPAD_SOFT1 32 // soft keys, left to right under the bottom line
#define KPAD_SOFT2 33
#define KPAD_SOFT3 34
#define KPAD_SOFT4 35

// One event as dev_read_key hands it on: the value (1 press, 0 release,
// 2 repeat) and the 16-bit code widened.
struct key_event_t {
    int32_t value;
    uint32_t code;
};

// Code of the last press not yet taken; 0 when none.
extern std::atomic<uint32_t> g_last_key;
// 1 once a reader thread has been started; 0 again after a start that
// failed, so that the next poll tries. Screen thread only.
extern int g_key_thread_opened;

// KEY_DEVICE opened for reading and writing: the descriptor (0 included),
// or a negative value after a critical log line, errno kept.
[[nodiscard]] int dev_open_keypad(void);
// Blocks for one whole event. 0, or -1 for a bad descriptor, a null record
// or a short read (not logged).
[[nodiscard]] int dev_read_key(int fd, key_event_t *event);
// Closes fd; a negative one (-1 stands for no descriptor) is left alone.
void dev_close_keypad(int fd);
// The reader thread. With a null arg it serves KEY_DEVICE and never returns
// while the device stays readable; key_get_keypressed hands it a record of
// the device path instead, and the thread ends once a newer reader exists.
void *kpad_thread(void *arg);
// Takes the last press (0 when none) and clears it. The first call starts
// the reader thread and waits 500 ms for it to open the device; so does a
// call that finds KEY_DEVICE under another root than the reader's. A
// thread that cannot be started is logged (once until one starts) and
// tried again at the next call, without the wait.
int key_get_keypressed(void);

#endif
