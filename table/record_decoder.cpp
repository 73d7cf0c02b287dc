#include "table/record_decoder.h"
#include "table/number_text.h"

std::array<QString, CounterTable::Columns> decodeRecordTexts(QByteArrayView frame)
{
    std::array<QString, CounterTable::Columns> texts;
    for (int c = 0; c < CounterTable::Columns; ++c) {
        const qsizetype start = RecordFields[c].position - 1;
        QByteArrayView field;
        if (start < frame.size())
            field = frame.sliced(start, std::min<qsizetype>(RecordFields[c].length, frame.size() - start));
        texts[c] = plainNumberText(field);
    }
    return texts;
}

void DecodeCounterRecord(const Module1 &state, CounterTable &table)
{
    const int slot = state.FrameCount;
    const int row = slot + 1;
    if (slot < 0 || slot >= Module1::FrameStoreSlots || row > Module1::TableRecordRows)
        return;
    table.setRow(row, decodeRecordTexts(state.FrameStore[slot]));
}

void ClearRecordRows(CounterTable &table)
{
    table.clearRows(1, 99);
}
