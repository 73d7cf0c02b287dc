#pragma once

#include "history_store.h"
#include "table/counter_table.h"

#include <QByteArray>
#include <QList>
#include <QPointF>

// What the charts draw, kept apart from the widgets so it is tested without them.

// The points of one channel between x0 and x1 (ms) for a plot `columns` pixels wide:
// every point while there are few; otherwise, per pixel column, its lowest and its
// highest (in the order they came), so peaks and dips survive, plus the neighbours
// just outside the range so the line runs to the edges. Points before `from` are left out.
QList<QPointF> reducedPoints(const QList<double> &x, const QList<double> &y, double x0, double x1, int columns,
                             qsizetype from = 0);

// A read-out's reply through the window's own framing and decoding: the table the
// window would have shown for it (rows 1..100, the seven columns).
void decodeReply(const QByteArray &reply, CounterTable *table);

// The records of such a table as numbers, by record row: CNTR1..CNTR5, TOTAL. Rows
// left empty are skipped; `numbers` gets the record numbers shown in the first column.
QList<std::array<double, Channels>> tableValues(const CounterTable &table, QStringList *numbers);

// The CSV of a counter's period, as --export writes it.
QByteArray exportCsv(const QList<QByteArray> &frames);
