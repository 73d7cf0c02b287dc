// The durable writer on POSIX: fsync on the file and on its folder, RENAME_NOREPLACE
// (or a hard link) for names that must be new, flock for the claims writers honour.
#include "csv/durable_file_p.h"

#include <QDir>

#include <algorithm>
#include <optional>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace durable;

namespace {

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

// fsync through the test's hook.
int syncDescriptor(int fd, SyncTarget what, const QString &path)
{
    if (!syncAllowed(what, path)) {
        errno = EIO;
        return -1;
    }
    return ::fsync(fd);
}

// The committed name lives in its folder: that entry is on disk only once the
// folder is synced. A filesystem that cannot sync a folder says EINVAL; nothing
// more can be done there, so that is no failure.
bool syncFolder(const QString &folderPath, QString *reason)
{
    const QByteArray folder = nativePath(folderPath);
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *reason = systemReason(errno);
        return false;
    }
    const bool synced = syncDescriptor(fd, SyncTarget::Folder, folderPath) == 0 || errno == EINVAL;
    if (!synced)
        *reason = systemReason(errno);
    ::close(fd);
    return synced;
}

bool syncFolderOf(const QString &path, QString *reason)
{
    return syncFolder(folderOf(finalName(path)), reason);
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

// A new hidden temporary file in `folder`: its descriptor, or -1 with errno set. It
// is locked while it is ours, so leftoverTemporaries() tells it from a dead run's.
int makeTemporary(const QString &folder, QByteArray *temporary)
{
    *temporary = nativePath(folder) + '/' + TemporaryPrefix + "XXXXXX" + TemporarySuffix;
    const int fd = ::mkostemps(temporary->data(), int(sizeof TemporarySuffix - 1), O_CLOEXEC);
    while (fd >= 0 && ::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    return fd;
}

// Synced and closed, every step checked (a failed close after a good sync is a
// failed write all the same: NFS reports there). On failure the file is removed.
FileWriteFailure syncAndClose(int fd, const QByteArray &temporary, const QString &path, int error = 0,
                              FileWriteFailure::Kind kind = FileWriteFailure::Kind::None)
{
    using Kind = FileWriteFailure::Kind;
    if (kind == Kind::None && syncDescriptor(fd, SyncTarget::File, pathFromNative(temporary)) != 0) {
        error = errno;
        kind = Kind::Sync;
    }
    if (::close(fd) != 0 && kind == Kind::None) {
        error = errno;
        kind = Kind::Write;
    }
    if (kind != Kind::None) {
        ::unlink(temporary.constData());
        return failure(kind, path, systemReason(error));
    }
    return {Kind::None, path, {}};
}

// The bytes in a new temporary file in `folder`, synced and closed. On failure
// nothing is left behind.
FileWriteFailure writeTemporary(const QString &folder, const QByteArray &bytes, mode_t mode, const QString &path,
                                QByteArray *temporary)
{
    const int fd = makeTemporary(folder, temporary);
    if (fd < 0)
        return failure(FileWriteFailure::Kind::Open, path, systemReason(errno));
    ::fchmod(fd, mode);
    int error = 0;
    if (!writeAll(fd, bytes, &error))
        return syncAndClose(fd, *temporary, path, error, FileWriteFailure::Kind::Write);
    return syncAndClose(fd, *temporary, path);
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

// The names a new file may take in its folder, within the folder's longest name.
FileWriteFailure checkNamesFit(const QStringList &names)
{
    for (const QString &name : names) {
        const QByteArray base = nativePath(name.mid(name.lastIndexOf(QLatin1Char('/')) + 1));
        const long longest = ::pathconf(nativePath(folderOf(name)).constData(), _PC_NAME_MAX);
        if (base.size() > (longest > 0 ? longest : NAME_MAX))
            return failure(FileWriteFailure::Kind::Open, name, systemReason(ENAMETOOLONG));
    }
    return {FileWriteFailure::Kind::None, names.value(0), {}};
}

// Holds an exclusive lock on the file a name leads to while it is replaced: every
// writer takes it, so two never both see one empty file as theirs to take.
class Claim
{
public:
    explicit Claim(const QByteArray &target)
    {
        m_fd = ::open(target.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (m_fd < 0)
            m_fd = ::open(target.constData(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
        if (m_fd < 0)
            return;
        while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~Claim()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    // The claimed file is still the one the name holds.
    bool current(const QByteArray &target) const
    {
        struct stat held {}, now {};
        return m_fd < 0
               || (::fstat(m_fd, &held) == 0 && ::stat(target.constData(), &now) == 0 && held.st_ino == now.st_ino
                   && held.st_dev == now.st_dev);
    }

private:
    int m_fd = -1;
};

} // namespace

namespace durable {

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

} // namespace durable

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

QString folderOfName(const QString &path)
{
    return folderOf(path);
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
    std::optional<Claim> claim;
    if (exists)
        claim.emplace(target);
    // The replaced file keeps its permission bits; a new one gets the usual ones.
    const mode_t mode = exists ? (existing.st_mode & 07777) : defaultMode();
    QByteArray temporary;
    const FileWriteFailure written = writeTemporary(folderOf(final), bytes, mode, path, &temporary);
    if (!written.ok())
        return written;
    // A file with content that appeared while we wrote, or another writer's file in
    // place of the one claimed, is not ours to replace.
    checked = checkExisting(path, replace);
    if (checked.ok() && claim && !claim->current(target))
        checked = failure(FileWriteFailure::Kind::NameTaken, path);
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
}

FileWriteFailure checkFileTarget(const QString &path, ReplaceFile replace)
{
    const FileWriteFailure checked = checkExisting(path, replace);
    if (!checked.ok())
        return checked;
    // A file the user may not write is not replaced either (see writeFileDurably).
    const QByteArray target = nativePath(finalName(path));
    if (::access(target.constData(), F_OK) == 0 && ::access(target.constData(), W_OK) != 0)
        return failure(FileWriteFailure::Kind::Open, path, systemReason(errno));
    return probeFolder(folderOf(finalName(path)), path);
}

bool isStreamOrDevice(const QString &path)
{
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
    const Facts target = factsOf(path);
    return target.exists && !target.file && !target.dir;
}

namespace {

// The temporary's first free name of `names`, then the folder synced.
FileWriteFailure nameTemporary(const QByteArray &temporary, const QStringList &names, QString *written)
{
    using Kind = FileWriteFailure::Kind;
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

} // namespace

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
    return nameTemporary(temporary, names, written);
}

FileWriteFailure checkFolderTarget(const QString &folder)
{
    const Facts info = factsOf(folder);
    if (!info.exists)
        return failure(FileWriteFailure::Kind::NoSuchFolder, folder);
    if (!info.dir)
        return failure(FileWriteFailure::Kind::NotAFolder, folder);
    return probeFolder(folder, folder);
}

FileWriteFailure ReservedFile::reserve(const QStringList &names, qint64 bytes)
{
    using Kind = FileWriteFailure::Kind;
    release();
    if (names.isEmpty())
        return failure(Kind::NameTaken, QString());
    const FileWriteFailure fits = checkNamesFit(names);
    if (!fits.ok())
        return fits;
    QByteArray temporary;
    const int fd = makeTemporary(folderOf(names.first()), &temporary);
    if (fd < 0)
        return failure(Kind::Open, names.first(), systemReason(errno));
    ::fchmod(fd, defaultMode());
    // The space is the file's own from now on; where the file system cannot
    // allocate ahead, zeros written take it.
    int error = ::posix_fallocate(fd, 0, bytes);
    if (error == EOPNOTSUPP || error == EINVAL) {
        error = 0;
        if (!writeAll(fd, QByteArray(bytes, '\0'), &error) || ::fsync(fd) != 0)
            error = error ? error : errno;
    }
    if (error != 0) {
        ::close(fd);
        ::unlink(temporary.constData());
        return failure(Kind::Write, names.first(), systemReason(error));
    }
    m_names = names;
    m_temporary = pathFromNative(temporary);
    m_handle = fd;
    m_size = bytes;
    return {Kind::None, names.first(), {}};
}

FileWriteFailure ReservedFile::commit(const QByteArray &bytes, QString *written)
{
    using Kind = FileWriteFailure::Kind;
    if (m_handle == -1)
        return failure(Kind::Open, m_names.value(0), systemReason(EBADF));
    const int fd = int(m_handle);
    const QByteArray temporary = nativePath(m_temporary);
    m_handle = -1;
    int error = 0;
    Kind kind = Kind::None;
    if (::lseek(fd, 0, SEEK_SET) != 0 || !writeAll(fd, bytes, &error) || ::ftruncate(fd, bytes.size()) != 0) {
        error = error ? error : errno;
        kind = Kind::Write;
    }
    const FileWriteFailure closed = syncAndClose(fd, temporary, m_names.first(), error, kind);
    if (!closed.ok())
        return closed;
    return nameTemporary(temporary, m_names, written);
}

void ReservedFile::release()
{
    if (m_handle == -1)
        return;
    ::close(int(m_handle));
    ::unlink(nativePath(m_temporary).constData());
    m_handle = -1;
}

QStringList leftoverTemporaries(const QString &folder)
{
    QList<std::pair<qint64, QString>> found;
    DIR *dir = ::opendir(nativePath(folder).constData());
    if (!dir)
        return {};
    const QByteArray prefix(TemporaryPrefix), suffix(TemporarySuffix);
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (!name.startsWith(prefix) || !name.endsWith(suffix))
            continue;
        const QByteArray path = nativePath(folder) + '/' + name;
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct stat st {};
        // A running writer holds its temporary locked.
        const bool dead = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_SH | LOCK_NB) == 0;
        ::close(fd);
        if (dead)
            found.append({qint64(st.st_mtime), pathFromNative(path)});
    }
    ::closedir(dir);
    std::sort(found.begin(), found.end());
    QStringList paths;
    for (const auto &f : found)
        paths << f.second;
    return paths;
}
