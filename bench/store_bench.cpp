// The store of read-outs (qz7310-collect --store): the time ReadoutStore::add takes for a
// saved 100-record "RDD ALL" read-out, and the store's size after 1,000 of them, in a
// SQLite file in a temporary folder and, when libpq's variables name a server (PGHOST,
// as pg_virtualenv sets them: scripts/bench does), in a PostgreSQL database made for
// the run and dropped after it.
//
// Every read-out holds other values than the one before (the bench's stream with the
// read-out's number as seed), so each add() sees a clear nobody recorded, starts an
// epoch and inserts all 100 records: the most a read-out can cost. The time is the
// median of the last 20 of the 1,000, into a store that already holds a history.

#include "bench_support.h"

#include "history_export.h"
#include "readout_judge.h"
#include "readout_store.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include <unistd.h>

namespace {

constexpr int Readouts = 1000;
constexpr int Timed = 20;
constexpr int Records = 100;

StoredReadout readout(int k)
{
    StoredReadout r;
    r.counter = QStringLiteral("bench");
    r.port = QStringLiteral("COM1 (/dev/ttyS0)");
    r.request = QStringLiteral("RDD ALL");
    r.started = QDateTime::currentDateTimeUtc();
    r.ended = r.started.addMSecs(4875);
    r.replies = 1;
    r.reply = readoutStream(Records, std::uint64_t(k) + 1);
    r.verdict = RunVerdict::Saved;
    r.messages = {QStringLiteral("100 records from COM1 (/dev/ttyS0) stored in the bench's store")};
    r.frames = frameReply(r.reply).dataFrames;
    return r;
}

// 1,000 add()s into a store that starts empty. Returns the median of the last Timed in
// ms, or a negative value (and *error) when one failed.
double addReadouts(ReadoutStore &store, QString *error)
{
    // Made before the clock starts: the bench times the store, not the stream.
    std::vector<StoredReadout> runs;
    runs.reserve(Readouts);
    for (int k = 0; k < Readouts; ++k)
        runs.push_back(readout(k));
    if (runs.front().frames.size() != Records) {
        *error = QStringLiteral("the bench's stream did not frame as 100 records");
        return -1;
    }
    std::vector<double> ms;
    for (const StoredReadout &run : runs) {
        QElapsedTimer clock;
        clock.start();
        if (!store.add(run, error))
            return -1;
        ms.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    std::vector<double> last(ms.end() - Timed, ms.end());
    std::sort(last.begin(), last.end());
    return (last[Timed / 2 - 1] + last[Timed / 2]) / 2;
}

void BM_StoreSqlite(benchmark::State &st)
{
    for (auto _ : st) {
        QTemporaryDir dir;
        StoreAddress address;
        address.engine = StoreAddress::Engine::SQLite;
        address.path = dir.filePath(QStringLiteral("history.db"));
        address.text = address.path;
        QString error;
        double median = -1;
        {
            ReadoutStore store(address);
            if (store.open(&error))
                median = addReadouts(store, &error);
        }
        if (median < 0) {
            st.SkipWithError(error.toStdString().c_str());
            break;
        }
        st.SetIterationTime(median / 1000);
        notes().storeMsSqlite = median;
        notes().storeKbSqlite = double(QFileInfo(address.path).size()) / 1024;
    }
}

// What a long history costs: 3,000 runs stored one by one (fsync on, as in use), then
// --export of the counter's every record, timed, to a file, and the sizes.
void BM_HistoryExport(benchmark::State &st)
{
    constexpr int Runs = 3000;
    for (auto _ : st) {
        QTemporaryDir dir;
        StoreAddress address;
        address.engine = StoreAddress::Engine::SQLite;
        address.path = dir.filePath(QStringLiteral("history.db"));
        address.text = address.path;
        QString error;
        bool stored = true;
        {
            ReadoutStore store(address);
            stored = store.open(&error);
            for (int k = 0; stored && k < Runs; ++k)
                stored = store.add(readout(k), &error);
        }
        HistoryExport request{address, QStringLiteral("bench"), {}, dir.filePath(QStringLiteral("history.csv")), false};
        QElapsedTimer clock;
        clock.start();
        const int status = stored ? exportHistory(request, [](const QString &) {}) : -1;
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        if (status != 0) {
            st.SkipWithError(error.isEmpty() ? "--export failed" : error.toStdString().c_str());
            break;
        }
        st.SetIterationTime(ms / 1000);
        notes().historyExportMs = ms;
        notes().historyStoreKb = double(QFileInfo(address.path).size()) / 1024;
        notes().historyCsvKb = double(QFileInfo(request.output).size()) / 1024;
    }
}

// The server pg_virtualenv (or the user) names in libpq's variables, as a connection of
// its own: the bench's database is made and dropped from there.
class PostgresServer
{
public:
    PostgresServer()
    {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("qz7310-bench-server"));
        m_db.setHostName(qEnvironmentVariable("PGHOST"));
        m_db.setDatabaseName(qEnvironmentVariable("PGDATABASE", QStringLiteral("postgres")));
        if (!m_db.open())
            m_error = m_db.lastError().text().simplified();
    }
    ~PostgresServer()
    {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("qz7310-bench-server"));
    }
    const QString &error() const { return m_error; }

    bool exec(const QString &sql, QVariant *value = nullptr)
    {
        QSqlQuery query(m_db);
        if (!query.exec(sql)) {
            m_error = query.lastError().text().simplified();
            return false;
        }
        if (value)
            *value = query.next() ? query.value(0) : QVariant();
        return true;
    }

private:
    QSqlDatabase m_db;
    QString m_error;
};

void BM_StorePostgres(benchmark::State &st)
{
    if (qEnvironmentVariableIsEmpty("PGHOST")) {
        st.SkipWithError("no PostgreSQL server: PGHOST is not set (scripts/bench runs under pg_virtualenv)");
        return;
    }
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
        st.SkipWithError("Qt's PostgreSQL driver is not installed (libqt6sql6-psql)");
        return;
    }
    for (auto _ : st) {
        PostgresServer server;
        const QString database = QStringLiteral("qz7310_bench_%1").arg(getpid());
        QVariant fsync;
        if (!server.error().isEmpty() || !server.exec(QStringLiteral("SHOW fsync"), &fsync)
            || !server.exec(QStringLiteral("CREATE DATABASE %1").arg(database))) {
            st.SkipWithError(server.error().toStdString().c_str());
            break;
        }
        notes().storePgFsync = fsync.toString().toStdString();
        StoreAddress address;
        address.engine = StoreAddress::Engine::PostgreSQL;
        address.host = qEnvironmentVariable("PGHOST");
        address.database = database;
        address.text = database;
        QString error;
        double median = -1;
        QVariant bytes;
        {
            ReadoutStore store(address);
            if (store.open(&error))
                median = addReadouts(store, &error);
            // Tables with their indexes, TOAST and free space maps; the view has none.
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("qz7310-bench-size"));
            db.setHostName(address.host);
            db.setDatabaseName(database);
            if (median >= 0 && db.open()) {
                QSqlQuery query(db);
                if (query.exec(QStringLiteral("SELECT sum(pg_total_relation_size(c.oid)) FROM pg_class c "
                                              "JOIN pg_namespace n ON n.oid = c.relnamespace "
                                              "WHERE c.relkind = 'r' AND c.relname LIKE 'qz7310%' "
                                              "AND n.nspname = current_schema()"))
                    && query.next())
                    bytes = query.value(0);
            }
            db.close();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(QStringLiteral("qz7310-bench-size"));
        }
        server.exec(QStringLiteral("DROP DATABASE %1").arg(database));
        if (median < 0 || !bytes.isValid()) {
            st.SkipWithError((error.isEmpty() ? QStringLiteral("the store's size could not be read") : error)
                                 .toStdString()
                                 .c_str());
            break;
        }
        st.SetIterationTime(median / 1000);
        notes().storeMsPg = median;
        notes().storeKbPg = bytes.toDouble() / 1024;
    }
}

} // namespace

void registerStoreBenchmark()
{
    benchmark::RegisterBenchmark("BM_StoreSqlite", BM_StoreSqlite)
        ->UseManualTime()
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_HistoryExport", BM_HistoryExport)
        ->UseManualTime()
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_StorePostgres", BM_StorePostgres)
        ->UseManualTime()
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
}
