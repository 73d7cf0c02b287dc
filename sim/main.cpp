// qz7310-sim: a QZ-7310 counter on a pseudo-terminal, for demos and tests.

#include "counter.h"
#include "line.h"
#include "options.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using qzsim::Clock;
using namespace std::chrono_literals;

volatile std::sig_atomic_t g_stopSignal = 0;

void onStopSignal(int signal) { g_stopSignal = signal; }

std::string printable(std::string_view bytes)
{
    std::string text;
    for (unsigned char c : bytes) {
        switch (c) {
        case qzsim::STX: text += "<STX>"; break;
        case qzsim::ETX: text += "<ETX>"; break;
        case qzsim::ACK: text += "<ACK>"; break;
        case qzsim::NAK: text += "<NAK>"; break;
        case qzsim::CR: text += "<CR>"; break;
        default:
            if (c >= 0x20 && c < 0x7F) {
                text += static_cast<char>(c);
            } else {
                char hex[8];
                std::snprintf(hex, sizeof hex, "<%02X>", c);
                text += hex;
            }
        }
    }
    return text;
}

bool isPipeOrSocket(int fd)
{
    struct stat info {};
    return ::fstat(fd, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
}

// A client that closes the device may leave unread bytes in it, written before we
// noticed it had gone; the next client must not get them. Opening the device
// briefly ourselves empties its input.
void discardUnread(const std::string& device)
{
    int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    ::tcflush(fd, TCIFLUSH);
    ::close(fd);
}

bool makeLink(const std::string& link, const std::string& device)
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

void removeLink(const std::string& link, const std::string& device)
{
    // Only our own link: someone may have pointed it elsewhere meanwhile.
    char target[4096];
    ssize_t n = ::readlink(link.c_str(), target, sizeof target);
    if (n >= 0 && std::string_view(target, static_cast<std::size_t>(n)) == device)
        ::unlink(link.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    const qzsim::Options options = qzsim::parseOptions(argc, argv);

    // Stop signals are taken only inside ppoll, so none is lost between a check and a wait.
    sigset_t stopSignals, waitMask;
    sigemptyset(&stopSignals);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stopSignals, s);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigdelset(&waitMask, s);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaction(s, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "qz7310-sim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    const char* name = ::ttyname(slave);
    if (!name) {
        std::fprintf(stderr, "qz7310-sim: pseudo-terminal has no name: %s\n", std::strerror(errno));
        return 1;
    }
    const std::string device = name;
    // Raw for whoever opens the device: no echo, no CR/LF translation, no line editing.
    termios raw {};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::cfsetispeed(&raw, B9600);
    ::cfsetospeed(&raw, B9600);
    ::tcsetattr(slave, TCSANOW, &raw);
    // Not kept open: bytes written while no client has the device open would
    // wait there for the next one. Without a slave, the master reports a hang-up,
    // which is how we tell that nobody listens.
    ::close(slave);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);

    if (!options.link.empty() && !makeLink(options.link, device))
        return 1;

    std::printf("%s\n", device.c_str());
    std::fflush(stdout);

    const bool watchStdin = isPipeOrSocket(STDIN_FILENO);
    const Clock::time_point start = Clock::now();
    qzsim::Counter counter(options.records, options.seed);
    qzsim::CommandReader reader;
    qzsim::Line line(options.fast);
    bool connected = false;
    bool writeBlocked = false;
    bool stdinClosed = false;

    auto log = [&](const std::string& text) {
        if (options.log)
            std::fprintf(stderr, "qz7310-sim: %s\n", text.c_str());
    };
    auto lostClient = [&] {
        connected = false;
        writeBlocked = false;
        line.drop();
        reader.reset();
        discardUnread(device);
        log("client closed the device");
    };
    auto hungUp = [&] {
        pollfd probe{master, POLLIN, 0};
        return ::poll(&probe, 1, 0) > 0 && (probe.revents & POLLHUP) != 0 && (probe.revents & POLLIN) == 0;
    };

    while (g_stopSignal == 0 && !stdinClosed) {
        Clock::time_point now = Clock::now();
        if (!connected && !hungUp()) {
            connected = true;
            log("client opened the device");
        }

        pollfd fds[2];
        nfds_t count = 0;
        int stdinSlot = -1, masterSlot = -1;
        if (watchStdin) {
            stdinSlot = static_cast<int>(count);
            fds[count++] = {STDIN_FILENO, POLLIN, 0};
        }
        // With nobody on the device the master hangs up at once and for good, so
        // it is not polled then; a short timer looks for the next client.
        std::optional<Clock::duration> wait;
        if (connected) {
            masterSlot = static_cast<int>(count);
            short events = POLLIN;
            if (line.pending()) {
                if (writeBlocked)
                    events |= POLLOUT;
                else
                    wait = line.untilDue(now);
            }
            fds[count++] = {master, events, 0};
        } else {
            wait = 20ms;
        }
        timespec timeout{};
        if (wait) {
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*wait).count();
            timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
            timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
        }
        int ready = ::ppoll(fds, count, wait ? &timeout : nullptr, &waitMask);
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "qz7310-sim: poll failed: %s\n", std::strerror(errno));
            break;
        }
        if (ready > 0 && stdinSlot >= 0 && fds[stdinSlot].revents != 0) {
            char discard[256];
            ssize_t n = ::read(STDIN_FILENO, discard, sizeof discard);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                stdinClosed = true;
                break;
            }
        }

        if (ready > 0 && masterSlot >= 0) {
            short revents = fds[masterSlot].revents;
            if (revents & POLLOUT)
                writeBlocked = false;
            if (revents & (POLLIN | POLLHUP | POLLERR)) {
                // Read everything there is; a hang-up shows as EIO once it is read.
                for (;;) {
                    char bytes[256];
                    ssize_t n = ::read(master, bytes, sizeof bytes);
                    if (n > 0) {
                        for (ssize_t i = 0; i < n; ++i) {
                            if (auto command = reader.feed(bytes[i])) {
                                double seconds = std::chrono::duration<double>(Clock::now() - start).count();
                                std::string reply = qzsim::answer(counter, *command, options.faults, seconds);
                                log("received " + printable(*command) + ", answering " + std::to_string(reply.size())
                                    + " bytes");
                                line.queue(reply, Clock::now());
                            }
                        }
                        continue;
                    }
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                        break;
                    lostClient();  // EIO: the last client closed the device
                    break;
                }
            }
        }

        if (connected && line.pending() && !writeBlocked) {
            if (!line.sendDue(master, Clock::now(), writeBlocked))
                lostClient();
        }
    }

    if (g_stopSignal != 0)
        log(std::string("stopped by ") + (g_stopSignal == SIGINT ? "SIGINT" : g_stopSignal == SIGTERM ? "SIGTERM" : "SIGHUP"));
    else if (stdinClosed)
        log("standard input closed; stopping");
    if (!options.link.empty())
        removeLink(options.link, device);
    ::close(master);
    return 0;
}
