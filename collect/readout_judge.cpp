#include "readout_judge.h"

#include "csv/csv_writer.h"
#include "line/module1.h"
#include "line/reply_framing.h"
#include "table/counter_table.h"

#include <optional>

namespace {

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

FramedReply frameReply(const QByteArray &bytes)
{
    Framer framer;
    framer.feed(bytes);
    return framer.finish();
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
            d.number = recordNumberField(f.dataFrames[k]);
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
            if (recordNumberField(f.dataFrames[k]) != expected) {
                Doubt &d = add(Doubt::Kind::Numbering);
                d.frame = k + 1;
                d.number = recordNumberField(f.dataFrames[k]);
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
            d.number = recordNumberField(frames->at(before));
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
