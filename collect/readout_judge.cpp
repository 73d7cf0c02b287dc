#include "readout_judge.h"

#include "csv/csv_writer.h"
#include "line/module1.h"
#include "line/reply_framing.h"
#include "table/counter_table.h"

#include <optional>

namespace {

bool allDigits(const QByteArray &text)
{
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return !text.isEmpty();
}

// No counter sends a control character inside a record; STX, ETX, ACK, NAK and NUL
// there are a frame merged with the next, a lead that was garbled, or noise.
bool isControl(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
}

// The window's framing, keeping what a judge needs of each closed frame.
struct Framer : ReceiveSink
{
    Module1 state;
    CounterTable table;
    FramedReply out;
    char last = 0;

    Framer() { table.SetupCounterTable(); }
    void appendLog(char c) override { last = c; }
    void setStatus(const QString &text) override
    {
        if (last != Ctl::CR)
            out.abandoned = true;
        out.verdicts << text;
        closedByCr << (last == Ctl::CR);
    }
    void feed(const QByteArray &bytes)
    {
        for (char c : bytes) {
            if (state.PendingLength == 0 && c != Ctl::STX && c != Ctl::ACK && c != Ctl::NAK)
                ++out.strayBytes;
            receiveCharacter(state, table, *this, c);
        }
    }
    FramedReply finish()
    {
        for (int k = 0; k < state.FrameCount; ++k)
            out.dataFrames << state.FrameStore[k];
        out.openLength = state.PendingLength;
        return out;
    }
    QList<bool> closedByCr;
};

} // namespace

const QList<FrameField> &frameFields()
{
    static const QList<FrameField> fields = {
        {3, 2, "the record number"}, {6, 5, "CNTR1"},  {12, 5, "CNTR2"}, {18, 5, "CNTR3"},
        {24, 5, "CNTR4"},            {30, 5, "CNTR5"}, {36, 6, "TOTAL"},
    };
    return fields;
}

RecordValues recordValues(const QByteArray &frame)
{
    RecordValues record;
    const QList<FrameField> &fields = frameFields();
    for (int k = 0; k < fields.size(); ++k) {
        const QByteArray text = frame.mid(fields[k].first - 1, fields[k].length);
        const qint64 value = text.size() == fields[k].length && allDigits(text) ? text.toLongLong() : -1;
        // Only two digits fit: the counter's hundredth record is numbered 00.
        if (k == 0)
            record.number = value == 0 ? 100 : int(value);
        else
            record.values << value;
    }
    return record;
}

FramedReply frameReply(const QByteArray &bytes)
{
    Framer framer;
    framer.feed(bytes);
    return framer.finish();
}

FrameFault frameFault(const QByteArray &frame, bool controls)
{
    FrameFault fault;
    if (frame.size() < MinFrameLength) {
        fault.kind = FrameFault::Kind::Short;
        fault.length = int(frame.size());
        return fault;
    }
    const QList<FrameField> &fields = frameFields();
    for (int k = 0; k < fields.size(); ++k) {
        const QByteArray text = frame.mid(fields[k].first - 1, fields[k].length);
        if (!allDigits(text)) {
            fault.kind = FrameFault::Kind::Field;
            fault.field = k;
            fault.text = text;
            return fault;
        }
    }
    if (controls) {
        for (qsizetype i = 1; i + 1 < frame.size(); ++i) {
            if (isControl(frame[i])) {
                fault.kind = FrameFault::Kind::Control;
                fault.position = int(i + 1);
                fault.control = frame[i];
                return fault;
            }
        }
    }
    return fault;
}

QString readableRecordNumber(const QByteArray &frame)
{
    const QByteArray number = frame.mid(2, 2);
    return number.size() == 2 && allDigits(number) ? QString::fromLatin1(number) : QString();
}

ReplyJudgement judgeReply(const Reply &reply, bool now, bool clearing)
{
    ReplyJudgement j;
    j.framed = frameReply(reply.bytes);
    const FramedReply &f = j.framed;
    const int frames = int(f.dataFrames.size());
    j.silent = reply.bytes.isEmpty() && reply.end != ReplyEnd::PortLost && reply.end != ReplyEnd::Deadline;
    const auto add = [&](Doubt::Kind kind) -> Doubt & {
        Doubt d;
        d.kind = kind;
        d.frames = frames;
        j.doubts << d;
        return j.doubts.last();
    };

    if (reply.end == ReplyEnd::PortLost)
        add(Doubt::Kind::PortLost);
    if (reply.end == ReplyEnd::Deadline)
        add(Doubt::Kind::KeptTalking);
    if (f.verdicts.size() > frames)
        add(Doubt::Kind::NotData);
    if (f.abandoned)
        add(Doubt::Kind::Abandoned);
    if (f.openLength != 0)
        add(Doubt::Kind::CutOff).count = f.openLength;
    if (f.verdicts.isEmpty() && !reply.bytes.isEmpty() && f.openLength == 0)
        add(Doubt::Kind::NoFrame).count = int(reply.bytes.size());

    int malformed = 0;
    for (int k = 0; k < frames; ++k) {
        const FrameFault fault = frameFault(f.dataFrames[k], clearing);
        if (fault.ok())
            continue;
        if (++malformed == 1) {
            Doubt &d = add(Doubt::Kind::Malformed);
            d.frame = k + 1;
            d.number = f.dataFrames[k].mid(2, 2);
            d.fault = fault;
        }
    }
    for (Doubt &d : j.doubts) {
        if (d.kind == Doubt::Kind::Malformed)
            d.count = malformed;
    }

    // RDD ALL's records run 01, 02, ...; only two digits fit, so record 100 is "00".
    if (!now) {
        for (int k = 0; k < frames; ++k) {
            const QByteArray expected = QByteArray::number((k + 1) % 100).rightJustified(2, '0');
            if (f.dataFrames[k].mid(2, 2) != expected) {
                Doubt &d = add(Doubt::Kind::Numbering);
                d.frame = k + 1;
                d.number = f.dataFrames[k].mid(2, 2);
                break;
            }
        }
    }
    if (clearing && f.strayBytes > 0 && f.verdicts.size() > 0)
        add(Doubt::Kind::Stray).count = int(f.strayBytes);
    return j;
}

Difference firstDifference(const QByteArray &a, const QByteArray &b)
{
    qsizetype p = 0;
    while (p < a.size() && p < b.size() && a[p] == b[p])
        ++p;
    Difference d;
    const int before = int(frameReply(a.left(p)).dataFrames.size());
    d.frame = before + 1;
    const QList<QByteArray> inA = frameReply(a).dataFrames;
    const QList<QByteArray> inB = frameReply(b).dataFrames;
    d.missing = p >= a.size() || p >= b.size();
    for (const QList<QByteArray> *frames : {&inA, &inB}) {
        if (before < frames->size() && !readableRecordNumber(frames->at(before)).isEmpty()) {
            d.number = frames->at(before).mid(2, 2);
            break;
        }
    }
    return d;
}

namespace {

// The first reply that showed a sound data frame past the end of the read-out
// `agreed` would save: a counter whose tail went missing the same way twice.
std::optional<Doubt> lacking(const QList<Reply> &replies, const QList<QByteArray> &agreed)
{
    for (qsizetype k = 0; k < replies.size(); ++k) {
        const QList<QByteArray> frames = frameReply(replies[k].bytes).dataFrames;
        for (qsizetype i = agreed.size(); i < frames.size(); ++i) {
            if (!frameFault(frames[i], true).ok())
                continue;
            Doubt d;
            d.kind = Doubt::Kind::Lacking;
            d.frame = int(k + 1);
            d.frames = int(frames.size());
            d.count = int(agreed.size());
            d.number = frames[i].mid(2, 2);
            return d;
        }
    }
    return std::nullopt;
}

} // namespace

ReadoutDecision decideReadout(const QList<Reply> &replies, bool now, bool clearing)
{
    ReadoutDecision decision;
    if (replies.isEmpty()) {
        decision.action = ReadoutDecision::Action::AskAgain;
        return decision;
    }
    const ReplyJudgement first = judgeReply(replies.first(), now, clearing);
    if (first.silent) {
        decision.action = ReadoutDecision::Action::NoReply;
        return decision;
    }
    if (!first.doubts.isEmpty()) {
        decision.doubts = first.doubts;
        return decision;
    }
    if (!clearing) {
        decision.action = ReadoutDecision::Action::Save;
        decision.agreed = 0;
        return decision;
    }

    const qsizetype last = replies.size() - 1;
    if (last >= 1) {
        const ReplyJudgement latest = judgeReply(replies[last], now, clearing);
        // A line that went away cannot be asked again.
        if (replies[last].end == ReplyEnd::PortLost) {
            decision.doubts = latest.doubts;
            return decision;
        }
        // Alike byte for byte: judged alike too.
        if (replies[last].bytes == replies[last - 1].bytes && replies[last].end == replies[last - 1].end) {
            if (!latest.sound()) {
                decision.alike = int(last);
                decision.doubts = latest.doubts;
                if (latest.silent) {
                    Doubt d;
                    d.kind = Doubt::Kind::Silent;
                    decision.doubts << d;
                }
                return decision;
            }
            if (const std::optional<Doubt> lost = lacking(replies, latest.framed.dataFrames)) {
                decision.doubts << *lost;
                return decision;
            }
            decision.action = ReadoutDecision::Action::Save;
            decision.agreed = int(last);
            return decision;
        }
    }
    if (replies.size() < MaxReadouts) {
        decision.action = ReadoutDecision::Action::AskAgain;
        return decision;
    }
    decision.action = ReadoutDecision::Action::Disagree;
    for (qsizetype k = 1; k < replies.size(); ++k)
        decision.differences << firstDifference(replies[k - 1].bytes, replies[k].bytes);
    return decision;
}

bool answersClear(const QString &verdict)
{
    return verdict == Verdict::AckOk || verdict == Verdict::Error || verdict == Verdict::CommandError;
}

ClearJudgement judgeClear(const Reply &reply)
{
    Framer framer;
    framer.feed(reply.bytes);
    const FramedReply f = framer.finish();
    ClearJudgement j;
    j.portLost = reply.end == ReplyEnd::PortLost;
    qsizetype data = 0;
    for (qsizetype k = 0; k < f.verdicts.size(); ++k) {
        const QString &verdict = f.verdicts[k];
        if (framer.closedByCr.value(k) && answersClear(verdict)) {
            j.answer = verdict == Verdict::AckOk ? ClearJudgement::Answer::Ack : ClearJudgement::Answer::Nak;
            break;
        }
        if (verdict == Verdict::DataOk && data < f.dataFrames.size()) {
            const QByteArray &frame = f.dataFrames[data++];
            if (frameFault(frame, true).ok())
                j.lateRecords << frame;
            else
                ++j.lateRejected;
        } else {
            ++j.lateRejected;
        }
    }
    return j;
}

QByteArray csvOfReply(const QByteArray &bytes)
{
    Framer framer;
    framer.feed(bytes);
    return csvBytes(framer.table, framer.state.FrameCount);
}
