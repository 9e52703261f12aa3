/* Faults put into the zorvant program by the tests of the program, loaded
 * with LD_PRELOAD into a child run: the renames onto one file name, as the
 * program makes them, fail or are followed by Ctrl-C at the very moment a
 * test needs, which no timing from outside could hit every time.
 *
 * Set in the child's environment:
 *   ZV_FAULT_RENAME_NAME   the last component of the new name watched
 *                          ("context", "cards.zvscan"); nothing else is touched
 *   ZV_FAULT_RENAME_PASS   how many watched renames go through first (0)
 *   ZV_FAULT_RENAME_ERRNO  the errno every later watched rename fails with,
 *                          nothing renamed (unset or 0: none fails)
 *   ZV_FAULT_SIGNAL_AFTER  N: right after the Nth watched rename that
 *                          succeeded, SIGINT is sent to the process, and the
 *                          rename call returns once the program has taken it
 *   ZV_FAULT_SHUT_DOWN     1: right after a watched rename that succeeded,
 *                          the ext4 file system holding the new name is shut
 *                          down without flushing its journal, so every later
 *                          fsync on it (the folder's) fails with EIO
 *
 * A card whose failed reads are slow, at no cost to the test: every pread
 * of a file named ZV_FAULT_SLOW_NAME (its last component) that fails moves
 * the process's monotonic clock forward by ZV_FAULT_SLOW_MS milliseconds,
 * as if the read had taken that long. Timed waits on that clock keep their
 * real length (their deadlines are moved back by as much), except in a
 * thread whose last pread of that file failed: there a wait lasts at most
 * a millisecond, and a wait that ends by its time moves the clock on to its
 * deadline (a pause after a slow read passes at once).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

static atomic_int g_seen;
static atomic_int g_done;

static int watched(const char *newpath)
{
    const char *name = getenv("ZV_FAULT_RENAME_NAME");
    if (name == NULL || name[0] == '\0' || newpath == NULL)
        return 0;
    const char *slash = strrchr(newpath, '/');
    return strcmp(slash != NULL ? slash + 1 : newpath, name) == 0;
}

static int env_number(const char *name)
{
    const char *value = getenv(name);
    return value != NULL ? atoi(value) : 0;
}

/* Before a watched rename: the errno it is to fail with, or 0. */
static int fault_before(const char *newpath)
{
    if (!watched(newpath))
        return 0;
    const int seen = atomic_fetch_add(&g_seen, 1);
    return seen >= env_number("ZV_FAULT_RENAME_PASS") ? env_number("ZV_FAULT_RENAME_ERRNO") : 0;
}

/* Whether SIGINT is still pending for the process or one of its threads
 * (the status lines of /proc/self: ShdPnd for the process, SigPnd for the
 * thread reading). */
static int interrupt_pending(void)
{
    char line[256];
    FILE *status = fopen("/proc/self/status", "r");
    if (status == NULL)
        return 0;
    int pending = 0;
    while (fgets(line, sizeof line, status) != NULL)
        if (strncmp(line, "SigPnd:", 7) == 0 || strncmp(line, "ShdPnd:", 7) == 0)
            pending |= (strtoull(line + 7, NULL, 16) >> (SIGINT - 1)) & 1;
    fclose(status);
    return pending;
}

/* The ext4 file system holding newpath shut down (EXT4_IOC_SHUTDOWN) without
 * flushing its journal (EXT4_GOING_FLAGS_NOLOGFLUSH); a shutdown that fails
 * ends the run with SIGABRT, which the test sees. */
static void shut_down(int newdirfd, const char *newpath)
{
    const int saved = errno;
    const int fd = openat(newdirfd, newpath, O_RDONLY | O_CLOEXEC);
    uint32_t no_log_flush = 2;
    if (fd < 0 || ioctl(fd, _IOR('X', 125, uint32_t), &no_log_flush) != 0)
        abort();
    close(fd);
    errno = saved;
}

/* After a rename: a watched one that went through shuts its file system
 * down (ZV_FAULT_SHUT_DOWN), and the Nth sends Ctrl-C as the terminal gives
 * it: to the process, whose signal thread takes it. The renaming thread
 * goes on only once the signal has been taken (no longer pending) and its
 * handler has had time to run, so the program knows of it before anything
 * it learns from the rename. Waits at most 10 s. */
static void after(int newdirfd, const char *newpath, int result)
{
    if (result == 0 && watched(newpath) && env_number("ZV_FAULT_SHUT_DOWN") != 0)
        shut_down(newdirfd, newpath);
    if (result != 0 || !watched(newpath) || atomic_fetch_add(&g_done, 1) + 1 != env_number("ZV_FAULT_SIGNAL_AFTER"))
        return;
    const int saved = errno;
    kill(getpid(), SIGINT);
    const struct timespec pause = {0, 1000000};
    for (int i = 0; i < 10000 && interrupt_pending(); i++)
        nanosleep(&pause, NULL);
    const struct timespec settle = {0, 50000000};
    nanosleep(&settle, NULL);
    errno = saved;
}

int rename(const char *oldpath, const char *newpath)
{
    static int (*real)(const char *, const char *);
    if (real == NULL)
        real = (int (*)(const char *, const char *))dlsym(RTLD_NEXT, "rename");
    const int fault = fault_before(newpath);
    if (fault != 0) {
        errno = fault;
        return -1;
    }
    const int result = real(oldpath, newpath);
    after(AT_FDCWD, newpath, result);
    return result;
}

int renameat(int olddirfd, const char *oldpath, int newdirfd, const char *newpath)
{
    static int (*real)(int, const char *, int, const char *);
    if (real == NULL)
        real = (int (*)(int, const char *, int, const char *))dlsym(RTLD_NEXT, "renameat");
    const int fault = fault_before(newpath);
    if (fault != 0) {
        errno = fault;
        return -1;
    }
    const int result = real(olddirfd, oldpath, newdirfd, newpath);
    after(newdirfd, newpath, result);
    return result;
}

int renameat2(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, unsigned int flags)
{
    static int (*real)(int, const char *, int, const char *, unsigned int);
    if (real == NULL)
        real = (int (*)(int, const char *, int, const char *, unsigned int))dlsym(RTLD_NEXT, "renameat2");
    const int fault = fault_before(newpath);
    if (fault != 0) {
        errno = fault;
        return -1;
    }
    const int result = real(olddirfd, oldpath, newdirfd, newpath, flags);
    after(newdirfd, newpath, result);
    return result;
}

/* --- slow failed reads ------------------------------------------------------------- */

static atomic_llong g_clock_shift;   /* nanoseconds added to CLOCK_MONOTONIC */
static __thread int t_last_read_failed;

static long long real_monotonic_ns(void)
{
    static int (*real)(clockid_t, struct timespec *);
    if (real == NULL)
        real = (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
    struct timespec now;
    real(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

int clock_gettime(clockid_t clock, struct timespec *tp)
{
    static int (*real)(clockid_t, struct timespec *);
    if (real == NULL)
        real = (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
    const int result = real(clock, tp);
    const long long shift = atomic_load(&g_clock_shift);
    if (result == 0 && clock == CLOCK_MONOTONIC && shift != 0) {
        const long long ns = tp->tv_nsec + shift % 1000000000LL;
        tp->tv_sec += (time_t)(shift / 1000000000LL + ns / 1000000000LL);
        tp->tv_nsec = (long)(ns % 1000000000LL);
    }
    return result;
}

/* Whether fd is open on the file named ZV_FAULT_SLOW_NAME. */
static int slow_file(int fd)
{
    const char *name = getenv("ZV_FAULT_SLOW_NAME");
    if (name == NULL || name[0] == '\0' || env_number("ZV_FAULT_SLOW_MS") <= 0)
        return 0;
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return 0;
    target[n] = '\0';
    const char *slash = strrchr(target, '/');
    return strcmp(slash != NULL ? slash + 1 : target, name) == 0;
}

static ssize_t after_read(int fd, ssize_t result)
{
    if (result > 0) {
        t_last_read_failed = 0;
    } else if (result < 0) {
        const int saved = errno;
        if (slow_file(fd)) {
            atomic_fetch_add(&g_clock_shift, (long long)env_number("ZV_FAULT_SLOW_MS") * 1000000LL);
            t_last_read_failed = 1;
        }
        errno = saved;
    }
    return result;
}

ssize_t pread(int fd, void *buffer, size_t count, off_t offset)
{
    static ssize_t (*real)(int, void *, size_t, off_t);
    if (real == NULL)
        real = (ssize_t (*)(int, void *, size_t, off_t))dlsym(RTLD_NEXT, "pread");
    return after_read(fd, real(fd, buffer, count, offset));
}

ssize_t pread64(int fd, void *buffer, size_t count, off_t offset)
{
    static ssize_t (*real)(int, void *, size_t, off_t);
    if (real == NULL)
        real = (ssize_t (*)(int, void *, size_t, off_t))dlsym(RTLD_NEXT, "pread64");
    return after_read(fd, real(fd, buffer, count, offset));
}

int pthread_cond_clockwait(pthread_cond_t *cond, pthread_mutex_t *mutex, clockid_t clock,
                           const struct timespec *deadline)
{
    static int (*real)(pthread_cond_t *, pthread_mutex_t *, clockid_t, const struct timespec *);
    if (real == NULL)
        real = (int (*)(pthread_cond_t *, pthread_mutex_t *, clockid_t, const struct timespec *))dlsym(
            RTLD_NEXT, "pthread_cond_clockwait");
    const long long shift = atomic_load(&g_clock_shift);
    if (clock != CLOCK_MONOTONIC || (shift == 0 && !t_last_read_failed))
        return real(cond, mutex, clock, deadline);
    long long until = (long long)deadline->tv_sec * 1000000000LL + deadline->tv_nsec - shift;
    const long long now = real_monotonic_ns();
    const int passing = t_last_read_failed && until > now + 1000000LL;
    const long long wait_until = passing ? now + 1000000LL : until;
    const struct timespec real_deadline = {(time_t)(wait_until / 1000000000LL), (long)(wait_until % 1000000000LL)};
    const int result = real(cond, mutex, clock, &real_deadline);
    if (result == ETIMEDOUT && passing) {
        const long long left = until - real_monotonic_ns();
        if (left > 0)
            atomic_fetch_add(&g_clock_shift, left);
    }
    return result;
}
