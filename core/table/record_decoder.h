#pragma once

#include "table/counter_record.h"
#include "table/counter_table.h"

#include <QByteArrayView>

// Each of the frame's fields fills the table column of its index.
static_assert(RecordFieldCount == CounterTable::Columns);

// The seven cell texts of one data frame; fields past the frame's end read as 0.
CounterTable::RowTexts decodeRecordTexts(QByteArrayView frame);

// Decodes one stored data frame into its table row (the frame in store slot n goes
// to row n + 1). A row outside the record rows is never written.
void DecodeCounterRecord(QByteArrayView frame, int row, CounterTable &table);
