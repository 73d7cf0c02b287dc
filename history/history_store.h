#pragma once

#include "store_address.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QSqlDatabase>
#include <QString>

#include <array>

// What the viewer reads of a store (docs/store.md). It never writes: SQLite is opened
// read-only, PostgreSQL with every transaction read-only. Each read is one statement
// in autocommit, so no read lock outlives it and a collector never waits on the viewer
// for more than one short query (and its own 3 s wait covers that).

// A counter with its last run.
struct CounterSummary
{
    QString name;
    qint64 records = 0;    // records the history holds
    int readouts = 0;      // runs stored
    QDateTime lastStarted; // the last run's start (invalid: none)
    QString lastRequest;
    QString lastVerdict;
    int lastStatus = 0;
    QString lastMessages;

    bool lastFailed() const { return lastStarted.isValid() && lastVerdict != QLatin1String("saved"); }
    bool lastTroubled() const { return lastStarted.isValid() && lastVerdict == QLatin1String("saved") && lastStatus != 0; }
};

// One run of the collector.
struct ReadoutRow
{
    QString id;
    QDateTime started;
    QDateTime ended;
    QString request;
    int epoch = 0;
    int records = 0;
    int newRecords = 0;
    int lateRecords = 0;
    bool clearSent = false;
    QString clearAnswer; // "ACK", "NAK", empty: none
    bool foreignClear = false;
    QString verdict;
    int status = 0;
    QString messages;

    bool failed() const { return verdict != QLatin1String("saved"); }
    // Saved, but the collector still ended with trouble (CLR ALL refused, late records).
    bool troubled() const { return !failed() && status != 0; }
};

// Channel order in the history's arrays: CNTR1..CNTR5, then TOTAL.
inline constexpr int Channels = 6;
inline constexpr int TotalChannel = 5;

// A counter's records in the order they were first read, each placed in time. A
// counter does not time its records: those a read-out saw first are spread evenly
// over the time since the counter's previous read-out that brought records (when
// they were counted), the last at the read-out's start; the first read-out's records
// all sit at its start.
struct CountHistory
{
    QList<double> time;                      // ms since the epoch, ascending
    std::array<QList<double>, Channels> values;
    QList<int> number;                       // record number, 1..100
    QList<int> readout;                      // index into readAt
    QList<qint64> readAt;                    // the read-outs' starts, ms since the epoch

    qsizetype size() const { return time.size(); }
};

class HistoryStore
{
public:
    explicit HistoryStore(const StoreAddress &address);
    ~HistoryStore();
    HistoryStore(const HistoryStore &) = delete;
    HistoryStore &operator=(const HistoryStore &) = delete;

    const StoreAddress &address() const { return m_address; }

    // Connects read-only and checks the tables; false with *error when it cannot.
    bool open(QString *error);
    bool isOpen() const { return m_db.isOpen(); }
    // The connection, for a look from outside (the tests try to write through it).
    QSqlDatabase database() const { return m_db; }

    bool counters(QList<CounterSummary> *out, QString *error);
    // Newest first.
    bool readouts(const QString &counter, QList<ReadoutRow> *out, QString *error);
    // The whole history; a period is a part of it (CountChart::setHistory).
    bool history(const QString &counter, CountHistory *out, QString *error);
    // The frames --export writes for the same counter and period.
    bool frames(const QString &counter, const QDateTime &since, QList<QByteArray> *out, QString *error);
    // The raw reply a read-out's verdict is about.
    bool reply(const QString &readoutId, QByteArray *out, QString *error);

private:
    bool openSqlite(QString *error);
    bool check(QString *error);
    bool fresh(QString *error);
    QString failure(const class QSqlError &error) const;

    StoreAddress m_address;
    QString m_connection;
    QSqlDatabase m_db;
    bool m_immutable = false;
};

// Times in the store: ISO 8601 UTC text.
QDateTime storeTime(const QString &text);
QString storeTimeText(const QDateTime &time);
