/* A disk that will not sync, for tests. Preloaded (LD_PRELOAD) into the program
 * under test, it makes fsync fail with EIO on regular files when QZ_FAIL_SYNC is
 * "file" (fdatasync too), on folders when it is "folder"; with "close", closing the writer's
 * temporary file (.qz7310-*) fails with EIO after the real close, as NFS reports a
 * failed write there. QZ_SLOW_SYNC=MS makes every fsync of a regular file take MS
 * milliseconds longer (a slow disk, for a signal to arrive in); QZ_SLOW_RENAME=MS does
 * the same to rename (two writers meeting between a check and a rename). Everything
 * else goes to the real call. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/stat.h>
#include <unistd.h>

static int fails(int fd)
{
    const char *which = getenv("QZ_FAIL_SYNC");
    struct stat info;
    return which && fstat(fd, &info) == 0
           && ((strcmp(which, "file") == 0 && S_ISREG(info.st_mode))
               || (strcmp(which, "folder") == 0 && S_ISDIR(info.st_mode)));
}

static void slow(const char *variable)
{
    const char *ms = getenv(variable);
    if (ms) {
        const long n = atol(ms);
        const struct timespec wait = {n / 1000, (n % 1000) * 1000000L};
        /* A signal's handler runs and the wait goes on, as a disk's would. */
        struct timespec left = wait;
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
    }
}

int rename(const char *from, const char *to)
{
    static int (*real)(const char *, const char *);
    if (!real)
        real = (int (*)(const char *, const char *))dlsym(RTLD_NEXT, "rename");
    slow("QZ_SLOW_RENAME");
    return real(from, to);
}

int fsync(int fd)
{
    static int (*real)(int);
    if (!real)
        real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
        slow("QZ_SLOW_SYNC");
    if (fails(fd)) {
        errno = EIO;
        return -1;
    }
    return real(fd);
}

/* SQLite syncs its files this way. */
int fdatasync(int fd)
{
    static int (*real)(int);
    if (!real)
        real = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    if (fails(fd)) {
        errno = EIO;
        return -1;
    }
    return real(fd);
}

int close(int fd)
{
    static int (*real)(int);
    if (!real)
        real = (int (*)(int))dlsym(RTLD_NEXT, "close");
    const char *which = getenv("QZ_FAIL_SYNC");
    int fails = 0;
    if (which && strcmp(which, "close") == 0) {
        char link[64], name[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const ssize_t n = readlink(link, name, sizeof name - 1);
        if (n > 0) {
            name[n] = 0;
            const char *base = strrchr(name, '/');
            fails = base && strncmp(base + 1, ".qz7310-", 8) == 0;
        }
    }
    const int result = real(fd);
    if (fails) {
        errno = EIO;
        return -1;
    }
    return result;
}
