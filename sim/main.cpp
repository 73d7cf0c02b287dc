// qz7310-sim: a QZ-7310 counter on a pseudo-terminal, for demos and tests.

#include "counter.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
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

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kUsage = R"(Usage: qz7310-sim [--records N] [--seed S] [--fast] [--link PATH] [--log]
                  [--garbage] [--lose-cr K] [--nak] [--stop-after N]

Stands in for a QZ-7310 counter on a pseudo-terminal. Prints the device path
(for example /dev/pts/5) as the first line on standard output, then answers
commands on that device until it is stopped. Clients may open, close and
reopen the device as often as they like; what the counter sends while nobody
has the device open is lost, as on a real line.

Commands, 10 bytes each: STX, word, blank, operand, ETX, CR.
  RDD ALL     one data frame per stored record, in record order
  RDD NOW     one data frame numbered 00 with the current counts
  CLR ALL     ACK CR; the stored records are gone until the next start
  other       STX NAK CR
Bytes before an STX are ignored, an STX starts a command afresh, a CR ends it.

Data frame, 42 bytes:
  STX "D" nn SP c1 SP c2 SP c3 SP c4 SP c5 SP tttttt CR
  nn        record number, 01 upwards; only two digits fit, so record 100
            is sent as 00
  c1 .. c5  the five counts, 5 digits each (0 to 99999)
  tttttt    their sum, 6 digits
Current counts start from fixed values and grow steadily, each channel at its
own rate of 3 to 60 a second (wrapping after 99999).

Options:
  --records N     number of stored records, 0 to 100 (default 36)
  --seed S        seed of the record values, 0 to 2^64-1 (default 7310);
                  the same seed gives the same records
  --fast          send without pacing; by default bytes go out at the line's
                  real rate, 9600 baud 8N1, one byte each 1.0417 ms
  --link PATH     also make PATH a symbolic link to the device; an existing
                  symbolic link is replaced, anything else is left alone (the
                  start fails); the link is removed on exit
  --log           print every command received, and clients coming and going,
                  on standard error
  -h, --help      print this text and exit
      --version   print the version and exit

Faults (they combine; junk and lost CRs first, then --stop-after cuts):
  --garbage       send the junk "xx" CR ahead of every reply frame
  --lose-cr K     leave out the CR of the K-th frame of every reply (K >= 1)
  --nak           answer every command with STX NAK CR (nothing is cleared)
  --stop-after N  send only the first N bytes of every reply (N >= 0); a
                  CLR ALL whose ACK is cut still clears

Stopping: SIGINT, SIGTERM or SIGHUP; or end of file on standard input when
standard input is a pipe or socket (a terminal, /dev/null or a file there is
not watched). Exit status: 0 after a clean stop, 1 when the pseudo-terminal or
the link cannot be made, 2 on a usage error.
)";

struct Options {
    unsigned records = 36;
    std::uint64_t seed = 7310;
    bool fast = false;
    bool log = false;
    std::string link;
    qzsim::Faults faults;
};

[[noreturn]] void usageError(const std::string& message)
{
    std::fprintf(stderr, "qz7310-sim: %s\nTry 'qz7310-sim --help'.\n", message.c_str());
    std::exit(2);
}

template <typename Number>
Number ParseNumber(std::string_view option, std::string_view text, Number low, Number high)
{
    Number value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        usageError(std::string(option) + ": '" + std::string(text) + "' is not a number from "
                   + std::to_string(low) + " to " + std::to_string(high));
    return value;
}

Options parseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view name = arg;
        std::optional<std::string_view> inlineValue;
        if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        auto value = [&]() -> std::string_view {
            if (inlineValue)
                return *inlineValue;
            if (i + 1 >= argc)
                usageError(std::string(name) + " needs a value");
            return argv[++i];
        };
        auto flag = [&] {
            if (inlineValue)
                usageError(std::string(name) + " takes no value");
            return true;
        };
        if (name == "-h" || name == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (name == "--version") {
            flag();
            std::puts("qz7310-sim " QZ_VERSION);
            std::exit(0);
        } else if (name == "--records") {
            options.records = ParseNumber<unsigned>(name, value(), 0, qzsim::kMaxRecords);
        } else if (name == "--seed") {
            options.seed = ParseNumber<std::uint64_t>(name, value(), 0, UINT64_MAX);
        } else if (name == "--fast") {
            options.fast = flag();
        } else if (name == "--log") {
            options.log = flag();
        } else if (name == "--link") {
            options.link = value();
            if (options.link.empty())
                usageError("--link needs a path");
        } else if (name == "--garbage") {
            options.faults.garbage = flag();
        } else if (name == "--lose-cr") {
            options.faults.loseCr = ParseNumber<unsigned>(name, value(), 1, 1000);
        } else if (name == "--nak") {
            options.faults.nak = flag();
        } else if (name == "--stop-after") {
            options.faults.stopAfter = ParseNumber<std::size_t>(name, value(), 0, 1000000);
        } else {
            usageError("unknown option '" + std::string(arg) + "'");
        }
    }
    return options;
}

volatile std::sig_atomic_t g_stopSignal = 0;

void onStopSignal(int signal) { g_stopSignal = signal; }

std::string Printable(std::string_view bytes)
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

// The line towards the client: a byte queue and, unless --fast, the 9600 baud
// clock. Byte k of a burst is due when k + 1 whole characters (10 bits each)
// fit since the burst began, counted on the monotonic clock, so pacing does not
// drift however late the process wakes up; a late wake-up sends what is due.
class Line {
public:
    explicit Line(bool fast) : fast_(fast) {}

    void Queue(std::string_view bytes, Clock::time_point now)
    {
        if (bytes.empty())
            return;
        if (queue_.empty()) {
            burstStart_ = std::max(now, lineFreeAt_);
            sentInBurst_ = 0;
        }
        queue_.insert(queue_.end(), bytes.begin(), bytes.end());
    }

    void Drop() { queue_.clear(); }
    bool Pending() const { return !queue_.empty(); }

    // How long until the next byte may go: zero when it is due already.
    Clock::duration untilDue(Clock::time_point now) const
    {
        if (fast_ || queue_.empty())
            return Clock::duration::zero();
        auto due = Due(sentInBurst_);
        return due > now ? due - now : Clock::duration::zero();
    }

    // Writes what is due. False when the device refuses (client gone).
    bool Send(int fd, Clock::time_point now, bool& blocked)
    {
        blocked = false;
        std::size_t count = queue_.size();
        if (!fast_) {
            count = 0;
            while (count < queue_.size() && Due(sentInBurst_ + count) <= now)
                ++count;
        }
        while (count > 0) {
            char chunk[512];
            std::size_t n = std::min(count, sizeof chunk);
            std::copy_n(queue_.begin(), n, chunk);
            ssize_t written = ::write(fd, chunk, n);
            if (written < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    blocked = true;
                    return true;
                }
                return false;
            }
            queue_.erase(queue_.begin(), queue_.begin() + written);
            sentInBurst_ += static_cast<std::size_t>(written);
            if (!fast_)
                lineFreeAt_ = Due(sentInBurst_ - 1);
            count -= static_cast<std::size_t>(written);
        }
        return true;
    }

private:
    Clock::time_point Due(std::size_t index) const
    {
        // 10 bits a character at 9600 baud, in whole nanoseconds from the burst's start.
        auto ns = static_cast<std::int64_t>(index + 1) * 10'000'000'000LL / 9600;
        return burstStart_ + std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns));
    }

    bool fast_;
    std::deque<char> queue_;
    Clock::time_point burstStart_{};
    Clock::time_point lineFreeAt_{};
    std::size_t sentInBurst_ = 0;
};

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
    Options options = parseOptions(argc, argv);

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
    Line line(options.fast);
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
        line.Drop();
        reader.Reset();
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
            if (line.Pending()) {
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
                            if (auto command = reader.Feed(bytes[i])) {
                                double seconds = std::chrono::duration<double>(Clock::now() - start).count();
                                std::string reply = qzsim::Answer(counter, *command, options.faults, seconds);
                                log("received " + Printable(*command) + ", answering " + std::to_string(reply.size())
                                    + " bytes");
                                line.Queue(reply, Clock::now());
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

        if (connected && line.Pending() && !writeBlocked) {
            if (!line.Send(master, Clock::now(), writeBlocked))
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
