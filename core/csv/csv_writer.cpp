#include "csv/csv_writer.h"
#include "table/counter_table.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

namespace {
// Room for a typical line (seven quoted fields of up to six digits, CR LF), so a
// whole table is built with a handful of allocations.
constexpr int LineReserve = 64;
}

QByteArray csvBytes(const CounterTable &table, int frameCount)
{
    // Rows past the table's last record row are never exported, whatever the count.
    const int rows = std::clamp(frameCount, 0, CounterTable::RecordRows);
    QByteArray out;
    out.reserve(rows * LineReserve);
    for (int r = CounterTable::FirstRecordRow; r < CounterTable::FirstRecordRow + rows; ++r) {
        for (int c = 0; c < CounterTable::Columns; ++c) {
            if (c > 0)
                out.append(',');
            out.append('"');
            out.append(table.text(r, c).toLatin1());
            out.append('"');
        }
        out.append("\r\n");
    }
    return out;
}

CsvResult writeCsvFile(const QString &path, const CounterTable &table, int frameCount)
{
    const QByteArray bytes = csvBytes(table, frameCount);

    // QFileInfo follows symbolic links, so this looks at what would be replaced.
    const QFileInfo target(path);
    if (target.isDir())
        return {false, QStringLiteral("同じ名前のフォルダーがあります。")};
    // Replacing a device or a pipe with a regular file would break it; refuse.
    if (target.exists() && !target.isFile())
        return {false, QStringLiteral("通常のファイルではありません。")};

    // QSaveFile writes a temporary file beside the target and renames it over the
    // target only when everything was written; it resolves a symbolic link and
    // replaces the file the link points to. Unbuffered: with its own buffer, Qt 6.4
    // commits (and reports success) even when the flush inside commit() fails,
    // leaving a truncated file; unbuffered, every failing write is seen here and by
    // QSaveFile, and a failed write cancels the save. No direct-write
    // fallback: in a directory where no new file can be made we report the failure
    // rather than overwrite the old file in place, which could leave half a file.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return {false, file.errorString()};
    // A write that stops part way (disk full, size limit) returns a short count
    // without an error; writing the rest then fails with the system's reason.
    for (qsizetype done = 0; done < bytes.size();) {
        const qint64 n = file.write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0) {
            QString reason = file.errorString();
            if (file.error() == QFileDevice::NoError)
                reason = QStringLiteral("書き込みに失敗しました。");
            file.cancelWriting();
            return {false, reason};
        }
        done += n;
    }
    if (!file.commit())
        return {false, file.errorString()};
    return {true, QString()};
}

QString csvFailureText(const QString &path, const QString &reason)
{
    return QStringLiteral("ファイルを保存できませんでした。\n%1\n%2")
        .arg(QDir::toNativeSeparators(path), reason);
}
