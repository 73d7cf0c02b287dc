#pragma once

#include <QByteArray>
#include <QString>

// The collector's check of a data frame (STX to CR) before anything is written or
// cleared: the counter sends decimal digits in all seven fields, so a frame of at
// least 42 characters whose fields are all digits. The line has no parity and the
// protocol no checksum: a lost or garbled byte shows only here. (The window keeps
// its lenient reading.)

// What is wrong with the frame, for a message; empty when it is well formed.
QString dataFrameFault(const QByteArray &frame);

// The frame's record number as it came ("07"), when both characters are digits;
// empty otherwise.
QString readableRecordNumber(const QByteArray &frame);
