#include "table/record_decoder.h"
#include "table/number_text.h"

CounterTable::RowTexts decodeRecordTexts(QByteArrayView frame)
{
    CounterTable::RowTexts texts;
    for (int c = 0; c < CounterTable::Columns; ++c)
        texts[c] = plainNumberText(recordField(frame, c));
    return texts;
}

void DecodeCounterRecord(QByteArrayView frame, int row, CounterTable &table)
{
    if (row < CounterTable::FirstRecordRow || row > CounterTable::LastRecordRow)
        return;
    table.setRow(row, decodeRecordTexts(frame));
}
