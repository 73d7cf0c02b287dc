// A line that never stops: a device server's port sending as fast as it goes, taken by
// the window (offscreen) on the network line the program holds. What it costs: the
// window's peak resident memory above where it stood before the flood, and the longest
// gap between two ticks of a timer on its event loop while the bytes come in.

#include "bench_support.h"

#include "frm_main.h"
#include "line/line_comm_control.h"
#include "line/module1.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr qint64 FloodBytes = 200'000'000;
constexpr int TickMs = 10;

// What the device server sends, over and over: read-outs of 100 records, so the
// framing, the verdicts and the table (full after the first) all have their work.
QByteArray floodPattern()
{
    const QByteArray readout = readoutStream(100);
    QByteArray pattern;
    while (pattern.size() < 1024 * 1024)
        pattern += readout;
    return pattern;
}

// The peak resident memory starts again from the present (Linux: clear_refs 5).
bool resetPeakResident()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    return f.open(QIODevice::WriteOnly) && f.write("5") == 1;
}

std::int64_t peakResidentBytes()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return 0;
}

// One connection, FloodBytes sent as fast as the other end takes them, then left open.
class FloodServer
{
public:
    FloodServer()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr *>(&a), len) != 0
            || ::listen(m_listener, 1) != 0 || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            return;
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] {
            const QByteArray pattern = floodPattern();
            m_peer = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            for (qint64 sent = 0; m_peer >= 0 && sent < FloodBytes;) {
                const qint64 at = sent % pattern.size();
                const size_t n = size_t(std::min(pattern.size() - at, FloodBytes - sent));
                const ssize_t done = ::send(m_peer, pattern.constData() + at, n, MSG_NOSIGNAL);
                if (done <= 0)
                    break;
                sent += done;
            }
        });
    }
    ~FloodServer()
    {
        ::shutdown(m_listener, SHUT_RDWR);
        if (m_peer >= 0)
            ::shutdown(m_peer, SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
        if (m_peer >= 0)
            ::close(m_peer);
        if (m_listener >= 0)
            ::close(m_listener);
    }
    int port() const { return m_port; }

private:
    int m_listener = -1;
    std::atomic<int> m_peer {-1};
    int m_port = 0;
    std::thread m_thread;
};

void BM_Flood(benchmark::State &st)
{
    for (auto _ : st) {
        FloodServer server;
        if (server.port() == 0) {
            st.SkipWithError("no listening socket");
            return;
        }
        qputenv("QZ7310_COM1", QByteArray("tcp://127.0.0.1:") + QByteArray::number(server.port()));
        Module1 state;
        LineCommControl port;
        qint64 received = 0;
        QObject::connect(&port, &CommControl::OnComm, &port, [&] {
            if (port.CommEvent() == CommControl::EventReceive)
                ++received;
        });
        frmMain window(state, port, [] {});
        window.show();
        QApplication::processEvents();
        if (!port.portOpen()) {
            qunsetenv("QZ7310_COM1");
            st.SkipWithError("the window did not open the network line");
            return;
        }

        // Ticks count only while bytes come in.
        QElapsedTimer sinceTick;
        qint64 longestGapNs = 0;
        QTimer tick;
        tick.setTimerType(Qt::PreciseTimer);
        QObject::connect(&tick, &QTimer::timeout, [&] {
            if (received > 0 && received < FloodBytes && sinceTick.isValid())
                longestGapNs = std::max(longestGapNs, sinceTick.nsecsElapsed());
            sinceTick.start();
        });
        const std::int64_t before = residentBytes();
        const bool peakReset = resetPeakResident();
        QElapsedTimer took;
        took.start();
        tick.start(TickMs);
        const bool all = pumpUntil([&] { return received >= FloodBytes; }, 900'000);
        const double seconds = double(took.nsecsElapsed()) / 1e9;
        tick.stop();
        const std::int64_t peak = peakReset ? peakResidentBytes() : 0;
        window.close();
        qunsetenv("QZ7310_COM1");
        if (!all) {
            st.SkipWithError("the flood did not reach the window whole");
            return;
        }

        const double mib = 1024.0 * 1024.0;
        notes().floodRssMiB = peakReset ? double(peak - before) / mib : -1;
        notes().floodGapMs = double(longestGapNs) / 1e6;
        notes().floodMBps = double(FloodBytes) / 1e6 / seconds;
        st.counters["rss_growth_MiB"] = notes().floodRssMiB;
        st.counters["longest_gap_ms"] = notes().floodGapMs;
        st.counters["MB_per_s"] = notes().floodMBps;
    }
    st.SetLabel("200 MB of read-outs from a device server into the window");
}

} // namespace

void registerFloodBenchmark()
{
    benchmark::RegisterBenchmark("BM_Flood", BM_Flood)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
}
