#include "readout_text.h"

#include "line/module1.h"
#include "line/reply_framing.h"

#include <QFileInfo>

#include <csignal>

namespace {

QString visible(const QByteArray &text)
{
    QString out;
    for (char c : text)
        out += (c >= 0x20 && c < 0x7f) ? QChar::fromLatin1(c) : QLatin1Char('?');
    return out;
}

QString controlName(char c)
{
    switch (c) {
    case Ctl::STX: return QStringLiteral("STX");
    case Ctl::ETX: return QStringLiteral("ETX");
    case Ctl::ACK: return QStringLiteral("ACK");
    case Ctl::NAK: return QStringLiteral("NAK");
    case 0: return QStringLiteral("NUL");
    default: return QStringLiteral("0x%1").arg(int(static_cast<unsigned char>(c)), 2, 16, QLatin1Char('0'));
    }
}

QString recordSuffix(const QByteArray &number)
{
    const bool readable = number.size() == 2 && number[0] >= '0' && number[0] <= '9' && number[1] >= '0'
                          && number[1] <= '9';
    return readable ? QStringLiteral(" (record %1)").arg(QString::fromLatin1(number)) : QString();
}

} // namespace

QString plural(qint64 n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

QString frameFaultText(const FrameFault &fault)
{
    switch (fault.kind) {
    case FrameFault::Kind::None:
        return {};
    case FrameFault::Kind::Short:
        return QStringLiteral("it is %1 characters long with its CR, not at least %2: a character was lost")
            .arg(fault.length)
            .arg(MinFrameLength);
    case FrameFault::Kind::Field: {
        const RecordField &f = RecordFields.at(fault.field);
        return QStringLiteral("%1 (positions %2-%3) reads \"%4\", not %5 digits")
            .arg(QLatin1String(f.name))
            .arg(f.position)
            .arg(f.position + f.length - 1)
            .arg(visible(fault.text))
            .arg(f.length);
    }
    case FrameFault::Kind::Control:
        return QStringLiteral("it holds a %1 at position %2, which no counter sends inside a record (two frames "
                              "run together, or a garbled character)")
            .arg(controlName(fault.control))
            .arg(fault.position);
    }
    return {};
}

QString repliesText(const FramedReply &framed, qint64 bytes)
{
    QStringList parts;
    const auto count = [&](const QString &verdict) { return framed.verdicts.count(verdict); };
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
    if (framed.openLength != 0)
        parts << QStringLiteral("a frame cut off after %1").arg(plural(framed.openLength, "character", "characters"));
    if (parts.isEmpty())
        parts << plural(bytes, "character outside any frame", "characters outside any frame");
    return parts.join(QStringLiteral(", "));
}

QString doubtText(const Doubt &d, const FramedReply &framed, qint64 bytes, const QString &portLost)
{
    switch (d.kind) {
    case Doubt::Kind::PortLost:
        return QStringLiteral("the port closed during the read-out: %1").arg(portLost);
    case Doubt::Kind::KeptTalking:
        return QStringLiteral("the line kept talking: the reply went on past its deadline or its size limit, "
                              "longer than any counter's read-out");
    case Doubt::Kind::NotData:
        return QStringLiteral("not every reply was a data frame (\"%1\"): the counter sent %2")
            .arg(Verdict::DataOk, repliesText(framed, bytes));
    case Doubt::Kind::Abandoned:
        return QStringLiteral("a reply ran to %1 characters without its CR and was abandoned")
            .arg(Module1::MaxPendingLength);
    case Doubt::Kind::CutOff:
        return QStringLiteral("the last reply was cut off: a frame of %1 was still open when the line went quiet")
            .arg(plural(d.count, "character", "characters"));
    case Doubt::Kind::NoFrame:
        return QStringLiteral("the counter sent %1 but no reply frame").arg(plural(d.count, "character", "characters"));
    case Doubt::Kind::Malformed: {
        QString text = QStringLiteral("data frame %1 of %2%3 is malformed: %4")
                           .arg(d.frame)
                           .arg(d.frames)
                           .arg(recordSuffix(d.number), frameFaultText(d.fault));
        if (d.count > 1)
            text += QStringLiteral(" (%1 malformed in all)").arg(plural(d.count, "frame", "frames"));
        return text;
    }
    case Doubt::Kind::Numbering:
        return QStringLiteral("the record numbers do not run 01, 02, ...: record %1 came numbered \"%2\"")
            .arg(d.frame)
            .arg(visible(d.number));
    case Doubt::Kind::Silent:
        return QStringLiteral("the counter sent nothing at all when asked again");
    case Doubt::Kind::Lacking:
        return QStringLiteral("reply %1 held %2 and the replies that agree only %3, so record %4 and any after it "
                              "would be lost by a clear (a counter whose last records went missing the same way "
                              "twice)")
            .arg(d.frame)
            .arg(plural(d.frames, "data frame", "data frames"), plural(d.count, "record", "records"),
                 visible(d.number));
    case Doubt::Kind::Stray:
        return QStringLiteral("%1 arrived outside any frame, which no counter sends: a frame's lead may have been "
                              "lost or garbled")
            .arg(plural(d.count, "character", "characters"));
    }
    return {};
}

QString differencesText(const QList<Difference> &differences)
{
    QStringList parts;
    for (qsizetype k = 0; k < differences.size(); ++k) {
        const Difference &d = differences[k];
        QString where = QStringLiteral("data frame %1%2").arg(d.frame).arg(recordSuffix(d.number));
        if (d.missing)
            where += QStringLiteral(", where one of them ended");
        parts << (k == 0 ? QStringLiteral("replies %1 and %2 first differ at %3")
                         : QStringLiteral("replies %1 and %2 at %3"))
                     .arg(k + 1)
                     .arg(k + 2)
                     .arg(where);
    }
    return parts.join(QStringLiteral(", "));
}

QString signalName(int signal)
{
#ifdef Q_OS_WIN
    Q_UNUSED(signal);
    return QStringLiteral("Ctrl+C");
#else
    return QLatin1String(signal == SIGINT ? "SIGINT" : signal == SIGHUP ? "SIGHUP" : "SIGTERM");
#endif
}

QString nothingReadText(bool clearing)
{
    return clearing ? QStringLiteral("; nothing was read from the counter, and the counter was not cleared")
                    : QStringLiteral("; nothing was read from the counter");
}

QString lateRoomText(const QString &path, const QString &reason)
{
    return QStringLiteral("no place for records that may come after CLR ALL (%1): %2").arg(path, reason);
}

QString madeMeanwhileText()
{
    return QStringLiteral("the file was made by someone else while the counter was read (--overwrite replaces it)");
}

QString leftoverText(const QString &path, qint64 bytes)
{
    return QStringLiteral("%1 (%2) was left by an earlier run that was stopped while writing it; it may hold "
                          "records that are nowhere else (late records): look at it, then delete it")
        .arg(path, plural(bytes, "byte", "bytes"));
}

QString lateFrameText(const QByteArray &frame)
{
    QByteArray body = frame;
    if (body.startsWith(Ctl::STX))
        body.remove(0, 1);
    if (body.endsWith(Ctl::CR))
        body.chop(1);
    return QStringLiteral("late record kept only here: <STX>%1<CR>").arg(visible(body));
}

QString lateKeptText(int late, const QStringList &places, int savedRecords, const QString &savedIn)
{
    return QStringLiteral("%1 %2; %3 holds the %4 read before")
        .arg(plural(late, "late record", "late records"), places.join(QStringLiteral(" and ")), savedIn,
             plural(savedRecords, "record", "records"));
}

QString lateNowhereText(int late, const QStringList &failures)
{
    return QStringLiteral("%1 could not be kept (%2): %3 only in the lines above, which the journal keeps; the "
                          "records read before CLR ALL are saved")
        .arg(plural(late, "late record", "late records"), failures.join(QStringLiteral("; ")),
             late == 1 ? QStringLiteral("it is") : QStringLiteral("they are"));
}

QString stoppedBeforeClearText(const QString &signal, const QString &saved)
{
    return QStringLiteral("stopped by %1 before CLR ALL was sent: the read-out is saved in %2; the counter was not "
                          "cleared").arg(signal, saved);
}

QString stoppedAtEndText(const QString &signal)
{
    return QStringLiteral("stopped by %1 as the run ended: what is said above was done, and nothing more was sent")
        .arg(signal);
}

QString refusalText(const QString &port, const Doubt &doubt, int alike, const QString &doubtWords)
{
    if (alike > 0)
        return QStringLiteral("read-out from %1 not confirmed: replies %2 and %3 were alike, but %4")
            .arg(port)
            .arg(alike)
            .arg(alike + 1)
            .arg(doubtWords);
    if (doubt.kind == Doubt::Kind::Lacking)
        return QStringLiteral("read-out from %1 not confirmed: %2").arg(port, doubtWords);
    return QStringLiteral("read-out from %1 incomplete: %2").arg(port, doubtWords);
}

QString clearConfirmedText()
{
    return QStringLiteral("the counter confirmed CLR ALL (\"%1\"): its records are cleared").arg(Verdict::AckOk);
}

QString clearRefusedText(const QString &replies, const QString &saved)
{
    return QStringLiteral("the counter refused CLR ALL (%1): its records are still there, and %2").arg(replies, saved);
}

QString clearNotConfirmedText(const QString &what, const QString &saved)
{
    return QStringLiteral("the counter did not confirm CLR ALL with ACK (\"%1\"): %2; its records may still be there, "
                          "and %3")
        .arg(Verdict::AckOk, what, saved);
}

QString lateArrivedText(int frames, int quietMs)
{
    return QStringLiteral("%1 arrived after CLR ALL was sent: the counter paused longer than --quiet (%2 ms) within "
                          "its reply, so the read-out had ended early; raise --quiet above the counter's pauses")
        .arg(plural(frames, "frame", "frames"))
        .arg(quietMs);
}

QString lateRejectedText(int frames)
{
    return QStringLiteral("%1 of them failed the frame check and %2 dropped")
        .arg(plural(frames, "frame", "frames"), frames == 1 ? QStringLiteral("was") : QStringLiteral("were"));
}
