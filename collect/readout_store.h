#pragma once

#include "store_address.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// The history of read-outs in a database (SQLite or PostgreSQL, one schema for both,
// see docs/store.md). Each run is one row of qz7310_readout with its raw reply and
// verdict; each counter record is one row of qz7310_record, stored once. Which records
// are new and which epoch they belong to is history_rules' to decide; this file only
// speaks SQL.
//
// Every value is a bound parameter: a counter's name is data, never SQL. Every wait is
// bounded: the work runs on a connection of its own thread while the caller waits
// with a deadline and gives up at once on a stop (StopRequest), so a server that hangs
// cannot hang the run.

// What became of a run, as its row says it.
enum class RunVerdict { Running, Saved, Refused, NotConfirmed, NoReply, PortNotOpened, NotWritten, Stopped };
QString runVerdictName(RunVerdict verdict);

// The counter's answer to CLR ALL.
enum class ClearAnswer { None, Ack, Nak };

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
    RunVerdict verdict = RunVerdict::Running;
    int status = 0;               // the collector's exit status
    QStringList messages;         // what the collector said
    QList<QByteArray> frames;     // the saved reply's data frames (records), in order
    QDateTime clearSent;          // invalid: CLR ALL was not sent
    ClearAnswer clearAnswer = ClearAnswer::None;
    QList<QByteArray> lateFrames; // records that came after CLR ALL
};

// The tables' version this program writes. A store of a newer one is left alone.
inline constexpr int StoreSchemaVersion = 1;
// A run's status until its end is noted: killed, or its closing transaction failed.
inline constexpr int StatusNotEnded = -1;

class StoreConnection;

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
    // The same for a run about to read a counter, and its row written at once
    // (verdict "running", status -1): a store that cannot take the run (read-only, a
    // counter name too long for its index) is known before the counter is read, and a
    // run killed from here on still leaves its row.
    bool open(const StoredReadout &run, QString *error);

    // The read-out in one transaction: its row, and the records no read-out stored
    // before (a new epoch first, when the records show a clear nobody recorded). The
    // records go in only for a saved RDD ALL read-out; RDD NOW's values go with the
    // read-out. A saved read-out's status stays -1 until finish(). On failure
    // everything is rolled back.
    bool add(const StoredReadout &readout, QString *error);
    // The end of a run whose read-out add() stored: its end, status and messages, the
    // answer to CLR ALL, the late records; an ACK starts the counter's next epoch.
    bool finish(const StoredReadout &readout, QString *error);
    bool added() const { return m_added; }

    // The epoch the counter is in; 0 when the store does not know it, -1 on failure.
    int epoch(const QString &counter, QString *error);
    // The counter's records, each once, in the order they were read (epoch, then
    // record number), from read-outs that started at `since` on (UTC; an invalid
    // time: all). *known is false when the store has no such counter.
    bool records(const QString &counter, const QDateTime &since, QList<QByteArray> *frames, bool *known,
                 QString *error);

    // How long one step may take before the run gives up on the store.
    static constexpr int StepDeadlineMs = 15000;

private:
    bool call(const std::function<bool(StoreConnection &, QString *)> &job, QString *error);

    StoreAddress m_address;
    struct Worker;
    std::shared_ptr<Worker> m_worker;
    bool m_added = false;
    QString m_gaveUp; // why an earlier step was abandoned: the store is not asked again
};
