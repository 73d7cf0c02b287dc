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
// renamed over the target, then the folder synced (QSaveFile on Windows). A symbolic link is
// followed (the file it points to is replaced, the link stays). Only regular files
// are ever replaced; with OnlyEmpty a file with content is left alone. On any
// failure before the rename the old file is untouched and no temporary is left.
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
