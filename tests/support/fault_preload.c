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
 *   ZV_FAULT_SIGNAL_AFTER  "1": right after a watched rename succeeded,
 *                          SIGINT is raised in the renaming thread (unblocked
 *                          for that moment), so its handler has run before
 *                          the rename call returns
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static atomic_int g_seen;

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

static void after(const char *newpath, int result)
{
    if (result != 0 || !watched(newpath) || env_number("ZV_FAULT_SIGNAL_AFTER") != 1)
        return;
    const int saved = errno;
    sigset_t interrupt, old;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    pthread_sigmask(SIG_UNBLOCK, &interrupt, &old);
    raise(SIGINT);
    pthread_sigmask(SIG_SETMASK, &old, NULL);
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
