#include "device.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace qzsim {

namespace {

// Raw for whoever opens the device: no echo, no CR/LF translation, no line editing.
void makeRaw(int fd)
{
    termios raw {};
    ::tcgetattr(fd, &raw);
    ::cfmakeraw(&raw);
    ::cfsetispeed(&raw, B9600);
    ::cfsetospeed(&raw, B9600);
    ::tcsetattr(fd, TCSANOW, &raw);
}

} // namespace

std::optional<Terminal> openTerminal()
{
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "qz7310-sim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        return std::nullopt;
    }
    const char *name = ::ttyname(slave);
    if (!name) {
        std::fprintf(stderr, "qz7310-sim: pseudo-terminal has no name: %s\n", std::strerror(errno));
        ::close(slave);
        ::close(master);
        return std::nullopt;
    }
    Terminal terminal{master, name};
    makeRaw(slave);
    // Not kept open: bytes written while no client has the device open would
    // wait there for the next one. Without a slave, the master reports a hang-up,
    // which is how we tell that nobody listens.
    ::close(slave);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    return terminal;
}

// A client that closes the device may leave unread bytes in it, written before we
// noticed it had gone; the next client must not get them. Opening the device
// briefly ourselves empties its input.
void discardUnread(const std::string &device)
{
    int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    ::tcflush(fd, TCIFLUSH);
    ::close(fd);
}

bool makeLink(const std::string &link, const std::string &device)
{
    struct stat info {};
    if (::lstat(link.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
        std::fprintf(stderr, "qz7310-sim: %s exists and is not a symbolic link; left alone\n", link.c_str());
        return false;
    }
    // Made beside it and renamed over it, so an existing link is replaced in one step.
    std::string temporary = link + ".qz7310-sim." + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(device.c_str(), temporary.c_str()) != 0 || ::rename(temporary.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "qz7310-sim: cannot make link %s: %s\n", link.c_str(), std::strerror(errno));
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

void removeLink(const std::string &link, const std::string &device)
{
    // Only our own link: someone may have pointed it elsewhere meanwhile.
    char target[PATH_MAX];
    ssize_t n = ::readlink(link.c_str(), target, sizeof target);
    if (n >= 0 && std::string_view(target, static_cast<std::size_t>(n)) == device)
        ::unlink(link.c_str());
}

} // namespace qzsim
