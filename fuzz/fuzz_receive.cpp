// The receive path on arbitrary bytes: every byte goes through receiveCharacter, and
// after each one the framing is checked against a small model of the verdict rules;
// the store and the table are checked as a whole after each operator action and at
// the end.
//
// Input: byte 0 chooses the mode, the rest is received.
//   bit 0: 0xFF is an escape; the byte after it chooses an action (by value % 5):
//          0 a request (table rows 1..99 and the status emptied, ResetReception),
//          1 the "CLR" button (rows 1..99 and the status emptied),
//          2 ResetReception on its own,
//          3 a run: the next two bytes n and c receive c n + 1 times, or for n of
//            0xF0 and above (n - 0xEF) * 2048 times (up to 32768, past the
//            longest frame the assembly keeps open),
//          4 a plain 0xFF is received.
//   bit 1: before the input, 90 + (mode >> 2) % 11 well-formed data frames arrive,
//          so the last rows of the table are within a short input's reach.
#include "fuzz_checks.h"
#include "line/module1.h"
#include "line/reply_framing.h"
#include "table/counter_table.h"
#include "table/record_decoder.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>

namespace {

struct LogSink : ReceiveSink
{
    QByteArray log;
    QString status;
    int statusCalls = 0;
    void appendLog(char c) override { log.append(c); }
    void setStatus(const QString &text) override
    {
        status = text;
        ++statusCalls;
    }
};

bool isLead(char c) { return c == Ctl::STX || c == Ctl::ACK || c == Ctl::NAK; }

struct Harness
{
    Module1 state;
    CounterTable table;
    LogSink sink;
    QByteArray fed;              // every byte handed to receiveCharacter
    int dataFramesSinceReset = 0;
    bool rowsAboveCountEmpty = true;   // false after a reset that left the table alone
    std::array<QString, CounterTable::Columns> lastRow;   // only the 100th frame writes it
    int fullChecks = 0;

    // One harness serves every run (building the table model each time costs more
    // than most runs); this puts it back to the state of a fresh start.
    void start()
    {
        state = Module1{};
        table.SetupCounterTable();
        sink.log.clear();
        sink.status.clear();
        sink.statusCalls = 0;
        fed.clear();
        dataFramesSinceReset = 0;
        rowsAboveCountEmpty = true;
        lastRow = {};
        fullChecks = 0;
    }

    void receive(char c)
    {
        const int pendingBefore = state.PendingLength;
        const int countBefore = state.FrameCount;
        const int callsBefore = sink.statusCalls;
        // Kept only when a CR may complete the frame: a shared copy would make every
        // append copy the whole open frame.
        const QByteArray frameBefore = c == Ctl::CR ? state.PendingFrame : QByteArray();

        fed.append(c);
        receiveCharacter(state, table, sink, c);

        const int calls = sink.statusCalls - callsBefore;
        QZ_CHECK(sink.log.size() == fed.size() && sink.log.back() == c);
        QZ_CHECK(state.FrameCount >= 0 && state.FrameCount <= CounterTable::RecordRows);
        QZ_CHECK(state.PendingLength >= 0 && state.PendingLength < Module1::MaxPendingLength);
        if (state.PendingLength != 0) {
            QZ_CHECK(state.PendingFrame.size() == state.PendingLength);
            QZ_CHECK(isLead(state.PendingFrame.front()));
            QZ_CHECK(state.PendingFrame.back() != Ctl::CR);
        }

        if (pendingBefore == 0) {
            // Idle: a lead character opens a frame, anything else is only logged.
            QZ_CHECK(calls == 0 && state.FrameCount == countBefore);
            QZ_CHECK(state.PendingLength == (isLead(c) ? 1 : 0));
            if (isLead(c))
                QZ_CHECK(state.PendingFrame == QByteArray(1, c));
            return;
        }
        if (c != Ctl::CR) {
            if (pendingBefore + 1 < Module1::MaxPendingLength) {
                QZ_CHECK(calls == 0 && state.PendingLength == pendingBefore + 1);
                QZ_CHECK(state.PendingFrame.back() == c);
            } else {
                // Too long without a CR: abandoned.
                QZ_CHECK(calls == 1 && sink.status == Verdict::CommandError);
                QZ_CHECK(state.PendingLength == 0 && state.FrameCount == countBefore);
            }
            return;
        }

        // A complete frame: exactly one verdict, by the first two characters.
        const QByteArray frame = frameBefore + c;
        QZ_CHECK(frame.size() == pendingBefore + 1);
        QZ_CHECK(calls == 1 && state.PendingLength == 0);
        if (frame[1] == Ctl::NAK) {
            QZ_CHECK(sink.status == Verdict::Error && state.FrameCount == countBefore);
        } else if (frame[0] == Ctl::ACK) {
            QZ_CHECK(sink.status == Verdict::AckOk && state.FrameCount == countBefore);
        } else if (frame[0] == Ctl::STX) {
            if (countBefore < CounterTable::RecordRows) {
                QZ_CHECK(sink.status == Verdict::DataOk);
                QZ_CHECK(state.FrameCount == countBefore + 1);
                QZ_CHECK(state.FrameStore[countBefore] == frame);
                const auto texts = decodeRecordTexts(frame);
                for (int col = 0; col < CounterTable::Columns; ++col)
                    QZ_CHECK(table.text(countBefore + 1, col) == texts[col]);
                if (countBefore + 1 == CounterTable::RecordRows)
                    lastRow = texts;
                ++dataFramesSinceReset;
            } else {
                QZ_CHECK(sink.status == Verdict::TableFull);
                QZ_CHECK(state.FrameCount == countBefore);
            }
        } else {
            QZ_CHECK(frame[0] == Ctl::NAK);
            QZ_CHECK(sink.status == Verdict::CommandError && state.FrameCount == countBefore);
        }
    }

    void clearRows()
    {
        table.clearRecordRows();
        sink.setStatus(QString());
        rowsAboveCountEmpty = true;
    }

    void reset()
    {
        ResetReception(state);
        dataFramesSinceReset = 0;
        QZ_CHECK(state.PendingLength == 0 && state.FrameCount == 0);
    }

    void checkAll()
    {
        static const char *const headings[] = {"No.", "CNTR1", "CNTR2", "CNTR3",
                                               "CNTR4", "CNTR5", "TOTAL"};
        QZ_CHECK(sink.log == fed);
        QZ_CHECK(state.FrameCount == dataFramesSinceReset);
        if (state.PendingLength != 0)
            QZ_CHECK(!state.PendingFrame.contains(Ctl::CR));

        for (int k = 0; k < Module1::FrameStoreSlots; ++k) {
            const QByteArray &slot = state.FrameStore[k];
            if (k >= state.FrameCount) {
                QZ_CHECK(slot.isEmpty());
                continue;
            }
            QZ_CHECK(slot.size() >= 2 && slot.front() == Ctl::STX && slot[1] != Ctl::NAK);
            QZ_CHECK(slot.indexOf(Ctl::CR) == slot.size() - 1);
        }

        for (int col = 0; col < CounterTable::Columns; ++col)
            QZ_CHECK(table.text(0, col) == QLatin1String(headings[col]));
        for (int row = CounterTable::FirstRecordRow; row <= CounterTable::LastRecordRow; ++row) {
            int filled = 0;
            for (int col = 0; col < CounterTable::Columns; ++col) {
                const QString t = table.text(row, col);
                if (!t.isEmpty()) {
                    ++filled;
                    QZ_CHECK(isPlainDecimal(t));
                }
            }
            // A row is written whole and emptied whole.
            QZ_CHECK(filled == 0 || filled == CounterTable::Columns);
            if (filled && row <= state.FrameCount) {
                const auto texts = decodeRecordTexts(state.FrameStore[row - 1]);
                for (int col = 0; col < CounterTable::Columns; ++col)
                    QZ_CHECK(table.text(row, col) == texts[col]);
            }
            if (rowsAboveCountEmpty && row > state.FrameCount && row < CounterTable::LastRecordRow)
                QZ_CHECK(filled == 0);
        }
        // Clearing stops at row 99: the last row keeps its record.
        for (int col = 0; col < CounterTable::Columns; ++col)
            QZ_CHECK(table.text(CounterTable::LastRecordRow, col) == lastRow[col]);
        QZ_CHECK(sink.status.isEmpty() || sink.status == Verdict::Error
                 || sink.status == Verdict::AckOk || sink.status == Verdict::DataOk
                 || sink.status == Verdict::CommandError || sink.status == Verdict::TableFull);
    }

    void checkAfterAction()
    {
        // Bounded, so that inputs full of actions still run fast.
        if (++fullChecks <= 64)
            checkAll();
    }
};

QByteArray wellFormedFrame(int i)
{
    QByteArray f(1, Ctl::STX);
    f.append('D');
    f.append(QByteArray::number(i % 100).rightJustified(2, '0'));
    for (int k = 0; k < 5; ++k)
        f.append(' ').append(QByteArray::number(i * 7 + k).rightJustified(5, '0'));
    f.append(' ').append(QByteArray::number(i * 35 + 10).rightJustified(6, '0'));
    f.append(Ctl::CR);
    return f;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::uint8_t mode = data[0];
    const bool actions = mode & 1;
    static Harness h;
    h.start();

    if (mode & 2) {
        const int frames = 90 + (mode >> 2) % 11;
        for (int i = 1; i <= frames; ++i)
            for (char c : wellFormedFrame(i))
                h.receive(c);
        QZ_CHECK(h.state.FrameCount == frames);
    }

    for (std::size_t i = 1; i < size; ++i) {
        const char c = char(data[i]);
        if (!actions || data[i] != 0xFF || i + 1 >= size) {
            h.receive(c);
            continue;
        }
        const int action = data[++i] % 5;
        switch (action) {
        case 0:
            h.clearRows();
            h.reset();
            break;
        case 1:
            h.clearRows();
            break;
        case 2:
            h.reset();
            h.rowsAboveCountEmpty = false;
            break;
        case 3:
            if (i + 2 < size) {
                const int n = data[i + 1];
                const int times = n < 0xF0 ? n + 1 : (n - 0xEF) * 2048;
                const char r = char(data[i + 2]);
                i += 2;
                for (int k = 0; k < times; ++k)
                    h.receive(r);
            }
            break;
        default:
            h.receive(char(0xFF));
            break;
        }
        h.checkAfterAction();
    }
    h.checkAll();
    return 0;
}
