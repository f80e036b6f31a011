#include "libupgrader/libupgrader.h"

#include "log/rl_log.h"

#include <stdint.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace {

constexpr int kCreateFlags = IPC_CREAT | 0666;

// Logs the segment's size and attach count and attaches it read-write.
// *segment_size gets the size, 0 when the status is unreadable or the
// attach fails, so a caller never sees a size without an address.
void *stat_and_attach(int shmid, unsigned int *segment_size)
{
    unsigned int size = 0;
    struct shmid_ds ds;
    memset(&ds, 0, sizeof(ds));
    if (shmctl(shmid, IPC_STAT, &ds) == 0) {
        size = static_cast<unsigned int>(ds.shm_segsz);
        rl_log_info("Size of memory segment is %d\n", static_cast<int>(ds.shm_segsz));
        rl_log_info("Numbre of attaches %d\n", static_cast<int>(ds.shm_nattch));
    } else {
        // The size only bounds the image; the attach can still work.
        rl_log_info("shmctl() call failed\n");
    }

    void *addr = shmat(shmid, nullptr, 0);
    if (addr == reinterpret_cast<void *>(-1)) {
        rl_log_info("shmat failed\n");
        if (segment_size != nullptr)
            *segment_size = 0;
        return nullptr;
    }
    rl_log_info("Memory attached at %X\n", rl_log_addr(addr));
    if (segment_size != nullptr)
        *segment_size = size;
    return addr;
}

} // namespace

void show_libupgrader_version(void)
{
    rl_log_info("\nInit %s, Version %s, Build at %s %s\n", "libupgrader", "1.0.0.12", "Jun 23 2021",
                "05:55:59");
}

void *libupd_get_share_memory(void)
{
    int shmid = shmget(LIBUPD_SHM_KEY, 0, 0);
    if (shmid == -1)
        shmid = shmget(LIBUPD_SHM_KEY, LIBUPD_SHM_SIZE, kCreateFlags);
    if (shmid == -1)
        return nullptr;
    return stat_and_attach(shmid, nullptr);
}

void *get_share_memory_sized(unsigned int *segment_size)
{
    if (segment_size != nullptr)
        *segment_size = 0;
    int shmid = shmget(LIBUPD_SHM_ALT_KEY, 0, 0);
    if (shmid == -1)
        shmid = shmget(LIBUPD_SHM_KEY, 0, 0);
    // The upgrader only consumes a pack someone else loaded; an empty
    // segment created here would just be mistaken for one later.
    if (shmid == -1)
        return nullptr;
    return stat_and_attach(shmid, segment_size);
}

void *get_share_memory(void) { return get_share_memory_sized(nullptr); }

void libupd_delete_share_memory(void *addr)
{
    if (addr == nullptr)
        return;
    // Always the loading side's key: after a failed run the next loader
    // must start from a fresh segment, even when addr came from the other
    // key.
    int shmid = shmget(LIBUPD_SHM_KEY, 0, 0);
    if (shmid == -1)
        return;
    if (shmdt(addr) == -1) {
        rl_log_err("detach the shared memory failed");
        return;
    }
    rl_log_info("detach the shared memory");
    if (shmctl(shmid, IPC_RMID, nullptr) == -1)
        rl_log_err("Failed to delete shared memory");
}

// The state word is little-endian on the wire whatever the host, and is
// built byte by byte so no aligned load is ever needed.
int libupd_set_state(void *addr, int state)
{
    if (addr == nullptr)
        return -1;
    uint32_t v = static_cast<uint32_t>(state);
    unsigned char bytes[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                              static_cast<unsigned char>(v >> 16),
                              static_cast<unsigned char>(v >> 24)};
    memcpy(static_cast<unsigned char *>(addr) + LIBUPD_STATE_OFFSET, bytes, sizeof(bytes));
    return state;
}

int libupd_get_state(const void *addr)
{
    if (addr == nullptr)
        return -1;
    unsigned char bytes[4];
    memcpy(bytes, static_cast<const unsigned char *>(addr) + LIBUPD_STATE_OFFSET, sizeof(bytes));
    uint32_t v = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                 static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    int32_t state;
    memcpy(&state, &v, sizeof(state));
    return state;
}

void *libupd_get_rom_start_addr(void *addr)
{
    if (addr == nullptr)
        return nullptr;
    return static_cast<unsigned char *>(addr) + LIBUPD_ROM_OFFSET;
}
