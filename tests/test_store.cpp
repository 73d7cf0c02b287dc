// The history of read-outs, against a real engine: SQLite in a temporary folder, or
// (QZ_STORE_ENGINE=postgresql, run under pg_virtualenv, which sets PGHOST and the rest)
// a PostgreSQL server the test run started. The store's rules through its own
// interface; its faults through the collector and the simulator.
#include "collect_support.h"
#include "history_export.h"
#include "history_rules.h"
#include "readout_judge.h"
#include "readout_store.h"
#include "test_support.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QElapsedTimer>
#include <QtTest>

#include <memory>
#include <numeric>
#include <vector>

#include <signal.h>
#include <sys/stat.h>

namespace {

bool postgres()
{
    return qEnvironmentVariable("QZ_STORE_ENGINE") == QLatin1String("postgresql");
}

// Record n of a counter whose values come from `seed`; the hundredth is numbered 00.
QByteArray record(int n, int seed)
{
    return dataFrame(n % 100, {seed * 1000 + n, 2 * n, 3 * n + seed, 4 * n, 5 * n});
}

QList<QByteArray> records(int first, int last, int seed)
{
    QList<QByteArray> frames;
    for (int n = first; n <= last; ++n)
        frames << record(n, seed);
    return frames;
}

// "1-5 1, 7 2": records 1 to 5 with values from seed 1, then 7 from seed 2; "x" a
// frame whose fields are not digits.
QList<QByteArray> frames(const QString &text)
{
    QList<QByteArray> all;
    for (const QString &part : text.split(',', Qt::SkipEmptyParts)) {
        const QStringList word = part.trimmed().split(' ');
        if (word[0] == "x") {
            all << QByteArray("\x02" "D03 000x1 00002 00003 00004 00005 000015\r");
            continue;
        }
        const QStringList range = word[0].split('-');
        all += records(range[0].toInt(), range.value(1, range[0]).toInt(), word[1].toInt());
    }
    return all;
}

// The record numbers of frames, "1 2 3".
QString numbers(const QList<QByteArray> &frames)
{
    QStringList n;
    for (const QByteArray &frame : frames)
        n << QString::number(recordValues(frame).number);
    return n.join(' ');
}

} // namespace

class TestStore : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_url;
    QSqlDatabase m_db; // the test's own connection, to look and to meddle

    StoreAddress address(const QString &url) const
    {
        QString error;
        return parseStoreAddress(url, &error).value_or(StoreAddress());
    }
    bool sql(const QString &statement)
    {
        QSqlQuery query(m_db);
        if (!query.exec(statement))
            qWarning("%s: %s", qPrintable(statement), qPrintable(query.lastError().text()));
        return !query.lastError().isValid();
    }
    // Every row of the store, for "left as it was"; a run's row that never ended
    // (status -1) says nothing was kept.
    QString contents()
    {
        QString all;
        for (const char *select :
             {"SELECT version FROM qz7310_schema", "SELECT name, epoch FROM qz7310_counter ORDER BY name",
              "SELECT id, verdict, status, clear_answer FROM qz7310_readout WHERE status <> -1 ORDER BY id",
              "SELECT counter, epoch, number, total, late FROM qz7310_record ORDER BY counter, epoch, number"}) {
            QSqlQuery query(m_db);
            query.exec(QLatin1String(select));
            while (query.next())
                for (int k = 0; k < query.record().count(); ++k)
                    all += query.value(k).toString() + QLatin1Char(k + 1 < query.record().count() ? '|' : '\n');
        }
        return all;
    }

private slots:
    void initTestCase()
    {
        if (postgres()) {
            m_url = QStringLiteral("postgresql://%1@%2:%3/%4")
                        .arg(qEnvironmentVariable("PGUSER"), qEnvironmentVariable("PGHOST"),
                             qEnvironmentVariable("PGPORT"), qEnvironmentVariable("PGDATABASE"));
            m_db = QSqlDatabase::addDatabase("QPSQL", "test");
            m_db.setHostName(qEnvironmentVariable("PGHOST"));
            m_db.setPort(qEnvironmentVariable("PGPORT").toInt());
            m_db.setDatabaseName(qEnvironmentVariable("PGDATABASE"));
        } else {
            m_url = QStringLiteral("sqlite:") + m_dir.filePath("history.db");
            m_db = QSqlDatabase::addDatabase("QSQLITE", "test");
            m_db.setDatabaseName(m_dir.filePath("history.db"));
        }
        QVERIFY2(m_db.open(), qPrintable(m_db.lastError().text()));
    }
    // Every test starts from no store at all.
    void init()
    {
        for (const char *drop : {"DROP VIEW IF EXISTS qz7310_history", "DROP TABLE IF EXISTS qz7310_value",
                                 "DROP TABLE IF EXISTS qz7310_record", "DROP TABLE IF EXISTS qz7310_readout",
                                 "DROP TABLE IF EXISTS qz7310_counter", "DROP TABLE IF EXISTS qz7310_schema"})
            QVERIFY(sql(QLatin1String(drop)));
        if (postgres())
            QVERIFY(sql("DROP FUNCTION IF EXISTS qz_meddle() CASCADE"));
    }

    void rules_data();
    void rules();
    void history_data();
    void history();
    void overlappingRuns();
    void collectorRun();
    void besideOthers_data();
    void besideOthers();
    void labSchemas_data();
    void labSchemas();
    void hangingServer_data();
    void hangingServer();
    void faults_data();
    void faults();
    void concurrentRuns_data();
    void concurrentRuns();
    void exportRefused_data();
    void exportRefused();
    void fileNames_data();
    void fileNames();
};

// The history rules alone, without a database: the epoch's stored records against a
// read-out (or, "late", the records that came after CLR ALL).
void TestStore::rules_data()
{
    QTest::addColumn<QString>("stored");  // the epoch's records, as frames() reads them
    QTest::addColumn<QString>("read");
    QTest::addColumn<bool>("late");
    QTest::addColumn<int>("epoch");       // the read-out's epoch; the counter is in epoch 1
    QTest::addColumn<QString>("fresh");   // the numbers stored
    QTest::newRow("a first read-out") << "" << "1-5 1" << false << 1 << "1 2 3 4 5";
    QTest::newRow("seen again, only the new") << "1-5 1" << "1-7 1" << false << 1 << "6 7";
    QTest::newRow("other values: a clear") << "1-5 1" << "1-5 2" << false << 2 << "1 2 3 4 5";
    QTest::newRow("one other value: a clear") << "1-5 1" << "1-4 1, 5 2" << false << 2 << "1 2 3 4 5";
    QTest::newRow("fewer records: a clear") << "1-5 1" << "1-3 1" << false << 2 << "1 2 3";
    QTest::newRow("a number twice: the first") << "" << "1-3 1, 3 2" << false << 1 << "1 2 3";
    QTest::newRow("an unreadable frame is no record") << "1-2 1" << "1-2 1, x" << false << 1 << "";
    QTest::newRow("nothing read shows no clear") << "1-5 1" << "" << false << 1 << "";
    QTest::newRow("the hundredth, numbered 00") << "1-99 1" << "1-100 1" << false << 1 << "100";
    QTest::newRow("late: new numbers only, once") << "1-5 1" << "5-7 1, 6 2" << true << 1 << "6 7";
}

void TestStore::rules()
{
    QFETCH(QString, stored);
    QFETCH(QString, read);
    QFETCH(bool, late);
    QFETCH(int, epoch);
    QFETCH(QString, fresh);
    QHash<int, RecordCounts> held;
    for (const QByteArray &frame : frames(stored))
        held.insert(recordValues(frame).number, recordValues(frame).values);
    if (late) {
        const QList<int> keys = held.keys();
        QCOMPARE(numbers(lateRecordsToStore(QSet<int>(keys.begin(), keys.end()), frames(read))), fresh);
        return;
    }
    const HistoryStep step = historyStep(1, held, frames(read));
    QCOMPARE(step.epoch, epoch);
    QCOMPARE(step.foreignClear, epoch == 2);
    QCOMPARE(numbers(step.fresh), fresh);
}

// Read-outs one after another, each "FIRST-LAST SEED" (records FIRST to LAST with
// values from SEED), then optionally the answer to CLR ALL and late records
// ("ACK 6-7": records 6 and 7 came after CLR ALL).
void TestStore::history_data()
{
    QTest::addColumn<QStringList>("readouts");
    QTest::addColumn<QString>("epochs");     // records per epoch, "1:5 2:3"
    QTest::addColumn<QList<int>>("exported"); // the read-outs whose CSVs, in turn, are the export

    QTest::newRow("one read-out") << QStringList{"1-5 1"} << "1:5" << QList<int>{0};
    QTest::newRow("seen again, stored once") << QStringList{"1-5 1", "1-5 1", "1-7 1"} << "1:7" << QList<int>{2};
    QTest::newRow("our clear starts an epoch") << QStringList{"1-5 1 ACK", "1-3 2"} << "1:5 2:3" << QList<int>{0, 1};
    QTest::newRow("a refused clear does not") << QStringList{"1-5 1 NAK", "1-6 1"} << "1:6" << QList<int>{1};
    QTest::newRow("foreign clear: other values") << QStringList{"1-5 1", "1-5 2"} << "1:5 2:5" << QList<int>{0, 1};
    QTest::newRow("foreign clear: fewer records") << QStringList{"1-5 1", "1-3 1"} << "1:5 2:3" << QList<int>{0, 1};
    QTest::newRow("foreign clear seen on one record") << QStringList{"1-5 1", "1-2 1"} << "1:5 2:2"
                                                      << QList<int>{0, 1};
    QTest::newRow("late records, then ACK") << QStringList{"1-5 1 ACK 6-7", "1-2 3"} << "1:7 2:2"
                                            << QList<int>{0, 1};
    QTest::newRow("the hundredth record comes last") << QStringList{"1-100 1", "1-100 1"} << "1:100"
                                                     << QList<int>{0};
    QTest::newRow("a name that is SQL") << QStringList{"1-2 1"} << "1:2" << QList<int>{0};
    // "+7-7": record 7 came twice after CLR ALL (doubled on the line): stored once.
    QTest::newRow("a late record doubled, then ACK") << QStringList{"1-5 1 ACK 6-7+7-7", "1-2 3"} << "1:7 2:2"
                                                     << QList<int>{0, 1};
    // A counter cleared every day: its history outgrows the window's 100 rows.
    QTest::newRow("two epochs of 60") << QStringList{"1-60 1 ACK", "1-60 2"} << "1:60 2:60" << QList<int>{0, 1};
}

void TestStore::history()
{
    QFETCH(QStringList, readouts);
    QFETCH(QString, epochs);
    QFETCH(QList<int>, exported);
    const QString counter = QString::fromLatin1(QTest::currentDataTag()) == QLatin1String("a name that is SQL")
                                ? QStringLiteral("lab'); DROP TABLE qz7310_record; --")
                                : QStringLiteral("lab 3");
    QList<QByteArray> csvs;
    for (const QString &step : readouts) {
        const QStringList word = step.split(' ');
        const QStringList range = word[0].split('-');
        StoredReadout run;
        run.counter = counter;
        run.request = QStringLiteral("RDD ALL");
        run.verdict = RunVerdict::Saved;
        run.started = run.ended = QDateTime::currentDateTimeUtc();
        run.frames = records(range[0].toInt(), range[1].toInt(), word[1].toInt());
        run.reply = run.frames.join();
        QList<QByteArray> all = run.frames;
        ReadoutStore store(address(m_url));
        QString error;
        QVERIFY2(store.open(&error) && store.add(run, &error), qPrintable(error));
        if (word.size() > 2) {
            run.clearSent = QDateTime::currentDateTimeUtc();
            run.clearAnswer = word[2] == "ACK" ? ClearAnswer::Ack : ClearAnswer::Nak;
            if (word.size() > 3) {
                // Pieces after the first come again: the records are those of the first.
                for (const QString &piece : word[3].split('+')) {
                    const QStringList late = piece.split('-');
                    const QList<QByteArray> frames = records(late[0].toInt(), late[1].toInt(), word[1].toInt());
                    if (run.lateFrames.isEmpty())
                        all += frames;
                    run.lateFrames += frames;
                }
            }
            QVERIFY2(store.finish(run, &error), qPrintable(error));
        }
        // What the window would have saved had it received all of it.
        csvs << csvOfReply(all.join());
        QTest::qWait(2); // read-outs keep their order by their start
    }

    QSqlQuery query(m_db);
    QVERIFY(query.exec("SELECT epoch, COUNT(*) FROM qz7310_record GROUP BY epoch ORDER BY epoch"));
    QStringList found;
    while (query.next())
        found << query.value(0).toString() + ':' + query.value(1).toString();
    QCOMPARE(found.join(' '), epochs);

    QByteArray expected;
    for (int k : exported)
        expected += csvs[k];
    QTemporaryDir out;
    QStringList said;
    HistoryExport request{address(m_url), counter, {}, out.filePath("history.csv"), false};
    QCOMPARE(exportHistory(request, [&](const QString &line) { said << line; }), 0);
    QCOMPARE(fileBytes(out.filePath("history.csv")), expected);
}

// Two runs on one counter at once: the later start stores first, the earlier one then
// shows other values (a clear) and starts epoch 2. --export keeps the order they were
// read in, epoch 1 first.
void TestStore::overlappingRuns()
{
    StoredReadout first;
    first.counter = QStringLiteral("A");
    first.request = QStringLiteral("RDD ALL");
    first.started = QDateTime::currentDateTimeUtc();
    StoredReadout second = first;
    second.started = first.started.addSecs(1);
    ReadoutStore early(address(m_url));
    ReadoutStore late(address(m_url));
    QString error;
    QVERIFY2(early.open(first, &error) && late.open(second, &error), qPrintable(error));
    second.verdict = first.verdict = RunVerdict::Saved;
    second.frames = records(1, 3, 1);
    first.frames = records(1, 3, 2);
    QVERIFY2(late.add(second, &error) && early.add(first, &error), qPrintable(error));
    QTemporaryDir out;
    HistoryExport request{address(m_url), QStringLiteral("A"), {}, out.filePath("a.csv"), false};
    QCOMPARE(exportHistory(request, [](const QString &) {}), 0);
    QCOMPARE(fileBytes(out.filePath("a.csv")), csvOfReply(second.frames.join()) + csvOfReply(first.frames.join()));
}

// The collector itself: a clearing run into the store alone, a second run, what the
// rows say, and the export against the CSV the window writes.
void TestStore::collectorRun()
{
    QTemporaryDir dir;
    Sim sim;
    QVERIFY(sim.start(dir.filePath("COM1"), {"--fast", "--records", "12"}));
    Run r = collect({"--port", sim.device, "--store", m_url, "--counter", "B", "--clear"});
    QVERIFY2(r.status == 0, r.err.constData());
    QVERIFY2(r.err.contains("12 records from " + sim.device.toLocal8Bit() + " stored in"), r.err.constData());
    QVERIFY(r.out.isEmpty());
    QVERIFY(sim.log().contains("CLR ALL"));
    r = collect({"--port", sim.device, "--store", m_url, "--counter", "B", "--timeout", "0.5"});
    QCOMPARE(r.status, 5);

    QSqlQuery query(m_db);
    QVERIFY(query.exec("SELECT verdict, status, replies, records, new_records, clear_answer, epoch, reply, started, "
                       "messages FROM qz7310_readout ORDER BY started"));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toString() + query.value(1).toString() + query.value(2).toString() + "/"
                 + query.value(3).toString() + "/" + query.value(4).toString() + query.value(5).toString()
                 + query.value(6).toString(),
             "saved02/12/12ACK1");
    const QByteArray reply = query.value(7).toByteArray();
    QCOMPARE(frameReply(reply).dataFrames.size(), 12);
    QVERIFY(query.value(8).toString().endsWith('Z'));
    QVERIFY(query.value(9).toString().contains("its records are cleared"));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toString() + query.value(1).toString() + query.value(6).toString(), "no reply52");
    query.finish(); // no read left open on the store

    QTemporaryDir out;
    r = collect({"--store", m_url, "--counter", "B", "--export", "--output", out.filePath("b.csv")});
    QCOMPARE(r.status, 0);
    QCOMPARE(fileBytes(out.filePath("b.csv")), csvOfReply(reply));
    r = collect({"--store", m_url, "--counter", "C", "--export"});
    QCOMPARE(r.status, 5);

    // RDD NOW's values, the number kept as sent (00), beside no record.
    r = collect({"--port", sim.device, "--store", m_url, "--counter", "B", "--now"});
    QVERIFY2(r.status == 0, r.err.constData());
    QVERIFY(query.exec("SELECT number, cntr1, cntr2, cntr3, cntr4, cntr5, frame FROM qz7310_value"));
    QVERIFY(query.next());
    const QByteArray now = query.value(6).toByteArray();
    QCOMPARE(now.mid(2, 2), "00");
    QCOMPARE(dataFrame(query.value(0).toInt(), {query.value(1).toInt(), query.value(2).toInt(), query.value(3).toInt(),
                                                query.value(4).toInt(), query.value(5).toInt()}),
             now);
    QVERIFY(!query.next());
}

// Runs beside other users of the store: none of them makes a run fail.
void TestStore::besideOthers_data()
{
    QTest::addColumn<int>("collectors");
    QTest::addColumn<int>("runs");     // each
    QTest::addColumn<bool>("reader");  // a reader holds a transaction all along
    QTest::newRow("a reader holds a transaction") << 1 << 2 << true;
    QTest::newRow("three collectors at once") << 3 << 12 << false;
}

void TestStore::besideOthers()
{
    QFETCH(int, collectors);
    QFETCH(int, runs);
    QFETCH(bool, reader);
    QTemporaryDir dir;
    std::vector<std::unique_ptr<Sim>> sims;
    for (int k = 0; k < collectors; ++k) {
        sims.push_back(std::make_unique<Sim>());
        QVERIFY(sims.back()->start(dir.filePath(QStringLiteral("COM%1").arg(k + 1)), {"--fast", "--records", "30"}));
    }
    // The store made, then a reader in the middle of reading it.
    Run r = collect({"--port", sims[0]->device, "--store", m_url, "--counter", "c0"});
    QCOMPARE(r.status, 0);
    if (reader) {
        QVERIFY(sql("BEGIN"));
        QVERIFY(sql("SELECT count(*) FROM qz7310_record"));
    }
    std::vector<std::unique_ptr<QProcess>> running(collectors);
    std::vector<int> left(collectors, runs);
    QStringList failures;
    const auto start = [&](int k) {
        running[k] = std::make_unique<QProcess>();
        running[k]->setProcessEnvironment(headless());
        running[k]->start(QStringLiteral(QZ_COLLECT_PATH),
                          {"--port", sims[k]->device, "--store", m_url, "--counter", QStringLiteral("c%1").arg(k)});
    };
    for (int k = 0; k < collectors; ++k)
        start(k);
    QElapsedTimer clock;
    clock.start();
    while (std::any_of(left.begin(), left.end(), [](int n) { return n > 0; }) && clock.elapsed() < 100000) {
        for (int k = 0; k < collectors; ++k) {
            if (left[k] == 0 || !running[k]->waitForFinished(10))
                continue;
            if (running[k]->exitCode() != 0)
                failures << QString::fromLocal8Bit(running[k]->readAllStandardError());
            if (--left[k] > 0)
                start(k);
        }
    }
    if (reader)
        QVERIFY(sql("ROLLBACK"));
    QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));
    QCOMPARE(std::accumulate(left.begin(), left.end(), 0), 0);
    QSqlQuery query(m_db);
    QVERIFY(query.exec("SELECT count(*) FROM qz7310_readout WHERE verdict = 'saved' AND status = 0"));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toInt(), 1 + collectors * runs);
}

// PostgreSQL as laboratories set it up: tables in a schema of the collector's own role
// (public takes no CREATE from other roles since PostgreSQL 15), reached through the
// role's search_path; each run after the first, and the export, find them there.
void TestStore::labSchemas_data()
{
    QTest::addColumn<QString>("role");
    QTest::addColumn<QString>("schema");      // where the tables must be made
    QTest::addColumn<QString>("searchPath");  // the role's own; empty: the default
    QTest::newRow("a schema per role") << "qz_lab" << "qz_lab" << "";
    QTest::newRow("a search_path of its own") << "qz_lab2" << "counters" << "counters, public";
    QTest::newRow("public") << "" << "public" << "";
}

void TestStore::labSchemas()
{
    if (!postgres())
        QSKIP("schemas and search_path are PostgreSQL's");
    QFETCH(QString, role);
    QFETCH(QString, schema);
    QFETCH(QString, searchPath);
    QString url = m_url;
    if (!role.isEmpty()) {
        QVERIFY(sql(QStringLiteral("DROP SCHEMA IF EXISTS %1 CASCADE").arg(schema)));
        QVERIFY(sql(QStringLiteral("DROP ROLE IF EXISTS %1").arg(role)));
        QVERIFY(sql(QStringLiteral("CREATE ROLE %1 LOGIN PASSWORD '%2'").arg(role, qEnvironmentVariable("PGPASSWORD"))));
        QVERIFY(sql(QStringLiteral("CREATE SCHEMA %1 AUTHORIZATION %2").arg(schema, role)));
        if (!searchPath.isEmpty())
            QVERIFY(sql(QStringLiteral("ALTER ROLE %1 SET search_path = %2").arg(role, searchPath)));
        url.replace(QStringLiteral("//%1@").arg(qEnvironmentVariable("PGUSER")), QStringLiteral("//%1@").arg(role));
    }
    QTemporaryDir dir;
    Sim sim;
    QVERIFY(sim.start(dir.filePath("COM1"), {"--fast", "--records", "6"}));
    for (int k = 0; k < 3; ++k) {
        const Run r = collect({"--port", sim.device, "--store", url, "--counter", "lab"});
        QVERIFY2(r.status == 0, r.err.constData());
    }
    QTemporaryDir out;
    const Run r = collect({"--store", url, "--counter", "lab", "--export", "--output", out.filePath("lab.csv")});
    QVERIFY2(r.status == 0, r.err.constData());
    QVERIFY(r.err.contains("6 records of counter 'lab'"));
    QSqlQuery query(m_db);
    QVERIFY(query.exec(QStringLiteral("SELECT count(*) FROM %1.qz7310_readout").arg(schema)));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toInt(), 3);
    if (!role.isEmpty())
        QVERIFY(sql(QStringLiteral("DROP SCHEMA %1 CASCADE").arg(schema)));
}

// A server that stops answering in the middle of the store step (its backend stopped:
// the kernel still acknowledges, so no timeout of the server's own fires): the run
// ends by itself, or at once on a stop, and nothing is cleared.
void TestStore::hangingServer_data()
{
    QTest::addColumn<int>("signal"); // sent to the collector once the backend is stopped; 0: none
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("the step's deadline") << 0 << 4 << QByteArray("the store did not answer within 15 s");
    QTest::newRow("SIGTERM meanwhile") << int(SIGTERM) << 128 + SIGTERM
                                       << QByteArray("stopped by signal 15 while waiting for the store");
}

void TestStore::hangingServer()
{
    if (!postgres())
        QSKIP("a server's backend is PostgreSQL's");
    QFETCH(int, signal);
    QFETCH(int, status);
    QFETCH(QByteArray, message);
    QTemporaryDir dir;
    Sim sim;
    QVERIFY(sim.start(dir.filePath("COM1"), {"--fast", "--records", "8"}));
    QCOMPARE(collect({"--port", sim.device, "--store", m_url, "--counter", "A"}).status, 0);
    sim.log();
    const QString before = contents();
    // The read-out's own transaction takes a while: time to find its backend.
    QVERIFY(sql("CREATE FUNCTION qz_meddle() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN PERFORM pg_sleep(1); "
                "RETURN NEW; END $$"));
    QVERIFY(sql("CREATE TRIGGER qz_meddle BEFORE UPDATE ON qz7310_readout FOR EACH ROW EXECUTE FUNCTION "
                "qz_meddle()"));
    QProcess run;
    run.setProcessEnvironment(headless());
    run.start(QStringLiteral(QZ_COLLECT_PATH), {"--port", sim.device, "--store", m_url, "--counter", "A", "--clear"});
    QVERIFY(run.waitForStarted());
    int backend = 0;
    for (int k = 0; k < 500 && backend == 0; ++k) {
        QSqlQuery query(m_db);
        QVERIFY(query.exec("SELECT pid FROM pg_stat_activity WHERE application_name = 'qz7310-collect' "
                           "AND wait_event = 'PgSleep'"));
        if (query.next())
            backend = query.value(0).toInt();
        else
            QTest::qWait(10);
    }
    QVERIFY(backend > 0);
    QCOMPARE(::kill(backend, SIGSTOP), 0);
    if (signal != 0) {
        QTest::qWait(300);
        ::kill(pid_t(run.processId()), signal);
    }
    // Bounded: the step's deadline (15 s) and the run's end, never the server's return.
    const bool ended = run.waitForFinished(30000);
    ::kill(backend, SIGCONT);
    QVERIFY(ended);
    const QByteArray err = run.readAllStandardError();
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QVERIFY2(run.exitCode() == status, err.constData());
    QVERIFY2(err.contains(message), err.constData());
    QVERIFY2(err.contains("the counter was not cleared"), err.constData());
    QVERIFY(!sim.log().contains("CLR ALL"));
    QTest::qWait(1500); // the backend, running again, finds its client gone
    QVERIFY(sql("DROP FUNCTION qz_meddle() CASCADE"));
    QCOMPARE(contents(), before);
    // Its row says it never ended.
    QSqlQuery query(m_db);
    QVERIFY(query.exec("SELECT verdict, status, ended FROM qz7310_readout WHERE status = -1"));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toString() + query.value(1).toString() + query.value(2).toString(), "running-1");
}

// Each fault: exit 4, a clear message, the store as it was, the counter not cleared.
void TestStore::faults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("early"); // known before the counter is read
    QTest::newRow("cannot be reached") << "unreachable" << QByteArray("cannot use the store") << true;
    QTest::newRow("newer schema") << "newer" << QByteArray("its tables are of version 9, newer than this program's")
                                  << true;
    QTest::newRow("another run holds it")
        << "locked" << QByteArray("another run or program is writing to the store (waited 3.") << true;
    QTest::newRow("disk fails at the commit")
        << "disk" << QByteArray(postgres() ? "cannot store the read-out in" : "cannot use the store") << !postgres();
    if (postgres()) {
        QTest::newRow("wrong password") << "password" << QByteArray("password authentication failed") << true;
        QTest::newRow("server gone mid-transaction") << "gone" << QByteArray("cannot store the read-out in") << false;
        QTest::newRow("a read-only role") << "role" << QByteArray("permission denied for table") << true;
        QTest::newRow("a name too long for the index") << "long" << QByteArray("does not fit the store's index")
                                                       << true;
    } else {
        QTest::newRow("read-only file") << "readonly" << QByteArray("attempt to write a readonly database") << true;
        QTest::newRow("read-only folder") << "folder" << QByteArray("cannot be written: SQLite keeps its journal")
                                          << true;
    }
}

void TestStore::faults()
{
    QFETCH(QString, fault);
    QFETCH(QByteArray, message);
    QFETCH(bool, early);
    QTemporaryDir dir;
    Sim sim;
    QVERIFY(sim.start(dir.filePath("COM1"), {"--fast", "--records", "8"}));
    QStringList run{"--port", sim.device, "--counter", "A", "--clear"};
    Run r = collect({"--port", sim.device, "--counter", "A", "--store", m_url});
    QCOMPARE(r.status, 0);
    sim.log();
    const QString before = contents();

    QString url = m_url;
    QProcessEnvironment env = headless();
    std::function<void()> inChild;
    if (fault == "unreachable") {
        url = postgres() ? QStringLiteral("postgresql://%1@127.0.0.1:1/x").arg(qEnvironmentVariable("PGUSER"))
                         : QStringLiteral("sqlite:") + dir.filePath("no such folder/history.db");
    } else if (fault == "newer") {
        QVERIFY(sql("UPDATE qz7310_schema SET version = 9"));
    } else if (fault == "locked") {
        QVERIFY(sql(postgres() ? "BEGIN" : "BEGIN IMMEDIATE"));
        if (postgres())
            QVERIFY(sql("SELECT epoch FROM qz7310_counter WHERE name = 'A' FOR UPDATE"));
    } else if (fault == "disk" && !postgres()) {
        env = failingSync("file");
    } else if (fault == "disk" || fault == "gone") {
        // The server's own failures, raised while the records go in.
        const char *body = fault == "disk"
                               ? "RAISE EXCEPTION 'could not extend file: No space left on device' "
                                 "USING ERRCODE = 'disk_full'"
                               : "PERFORM pg_terminate_backend(pg_backend_pid())";
        QVERIFY(sql(QStringLiteral("CREATE FUNCTION qz_meddle() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN %1; "
                                   "RETURN NEW; END $$")
                        .arg(QLatin1String(body))));
        // Past the run's first row: at the read-out's own transaction.
        QVERIFY(sql("CREATE TRIGGER qz_meddle BEFORE UPDATE ON qz7310_readout FOR EACH ROW EXECUTE FUNCTION "
                    "qz_meddle()"));
    } else if (fault == "password") {
        env.insert("PGPASSWORD", "wrong");
    } else if (fault == "role") {
        QVERIFY(sql("DROP ROLE IF EXISTS qz_reader"));
        QVERIFY(sql(QStringLiteral("CREATE ROLE qz_reader LOGIN PASSWORD '%1' IN ROLE pg_read_all_data")
                        .arg(qEnvironmentVariable("PGPASSWORD"))));
        url.replace(QStringLiteral("//%1@").arg(qEnvironmentVariable("PGUSER")), QStringLiteral("//qz_reader@"));
    } else if (fault == "long") {
        // 6,000 characters that do not compress, as a real name's would not.
        QString name;
        quint32 x = 7310;
        for (int k = 0; k < 6000; ++k)
            name += QLatin1Char(char('a' + (x = x * 1103515245u + 12345u) / 65536 % 26));
        run[3] = name;
    } else if (fault == "folder") {
        // The file may be written, its folder not (nor the journal files in it).
        QVERIFY(QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                        | QFile::ReadOther | QFile::ExeOther));
        QVERIFY(QFile::setPermissions(m_dir.filePath("history.db"), QFile::ReadOwner | QFile::WriteOwner
                                                                         | QFile::ReadOther | QFile::WriteOther));
        const QString why = nobodyCannotTry({QFile::encodeName(QStringLiteral(QZ_COLLECT_PATH)),
                                             QFile::encodeName(m_dir.filePath("history.db"))});
        if (!why.isEmpty())
            QSKIP(qPrintable(why));
        inChild = [] { becomeNobody(); };
    } else if (fault == "readonly") {
        QVERIFY(QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                        | QFile::ReadOther | QFile::ExeOther));
        const QString why = nobodyCannotTry({QFile::encodeName(QStringLiteral(QZ_COLLECT_PATH)),
                                             QFile::encodeName(m_dir.filePath("history.db"))});
        if (!why.isEmpty())
            QSKIP(qPrintable(why));
        inChild = [] { becomeNobody(); };
    }

    r = collect(run + QStringList{"--store", url}, env, inChild);
    if (fault == "locked")
        QVERIFY(sql("ROLLBACK"));
    if (postgres())
        QVERIFY(sql("DROP FUNCTION IF EXISTS qz_meddle() CASCADE"));
    if (fault == "newer")
        QVERIFY(sql("UPDATE qz7310_schema SET version = 1"));
    QCOMPARE(r.status, 4);
    QVERIFY2(r.err.contains(message), r.err.constData());
    QVERIFY2(r.err.contains("the counter was not cleared"), r.err.constData());
    const QByteArray received = sim.log();
    QVERIFY(!received.contains("CLR ALL"));
    QCOMPARE(received.contains("RDD ALL"), !early);
    QCOMPARE(contents(), before);
}

// Two collectors at once, each on a simulator of its own, held at the store by the
// test until both wait there: two first runs on a new store (two counters' timers in
// the same minute), and two runs for one counter, both with records the store lacks.
// Both runs are stored (exit 0), every record once.
void TestStore::concurrentRuns_data()
{
    QTest::addColumn<QStringList>("counters");
    QTest::addColumn<QString>("stored"); // counter:epoch:records
    QTest::newRow("two first runs on a new store") << QStringList{"A", "B"} << "A:1:8 B:1:8";
    QTest::newRow("two runs for one counter") << QStringList{"A", "A"} << "A:1:8";
}

void TestStore::concurrentRuns()
{
    QFETCH(QStringList, counters);
    QFETCH(QString, stored);
    const bool firstRuns = counters[0] != counters[1];
    QTemporaryDir dir;
    Sim sims[3];
    if (!firstRuns) {
        // The counter's first four records are in the store already.
        QVERIFY(sims[2].start(dir.filePath("COM3"), {"--fast", "--records", "4"}));
        const Run r = collect({"--port", sims[2].device, "--counter", counters[0], "--store", m_url});
        QVERIFY2(r.status == 0, r.err.constData());
    }
    // The door: the tables being made, or the read-outs' table taken for a while.
    if (!postgres())
        QVERIFY(sql("BEGIN IMMEDIATE"));
    else
        QVERIFY(sql("BEGIN") && sql(firstRuns ? "CREATE TABLE qz7310_schema (version INTEGER)"
                                             : "LOCK TABLE qz7310_readout IN SHARE MODE"));
    // The simulators first: the first run at the door waits at most the store's 3 s.
    for (int k = 0; k < 2; ++k)
        QVERIFY(sims[k].start(dir.filePath(QStringLiteral("COM%1").arg(k + 1)), {"--fast", "--records", "8"}));
    QProcess runs[2];
    for (int k = 0; k < 2; ++k) {
        runs[k].setProcessEnvironment(headless());
        runs[k].start(QZ_COLLECT_PATH, {"--port", sims[k].device, "--counter", counters[k], "--store", m_url});
        QVERIFY(runs[k].waitForStarted(10000));
    }
    // Both at the door: waiting for a lock on PostgreSQL; on SQLite, with the file
    // open (the wait for its lock follows at once).
    const auto waiting = [&] {
        if (postgres()) {
            // A transaction keeps the activity it saw first, unless told to look again.
            QSqlQuery query(m_db);
            return query.exec("SELECT pg_stat_clear_snapshot()") && query.exec("SELECT COUNT(*) FROM pg_stat_activity WHERE application_name = 'qz7310-collect' "
                              "AND wait_event_type = 'Lock'")
                   && query.next() && query.value(0).toInt() == 2;
        }
        int open = 0;
        for (QProcess &run : runs) {
            const QDir fds(QStringLiteral("/proc/%1/fd").arg(run.processId()));
            for (const QFileInfo &fd : fds.entryInfoList(QDir::Files | QDir::System))
                open += fd.symLinkTarget() == m_dir.filePath("history.db") ? 1 : 0;
        }
        return open == 2;
    };
    const bool bothThere = QTest::qWaitFor(waiting, 10000);
    if (!postgres())
        QTest::qWait(500);
    QVERIFY(sql("ROLLBACK"));
    QVERIFY(bothThere);
    for (QProcess &run : runs) {
        QVERIFY(run.waitForFinished(30000));
        QVERIFY2(run.exitCode() == 0, run.readAllStandardError().constData());
    }

    QSqlQuery query(m_db);
    QVERIFY(query.exec("SELECT counter, epoch, COUNT(*) FROM qz7310_record GROUP BY counter, epoch "
                       "ORDER BY counter, epoch"));
    QStringList found;
    while (query.next())
        found << QStringLiteral("%1:%2:%3").arg(query.value(0).toString(), query.value(1).toString(),
                                                query.value(2).toString());
    QCOMPARE(found.join(' '), stored);
    QVERIFY(query.exec("SELECT COUNT(*) FROM qz7310_readout WHERE verdict = 'saved'"));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toInt(), firstRuns ? 2 : 3);
}

// --export of a store it cannot read: exit 4, and the message names the cause.
void TestStore::exportRefused_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("a table missing") << "table" << QByteArray("its table qz7310_record is missing");
    QTest::newRow("a version no integer holds")
        << "version" << QByteArray("of version 1e+20, newer than this program's (1)");
    if (!postgres()) {
        QTest::newRow("a folder") << "folder" << QByteArray("it is a folder, not a file");
        QTest::newRow("random bytes") << "bytes" << QByteArray("it is not an SQLite database");
        QTest::newRow("locked by another program") << "locked" << QByteArray("is writing to the store (waited 3.");
    }
}

void TestStore::exportRefused()
{
    QFETCH(QString, fault);
    QFETCH(QByteArray, message);
    {
        StoredReadout run;
        run.counter = QStringLiteral("A");
        run.request = QStringLiteral("RDD ALL");
        run.verdict = RunVerdict::Saved;
        run.frames = records(1, 3, 1);
        ReadoutStore store(address(m_url));
        QString error;
        QVERIFY2(store.open(&error) && store.add(run, &error), qPrintable(error));
    }
    QTemporaryDir dir;
    QString url = m_url;
    if (fault == "table") {
        QVERIFY(sql("DROP VIEW qz7310_history"));
        QVERIFY(sql("DROP TABLE qz7310_record"));
    } else if (fault == "version") {
        QVERIFY(sql(postgres() ? "ALTER TABLE qz7310_schema ALTER COLUMN version TYPE NUMERIC" : "SELECT 1"));
        QVERIFY(sql("UPDATE qz7310_schema SET version = 99999999999999999999"));
    } else if (fault == "folder") {
        url = QStringLiteral("sqlite:") + dir.path();
    } else if (fault == "bytes") {
        QFile file(dir.filePath("noise.db"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QByteArray noise;
        for (int k = 0; k < 4096; ++k)
            noise += char(k * 7919 % 251);
        file.write(noise);
        file.close();
        url = QStringLiteral("sqlite:") + file.fileName();
    } else if (fault == "locked") {
        QVERIFY(sql("PRAGMA locking_mode = EXCLUSIVE"));
        QVERIFY(sql("BEGIN EXCLUSIVE"));
    }
    const Run r = collect({"--store", url, "--counter", "A", "--export"});
    if (fault == "locked") {
        QVERIFY(sql("ROLLBACK"));
        QVERIFY(sql("PRAGMA locking_mode = NORMAL"));
        QVERIFY(sql("SELECT count(*) FROM qz7310_schema"));
    }
    QCOMPARE(r.status, 4);
    QVERIFY2(r.err.contains(message), r.err.constData());
    QVERIFY2(!r.err.contains("()") && r.err.count('\n') == 1, r.err.constData());
    QVERIFY(r.out.isEmpty());
}

// sqlite:'s file is the one named: its bytes as the command line gave them, and a
// relative name taken from the folder the run started in, said in full.
void TestStore::fileNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("relative");
    QTest::newRow("a name that is not UTF-8") << QByteArray("r\xe9sum\xe9.db") << false;
    QTest::newRow("a relative name") << QByteArray("lab/history.db") << true;
}

void TestStore::fileNames()
{
    if (postgres())
        QSKIP("a file is SQLite's");
    QFETCH(QByteArray, name);
    QFETCH(bool, relative);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("lab"));
    Sim sim;
    QVERIFY(sim.start(dir.filePath("COM1"), {"--fast", "--records", "4"}));
    const QByteArray file = QFile::encodeName(dir.path()) + '/' + name;
    // The name goes through the shell's printf as bytes: a QProcess argument would be UTF-8.
    QByteArray escaped;
    for (const char c : relative ? name : file)
        escaped += '\\' + QByteArray::number(uchar(c), 8).rightJustified(3, '0');
    QProcessEnvironment env = headless();
    env.insert("QZ_STORE", QString::fromLatin1(escaped));
    env.insert("QZ_FOLDER", dir.path());
    const Run r = collect({"-c", "cd \"$QZ_FOLDER\" && exec \"$0\" \"$@\" --store \"sqlite:$(printf \"$QZ_STORE\")\"",
                           QZ_COLLECT_PATH, "--port", sim.device, "--counter", "A"},
                          env, {}, QStringLiteral("/bin/sh"));
    QVERIFY2(r.status == 0, r.err.constData());
    struct stat made {};
    QVERIFY(::stat(file.constData(), &made) == 0 && S_ISREG(made.st_mode));
    QVERIFY2(r.err.contains("stored in " + file), r.err.constData());
    QCOMPARE(r.err.contains("--store: the file is " + file + '\n'), relative);
}

QTEST_GUILESS_MAIN(TestStore)
#include "test_store.moc"
