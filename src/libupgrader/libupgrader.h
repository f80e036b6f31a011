// Shared upgrade memory: the System V shared-memory segment through which a
// loading process hands a ROM pack and an upgrade state to the upgrader.
//
// Layout (little-endian 32-bit words):
//   offset 0  first word, left to the loading process
//   offset 4  upgrade state (signed)
//   offset 8  ROM image, exactly as in a ROM file, up to 0x800000 bytes
//
// The segment has no lock of its own; both sides hold the binary semaphore
// with key 0xA130 (see semctrl) while they use it.
#ifndef LIBUPGRADER_LIBUPGRADER_H
#define LIBUPGRADER_LIBUPGRADER_H

#define LIBUPD_SHM_KEY 0xA130      // the loading side's segment, and memory_semid
#define LIBUPD_SHM_ALT_KEY 0x1079B // preferred by get_share_memory when present
#define LIBUPD_SHM_SIZE 0x800008   // size when libupd_get_share_memory creates it
#define LIBUPD_STATE_OFFSET 4
#define LIBUPD_ROM_OFFSET 8

// The upgrade states the loading process writes at offset 4. A negative
// state is the bitwise complement of one of these (-1 = ~0, -2 = ~1,
// -3 = ~2) and is treated like it, except that ~LIBUPD_STATE_PLAIN and
// ~LIBUPD_STATE_AUTOP say that loading the ROM failed.
enum libupd_state {
    LIBUPD_STATE_PLAIN = 0,   // a failure shows the failure screen
    LIBUPD_STATE_AUTOP = 1,   // auto-provisioned: a failure counts down to the reboot
    LIBUPD_STATE_NO_KILL = 2, // the kill script is not run
};

// Logs the unit's banner at info level.
void show_libupgrader_version(void);

// Attaches the segment under LIBUPD_SHM_KEY, creating it (LIBUPD_SHM_SIZE
// bytes, mode 0666) when there is none. The address, or 0.
void *libupd_get_share_memory(void);

// Detaches addr and removes the segment under LIBUPD_SHM_KEY, whichever key
// addr was attached from. Does nothing for 0 or when no segment is under
// LIBUPD_SHM_KEY (addr then stays attached).
void libupd_delete_share_memory(void *addr);

// Stores state at offset 4 and returns it; -1 for a null addr.
int libupd_set_state(void *addr, int state);
// The state at offset 4; -1 ("loading failed") for a null addr.
[[nodiscard]] int libupd_get_state(const void *addr);
// addr + 8, the start of the ROM image; 0 for a null addr.
void *libupd_get_rom_start_addr(void *addr);

// The upgrader's own attach: the existing segment under LIBUPD_SHM_ALT_KEY,
// else under LIBUPD_SHM_KEY; never creates one. The address, or 0.
void *get_share_memory(void);
// get_share_memory that also stores the segment's size in *segment_size
// (when not null). The size is 0 when the segment's status could not be
// read and whenever the result is 0. The ROM image is bounded by size - 8.
void *get_share_memory_sized(unsigned int *segment_size);

#endif
