// Short messages between the telephone's processes over Unix-domain stream
// sockets.
//
// A process that receives listens on "/var/ipc/<identity>" (under the
// platform root). A sender connects to the receiver's socket file, writes
// one message and closes: one connection carries exactly one message.
//
// Results: 0 (or a positive value) for success, -1 for failure.
#ifndef LIBIPC_IPC_H
#define LIBIPC_IPC_H

#include <pthread.h>
#include <stdint.h>

#define IPC_BANNER_NAME "libipc"
#define IPC_VERSION "1.0.0.24"

#define IPC_DIR "/var/ipc/"          // socket files: IPC_DIR + decimal identity
#define IPC_HEADER_LEN 20            // msg_len .. param2
#define IPC_MAX_DATA_LEN 2048        // the sender refuses more
#define IPC_MAX_MSG_LEN (IPC_HEADER_LEN + IPC_MAX_DATA_LEN)
#define IPC_MIN_MSG_LEN 8            // the receiver drops anything shorter
#define IPC_LISTEN_BACKLOG 64
#define IPC_BROADCAST_FIRST_ID 1
#define IPC_BROADCAST_LAST_ID 11

// One message as it travels: 32-bit fields in host byte order, then the
// payload. Only the first msg_len bytes are on the wire.
typedef struct ipc_msg_t {
    int32_t msg_len; // whole message, this field included: 20 + data bytes
    int32_t msg;     // message code
    int32_t sender;  // identity of the sending process
    int32_t param1;
    int32_t param2;
    char data[IPC_MAX_DATA_LEN];
} ipc_msg_t;

// Called on the reader thread, one message at a time. msg points to a full
// ipc_msg_t whose bytes past msg_len are zero (a message of 8 to 19 bytes
// has only part of its header). The record is freed when the handler
// returns; the result is ignored.
typedef int (*ipc_handler_t)(const ipc_msg_t *msg, void *arg);

// Process-wide state of the unit. Read it if you must; change it only
// through the functions below.
typedef struct ipc_data_t {
    int self_id;             // own identity; 0 = not registered
    int listen_fd;           // listening socket; -1 = none
    pthread_t reader_thread; // started by ipc_run
    ipc_handler_t handler;
    void *handler_arg;
} ipc_data_t;

extern ipc_data_t g_ipc_data;
// Non-zero: the reader thread stops before its next accept.
extern int g_quitflag;

// Both log the banner at info level.
void ipc_init(void);
void ipc_show_version(void);

// Takes the identity used as sender and as the listening address. Always 0.
[[nodiscard]] int ipc_register(int identity);

// Listens on the own socket file (creating the directory when missing) and
// starts the reader thread that calls handler for every message received.
// 0 when listening, -1 when not registered, already listening, or the
// socket or the thread could not be set up (the socket file is removed
// then).
[[nodiscard]] int ipc_run(ipc_handler_t handler, void *handler_arg);

// The reader thread's body; arg is the listening socket. Returns null.
void *read_thread(void *arg);

// Sends one message to destination. data may be null; length < 1 sends
// none. Returns 0 when the whole message was written, 1 when length is
// over IPC_MAX_DATA_LEN, -1 otherwise (not registered, nobody listening,
// socket or write failure). Never waits for the receiver.
[[nodiscard]] int ipc_send(int destination, int msg, int param1, int param2, const void *data, int length);

// ipc_send to every identity from 1 to 11, the own one included; the
// individual results are ignored. Always 0.
[[nodiscard]] int ipc_broadcast(int msg, int param1, int param2, const void *data, int length);

// Stops the reader thread (waiting for a handler call in progress to end),
// closes the listening socket and forgets the identity and handler. The
// socket file stays. May be called from the handler. Always 0.
[[nodiscard]] int ipc_unregister(void);

int get_quitflag(void);
void set_quitflag(int value);

#endif
