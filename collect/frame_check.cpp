#include "frame_check.h"

namespace {

constexpr qsizetype MinFrameLength = 42; // STX at 1, TOTAL ending at 41, CR at 42

struct Field
{
    int first;      // position, counted from 1
    int length;
    const char *name;
};

constexpr Field Fields[] = {
    {3, 2, "the record number"}, {6, 5, "CNTR1"},  {12, 5, "CNTR2"}, {18, 5, "CNTR3"},
    {24, 5, "CNTR4"},            {30, 5, "CNTR5"}, {36, 6, "TOTAL"},
};

bool allDigits(const QByteArray &text)
{
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return !text.isEmpty();
}

QString visible(const QByteArray &text)
{
    QString out;
    for (char c : text)
        out += (c >= 0x20 && c < 0x7f) ? QChar::fromLatin1(c) : QLatin1Char('?');
    return out;
}

} // namespace

QString dataFrameFault(const QByteArray &frame)
{
    if (frame.size() < MinFrameLength)
        return QStringLiteral("it is %1 characters long with its CR, not at least %2: a character was lost")
            .arg(frame.size())
            .arg(MinFrameLength);
    for (const Field &f : Fields) {
        const QByteArray text = frame.mid(f.first - 1, f.length);
        if (!allDigits(text))
            return QStringLiteral("%1 (positions %2-%3) reads \"%4\", not %5 digits")
                .arg(QLatin1String(f.name))
                .arg(f.first)
                .arg(f.first + f.length - 1)
                .arg(visible(text))
                .arg(f.length);
    }
    return {};
}

QString readableRecordNumber(const QByteArray &frame)
{
    const QByteArray number = frame.mid(2, 2);
    return number.size() == 2 && allDigits(number) ? QString::fromLatin1(number) : QString();
}
