// qz7310-sim: a QZ-7310 counter on a pseudo-terminal, for demos and tests.

#include "counter.h"
#include "device.h"
#include "line.h"
#include "options.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using qzsim::Clock;
using namespace std::chrono_literals;

constexpr std::array StopSignals{SIGINT, SIGTERM, SIGHUP};
// With nobody on the device, how often we look for the next client.
constexpr Clock::duration ClientLookInterval = 20ms;
constexpr std::size_t ReadChunk = 256;

volatile std::sig_atomic_t g_stopSignal = 0;

void onStopSignal(int signal) { g_stopSignal = signal; }

// Stop signals are taken only inside ppoll, so none is lost between a check and a
// wait: they stay blocked, and the mask returned lets them through for ppoll.
sigset_t takeStopSignals()
{
    sigset_t stopSignals, waitMask;
    sigemptyset(&stopSignals);
    for (int s : StopSignals)
        sigaddset(&stopSignals, s);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    for (int s : StopSignals)
        sigdelset(&waitMask, s);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (int s : StopSignals)
        sigaction(s, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return waitMask;
}

const char *signalName(int signal)
{
    return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP";
}

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

// What one ppoll waits for: standard input when it is watched, the device while a
// client has it open, and how long at most.
struct Wait
{
    std::array<pollfd, 2> fds{};
    nfds_t count = 0;
    int stdinSlot = -1;
    int masterSlot = -1;
    std::optional<Clock::duration> timeout; // none: until something happens

    int add(int fd, short events)
    {
        fds[count] = {fd, events, 0};
        return static_cast<int>(count++);
    }
    short revents(int slot) const { return slot >= 0 ? fds[slot].revents : 0; }
};

// Waits with the stop signals let through; ppoll's result, errno as it left it.
int waitFor(Wait &wait, const sigset_t &waitMask)
{
    timespec timeout{};
    if (wait.timeout) {
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*wait.timeout).count();
        timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    }
    return ::ppoll(wait.fds.data(), wait.count, wait.timeout ? &timeout : nullptr, &waitMask);
}

// Why serving ended.
enum class Stop { Signal, StdinClosed, PollFailed };

// The counter behind the device: notices clients coming and going, reads their
// commands and sends the answers down the paced line.
class Server
{
public:
    Server(const qzsim::Options &options, const qzsim::Terminal &terminal)
        : m_options(options)
        , m_master(terminal.master)
        , m_device(terminal.device)
        , m_watchStdin(isPipeOrSocket(STDIN_FILENO))
        , m_start(Clock::now())
        , m_counter(options.records, options.seed)
        , m_line(options.fast)
    {
    }

    // Serves until a stop signal, the end of a watched standard input, or a failed poll.
    Stop serve(const sigset_t &waitMask)
    {
        while (g_stopSignal == 0) {
            const Clock::time_point now = Clock::now();
            lookForClient();
            Wait wait = nextWait(now);
            int ready = waitFor(wait, waitMask);
            if (ready < 0 && errno != EINTR) {
                std::fprintf(stderr, "qz7310-sim: poll failed: %s\n", std::strerror(errno));
                return Stop::PollFailed;
            }
            if (ready > 0 && wait.revents(wait.stdinSlot) != 0 && stdinEnded())
                return Stop::StdinClosed;
            if (ready > 0)
                onDeviceEvents(wait.revents(wait.masterSlot));
            if (m_connected && m_line.pending() && !m_writeBlocked)
                sendDue();
        }
        return Stop::Signal;
    }

    void logStop(Stop stop) const
    {
        if (g_stopSignal != 0)
            log(std::string("stopped by ") + signalName(g_stopSignal));
        else if (stop == Stop::StdinClosed)
            log("standard input closed; stopping");
    }

private:
    void log(const std::string &text) const
    {
        if (m_options.log)
            std::fprintf(stderr, "qz7310-sim: %s\n", text.c_str());
    }

    // The master stops reporting a hang-up once a client has opened the device.
    void lookForClient()
    {
        if (m_connected)
            return;
        pollfd probe{m_master, POLLIN, 0};
        bool hungUp = ::poll(&probe, 1, 0) > 0 && (probe.revents & POLLHUP) != 0 && (probe.revents & POLLIN) == 0;
        if (!hungUp) {
            m_connected = true;
            log("client opened the device");
        }
    }

    Wait nextWait(Clock::time_point now) const
    {
        Wait wait;
        if (m_watchStdin)
            wait.stdinSlot = wait.add(STDIN_FILENO, POLLIN);
        // With nobody on the device the master hangs up at once and for good, so
        // it is not polled then; a short timer looks for the next client.
        if (!m_connected) {
            wait.timeout = ClientLookInterval;
            return wait;
        }
        short events = POLLIN;
        if (m_line.pending() && m_writeBlocked)
            events |= POLLOUT;
        else if (m_line.pending())
            wait.timeout = m_line.untilDue(now);
        wait.masterSlot = wait.add(m_master, events);
        return wait;
    }

    // Standard input is only watched for its end; what comes in is thrown away.
    bool stdinEnded()
    {
        char discard[ReadChunk];
        ssize_t n = ::read(STDIN_FILENO, discard, sizeof discard);
        return n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN);
    }

    void onDeviceEvents(short revents)
    {
        if (revents & POLLOUT)
            m_writeBlocked = false;
        if (revents & (POLLIN | POLLHUP | POLLERR))
            readCommands();
    }

    // Reads everything there is; a hang-up shows as EIO once it is read.
    void readCommands()
    {
        for (;;) {
            char bytes[ReadChunk];
            ssize_t n = ::read(m_master, bytes, sizeof bytes);
            if (n > 0) {
                feed(std::string_view(bytes, static_cast<std::size_t>(n)));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            lostClient(); // EIO: the last client closed the device
            return;
        }
    }

    void feed(std::string_view bytes)
    {
        for (char byte : bytes) {
            if (auto command = m_reader.feed(byte))
                answer(*command);
        }
    }

    void answer(const std::string &command)
    {
        double seconds = std::chrono::duration<double>(Clock::now() - m_start).count();
        std::string reply = qzsim::answer(m_counter, command, m_options.faults, seconds);
        log("received " + printable(command) + ", answering " + std::to_string(reply.size()) + " bytes");
        m_line.queue(reply, Clock::now());
    }

    void sendDue()
    {
        if (!m_line.sendDue(m_master, Clock::now(), m_writeBlocked))
            lostClient();
    }

    void lostClient()
    {
        m_connected = false;
        m_writeBlocked = false;
        m_line.drop();
        m_reader.reset();
        qzsim::discardUnread(m_device);
        log("client closed the device");
    }

    const qzsim::Options &m_options;
    const int m_master;
    const std::string m_device;
    const bool m_watchStdin;
    const Clock::time_point m_start;
    qzsim::Counter m_counter;
    qzsim::CommandReader m_reader;
    qzsim::Line m_line;
    bool m_connected = false;
    bool m_writeBlocked = false;
};

} // namespace

int main(int argc, char **argv)
{
    const qzsim::Options options = qzsim::parseOptions(argc, argv);
    const sigset_t waitMask = takeStopSignals();

    const std::optional<qzsim::Terminal> terminal = qzsim::openTerminal();
    if (!terminal)
        return 1;
    if (!options.link.empty() && !qzsim::makeLink(options.link, terminal->device))
        return 1;
    // The first line names the device; clients wait for it, so it goes out at once.
    std::printf("%s\n", terminal->device.c_str());
    std::fflush(stdout);

    Server server(options, *terminal);
    server.logStop(server.serve(waitMask));

    if (!options.link.empty())
        qzsim::removeLink(options.link, terminal->device);
    ::close(terminal->master);
    return 0;
}
