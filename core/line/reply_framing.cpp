#include "line/reply_framing.h"
#include "table/record_decoder.h"

namespace {

void closeFrame(Module1 &s)
{
    s.PendingLength = 0;
    // Emptied but not freed: the next frame is assembled in the same buffer.
    s.PendingFrame.truncate(0);
}

void giveVerdict(Module1 &s, CounterTable &table, ReceiveSink &sink)
{
    const QByteArray &frame = s.PendingFrame;
    if (frame.size() >= 2 && frame[1] == Ctl::NAK) {
        closeFrame(s);
        sink.setStatus(Verdict::Error);
    } else if (frame[0] == Ctl::ACK) {
        closeFrame(s);
        sink.setStatus(Verdict::AckOk);
    } else if (frame[0] == Ctl::STX) {
        if (s.FrameCount >= CounterTable::RecordRows) {
            // No row left for it: never write past the table or the store.
            closeFrame(s);
            sink.setStatus(Verdict::TableFull);
            return;
        }
        // A copy of its own, so the assembly buffer stays unshared and is reused.
        s.FrameStore[s.FrameCount] = QByteArray(frame.constData(), frame.size());
        closeFrame(s);
        sink.setStatus(Verdict::DataOk);
        // Slot n is shown on row n + 1, so it is decoded before the count moves on.
        DecodeCounterRecord(s.FrameStore[s.FrameCount], s.FrameCount + 1, table);
        ++s.FrameCount;
    } else {
        // Led by NAK without a NAK second: its own verdict, nothing stored.
        closeFrame(s);
        sink.setStatus(Verdict::CommandError);
    }
}

} // namespace

void receiveCharacter(Module1 &s, CounterTable &table, ReceiveSink &sink, char c)
{
    sink.appendLog(c);

    if (s.PendingLength != 0) {
        ++s.PendingLength;
        s.PendingFrame.append(c);
        if (c == Ctl::CR) {
            giveVerdict(s, table, sink);
        } else if (s.PendingLength >= Module1::MaxPendingLength) {
            // A frame this long without its CR is no reply: abandon it rather than
            // let the 16-bit count overflow. The log keeps every character.
            closeFrame(s);
            sink.setStatus(Verdict::CommandError);
        }
        return;
    }

    s.PendingFrame.truncate(0);
    if (c == Ctl::STX || c == Ctl::NAK || c == Ctl::ACK) {
        s.PendingFrame.append(c);
        s.PendingLength = 1;
    }
}

void ResetReception(Module1 &s)
{
    s.PendingLength = 0;
    s.FrameCount = 0;
    for (auto &slot : s.FrameStore)
        slot.clear();
}
