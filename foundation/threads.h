// Thin helpers over glibc's POSIX threads for the C-style core (the block
// reader's read-ahead thread, the file-system list's locks).
//
// Plain pthread_mutex_t / pthread_cond_t are used directly; zero-filled
// (PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER) objects are valid.
// These helpers add what the plain calls lack:
// - mutex kinds: the default glibc mutex is not recursive, so a nested lock
//   deadlocks. Code that relies on re-entering its own lock asks for
//   ZV_MUTEX_RECURSIVE; everything else uses ZV_MUTEX_PLAIN, which in builds
//   without NDEBUG is an error-checking mutex (a nested lock returns EDEADLK
//   at once instead of hanging, so such bugs show up in tests).
// - timed waits against CLOCK_MONOTONIC, so that setting the wall clock
//   neither cuts a wait short nor stretches it. Deadlines are absolute
//   monotonic times made by zv_deadline_after_ms. Any deadline already past
//   gives ETIMEDOUT (callers compare against ETIMEDOUT by name).
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <time.h>

enum zv_mutex_kind {
    ZV_MUTEX_PLAIN,     // not recursive (error-checking in debug builds)
    ZV_MUTEX_RECURSIVE, // the owning thread may lock it again
};

// 0, EINVAL for NULL or an unknown kind, or pthread_mutex_init's error.
int zv_mutex_init(pthread_mutex_t *mutex, zv_mutex_kind kind);

// The current CLOCK_MONOTONIC time plus `ms` (negative values give a deadline
// in the past). Returns 0, or EINVAL for NULL.
int zv_deadline_after_ms(struct timespec *deadline, int64_t ms);

// Waits on `cond` (the caller holds `mutex`) until signalled or until the
// monotonic `deadline`; a NULL deadline waits without limit. Works with any
// condition variable, statically initialised ones included.
// Returns 0 when woken (which may be spurious: re-check the predicate),
// ETIMEDOUT when the deadline passed, EINVAL for a NULL cond or mutex or a
// deadline with nanoseconds outside 0..999999999.
int zv_cond_timedwait(pthread_cond_t *cond, pthread_mutex_t *mutex, const struct timespec *deadline);

// pthread_create with default attributes that refuses NULL arguments with
// EINVAL instead of crashing; other errors as pthread_create reports them.
int zv_thread_create(pthread_t *thread, void *(*routine)(void *), void *argument);
