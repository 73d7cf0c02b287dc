#include "csv/durable_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
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
    // Anything by that name, a dangling link included, is not ours to take.
    if (replace == ReplaceFile::Never && (target.exists() || target.isSymLink()))
        return failure(FileWriteFailure::Kind::NameTaken, path);
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

// Every byte written, or the errno of the write that stopped.
bool writeAll(int fd, const QByteArray &bytes, int *error)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = n < 0 ? errno : ENOSPC; // a write of nothing: the space ran out
            return false;
        }
        done += n;
    }
    return true;
}

// Gives `from` the name `to` unless `to` exists: 0, or the errno. Linux's rename
// with RENAME_NOREPLACE where the file system has it, else a hard link (which also
// refuses an existing name) and the temporary name removed.
int renameNoReplace(const QByteArray &from, const QByteArray &to)
{
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return errno;
#endif
    if (::link(from.constData(), to.constData()) != 0)
        return errno;
    ::unlink(from.constData());
    return 0;
}

// Readable as a file the user made with the usual umask, not mkstemp's 0600.
mode_t defaultMode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// The bytes in a new temporary file beside `target`, synced and closed, every step
// checked (a failed close after a good sync is a failed write all the same: NFS
// reports there). On failure nothing is left behind.
FileWriteFailure writeTemporary(const QByteArray &target, const QByteArray &bytes, mode_t mode, const QString &path,
                                QByteArray *temporary)
{
    using Kind = FileWriteFailure::Kind;
    const qsizetype slash = target.lastIndexOf('/');
    *temporary = (slash < 0 ? QByteArray(".") : target.left(slash)) + "/.qz7310-XXXXXX.part";
    const int fd = ::mkostemps(temporary->data(), 5, O_CLOEXEC);
    if (fd < 0)
        return failure(Kind::Open, path, systemReason(errno));
    ::fchmod(fd, mode);
    int error = 0;
    Kind kind = Kind::None;
    if (!writeAll(fd, bytes, &error))
        kind = Kind::Write;
    else if (::fsync(fd) != 0) {
        error = errno;
        kind = Kind::Sync;
    }
    if (::close(fd) != 0 && kind == Kind::None) {
        error = errno;
        kind = Kind::Write;
    }
    if (kind != Kind::None) {
        ::unlink(temporary->constData());
        return failure(kind, path, systemReason(error));
    }
    return {Kind::None, path, {}};
}
#endif

} // namespace

FileWriteFailure writeFileDurably(const QString &path, const QByteArray &bytes, ReplaceFile replace)
{
    if (replace == ReplaceFile::Never) {
        QString written;
        return writeNewFileDurably({path}, bytes, &written);
    }
    FileWriteFailure checked = checkExisting(path, replace);
    if (!checked.ok())
        return checked;

#ifdef Q_OS_UNIX
    // A symbolic link is followed, link by link: the file it leads to is replaced and
    // the link stays (a dangling link makes the file where it points).
    QFileInfo final(path);
    for (int depth = 0; depth < 128 && final.isSymLink(); ++depth)
        final.setFile(final.symLinkTarget());
    const QByteArray target = QFile::encodeName(final.filePath());
    // A file the user may not write is not ours to replace, though its folder would
    // let us rename over it.
    if (final.exists() && ::access(target.constData(), W_OK) != 0)
        return failure(FileWriteFailure::Kind::Open, path, systemReason(errno));
    // The replaced file keeps its permission bits; a new one gets the usual ones.
    struct stat existing {};
    const mode_t mode = ::stat(target.constData(), &existing) == 0 ? (existing.st_mode & 07777) : defaultMode();
    QByteArray temporary;
    const FileWriteFailure written = writeTemporary(target, bytes, mode, path, &temporary);
    if (!written.ok())
        return written;
    // A file with content that appeared while we wrote is not ours to replace.
    checked = checkExisting(path, replace);
    if (!checked.ok()) {
        ::unlink(temporary.constData());
        return checked;
    }
    if (::rename(temporary.constData(), target.constData()) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        return failure(FileWriteFailure::Kind::Commit, path, systemReason(error));
    }
    QString reason;
    if (!syncFolderOf(path, &reason))
        return failure(FileWriteFailure::Kind::FolderSync, path, reason);
    return {FileWriteFailure::Kind::None, path, {}};
#else
    // QSaveFile writes a temporary file beside the target and renames it over the
    // target only when everything was written; it resolves a symbolic link and
    // replaces the file the link points to. Unbuffered: every failing write is seen
    // here and by QSaveFile, and a failed write cancels the save.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return failure(FileWriteFailure::Kind::Open, path, file.errorString());
    for (qsizetype done = 0; done < bytes.size();) {
        const qint64 n = file.write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0) {
            const QString reason = file.error() == QFileDevice::NoError ? QString() : file.errorString();
            file.cancelWriting();
            return failure(FileWriteFailure::Kind::Write, path, reason);
        }
        done += n;
    }
    checked = checkExisting(path, replace);
    if (!checked.ok()) {
        file.cancelWriting();
        return checked;
    }
    if (!file.commit())
        return failure(FileWriteFailure::Kind::Commit, path, file.errorString());
    return {FileWriteFailure::Kind::None, path, {}};
#endif
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

#ifdef Q_OS_UNIX

FileWriteFailure writeNewFileDurably(const QStringList &names, const QByteArray &bytes, QString *written)
{
    using Kind = FileWriteFailure::Kind;
    if (names.isEmpty())
        return failure(Kind::NameTaken, QString());
    const QString first = names.first();
    QByteArray temporary;
    const FileWriteFailure made =
        writeTemporary(QFile::encodeName(QFileInfo(first).absoluteFilePath()), bytes, defaultMode(), first, &temporary);
    if (!made.ok())
        return made;

    int error = 0;
    for (const QString &name : names) {
        error = renameNoReplace(temporary, QFile::encodeName(name));
        if (error == EEXIST)
            continue;
        if (error != 0) {
            ::unlink(temporary.constData());
            return failure(Kind::Commit, name, systemReason(error));
        }
        *written = name;
        QString reason;
        if (!syncFolderOf(name, &reason))
            return failure(Kind::FolderSync, name, reason);
        return {Kind::None, name, {}};
    }
    ::unlink(temporary.constData());
    return failure(Kind::NameTaken, names.last());
}

#else

FileWriteFailure writeNewFileDurably(const QStringList &names, const QByteArray &bytes, QString *written)
{
    using Kind = FileWriteFailure::Kind;
    if (names.isEmpty())
        return failure(Kind::NameTaken, QString());
    QTemporaryFile temporary(QFileInfo(names.first()).absolutePath() + QStringLiteral("/.qz7310-XXXXXX.part"));
    if (!temporary.open())
        return failure(Kind::Open, names.first(), temporary.errorString());
    if (temporary.write(bytes) != bytes.size() || !temporary.flush())
        return failure(Kind::Write, names.first(), temporary.errorString());
    temporary.close();
    // A failed close is a failed write all the same.
    if (temporary.error() != QFileDevice::NoError)
        return failure(Kind::Write, names.first(), temporary.errorString());
    // QFile::rename never replaces an existing file.
    for (const QString &name : names) {
        if (QFileInfo::exists(name))
            continue;
        if (temporary.rename(name)) {
            temporary.setAutoRemove(false);
            *written = name;
            return {Kind::None, name, {}};
        }
        if (!QFileInfo::exists(name))
            return failure(Kind::Commit, name, temporary.errorString());
    }
    return failure(Kind::NameTaken, names.last());
}

#endif

FileWriteFailure checkFolderTarget(const QString &folder)
{
    const QFileInfo info(folder);
    if (!info.exists())
        return failure(FileWriteFailure::Kind::NoSuchFolder, folder);
    if (!info.isDir())
        return failure(FileWriteFailure::Kind::NotAFolder, folder);
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".qz7310-XXXXXX.part")));
    if (!probe.open())
        return failure(FileWriteFailure::Kind::Open, folder, probe.errorString());
    return {FileWriteFailure::Kind::None, folder, {}};
}
