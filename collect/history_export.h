#pragma once

#include "store_address.h"

#include <QDateTime>
#include <QString>
#include <functional>

// --export: a counter's stored records, each once, as the CSV the window writes, so
// that the history opens where the single read-outs open today.
struct HistoryExport
{
    StoreAddress store;
    QString counter;
    QDateTime since;        // read-outs that started from then on; invalid: all
    QString output;         // empty or "-": standard output
    bool overwrite = false;
};

// The exit status: 0 written, 4 the store or the file failed, 5 no such counter.
// Each line said goes to `say`.
int exportHistory(const HistoryExport &request, const std::function<void(const QString &)> &say);

// The CSV of stored frames: the window's bytes, in pieces of at most 100 records
// (its table's size), one line per record.
QByteArray csvOfFrames(const QList<QByteArray> &frames);
