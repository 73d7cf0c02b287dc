#include "table/number_text.h"

namespace {
bool isSkipped(char c) { return c == ' ' || c == '\t' || c == '\n'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
}

QString PlainNumberText(QByteArrayView field)
{
    bool negative = false;
    bool signSeen = false;
    bool pointSeen = false;
    QByteArray whole;
    QByteArray fraction;

    for (char c : field) {
        if (isSkipped(c))
            continue;
        if ((c == '+' || c == '-') && !signSeen && !pointSeen && whole.isEmpty()) {
            signSeen = true;
            negative = (c == '-');
        } else if (c == '.' && !pointSeen) {
            pointSeen = true;
        } else if (isDigit(c)) {
            (pointSeen ? fraction : whole).append(c);
        } else {
            break;
        }
    }

    qsizetype firstNonZero = 0;
    while (firstNonZero < whole.size() && whole[firstNonZero] == '0')
        ++firstNonZero;
    whole.remove(0, firstNonZero);
    while (!fraction.isEmpty() && fraction.back() == '0')
        fraction.chop(1);

    if (whole.isEmpty() && fraction.isEmpty())
        return QStringLiteral("0");   // never "-0"

    QByteArray text;
    text.reserve(whole.size() + fraction.size() + 3);
    if (negative)
        text.append('-');
    text.append(whole.isEmpty() ? QByteArray("0") : whole);
    if (!fraction.isEmpty()) {
        text.append('.');
        text.append(fraction);
    }
    return QString::fromLatin1(text);
}
