#include "readout_text.h"

#include "line/module1.h"
#include "line/reply_framing.h"

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
