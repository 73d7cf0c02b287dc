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

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

bool toStandardOutput(const QString &output)
{
    return output.isEmpty() || output == QLatin1String("-");
}

// Late records go beside the read-out's file: NAME.late.csv, then NAME.late_2.csv, ...
QStringList lateNames(const QString &written)
{
    QString stem = written;
    if (stem.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive))
        stem.chop(4);
    QStringList names;
    for (int attempt = 1; attempt <= MaxOutputAttempts; ++attempt)
        names << (attempt == 1 ? stem + QStringLiteral(".late.csv") : QStringLiteral("%1.late_%2.csv").arg(stem).arg(attempt));
    return names;
}

bool writeStandardOutput(const QByteArray &bytes, QString *reason)
{
    std::fflush(stdout);
    QFile out;
    if (!out.open(1, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle)) {
        *reason = out.errorString();
        return false;
    }
    for (qsizetype done = 0; done < bytes.size();) {
        const qint64 n = out.write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0) {
            *reason = out.errorString();
            return false;
        }
        done += n;
    }
#ifdef Q_OS_UNIX
    // Redirected to a file: on disk before any clearing, like a file of our own.
    struct stat info {};
    if (::fstat(1, &info) == 0 && S_ISREG(info.st_mode) && ::fsync(1) != 0) {
        *reason = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
#endif
    return true;
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
    if (m_options.noCsv)
        return m_options.store->text;
    if (!m_options.outputDir.isEmpty())
        return QDir::toNativeSeparators(
            m_written.isEmpty() ? QDir(m_options.outputDir).filePath(outputFileName(m_started, 1)) : m_written);
    return toStandardOutput(m_options.output) ? QStringLiteral("standard output")
                                              : QDir::toNativeSeparators(m_options.output);
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
    m_started = QDateTime::currentDateTime();

    // Before anything is sent: a target that cannot take the file (or may not be
    // replaced) spares the counter a read-out. The writer checks again.
    if (!m_options.outputDir.isEmpty()) {
        const FileWriteFailure folder = checkFolderTarget(m_options.outputDir);
        if (!folder.ok()) {
            emit message(QStringLiteral("cannot write in %1: %2; nothing was read from the counter%3")
                             .arg(QDir::toNativeSeparators(m_options.outputDir), fileFailureText(folder),
                                  m_options.clear ? QStringLiteral(", and the counter was not cleared") : QString()));
            finish(CollectStatus::NotWritten);
            return;
        }
    }
    const bool toFile = m_options.outputDir.isEmpty() && !toStandardOutput(m_options.output);
    if (toFile) {
        m_targetExisted = nameTaken(m_options.output);
    }
    const FileWriteFailure target =
        toFile ? checkFileTarget(m_options.output, m_options.overwrite ? ReplaceFile::Always : ReplaceFile::OnlyEmpty)
               : FileWriteFailure();
    if (!target.ok()) {
        emit message(QStringLiteral("cannot write %1: %2; nothing was read from the counter%3")
                         .arg(outputLabel(), fileFailureText(target),
                              m_options.clear ? QStringLiteral(", and the counter was not cleared") : QString()));
        finish(CollectStatus::NotWritten);
        return;
    }

    // A store that cannot take the run spares the counter a read-out too.
    if (m_options.store) {
        m_store = std::make_unique<ReadoutStore>(*m_options.store);
        QString reason;
        if (!m_store->open(storedReadout(StatusNotEnded), &reason)) {
            emit message(QStringLiteral("cannot use the store %1: %2; nothing was read from the counter%3")
                             .arg(m_store->address().text, reason,
                                  m_options.clear ? QStringLiteral(", and the counter was not cleared") : QString()));
            m_storeDone = true;
            finish(StopRequest::signal() != 0 ? CollectStatus::stoppedBy(StopRequest::signal())
                                              : CollectStatus::NotWritten);
            return;
        }
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
        refuse(m_replies.last(), decision.doubts);
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
    } else if (m_targetExisted) {
        what = QStringLiteral("%1 was left as it was").arg(outputLabel());
    } else {
        if (!writeCsvOrStop(QByteArray()))
            return;
        what = QStringLiteral("an empty CSV was written to %1").arg(outputLabel());
    }
    emit message(QStringLiteral("no reply on %1 within %2 s: %3; %4").arg(portLabel(), secs, who, what));
    finish(CollectStatus::NoReply);
}

void ReadoutSession::refuse(const Reply &reply, const QList<Doubt> &doubts)
{
    const FramedReply framed = frameReply(reply.bytes);
    for (const Doubt &d : doubts)
        emit message(QStringLiteral("read-out from %1 incomplete: %2")
                         .arg(portLabel(), doubtText(d, framed, reply.bytes.size(), portLostText(m_port.lastFailure()))));
    emit message(notWritten());
    finish(CollectStatus::Incomplete);
}

void ReadoutSession::saveAndClear(const Reply &agreed)
{
    const FramedReply framed = frameReply(agreed.bytes);
    m_savedRecords = int(framed.dataFrames.size());
    if (!writeCsvOrStop(csvOfReply(agreed.bytes)))
        return;
    // Committed before anything is cleared, like the file.
    if (m_store && !storeReadout(agreed, framed))
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

    emit message(saved + QStringLiteral("; clearing the counter (%1 read-outs in a row were alike)")
                             .arg(m_replies.size() >= 3 ? QStringLiteral("the last two") : QStringLiteral("two")));
    m_clearSent = QDateTime::currentDateTimeUtc();
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
    if (!judged.lateRecords.isEmpty() || judged.lateRejected > 0) {
        if (!keepLateRecords(judged))
            status = CollectStatus::NotWritten;
        else
            status = CollectStatus::Incomplete;
    }
    switch (judged.answer) {
    case ClearJudgement::Answer::Ack:
        m_clearAnswer = ClearAnswer::Ack;
        emit message(QStringLiteral("the counter confirmed CLR ALL (\"%1\"): its records are cleared").arg(Verdict::AckOk));
        break;
    case ClearJudgement::Answer::Nak:
        m_clearAnswer = ClearAnswer::Nak;
        emit message(QStringLiteral("the counter refused CLR ALL (%1): its records are still there, and %2")
                         .arg(repliesText(frameReply(m_reply.bytes), m_reply.bytes.size()), savedText()));
        status = std::max(status, int(CollectStatus::Incomplete));
        break;
    case ClearJudgement::Answer::None:
        emit message(QStringLiteral("the counter did not confirm CLR ALL with ACK (\"%1\"): %2; its records may "
                                    "still be there, and %3")
                         .arg(Verdict::AckOk, clearAnswerText(judged), savedText()));
        status = std::max(status, int(CollectStatus::Incomplete));
        break;
    }
    finish(status);
}

// Records that came after CLR ALL went out and before the counter's answer: the
// counter paused within its reply longer than --quiet, twice alike. They go to a new
// file of their own beside the read-out's, never over it; only frames that pass the
// frame check become rows.
bool ReadoutSession::keepLateRecords(const ClearJudgement &judged)
{
    const int late = int(judged.lateRecords.size());
    emit message(QStringLiteral("%1 arrived after CLR ALL was sent: the counter paused longer than --quiet "
                                "(%2 ms) within its reply, so the read-out had ended early; raise --quiet "
                                "above the counter's pauses")
                     .arg(plural(late + judged.lateRejected, "frame", "frames"))
                     .arg(m_options.quietMs));
    if (judged.lateRejected > 0)
        emit message(QStringLiteral("%1 of them failed the frame check and %2 dropped")
                         .arg(plural(judged.lateRejected, "frame", "frames"),
                              judged.lateRejected == 1 ? QStringLiteral("was") : QStringLiteral("were")));
    if (late == 0)
        return true;
    m_lateFrames = judged.lateRecords;
    // Without a CSV they go to the store only, when the run ends.
    if (m_options.noCsv)
        return true;
    const QString first = m_options.outputDir.isEmpty() ? m_options.output : m_written;
    QString path;
    const FileWriteFailure failed = writeNewFileDurably(lateNames(first), csvOfReply(judged.lateRecords.join()), &path);
    if (!failed.ok()) {
        emit message(QStringLiteral("cannot write the late records beside %1: %2; %3 of the counter's records are "
                                    "lost if it cleared them")
                         .arg(outputLabel(), fileFailureText(failed), QString::number(late)));
        return false;
    }
    emit message(QStringLiteral("%1 written to %2; %3 holds the %4 read before")
                     .arg(plural(late, "late record", "late records"), QDir::toNativeSeparators(path), outputLabel(),
                          plural(m_savedRecords, "record", "records")));
    return true;
}

bool ReadoutSession::writeCsvOrStop(const QByteArray &bytes)
{
    QString reason;
    if (writeCsv(bytes, &reason))
        return true;
    emit message(QStringLiteral("cannot write %1: %2; %3")
                     .arg(outputLabel(), reason,
                          m_options.clear ? QStringLiteral("the counter was not cleared")
                                          : QStringLiteral("the records stay on the counter")));
    finish(CollectStatus::NotWritten);
    return false;
}

bool ReadoutSession::writeCsv(const QByteArray &bytes, QString *reason)
{
    if (m_options.noCsv)
        return true;
    if (!m_options.outputDir.isEmpty())
        return writeNewFile(m_options.outputDir, m_started, bytes, &m_written, reason);
    if (toStandardOutput(m_options.output))
        return writeStandardOutput(bytes, reason);
    // A name that was free when the run began is taken only if it is still free:
    // another run that got there first keeps its file.
    const ReplaceFile replace = m_options.overwrite ? ReplaceFile::Always
                                : m_targetExisted   ? ReplaceFile::OnlyEmpty
                                                    : ReplaceFile::Never;
    const FileWriteFailure failed = writeFileDurably(m_options.output, bytes, replace);
    if (!failed.ok()) {
        *reason = failed.kind == FileWriteFailure::Kind::NameTaken
                      ? QStringLiteral("the file was made by someone else while the counter was read (--overwrite "
                                       "replaces it)")
                      : fileFailureText(failed);
        return false;
    }
    m_written = m_options.output;
    return true;
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
    if (!judged.lateRecords.isEmpty() || judged.lateRejected > 0) {
        keepLateRecords(judged);
    }
    emit message(QStringLiteral("stopped by %1 after CLR ALL was sent: the records are saved in %2; the "
                                "counter's answer had not come, so its records may still be there")
                     .arg(name, outputLabel()));
    finish(CollectStatus::stoppedBy(signal));
}

void ReadoutSession::finish(int status)
{
    m_firstReply.stop();
    m_quiet.stop();
    m_deadline.stop();
    m_phase = Phase::Done;
    if (m_port.portOpen())
        ClosePort(m_port);
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

// The saved read-out and its new records, in one transaction, before any clear.
bool ReadoutSession::storeReadout(const Reply &agreed, const FramedReply &framed)
{
    m_verdict = RunVerdict::Saved;
    m_savedReply = agreed.bytes;
    m_savedFrames = framed.dataFrames;
    QString reason;
    if (m_store->add(storedReadout(CollectStatus::Done), &reason))
        return true;
    m_storeDone = true;
    emit message(QStringLiteral("cannot store the read-out in %1: %2; %3")
                     .arg(m_store->address().text, reason,
                          m_options.clear ? QStringLiteral("the counter was not cleared")
                                          : QStringLiteral("the records stay on the counter")));
    // A stop while the store was asked ends the run as a stop.
    finish(StopRequest::signal() != 0 ? CollectStatus::stoppedBy(StopRequest::signal()) : CollectStatus::NotWritten);
    return false;
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
        emit message(QStringLiteral("cannot note the answer to CLR ALL%1 in the store %2: %3; the read-out is "
                                    "stored, and the next one will show the clear")
                         .arg(m_lateFrames.isEmpty() ? QString() : QStringLiteral(" and the late records"),
                              m_store->address().text, reason));
    else
        emit message(QStringLiteral("cannot store this run in %1: %2").arg(m_store->address().text, reason));
    return status >= 128 ? status : CollectStatus::NotWritten;
}
