#include "history_models.h"

#include <QBrush>
#include <QColor>
#include <QCoreApplication>
#include <QFont>
#include <QLocale>

namespace {

// Failed runs stand out in red, saved runs that still had trouble in amber; both
// are marked in text too, for a screen that shows no colour.
const QColor FailedBackground(255, 214, 214);
const QColor TroubleBackground(255, 236, 191);

// The collector's own verdict words, translated for the table.
QString verdictText(const QString &verdict)
{
    static const char *const words[] = {
        QT_TRANSLATE_NOOP("HistoryModels", "saved"),      QT_TRANSLATE_NOOP("HistoryModels", "refused"),
        QT_TRANSLATE_NOOP("HistoryModels", "not confirmed"), QT_TRANSLATE_NOOP("HistoryModels", "no reply"),
        QT_TRANSLATE_NOOP("HistoryModels", "port not opened"), QT_TRANSLATE_NOOP("HistoryModels", "not written"),
        QT_TRANSLATE_NOOP("HistoryModels", "stopped"),
    };
    for (const char *word : words)
        if (verdict == QLatin1String(word))
            return QCoreApplication::translate("HistoryModels", word);
    return verdict;
}

QString messagesTip(const QString &messages)
{
    return messages.isEmpty() ? QString() : messages.toHtmlEscaped().replace(QLatin1Char('\n'), QLatin1String("<br>"));
}

} // namespace

QString resultText(const QString &verdict, int status)
{
    if (verdict == QLatin1String("saved"))
        return status == 0 ? QCoreApplication::translate("HistoryModels", "saved") : QCoreApplication::translate("HistoryModels", "saved, with trouble (exit %1)").arg(status);
    return QCoreApplication::translate("HistoryModels", "FAILED: %1 (exit %2)").arg(verdictText(verdict)).arg(status);
}

QString localTimeText(const QDateTime &time)
{
    return time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString();
}

void CounterModel::setCounters(const QList<CounterSummary> &counters)
{
    beginResetModel();
    m_counters = counters;
    endResetModel();
}

int CounterModel::rowOf(const QString &name) const
{
    for (int k = 0; k < m_counters.size(); ++k)
        if (m_counters[k].name == name)
            return k;
    return -1;
}

int CounterModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_counters.size());
}

int CounterModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant CounterModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_counters.size())
        return {};
    const CounterSummary &c = m_counters[index.row()];
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case Name:
            return c.name;
        case LastReadout:
            return localTimeText(c.lastStarted);
        case LastResult:
            if (!c.lastStarted.isValid())
                return QCoreApplication::translate("HistoryModels", "no read-out");
            return resultText(c.lastVerdict, c.lastStatus);
        case Records:
            return QLocale().toString(c.records);
        case Readouts:
            return QLocale().toString(c.readouts);
        }
        break;
    case Qt::ToolTipRole:
        if (c.lastFailed() || c.lastTroubled())
            return messagesTip(c.lastMessages);
        break;
    case Qt::BackgroundRole:
        if (c.lastFailed())
            return QBrush(FailedBackground);
        if (c.lastTroubled())
            return QBrush(TroubleBackground);
        break;
    case Qt::FontRole:
        if (c.lastFailed() && index.column() == LastResult) {
            QFont bold;
            bold.setBold(true);
            return bold;
        }
        break;
    case Qt::TextAlignmentRole:
        if (index.column() == Records || index.column() == Readouts)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        break;
    case Qt::UserRole:
        return c.name;
    }
    return {};
}

QVariant CounterModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Name:
        return QCoreApplication::translate("HistoryModels", "Counter");
    case LastReadout:
        return QCoreApplication::translate("HistoryModels", "Last read-out");
    case LastResult:
        return QCoreApplication::translate("HistoryModels", "How it ended");
    case Records:
        return QCoreApplication::translate("HistoryModels", "Records");
    case Readouts:
        return QCoreApplication::translate("HistoryModels", "Read-outs");
    }
    return {};
}

void ReadoutModel::setReadouts(const QList<ReadoutRow> &readouts)
{
    beginResetModel();
    m_readouts = readouts;
    endResetModel();
}

int ReadoutModel::rowOf(const QString &id) const
{
    for (int k = 0; k < m_readouts.size(); ++k)
        if (m_readouts[k].id == id)
            return k;
    return -1;
}

int ReadoutModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_readouts.size());
}

int ReadoutModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ReadoutModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_readouts.size())
        return {};
    const ReadoutRow &r = m_readouts[index.row()];
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case Started:
            return localTimeText(r.started);
        case Request:
            return r.request;
        case Received:
            return r.records;
        case New:
            return r.newRecords;
        case Cleared:
            if (r.foreignClear)
                return QCoreApplication::translate("HistoryModels", "before it, by someone else");
            if (!r.clearSent)
                return QCoreApplication::translate("HistoryModels", "no");
            if (r.clearAnswer == QLatin1String("ACK"))
                return QCoreApplication::translate("HistoryModels", "yes");
            return r.clearAnswer.isEmpty() ? QCoreApplication::translate("HistoryModels", "sent, no answer") : QCoreApplication::translate("HistoryModels", "refused (%1)").arg(r.clearAnswer);
        case Result:
            return resultText(r.verdict, r.status);
        }
        break;
    case Qt::ToolTipRole:
        return messagesTip(r.messages);
    case Qt::BackgroundRole:
        if (r.failed())
            return QBrush(FailedBackground);
        if (r.troubled())
            return QBrush(TroubleBackground);
        break;
    case Qt::FontRole:
        if (r.failed() && index.column() == Result) {
            QFont bold;
            bold.setBold(true);
            return bold;
        }
        break;
    case Qt::TextAlignmentRole:
        if (index.column() == Received || index.column() == New)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        break;
    case Qt::UserRole:
        return r.id;
    }
    return {};
}

QVariant ReadoutModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Started:
        return QCoreApplication::translate("HistoryModels", "Time");
    case Request:
        return QCoreApplication::translate("HistoryModels", "Request");
    case Received:
        return QCoreApplication::translate("HistoryModels", "Received");
    case New:
        return QCoreApplication::translate("HistoryModels", "New");
    case Cleared:
        return QCoreApplication::translate("HistoryModels", "Cleared");
    case Result:
        return QCoreApplication::translate("HistoryModels", "How it ended");
    }
    return {};
}
