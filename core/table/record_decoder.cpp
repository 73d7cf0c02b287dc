#include "table/record_decoder.h"
#include "table/number_text.h"

CounterTable::RowTexts decodeRecordTexts(QByteArrayView frame)
{
    CounterTable::RowTexts texts;
    for (int c = 0; c < CounterTable::Columns; ++c) {
        const qsizetype start = RecordFields[c].position - 1;
        QByteArrayView field;
        if (start < frame.size())
            field = frame.sliced(start, std::min<qsizetype>(RecordFields[c].length, frame.size() - start));
        texts[c] = plainNumberText(field);
    }
    return texts;
}

void DecodeCounterRecord(QByteArrayView frame, int row, CounterTable &table)
{
    if (row < CounterTable::FirstRecordRow || row > CounterTable::LastRecordRow)
        return;
    table.setRow(row, decodeRecordTexts(frame));
}
