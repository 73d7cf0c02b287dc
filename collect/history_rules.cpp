#include "history_rules.h"

HistoryStep historyStep(int epoch, const QHash<int, RecordCounts> &stored, const QList<QByteArray> &frames)
{
    HistoryStep step;
    step.epoch = epoch;
    // The first frame of each readable number is the record.
    QHash<int, qsizetype> first;
    QList<RecordValues> values;
    for (qsizetype k = 0; k < frames.size(); ++k) {
        values << recordValues(frames[k]);
        const RecordValues &record = values.last();
        if (!record.complete() || first.contains(record.number))
            continue;
        first.insert(record.number, k);
        const auto old = stored.constFind(record.number);
        if (old != stored.cend() && *old != record.values)
            step.foreignClear = true;
    }
    // Records stay on the counter until it is cleared: fewer than the epoch has means
    // it was cleared and holds new ones.
    if (!first.isEmpty() && first.size() < stored.size())
        step.foreignClear = true;
    if (step.foreignClear)
        ++step.epoch;
    for (qsizetype k = 0; k < frames.size(); ++k) {
        const int number = values[k].number;
        if (first.value(number, -1) == k && (step.foreignClear || !stored.contains(number)))
            step.fresh << frames[k];
    }
    return step;
}

QList<QByteArray> lateRecordsToStore(const QSet<int> &stored, const QList<QByteArray> &late)
{
    QSet<int> held = stored;
    QList<QByteArray> keep;
    for (const QByteArray &frame : late) {
        const RecordValues record = recordValues(frame);
        if (!record.complete() || held.contains(record.number))
            continue;
        held.insert(record.number);
        keep << frame;
    }
    return keep;
}

int epochAfterClear(int epoch, bool acknowledged)
{
    return acknowledged ? epoch + 1 : epoch;
}
