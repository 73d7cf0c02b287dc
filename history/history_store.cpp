#include "history_store.h"

#include "table/counter_record.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QVariant>

#include <algorithm>
#include <atomic>

namespace {

// A collector writing waits up to 3 s for the store; the viewer gives way sooner.
constexpr int BusyWaitMs = 2000;

} // namespace

QDateTime storeTime(const QString &text)
{
    QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    return time.isValid() ? time.toUTC() : time;
}

QString storeTimeText(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString::fromLatin1("");
}

HistoryStore::HistoryStore(const StoreAddress &address)
    : m_address(address)
{
    static std::atomic<int> count{0};
    m_connection = QStringLiteral("qz7310-history-%1").arg(++count);
}

HistoryStore::~HistoryStore()
{
    if (m_db.isValid()) {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connection);
    }
}

QString HistoryStore::failure(const QSqlError &error) const
{
    QString text = error.databaseText().trimmed();
    if (text.isEmpty())
        text = error.driverText().trimmed();
    return text.simplified();
}

bool HistoryStore::open(QString *error)
{
    const bool sqlite = m_address.engine == StoreAddress::Engine::SQLite;
    const QString driver = sqlite ? QStringLiteral("QSQLITE") : QStringLiteral("QPSQL");
    if (!QSqlDatabase::isDriverAvailable(driver)) {
#ifdef Q_OS_WIN
        *error = sqlite ? QStringLiteral("Qt's SQLite driver (plugins\\sqldrivers\\qsqlite.dll) is missing")
                        : QStringLiteral("this Windows build has no PostgreSQL driver");
#else
        *error = sqlite ? QStringLiteral("Qt's SQLite driver is not installed (Debian: libqt6sql6-sqlite)")
                        : QStringLiteral("Qt's PostgreSQL driver is not installed (Debian: libqt6sql6-psql)");
#endif
        return false;
    }
    if (sqlite)
        return openSqlite(error);
    m_db = QSqlDatabase::addDatabase(driver, m_connection);
    m_db.setHostName(m_address.host);
    if (m_address.port >= 0)
        m_db.setPort(m_address.port);
    if (!m_address.user.isEmpty())
        m_db.setUserName(m_address.user);
    m_db.setDatabaseName(m_address.database);
    // No password here: libpq reads PGPASSWORD or ~/.pgpass. Every transaction is
    // read-only on the server's side; a lock a collector holds (it makes the tables
    // once) is waited for briefly, and a runaway query is cut off.
    m_db.setConnectOptions(QStringLiteral("connect_timeout=5;application_name=qz7310-history;"
                                          "options=-cdefault_transaction_read_only=on"));
    if (!m_db.open()) {
        *error = failure(m_db.lastError());
        if (error->isEmpty())
            *error = QStringLiteral("it cannot be opened");
        return false;
    }
    QSqlQuery set(m_db);
    if (!set.exec(QStringLiteral("SET lock_timeout = %1").arg(BusyWaitMs))
        || !set.exec(QStringLiteral("SET statement_timeout = 30000"))) {
        *error = failure(set.lastError());
        return false;
    }
    return check(error);
}

// Read-only, never made. A store in WAL mode is read through its -shm file; a reader
// that may not write the folder cannot make that file, and while no collector has the
// store open there is none. Then nothing waits in a -wal file either (the last
// collector to close folds it into the database), so the file alone is the whole
// history: it is read as immutable, and opened anew once a collector appears.
bool HistoryStore::openSqlite(QString *error)
{
    const QFileInfo file(m_address.path);
    if (!file.isFile()) {
        *error = QStringLiteral("there is no such file");
        return false;
    }
    for (const bool immutable : {false, true}) {
        if (m_db.isValid()) {
            m_db.close();
            m_db = QSqlDatabase();
            QSqlDatabase::removeDatabase(m_connection);
        }
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        if (immutable) {
            if (QFileInfo::exists(m_address.path + QLatin1String("-wal")))
                break;
            QUrl uri = QUrl::fromLocalFile(file.absoluteFilePath());
            uri.setQuery(QStringLiteral("immutable=1"));
            m_db.setDatabaseName(uri.toString(QUrl::FullyEncoded));
            m_db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI"));
        } else {
            m_db.setDatabaseName(m_address.path);
            m_db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=%1").arg(BusyWaitMs));
        }
        if (m_db.open() && check(error)) {
            m_immutable = immutable;
            return true;
        }
        if (error->isEmpty())
            *error = failure(m_db.lastError());
        // Only a store the folder keeps us from reading in place is tried again.
        if (!(file.dir().exists() && !QFileInfo(file.absolutePath()).isWritable()))
            break;
    }
    if (error->isEmpty())
        *error = QStringLiteral("it cannot be opened");
    return false;
}

bool HistoryStore::check(QString *error)
{
    error->clear();
    QSqlQuery query(m_db);
    if (!query.exec(QStringLiteral("SELECT MAX(version) FROM qz7310_schema"))) {
        const QString why = failure(query.lastError());
        *error = why.contains(QLatin1String("qz7310_schema"))
                     ? QStringLiteral("it holds no read-outs (no table qz7310_schema)")
                     : why;
        return false;
    }
    const int version = query.next() ? query.value(0).toInt() : 0;
    if (version < 1 || version > 1) {
        *error = version < 1 ? QStringLiteral("its table qz7310_schema holds no version: it was not made by "
                                              "qz7310-collect")
                             : QStringLiteral("its tables are of version %1, newer than this program knows: "
                                              "upgrade qz7310-history")
                                   .arg(version);
        return false;
    }
    return true;
}

// A store read as immutable is opened anew when a collector has come (a -wal file).
bool HistoryStore::fresh(QString *error)
{
    if (!m_immutable || !QFileInfo::exists(m_address.path + QLatin1String("-wal")))
        return true;
    return openSqlite(error);
}

bool HistoryStore::counters(QList<CounterSummary> *out, QString *error)
{
    if (!fresh(error))
        return false;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral(
            "SELECT c.name, (SELECT COUNT(*) FROM qz7310_record r WHERE r.counter = c.name), "
            "(SELECT COUNT(*) FROM qz7310_readout o WHERE o.counter = c.name), "
            "l.started, l.request, l.verdict, l.status, l.messages FROM qz7310_counter c "
            "LEFT JOIN qz7310_readout l ON l.id = (SELECT o.id FROM qz7310_readout o WHERE o.counter = c.name "
            "ORDER BY o.started DESC LIMIT 1) ORDER BY c.name"))) {
        *error = failure(query.lastError());
        return false;
    }
    out->clear();
    while (query.next()) {
        CounterSummary c;
        c.name = query.value(0).toString();
        c.records = query.value(1).toLongLong();
        c.readouts = query.value(2).toInt();
        c.lastStarted = storeTime(query.value(3).toString());
        c.lastRequest = query.value(4).toString();
        c.lastVerdict = query.value(5).toString();
        c.lastStatus = query.value(6).toInt();
        c.lastMessages = query.value(7).toString();
        out->append(c);
    }
    return true;
}

bool HistoryStore::readouts(const QString &counter, QList<ReadoutRow> *out, QString *error)
{
    if (!fresh(error))
        return false;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral(
        "SELECT id, started, ended, request, epoch, records, new_records, late_records, clear_sent, clear_answer, "
        "foreign_clear, verdict, status, messages FROM qz7310_readout WHERE counter = ? ORDER BY started DESC"));
    query.addBindValue(counter);
    if (!query.exec()) {
        *error = failure(query.lastError());
        return false;
    }
    out->clear();
    while (query.next()) {
        ReadoutRow r;
        r.id = query.value(0).toString();
        r.started = storeTime(query.value(1).toString());
        r.ended = storeTime(query.value(2).toString());
        r.request = query.value(3).toString();
        r.epoch = query.value(4).toInt();
        r.records = query.value(5).toInt();
        r.newRecords = query.value(6).toInt();
        r.lateRecords = query.value(7).toInt();
        r.clearSent = !query.value(8).isNull();
        r.clearAnswer = query.value(9).toString();
        r.foreignClear = query.value(10).toInt() != 0;
        r.verdict = query.value(11).toString();
        r.status = query.value(12).toInt();
        r.messages = query.value(13).toString();
        out->append(r);
    }
    return true;
}

bool HistoryStore::history(const QString &counter, CountHistory *out, QString *error)
{
    if (!fresh(error))
        return false;
    // One row a read-out, its records' frames joined (the records of a read-out are
    // in its epoch: the primary key finds them): a few thousand rows to fetch rather
    // than a row a record, which costs the driver far more than the query.
    const QString joined = m_address.engine == StoreAddress::Engine::SQLite
                               ? QStringLiteral("CAST(group_concat(r.frame, '') AS BLOB)")
                               : QStringLiteral("string_agg(r.frame, ''::bytea)");
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT o.started, (SELECT %1 FROM qz7310_record r WHERE r.counter = o.counter AND "
                                 "r.epoch = o.epoch AND r.readout = o.id) FROM qz7310_readout o "
                                 "WHERE o.counter = ? ORDER BY o.started")
                      .arg(joined));
    query.addBindValue(counter);
    if (!query.exec()) {
        *error = failure(query.lastError());
        return false;
    }
    *out = CountHistory();
    struct Record
    {
        int number;
        std::array<double, Channels> values;
    };
    QList<Record> records;
    while (query.next()) {
        const QByteArray frames = query.value(1).toByteArray();
        if (frames.isEmpty())
            continue;
        // Each frame ends with its CR, and is read in place (a history holds hundreds
        // of thousands) by the record's own layout: all its fields digits, or none kept.
        records.clear();
        for (qsizetype at = 0; at < frames.size();) {
            qsizetype end = frames.indexOf('\r', at);
            end = end < 0 ? frames.size() : end + 1;
            const RecordValues read = recordValues(QByteArrayView(frames).sliced(at, end - at));
            if (read.complete()) {
                Record record{read.number, {}};
                for (int k = 0; k < Channels; ++k)
                    record.values[k] = double(read.values[k]);
                records << record;
            }
            at = end;
        }
        std::stable_sort(records.begin(), records.end(),
                         [](const Record &a, const Record &b) { return a.number < b.number; });
        out->readAt << storeTime(query.value(0).toString()).toMSecsSinceEpoch();
        const int index = int(out->readAt.size() - 1);
        for (const Record &record : records) {
            out->readout << index;
            out->number << record.number;
            for (int k = 0; k < Channels; ++k)
                out->values[k] << record.values[k];
        }
    }
    query.finish();

    // Spread each read-out's records over the time since the one before.
    out->time.resize(out->number.size());
    qsizetype first = 0;
    while (first < out->number.size()) {
        const int r = out->readout[first];
        qsizetype end = first;
        while (end < out->number.size() && out->readout[end] == r)
            ++end;
        const qint64 at = out->readAt[r];
        const qint64 before = r > 0 ? out->readAt[r - 1] : -1;
        const qsizetype n = end - first;
        for (qsizetype k = 0; k < n; ++k) {
            out->time[first + k] = before < 0 || before >= at
                                       ? double(at)
                                       : double(before) + double(at - before) * double(k + 1) / double(n);
        }
        first = end;
    }
    return true;
}

bool HistoryStore::frames(const QString &counter, const QDateTime &since, QList<QByteArray> *out, QString *error)
{
    if (!fresh(error))
        return false;
    // The collector's --export query.
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT r.frame FROM qz7310_record r JOIN qz7310_readout o ON o.id = r.readout "
                                 "WHERE r.counter = ? AND o.started >= ? ORDER BY o.started, r.epoch, r.number"));
    query.addBindValue(counter);
    query.addBindValue(storeTimeText(since));
    if (!query.exec()) {
        *error = failure(query.lastError());
        return false;
    }
    out->clear();
    while (query.next())
        *out << query.value(0).toByteArray();
    return true;
}

bool HistoryStore::reply(const QString &readoutId, QByteArray *out, QString *error)
{
    if (!fresh(error))
        return false;
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT reply FROM qz7310_readout WHERE id = ?"));
    query.addBindValue(readoutId);
    if (!query.exec()) {
        *error = failure(query.lastError());
        return false;
    }
    *out = query.next() ? query.value(0).toByteArray() : QByteArray();
    return true;
}
