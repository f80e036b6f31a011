#include "semctrl/semctrl.h"

#include "log/rl_log.h"

#include <errno.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <time.h>

namespace {

// IPC_CREAT | IPC_EXCL | 0666 (0x7B6) and 0666: the values the other
// processes use too.
constexpr int kCreateFlags = IPC_CREAT | IPC_EXCL | 0666;
constexpr int kLookupFlags = 0666;

// The C library leaves this to the caller.
union semun {
    int val;
    struct semid_ds *buf;
    unsigned short *array;
};

bool bad_id(int semid)
{
    if (semid >= 0)
        return false;
    errno = EINVAL;
    return true;
}

// One semop on one semaphore. sem_num is 16 bits wide; an index that does
// not fit would otherwise wrap onto another semaphore of the set, so it is
// refused the way the kernel refuses an index beyond the set.
int sem_op_one(int semid, int index, short op, short flags)
{
    if (bad_id(semid))
        return -1;
    if (index < 0 || index > 0xFFFF) {
        errno = EFBIG;
        return -1;
    }
    struct sembuf sb;
    sb.sem_num = static_cast<unsigned short>(index);
    sb.sem_op = op;
    sb.sem_flg = flags;
    return semop(semid, &sb, 1);
}

} // namespace

void show_semctrl_version(void)
{
    rl_log_info("\nInit %s, Version %s, Build at %s %s\n", "semctrl", "1.0.0.2", "Jun 23 2021",
                "05:55:59");
}

int sem_create_private(int count) { return semget(IPC_PRIVATE, count, kCreateFlags); }

int binary_sem_create_private(void)
{
    int semid = sem_create_private(1);
    // Identifier 0 is a valid set (the first one of an IPC namespace gets
    // it), so only a negative result is a failure.
    if (semid < 0)
        return semid;
    if (binary_sem_set_value(semid) == -1)
        return -1;
    return semid;
}

int sem_create_key(int count, key_t key)
{
    int semid = semget(key, count, kCreateFlags);
    if (semid == -1 && errno == EEXIST)
        return get_sem_by_key(key);
    return semid;
}

int binary_sem_create_key(key_t key)
{
    // An existing set keeps its value: a lock another process holds must
    // survive our start-up.
    int semid = get_sem_by_key(key);
    if (semid != -1)
        return semid;
    // Not atomic against a second creator; the loser gets EEXIST here and
    // reports -1 rather than guessing at the winner's state.
    semid = semget(key, 1, kCreateFlags);
    if (semid == -1)
        return -1;
    if (binary_sem_set_value(semid) == -1)
        return -1;
    return semid;
}

int get_sem_by_key(key_t key) { return semget(key, 0, kLookupFlags); }

int sem_free(int semid)
{
    if (bad_id(semid))
        return -1;
    return semctl(semid, 0, IPC_RMID);
}

int sem_set_value(int semid, int index, int value)
{
    if (bad_id(semid))
        return -1;
    union semun arg;
    arg.val = value;
    return semctl(semid, index, SETVAL, arg);
}

int binary_sem_set_value(int semid) { return sem_set_value(semid, 0, 1); }

int set_sem_values(int semid, const unsigned short *values)
{
    if (bad_id(semid))
        return -1;
    union semun arg;
    // SETALL only reads the array.
    arg.array = const_cast<unsigned short *>(values);
    return semctl(semid, 0, SETALL, arg);
}

int try_lock_sem(int semid, int index) { return sem_op_one(semid, index, -1, IPC_NOWAIT); }

int try_lock_binary_sem(int semid) { return try_lock_sem(semid, 0); }

int lock_sem(int semid, int index) { return sem_op_one(semid, index, -1, SEM_UNDO); }

int lock_binary_sem(int semid) { return lock_sem(semid, 0); }

int lock_binary_sem_timed(int semid, unsigned int milliseconds)
{
    if (bad_id(semid))
        return -1;
    struct sembuf sb = {0, -1, SEM_UNDO};
    struct timespec limit;
    limit.tv_sec = static_cast<time_t>(milliseconds / 1000);
    limit.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    // semtimedop gives up with the whole limit again after a signal; a
    // signal here ends the program anyway.
    int r;
    while ((r = semtimedop(semid, &sb, 1, &limit)) != 0 && errno == EINTR) {
    }
    return r;
}

int unlock_sem(int semid, int index) { return sem_op_one(semid, index, 1, SEM_UNDO); }

int unlock_binary_sem(int semid) { return unlock_sem(semid, 0); }

int give_back_sem(int semid, int index) { return sem_op_one(semid, index, 1, 0); }

int give_back_binary_sem(int semid) { return give_back_sem(semid, 0); }
