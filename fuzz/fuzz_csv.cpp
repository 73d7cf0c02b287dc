// csvBytes on random table contents and counts. The output is parsed back line by
// line and field by field and compared with the cells; rows past the count (and row
// 0) carry content of their own, so exporting one of them shows up.
#include "csv/csv_writer.h"
#include "fuzz_checks.h"
#include "table/counter_table.h"
#include "table/number_text.h"

#include <QByteArray>
#include <QString>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace {

// Parses one line "f0","f1",...,"f6" CR LF starting at pos; false when malformed.
bool parseLine(const QByteArray &csv, qsizetype &pos, QByteArray (&fields)[CounterTable::Columns])
{
    for (int col = 0; col < CounterTable::Columns; ++col) {
        if (col > 0) {
            if (pos >= csv.size() || csv[pos] != ',')
                return false;
            ++pos;
        }
        if (pos >= csv.size() || csv[pos] != '"')
            return false;
        const qsizetype close = csv.indexOf('"', pos + 1);
        if (close < 0)
            return false;
        fields[col] = csv.mid(pos + 1, close - pos - 1);
        pos = close + 1;
    }
    if (csv.mid(pos, 2) != "\r\n")
        return false;
    pos += 2;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    CounterTable table;
    table.SetupCounterTable();

    const int frameCount = in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(-3, 103)
                                            : in.ConsumeIntegral<int>();
    // Realistic cells: empty or a number text as decoding makes them. Otherwise any
    // text at all, which can break the line structure (nothing is escaped), so then
    // only the byte count is checked: one byte per character.
    const bool anyText = in.ConsumeIntegralInRange<int>(0, 7) == 0;
    for (int row = 1; row < CounterTable::Rows; ++row) {
        for (int col = 0; col < CounterTable::Columns; ++col) {
            if (in.remaining_bytes() == 0 || in.ConsumeBool())
                continue;
            const std::string raw = in.ConsumeRandomLengthString(24);
            table.setText(row, col, anyText ? QString::fromUtf8(raw.data(), qsizetype(raw.size()))
                                            : plainNumberText(QByteArrayView(raw.data(), qsizetype(raw.size()))));
        }
    }

    const QByteArray csv = csvBytes(table, frameCount);
    const int lines = std::clamp(frameCount, 0, 100);

    if (anyText) {
        qsizetype expected = 0;
        for (int row = 1; row <= lines; ++row) {
            for (int col = 0; col < CounterTable::Columns; ++col)
                expected += table.text(row, col).size() + 2;
            expected += 6 + 2;
        }
        QZ_CHECK(csv.size() == expected);
        QZ_CHECK(lines == 0 || csv.endsWith("\r\n"));
        return 0;
    }

    QZ_CHECK(csv.count("\r\n") == lines);
    QZ_CHECK(csv.count('\r') == lines && csv.count('\n') == lines);
    qsizetype pos = 0;
    for (int row = 1; row <= lines; ++row) {
        QByteArray fields[CounterTable::Columns];
        QZ_CHECK(parseLine(csv, pos, fields));
        for (int col = 0; col < CounterTable::Columns; ++col) {
            QZ_CHECK(fields[col] == table.text(row, col).toLatin1());
            QZ_CHECK(fields[col].isEmpty() || isPlainDecimal(QString::fromLatin1(fields[col])));
        }
    }
    QZ_CHECK(pos == csv.size());
    return 0;
}
