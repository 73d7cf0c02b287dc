#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <array>

// The counter's data frame, written once: STX at position 1, a lead character, then
// seven fields of decimal digits (the record number, CNTR1 to CNTR5, TOTAL), a blank
// after each, and CR at 42. The decoder, the collector's judge, its wording and its
// store all read a frame through this.

struct RecordField
{
    int position;     // counted from 1, STX at 1
    int length;
    const char *name; // as a message names it
};
inline constexpr int RecordFieldCount = 7;
inline constexpr std::array<RecordField, RecordFieldCount> RecordFields = {{
    {3, 2, "the record number"},
    {6, 5, "CNTR1"},
    {12, 5, "CNTR2"},
    {18, 5, "CNTR3"},
    {24, 5, "CNTR4"},
    {30, 5, "CNTR5"},
    {36, 6, "TOTAL"},
}};
// A whole data frame with its CR; a longer one is taken as the window takes it.
inline constexpr int MinFrameLength = 42;
// Only two digits fit the number: the hundredth record comes numbered "00".
inline constexpr int RecordsPerCounter = 100;

// Field k's characters as the frame holds them, cut short where the frame ends.
QByteArrayView recordField(QByteArrayView frame, int k);
// The record number as it came ("07", "00"; shorter where the frame is).
QByteArray recordNumberField(QByteArrayView frame);
// The same when both characters are digits, else empty.
QString readableRecordNumber(QByteArrayView frame);

// What is wrong with one data frame, as facts: too short, a field that is not all
// digits, or (with `controls`) STX, ETX, ACK, NAK or NUL between its lead and its CR,
// which no counter sends inside a record.
struct FrameFault
{
    enum class Kind { None, Short, Field, Control };
    Kind kind = Kind::None;
    int length = 0;          // Short: the frame's length with its CR
    int field = -1;          // Field: index into RecordFields
    QByteArray text;         // Field: what the field reads
    int position = 0;        // Control: where (counted from 1)
    char control = 0;        // Control: which character
    bool ok() const { return kind == Kind::None; }
};
FrameFault frameFault(QByteArrayView frame, bool controls);

// A record's number and values as the frame carries them: 1 to 100 and six counts;
// -1 for a field that is not all digits.
struct RecordValues
{
    int number = -1;              // "00" is 100 here
    QList<qint64> values;         // CNTR1..CNTR5, TOTAL
    // Every field readable: a record to keep.
    bool complete() const { return number >= 0 && !values.contains(-1); }
};
RecordValues recordValues(QByteArrayView frame);
