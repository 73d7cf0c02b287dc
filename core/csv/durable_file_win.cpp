// The durable writer on Windows: every new file is flushed (FlushFileBuffers) before
// it takes its name, and the name is written through (MoveFileEx with
// MOVEFILE_WRITE_THROUGH), so a power cut after the counter was cleared cannot take
// the only copy. Names that must be new are never replaced (MoveFileEx without
// MOVEFILE_REPLACE_EXISTING). A writer holds its temporary file without sharing, which
// tells a running writer's temporary from a dead one's.
#include "csv/durable_file_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <string>

#include <windows.h>
// windows.h names a function ReplaceFile; ours is the enum.
#undef ReplaceFile

using namespace durable;

namespace {

std::wstring wide(const QString &path)
{
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()).toStdWString();
}

QString systemReason(DWORD error)
{
    wchar_t *text = nullptr;
    const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                         | FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    QString reason = n > 0 ? QString::fromWCharArray(text, int(n)).trimmed() : QStringLiteral("error %1").arg(error);
    if (text)
        ::LocalFree(text);
    return reason;
}

QString folderOf(const QString &path)
{
    return QFileInfo(path).absolutePath();
}

// A symbolic link is replaced through: the file it leads to gets the new bytes.
QString finalName(const QString &path)
{
    const QFileInfo info(path);
    return info.isSymLink() ? info.symLinkTarget() : path;
}

// A new temporary file in `folder`, held without sharing.
HANDLE makeTemporary(const QString &folder, QString *temporary, DWORD *error)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        *temporary = folder + QLatin1Char('/') + QLatin1String(TemporaryPrefix)
                     + QString::number(QRandomGenerator::global()->generate(), 36) + QLatin1String(TemporarySuffix);
        const HANDLE h = ::CreateFileW(wide(*temporary).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            return h;
        *error = ::GetLastError();
        if (*error != ERROR_FILE_EXISTS && *error != ERROR_ALREADY_EXISTS)
            return INVALID_HANDLE_VALUE;
    }
    return INVALID_HANDLE_VALUE;
}

bool writeAll(HANDLE h, const QByteArray &bytes, DWORD *error)
{
    for (qsizetype done = 0; done < bytes.size();) {
        DWORD n = 0;
        const DWORD chunk = DWORD(std::min<qsizetype>(bytes.size() - done, 1 << 20));
        if (!::WriteFile(h, bytes.constData() + done, chunk, &n, nullptr) || n == 0) {
            *error = n == 0 && ::GetLastError() == ERROR_SUCCESS ? ERROR_DISK_FULL : ::GetLastError();
            return false;
        }
        done += n;
    }
    return true;
}

// Flushed and closed, every step checked; on failure the file is removed.
FileWriteFailure flushAndClose(HANDLE h, const QString &temporary, const QString &path, DWORD error = 0,
                               FileWriteFailure::Kind kind = FileWriteFailure::Kind::None)
{
    using Kind = FileWriteFailure::Kind;
    if (kind == Kind::None) {
        if (!syncAllowed(SyncTarget::File, temporary)) {
            error = ERROR_WRITE_FAULT;
            kind = Kind::Sync;
        } else if (!::FlushFileBuffers(h)) {
            error = ::GetLastError();
            kind = Kind::Sync;
        }
    }
    if (!::CloseHandle(h) && kind == Kind::None) {
        error = ::GetLastError();
        kind = Kind::Write;
    }
    if (kind != Kind::None) {
        ::DeleteFileW(wide(temporary).c_str());
        return failure(kind, path, systemReason(error));
    }
    return {Kind::None, path, {}};
}

FileWriteFailure writeTemporary(const QString &folder, const QByteArray &bytes, const QString &path,
                                QString *temporary)
{
    DWORD error = 0;
    const HANDLE h = makeTemporary(folder, temporary, &error);
    if (h == INVALID_HANDLE_VALUE)
        return failure(FileWriteFailure::Kind::Open, path, systemReason(error));
    if (!writeAll(h, bytes, &error))
        return flushAndClose(h, *temporary, path, error, FileWriteFailure::Kind::Write);
    return flushAndClose(h, *temporary, path);
}

FileWriteFailure probeFolder(const QString &folder, const QString &path)
{
    QString temporary;
    DWORD error = 0;
    const HANDLE h = makeTemporary(folder, &temporary, &error);
    if (h == INVALID_HANDLE_VALUE)
        return failure(FileWriteFailure::Kind::Open, path, systemReason(error));
    ::CloseHandle(h);
    ::DeleteFileW(wide(temporary).c_str());
    return {FileWriteFailure::Kind::None, path, {}};
}

// The temporary's first free name of `names`, the rename written through.
FileWriteFailure nameTemporary(const QString &temporary, const QStringList &names, QString *written)
{
    using Kind = FileWriteFailure::Kind;
    for (const QString &name : names) {
        if (::MoveFileExW(wide(temporary).c_str(), wide(name).c_str(), MOVEFILE_WRITE_THROUGH)) {
            *written = name;
            return {Kind::None, name, {}};
        }
        const DWORD error = ::GetLastError();
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
            continue;
        ::DeleteFileW(wide(temporary).c_str());
        return failure(Kind::Commit, name, systemReason(error));
    }
    ::DeleteFileW(wide(temporary).c_str());
    return failure(Kind::NameTaken, names.last());
}

bool readOnly(const QString &path)
{
    const DWORD attributes = ::GetFileAttributesW(wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

} // namespace

namespace durable {

Facts factsOf(const QString &path)
{
    const QFileInfo info(path);
    return {info.exists(), info.isSymLink(), info.isDir(), info.isFile(), info.size()};
}

} // namespace durable

QString pathFromNative(const QByteArray &bytes)
{
    return QFile::decodeName(bytes);
}

QByteArray nativePath(const QString &path)
{
    return QFile::encodeName(path);
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
    const QString final = finalName(path);
    if (readOnly(final))
        return failure(FileWriteFailure::Kind::Open, path, systemReason(ERROR_ACCESS_DENIED));
    QString temporary;
    const FileWriteFailure written = writeTemporary(folderOf(final), bytes, path, &temporary);
    if (!written.ok())
        return written;
    checked = checkExisting(path, replace);
    if (!checked.ok()) {
        ::DeleteFileW(wide(temporary).c_str());
        return checked;
    }
    if (!::MoveFileExW(wide(temporary).c_str(), wide(final).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = ::GetLastError();
        ::DeleteFileW(wide(temporary).c_str());
        return failure(FileWriteFailure::Kind::Commit, path, systemReason(error));
    }
    return {FileWriteFailure::Kind::None, path, {}};
}

FileWriteFailure writeNewFileDurably(const QStringList &names, const QByteArray &bytes, QString *written)
{
    if (names.isEmpty())
        return failure(FileWriteFailure::Kind::NameTaken, QString());
    QString temporary;
    const FileWriteFailure made = writeTemporary(folderOf(names.first()), bytes, names.first(), &temporary);
    if (!made.ok())
        return made;
    return nameTemporary(temporary, names, written);
}

FileWriteFailure checkFileTarget(const QString &path, ReplaceFile replace)
{
    const FileWriteFailure checked = checkExisting(path, replace);
    if (!checked.ok())
        return checked;
    const QString final = finalName(path);
    if (readOnly(final))
        return failure(FileWriteFailure::Kind::Open, path, systemReason(ERROR_ACCESS_DENIED));
    return probeFolder(folderOf(final), path);
}

FileWriteFailure checkFolderTarget(const QString &folder)
{
    const Facts info = factsOf(folder);
    if (!info.exists)
        return failure(FileWriteFailure::Kind::NoSuchFolder, folder);
    if (!info.dir)
        return failure(FileWriteFailure::Kind::NotAFolder, folder);
    return probeFolder(QFileInfo(folder).absoluteFilePath(), folder);
}

bool isStreamOrDevice(const QString &path)
{
    const Facts target = factsOf(path);
    return target.exists && !target.file && !target.dir;
}

FileWriteFailure ReservedFile::reserve(const QStringList &names, qint64 bytes)
{
    using Kind = FileWriteFailure::Kind;
    release();
    if (names.isEmpty())
        return failure(Kind::NameTaken, QString());
    for (const QString &name : names) {
        if (QFileInfo(name).fileName().size() > 255)
            return failure(Kind::Open, name, systemReason(ERROR_FILENAME_EXCED_RANGE));
    }
    QString temporary;
    DWORD error = 0;
    const HANDLE h = makeTemporary(folderOf(names.first()), &temporary, &error);
    if (h == INVALID_HANDLE_VALUE)
        return failure(Kind::Open, names.first(), systemReason(error));
    // Setting the end of the file allocates its space.
    LARGE_INTEGER size;
    size.QuadPart = bytes;
    if (!::SetFilePointerEx(h, size, nullptr, FILE_BEGIN) || !::SetEndOfFile(h)) {
        error = ::GetLastError();
        ::CloseHandle(h);
        ::DeleteFileW(wide(temporary).c_str());
        return failure(Kind::Write, names.first(), systemReason(error));
    }
    m_names = names;
    m_temporary = temporary;
    m_handle = reinterpret_cast<qintptr>(h);
    m_size = bytes;
    return {Kind::None, names.first(), {}};
}

FileWriteFailure ReservedFile::commit(const QByteArray &bytes, QString *written)
{
    using Kind = FileWriteFailure::Kind;
    if (m_handle == -1)
        return failure(Kind::Open, m_names.value(0), systemReason(ERROR_INVALID_HANDLE));
    const HANDLE h = reinterpret_cast<HANDLE>(m_handle);
    m_handle = -1;
    DWORD error = 0;
    Kind kind = Kind::None;
    LARGE_INTEGER start;
    start.QuadPart = 0;
    if (!::SetFilePointerEx(h, start, nullptr, FILE_BEGIN) || !writeAll(h, bytes, &error) || !::SetEndOfFile(h)) {
        error = error ? error : ::GetLastError();
        kind = Kind::Write;
    }
    const FileWriteFailure closed = flushAndClose(h, m_temporary, m_names.first(), error, kind);
    if (!closed.ok())
        return closed;
    return nameTemporary(m_temporary, m_names, written);
}

void ReservedFile::release()
{
    if (m_handle == -1)
        return;
    ::CloseHandle(reinterpret_cast<HANDLE>(m_handle));
    ::DeleteFileW(wide(m_temporary).c_str());
    m_handle = -1;
}

QStringList leftoverTemporaries(const QString &folder)
{
    QStringList paths;
    const QFileInfoList entries =
        QDir(folder).entryInfoList({QLatin1String(TemporaryPrefix) + QLatin1Char('*') + QLatin1String(TemporarySuffix)},
                                   QDir::Files | QDir::Hidden | QDir::System, QDir::Time | QDir::Reversed);
    for (const QFileInfo &entry : entries) {
        // A running writer holds its temporary without sharing.
        const HANDLE h = ::CreateFileW(wide(entry.absoluteFilePath()).c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        ::CloseHandle(h);
        paths << entry.absoluteFilePath();
    }
    return paths;
}
