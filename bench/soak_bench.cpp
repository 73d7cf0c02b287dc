// A long day at the desk: over a thousand "RDD ALL" read-outs through the main window's
// receive path, on a pseudo-terminal with the real serial control and the simulator,
// mixing clean replies with the simulator's faults (junk between frames, a lost CR, NAK
// answers, cut-off replies), port reopenings from one simulated counter to the next,
// and a counter that goes away and comes back. Every read-out's table is checked
// against the simulator's own records; resident memory and open descriptors are taken
// after the first round and at the end.

#include "bench_support.h"

#include "frm_main.h"
#include "raw_text_box.h"
#include "line/module1.h"
#include "line/port_control.h"
#include "line/reply_framing.h"
#include "line/serial_comm_control.h"
#include "sim/counter.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <list>
#include <malloc.h>
#include <memory>

namespace {

constexpr int Rounds = 75;

// One simulated counter: its options, its records, and the reply "RDD ALL" gets.
struct Counter
{
    QString name;
    QStringList faults;
    unsigned records;
    std::uint64_t seed;
    int readoutsPerRound;
    bool clean; // the reply carries every record whole

    QProcess process;
    QString link;
    std::vector<qzsim::Counts> kept; // the simulator's own records

    bool start(const QString &folder)
    {
        link = folder + QLatin1Char('/') + name;
        kept = qzsim::Counter(records, seed).records();
        return startSimulator(process, QStringList{"--fast", "--records", QString::number(records),
                                                   "--seed", QString::number(seed), "--link", link}
                                           + faults)
            .isEmpty();
    }
    void stop()
    {
        stopSimulator(process);
    }

    static QStringList row(unsigned number, const qzsim::Counts &c)
    {
        QStringList texts{QString::number(number % 100)};
        unsigned total = 0;
        for (unsigned v : c) {
            texts << QString::number(v);
            total += v;
        }
        return texts << QString::number(total);
    }

    // Rows 1.. the read-out must leave, and the bytes it takes.
    QList<QStringList> expectedRows() const
    {
        QList<QStringList> rows;
        const qsizetype n = qsizetype(kept.size());
        if (faults.contains("--nak"))
            return rows;
        qsizetype whole = n;
        const int cut = faults.indexOf("--stop-after");
        if (cut >= 0)
            whole = std::min<qsizetype>(n, faults.value(cut + 1).toInt() / qsizetype(qzsim::FrameLength));
        const int lose = faults.indexOf("--lose-cr");
        const qsizetype lost = lose >= 0 ? faults.value(lose + 1).toInt() : 0;
        for (qsizetype i = 0; i < whole; ++i) {
            // The frame after the one that lost its CR is swallowed by it.
            if (lost > 0 && i == lost)
                continue;
            rows << row(unsigned(i + 1), kept[size_t(i)]);
        }
        return rows;
    }
    qsizetype replyBytes() const
    {
        if (faults.contains("--nak"))
            return 3;
        qsizetype bytes = qsizetype(kept.size()) * qsizetype(qzsim::FrameLength);
        if (faults.contains("--garbage"))
            bytes += qsizetype(kept.size()) * qsizetype(qzsim::Garbage.size());
        if (faults.contains("--lose-cr"))
            bytes -= 1;
        const int cut = faults.indexOf("--stop-after");
        if (cut >= 0)
            bytes = std::min<qsizetype>(bytes, faults.value(cut + 1).toInt());
        return bytes;
    }
    QString expectedStatus() const
    {
        return faults.contains("--nak") ? Verdict::Error : Verdict::DataOk;
    }
};

int OpenDescriptors()
{
    // Qt's pooled threads (it scales pictures on them) keep an eventfd each until they
    // expire, half a minute after their last task: let them go first.
    QThreadPool::globalInstance()->waitForDone();
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::System).size());
}

// Resident memory with the allocator's free pages handed back first, so what is
// counted is what is alive.
std::int64_t LiveResidentKiB()
{
    malloc_trim(0);
    return residentBytes() / 1024;
}

struct SoakRig
{
    QTemporaryDir dir;
    std::list<Counter> counters;
    Module1 state;
    std::unique_ptr<SerialCommControl> port;
    std::unique_ptr<frmMain> window;
    QPushButton *rddAll = nullptr;
    RawTextBox *log = nullptr;
    QLabel *status = nullptr;

    int readouts = 0;
    int cleanReadouts = 0;
    int checked = 0;
    int mismatches = 0;
    int reopenings = 0;
    int linesLost = 0;
    int warnings = 0;
    QString error;

    SoakRig()
    {
        // Two counters with their records whole, and one for each fault.
        const auto add = [this](QString name, QStringList faults, unsigned records, std::uint64_t seed,
                                int perRound, bool clean) {
            Counter &c = counters.emplace_back();
            c.name = name;
            c.faults = faults;
            c.records = records;
            c.seed = seed;
            c.readoutsPerRound = perRound;
            c.clean = clean;
        };
        add("clean-40", {}, 40, 1, 4, true);
        add("garbage", {"--garbage"}, 40, 1, 2, true);
        add("lose-cr", {"--lose-cr", "3"}, 40, 2, 2, false);
        add("nak", {"--nak"}, 40, 3, 2, false);
        add("cut-off", {"--stop-after", "500"}, 40, 4, 2, false);
        add("clean-100", {}, 100, 5, 2, true);
        for (Counter &c : counters) {
            if (!c.start(dir.path())) {
                error = QStringLiteral("the simulator %1 did not start").arg(c.name);
                return;
            }
        }
        qputenv("QZ7310_COM1", QFile::encodeName(counters.front().link));
        port = std::make_unique<SerialCommControl>();
        window = std::make_unique<frmMain>(state, *port, [] {});
        window->show();
        QApplication::processEvents();
        rddAll = window->findChild<QPushButton *>(QStringLiteral("Command1"));
        log = window->findChild<RawTextBox *>(QStringLiteral("txtRx"));
        status = window->findChild<QLabel *>(QStringLiteral("Label5"));
        if (!port->portOpen())
            error = QStringLiteral("COM1 did not open");
    }

    ~SoakRig()
    {
        window.reset();
        port.reset();
        for (Counter &c : counters)
            c.stop();
        qunsetenv("QZ7310_COM1");
    }

    // What the port dialog's unload does, onto another counter.
    void reopenOn(Counter &c)
    {
        qputenv("QZ7310_COM1", QFile::encodeName(c.link));
        OpenPort(state, *port);
        ++reopenings;
    }

    QStringList row(int r) const
    {
        QStringList texts;
        for (int col = 0; col < CounterTable::Columns; ++col)
            texts << window->counterTable().text(r, col);
        return texts;
    }

    bool readOut(const Counter &c)
    {
        const qsizetype bytes = c.replyBytes();
        QTest::mouseClick(rddAll, Qt::LeftButton);
        ++readouts;
        if (!pumpUntil([&] { return log->size() >= bytes; }, 10000)) {
            error = QStringLiteral("%1: %2 of %3 bytes arrived").arg(c.name).arg(log->size()).arg(bytes);
            return false;
        }
        // The table against the simulator's records: rows 1.. as the reply makes them,
        // the rest of rows 1 to 99 empty.
        const QList<QStringList> expected = c.expectedRows();
        bool same = log->size() == bytes && status->text() == c.expectedStatus()
            && state.FrameCount == expected.size();
        for (int r = 1; r <= 99 && same; ++r)
            same = row(r) == (r <= expected.size() ? expected[r - 1] : QStringList(CounterTable::Columns, QString()));
        if (expected.size() == 100)
            same = same && row(100) == expected[99];
        ++checked;
        cleanReadouts += c.clean ? 1 : 0;
        if (!same && ++mismatches <= 3)
            qWarning("soak: %s read-out %d does not match the simulator's records", qPrintable(c.name), readouts);
        return true;
    }

    // The counter unplugged and plugged in again: the line goes, a request meets the
    // closed port and is refused with its reason, then the port opens on it again.
    bool loseLine(Counter &c)
    {
        c.stop();
        if (!pumpUntil([&] { return !port->portOpen(); }, 10000)) {
            error = QStringLiteral("the lost line did not close the port");
            return false;
        }
        ++linesLost;
        // The warning is modal: close it from its own event loop.
        bool warned = false;
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, &closer, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                warned = box->text().contains(c.link);
                box->close();
            }
        });
        closer.start(5);
        QTest::mouseClick(rddAll, Qt::LeftButton);
        closer.stop();
        warnings += warned ? 1 : 0;
        if (!c.start(dir.path())) {
            error = QStringLiteral("the simulator %1 did not come back").arg(c.name);
            return false;
        }
        reopenOn(c);
        return port->portOpen();
    }

    bool round()
    {
        for (Counter &c : counters) {
            reopenOn(c);
            if (!port->portOpen()) {
                error = QStringLiteral("COM1 did not open on %1").arg(c.name);
                return false;
            }
            for (int i = 0; i < c.readoutsPerRound; ++i)
                if (!readOut(c))
                    return false;
        }
        return loseLine(counters.back());
    }
};

// The offscreen platform says so for every message box; 75 times is noise.
void QuietOffscreen(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (!text.contains(QLatin1String("propagateSizeHints")))
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
}

void BM_Soak(benchmark::State &st)
{
    const QtMessageHandler previous = qInstallMessageHandler(QuietOffscreen);
    for (auto _ : st) {
        const int fdsBefore = OpenDescriptors();
        auto rig = std::make_unique<SoakRig>();
        // The first round warms up what is made once (fonts, the grid, the port).
        bool ok = rig->error.isEmpty() && rig->round();
        const std::int64_t rssStart = LiveResidentKiB();
        const int fdsStart = OpenDescriptors();
        for (int r = 1; ok && r < Rounds; ++r)
            ok = rig->round();
        const std::int64_t rssEnd = LiveResidentKiB();
        const int fdsEnd = OpenDescriptors();
        if (!ok) {
            st.SkipWithError(rig->error.toStdString().c_str());
            break;
        }

        BenchNotes &n = notes();
        n.soakReadouts = rig->readouts;
        n.soakClean = rig->cleanReadouts;
        n.soakChecked = rig->checked;
        n.soakMismatches = rig->mismatches;
        n.soakReopenings = rig->reopenings;
        n.soakLinesLost = rig->linesLost;
        n.soakWarnings = rig->warnings;
        n.soakRssStartKiB = double(rssStart);
        n.soakRssEndKiB = double(rssEnd);
        n.soakFdsStart = fdsStart;
        n.soakFdsEnd = fdsEnd;
        n.soakFdsBefore = fdsBefore;
        rig.reset();
        // With the window, the port and the simulators gone, so are their descriptors.
        n.soakFdsAfter = OpenDescriptors();
    }
    qInstallMessageHandler(previous);
    const BenchNotes &n = notes();
    st.counters["readouts"] = n.soakReadouts;
    st.counters["mismatches"] = n.soakMismatches;
    st.counters["rss_growth_kB"] = n.soakRssEndKiB - n.soakRssStartKiB;
    st.counters["fds_growth"] = n.soakFdsEnd - n.soakFdsStart;
}

} // namespace

void registerSoakBenchmark()
{
    benchmark::RegisterBenchmark("BM_Soak", BM_Soak)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
}
