#pragma once

#include "history_store.h"

#include <QAbstractTableModel>

// The counters, one row each: its last run (local time), how it ended, its records.
class CounterModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { Name, LastReadout, LastResult, Records, Readouts, ColumnCount };
    using QAbstractTableModel::QAbstractTableModel;

    void setCounters(const QList<CounterSummary> &counters);
    const QList<CounterSummary> &counters() const { return m_counters; }
    int rowOf(const QString &name) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QList<CounterSummary> m_counters;
};

// A counter's read-outs, newest first.
class ReadoutModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { Started, Request, Received, New, Cleared, Result, ColumnCount };
    using QAbstractTableModel::QAbstractTableModel;

    void setReadouts(const QList<ReadoutRow> &readouts);
    const QList<ReadoutRow> &readouts() const { return m_readouts; }
    int rowOf(const QString &id) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QList<ReadoutRow> m_readouts;
};

// How a run ended, in the viewer's words: "saved", "failed: no reply (exit 5)".
QString resultText(const QString &verdict, int status);
// A time in the store as the viewer shows it: local, to the second.
QString localTimeText(const QDateTime &time);
