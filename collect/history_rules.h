#pragma once

#include "table/counter_record.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>

// The rules of a counter's history, over what the store holds and what was read, and
// nothing else: no database. The store asks them inside its transaction and writes
// what they decide.
//
// A record is identified by counter, epoch and record number and stored once. An
// epoch ends when the counter is cleared: by us (CLR ALL answered with ACK), or by
// someone else, which shows as a stored record number now holding other values, or as
// fewer records than the epoch already has (a counter only adds records until it is
// cleared).

using RecordCounts = QList<qint64>; // CNTR1..CNTR5, TOTAL

struct HistoryStep
{
    int epoch = 1;              // the read-out's epoch
    bool foreignClear = false;  // the read-out shows a clear nobody recorded
    QList<QByteArray> fresh;    // the frames to store, each number once, in the order read
};

// A saved RDD ALL read-out's `frames` against the epoch the counter is in and the
// records stored in it (by number). Frames whose fields are not all readable are
// never stored.
HistoryStep historyStep(int epoch, const QHash<int, RecordCounts> &stored, const QList<QByteArray> &frames);

// Records that came after CLR ALL: those whose number the read-out's epoch does not
// hold yet, each once, in the order they came.
QList<QByteArray> lateRecordsToStore(const QSet<int> &stored, const QList<QByteArray> &late);

// The counter's epoch once the answer to our CLR ALL is known: an ACK starts the next.
int epochAfterClear(int epoch, bool acknowledged);
