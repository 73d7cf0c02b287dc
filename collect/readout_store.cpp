#include "readout_store.h"

#include "identity.h"
#include "readout_judge.h"

#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>
#include <QUuid>
#include <QVariant>

#include <atomic>

namespace {

// How long a run waits for another one that is writing the same store.
constexpr int LockWaitMs = 3000;

// Who wrote a row: "qz7310-collect 0.9.2".
QString programName()
{
    return QStringLiteral("qz7310-collect %1").arg(applicationVersion());
}

QString utc(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
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

using Values = QList<qint64>;

// A frame whose record number and values are all readable, as a record to keep.
bool storable(const QByteArray &frame, RecordValues *record)
{
    *record = recordValues(frame);
    return record->number >= 0 && !record->values.contains(-1);
}

} // namespace

ReadoutStore::ReadoutStore(const StoreAddress &address)
    : m_address(address)
{
    static std::atomic<int> count{0};
    m_connection = QStringLiteral("qz7310-store-%1").arg(++count);
}

ReadoutStore::~ReadoutStore()
{
    if (m_db.isValid()) {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connection);
    }
}

QString ReadoutStore::failure(const QSqlError &error) const
{
    const QString code = error.nativeErrorCode();
    const bool busy = m_address.engine == StoreAddress::Engine::PostgreSQL ? code == QLatin1String("55P03")
                                                                           : code == QLatin1String("5");
    if (busy)
        return QStringLiteral("another run is writing to the store (waited %1 s for it)").arg(LockWaitMs / 1000);
    QString text = error.databaseText().trimmed();
    if (text.isEmpty())
        text = error.driverText().trimmed();
    // libpq's messages run over several lines.
    return text.simplified();
}

// A statement of the open transaction failed: all of it is undone.
bool ReadoutStore::abort(const QSqlQuery &query, QString *error)
{
    *error = failure(query.lastError());
    rollback();
    return false;
}

bool ReadoutStore::exec(const QString &sql, QString *error)
{
    QSqlQuery query(m_db);
    if (query.exec(sql))
        return true;
    *error = failure(query.lastError());
    return false;
}

bool ReadoutStore::begin(QString *error)
{
    // SQLite: take the write lock now, so that two runs wait for each other here
    // rather than one failing at its first write.
    return exec(m_address.engine == StoreAddress::Engine::SQLite ? QStringLiteral("BEGIN IMMEDIATE")
                                                                  : QStringLiteral("BEGIN"),
                error);
}

void ReadoutStore::rollback()
{
    QString ignored;
    exec(QStringLiteral("ROLLBACK"), &ignored);
}

bool ReadoutStore::commit(QString *error)
{
    if (exec(QStringLiteral("COMMIT"), error))
        return true;
    rollback();
    return false;
}

bool ReadoutStore::open(QString *error, bool create)
{
    const bool sqlite = m_address.engine == StoreAddress::Engine::SQLite;
    const QString driver = sqlite ? QStringLiteral("QSQLITE") : QStringLiteral("QPSQL");
    if (!QSqlDatabase::isDriverAvailable(driver)) {
#ifdef Q_OS_WIN
        *error = sqlite ? QStringLiteral("Qt's SQLite driver (plugins\\sqldrivers\\qsqlite.dll) is missing")
                        : QStringLiteral("this Windows build has no PostgreSQL driver: keep the history in sqlite:FILE, "
                                         "or store from a Linux collector");
#else
        *error = sqlite ? QStringLiteral("Qt's SQLite driver is not installed (Debian: libqt6sql6-sqlite)")
                        : QStringLiteral("Qt's PostgreSQL driver is not installed (Debian: libqt6sql6-psql)");
#endif
        return false;
    }
    // SQLite would make the file: only a run that stores may.
    if (sqlite && !create && !QFileInfo(m_address.path).isFile()) {
        *error = QStringLiteral("there is no such file");
        return false;
    }
    m_db = QSqlDatabase::addDatabase(driver, m_connection);
    if (sqlite) {
        m_db.setDatabaseName(m_address.path);
        m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(LockWaitMs));
    } else {
        m_db.setHostName(m_address.host);
        if (m_address.port >= 0)
            m_db.setPort(m_address.port);
        if (!m_address.user.isEmpty())
            m_db.setUserName(m_address.user);
        m_db.setDatabaseName(m_address.database);
        // No password here: libpq reads PGPASSWORD or ~/.pgpass. Keepalives: a server
        // that vanishes mid-transaction is noticed in seconds, not hours.
        m_db.setConnectOptions(QStringLiteral("connect_timeout=5;application_name=qz7310-collect;keepalives_idle=5;"
                                              "keepalives_interval=2;keepalives_count=3"));
    }
    if (!m_db.open()) {
        *error = failure(m_db.lastError());
        if (error->isEmpty())
            *error = QStringLiteral("it cannot be opened");
        return false;
    }
    if (sqlite) {
        if (!exec(QStringLiteral("PRAGMA foreign_keys = ON"), error))
            return false;
    } else if (!exec(QStringLiteral("SET lock_timeout = %1").arg(LockWaitMs), error)) {
        return false;
    }

    if (!m_db.tables(QSql::Tables).contains(QLatin1String("qz7310_schema"))) {
        if (!create) {
            *error = QStringLiteral("it holds no read-outs (no table qz7310_schema)");
            return false;
        }
        // Two first runs at once: the one that lost the race finds the other's tables.
        if (!createSchema(error) && !m_db.tables(QSql::Tables).contains(QLatin1String("qz7310_schema")))
            return false;
    }
    QSqlQuery query(m_db);
    if (!query.exec(QStringLiteral("SELECT MAX(version) FROM qz7310_schema"))) {
        *error = failure(query.lastError());
        return false;
    }
    const int version = query.next() ? query.value(0).toInt() : 0;
    // An SQLite read left open would keep the write lock below from waiting for another
    // run: SQLite answers "busy" at once to a connection that is reading.
    query.finish();
    if (version > StoreSchemaVersion) {
        *error = QStringLiteral("its tables are of version %1, newer than this program's (%2): upgrade "
                                "qz7310-collect; the store was not changed")
                     .arg(version)
                     .arg(StoreSchemaVersion);
        return false;
    }
    if (version < 1) {
        *error = QStringLiteral("its table qz7310_schema holds no version: it was not made by qz7310-collect, or "
                                "was changed by hand; the store was not changed");
        return false;
    }
    // SQLite opens a file it may not write for reading without a word: found out now,
    // before the counter is read, not at the commit.
    if (sqlite && create) {
        if (!begin(error))
            return false;
        const bool writable = exec(QStringLiteral("UPDATE qz7310_schema SET version = version"), error);
        rollback();
        return writable;
    }
    return true;
}

bool ReadoutStore::createSchema(QString *error)
{
    const QString bytes = m_address.engine == StoreAddress::Engine::SQLite ? QStringLiteral("BLOB")
                                                                           : QStringLiteral("BYTEA");
    if (!begin(error))
        return false;
    for (const char *statement : SchemaStatements) {
        if (!exec(QString::fromLatin1(statement).replace(QLatin1String("%1"), bytes), error)) {
            rollback();
            return false;
        }
    }
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("INSERT INTO qz7310_schema (version, program) VALUES (?, ?)"));
    query.addBindValue(StoreSchemaVersion);
    query.addBindValue(programName());
    if (!query.exec())
        return abort(query, error);
    return commit(error);
}

bool ReadoutStore::addRecords(const StoredReadout &readout, const QString &readoutId, int epoch,
                              const QList<QByteArray> &frames, bool late, int *added, QString *error)
{
    QSqlQuery insert(m_db);
    insert.prepare(QStringLiteral("INSERT INTO qz7310_record (counter, epoch, number, cntr1, cntr2, cntr3, cntr4, "
                                  "cntr5, total, frame, readout, late) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    for (const QByteArray &frame : frames) {
        RecordValues record;
        if (!storable(frame, &record))
            continue;
        insert.addBindValue(readout.counter);
        insert.addBindValue(epoch);
        insert.addBindValue(record.number);
        for (qint64 value : record.values)
            insert.addBindValue(value);
        insert.addBindValue(frame);
        insert.addBindValue(readoutId);
        insert.addBindValue(late ? 1 : 0);
        if (!insert.exec()) {
            *error = failure(insert.lastError());
            return false;
        }
        ++*added;
    }
    return true;
}

// The counter's row is the lock two runs for one counter take in turn (SQLite's
// BEGIN IMMEDIATE has locked the whole file already).
bool ReadoutStore::lockCounter(const QString &counter, int *epoch, QString *error)
{
    QSqlQuery query(m_db);
    query.prepare(m_address.engine == StoreAddress::Engine::PostgreSQL
                      ? QStringLiteral("SELECT epoch FROM qz7310_counter WHERE name = ? FOR UPDATE")
                      : QStringLiteral("SELECT epoch FROM qz7310_counter WHERE name = ?"));
    query.addBindValue(counter);
    if (!query.exec() || !query.next()) {
        *error = failure(query.lastError());
        return false;
    }
    *epoch = query.value(0).toInt();
    return true;
}

bool ReadoutStore::add(const StoredReadout &readout, QString *error)
{
    if (!begin(error))
        return false;

    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("INSERT INTO qz7310_counter (name, epoch, first_seen) VALUES (?, 1, ?) "
                                 "ON CONFLICT (name) DO NOTHING"));
    query.addBindValue(readout.counter);
    query.addBindValue(utc(readout.started));
    if (!query.exec())
        return abort(query, error);
    int epoch = 0;
    if (!lockCounter(readout.counter, &epoch, error)) {
        rollback();
        return false;
    }

    // Which of the read-out's records are new, and whether they show a clear.
    const bool records = readout.verdict == QLatin1String("saved") && readout.request == QLatin1String("RDD ALL");
    QList<QByteArray> fresh;
    bool foreignClear = false;
    if (records) {
        QHash<int, Values> stored;
        query.prepare(QStringLiteral("SELECT number, cntr1, cntr2, cntr3, cntr4, cntr5, total FROM qz7310_record "
                                     "WHERE counter = ? AND epoch = ?"));
        query.addBindValue(readout.counter);
        query.addBindValue(epoch);
        if (!query.exec())
            return abort(query, error);
        while (query.next()) {
            Values values;
            for (int k = 1; k <= 6; ++k)
                values << query.value(k).toLongLong();
            stored.insert(query.value(0).toInt(), values);
        }
        QHash<int, QByteArray> seen;
        for (const QByteArray &frame : readout.frames) {
            RecordValues record;
            if (!storable(frame, &record) || seen.contains(record.number))
                continue;
            seen.insert(record.number, frame);
            const auto old = stored.constFind(record.number);
            if (old != stored.cend() && *old != record.values)
                foreignClear = true;
        }
        // Records stay on the counter until it is cleared: fewer than the epoch has
        // means it was cleared and holds new ones.
        if (!seen.isEmpty() && seen.size() < stored.size())
            foreignClear = true;
        if (foreignClear) {
            ++epoch;
            query.prepare(QStringLiteral("UPDATE qz7310_counter SET epoch = ? WHERE name = ?"));
            query.addBindValue(epoch);
            query.addBindValue(readout.counter);
            if (!query.exec())
                return abort(query, error);
        }
        for (const QByteArray &frame : readout.frames) {
            const int number = recordValues(frame).number;
            if (seen.value(number) == frame && (foreignClear || !stored.contains(number))) {
                fresh << frame;
                seen.remove(number);
            }
        }
    }

    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    query.prepare(QStringLiteral(
        "INSERT INTO qz7310_readout (id, counter, epoch, host, program, port, request, started, ended, replies, reply, "
        "verdict, status, messages, records, new_records, foreign_clear, clear_sent, clear_answer, late_records) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0)"));
    for (const QVariant &value :
         {QVariant(id), QVariant(readout.counter), QVariant(epoch), text(QSysInfo::machineHostName()),
          QVariant(programName()), text(readout.port),
          text(readout.request), QVariant(utc(readout.started)), QVariant(utc(readout.ended)),
          QVariant(readout.replies), QVariant(readout.reply.isNull() ? QByteArray("") : readout.reply),
          text(readout.verdict), QVariant(readout.status),
          text(readout.messages.join(QLatin1Char('\n'))), QVariant(int(readout.frames.size())),
          QVariant(int(fresh.size())), QVariant(foreignClear ? 1 : 0), utcOrNull(readout.clearSent),
          readout.clearAnswer.isEmpty() ? QVariant(QMetaType(QMetaType::QString)) : QVariant(readout.clearAnswer)})
        query.addBindValue(value);
    if (!query.exec())
        return abort(query, error);

    int added = 0;
    if (!addRecords(readout, id, epoch, fresh, false, &added, error)) {
        rollback();
        return false;
    }
    if (readout.request == QLatin1String("RDD NOW")) {
        QSqlQuery value(m_db);
        value.prepare(QStringLiteral("INSERT INTO qz7310_value (readout, position, number, cntr1, cntr2, cntr3, "
                                     "cntr4, cntr5, total, frame) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
        for (int k = 0; k < readout.frames.size(); ++k) {
            const RecordValues record = recordValues(readout.frames.at(k));
            value.addBindValue(id);
            value.addBindValue(k + 1);
            // The number as sent: RDD NOW's frame is numbered 00.
            const int sent = record.number == 100 ? 0 : record.number;
            value.addBindValue(sent >= 0 ? QVariant(sent) : QVariant(QMetaType(QMetaType::Int)));
            for (qint64 v : record.values)
                value.addBindValue(valueOrNull(v));
            value.addBindValue(readout.frames.at(k));
            if (!value.exec())
                return abort(value, error);
        }
    }
    if (!commit(error))
        return false;
    m_readoutId = id;
    m_epoch = epoch;
    return true;
}

bool ReadoutStore::finish(const StoredReadout &readout, QString *error)
{
    if (!begin(error))
        return false;
    int epoch = 0;
    if (!lockCounter(readout.counter, &epoch, error)) {
        rollback();
        return false;
    }
    QSqlQuery query(m_db);

    // Late records belong to the read-out's epoch; a number already stored is not
    // stored again.
    QList<QByteArray> late;
    if (!readout.lateFrames.isEmpty()) {
        query.prepare(QStringLiteral("SELECT number FROM qz7310_record WHERE counter = ? AND epoch = ?"));
        query.addBindValue(readout.counter);
        query.addBindValue(m_epoch);
        if (!query.exec())
            return abort(query, error);
        QSet<int> stored;
        while (query.next())
            stored.insert(query.value(0).toInt());
        for (const QByteArray &frame : readout.lateFrames) {
            const int number = recordValues(frame).number;
            if (!stored.contains(number)) {
                late << frame;
                stored.insert(number);
            }
        }
    }
    int added = 0;
    if (!addRecords(readout, m_readoutId, m_epoch, late, true, &added, error)) {
        rollback();
        return false;
    }
    query.prepare(QStringLiteral("UPDATE qz7310_readout SET ended = ?, verdict = ?, status = ?, messages = ?, "
                                 "clear_sent = ?, clear_answer = ?, late_records = ? WHERE id = ?"));
    for (const QVariant &value :
         {QVariant(utc(readout.ended)), text(readout.verdict), QVariant(readout.status),
          text(readout.messages.join(QLatin1Char('\n'))), utcOrNull(readout.clearSent),
          readout.clearAnswer.isEmpty() ? QVariant(QMetaType(QMetaType::QString)) : QVariant(readout.clearAnswer),
          QVariant(added), QVariant(m_readoutId)})
        query.addBindValue(value);
    if (!query.exec())
        return abort(query, error);
    // Our clear, confirmed: the records read from now on are another epoch's.
    if (readout.clearAnswer == QLatin1String("ACK")) {
        query.prepare(QStringLiteral("UPDATE qz7310_counter SET epoch = ? WHERE name = ? AND epoch = ?"));
        query.addBindValue(m_epoch + 1);
        query.addBindValue(readout.counter);
        query.addBindValue(m_epoch);
        if (!query.exec())
            return abort(query, error);
    }
    return commit(error);
}

int ReadoutStore::epoch(const QString &counter, QString *error)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("SELECT epoch FROM qz7310_counter WHERE name = ?"));
    query.addBindValue(counter);
    if (!query.exec()) {
        *error = failure(query.lastError());
        return -1;
    }
    return query.next() ? query.value(0).toInt() : 0;
}

bool ReadoutStore::records(const QString &counter, const QDateTime &since, QList<QByteArray> *frames, bool *known,
                           QString *error)
{
    const int current = epoch(counter, error);
    if (current < 0)
        return false;
    *known = current > 0;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT r.frame FROM qz7310_record r JOIN qz7310_readout o ON o.id = r.readout "
                                 "WHERE r.counter = ? AND o.started >= ? ORDER BY o.started, r.epoch, r.number"));
    query.addBindValue(counter);
    query.addBindValue(since.isValid() ? utc(since) : QString::fromLatin1(""));
    if (!query.exec()) {
        *error = failure(query.lastError());
        return false;
    }
    while (query.next())
        *frames << query.value(0).toByteArray();
    return true;
}
