/* A disk that will not sync, for tests. Preloaded (LD_PRELOAD) into the program
 * under test, it makes fsync fail with EIO on regular files when QZ_FAIL_SYNC is
 * "file" (fdatasync too), on folders when it is "folder"; with "close", closing the writer's
 * temporary file (.qz7310-*) fails with EIO after the real close, as NFS reports a
 * failed write there. Everything else goes to the real call. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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

int fsync(int fd)
{
    static int (*real)(int);
    if (!real)
        real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
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
