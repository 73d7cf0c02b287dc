#pragma once
// The main window's side of a request for tests of the request sequence and of the
// clear-all dialog, without the window.

#include "line/module1.h"
#include "line/reply_framing.h"
#include "line/request.h"
#include "table/counter_table.h"
#include "test_support.h"

#include <QStringList>
#include <optional>

// The main window's side of a request, over a real counter table. Mutating calls are
// written into the port's call list so the two interleave in one record.
class FakeView : public RequestView, public ReceiveSink
{
public:
    explicit FakeView(QStringList &log) : m_log(log) { table.SetupCounterTable(); }

    CounterTable table;
    QString status;
    QByteArray transmit;
    QByteArray rxLog;
    int warnings = 0;
    QString warning; // the last warning's text
    // When set, the box gives this back instead of what it was given.
    std::optional<QByteArray> readBack;

    void setTransmitText(const QByteArray &text) override
    {
        m_log << QStringLiteral("view:setTransmitText=") + QString::fromLatin1(text.toHex());
        transmit = text;
    }
    QByteArray transmitText() const override { return readBack ? *readBack : transmit; }
    void clearRecordsAndStatus() override
    {
        m_log << QStringLiteral("view:clearRecordsAndStatus");
        table.clearRecordRows();
        status.clear();
    }
    RecordsAndStatus recordsAndStatus() const override { return {table.clearedRowTexts(), status}; }
    void restoreRecordsAndStatus(const RecordsAndStatus &saved) override
    {
        m_log << QStringLiteral("view:restoreRecordsAndStatus");
        table.restoreClearedRows(saved.records);
        status = saved.status;
    }
    void clearReceiveLog() override
    {
        m_log << QStringLiteral("view:clearReceiveLog");
        rxLog.clear();
    }
    void warnPortNotOpen(const QString &text) override
    {
        m_log << QStringLiteral("view:warnPortNotOpen");
        ++warnings;
        warning = text;
    }
    void appendLog(char c) override { rxLog.append(c); }
    void setStatus(const QString &text) override { status = text; }

    QStringList cells() const
    {
        QStringList all;
        for (int r = 0; r < CounterTable::Rows; ++r)
            for (int c = 0; c < CounterTable::Columns; ++c)
                all << table.text(r, c);
        return all;
    }

private:
    QStringList &m_log;
};

// A table, status, logs and reception state in the middle of a collection.
inline void fillBusyState(Module1 &state, FakeView &view)
{
    for (int r = 1; r <= 100; ++r)
        view.table.setRow(r, {QString::number(r), "1", "2", "3", "4", "5", "15"});
    view.status = QStringLiteral("COMMAND OK !");
    view.transmit = rddNow;
    view.rxLog = QByteArray("\x02" "D01 00001\r\x02" "D02 00");
    for (int slot : {0, 1, 57, 199, 200})
        state.FrameStore[slot] = QByteArray("\x02" "D") + QByteArray::number(slot) + '\r';
    state.FrameCount = 3;
    state.PendingFrame = QByteArray("\x02" "D02 00");
    state.PendingLength = 6;
}

