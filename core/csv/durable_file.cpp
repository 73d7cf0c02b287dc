#include "csv/durable_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

FileWriteFailure failure(FileWriteFailure::Kind kind, const QString &path, const QString &reason = {})
{
    return {kind, path, reason};
}

// What a name stands for: `link` for the name itself, the rest for what it leads to.
struct Facts
{
    bool exists = false;
    bool link = false;
    bool dir = false;
    bool file = false;
    qint64 size = 0;
};

#ifdef Q_OS_UNIX

// The names are the system's bytes (nativePath), so one that is not UTF-8 is the
// one looked at; QFileInfo would look at another.
Facts factsOf(const QString &path)
{
    const QByteArray name = nativePath(path);
    Facts f;
    struct stat st {};
    if (::lstat(name.constData(), &st) == 0)
        f.link = S_ISLNK(st.st_mode);
    if (::stat(name.constData(), &st) == 0) {
        f.exists = true;
        f.dir = S_ISDIR(st.st_mode);
        f.file = S_ISREG(st.st_mode);
        f.size = st.st_size;
    }
    return f;
}

QString absolutePath(const QString &path)
{
    if (path.startsWith(QLatin1Char('/')))
        return QDir::cleanPath(path);
    char cwd[PATH_MAX];
    const QString here = ::getcwd(cwd, sizeof cwd) ? pathFromNative(cwd) : QDir::currentPath();
    return QDir::cleanPath(here + QLatin1Char('/') + path);
}

QString folderOf(const QString &path)
{
    const QString absolute = absolutePath(path);
    const qsizetype slash = absolute.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QStringLiteral("/") : absolute.left(slash);
}

// Where a symbolic link points, as a path from here; empty when it is no link.
QString linkTarget(const QString &path)
{
    char target[PATH_MAX];
    const ssize_t n = ::readlink(nativePath(path).constData(), target, sizeof target - 1);
    if (n <= 0)
        return {};
    const QString to = pathFromNative(QByteArray(target, n));
    return to.startsWith(QLatin1Char('/')) ? to : folderOf(path) + QLatin1Char('/') + to;
}

#else

Facts factsOf(const QString &path)
{
    const QFileInfo info(path);
    return {info.exists(), info.isSymLink(), info.isDir(), info.isFile(), info.size()};
}

#endif

// What would be replaced (the file a link leads to).
FileWriteFailure checkExisting(const QString &path, ReplaceFile replace)
{
    const Facts target = factsOf(path);
    // Anything by that name, a dangling link included, is not ours to take.
    if (replace == ReplaceFile::Never && (target.exists || target.link))
        return failure(FileWriteFailure::Kind::NameTaken, path);
    if (target.dir)
        return failure(FileWriteFailure::Kind::Folder, path);
    // Replacing a device or a pipe with a regular file would break it.
    if (target.exists && !target.file)
        return failure(FileWriteFailure::Kind::NotRegularFile, path);
    if (replace == ReplaceFile::OnlyEmpty && target.exists && target.size > 0)
        return failure(FileWriteFailure::Kind::NotEmpty, path);
    return {FileWriteFailure::Kind::None, path, {}};
}

#ifdef Q_OS_UNIX
QString systemReason(int error)
{
    return qt_error_string(error);
}

// A symbolic link is followed, link by link, to the file it leads to (which may not
// be there yet).
QString finalName(const QString &path)
{
    QString final = path;
    for (int depth = 0; depth < 128 && factsOf(final).link; ++depth)
        final = linkTarget(final);
    return final;
}

// The committed name lives in its folder: that entry is on disk only once the
// folder is synced. A filesystem that cannot sync a folder says EINVAL; nothing
// more can be done there, so that is no failure.
bool syncFolderOf(const QString &path, QString *reason)
{
    const QByteArray folder = nativePath(folderOf(finalName(path)));
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

// A new hidden temporary file in `folder`: its descriptor, or -1 with errno set.
int makeTemporary(const QString &folder, QByteArray *temporary)
{
    *temporary = nativePath(folder) + "/.qz7310-XXXXXX.part";
    return ::mkostemps(temporary->data(), 5, O_CLOEXEC);
}

// The bytes in a new temporary file in `folder`, synced and closed, every step
// checked (a failed close after a good sync is a failed write all the same: NFS
// reports there). On failure nothing is left behind.
FileWriteFailure writeTemporary(const QString &folder, const QByteArray &bytes, mode_t mode, const QString &path,
                                QByteArray *temporary)
{
    using Kind = FileWriteFailure::Kind;
    const int fd = makeTemporary(folder, temporary);
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

// Whether a new file can be made in folder: one is made and removed.
FileWriteFailure probeFolder(const QString &folder, const QString &path)
{
    QByteArray temporary;
    const int fd = makeTemporary(folder, &temporary);
    if (fd < 0)
        return failure(FileWriteFailure::Kind::Open, path, systemReason(errno));
    ::close(fd);
    ::unlink(temporary.constData());
    return {FileWriteFailure::Kind::None, path, {}};
}
#endif

} // namespace

#ifdef Q_OS_UNIX

// Qt 6 reads file names as UTF-8 and turns a byte that is no part of UTF-8 into
// U+FFFD, so such a name would be written under another one. Here such a byte b
// becomes the lone surrogate U+DC00 + b, and back (as Python's "surrogateescape").
QString pathFromNative(const QByteArray &bytes)
{
    QString out;
    out.reserve(bytes.size());
    const auto *b = reinterpret_cast<const unsigned char *>(bytes.constData());
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n;) {
        const unsigned char c = b[i];
        if (c < 0x80) {
            out += QChar(c);
            ++i;
            continue;
        }
        const int length = c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
        char32_t code = length == 2 ? c & 0x1f : length == 3 ? c & 0x0f : c & 0x07;
        bool valid = length > 0 && i + length <= n;
        for (int k = 1; valid && k < length; ++k) {
            valid = (b[i + k] & 0xc0) == 0x80;
            code = (code << 6) | (b[i + k] & 0x3f);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are no UTF-8.
        valid = valid && !(length == 3 && code < 0x800) && !(length == 4 && (code < 0x10000 || code > 0x10ffff))
                && !(code >= 0xd800 && code <= 0xdfff);
        if (!valid) {
            out += QChar(char16_t(0xdc00 + c));
            ++i;
            continue;
        }
        out += QString::fromUcs4(&code, 1);
        i += length;
    }
    return out;
}

QByteArray nativePath(const QString &path)
{
    QByteArray out;
    out.reserve(path.size());
    qsizetype start = 0;
    for (qsizetype i = 0; i < path.size(); ++i) {
        const char16_t u = path[i].unicode();
        const bool paired = i > 0 && QChar::isHighSurrogate(path[i - 1].unicode());
        if (u >= 0xdc80 && u <= 0xdcff && !paired) {
            out += QStringView(path).mid(start, i - start).toUtf8();
            out += char(u - 0xdc00);
            start = i + 1;
        }
    }
    out += QStringView(path).mid(start).toUtf8();
    return out;
}

#else

QString pathFromNative(const QByteArray &bytes)
{
    return QFile::decodeName(bytes);
}

QByteArray nativePath(const QString &path)
{
    return QFile::encodeName(path);
}

#endif

bool nameTaken(const QString &path)
{
    const Facts f = factsOf(path);
    return f.exists || f.link;
}

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
    // The file a link leads to is replaced and the link stays (a dangling link makes
    // the file where it points).
    const QString final = finalName(path);
    const QByteArray target = nativePath(final);
    struct stat existing {};
    const bool exists = ::stat(target.constData(), &existing) == 0;
    // A file the user may not write is not ours to replace, though its folder would
    // let us rename over it.
    if (exists && ::access(target.constData(), W_OK) != 0)
        return failure(FileWriteFailure::Kind::Open, path, systemReason(errno));
    // The replaced file keeps its permission bits; a new one gets the usual ones.
    const mode_t mode = exists ? (existing.st_mode & 07777) : defaultMode();
    QByteArray temporary;
    const FileWriteFailure written = writeTemporary(folderOf(final), bytes, mode, path, &temporary);
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
#ifdef Q_OS_UNIX
    // A file the user may not write is not replaced either (see writeFileDurably).
    const QByteArray target = nativePath(finalName(path));
    if (::access(target.constData(), F_OK) == 0 && ::access(target.constData(), W_OK) != 0)
        return failure(FileWriteFailure::Kind::Open, path, systemReason(errno));
    return probeFolder(folderOf(finalName(path)), path);
#else
    QSaveFile probe(path);
    if (!probe.open(QIODevice::WriteOnly))
        return failure(FileWriteFailure::Kind::Open, path, probe.errorString());
    probe.cancelWriting(); // the temporary goes with `probe`
    return checked;
#endif
}

bool isStreamOrDevice(const QString &path)
{
#ifdef Q_OS_UNIX
    // Follow the links one by one: none may lead through the system's device or
    // process folders (/dev/stdout is a link to /proc/self/fd/1).
    QString step = path;
    for (int depth = 0; depth < 128; ++depth) {
        const QString absolute = absolutePath(step);
        if (absolute.startsWith(QLatin1String("/dev/")) || absolute.startsWith(QLatin1String("/proc/")))
            return true;
        if (!factsOf(step).link)
            break;
        step = linkTarget(step);
    }
#endif
    const Facts target = factsOf(path);
    return target.exists && !target.file && !target.dir;
}

#ifdef Q_OS_UNIX

FileWriteFailure writeNewFileDurably(const QStringList &names, const QByteArray &bytes, QString *written)
{
    using Kind = FileWriteFailure::Kind;
    if (names.isEmpty())
        return failure(Kind::NameTaken, QString());
    const QString first = names.first();
    QByteArray temporary;
    const FileWriteFailure made = writeTemporary(folderOf(first), bytes, defaultMode(), first, &temporary);
    if (!made.ok())
        return made;

    for (const QString &name : names) {
        const int error = renameNoReplace(temporary, nativePath(name));
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
    const Facts info = factsOf(folder);
    if (!info.exists)
        return failure(FileWriteFailure::Kind::NoSuchFolder, folder);
    if (!info.dir)
        return failure(FileWriteFailure::Kind::NotAFolder, folder);
#ifdef Q_OS_UNIX
    return probeFolder(folder, folder);
#else
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".qz7310-XXXXXX.part")));
    if (!probe.open())
        return failure(FileWriteFailure::Kind::Open, folder, probe.errorString());
    return {FileWriteFailure::Kind::None, folder, {}};
#endif
}
