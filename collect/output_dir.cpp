#include "collect/output_dir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

QString outputFileName(const QDateTime &started, int attempt)
{
    const QString stem = started.toString(QStringLiteral("yyyy-MM-dd_HHmmss"));
    return attempt <= 1 ? stem + QStringLiteral(".csv") : QStringLiteral("%1_%2.csv").arg(stem).arg(attempt);
}

bool folderTakesNewFiles(const QString &folder, QString *reason)
{
    const QFileInfo info(folder);
    if (!info.exists()) {
        *reason = QStringLiteral("no such folder");
        return false;
    }
    if (!info.isDir()) {
        *reason = QStringLiteral("it is not a folder");
        return false;
    }
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".qz7310-collect-XXXXXX.part")));
    if (!probe.open()) {
        *reason = probe.errorString();
        return false;
    }
    return true;
}

#ifdef Q_OS_UNIX

namespace {

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool writeAll(int fd, const QByteArray &bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
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

} // namespace

bool writeNewFile(const QString &folder, const QDateTime &started, const QByteArray &bytes, QString *path,
                  QString *reason)
{
    const QByteArray dir = QFile::encodeName(QDir(folder).absolutePath());
    QByteArray temporary = dir + "/.qz7310-collect-XXXXXX.part";
    const int fd = ::mkostemps(temporary.data(), 5, O_CLOEXEC);
    if (fd < 0) {
        *reason = systemReason(errno);
        return false;
    }
    // Readable as a file the user made with the usual umask, not mkstemp's 0600.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    const bool written = writeAll(fd, bytes) && ::fsync(fd) == 0;
    const int writeError = errno;
    if (::close(fd) != 0 || !written) {
        *reason = systemReason(written ? errno : writeError);
        ::unlink(temporary.constData());
        return false;
    }

    for (int attempt = 1; attempt <= MaxOutputAttempts; ++attempt) {
        const QString name = QDir(folder).filePath(outputFileName(started, attempt));
        const int error = renameNoReplace(temporary, QFile::encodeName(name));
        if (error == EEXIST)
            continue;
        if (error != 0) {
            *reason = systemReason(error);
            ::unlink(temporary.constData());
            return false;
        }
        // The new name lives in the folder: on disk before the counter is cleared.
        const int dirFd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd >= 0) {
            ::fsync(dirFd);
            ::close(dirFd);
        }
        *path = name;
        return true;
    }
    ::unlink(temporary.constData());
    *reason = QStringLiteral("%1 to %2 are all taken")
                  .arg(outputFileName(started, 1), outputFileName(started, MaxOutputAttempts));
    return false;
}

#else

bool writeNewFile(const QString &folder, const QDateTime &started, const QByteArray &bytes, QString *path,
                  QString *reason)
{
    QTemporaryFile temporary(QDir(folder).filePath(QStringLiteral(".qz7310-collect-XXXXXX.part")));
    if (!temporary.open() || temporary.write(bytes) != bytes.size() || !temporary.flush()) {
        *reason = temporary.errorString();
        return false;
    }
    temporary.close();
    // QFile::rename never replaces an existing file.
    for (int attempt = 1; attempt <= MaxOutputAttempts; ++attempt) {
        const QString name = QDir(folder).filePath(outputFileName(started, attempt));
        if (QFileInfo::exists(name))
            continue;
        if (temporary.rename(name)) {
            temporary.setAutoRemove(false);
            *path = name;
            return true;
        }
        if (!QFileInfo::exists(name)) {
            *reason = temporary.errorString();
            return false;
        }
    }
    *reason = QStringLiteral("%1 to %2 are all taken")
                  .arg(outputFileName(started, 1), outputFileName(started, MaxOutputAttempts));
    return false;
}

#endif
