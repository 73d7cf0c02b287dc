#include "csv/durable_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

FileWriteFailure failure(FileWriteFailure::Kind kind, const QString &path, const QString &reason = {})
{
    return {kind, path, reason};
}

// What would be replaced: QFileInfo follows symbolic links.
FileWriteFailure checkExisting(const QString &path, ReplaceFile replace)
{
    const QFileInfo target(path);
    if (target.isDir())
        return failure(FileWriteFailure::Kind::Folder, path);
    // Replacing a device or a pipe with a regular file would break it.
    if (target.exists() && !target.isFile())
        return failure(FileWriteFailure::Kind::NotRegularFile, path);
    if (replace == ReplaceFile::OnlyEmpty && target.exists() && target.size() > 0)
        return failure(FileWriteFailure::Kind::NotEmpty, path);
    return {FileWriteFailure::Kind::None, path, {}};
}

#ifdef Q_OS_UNIX
QString systemReason(int error)
{
    return qt_error_string(error);
}

// The committed name lives in its folder: that entry is on disk only once the
// folder is synced. A filesystem that cannot sync a folder says EINVAL; nothing
// more can be done there, so that is no failure.
bool syncFolderOf(const QString &path, QString *reason)
{
    const QString real = QFileInfo(path).canonicalFilePath();
    const QByteArray folder = QFile::encodeName(QFileInfo(real.isEmpty() ? path : real).absolutePath());
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *reason = systemReason(errno);
        return false;
    }
    const bool synced = ::fsync(fd) == 0 || errno == EINVAL;
    if (!synced)
        *reason = systemReason(errno);
    ::close(fd);
    return synced;
}
#endif

} // namespace

FileWriteFailure writeFileDurably(const QString &path, const QByteArray &bytes, ReplaceFile replace)
{
    FileWriteFailure checked = checkExisting(path, replace);
    if (!checked.ok())
        return checked;

    // QSaveFile writes a temporary file beside the target and renames it over the
    // target only when everything was written; it resolves a symbolic link and
    // replaces the file the link points to. Unbuffered: with its own buffer, Qt 6.4
    // commits (and reports success) even when the flush inside commit() fails,
    // leaving a truncated file; unbuffered, every failing write is seen here and by
    // QSaveFile, and a failed write cancels the save. No direct-write fallback: in
    // a folder where no new file can be made we report the failure rather than
    // overwrite the old file in place, which could leave half a file.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return failure(FileWriteFailure::Kind::Open, path, file.errorString());
    // A write that stops part way (disk full, size limit) returns a short count
    // without an error; writing the rest then fails with the system's reason.
    for (qsizetype done = 0; done < bytes.size();) {
        const qint64 n = file.write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0) {
            const QString reason = file.error() == QFileDevice::NoError ? QString() : file.errorString();
            file.cancelWriting();
            return failure(FileWriteFailure::Kind::Write, path, reason);
        }
        done += n;
    }
#ifdef Q_OS_UNIX
    // Qt 6.4's commit() syncs the file but ignores a failed sync; ours is checked.
    if (::fsync(file.handle()) != 0) {
        const QString reason = systemReason(errno);
        file.cancelWriting(); // the temporary goes with `file`
        return failure(FileWriteFailure::Kind::Sync, path, reason);
    }
#endif
    // A file with content that appeared while we wrote is not ours to replace.
    checked = checkExisting(path, replace);
    if (!checked.ok()) {
        file.cancelWriting();
        return checked;
    }
    if (!file.commit())
        return failure(FileWriteFailure::Kind::Commit, path, file.errorString());
#ifdef Q_OS_UNIX
    QString reason;
    if (!syncFolderOf(path, &reason))
        return failure(FileWriteFailure::Kind::FolderSync, path, reason);
#endif
    return {FileWriteFailure::Kind::None, path, {}};
}

FileWriteFailure checkFileTarget(const QString &path, ReplaceFile replace)
{
    const FileWriteFailure checked = checkExisting(path, replace);
    if (!checked.ok())
        return checked;
    QSaveFile probe(path);
    if (!probe.open(QIODevice::WriteOnly))
        return failure(FileWriteFailure::Kind::Open, path, probe.errorString());
    probe.cancelWriting(); // the temporary goes with `probe`
    return checked;
}

bool isStreamOrDevice(const QString &path)
{
#ifdef Q_OS_UNIX
    // Follow the links one by one, as QSaveFile does: none may lead through the
    // system's device or process folders (/dev/stdout is a link to /proc/self/fd/1).
    QFileInfo step(path);
    for (int depth = 0; depth < 128; ++depth) {
        const QString absolute = QDir::cleanPath(step.absoluteFilePath());
        if (absolute.startsWith(QLatin1String("/dev/")) || absolute.startsWith(QLatin1String("/proc/")))
            return true;
        if (!step.isSymLink())
            break;
        step.setFile(step.symLinkTarget());
    }
#endif
    const QFileInfo target(path);
    return target.exists() && !target.isFile() && !target.isDir();
}
