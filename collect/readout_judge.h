#pragma once

#include "table/counter_record.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The rules that decide whether a read-out may be saved and the counter cleared,
// over what was received and nothing else: no line, no clock, no wording. The
// session collects the replies and acts on the decisions; readout_text words them.
//
// The line has no parity and the protocol no checksum and no record count, so one
// reply proves nothing about itself: before a clear the read-out is asked for again
// and only two consecutive replies alike, byte for byte, are taken as the records.

// How a reply's reception ended.
enum class ReplyEnd {
    Quiet,    // the line was quiet for the quiet time after its last character
    Silence,  // nothing at all came within the time allowed (or, after CLR ALL, no more)
    Answer,   // after CLR ALL: the counter's ACK or NAK frame closed it
    PortLost, // the line failed or closed
    Deadline, // the line kept talking past the reply's deadline or its size limit
};

struct Reply
{
    QByteArray bytes;               // every byte received for this request, in order
    ReplyEnd end = ReplyEnd::Quiet;
};

// A reply split as the window's framing splits it.
struct FramedReply
{
    QList<QByteArray> dataFrames; // STX to CR, as the window stores them
    QStringList verdicts;         // the window's verdict of each closed frame, in order
    qint64 strayBytes = 0;        // outside any frame and no lead character
    int openLength = 0;           // a frame still open at the end (characters)
    bool abandoned = false;       // a frame closed without its CR (too long)
};
FramedReply frameReply(const QByteArray &bytes);

// One reason to doubt a reply.
struct Doubt
{
    enum class Kind {
        PortLost,     // the line went away during the reply
        KeptTalking,  // past the deadline or the size limit
        NotData,      // a frame that is no data frame (NAK, ACK, table full, abandoned)
        Abandoned,    // a frame ran past the longest length without its CR
        CutOff,       // a frame was still open when the line went quiet
        NoFrame,      // characters, but no frame at all
        Malformed,    // a data frame failed the frame check (`fault`; `count` in all)
        Numbering,    // RDD ALL's records do not run 01, 02, ... (`frame` came as `number`)
        Stray,        // when clearing: `count` characters outside any frame
        Silent,       // a read-back brought nothing at all
        Lacking,      // reply `frame` held `frames` sound records, the saved read-out only
                      // `count`: record `number` and those after it would be lost
    };
    Kind kind = Kind::PortLost;
    int frame = 0;          // 1-based data frame it concerns
    int frames = 0;         // data frames in the reply
    int count = 0;
    QByteArray number;      // the record number field as it came
    FrameFault fault;
};

struct ReplyJudgement
{
    FramedReply framed;
    QList<Doubt> doubts;
    bool silent = false;    // nothing at all came
    bool sound() const { return doubts.isEmpty() && !silent; }
};

// One reply to RDD ALL (or RDD NOW, `now`) judged on its own; `clearing` adds the
// doubts that only matter before the records are erased (characters outside any
// frame, control characters inside a data frame).
ReplyJudgement judgeReply(const Reply &reply, bool now, bool clearing);

// Where two replies first differ, counted in data frames of the first.
struct Difference
{
    int frame = 0;             // 1-based data frame (or the frame after the last)
    QByteArray number;         // its record number, where one of them has it readable
    bool missing = false;      // one reply ends where the other goes on
};
Difference firstDifference(const QByteArray &a, const QByteArray &b);

// What to do after the replies to RDD so far.
struct ReadoutDecision
{
    enum class Action {
        AskAgain,   // clearing: read again to compare
        Save,       // save reply `agreed` (and, clearing, clear)
        Refuse,     // the reply has doubts (`doubts`)
        Disagree,   // clearing: three replies, no two in a row alike (`differences`)
        NoReply,    // silence
    };
    Action action = Action::Refuse;
    int agreed = -1;
    QList<Doubt> doubts;
    int alike = 0;                 // Refuse: replies `alike` and the next were alike but unsound
    QList<Difference> differences; // one per pair of consecutive replies
};
inline constexpr int MaxReadouts = 3;
// Every reply of the run is evidence: a read-out is not taken to clear while any
// reply showed a sound record past its end.
ReadoutDecision decideReadout(const QList<Reply> &replies, bool now, bool clearing);

// What came back for CLR ALL.
struct ClearJudgement
{
    enum class Answer { None, Ack, Nak };
    Answer answer = Answer::None;
    QList<QByteArray> lateRecords;  // data frames before the answer that pass the frame check
    int lateRejected = 0;           // other frames before the answer (junk, malformed)
    bool portLost = false;
};
// Whether a closed frame with this verdict is the counter's answer to CLR ALL.
bool answersClear(const QString &verdict);
ClearJudgement judgeClear(const Reply &reply);

// The CSV the window writes for these bytes: its framing, decoding and writer.
QByteArray csvOfReply(const QByteArray &bytes);
