// The telephone's other processes, as far as the upgrade program meets them:
// IPC listeners, the configuration saver, the loader of the shared upgrade
// memory, and a user pressing keys.
#ifndef PHONESIM_PEERS_H
#define PHONESIM_PEERS_H

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace phonesim
{

struct IpcRecord {
    int listener = 0; // identity whose socket received it
    int32_t msg_len = 0, msg = 0, sender = 0, param1 = 0, param2 = 0;
    std::vector<uint8_t> data;
    double at = 0; // seconds since the run started (since start())
};

// Listens on ROOT/var/ipc/N for each given identity and records every
// message of 8 to 2068 bytes (others are dropped, as the telephone's
// receivers do). Runs its own thread until stop(); the messages stay
// readable after it.
class IpcListeners
{
  public:
    IpcListeners();
    ~IpcListeners();
    int start(const std::string &root, const std::vector<int> &ids, std::string *error);
    void stop();
    std::vector<IpcRecord> messages() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Holds the binary semaphore with key 0xB012 for hold_seconds, on a thread
// (returns once the semaphore is taken). In the caller's IPC namespace.
// Fails at once, without waiting, when someone else holds the semaphore.
class ConfigSaver
{
  public:
    ~ConfigSaver();
    int start(double hold_seconds, std::string *error);
    void stop();

  private:
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
};

// The loading side of the shared upgrade memory: creates it, takes
// memory_semid (key 0xA130), copies the pack to offset 8, sets the state,
// gives the semaphore back. 0 or -1 with *error.
int load_pack(const std::vector<uint8_t> &pack, int state, std::string *error);
// The same; while_held runs once memory_semid is taken, before the copy
// (lets a test line up a reader against the hold).
int load_pack(const std::vector<uint8_t> &pack, int state, std::string *error,
              const std::function<void()> &while_held);

// A key press at a time after the start: press and release are written as
// 16-byte input events (32-bit time, type 1, code, value 1 then 0).
struct KeyPress {
    double at = 0;
    int code = 0;
};
// Parses "T:CODE,T:CODE,..." (seconds, keypad code). false on bad text.
bool parse_keys(const std::string &text, std::vector<KeyPress> *keys);
// The 16-byte event record of the telephone.
std::vector<uint8_t> input_event(int code, int value, double at);

class KeyScript
{
  public:
    KeyScript();
    ~KeyScript();
    // Opens the FIFO without waiting for a reader and writes each press at its
    // time on a thread of its own.
    int start(const std::string &fifo, const std::vector<KeyPress> &keys, std::string *error);
    void stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace phonesim

#endif
