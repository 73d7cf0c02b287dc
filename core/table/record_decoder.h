#pragma once

#include "table/counter_table.h"

#include <QByteArrayView>
#include <array>

// Field positions of a data frame (1-based, STX at position 1) and the table
// column each one fills.
struct RecordField
{
    int position;
    int length;
};
inline constexpr std::array<RecordField, CounterTable::Columns> RecordFields = {{
    {3, 2}, {6, 5}, {12, 5}, {18, 5}, {24, 5}, {30, 5}, {36, 6}}};

// The seven cell texts of one data frame; fields past the frame's end read as 0.
CounterTable::RowTexts decodeRecordTexts(QByteArrayView frame);

// Decodes one stored data frame into its table row (the frame in store slot n goes
// to row n + 1). A row outside the record rows is never written.
void DecodeCounterRecord(QByteArrayView frame, int row, CounterTable &table);
