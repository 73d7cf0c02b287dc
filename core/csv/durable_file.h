#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Why a file could not be written whole and on disk. Plain facts only: the window
// and the collector word them in their own language.
struct FileWriteFailure
{
    enum class Kind {
        None,           // written, synced, committed, folder synced
        Folder,         // a folder has that name
        NotRegularFile, // a device, a pipe, a socket: never replaced
        NotEmpty,       // a file with content is there and replacing it was not allowed
        Open,           // no temporary file could be made beside the target
        Write,          // writing stopped part way (disk full, size limit)
        Sync,           // the written bytes could not be synced to disk
        Commit,         // the temporary file could not take the target's name
        FolderSync,     // the new name could not be synced to disk; the new file is in place
        NameTaken,      // ReplaceFile::Never: something has that name (every name offered)
        NoSuchFolder,   // the folder for a new file is not there
        NotAFolder,     // the folder for a new file is something else
    };

    Kind kind = Kind::None;
    QString path;     // the target as given
    QString reason;   // the system's or Qt's words; may be empty

    bool ok() const { return kind == Kind::None; }
};

// Whether an existing file may be replaced. Never: the name is made anew or not at all
// (an existing file, even an empty one, or a folder by that name is NameTaken).
enum class ReplaceFile { Always, OnlyEmpty, Never };

// Writes bytes to path whole or not at all, and on disk before it says so: a
// temporary file beside the target, every write, the sync and the close checked,
// renamed over the target, then the folder synced (on Windows the file flushed and
// the rename written through). A symbolic link is
// followed (the file it points to is replaced, the link stays). Only regular files
// are ever replaced; with OnlyEmpty a file with content is left alone, and an existing
// file is taken under a lock that every writer here takes on it, so two writers never
// both take one empty file. On any failure before the rename the old file is
// untouched and no temporary is left.
FileWriteFailure writeFileDurably(const QString &path, const QByteArray &bytes,
                                  ReplaceFile replace = ReplaceFile::Always);

// ReplaceFile::Never with a choice of names: the bytes written once to a temporary
// file in the names' folder and synced, then given the first name of `names` that is
// free, in one step that never replaces anything (Linux's RENAME_NOREPLACE, else a
// hard link), then the folder synced. On success `*written` is the name taken; with
// every name taken the failure is NameTaken for the last. No temporary is left.
// All names must be in one folder.
FileWriteFailure writeNewFileDurably(const QStringList &names, const QByteArray &bytes, QString *written);

// Before work that is only worth doing if a new file can be made in folder: it is a
// folder and a temporary file can be made there (made and removed).
FileWriteFailure checkFolderTarget(const QString &folder);

// Before work that is only worth doing if the file can be written: whether path
// could take a new file now (the same checks, and a temporary made and removed).
// Nothing is changed.
FileWriteFailure checkFileTarget(const QString &path, ReplaceFile replace);

// File names as the system keeps them: bytes. Qt 6 reads them as UTF-8 and would
// turn a byte that is no part of UTF-8 into U+FFFD (another name); pathFromNative
// keeps such a byte as a lone surrogate that nativePath turns back into it, so a name
// given on a command line is the name written. Every name here goes through them.
QString pathFromNative(const QByteArray &bytes);
QByteArray nativePath(const QString &path);

// Whether anything has that name (a dangling symbolic link included).
bool nameTaken(const QString &path);

// Whether path names a terminal, a pipe, a device or a socket, or leads through
// /dev or /proc (/dev/stdout): a stream, no place to keep records. A regular file,
// a file not made yet and a folder (which the writer refuses) are not.
bool isStreamOrDevice(const QString &path);

// Room for a new file secured before the work whose result it will hold: a hidden
// temporary file in `folder` (the folder the names are in, a symbolic link's own
// folder), its space allocated, its names checked to fit the folder's name length.
// commit() writes the bytes into it, syncs it and gives it the first free name; a
// reservation never committed is removed with the object.
class ReservedFile
{
public:
    ReservedFile() = default;
    ~ReservedFile();
    ReservedFile(const ReservedFile &) = delete;
    ReservedFile &operator=(const ReservedFile &) = delete;

    FileWriteFailure reserve(const QStringList &names, qint64 bytes);
    FileWriteFailure commit(const QByteArray &bytes, QString *written);
    bool reserved() const { return m_handle != -1; }
    // Gives the room back (the temporary file removed).
    void release();

private:
    QStringList m_names;
    QString m_temporary;
    qintptr m_handle = -1; // a descriptor, or a Windows HANDLE
    qint64 m_size = 0;
};

// Temporary files of this writer (.qz7310-*.part) in `folder` that no running writer
// holds: what a run killed while writing left behind. Paths, oldest first.
QStringList leftoverTemporaries(const QString &folder);

// The folder a new file named `path` is made in: the name's own folder (a symbolic
// link's, not its target's).
QString folderOfName(const QString &path);

// For tests: every sync of a file or a folder (fsync, FlushFileBuffers) asks this
// first; false makes that sync fail. Returns the one it replaces; nullptr: none.
enum class SyncTarget { File, Folder };
using SyncHook = bool (*)(SyncTarget what, const QString &path);
SyncHook setSyncHook(SyncHook hook);
