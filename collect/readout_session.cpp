#include "readout_session.h"

#include "frame_check.h"
#include "output_dir.h"
#include "port_messages.h"
#include "csv/csv_writer.h"
#include "csv/durable_file.h"
#include "line/line_comm_control.h"
#include "line/port_control.h"
#include "line/serial_comm_control.h"

#include <QDir>
#include <QFile>

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

QString plural(qint64 n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

// The frame's record number field as it came, for a message.
QString numberField(const QByteArray &frame)
{
    QString text;
    for (char c : frame.mid(2, 2))
        text += (c >= 0x20 && c < 0x7f) ? QChar::fromLatin1(c) : QLatin1Char('?');
    return text;
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
    m_firstReply.setSingleShot(true);
    m_firstReply.setTimerType(Qt::PreciseTimer);
    m_quiet.setSingleShot(true);
    m_quiet.setTimerType(Qt::PreciseTimer);
    connect(&m_firstReply, &QTimer::timeout, this, &ReadoutSession::endOfReply);
    connect(&m_quiet, &QTimer::timeout, this, &ReadoutSession::endOfReply);
    connect(&m_port, &CommControl::OnComm, this, &ReadoutSession::onComm);
}

ReadoutSession::~ReadoutSession()
{
    if (m_port.portOpen())
        ClosePort(m_port);
}

bool ReadoutSession::waitingForFirstReply() const
{
    return m_firstReply.isActive();
}

QString ReadoutSession::portLabel() const
{
    if (!m_options.device.isEmpty())
        return serialDevicePath(m_options.device);
    return QStringLiteral("COM%1 (%2)").arg(m_options.portNumber).arg(portDeviceName(m_options.portNumber));
}

QString ReadoutSession::outputLabel() const
{
    if (!m_options.outputDir.isEmpty())
        return QDir::toNativeSeparators(
            m_written.isEmpty() ? QDir(m_options.outputDir).filePath(outputFileName(m_started, 1)) : m_written);
    return toStandardOutput(m_options.output) ? QStringLiteral("standard output")
                                              : QDir::toNativeSeparators(m_options.output);
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
    const FileWriteFailure target =
        !m_options.outputDir.isEmpty() || toStandardOutput(m_options.output)
            ? FileWriteFailure()
            : checkFileTarget(m_options.output, m_options.overwrite ? ReplaceFile::Always : ReplaceFile::OnlyEmpty);
    if (!target.ok()) {
        emit message(QStringLiteral("cannot write %1: %2; nothing was read from the counter%3")
                         .arg(outputLabel(), fileFailureText(target),
                              m_options.clear ? QStringLiteral(", and the counter was not cleared") : QString()));
        finish(CollectStatus::NotWritten);
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

void ReadoutSession::appendLog(char c)
{
    m_lastChar = c;
}

void ReadoutSession::setStatus(const QString &text)
{
    m_status5 = text;
    // Every verdict closes a frame; one whose last character is not its CR was
    // abandoned for its length.
    if (m_lastChar != Ctl::CR)
        m_reply.abandoned = true;
    m_reply.verdicts << text;
}

void ReadoutSession::onComm()
{
    const std::int16_t event = m_port.CommEvent();
    if (event == CommControl::EventReceive) {
        const QByteArray in = m_port.Input();
        if (m_phase != Phase::Reading && m_phase != Phase::Clearing)
            return;
        for (char c : in) {
            if (m_state.PendingLength == 0 && c != Ctl::STX && c != Ctl::ACK && c != Ctl::NAK)
                ++m_reply.strayBytes;
            receiveCharacter(m_state, m_table, *this, c);
        }
        m_reply.bytes += in.size();
        m_firstReply.stop();
        if (m_reply.bytes > MaxReplyBytes) {
            m_reply.endless = true;
            endOfReply();
            return;
        }
        // A byte reaches us up to the port's read hold after it came, so a silence
        // between two deliveries can look that much longer than it was on the line.
        m_quiet.start(m_options.quietMs + m_port.readHoldMs());
        return;
    }
    if (event >= CommControl::EventErrorBase && !m_port.portOpen()
        && (m_phase == Phase::Reading || m_phase == Phase::Clearing)) {
        m_reply.portLost = true;
        endOfReply();
    }
}

void ReadoutSession::endOfReply()
{
    m_firstReply.stop();
    m_quiet.stop();
    const Phase phase = m_phase;
    // Whatever still arrives belongs to no request of ours.
    m_phase = Phase::Idle;
    if (phase == Phase::Reading)
        judgeReadout();
    else if (phase == Phase::Clearing)
        judgeClear();
}

QString ReadoutSession::repliesText() const
{
    QStringList parts;
    const auto count = [this](const QString &verdict) { return m_reply.verdicts.count(verdict); };
    if (const qint64 n = count(Verdict::DataOk))
        parts << QStringLiteral("%1 (\"%2\")").arg(plural(n, "data frame", "data frames"), Verdict::DataOk);
    if (const qint64 n = count(Verdict::AckOk))
        parts << QStringLiteral("%1 (\"%2\")").arg(plural(n, "ACK", "ACKs"), Verdict::AckOk);
    if (const qint64 n = count(Verdict::Error))
        parts << QStringLiteral("%1 (\"%2\", the counter refused the command)")
                     .arg(plural(n, "NAK reply", "NAK replies"), Verdict::Error);
    if (const qint64 n = count(Verdict::CommandError))
        parts << QStringLiteral("%1 (\"%2\")")
                     .arg(plural(n, "reply led by NAK or abandoned", "replies led by NAK or abandoned"),
                          Verdict::CommandError);
    if (const qint64 n = count(Verdict::TableFull))
        parts << QStringLiteral("%1 past the table's 100 rows (\"%2\")")
                     .arg(plural(n, "data frame", "data frames"), Verdict::TableFull);
    if (m_state.PendingLength != 0)
        parts << QStringLiteral("a frame cut off after %1").arg(plural(m_state.PendingLength, "character", "characters"));
    if (parts.isEmpty())
        parts << plural(m_reply.bytes, "character outside any frame", "characters outside any frame");
    return parts.join(QStringLiteral(", "));
}

// Every reason to doubt the read-out, one line each; none means it is complete.
QStringList ReadoutSession::readoutDoubts() const
{
    QStringList doubts;
    if (m_reply.portLost)
        doubts << QStringLiteral("the port closed during the read-out: %1").arg(portLostText(m_port.lastFailure()));
    if (m_reply.endless)
        doubts << QStringLiteral("the line did not go quiet: more than %1 characters arrived").arg(MaxReplyBytes);

    const qsizetype notData = m_reply.verdicts.size() - m_reply.verdicts.count(Verdict::DataOk);
    if (notData > 0)
        doubts << QStringLiteral("not every reply was a data frame (\"%1\"): the counter sent %2")
                      .arg(Verdict::DataOk, repliesText());
    if (m_reply.abandoned)
        doubts << QStringLiteral("a reply ran to %1 characters without its CR and was abandoned")
                      .arg(Module1::MaxPendingLength);
    if (m_state.PendingLength != 0)
        doubts << QStringLiteral("the last reply was cut off: a frame of %1 was still open when the line went quiet")
                      .arg(plural(m_state.PendingLength, "character", "characters"));
    if (m_reply.verdicts.isEmpty() && m_reply.bytes > 0 && m_state.PendingLength == 0)
        doubts << QStringLiteral("the counter sent %1 but no reply frame")
                      .arg(plural(m_reply.bytes, "character", "characters"));

    QList<QByteArray> frames;
    for (int k = 0; k < m_state.FrameCount; ++k)
        frames << m_state.FrameStore[k];
    doubts << frameDoubts(frames);
    return doubts;
}

// The data frames themselves: each well formed, and with "RDD ALL" numbered 01, 02,
// ... (only two digits fit, so record 100 is "00").
QStringList ReadoutSession::frameDoubts(const QList<QByteArray> &frames) const
{
    QStringList doubts;
    qsizetype malformed = 0;
    for (qsizetype k = 0; k < frames.size(); ++k) {
        const QString fault = dataFrameFault(frames[k]);
        if (fault.isEmpty() || ++malformed > 1)
            continue;
        const QString number = readableRecordNumber(frames[k]);
        doubts << QStringLiteral("data frame %1 of %2%3 is malformed: %4")
                      .arg(k + 1)
                      .arg(frames.size())
                      .arg(number.isEmpty() ? QString() : QStringLiteral(" (record %1)").arg(number), fault);
    }
    if (malformed > 1)
        doubts.last() += QStringLiteral(" (%1 malformed in all)").arg(plural(malformed, "frame", "frames"));

    if (!m_options.now) {
        for (qsizetype k = 0; k < frames.size(); ++k) {
            const QByteArray expected = QByteArray::number((k + 1) % 100).rightJustified(2, '0');
            if (frames[k].mid(2, 2) != expected) {
                doubts << QStringLiteral("the record numbers do not run 01, 02, ...: record %1 came numbered \"%2\"")
                              .arg(k + 1)
                              .arg(numberField(frames[k]));
                break;
            }
        }
    }
    return doubts;
}

void ReadoutSession::judgeReadout()
{
    const QStringList doubts = readoutDoubts();
    if (!doubts.isEmpty()) {
        for (const QString &d : doubts)
            emit message(QStringLiteral("read-out from %1 incomplete: %2").arg(portLabel(), d));
        emit message(QStringLiteral("nothing was written to %1%2")
                         .arg(outputLabel(), m_options.clear ? QStringLiteral("; the counter was not cleared")
                                                             : QString()));
        finish(CollectStatus::Incomplete);
        return;
    }

    const bool silent = m_reply.bytes == 0;
    QString reason;
    if (!writeCsv(&reason)) {
        emit message(QStringLiteral("cannot write %1: %2; %3")
                         .arg(outputLabel(), reason,
                              m_options.clear ? QStringLiteral("the counter was not cleared")
                                              : QStringLiteral("the records stay on the counter")));
        finish(CollectStatus::NotWritten);
        return;
    }

    if (silent) {
        const QString secs = QString::number(m_options.timeoutMs / 1000.0);
        if (m_options.now)
            emit message(QStringLiteral("no reply on %1 within %2 s: no counter is answering on this port "
                                        "(cable, power, port); an empty CSV was written to %3")
                             .arg(portLabel(), secs, outputLabel()));
        else
            emit message(QStringLiteral("no reply on %1 within %2 s: either the counter holds no records, or no "
                                        "counter is answering on this port (cable, power, port); an empty CSV "
                                        "was written to %3")
                             .arg(portLabel(), secs, outputLabel()));
        finish(CollectStatus::NoReply);
        return;
    }

    const QString saved = QStringLiteral("%1 from %2 written to %3")
                              .arg(plural(m_state.FrameCount, "record", "records"), portLabel(), outputLabel());
    if (m_reply.strayBytes > 0)
        emit message(QStringLiteral("%1 between frames ignored")
                         .arg(plural(m_reply.strayBytes, "stray character", "stray characters")));
    if (!m_options.clear) {
        emit message(saved);
        finish(CollectStatus::Done);
        return;
    }

    emit message(saved + QStringLiteral("; clearing the counter"));
    m_saved.clear();
    for (int k = 0; k < m_state.FrameCount; ++k)
        m_saved << m_state.FrameStore[k];
    if (!send("CLR", "ALL", Phase::Clearing)) {
        emit message(QStringLiteral("cannot send CLR ALL on %1: %2; the counter was not cleared")
                         .arg(portLabel(), portLostText(m_port.lastFailure())));
        finish(CollectStatus::Incomplete);
    }
}

void ReadoutSession::judgeClear()
{
    // The answer to CLR ALL is the reply's last frame, one ACK; data frames before it
    // are records the counter was still sending when the command went out.
    const qsizetype late = m_reply.verdicts.count(Verdict::DataOk);
    const bool acked = !m_reply.verdicts.isEmpty() && m_reply.verdicts.last() == Verdict::AckOk
                       && m_reply.verdicts.size() == late + 1 && m_state.PendingLength == 0
                       && !m_reply.portLost && !m_reply.endless;
    if (late > 0) {
        keepLateRecords(acked);
        return;
    }
    if (acked) {
        emit message(QStringLiteral("the counter confirmed CLR ALL (\"%1\"): its records are cleared").arg(Verdict::AckOk));
        finish(CollectStatus::Done);
        return;
    }
    emit message(QStringLiteral("the counter did not confirm CLR ALL with ACK (\"%1\"): %2; its records may "
                                "still be there, and the CSV is saved")
                     .arg(Verdict::AckOk, clearReplyText()));
    finish(CollectStatus::Incomplete);
}

QString ReadoutSession::clearReplyText() const
{
    if (m_reply.portLost)
        return QStringLiteral("the port closed before it answered: %1").arg(portLostText(m_port.lastFailure()));
    if (m_reply.bytes == 0)
        return QStringLiteral("no answer within %1 s").arg(m_options.timeoutMs / 1000.0);
    return QStringLiteral("it sent %1").arg(repliesText());
}

// Records that came after CLR ALL went out were decoded like the others: they are
// kept, with the saved ones, in the file written again whole; the operator is told
// to raise the quiet time, and whether the counter confirmed the clear.
void ReadoutSession::keepLateRecords(bool acked)
{
    QList<QByteArray> frames = m_saved;
    for (int k = 0; k < m_state.FrameCount; ++k)
        frames << m_state.FrameStore[k];
    emit message(QStringLiteral("%1 arrived after CLR ALL was sent: the counter paused longer than --quiet "
                                "(%2 ms) within its reply, so the read-out had ended early; raise --quiet "
                                "above the counter's pauses")
                     .arg(plural(m_state.FrameCount, "record", "records"))
                     .arg(m_options.quietMs));

    // Decoded from the first frame again, as the window would decode them.
    struct : ReceiveSink
    {
        void appendLog(char) override {}
        void setStatus(const QString &) override {}
    } sink;
    Module1 state;
    CounterTable table;
    table.SetupCounterTable();
    for (const QByteArray &frame : std::as_const(frames)) {
        for (char c : frame)
            receiveCharacter(state, table, sink, c);
    }
    int status = CollectStatus::Incomplete;
    // With --output-dir the file written is the one this run made under its new name.
    const FileWriteFailure written = writeFileDurably(m_options.outputDir.isEmpty() ? m_options.output : m_written,
                                                      csvBytes(table, state.FrameCount), ReplaceFile::Always);
    if (written.ok()) {
        emit message(QStringLiteral("%1 from %2 written again to %3, the late ones included")
                         .arg(plural(state.FrameCount, "record", "records"), portLabel(), outputLabel()));
    } else {
        emit message(QStringLiteral("cannot write %1 again with them: %2; it holds the first %3 only")
                         .arg(outputLabel(), fileFailureText(written), plural(m_saved.size(), "record", "records")));
        status = CollectStatus::NotWritten;
    }
    for (const QString &d : frameDoubts(frames))
        emit message(QStringLiteral("the records in %1 are in doubt: %2").arg(outputLabel(), d));

    if (acked)
        emit message(QStringLiteral("the counter answered CLR ALL with ACK (\"%1\") after them: its records are "
                                    "cleared")
                         .arg(Verdict::AckOk));
    else
        emit message(QStringLiteral("the counter did not confirm CLR ALL with ACK (\"%1\"): %2; its records may "
                                    "still be there")
                         .arg(Verdict::AckOk, clearReplyText()));
    finish(status);
}

bool ReadoutSession::writeCsv(QString *reason)
{
    if (!m_options.outputDir.isEmpty())
        return writeNewFile(m_options.outputDir, m_started, csvBytes(m_table, m_state.FrameCount), &m_written,
                            reason);
    if (toStandardOutput(m_options.output))
        return writeStandardOutput(csvBytes(m_table, m_state.FrameCount), reason);
    const CsvResult result = writeCsvFile(m_options.output, m_table, m_state.FrameCount,
                                          m_options.overwrite ? ReplaceFile::Always : ReplaceFile::OnlyEmpty);
    if (!result.ok) {
        *reason = fileFailureText(result.failure);
        return false;
    }
    return true;
}

void ReadoutSession::finish(int status)
{
    m_firstReply.stop();
    m_quiet.stop();
    m_phase = Phase::Done;
    if (m_port.portOpen())
        ClosePort(m_port);
    m_status = status;
    emit finished(status);
}
