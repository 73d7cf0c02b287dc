#include "output_dir.h"
#include "port_messages.h"

#include "csv/durable_file.h"

#include <QDir>
#include <QStringList>

QString outputFileName(const QDateTime &started, int attempt)
{
    const QString stem = started.toString(QStringLiteral("yyyy-MM-dd_HHmmss"));
    return attempt <= 1 ? stem + QStringLiteral(".csv") : QStringLiteral("%1_%2.csv").arg(stem).arg(attempt);
}

bool writeNewFile(const QString &folder, const QDateTime &started, const QByteArray &bytes, QString *path,
                  QString *reason)
{
    QStringList names;
    for (int attempt = 1; attempt <= MaxOutputAttempts; ++attempt)
        names << QDir(folder).filePath(outputFileName(started, attempt));
    const FileWriteFailure written = writeNewFileDurably(names, bytes, path);
    if (written.ok())
        return true;
    if (written.kind == FileWriteFailure::Kind::NameTaken)
        *reason = QStringLiteral("%1 to %2 are all taken")
                      .arg(outputFileName(started, 1), outputFileName(started, MaxOutputAttempts));
    else
        *reason = fileFailureText(written);
    return false;
}
