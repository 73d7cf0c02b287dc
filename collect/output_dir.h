#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

// --output-dir: every run writes a file of its own, named by the local date and time
// the run started, and never takes a name that is there already.

// "YYYY-MM-DD_HHMMSS.csv" for attempt 1; for later attempts, when that name is
// taken, "_2", "_3", ... before ".csv" (so the files of one second sort in order
// after the first and before the next second's).
QString outputFileName(const QDateTime &started, int attempt);

// Highest attempt tried before giving up.
inline constexpr int MaxOutputAttempts = 999;

// Writes `bytes` to a new file in `folder` under the first free name outputFileName()
// gives, through the core's durable writer (ReplaceFile::Never: whole, synced, named
// without replacing anything, the folder synced). On success `*path` is the file
// written; on failure nothing is left behind and `*reason` says why.
bool writeNewFile(const QString &folder, const QDateTime &started, const QByteArray &bytes, QString *path,
                  QString *reason);
