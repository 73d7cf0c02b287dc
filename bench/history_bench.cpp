// The viewer of the store (qz7310-history) on a history of 3,000 read-outs of 100
// records (300,000 records) of one counter among twelve, in a SQLite file: the time
// from an empty window to its counters and the big counter's chart drawn, the time
// to redraw after switching counters and periods, and the memory it takes.
//
// The store is made with the collector's own tables (ReadoutStore) and then filled by
// plain inserts of the documented schema in one transaction: a bench fixture, made in
// seconds, not a run of the collector 3,000 times.

#include "bench_support.h"

#include "history_charts.h"
#include "history_window.h"
#include "readout_judge.h"
#include "table/counter_record.h"
#include "readout_store.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUuid>
#include <QVariant>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

namespace {

constexpr int BigReadouts = 3000;
constexpr int Records = 100;
constexpr int SmallCounters = 11;
constexpr int SmallReadouts = 30;

QString utc(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

// Every read-out holds other values (its own seed), so each starts an epoch and
// stores all its records; one in fifty failed.
bool fill(const QString &path, QString *error)
{
    StoreAddress address;
    address.path = path;
    address.text = path;
    {
        ReadoutStore store(address);
        if (!store.open(error))
            return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("history-bench"));
    db.setDatabaseName(path);
    bool ok = db.open();
    {
        QSqlQuery q(db);
        ok = ok && q.exec(QStringLiteral("BEGIN"));
        QSqlQuery counter(db), readout(db), record(db);
        counter.prepare(QStringLiteral("INSERT INTO qz7310_counter (name, epoch, first_seen) VALUES (?, ?, ?)"));
        readout.prepare(QStringLiteral(
            "INSERT INTO qz7310_readout (id, counter, epoch, host, program, port, request, started, ended, replies, "
            "reply, verdict, status, messages, records, new_records, foreign_clear, clear_sent, clear_answer, "
            "late_records) VALUES (?, ?, ?, 'bench', 'qz7310-collect', 'COM1 (/dev/ttyS0)', 'RDD ALL', ?, ?, ?, ?, "
            "?, ?, ?, ?, ?, 1, NULL, NULL, 0)"));
        record.prepare(QStringLiteral("INSERT INTO qz7310_record (counter, epoch, number, cntr1, cntr2, cntr3, cntr4, "
                                      "cntr5, total, frame, readout, late) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0)"));
        const QDateTime now = QDateTime::currentDateTimeUtc();
        std::uint64_t seed = 1;
        for (int c = 0; ok && c <= SmallCounters; ++c) {
            const QString name = c == 0 ? QStringLiteral("lab01") : QStringLiteral("lab%1").arg(c + 1, 2, 10, QLatin1Char('0'));
            const int readouts = c == 0 ? BigReadouts : SmallReadouts;
            // Three read-outs a day, up to now.
            const QDateTime first = now.addSecs(-qint64(readouts) * 8 * 3600);
            counter.addBindValue(name);
            counter.addBindValue(readouts);
            counter.addBindValue(utc(first));
            ok = counter.exec();
            for (int k = 0; ok && k < readouts; ++k) {
                const QDateTime started = first.addSecs(qint64(k + 1) * 8 * 3600);
                const bool failed = k % 50 == 49;
                const QByteArray reply = failed ? QByteArray("") : readoutStream(Records, ++seed);
                const QList<QByteArray> frames = frameReply(reply).dataFrames;
                const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
                for (const QVariant &v :
                     {QVariant(id), QVariant(name), QVariant(k + 1), QVariant(utc(started)),
                      QVariant(utc(started.addMSecs(4875))), QVariant(failed ? 0 : 1), QVariant(reply),
                      QVariant(failed ? QStringLiteral("no reply") : QStringLiteral("saved")), QVariant(failed ? 5 : 0),
                      QVariant(failed ? QStringLiteral("no reply on COM1 (/dev/ttyS0)") : QString::fromLatin1("")),
                      QVariant(int(frames.size())), QVariant(int(frames.size()))})
                    readout.addBindValue(v);
                ok = readout.exec();
                for (const QByteArray &frame : frames) {
                    if (!ok)
                        break;
                    const RecordValues values = recordValues(frame);
                    record.addBindValue(name);
                    record.addBindValue(k + 1);
                    record.addBindValue(values.number);
                    for (qint64 v : values.values)
                        record.addBindValue(v);
                    record.addBindValue(frame);
                    record.addBindValue(id);
                    ok = record.exec();
                }
                if (!ok)
                    *error = (readout.lastError().isValid() ? readout : record).lastError().text();
            }
        }
        ok = ok && q.exec(QStringLiteral("COMMIT"));
        if (!ok && error->isEmpty())
            *error = db.lastError().text();
    }
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("history-bench"));
    return ok;
}

// Until the window has drawn: events handled and the chart painted once.
void drawn(HistoryWindow &window)
{
    QApplication::processEvents();
    window.countChart()->grab();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

void BM_HistoryViewer(benchmark::State &st)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("history.db"));
    QString error;
    if (!fill(path, &error)) {
        st.SkipWithError(error.toStdString().c_str());
        return;
    }
    const QString url = QStringLiteral("sqlite:") + path;
    // The viewer remembers the stores it opened: here, in the bench's folder.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    for (auto _ : st) {
        std::vector<double> open, redraw;
        double rssMiB = 0;
        for (int round = 0; round < 5; ++round) {
            const std::int64_t before = residentBytes();
            QElapsedTimer clock;
            clock.start();
            HistoryWindow window;
            window.resize(1280, 800);
            window.show();
            if (!window.openStore(url, &error)) {
                st.SkipWithError(error.toStdString().c_str());
                return;
            }
            window.selectCounter(QStringLiteral("lab01"));
            drawn(window);
            open.push_back(double(clock.nsecsElapsed()) / 1e6);
            if (window.countChart()->history().size() < (BigReadouts - BigReadouts / 50) * Records) {
                st.SkipWithError("the big counter's history did not load whole");
                return;
            }
            rssMiB = std::max(rssMiB, double(residentBytes() - before) / (1024 * 1024));
            // Away and back, and through the periods: the slowest of them counts.
            const auto timed = [&](auto step) {
                QElapsedTimer c;
                c.start();
                step();
                drawn(window);
                return double(c.nsecsElapsed()) / 1e6;
            };
            double slowest = 0;
            slowest = std::max(slowest, timed([&] { window.selectCounter(QStringLiteral("lab05")); }));
            slowest = std::max(slowest, timed([&] { window.selectCounter(QStringLiteral("lab01")); }));
            slowest = std::max(slowest, timed([&] { window.setPeriod(QDate::currentDate().addDays(-364)); }));
            slowest = std::max(slowest, timed([&] { window.setPeriod(QDate::currentDate().addDays(-29)); }));
            slowest = std::max(slowest, timed([&] { window.setPeriod(QDate()); }));
            redraw.push_back(slowest);
        }
        notes().historyOpenMs = median(open);
        notes().historyRedrawMs = median(redraw);
        notes().historyRssMiB = rssMiB;
        st.SetIterationTime(notes().historyOpenMs / 1000);
    }
}

} // namespace

void registerHistoryBenchmark()
{
    benchmark::RegisterBenchmark("BM_HistoryViewer", BM_HistoryViewer)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(1);
}
