#include "csv/csv_writer.h"
#include "table/counter_table.h"

#include <QDir>

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

CsvResult writeCsvFile(const QString &path, const CounterTable &table, int frameCount, ReplaceFile replace)
{
    const FileWriteFailure failure = writeFileDurably(path, csvBytes(table, frameCount), replace);
    return {failure.ok(), csvFailureReason(failure), failure};
}

QString csvFailureReason(const FileWriteFailure &failure)
{
    using Kind = FileWriteFailure::Kind;
    switch (failure.kind) {
    case Kind::None:
        return {};
    case Kind::Folder:
        return QStringLiteral("同じ名前のフォルダーがあります。");
    case Kind::NotRegularFile:
        return QStringLiteral("通常のファイルではありません。");
    case Kind::NotEmpty:
    case Kind::NameTaken:
        return QStringLiteral("同じ名前のファイルがあります。");
    case Kind::NoSuchFolder:
    case Kind::NotAFolder:
        return QStringLiteral("フォルダーがありません。");
    case Kind::Write:
        if (failure.reason.isEmpty())
            return QStringLiteral("書き込みに失敗しました。");
        break;
    case Kind::Sync:
    case Kind::FolderSync:
        return QStringLiteral("ディスクへの書き込みを確かめられませんでした（%1）。").arg(failure.reason);
    case Kind::Open:
    case Kind::Commit:
        break;
    }
    return failure.reason;
}

QString csvFailureText(const QString &path, const QString &reason)
{
    return QStringLiteral("ファイルを保存できませんでした。\n%1\n%2")
        .arg(QDir::toNativeSeparators(path), reason);
}
