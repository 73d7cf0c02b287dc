#include "readout_session.h"

#include "port_messages.h"
#include "csv/csv_writer.h"
#include "line/port_control.h"
#include "line/serial_comm_control.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
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

// Before anything is sent: a target that can never take the file. The writer checks
// again when it writes; this only spares the counter a read-out that cannot be saved.
bool outputLooksWritable(const QString &path, QString *reason)
{
    const QFileInfo target(path);
    if (target.isDir()) {
        *reason = QStringLiteral("it is a folder");
        return false;
    }
    if (target.exists() && !target.isFile()) {
        *reason = QStringLiteral("it is not a regular file");
        return false;
    }
    QSaveFile probe(path);
    if (!probe.open(QIODevice::WriteOnly)) {
        *reason = probe.errorString();
        return false;
    }
    probe.cancelWriting();
    return true;
}

#ifdef Q_OS_UNIX
// The new name of a committed file lives in its folder: sync that too, so the file
// is on disk before the counter is told to forget its records.
void syncFolderOf(const QString &path)
{
    const QString real = QFileInfo(path).canonicalFilePath();
    const QByteArray folder = QFile::encodeName(QFileInfo(real.isEmpty() ? path : real).absolutePath());
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}
#endif

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

ReadoutSession::ReadoutSession(SerialCommControl &port, const CollectOptions &options,
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
        return m_options.device;
    return QStringLiteral("COM%1 (%2)").arg(m_options.portNumber).arg(portDeviceName(m_options.portNumber));
}

QString ReadoutSession::outputLabel() const
{
    return toStandardOutput(m_options.output) ? QStringLiteral("standard output")
                                              : QDir::toNativeSeparators(m_options.output);
}

void ReadoutSession::start()
{
    m_clock.start();

    QString reason;
    if (!toStandardOutput(m_options.output) && !outputLooksWritable(m_options.output, &reason)) {
        emit message(QStringLiteral("cannot write %1: %2; nothing was read from the counter%3")
                         .arg(outputLabel(), reason,
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
        m_quiet.start(m_options.quietMs);
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

    // Records come numbered 01, 02, ...; only two digits fit, so record 100 is "00".
    if (!m_options.now) {
        for (int row = 1; row <= m_state.FrameCount; ++row) {
            if (m_table.text(row, 0) != QString::number(row % 100)) {
                doubts << QStringLiteral("the record numbers do not run 01, 02, ...: record %1 came numbered \"%2\"")
                              .arg(row)
                              .arg(numberField(m_state.FrameStore[row - 1]));
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
    if (!send("CLR", "ALL", Phase::Clearing)) {
        emit message(QStringLiteral("cannot send CLR ALL on %1: %2; the counter was not cleared")
                         .arg(portLabel(), portLostText(m_port.lastFailure())));
        finish(CollectStatus::Incomplete);
    }
}

void ReadoutSession::judgeClear()
{
    const bool acked = m_reply.verdicts == QStringList{Verdict::AckOk} && m_state.PendingLength == 0
                       && !m_reply.portLost && !m_reply.endless;
    if (acked) {
        emit message(QStringLiteral("the counter confirmed CLR ALL (\"%1\"): its records are cleared").arg(Verdict::AckOk));
        finish(CollectStatus::Done);
        return;
    }
    QString what;
    if (m_reply.portLost)
        what = QStringLiteral("the port closed before it answered: %1").arg(portLostText(m_port.lastFailure()));
    else if (m_reply.bytes == 0)
        what = QStringLiteral("no answer within %1 s").arg(m_options.timeoutMs / 1000.0);
    else if (m_reply.verdicts.contains(Verdict::DataOk))
        // More records after the line had been quiet: the counter pauses longer than
        // the quiet time, and the saved read-out ended early.
        what = QStringLiteral("it sent %1; it was still sending records, so the read-out ended early: "
                              "raise --quiet above the counter's pauses")
                   .arg(repliesText());
    else
        what = QStringLiteral("it sent %1").arg(repliesText());
    emit message(QStringLiteral("the counter did not confirm CLR ALL with ACK (\"%1\"): %2; its records may "
                                "still be there, and the CSV is saved")
                     .arg(Verdict::AckOk, what));
    finish(CollectStatus::Incomplete);
}

bool ReadoutSession::writeCsv(QString *reason)
{
    if (toStandardOutput(m_options.output))
        return writeStandardOutput(csvBytes(m_table, m_state.FrameCount), reason);
    const CsvResult result = writeCsvFile(m_options.output, m_table, m_state.FrameCount);
    if (!result.ok) {
        *reason = result.error;
        return false;
    }
#ifdef Q_OS_UNIX
    syncFolderOf(m_options.output);
#endif
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
