#include "readout_store.h"

#include "history_rules.h"
#include "identity.h"
#include "stop_request.h"
#include "csv/durable_file.h"
#include "table/counter_record.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>
#include <QUuid>
#include <QVariant>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// How long a run waits for another one that is writing the same store.
constexpr int LockWaitMs = 3000;
// PostgreSQL: the longest one statement may take, and an open transaction may idle,
// on the server; the step's own deadline (ReadoutStore::StepDeadlineMs) is longer, so
// the server's reason is the one said whenever the server can still say it.
constexpr int StatementLimitMs = 10000;
constexpr int IdleInTransactionMs = 12000;

// Who wrote a row: "qz7310-collect 0.9.2".
QString programName()
{
    return QStringLiteral("qz7310-collect %1").arg(applicationVersion());
}

QString utc(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString::fromLatin1("");
}

QVariant utcOrNull(const QDateTime &time)
{
    return time.isValid() ? QVariant(utc(time)) : QVariant(QMetaType(QMetaType::QString));
}

QVariant valueOrNull(qint64 value)
{
    return value >= 0 ? QVariant(value) : QVariant(QMetaType(QMetaType::LongLong));
}

// An empty text is still text: NOT NULL columns take it.
QVariant text(const QString &value)
{
    return QVariant(value.isNull() ? QString::fromLatin1("") : value);
}

QVariant clearAnswerValue(ClearAnswer answer)
{
    switch (answer) {
    case ClearAnswer::Ack:
        return QStringLiteral("ACK");
    case ClearAnswer::Nak:
        return QStringLiteral("NAK");
    case ClearAnswer::None:
        break;
    }
    return QVariant(QMetaType(QMetaType::QString));
}

QString seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000, 'f', 1);
}

// The tables, the same on both engines but for the type of raw bytes (%1). Times are
// ISO 8601 text in UTC, which sorts as time and reads the same on both; flags are 0/1.
const char *const SchemaStatements[] = {
    "CREATE TABLE qz7310_schema (version INTEGER NOT NULL, program TEXT NOT NULL)",
    "CREATE TABLE qz7310_counter (name TEXT PRIMARY KEY, epoch INTEGER NOT NULL, first_seen TEXT NOT NULL)",
    "CREATE TABLE qz7310_readout (id TEXT PRIMARY KEY, counter TEXT NOT NULL REFERENCES qz7310_counter (name), "
    "epoch INTEGER NOT NULL, host TEXT NOT NULL, program TEXT NOT NULL, port TEXT NOT NULL, request TEXT NOT NULL, "
    "started TEXT NOT NULL, ended TEXT NOT NULL, replies INTEGER NOT NULL, reply %1 NOT NULL, verdict TEXT NOT NULL, "
    "status INTEGER NOT NULL, messages TEXT NOT NULL, records INTEGER NOT NULL, new_records INTEGER NOT NULL, "
    "foreign_clear INTEGER NOT NULL, clear_sent TEXT, clear_answer TEXT, late_records INTEGER NOT NULL)",
    "CREATE INDEX qz7310_readout_counter ON qz7310_readout (counter, started)",
    "CREATE TABLE qz7310_record (counter TEXT NOT NULL, epoch INTEGER NOT NULL, number INTEGER NOT NULL, "
    "cntr1 BIGINT NOT NULL, cntr2 BIGINT NOT NULL, cntr3 BIGINT NOT NULL, cntr4 BIGINT NOT NULL, "
    "cntr5 BIGINT NOT NULL, total BIGINT NOT NULL, frame %1 NOT NULL, "
    "readout TEXT NOT NULL REFERENCES qz7310_readout (id), late INTEGER NOT NULL, "
    "PRIMARY KEY (counter, epoch, number))",
    "CREATE TABLE qz7310_value (readout TEXT NOT NULL REFERENCES qz7310_readout (id), position INTEGER NOT NULL, "
    "number INTEGER, cntr1 BIGINT, cntr2 BIGINT, cntr3 BIGINT, cntr4 BIGINT, cntr5 BIGINT, total BIGINT, "
    "frame %1 NOT NULL, PRIMARY KEY (readout, position))",
    "CREATE VIEW qz7310_history AS SELECT r.counter, r.epoch, r.number, r.cntr1, r.cntr2, r.cntr3, r.cntr4, "
    "r.cntr5, r.total, r.late, o.started AS read_at, o.id AS readout FROM qz7310_record r "
    "JOIN qz7310_readout o ON o.id = r.readout ORDER BY o.started, r.counter, r.epoch, r.number",
};
const char *const StoreTables[] = {"qz7310_counter", "qz7310_readout", "qz7310_record", "qz7310_value",
                                   "qz7310_history"};

#ifdef Q_OS_UNIX
// SQLite as a URI built from the name's bytes: a name that is not UTF-8 is the file
// it names, and nothing in it can ask for another VFS or a memory database.
QString sqliteUri(const QString &path)
{
    return QStringLiteral("file:") + QString::fromLatin1(nativePath(path).toPercentEncoding("/"));
}
#endif

enum class PathKind { Missing, File, Folder, Other };
PathKind pathKind(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat st {};
    if (::stat(nativePath(path).constData(), &st) != 0)
        return PathKind::Missing;
    return S_ISREG(st.st_mode) ? PathKind::File : S_ISDIR(st.st_mode) ? PathKind::Folder : PathKind::Other;
#else
    const QFileInfo info(path);
    return !info.exists() ? PathKind::Missing : info.isFile() ? PathKind::File : info.isDir() ? PathKind::Folder
                                                                                             : PathKind::Other;
#endif
}

QString folderOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

} // namespace

QString runVerdictName(RunVerdict verdict)
{
    switch (verdict) {
    case RunVerdict::Running:
        return QStringLiteral("running");
    case RunVerdict::Saved:
        return QStringLiteral("saved");
    case RunVerdict::Refused:
        return QStringLiteral("refused");
    case RunVerdict::NotConfirmed:
        return QStringLiteral("not confirmed");
    case RunVerdict::NoReply:
        return QStringLiteral("no reply");
    case RunVerdict::PortNotOpened:
        return QStringLiteral("port not opened");
    case RunVerdict::NotWritten:
        return QStringLiteral("not written");
    case RunVerdict::Stopped:
        break;
    }
    return QStringLiteral("stopped");
}

// One connection and the SQL spoken on it, all on the store's own thread.
class StoreConnection
{
public:
    explicit StoreConnection(const StoreAddress &address)
        : m_address(address)
    {
        static std::atomic<int> count{0};
        m_name = QStringLiteral("qz7310-store-%1").arg(++count);
    }
    ~StoreConnection()
    {
        if (m_db.isValid()) {
            m_db.close();
            m_db = QSqlDatabase();
            QSqlDatabase::removeDatabase(m_name);
        }
    }

    bool sqlite() const { return m_address.engine == StoreAddress::Engine::SQLite; }

    // Why a statement failed, in words that name the cause.
    QString failure(const QSqlError &error, qint64 waitedMs) const
    {
        const QString code = error.nativeErrorCode();
        if (sqlite() ? code == QLatin1String("5") || code == QLatin1String("6") : code == QLatin1String("55P03"))
            return QStringLiteral("another run or program is writing to the store (waited %1 s for it)")
                .arg(seconds(waitedMs));
        if (sqlite() && (code == QLatin1String("8") || code == QLatin1String("14")) && folderReadOnly())
            return QStringLiteral("its folder %1 cannot be written: SQLite keeps its journal (the -wal and -shm "
                                  "files) beside the file")
                .arg(folderOf(m_address.path));
        if (sqlite() && code == QLatin1String("26"))
            return QStringLiteral("it is not an SQLite database (%1)").arg(error.databaseText().trimmed());
        if (!sqlite() && code == QLatin1String("57014"))
            return QStringLiteral("the server did not finish a statement within %1 s").arg(StatementLimitMs / 1000);
        QString text = error.databaseText();
        // Qt's PostgreSQL driver adds the SQLSTATE in brackets, empty when there is none.
        text.remove(QRegularExpression(QStringLiteral("\\s*\\([0-9A-Z]{0,5}\\)\\s*$")));
        text = text.simplified(); // libpq's messages run over several lines
        if (text.isEmpty())
            text = error.driverText().simplified();
        if (!sqlite() && code == QLatin1String("54000"))
            text += QStringLiteral(" (a counter's name of this length does not fit the store's index)");
        return text;
    }

    // The file may be written and its folder not.
    bool folderReadOnly() const
    {
#ifdef Q_OS_UNIX
        return ::access(nativePath(m_address.path).constData(), W_OK) == 0
               && ::access(nativePath(folderOf(m_address.path)).constData(), W_OK) != 0;
#else
        return false;
#endif
    }

    // A statement with named placeholders; its prepare's failure is the one said.
    class Sql
    {
    public:
        Sql(StoreConnection &c, const QString &statement)
            : m_c(c), m_query(c.m_db), m_statement(statement)
        {
            m_query.setForwardOnly(true);
            m_prepared = m_query.prepare(statement);
        }
        Sql &bind(const char *name, const QVariant &value)
        {
            m_values.insert(QLatin1String(name), value);
            return *this;
        }
        bool exec(QString *error)
        {
            QElapsedTimer clock;
            clock.start();
            // SQLite reads the tables' definitions when it prepares: that can meet a lock too.
            while (!m_prepared) {
                if (!m_c.waitForLock(m_query.lastError(), clock)) {
                    *error = m_c.failure(m_query.lastError(), clock.elapsed());
                    m_c.failed();
                    return false;
                }
                m_prepared = m_query.prepare(m_statement);
            }
            for (;;) {
                for (auto value = m_values.cbegin(); value != m_values.cend(); ++value)
                    m_query.bindValue(value.key(), value.value());
                if (m_query.exec())
                    break;
                if (m_c.waitForLock(m_query.lastError(), clock))
                    continue;
                *error = m_c.failure(m_query.lastError(), clock.elapsed());
                m_c.failed();
                return false;
            }
            return true;
        }
        bool next() { return m_query.next(); }
        QVariant value(int k) const { return m_query.value(k); }
        // Done reading: SQLite ends the statement's read before any write begins.
        void finish() { m_query.finish(); }

    private:
        StoreConnection &m_c;
        QSqlQuery m_query;
        QString m_statement;
        QHash<QString, QVariant> m_values;
        bool m_prepared = false;
    };

    // A statement without values (BEGIN, a table made), not prepared.
    bool exec(const QString &statement, QString *error)
    {
        QElapsedTimer clock;
        clock.start();
        QSqlQuery query(m_db);
        while (!query.exec(statement)) {
            if (waitForLock(query.lastError(), clock))
                continue;
            *error = failure(query.lastError(), clock.elapsed());
            failed();
            return false;
        }
        return true;
    }

    // SQLite gives up on a lock at once in some cases (a reader without the WAL's
    // shared memory, a lock held in exclusive mode) instead of calling its busy
    // handler: outside a transaction the statement is tried again until the wait is
    // as long as said. Within one, giving up is the only way out of a deadlock.
    bool waitForLock(const QSqlError &error, const QElapsedTimer &clock)
    {
        const QString code = error.nativeErrorCode();
        if (!sqlite() || m_inTransaction || (code != QLatin1String("5") && code != QLatin1String("6"))
            || clock.elapsed() >= LockWaitMs)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return true;
    }

    // A failed statement undoes its whole transaction at once (PostgreSQL refuses
    // everything else in it anyway, freeing the statements included).
    void failed()
    {
        if (!m_inTransaction)
            return;
        m_inTransaction = false;
        if (m_db.isOpen())
            QSqlQuery(m_db).exec(QStringLiteral("ROLLBACK"));
    }

    // One transaction: rolled back unless committed, whichever way the scope is left.
    class Transaction
    {
    public:
        explicit Transaction(StoreConnection &c)
            : m_c(c)
        {
        }
        ~Transaction() { m_c.failed(); }
        // SQLite: the write lock at once, so that two runs wait for each other here
        // rather than one failing at its first write (no statement is left reading:
        // SQLite would not wait then).
        bool begin(QString *error)
        {
            m_c.m_inTransaction = m_c.exec(m_c.sqlite() ? QStringLiteral("BEGIN IMMEDIATE")
                                                         : QStringLiteral("BEGIN"),
                                           error);
            return m_c.m_inTransaction;
        }
        bool commit(QString *error)
        {
            if (!m_c.exec(QStringLiteral("COMMIT"), error))
                return false;
            m_c.m_inTransaction = false;
            return true;
        }

    private:
        StoreConnection &m_c;
    };

    bool open(bool create, QString *error);
    bool beginRun(const StoredReadout &run, QString *error);
    bool add(const StoredReadout &run, QString *error);
    bool finish(const StoredReadout &run, QString *error);
    int epoch(const QString &counter, QString *error);
    bool records(const QString &counter, const QDateTime &since, QList<QByteArray> *frames, QString *error);

private:
    bool resolves(const char *table, bool *found, QString *error);
    bool createSchema(QString *error);
    bool lockCounter(const StoredReadout &run, int *epoch, QString *error);
    bool writeRun(const StoredReadout &run, const HistoryStep &step, bool ended, QString *error);
    bool addRecords(const QString &counter, int epoch, const QList<QByteArray> &frames, bool late, QString *error);

    StoreAddress m_address;
    QString m_name;
    QSqlDatabase m_db;
    bool m_inTransaction = false;
    QString m_readoutId; // the run's row, once written
    int m_epoch = 0;     // the epoch of its read-out
};

using Transaction = StoreConnection::Transaction;
using Sql = StoreConnection::Sql;

bool StoreConnection::open(bool create, QString *error)
{
    const QString driver = sqlite() ? QStringLiteral("QSQLITE") : QStringLiteral("QPSQL");
    if (!QSqlDatabase::isDriverAvailable(driver)) {
#ifdef Q_OS_WIN
        *error = sqlite() ? QStringLiteral("Qt's SQLite driver (plugins\\sqldrivers\\qsqlite.dll) is missing")
                          : QStringLiteral("this Windows build has no PostgreSQL driver: keep the history in "
                                           "sqlite:FILE, or store from a Linux collector");
#else
        *error = sqlite() ? QStringLiteral("Qt's SQLite driver is not installed (Debian: libqt6sql6-sqlite)")
                          : QStringLiteral("Qt's PostgreSQL driver is not installed (Debian: libqt6sql6-psql)");
#endif
        return false;
    }
    m_db = QSqlDatabase::addDatabase(driver, m_name);
    if (sqlite()) {
        const PathKind kind = pathKind(m_address.path);
        if (kind == PathKind::Folder || kind == PathKind::Other) {
            *error = kind == PathKind::Folder ? QStringLiteral("it is a folder, not a file")
                                              : QStringLiteral("it is not a regular file");
            return false;
        }
        // SQLite would make the file: only a run that stores may.
        if (kind == PathKind::Missing) {
            if (!create) {
                *error = QStringLiteral("there is no such file");
                return false;
            }
            if (pathKind(folderOf(m_address.path)) != PathKind::Folder) {
                *error = QStringLiteral("there is no folder %1 to make it in").arg(folderOf(m_address.path));
                return false;
            }
        }
        QString options = QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(LockWaitMs);
#ifdef Q_OS_UNIX
        m_db.setDatabaseName(sqliteUri(m_address.path));
        options += QStringLiteral(";QSQLITE_OPEN_URI");
#else
        m_db.setDatabaseName(m_address.path);
#endif
        if (!create)
            options += QStringLiteral(";QSQLITE_OPEN_READONLY");
        m_db.setConnectOptions(options);
    } else {
        m_db.setHostName(m_address.host);
        if (m_address.port >= 0)
            m_db.setPort(m_address.port);
        if (!m_address.user.isEmpty())
            m_db.setUserName(m_address.user);
        m_db.setDatabaseName(m_address.database);
        // No password here: libpq reads PGPASSWORD or ~/.pgpass. Every wait bounded on
        // both sides: the connection, each statement, a lock, an idle transaction;
        // keepalives and the TCP user timeout notice a server or a network gone. The
        // server's own notices stay off standard error (its errors are read here).
        m_db.setConnectOptions(
            QStringLiteral("connect_timeout=5;application_name=qz7310-collect;keepalives=1;keepalives_idle=5;"
                           "keepalives_interval=2;keepalives_count=3;tcp_user_timeout=%1;"
                           "options='-c statement_timeout=%2 -c lock_timeout=%3 "
                           "-c idle_in_transaction_session_timeout=%4 -c client_min_messages=error'")
                .arg(StatementLimitMs)
                .arg(StatementLimitMs)
                .arg(LockWaitMs)
                .arg(IdleInTransactionMs));
    }
    if (!m_db.open()) {
        *error = failure(m_db.lastError(), 0);
        if (error->isEmpty())
            *error = QStringLiteral("it cannot be opened");
        return false;
    }
    if (sqlite()) {
        if (!exec(QStringLiteral("PRAGMA foreign_keys = ON"), error))
            return false;
        // Readers (a shell, a browser, a dashboard) beside a writer never stop it; a
        // commit is synced before it counts. A read-only file keeps its mode: the
        // run's first write says why it cannot be used.
        if (create) {
            QString ignored;
            exec(QStringLiteral("PRAGMA journal_mode = WAL"), &ignored);
            if (!exec(QStringLiteral("PRAGMA synchronous = FULL"), error))
                return false;
        }
    }

    bool found = false;
    if (!resolves("qz7310_schema", &found, error))
        return false;
    if (!found) {
        if (!create) {
            *error = QStringLiteral("it holds no read-outs (no table qz7310_schema)");
            return false;
        }
        // Two first runs at once: the one that lost the race finds the other's tables.
        QString created;
        if (!createSchema(&created)) {
            if (!resolves("qz7310_schema", &found, error))
                return false;
            if (!found) {
                *error = created;
                return false;
            }
        }
    }
    for (const char *table : StoreTables) {
        if (!resolves(table, &found, error))
            return false;
        if (!found) {
            *error = QStringLiteral("its table %1 is missing: the tables were changed by hand; the store was not "
                                    "changed")
                         .arg(QLatin1String(table));
            return false;
        }
    }
    Sql version(*this, QStringLiteral("SELECT MAX(version) FROM qz7310_schema"));
    if (!version.exec(error))
        return false;
    const QString stored = version.next() ? version.value(0).toString() : QString();
    version.finish();
    // Read as text: a version no integer holds is still said as it is.
    bool number = false;
    const double value = stored.toDouble(&number);
    if (number && value > StoreSchemaVersion) {
        *error = QStringLiteral("its tables are of version %1, newer than this program's (%2): upgrade "
                                "qz7310-collect; the store was not changed")
                     .arg(stored.left(24))
                     .arg(StoreSchemaVersion);
        return false;
    }
    if (!number || value < 1) {
        *error = QStringLiteral("its table qz7310_schema holds no version: it was not made by qz7310-collect, or "
                                "was changed by hand; the store was not changed");
        return false;
    }
    return true;
}

// Whether a table or view of that name is what an unqualified name reaches: on
// PostgreSQL through the connection's search_path, as every statement here resolves it.
bool StoreConnection::resolves(const char *table, bool *found, QString *error)
{
    Sql sql(*this, sqlite() ? QStringLiteral("SELECT count(*) FROM sqlite_master WHERE name = :name")
                            : QStringLiteral("SELECT CASE WHEN to_regclass(:name) IS NULL THEN 0 ELSE 1 END"));
    sql.bind(":name", QLatin1String(table));
    if (!sql.exec(error))
        return false;
    *found = sql.next() && sql.value(0).toInt() > 0;
    return true;
}

bool StoreConnection::createSchema(QString *error)
{
    if (!sqlite()) {
        // Tables go to the first schema of the search_path that exists.
        Sql where(*this, QStringLiteral("SELECT current_schema(), current_setting('search_path')"));
        if (!where.exec(error))
            return false;
        if (where.next() && where.value(0).isNull()) {
            *error = QStringLiteral("no schema of its search_path (%1) exists to make the tables in")
                         .arg(where.value(1).toString());
            return false;
        }
    }
    const QString bytes = sqlite() ? QStringLiteral("BLOB") : QStringLiteral("BYTEA");
    Transaction transaction(*this);
    if (!transaction.begin(error))
        return false;
    for (const char *statement : SchemaStatements) {
        if (!exec(QString::fromLatin1(statement).replace(QLatin1String("%1"), bytes), error))
            return false;
    }
    Sql insert(*this, QStringLiteral("INSERT INTO qz7310_schema (version, program) VALUES (:version, :program)"));
    insert.bind(":version", StoreSchemaVersion).bind(":program", programName());
    if (!insert.exec(error))
        return false;
    return transaction.commit(error);
}

// The counter's row, made on first use, is the lock two runs for one counter take in
// turn (SQLite's BEGIN IMMEDIATE has locked the whole file already).
bool StoreConnection::lockCounter(const StoredReadout &run, int *epoch, QString *error)
{
    Sql counter(*this, QStringLiteral("INSERT INTO qz7310_counter (name, epoch, first_seen) VALUES (:name, 1, "
                                      ":first_seen) ON CONFLICT (name) DO NOTHING"));
    counter.bind(":name", run.counter).bind(":first_seen", utc(run.started));
    if (!counter.exec(error))
        return false;
    Sql lock(*this, sqlite() ? QStringLiteral("SELECT epoch FROM qz7310_counter WHERE name = :name")
                             : QStringLiteral("SELECT epoch FROM qz7310_counter WHERE name = :name FOR UPDATE"));
    lock.bind(":name", run.counter);
    if (!lock.exec(error))
        return false;
    if (!lock.next()) {
        *error = QStringLiteral("the counter's row vanished while it was being written");
        return false;
    }
    *epoch = lock.value(0).toInt();
    lock.finish();
    return true;
}

// The run's row: written whole, or (a run begun) brought up to date. A saved read-out
// has not ended until finish() says so.
bool StoreConnection::writeRun(const StoredReadout &run, const HistoryStep &step, bool ended, QString *error)
{
    const bool update = !m_readoutId.isEmpty();
    if (!update)
        m_readoutId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    Sql sql(*this,
            update ? QStringLiteral("UPDATE qz7310_readout SET epoch = :epoch, ended = :ended, replies = :replies, "
                                    "reply = :reply, verdict = :verdict, status = :status, messages = :messages, "
                                    "records = :records, new_records = :new_records, foreign_clear = :foreign_clear, "
                                    "clear_sent = :clear_sent, clear_answer = :clear_answer WHERE id = :id")
                   : QStringLiteral("INSERT INTO qz7310_readout (id, counter, epoch, host, program, port, request, "
                                    "started, ended, replies, reply, verdict, status, messages, records, new_records, "
                                    "foreign_clear, clear_sent, clear_answer, late_records) VALUES (:id, :counter, "
                                    ":epoch, :host, :program, :port, :request, :started, :ended, :replies, :reply, "
                                    ":verdict, :status, :messages, :records, :new_records, :foreign_clear, "
                                    ":clear_sent, :clear_answer, 0)"));
    sql.bind(":id", m_readoutId)
        .bind(":epoch", step.epoch)
        .bind(":ended", ended ? utc(run.ended) : QString::fromLatin1(""))
        .bind(":replies", run.replies)
        .bind(":reply", run.reply.isNull() ? QByteArray("") : run.reply)
        .bind(":verdict", runVerdictName(run.verdict))
        .bind(":status", ended ? run.status : StatusNotEnded)
        .bind(":messages", text(run.messages.join(QLatin1Char('\n'))))
        .bind(":records", int(run.frames.size()))
        .bind(":new_records", int(step.fresh.size()))
        .bind(":foreign_clear", step.foreignClear ? 1 : 0)
        .bind(":clear_sent", utcOrNull(run.clearSent))
        .bind(":clear_answer", clearAnswerValue(run.clearAnswer));
    if (!update) {
        sql.bind(":counter", run.counter)
            .bind(":host", text(QSysInfo::machineHostName()))
            .bind(":program", programName())
            .bind(":port", text(run.port))
            .bind(":request", text(run.request))
            .bind(":started", utc(run.started));
    }
    return sql.exec(error);
}

bool StoreConnection::addRecords(const QString &counter, int epoch, const QList<QByteArray> &frames, bool late,
                                 QString *error)
{
    Sql insert(*this, QStringLiteral("INSERT INTO qz7310_record (counter, epoch, number, cntr1, cntr2, cntr3, cntr4, "
                                     "cntr5, total, frame, readout, late) VALUES (:counter, :epoch, :number, :cntr1, "
                                     ":cntr2, :cntr3, :cntr4, :cntr5, :total, :frame, :readout, :late)"));
    static const char *const Counts[] = {":cntr1", ":cntr2", ":cntr3", ":cntr4", ":cntr5", ":total"};
    for (const QByteArray &frame : frames) {
        const RecordValues record = recordValues(frame);
        insert.bind(":counter", counter).bind(":epoch", epoch).bind(":number", record.number);
        for (int k = 0; k < 6; ++k)
            insert.bind(Counts[k], record.values.at(k));
        insert.bind(":frame", frame).bind(":readout", m_readoutId).bind(":late", late ? 1 : 0);
        if (!insert.exec(error))
            return false;
    }
    return true;
}

bool StoreConnection::beginRun(const StoredReadout &run, QString *error)
{
    Transaction transaction(*this);
    if (!transaction.begin(error))
        return false;
    int epoch = 0;
    if (!lockCounter(run, &epoch, error))
        return false;
    HistoryStep step;
    step.epoch = epoch;
    StoredReadout running = run;
    running.verdict = RunVerdict::Running;
    if (!writeRun(running, step, false, error) || !transaction.commit(error)) {
        m_readoutId.clear();
        return false;
    }
    m_epoch = epoch;
    return true;
}

bool StoreConnection::add(const StoredReadout &run, QString *error)
{
    Transaction transaction(*this);
    if (!transaction.begin(error))
        return false;
    int epoch = 0;
    if (!lockCounter(run, &epoch, error))
        return false;

    HistoryStep step;
    step.epoch = epoch;
    if (run.verdict == RunVerdict::Saved && run.request == QLatin1String("RDD ALL")) {
        QHash<int, RecordCounts> stored;
        Sql held(*this, QStringLiteral("SELECT number, cntr1, cntr2, cntr3, cntr4, cntr5, total FROM qz7310_record "
                                       "WHERE counter = :counter AND epoch = :epoch"));
        held.bind(":counter", run.counter).bind(":epoch", epoch);
        if (!held.exec(error))
            return false;
        while (held.next()) {
            RecordCounts counts;
            for (int k = 1; k <= 6; ++k)
                counts << held.value(k).toLongLong();
            stored.insert(held.value(0).toInt(), counts);
        }
        held.finish();
        step = historyStep(epoch, stored, run.frames);
        if (step.epoch != epoch) {
            Sql next(*this, QStringLiteral("UPDATE qz7310_counter SET epoch = :epoch WHERE name = :name"));
            next.bind(":epoch", step.epoch).bind(":name", run.counter);
            if (!next.exec(error))
                return false;
        }
    }
    const QString begun = m_readoutId;
    if (!writeRun(run, step, run.verdict != RunVerdict::Saved, error)
        || !addRecords(run.counter, step.epoch, step.fresh, false, error)) {
        m_readoutId = begun;
        return false;
    }
    if (run.request == QLatin1String("RDD NOW")) {
        Sql value(*this, QStringLiteral("INSERT INTO qz7310_value (readout, position, number, cntr1, cntr2, cntr3, "
                                        "cntr4, cntr5, total, frame) VALUES (:readout, :position, :number, :cntr1, "
                                        ":cntr2, :cntr3, :cntr4, :cntr5, :total, :frame)"));
        static const char *const Counts[] = {":cntr1", ":cntr2", ":cntr3", ":cntr4", ":cntr5", ":total"};
        for (int k = 0; k < run.frames.size(); ++k) {
            const RecordValues record = recordValues(run.frames.at(k));
            // The number as sent: RDD NOW's frame is numbered 00.
            const int sent = record.number == RecordsPerCounter ? 0 : record.number;
            value.bind(":readout", m_readoutId)
                .bind(":position", k + 1)
                .bind(":number", sent >= 0 ? QVariant(sent) : QVariant(QMetaType(QMetaType::Int)));
            for (int c = 0; c < 6; ++c)
                value.bind(Counts[c], valueOrNull(record.values.at(c)));
            value.bind(":frame", run.frames.at(k));
            if (!value.exec(error)) {
                m_readoutId = begun;
                return false;
            }
        }
    }
    if (!transaction.commit(error)) {
        m_readoutId = begun;
        return false;
    }
    m_epoch = step.epoch;
    return true;
}

bool StoreConnection::finish(const StoredReadout &run, QString *error)
{
    Transaction transaction(*this);
    if (!transaction.begin(error))
        return false;
    int epoch = 0;
    if (!lockCounter(run, &epoch, error))
        return false;

    QList<QByteArray> late;
    if (!run.lateFrames.isEmpty()) {
        Sql held(*this, QStringLiteral("SELECT number FROM qz7310_record WHERE counter = :counter AND epoch = :epoch"));
        held.bind(":counter", run.counter).bind(":epoch", m_epoch);
        if (!held.exec(error))
            return false;
        QSet<int> stored;
        while (held.next())
            stored.insert(held.value(0).toInt());
        held.finish();
        late = lateRecordsToStore(stored, run.lateFrames);
    }
    if (!addRecords(run.counter, m_epoch, late, true, error))
        return false;
    Sql end(*this, QStringLiteral("UPDATE qz7310_readout SET ended = :ended, verdict = :verdict, status = :status, "
                                  "messages = :messages, clear_sent = :clear_sent, clear_answer = :clear_answer, "
                                  "late_records = :late_records WHERE id = :id"));
    end.bind(":ended", utc(run.ended))
        .bind(":verdict", runVerdictName(run.verdict))
        .bind(":status", run.status)
        .bind(":messages", text(run.messages.join(QLatin1Char('\n'))))
        .bind(":clear_sent", utcOrNull(run.clearSent))
        .bind(":clear_answer", clearAnswerValue(run.clearAnswer))
        .bind(":late_records", int(late.size()))
        .bind(":id", m_readoutId);
    if (!end.exec(error))
        return false;
    // Our clear, confirmed: the records read from now on are another epoch's.
    const int next = epochAfterClear(m_epoch, run.clearAnswer == ClearAnswer::Ack);
    if (next != m_epoch) {
        Sql cleared(*this, QStringLiteral("UPDATE qz7310_counter SET epoch = :next WHERE name = :name AND epoch = "
                                          ":epoch"));
        cleared.bind(":next", next).bind(":name", run.counter).bind(":epoch", m_epoch);
        if (!cleared.exec(error))
            return false;
    }
    return transaction.commit(error);
}

int StoreConnection::epoch(const QString &counter, QString *error)
{
    Sql sql(*this, QStringLiteral("SELECT epoch FROM qz7310_counter WHERE name = :name"));
    sql.bind(":name", counter);
    if (!sql.exec(error))
        return -1;
    return sql.next() ? sql.value(0).toInt() : 0;
}

bool StoreConnection::records(const QString &counter, const QDateTime &since, QList<QByteArray> *frames,
                              QString *error)
{
    // Epochs follow each other and a counter only adds records within one: epoch, then
    // number, is the order they were read in, even where two runs overlapped.
    Sql sql(*this, QStringLiteral("SELECT r.frame FROM qz7310_record r JOIN qz7310_readout o ON o.id = r.readout "
                                  "WHERE r.counter = :counter AND o.started >= :since ORDER BY r.epoch, r.number"));
    sql.bind(":counter", counter).bind(":since", utc(since));
    if (!sql.exec(error))
        return false;
    while (sql.next())
        *frames << sql.value(0).toByteArray();
    return true;
}

// The store's thread: jobs in turn on one connection, which lives and dies there.
struct ReadoutStore::Worker
{
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    bool quit = false;
    std::thread thread;

    void post(std::function<void()> job)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            jobs.push_back(std::move(job));
        }
        wake.notify_one();
    }
    // The connection, for the jobs: set once the thread runs.
    StoreConnection *connection = nullptr;
};

ReadoutStore::ReadoutStore(const StoreAddress &address)
    : m_address(address), m_worker(std::make_shared<Worker>())
{
    // The thread holds the worker too: a step abandoned in a server that hangs keeps
    // what it uses alive until it returns, or until the process ends.
    std::shared_ptr<Worker> worker = m_worker;
    worker->thread = std::thread([worker, address] {
        StoreConnection connection(address);
        worker->connection = &connection;
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(worker->mutex);
                worker->wake.wait(lock, [&] { return worker->quit || !worker->jobs.empty(); });
                if (worker->jobs.empty())
                    break;
                job = std::move(worker->jobs.front());
                worker->jobs.pop_front();
            }
            job();
        }
        worker->connection = nullptr;
    });
}

ReadoutStore::~ReadoutStore()
{
    {
        std::lock_guard<std::mutex> lock(m_worker->mutex);
        m_worker->quit = true;
    }
    m_worker->wake.notify_one();
    // A thread still waiting on a server is left to it; the process does not wait.
    if (m_gaveUp.isEmpty())
        m_worker->thread.join();
    else
        m_worker->thread.detach();
}

bool ReadoutStore::call(const std::function<bool(StoreConnection &, QString *)> &job, QString *error)
{
    if (!m_gaveUp.isEmpty()) {
        *error = m_gaveUp;
        return false;
    }
    struct Outcome
    {
        bool ok = false;
        QString error;
    };
    auto promise = std::make_shared<std::promise<Outcome>>();
    std::future<Outcome> future = promise->get_future();
    Worker *worker = m_worker.get();
    m_worker->post([worker, job, promise] {
        Outcome outcome;
        outcome.ok = job(*worker->connection, &outcome.error);
        promise->set_value(outcome);
    });
    QElapsedTimer clock;
    clock.start();
    // Polled, not waited on once: a stop is honoured at once, and a server that
    // stopped answering (a stopped process still has its connections acknowledged by
    // the kernel, so no timeout of its own fires) costs one step's deadline at most.
    while (future.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
        if (const int signal = StopRequest::signal()) {
            m_gaveUp = QStringLiteral("stopped by signal %1 while waiting for the store").arg(signal);
        } else if (clock.elapsed() >= StepDeadlineMs) {
            m_gaveUp = QStringLiteral("the store did not answer within %1 s").arg(StepDeadlineMs / 1000);
        } else {
            continue;
        }
        *error = m_gaveUp;
        return false;
    }
    const Outcome outcome = future.get();
    if (!outcome.ok)
        *error = outcome.error;
    return outcome.ok;
}

bool ReadoutStore::open(QString *error, bool create)
{
    return call([create](StoreConnection &c, QString *e) { return c.open(create, e); }, error);
}

bool ReadoutStore::open(const StoredReadout &run, QString *error)
{
    return call([run](StoreConnection &c, QString *e) { return c.open(true, e) && c.beginRun(run, e); }, error);
}

bool ReadoutStore::add(const StoredReadout &readout, QString *error)
{
    const bool saved = readout.verdict == RunVerdict::Saved;
    if (!call([readout](StoreConnection &c, QString *e) { return c.add(readout, e); }, error))
        return false;
    m_added = saved;
    return true;
}

bool ReadoutStore::finish(const StoredReadout &readout, QString *error)
{
    return call([readout](StoreConnection &c, QString *e) { return c.finish(readout, e); }, error);
}

int ReadoutStore::epoch(const QString &counter, QString *error)
{
    auto result = std::make_shared<int>(-1);
    if (!call([counter, result](StoreConnection &c, QString *e) { return (*result = c.epoch(counter, e)) >= 0; },
              error))
        return -1;
    return *result;
}

bool ReadoutStore::records(const QString &counter, const QDateTime &since, QList<QByteArray> *frames, bool *known,
                           QString *error)
{
    auto found = std::make_shared<QList<QByteArray>>();
    auto current = std::make_shared<int>(0);
    const bool ok = call(
        [counter, since, found, current](StoreConnection &c, QString *e) {
            *current = c.epoch(counter, e);
            return *current >= 0 && c.records(counter, since, found.get(), e);
        },
        error);
    if (!ok)
        return false;
    *known = *current > 0;
    *frames += *found;
    return true;
}
