#include "history_data.h"

#include "history_export.h"
#include "line/module1.h"
#include "line/reply_framing.h"

#include <algorithm>

QList<QPointF> reducedPoints(const QList<double> &x, const QList<double> &y, double x0, double x1, int columns,
                             qsizetype from)
{
    QList<QPointF> points;
    if (from >= x.size() || x1 < x0)
        return points;
    qsizetype first = std::lower_bound(x.begin() + from, x.end(), x0) - x.begin();
    qsizetype end = std::upper_bound(x.begin() + from, x.end(), x1) - x.begin();
    if (first > from)
        --first;
    if (end < x.size())
        ++end;
    columns = std::max(columns, 1);
    if (end - first <= 2 * qsizetype(columns)) {
        points.reserve(end - first);
        for (qsizetype k = first; k < end; ++k)
            points << QPointF(x[k], y[k]);
        return points;
    }
    points.reserve(2 * columns + 2);
    const double width = (x1 - x0) / columns;
    qsizetype k = first;
    // The neighbour before the range stands alone.
    if (x[k] < x0) {
        points << QPointF(x[k], y[k]);
        ++k;
    }
    while (k < end && x[k] <= x1) {
        const qsizetype column = width > 0 ? qsizetype((x[k] - x0) / width) : 0;
        qsizetype low = k, high = k;
        qsizetype j = k + 1;
        for (; j < end && x[j] <= x1 && (width > 0 ? qsizetype((x[j] - x0) / width) : 0) == column; ++j) {
            if (y[j] < y[low])
                low = j;
            if (y[j] > y[high])
                high = j;
        }
        points << QPointF(x[std::min(low, high)], y[std::min(low, high)]);
        if (low != high)
            points << QPointF(x[std::max(low, high)], y[std::max(low, high)]);
        k = j;
    }
    if (k < end)
        points << QPointF(x[k], y[k]);
    return points;
}

namespace {

struct QuietSink : ReceiveSink
{
    void appendLog(char) override {}
    void setStatus(const QString &) override {}
};

} // namespace

void decodeReply(const QByteArray &reply, CounterTable *table)
{
    table->SetupCounterTable();
    Module1 state;
    QuietSink sink;
    for (char c : reply)
        receiveCharacter(state, *table, sink, c);
}

QList<std::array<double, Channels>> tableValues(const CounterTable &table, QStringList *numbers)
{
    QList<std::array<double, Channels>> rows;
    numbers->clear();
    for (int row = CounterTable::FirstRecordRow; row <= CounterTable::LastRecordRow; ++row) {
        if (table.text(row, 0).isEmpty())
            continue;
        std::array<double, Channels> values{};
        for (int k = 0; k < Channels; ++k)
            values[k] = table.text(row, k + 1).toDouble();
        rows << values;
        *numbers << table.text(row, 0);
    }
    return rows;
}

QByteArray exportCsv(const QList<QByteArray> &frames)
{
    return csvOfFrames(frames);
}
