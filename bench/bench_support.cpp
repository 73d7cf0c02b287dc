#include "bench_support.h"

#include <QCoreApplication>
#include <QFile>

namespace {
constexpr int FrameLength = 42;
}

QByteArray readoutStream(int records, std::uint64_t seed)
{
    QByteArray out;
    out.reserve(records * FrameLength);
    std::uint64_t x = seed;
    auto next = [&x](unsigned limit) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        return unsigned((x >> 33) % limit);
    };
    for (int r = 1; r <= records; ++r) {
        unsigned counts[5];
        unsigned total = 0;
        for (unsigned &c : counts) {
            c = next(100000);
            total += c;
        }
        out += QByteArray(1, 0x02);
        out += QByteArray("D") + QByteArray::number(r % 100).rightJustified(2, '0') + ' ';
        for (unsigned c : counts)
            out += QByteArray::number(c).rightJustified(5, '0') + ' ';
        out += QByteArray::number(total).rightJustified(6, '0');
        out += QByteArray(1, 0x0D);
    }
    return out;
}

std::int64_t residentBytes()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            const QByteArray kib = line.mid(6).trimmed().split(' ').value(0);
            return kib.toLongLong() * 1024;
        }
    }
    return 0;
}

BenchNotes &notes()
{
    static BenchNotes notes;
    return notes;
}

QString startSimulator(QProcess &sim, const QStringList &args)
{
    sim.setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/qz7310-sim"));
    sim.setArguments(args);
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start();
    if (!sim.waitForStarted(5000))
        return QStringLiteral("cannot start %1").arg(sim.program());
    while (!sim.canReadLine() && sim.waitForReadyRead(5000)) {
    }
    if (!sim.canReadLine() || sim.readLine().isEmpty())
        return QStringLiteral("the simulator did not name its device");
    return {};
}

void stopSimulator(QProcess &sim)
{
    if (sim.state() == QProcess::NotRunning)
        return;
    sim.closeWriteChannel();
    if (!sim.waitForFinished(3000))
        sim.kill();
    sim.waitForFinished(1000);
}
