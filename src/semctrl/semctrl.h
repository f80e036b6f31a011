// Process locks: a thin layer over System V semaphores.
//
// The telephone's other processes open the same sets by the same keys, so
// the flags and operation records below are part of a shared contract and
// must not drift: creation uses IPC_CREAT | IPC_EXCL | 0666, lookups use
// 0666 with a count of 0.
//
// A binary semaphore is a set of one semaphore: 1 free, 0 taken.
//
// Undo semantics matter to the callers:
//   try-lock  -1, IPC_NOWAIT  no undo: stays taken after the process ends
//   lock      -1, SEM_UNDO    given back by the kernel when the process ends
//   unlock    +1, SEM_UNDO    reverted by the kernel when the process ends
//   give back +1, no undo     stays given back: the release of a try-lock
//
// Every function returns what semget/semctl/semop returned (an identifier or
// 0 on success, -1 with errno set on failure) and logs nothing. A negative
// identifier fails with -1 (errno EINVAL) without reaching the kernel.
#ifndef SEMCTRL_SEMCTRL_H
#define SEMCTRL_SEMCTRL_H

#include <sys/types.h>

// Logs the unit's banner at info level.
void show_semctrl_version(void);

// A new private set of count semaphores (all 0).
[[nodiscard]] int sem_create_private(int count);
// A new private binary semaphore, set free.
[[nodiscard]] int binary_sem_create_private(void);

// A new set of count semaphores under key; when the key is taken already,
// the existing set (whatever its size and values).
[[nodiscard]] int sem_create_key(int count, key_t key);
// The set under key, unchanged, if there is one; else a new binary
// semaphore, set free. -1 also when another process created it between the
// lookup and the creation.
[[nodiscard]] int binary_sem_create_key(key_t key);
// The set under key, or -1 (ENOENT) when there is none.
[[nodiscard]] int get_sem_by_key(key_t key);

// Removes the set.
[[nodiscard]] int sem_free(int semid);

[[nodiscard]] int sem_set_value(int semid, int index, int value);
// Sets semaphore 0 to 1 (free).
[[nodiscard]] int binary_sem_set_value(int semid);
// Sets every semaphore of the set; values holds one entry per semaphore.
[[nodiscard]] int set_sem_values(int semid, const unsigned short *values);

// 0 when taken, -1 with EAGAIN when the semaphore was 0.
[[nodiscard]] int try_lock_sem(int semid, int index);
[[nodiscard]] int try_lock_binary_sem(int semid);
// Waits while the semaphore is 0.
[[nodiscard]] int lock_sem(int semid, int index);
[[nodiscard]] int lock_binary_sem(int semid);
// lock_binary_sem that gives up after milliseconds: -1 with EAGAIN then.
[[nodiscard]] int lock_binary_sem_timed(int semid, unsigned int milliseconds);
[[nodiscard]] int unlock_sem(int semid, int index);
[[nodiscard]] int unlock_binary_sem(int semid);
// Releases a semaphore taken by try-lock. An unlock would be reverted when
// the process ends and leave the semaphore taken with nobody to give it back.
[[nodiscard]] int give_back_sem(int semid, int index);
[[nodiscard]] int give_back_binary_sem(int semid);

#endif
