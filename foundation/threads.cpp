// Helpers over glibc's POSIX threads: mutex kinds and monotonic timed waits.
#include "foundation/threads.h"

#include <errno.h>

int zv_mutex_init(pthread_mutex_t *mutex, zv_mutex_kind kind)
{
    if (mutex == nullptr)
        return EINVAL;
    int type;
    switch (kind) {
    case ZV_MUTEX_PLAIN:
#ifdef NDEBUG
        type = PTHREAD_MUTEX_NORMAL;
#else
        type = PTHREAD_MUTEX_ERRORCHECK;
#endif
        break;
    case ZV_MUTEX_RECURSIVE:
        type = PTHREAD_MUTEX_RECURSIVE;
        break;
    default:
        return EINVAL;
    }
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc != 0)
        return rc;
    rc = pthread_mutexattr_settype(&attr, type);
    if (rc == 0)
        rc = pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc;
}

int zv_deadline_after_ms(struct timespec *deadline, int64_t ms)
{
    if (deadline == nullptr)
        return EINVAL;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    // Split first so that the nanosecond sum cannot overflow; floor division
    // keeps tv_nsec in 0..999999999 for negative offsets too.
    int64_t sec = ms / 1000;
    int64_t rem = ms % 1000;
    if (rem < 0) {
        rem += 1000;
        sec -= 1;
    }
    int64_t nsec = now.tv_nsec + rem * 1000000;
    sec += now.tv_sec;
    if (nsec >= 1000000000) {
        nsec -= 1000000000;
        sec += 1;
    }
    deadline->tv_sec = static_cast<time_t>(sec);
    deadline->tv_nsec = static_cast<long>(nsec);
    return 0;
}

int zv_cond_timedwait(pthread_cond_t *cond, pthread_mutex_t *mutex, const struct timespec *deadline)
{
    if (cond == nullptr || mutex == nullptr)
        return EINVAL;
    if (deadline == nullptr)
        return pthread_cond_wait(cond, mutex);
    if (deadline->tv_nsec < 0 || deadline->tv_nsec >= 1000000000)
        return EINVAL;
    // pthread_cond_clockwait picks the clock per call, so conditions made
    // with PTHREAD_COND_INITIALIZER (whose own clock is CLOCK_REALTIME) wait
    // against the monotonic clock as well. A deadline already past returns
    // ETIMEDOUT without sleeping.
    return pthread_cond_clockwait(cond, mutex, CLOCK_MONOTONIC, deadline);
}

int zv_thread_create(pthread_t *thread, void *(*routine)(void *), void *argument)
{
    if (thread == nullptr || routine == nullptr)
        return EINVAL;
    return pthread_create(thread, nullptr, routine, argument);
}
