#pragma once

#include "link/module1.h"
#include "table/counter_table.h"

#include <QByteArrayView>
#include <QString>
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
std::array<QString, CounterTable::Columns> decodeRecordTexts(QByteArrayView frame);

// Decodes FrameStore[FrameCount] into table row FrameCount + 1. Must be called
// before FrameCount is advanced for that frame. A row outside the table is never
// written.
void DecodeCounterRecord(const Module1 &state, CounterTable &table);

// The "CLR" button: empties record rows 1..99 (row 100 is kept on purpose) and
// leaves FrameCount and FrameStore alone. The caller empties the status label.
void ClearRecordRows(CounterTable &table);
