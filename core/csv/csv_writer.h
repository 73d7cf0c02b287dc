#pragma once

#include "csv/durable_file.h"

#include <QByteArray>
#include <QString>

class CounterTable;

// The CSV file of the counter table: rows 1..frameCount (never past row 100), one
// line per row, seven fields each in double quotes (nothing inside escaped), commas
// without blanks, CR LF after every line including the last, no heading line, one
// byte per character. frameCount <= 0 gives no bytes at all.
QByteArray csvBytes(const CounterTable &table, int frameCount);

struct CsvResult
{
    bool ok = false;
    QString error;               // the window's reason, empty when ok
    FileWriteFailure failure;    // the same, as facts
};

// Writes csvBytes to path durably (writeFileDurably) so that the file appears
// complete or not at all: a missing file is created, an existing one replaced
// (frameCount 0 leaves it empty), and when anything fails before the rename the
// existing file is left exactly as it was. A symbolic link is followed: the file it
// points to is replaced, the link stays. Only regular files are ever replaced.
CsvResult writeCsvFile(const QString &path, const CounterTable &table, int frameCount,
                       ReplaceFile replace = ReplaceFile::Always);

// The window's words for why a CSV could not be written.
QString csvFailureReason(const FileWriteFailure &failure);

// The warning shown to the operator when writeCsvFile fails.
QString csvFailureText(const QString &path, const QString &reason);
