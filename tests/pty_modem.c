/* Modem lines for pseudo-terminals, for tests. Preloaded (LD_PRELOAD) into the
 * program under test, it gives each pseudo-terminal the program opens a set of
 * output lines (RTS, DTR), all low at open, that the modem-line ioctls (TIOCMGET,
 * TIOCMSET, TIOCMBIS, TIOCMBIC) read and change, as on a serial port. When
 * QZ_MODEM_LOG names a file, each open, line request, write and close on such a
 * device is appended to it, one line each, in the order they happened:
 *
 *     <CLOCK_MONOTONIC ns> <device as opened> <event> rts=<0|1> dtr=<0|1> [<hex bytes>]
 *
 * where event is open, close, write, TIOCMSET, TIOCMBIS or TIOCMBIC, and the lines
 * are their state after it. Every other file, real serial ports included, goes
 * straight to the real calls. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

enum { MaxFd = 1024, PtySlaveMajorFirst = 136, PtySlaveMajorLast = 143, MaxLoggedBytes = 256 };

struct Line
{
    char device[256];
    int bits; /* TIOCM_RTS | TIOCM_DTR */
};

static struct Line lines[MaxFd];
static atomic_bool tracked[MaxFd];
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int logFd = -2; /* -2: not opened yet, -1: no log */

typedef int (*OpenFn)(const char *, int, ...);
typedef int (*CloseFn)(int);
typedef int (*IoctlFn)(int, unsigned long, ...);
typedef ssize_t (*WriteFn)(int, const void *, size_t);

static OpenFn realOpen, realOpen64;
static CloseFn realClose;
static IoctlFn realIoctl;
static WriteFn realWrite;

static void *real(const char *name)
{
    void *f = dlsym(RTLD_NEXT, name);
    if (!f)
        abort();
    return f;
}

/* At load; a call that comes earlier, from another library's start-up, gets here first. */
__attribute__((constructor)) static void resolve(void)
{
    if (realWrite)
        return;
    realOpen = (OpenFn)real("open");
    realOpen64 = (OpenFn)real("open64");
    realClose = (CloseFn)real("close");
    realIoctl = (IoctlFn)real("ioctl");
    realWrite = (WriteFn)real("write");
}

/* Called with the lock held. */
static void logEvent(int fd, const char *event, const unsigned char *bytes, size_t count)
{
    if (logFd == -2) {
        const char *path = getenv("QZ_MODEM_LOG");
        logFd = path && *path ? realOpen64(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
    }
    if (logFd < 0)
        return;

    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char text[512 + 3 * MaxLoggedBytes];
    int n = snprintf(text, 512, "%lld%09ld %s %s rts=%d dtr=%d", (long long)now.tv_sec, now.tv_nsec,
                     lines[fd].device, event, !!(lines[fd].bits & TIOCM_RTS),
                     !!(lines[fd].bits & TIOCM_DTR));
    if (n < 0 || n >= 512)
        return;
    if (count > 0)
        text[n++] = ' ';
    for (size_t i = 0; i < count && i < MaxLoggedBytes; ++i)
        n += sprintf(text + n, i ? " %02x" : "%02x", bytes[i]);
    if (count > MaxLoggedBytes)
        n += sprintf(text + n, " ...");
    text[n++] = '\n';
    realWrite(logFd, text, (size_t)n);
}

static int isTracked(int fd)
{
    return fd >= 0 && fd < MaxFd && atomic_load(&tracked[fd]);
}

static int opened(int fd, const char *path)
{
    struct stat st;
    if (fd < 0 || fd >= MaxFd || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)
        || major(st.st_rdev) < PtySlaveMajorFirst || major(st.st_rdev) > PtySlaveMajorLast)
        return fd;
    pthread_mutex_lock(&lock);
    snprintf(lines[fd].device, sizeof lines[fd].device, "%s", path);
    lines[fd].bits = 0;
    atomic_store(&tracked[fd], 1);
    logEvent(fd, "open", NULL, 0);
    pthread_mutex_unlock(&lock);
    return fd;
}

static mode_t modeOf(int flags, va_list args)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(args, int) : 0;
}

int open(const char *path, int flags, ...)
{
    resolve();
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    return opened(realOpen(path, flags, mode), path);
}

int open64(const char *path, int flags, ...)
{
    resolve();
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    return opened(realOpen64(path, flags, mode), path);
}

int close(int fd)
{
    resolve();
    if (isTracked(fd)) {
        pthread_mutex_lock(&lock);
        logEvent(fd, "close", NULL, 0);
        atomic_store(&tracked[fd], 0);
        pthread_mutex_unlock(&lock);
    }
    return realClose(fd);
}

int ioctl(int fd, unsigned long request, ...)
{
    resolve();
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);

    const char *event = request == TIOCMSET ? "TIOCMSET"
                      : request == TIOCMBIS ? "TIOCMBIS"
                      : request == TIOCMBIC ? "TIOCMBIC"
                      : request == TIOCMGET ? "TIOCMGET" : NULL;
    if (!event || !isTracked(fd))
        return realIoctl(fd, request, arg);

    int *value = arg;
    const int outputs = TIOCM_RTS | TIOCM_DTR;
    pthread_mutex_lock(&lock);
    if (request == TIOCMGET) {
        *value = lines[fd].bits;
    } else {
        if (request == TIOCMSET)
            lines[fd].bits = *value & outputs;
        else if (request == TIOCMBIS)
            lines[fd].bits |= *value & outputs;
        else
            lines[fd].bits &= ~(*value & outputs);
        logEvent(fd, event, NULL, 0);
    }
    pthread_mutex_unlock(&lock);
    return 0;
}

ssize_t write(int fd, const void *bytes, size_t count)
{
    resolve();
    const ssize_t written = realWrite(fd, bytes, count);
    if (written > 0 && isTracked(fd)) {
        pthread_mutex_lock(&lock);
        logEvent(fd, "write", bytes, (size_t)written);
        pthread_mutex_unlock(&lock);
    }
    return written;
}
