#pragma once

#include "store_address.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

// The history of read-outs in a database (SQLite or PostgreSQL, one schema for both,
// see docs/store.md). Each run is one row of qz7310_readout with its raw reply and
// verdict; each counter record is one row of qz7310_record, stored once: identified
// by counter, epoch and record number, with the read-out that first saw it. An epoch
// ends when the counter is cleared: by us (CLR ALL answered with ACK), or by someone
// else, which shows as a stored record number now holding other values, or as fewer
// records than the epoch already has (a counter only adds records until it is cleared).
//
// Every value is a bound parameter: a counter's name is data, never SQL.

// One run of the collector, as far as it got.
struct StoredReadout
{
    QString counter;
    QString port;                 // the line it was read on
    QString request;              // "RDD ALL", "RDD NOW"
    QDateTime started;            // stored in UTC
    QDateTime ended;
    int replies = 0;              // replies to the request received
    QByteArray reply;             // the reply the verdict is about
    QString verdict;              // "saved", "refused", "not confirmed", "no reply", ...
    int status = 0;               // the collector's exit status
    QStringList messages;         // what the collector said
    QList<QByteArray> frames;     // the saved reply's data frames (records), in order
    QDateTime clearSent;          // invalid: CLR ALL was not sent
    QString clearAnswer;          // "ACK", "NAK", empty: none came
    QList<QByteArray> lateFrames; // records that came after CLR ALL
};

// The tables' version this program writes. A store of a newer one is left alone.
inline constexpr int StoreSchemaVersion = 1;

class ReadoutStore
{
public:
    explicit ReadoutStore(const StoreAddress &address);
    ~ReadoutStore();
    ReadoutStore(const ReadoutStore &) = delete;
    ReadoutStore &operator=(const ReadoutStore &) = delete;

    const StoreAddress &address() const { return m_address; }

    // Connects, and makes the tables on first use (`create`; otherwise a store without
    // them, or an SQLite file that is not there, is an error). False, with *error, when
    // the store cannot be reached or used (its schema is newer than this program's).
    bool open(QString *error, bool create = true);

    // The read-out in one transaction: its row, and the records no read-out stored
    // before (a new epoch first, when the records show a clear nobody recorded). The
    // records go in only for a saved RDD ALL read-out; RDD NOW's values go with the
    // read-out. On failure everything is rolled back.
    bool add(const StoredReadout &readout, QString *error);
    // The end of a run whose read-out add() stored: its end, status and messages, the
    // answer to CLR ALL, the late records; an ACK starts the counter's next epoch.
    bool finish(const StoredReadout &readout, QString *error);
    bool added() const { return !m_readoutId.isEmpty(); }

    // The epoch the counter is in; 0 when the store does not know it.
    int epoch(const QString &counter, QString *error);
    // The counter's records, each once, in the order they were first read (the
    // read-out's start, then epoch, then record number), from `since` on (UTC; an
    // invalid time: all). *known is false when the store has no such counter.
    bool records(const QString &counter, const QDateTime &since, QList<QByteArray> *frames, bool *known,
                 QString *error);

private:
    bool exec(const QString &sql, QString *error);
    bool begin(QString *error);
    void rollback();
    bool abort(const class QSqlQuery &query, QString *error);
    bool commit(QString *error);
    bool createSchema(QString *error);
    bool lockCounter(const QString &counter, int *epoch, QString *error);
    bool addRecords(const StoredReadout &readout, const QString &readoutId, int epoch,
                    const QList<QByteArray> &frames, bool late, int *added, QString *error);
    QString failure(const class QSqlError &error) const;

    StoreAddress m_address;
    QString m_connection;
    QSqlDatabase m_db;
    QString m_readoutId;
    int m_epoch = 0;
};
