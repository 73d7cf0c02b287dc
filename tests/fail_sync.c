/* A disk that will not sync, for tests. Preloaded (LD_PRELOAD) into the program
 * under test, it makes fsync fail with EIO on regular files when QZ_FAIL_SYNC is
 * "file", on folders when it is "folder"; everything else goes to the real call. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int fsync(int fd)
{
    static int (*real)(int);
    if (!real)
        real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    const char *which = getenv("QZ_FAIL_SYNC");
    struct stat info;
    if (which && fstat(fd, &info) == 0
        && ((strcmp(which, "file") == 0 && S_ISREG(info.st_mode))
            || (strcmp(which, "folder") == 0 && S_ISDIR(info.st_mode)))) {
        errno = EIO;
        return -1;
    }
    return real(fd);
}
