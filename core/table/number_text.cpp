#include "table/number_text.h"

#include <QVarLengthArray>

namespace {
bool isSkipped(char c) { return c == ' ' || c == '\t' || c == '\n'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
}

QString plainNumberText(QByteArrayView field)
{
    // Runs for every field of every record received: the digits are gathered on the
    // stack, and the only allocation is the resulting text.
    bool negative = false;
    bool signSeen = false;
    bool pointSeen = false;
    bool wholeDigitSeen = false;
    QVarLengthArray<char, 32> whole;    // without its leading zeros
    QVarLengthArray<char, 32> fraction;

    for (char c : field) {
        if (isSkipped(c))
            continue;
        if ((c == '+' || c == '-') && !signSeen && !pointSeen && !wholeDigitSeen) {
            signSeen = true;
            negative = (c == '-');
        } else if (c == '.' && !pointSeen) {
            pointSeen = true;
        } else if (isDigit(c)) {
            if (pointSeen) {
                fraction.append(c);
            } else {
                wholeDigitSeen = true;
                if (c != '0' || !whole.isEmpty())
                    whole.append(c);
            }
        } else {
            break;
        }
    }

    while (!fraction.isEmpty() && fraction.back() == '0')
        fraction.removeLast();

    if (whole.isEmpty() && fraction.isEmpty())
        return QStringLiteral("0");   // never "-0"

    QVarLengthArray<char, 72> text;
    if (negative)
        text.append('-');
    if (whole.isEmpty())
        text.append('0');
    else
        text.append(whole.constData(), whole.size());
    if (!fraction.isEmpty()) {
        text.append('.');
        text.append(fraction.constData(), fraction.size());
    }
    return QString::fromLatin1(text.constData(), text.size());
}
