#include "readout_session.h"

#include "output_dir.h"
#include "port_messages.h"
#include "readout_text.h"
#include "stop_request.h"
#include "csv/csv_writer.h"
#include "csv/durable_file.h"
#include "line/line_comm_control.h"
#include "line/port_address.h"
#include "line/port_control.h"
#include "line/serial_comm_control.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>


namespace {

bool toStandardOutput(const QString &output)
{
    return output.isEmpty() || output == QLatin1String("-");
}

} // namespace

ReadoutSession::ReadoutSession(LineCommControl &port, const CollectOptions &options,
                               QObject *parent)
    : QObject(parent), m_port(port), m_options(options)
{
    m_table.SetupCounterTable();
    // Precise: the quiet time is a promise that the line was silent at least that long.
    for (QTimer *timer : {&m_firstReply, &m_quiet, &m_deadline}) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
    }
    connect(&m_firstReply, &QTimer::timeout, this, [this] { endOfReply(ReplyEnd::Silence); });
    connect(&m_quiet, &QTimer::timeout, this, [this] { endOfReply(ReplyEnd::Quiet); });
    connect(&m_deadline, &QTimer::timeout, this, [this] { endOfReply(ReplyEnd::Deadline); });
    connect(&m_port, &CommControl::OnComm, this, &ReadoutSession::onComm);
    connect(this, &ReadoutSession::message, this, [this](const QString &line) { m_messages << line; });

    m_started = QDateTime::currentDateTime();
    if (!m_options.outputDir.isEmpty())
        m_outputs.push_back(folderOutput(m_options.outputDir, m_started));
    else if (!m_options.noCsv && toStandardOutput(m_options.output))
        m_outputs.push_back(standardOutput());
    else if (!m_options.noCsv)
        m_outputs.push_back(csvFileOutput(m_options.output, m_options.overwrite));
    if (m_options.store) {
        m_store = std::make_unique<ReadoutStore>(*m_options.store);
        m_outputs.push_back(storeOutput(*m_store, [this] { return storedReadout(m_runStatus); }));
    }
}

ReadoutSession::~ReadoutSession()
{
    if (m_port.portOpen())
        ClosePort(m_port);
}

bool ReadoutSession::waitingForFirstReply() const
{
    return m_phase == Phase::Reading && m_reply.bytes.isEmpty();
}

QString ReadoutSession::portLabel() const
{
    if (!m_options.device.isEmpty())
        return serialDevicePath(m_options.device);
    return QStringLiteral("COM%1 (%2)").arg(m_options.portNumber).arg(portDeviceName(m_options.portNumber));
}

QString ReadoutSession::counterName() const
{
    return m_options.counter.isEmpty() ? PortAddress::of(m_options.portNumber, m_options.device).device()
                                       : m_options.counter;
}

QString ReadoutSession::outputLabel() const
{
    return m_outputs.empty() ? QString() : m_outputs.front()->label();
}

// The end of a refusal: nothing written, and with --clear nothing cleared.
QString ReadoutSession::notWritten() const
{
    if (m_options.noCsv)
        return m_options.clear ? QStringLiteral("no records were saved; the counter was not cleared")
                               : QStringLiteral("no records were saved");
    return QStringLiteral("nothing was written to %1%2")
        .arg(outputLabel(), m_options.clear ? QStringLiteral("; the counter was not cleared") : QString());
}

// Where a saved read-out is: "the CSV is saved", as ever without a store.
QString ReadoutSession::savedText() const
{
    if (!m_store)
        return QStringLiteral("the CSV is saved");
    return m_options.noCsv ? QStringLiteral("the read-out is stored") : QStringLiteral("the CSV is saved and the read-out stored");
}

void ReadoutSession::start()
{
    m_clock.start();

    // Before anything is sent: an output that cannot take the read-out (or the
    // records that may come after CLR ALL) spares the counter a read-out. Each checks
    // again when it writes.
    for (const auto &out : m_outputs) {
        QString reason;
        if (!out->check(m_options.clear, &reason)) {
            const QString head = out.get() == m_outputs.back().get() && m_store
                                     ? QStringLiteral("cannot use the store %1: %2").arg(out->label(), reason)
                                 : !m_options.outputDir.isEmpty()
                                     ? QStringLiteral("cannot write in %1: %2")
                                           .arg(QDir::toNativeSeparators(m_options.outputDir), reason)
                                     : QStringLiteral("cannot write %1: %2").arg(out->label(), reason);
            emit message(head + nothingReadText(m_options.clear));
            m_storeDone = true;
            finish(StopRequest::signal() != 0 ? CollectStatus::stoppedBy(StopRequest::signal())
                                              : CollectStatus::NotWritten);
            return;
        }
    }
    // A run killed while writing leaves its temporary file: said, never touched (it
    // may be the only copy of late records).
    for (const auto &out : m_outputs) {
        for (const QString &path : out->leftovers())
            emit message(leftoverText(QDir::toNativeSeparators(path), QFileInfo(path).size()));
    }

    if (const int signal = StopRequest::signal(); signal != 0) {
        interrupt(signal, signalName(signal));
        return;
    }
    m_state.PortNumber = std::int16_t(m_options.portNumber);
    m_port.setDevice(m_options.device);
    OpenPort(m_state, m_port, false);
    if (!m_port.portOpen()) {
        emit message(portOpenFailureText(portLabel(), m_port.lastFailure()));
        finish(CollectStatus::PortNotOpened);
        return;
    }

    if (!send("RDD", m_options.now ? "NOW" : "ALL", Phase::Reading)) {
        emit message(QStringLiteral("cannot send the request on %1: %2")
                         .arg(portLabel(), portLostText(m_port.lastFailure())));
        finish(CollectStatus::PortNotOpened);
    }
}

bool ReadoutSession::send(QByteArrayView word, QByteArrayView operand, Phase phase)
{
    m_reply = Reply();
    m_sendRefused = false;
    // The window's request sequence: table and status emptied, the ten bytes written,
    // reception reset.
    if (!SendCommand(m_state, m_port, *this, word, operand) || m_sendRefused)
        return false;
    m_phase = phase;
    m_quiet.stop();
    m_deadline.stop();
    m_firstReply.start(m_options.timeoutMs);
    return true;
}

void ReadoutSession::clearRecordsAndStatus()
{
    m_table.clearRecordRows();
    m_status5.clear();
}

RecordsAndStatus ReadoutSession::recordsAndStatus() const
{
    return {m_table.clearedRowTexts(), m_status5};
}

void ReadoutSession::restoreRecordsAndStatus(const RecordsAndStatus &saved)
{
    m_table.restoreClearedRows(saved.records);
    m_status5 = saved.status;
}

void ReadoutSession::setStatus(const QString &text)
{
    m_status5 = text;
    m_closedVerdict = text;
}

void ReadoutSession::onComm()
{
    const std::int16_t event = m_port.CommEvent();
    if (event == CommControl::EventReceive) {
        const QByteArray in = m_port.Input();
        if (m_phase != Phase::Reading && m_phase != Phase::Clearing)
            return;
        // A byte reaches us up to the port's read hold after it came, so a silence
        // between two deliveries can look that much longer than it was on the line.
        const int hold = m_port.readHoldMs();
        if (m_reply.bytes.isEmpty())
            m_deadline.start(m_options.replyDeadlineMs(m_phase == Phase::Clearing) + hold);
        for (char c : in) {
            m_reply.bytes += c;
            m_closedVerdict.clear();
            receiveCharacter(m_state, m_table, *this, c);
            // After CLR ALL the counter's own answer ends the session, never a pause.
            if (m_phase == Phase::Clearing && c == Ctl::CR && answersClear(m_closedVerdict)) {
                endOfReply(ReplyEnd::Answer);
                return;
            }
        }
        if (m_reply.bytes.size() > MaxReplyBytes) {
            endOfReply(ReplyEnd::Deadline);
            return;
        }
        m_firstReply.stop();
        if (m_phase == Phase::Clearing)
            m_firstReply.start(m_options.timeoutMs + hold);
        else
            m_quiet.start(m_options.quietMs + hold);
        return;
    }
    if (event >= CommControl::EventErrorBase && !m_port.portOpen()
        && (m_phase == Phase::Reading || m_phase == Phase::Clearing))
        endOfReply(ReplyEnd::PortLost);
}

void ReadoutSession::endOfReply(ReplyEnd end)
{
    // A stop the event loop has not delivered yet: nothing more is sent (no read-back).
    if (const int signal = StopRequest::signal(); signal != 0 && m_phase == Phase::Reading) {
        interrupt(signal, signalName(signal));
        return;
    }
    m_firstReply.stop();
    m_quiet.stop();
    m_deadline.stop();
    const Phase phase = m_phase;
    // Whatever still arrives belongs to no request of ours.
    m_phase = Phase::Idle;
    m_reply.end = end;
    if (phase == Phase::Reading) {
        m_replies << m_reply;
        judgeReadout();
    } else if (phase == Phase::Clearing) {
        judgeClear();
    }
}

void ReadoutSession::judgeReadout()
{
    const ReadoutDecision decision = decideReadout(m_replies, m_options.now, m_options.clear);
    switch (decision.action) {
    case ReadoutDecision::Action::AskAgain:
        if (m_replies.size() >= 2)
            emit message(QStringLiteral("the read-outs from %1 differ (%2): reading once more before clearing")
                             .arg(portLabel(), differencesText({firstDifference(m_replies.at(m_replies.size() - 2).bytes,
                                                                                m_replies.last().bytes)})));
        if (!send("RDD", "ALL", Phase::Reading)) {
            emit message(QStringLiteral("cannot send RDD ALL again on %1: %2; %3")
                             .arg(portLabel(), portLostText(m_port.lastFailure()), notWritten()));
            finish(CollectStatus::Incomplete);
        }
        return;
    case ReadoutDecision::Action::Refuse:
        refuse(m_replies.last(), decision);
        return;
    case ReadoutDecision::Action::Disagree:
        emit message(QStringLiteral("read-out from %1 not confirmed: no two of %2 replies in a row were alike, so "
                                    "a fault on the line cannot be ruled out; %3")
                         .arg(portLabel())
                         .arg(m_replies.size())
                         .arg(differencesText(decision.differences)));
        emit message(notWritten());
        m_verdict = RunVerdict::NotConfirmed;
        finish(CollectStatus::Incomplete);
        return;
    case ReadoutDecision::Action::NoReply:
        break;
    case ReadoutDecision::Action::Save:
        saveAndClear(m_replies.at(decision.agreed));
        return;
    }

    // Silence. A file that was there stays as it was: an empty one says nothing more.
    const QString secs = QString::number(m_options.timeoutMs / 1000.0);
    const QString who = m_options.now ? QStringLiteral("no counter is answering on this port (cable, power, port)")
                                      : QStringLiteral("either the counter holds no records, or no counter is "
                                                       "answering on this port (cable, power, port)");
    QString what;
    if (m_options.noCsv) {
        what = QStringLiteral("no records were saved");
    } else if (m_outputs.front()->heldSomething()) {
        what = QStringLiteral("%1 was left as it was").arg(outputLabel());
    } else {
        if (!saveOrStop(QByteArray()))
            return;
        what = QStringLiteral("an empty CSV was written to %1").arg(outputLabel());
    }
    emit message(QStringLiteral("no reply on %1 within %2 s: %3; %4").arg(portLabel(), secs, who, what));
    finish(CollectStatus::NoReply);
}

void ReadoutSession::refuse(const Reply &reply, const ReadoutDecision &decision)
{
    const FramedReply framed = frameReply(reply.bytes);
    for (const Doubt &d : decision.doubts) {
        const QString doubt = doubtText(d, framed, reply.bytes.size(), portLostText(m_port.lastFailure()));
        // Two replies alike that are both unsound, or alike and shorter than an
        // earlier one: the doubt is what stands against them.
        emit message(refusalText(portLabel(), d, decision.alike, doubt));
    }
    if (decision.alike > 0 || (!decision.doubts.isEmpty() && decision.doubts.last().kind == Doubt::Kind::Lacking))
        m_verdict = RunVerdict::NotConfirmed;
    emit message(notWritten());
    finish(CollectStatus::Incomplete);
}

bool ReadoutSession::saveOrStop(const QByteArray &reply)
{
    for (const auto &out : m_outputs) {
        QString reason;
        if (!out->save(reply, &reason)) {
            const bool store = m_store && out.get() == m_outputs.back().get();
            emit message((store ? QStringLiteral("cannot store the read-out in %1: %2; %3")
                                : QStringLiteral("cannot write %1: %2; %3"))
                             .arg(out->label(), reason,
                                  m_options.clear ? QStringLiteral("the counter was not cleared")
                                                  : QStringLiteral("the records stay on the counter")));
            if (store)
                m_storeDone = true;
            finish(CollectStatus::NotWritten);
            return false;
        }
    }
    return true;
}

bool ReadoutSession::stoppedBeforeClear()
{
    const int signal = StopRequest::signal();
    if (signal == 0)
        return false;
    QString where = outputLabel();
    if (m_store && !m_options.noCsv)
        where += QStringLiteral(" and %1").arg(m_store->address().text);
    emit message(stoppedBeforeClearText(signalName(signal), where));
    finish(CollectStatus::stoppedBy(signal));
    return true;
}

void ReadoutSession::saveAndClear(const Reply &agreed)
{
    const FramedReply framed = frameReply(agreed.bytes);
    m_savedRecords = int(framed.dataFrames.size());
    // What the store's row says of the saved read-out.
    m_verdict = RunVerdict::Saved;
    m_savedReply = agreed.bytes;
    m_savedFrames = framed.dataFrames;
    m_runStatus = CollectStatus::Done;
    // The file synced, then the store committed: each before anything is cleared.
    if (!saveOrStop(agreed.bytes))
        return;

    QString saved = QStringLiteral("%1 from %2 %3 %4")
                        .arg(plural(m_savedRecords, "record", "records"), portLabel(),
                             m_options.noCsv ? QStringLiteral("stored in") : QStringLiteral("written to"),
                             outputLabel());
    if (m_store && !m_options.noCsv)
        saved += QStringLiteral(" and stored in %1").arg(m_store->address().text);
    if (framed.strayBytes > 0)
        emit message(QStringLiteral("%1 between frames ignored")
                         .arg(plural(framed.strayBytes, "stray character", "stray characters")));
    if (!m_options.clear) {
        emit message(saved);
        finish(CollectStatus::Done);
        return;
    }
    // A signal that came during a sync: nothing more is sent.
    if (stoppedBeforeClear())
        return;

    // Every place late records may go is made sure of before the clear.
    for (const auto &out : m_outputs) {
        QString reason;
        if (out->takesLate() && !out->secureLate(&reason)) {
            emit message(QStringLiteral("%1; the counter was not cleared (%2)").arg(reason, saved));
            finish(CollectStatus::NotWritten);
            return;
        }
    }
    if (stoppedBeforeClear())
        return;

    emit message(saved + QStringLiteral("; clearing the counter (%1 read-outs in a row were alike)")
                             .arg(m_replies.size() >= 3 ? QStringLiteral("the last two") : QStringLiteral("two")));
    if (stoppedBeforeClear())
        return;
    m_clearSent = QDateTime::currentDateTimeUtc();
    StopRequest::clearGoingOut();
    if (!send("CLR", "ALL", Phase::Clearing)) {
        m_clearSent = QDateTime();
        emit message(QStringLiteral("cannot send CLR ALL on %1: %2; the counter was not cleared")
                         .arg(portLabel(), portLostText(m_port.lastFailure())));
        finish(CollectStatus::Incomplete);
    }
}

QString ReadoutSession::clearAnswerText(const ClearJudgement &judged) const
{
    if (judged.portLost)
        return QStringLiteral("the port closed before it answered: %1").arg(portLostText(m_port.lastFailure()));
    if (m_reply.end == ReplyEnd::Deadline)
        return QStringLiteral("the line kept talking and no answer came");
    if (m_reply.bytes.isEmpty())
        return QStringLiteral("no answer within %1 s").arg(m_options.timeoutMs / 1000.0);
    return QStringLiteral("it sent %1 and then nothing for %2 s")
        .arg(repliesText(frameReply(m_reply.bytes), m_reply.bytes.size()))
        .arg(m_options.timeoutMs / 1000.0);
}

void ReadoutSession::judgeClear()
{
    const ClearJudgement judged = ::judgeClear(m_reply);
    int status = CollectStatus::Done;
    QString answer;
    switch (judged.answer) {
    case ClearJudgement::Answer::Ack:
        m_clearAnswer = ClearAnswer::Ack;
        answer = clearConfirmedText();
        break;
    case ClearJudgement::Answer::Nak:
        m_clearAnswer = ClearAnswer::Nak;
        answer = clearRefusedText(repliesText(frameReply(m_reply.bytes), m_reply.bytes.size()), savedText());
        status = CollectStatus::Incomplete;
        break;
    case ClearJudgement::Answer::None:
        answer = clearNotConfirmedText(clearAnswerText(judged), savedText());
        status = CollectStatus::Incomplete;
        break;
    }
    const bool late = !judged.lateRecords.isEmpty() || judged.lateRejected > 0;
    if (late)
        status = CollectStatus::Incomplete;
    emit message(answer);
    finish(late ? keepLateRecords(judged, status) : status);
}

// Records that came after CLR ALL went out and before the counter's answer: the
// counter paused within its reply longer than --quiet, twice alike. Every output
// that takes them gets them (a new file beside the read-out's, never over it; the
// store); only frames that pass the frame check become rows. Records no output could
// keep are printed whole, the last place left.
int ReadoutSession::keepLateRecords(const ClearJudgement &judged, int status)
{
    const int late = int(judged.lateRecords.size());
    emit message(lateArrivedText(late + judged.lateRejected, m_options.quietMs));
    if (judged.lateRejected > 0)
        emit message(lateRejectedText(judged.lateRejected));
    if (late == 0)
        return status;
    m_lateFrames = judged.lateRecords;
    m_runStatus = status;
    QStringList places, failures;
    bool storeFailed = false;
    for (const auto &out : m_outputs) {
        if (!out->takesLate())
            continue;
        const bool store = m_store && out.get() == m_outputs.back().get();
        QString where, reason;
        if (out->keepLate(m_lateFrames, &where, &reason)) {
            places << (store ? QStringLiteral("stored in %1") : QStringLiteral("written to %1")).arg(where);
            if (!reason.isEmpty())
                emit message(QStringLiteral("%1: %2").arg(where, reason));
        } else {
            failures << QStringLiteral("%1: %2").arg(out->label(), reason);
            storeFailed = storeFailed || store;
        }
        if (store)
            m_storeDone = true;
    }
    if (!places.isEmpty()) {
        for (const QString &failure : std::as_const(failures))
            emit message(QStringLiteral("the late records could not be kept in %1").arg(failure));
        emit message(lateKeptText(late, places, m_savedRecords, outputLabel()));
        // Kept somewhere; a store that could not take them has not noted the clear either.
        return storeFailed ? int(CollectStatus::KeptOnlyInMessages) : status;
    }
    for (const QByteArray &frame : std::as_const(m_lateFrames))
        emit message(lateFrameText(frame));
    emit message(lateNowhereText(late, failures));
    return CollectStatus::KeptOnlyInMessages;
}

void ReadoutSession::interrupt(int signal, const QString &name)
{
    if (m_phase == Phase::Done)
        return;
    const Phase phase = m_phase;
    m_firstReply.stop();
    m_quiet.stop();
    m_deadline.stop();
    m_phase = Phase::Idle;
    if (phase != Phase::Clearing) {
        m_verdict = RunVerdict::Stopped;
        emit message(QStringLiteral("stopped by %1: %2").arg(name, notWritten()));
        finish(CollectStatus::stoppedBy(signal));
        return;
    }
    // CLR ALL is out: the records are saved; whatever came since is kept too.
    m_reply.end = ReplyEnd::Silence;
    const ClearJudgement judged = ::judgeClear(m_reply);
    emit message(QStringLiteral("stopped by %1 after CLR ALL was sent: the records are saved in %2; the "
                                "counter's answer had not come, so its records may still be there")
                     .arg(name, outputLabel()));
    int status = CollectStatus::stoppedBy(signal);
    if (!judged.lateRecords.isEmpty() || judged.lateRejected > 0)
        keepLateRecords(judged, status);
    finish(status);
}

void ReadoutSession::finish(int status)
{
    m_firstReply.stop();
    m_quiet.stop();
    m_deadline.stop();
    m_phase = Phase::Done;
    if (m_port.portOpen())
        ClosePort(m_port);
    for (const auto &out : m_outputs)
        out->end();
    // A signal that came while this code blocked (a sync, the store) is not lost.
    if (const int signal = StopRequest::signal(); signal != 0 && status < 128) {
        emit message(stoppedAtEndText(signalName(signal)));
        status = std::max(status, int(CollectStatus::stoppedBy(signal)));
    }
    status = storeEnd(status);
    m_status = status;
    emit finished(status);
}

StoredReadout ReadoutSession::storedReadout(int status) const
{
    StoredReadout run;
    run.counter = counterName();
    run.port = portLabel();
    run.request = m_options.now ? QStringLiteral("RDD NOW") : QStringLiteral("RDD ALL");
    run.started = m_started;
    run.ended = QDateTime::currentDateTimeUtc();
    run.replies = int(m_replies.size());
    run.status = status;
    run.messages = m_messages;
    if (m_verdict) {
        run.verdict = *m_verdict;
    } else {
        run.verdict = status == CollectStatus::Done            ? RunVerdict::Saved
                      : status == CollectStatus::PortNotOpened ? RunVerdict::PortNotOpened
                      : status == CollectStatus::Incomplete    ? RunVerdict::Refused
                      : status == CollectStatus::NotWritten    ? RunVerdict::NotWritten
                      : status == CollectStatus::NoReply       ? RunVerdict::NoReply
                                                               : RunVerdict::Stopped;
    }
    run.reply = !m_savedReply.isNull() ? m_savedReply : m_replies.isEmpty() ? m_reply.bytes : m_replies.last().bytes;
    if (run.reply.isNull())
        run.reply = QByteArray("");
    run.frames = m_savedFrames;
    run.clearSent = m_clearSent;
    run.clearAnswer = m_clearAnswer;
    run.lateFrames = m_lateFrames;
    return run;
}

// The run's end in the store: the saved read-out's row completed (the clear's answer,
// late records), or a failed run's row. Returns the status to end with: a store
// that cannot take it makes it 4.
int ReadoutSession::storeEnd(int status)
{
    if (!m_store || m_storeDone)
        return status;
    m_storeDone = true; // once
    const bool added = m_store->added();
    QString reason;
    const StoredReadout run = storedReadout(status);
    if (added ? m_store->finish(run, &reason) : m_store->add(run, &reason)) {
        if (m_options.noCsv && !m_lateFrames.isEmpty())
            emit message(QStringLiteral("%1 stored in %2")
                             .arg(plural(int(m_lateFrames.size()), "late record", "late records"),
                                  m_store->address().text));
        return status;
    }
    if (added && !m_clearSent.isValid())
        emit message(QStringLiteral("cannot note the end of the run in the store %1: %2; the read-out is stored")
                         .arg(m_store->address().text, reason));
    else if (added)
        emit message(QStringLiteral("cannot note the answer to CLR ALL in the store %1: %2; the read-out is "
                                    "stored, and the next one will show the clear")
                         .arg(m_store->address().text, reason));
    else
        emit message(QStringLiteral("cannot store this run in %1: %2").arg(m_store->address().text, reason));
    // After CLR ALL "nothing was cleared" is no longer true.
    if (status >= 128)
        return status;
    return m_clearSent.isValid() ? CollectStatus::KeptOnlyInMessages : CollectStatus::NotWritten;
}
