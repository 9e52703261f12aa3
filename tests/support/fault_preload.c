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
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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

/* Ctrl-C as the terminal gives it: to the process, whose signal thread
 * takes it. The renaming thread goes on only once the signal has been taken
 * (no longer pending) and its handler has had time to run, so the program
 * knows of it before anything it learns from the rename. Waits at most
 * 10 s. */
static void after(const char *newpath, int result)
{
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
    after(newpath, result);
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
    after(newpath, result);
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
    after(newpath, result);
    return result;
}
