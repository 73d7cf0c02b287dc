// plainNumberText on arbitrary bytes, against a reference written the plain way:
// drop the skipped characters first, then take the longest prefix of the form
// [+-]?[0-9]*(\.[0-9]*)? and normalise it with std::string.
#include "fuzz_checks.h"
#include "table/number_text.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

std::string referenceNumberText(std::string_view in)
{
    std::string s;
    for (char c : in)
        if (c != ' ' && c != '\t' && c != '\n')
            s += c;

    static const char digits[] = "0123456789";
    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    std::size_t wholeEnd = std::min(s.find_first_not_of(digits, i), s.size());
    std::string whole = s.substr(i, wholeEnd - i);
    std::string fraction;
    if (wholeEnd < s.size() && s[wholeEnd] == '.') {
        std::size_t fracEnd = std::min(s.find_first_not_of(digits, wholeEnd + 1), s.size());
        fraction = s.substr(wholeEnd + 1, fracEnd - wholeEnd - 1);
    }
    whole.erase(0, whole.find_first_not_of('0'));          // all zeros: erased
    fraction.erase(fraction.find_last_not_of('0') + 1);    // all zeros: npos + 1 == 0

    if (whole.empty() && fraction.empty())
        return "0";
    std::string out = negative ? "-" : "";
    out += whole.empty() ? "0" : whole;
    if (!fraction.empty())
        out += "." + fraction;
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView in(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString out = plainNumberText(in);

    QZ_CHECK(isPlainDecimal(out));
    const QByteArray outBytes = out.toLatin1();
    QZ_CHECK(QString::fromLatin1(outBytes) == out);   // one byte per character
    QZ_CHECK(plainNumberText(outBytes) == out);       // reading it back gives itself
    const std::string expected =
        referenceNumberText(std::string_view(reinterpret_cast<const char *>(data), size));
    QZ_CHECK(outBytes.toStdString() == expected);
    // A text already in plain form is its own reading.
    if (isPlainDecimal(QString::fromLatin1(in)))
        QZ_CHECK(out == QString::fromLatin1(in));
    return 0;
}
