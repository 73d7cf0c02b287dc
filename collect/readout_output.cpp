#include "readout_output.h"

#include "output_dir.h"
#include "port_messages.h"
#include "readout_judge.h"
#include "readout_store.h"
#include "readout_text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

QStringList lateNames(const QString &written)
{
    QString stem = written;
    if (stem.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive))
        stem.chop(4);
    QStringList names;
    for (int attempt = 1; attempt <= MaxOutputAttempts; ++attempt)
        names << (attempt == 1 ? stem + QStringLiteral(".late.csv") : QStringLiteral("%1.late_%2.csv").arg(stem).arg(attempt));
    return names;
}

namespace {

// Room for late records, tried at the start (made and given back) and held from
// before CLR ALL until they come.
bool reserveLate(ReservedFile &room, const QString &beside, QString *reason)
{
    const FileWriteFailure failed = room.reserve(lateNames(beside), LateReserveBytes);
    if (!failed.ok())
        *reason = lateRoomText(QDir::toNativeSeparators(failed.path), fileFailureText(failed));
    return failed.ok();
}

bool keepLateIn(ReservedFile &room, const QList<QByteArray> &frames, QString *where, QString *reason)
{
    QString path;
    const FileWriteFailure failed = room.commit(csvOfReply(frames.join()), &path);
    if (!failed.ok() && failed.kind != FileWriteFailure::Kind::FolderSync) {
        *reason = fileFailureText(failed);
        return false;
    }
    *where = QDir::toNativeSeparators(path);
    if (!failed.ok())
        *reason = fileFailureText(failed); // in place, not known to be on disk
    return true;
}

QStringList leftoversIn(const QStringList &folders)
{
    QStringList found;
    for (const QString &folder : folders) {
        for (const QString &path : leftoverTemporaries(folder))
            if (!found.contains(path))
                found << path;
    }
    return found;
}

class CsvFileOutput : public ReadoutOutput
{
public:
    CsvFileOutput(const QString &path, bool overwrite) : m_path(path), m_overwrite(overwrite) {}

    QString label() const override { return QDir::toNativeSeparators(m_path); }
    bool heldSomething() const override { return m_existed; }

    bool check(bool clearing, QString *reason) override
    {
        m_existed = nameTaken(m_path);
        const FileWriteFailure target =
            checkFileTarget(m_path, m_overwrite ? ReplaceFile::Always : ReplaceFile::OnlyEmpty);
        if (!target.ok()) {
            *reason = fileFailureText(target);
            return false;
        }
        ReservedFile room;
        return !clearing || reserveLate(room, m_path, reason);
    }

    bool save(const QByteArray &reply, QString *reason) override
    {
        // A name that was free when the run began is taken only if it is still free:
        // another run that got there first keeps its file.
        const ReplaceFile replace = m_overwrite ? ReplaceFile::Always
                                    : m_existed ? ReplaceFile::OnlyEmpty
                                                : ReplaceFile::Never;
        const FileWriteFailure failed = writeFileDurably(m_path, reply.isNull() ? QByteArray() : csvOfReply(reply),
                                                         replace);
        if (!failed.ok()) {
            *reason = failed.kind == FileWriteFailure::Kind::NameTaken || failed.kind == FileWriteFailure::Kind::NotEmpty
                          ? madeMeanwhileText()
                          : fileFailureText(failed);
            return false;
        }
        return true;
    }

    bool takesLate() const override { return true; }
    bool secureLate(QString *reason) override { return reserveLate(m_late, m_path, reason); }
    bool keepLate(const QList<QByteArray> &frames, QString *where, QString *reason) override
    {
        return keepLateIn(m_late, frames, where, reason);
    }
    void end() override { m_late.release(); }

    QStringList leftovers() const override
    {
        QStringList folders{folderOfName(m_path)};
        const QFileInfo info(m_path);
        if (info.isSymLink())
            folders << folderOfName(info.symLinkTarget());
        return leftoversIn(folders);
    }

private:
    QString m_path;
    bool m_overwrite = false;
    bool m_existed = false;
    ReservedFile m_late;
};

class FolderOutput : public ReadoutOutput
{
public:
    FolderOutput(const QString &folder, const QDateTime &started) : m_folder(folder), m_started(started) {}

    QString label() const override
    {
        return QDir::toNativeSeparators(m_written.isEmpty() ? QDir(m_folder).filePath(outputFileName(m_started, 1))
                                                            : m_written);
    }

    bool check(bool clearing, QString *reason) override
    {
        const FileWriteFailure folder = checkFolderTarget(m_folder);
        if (!folder.ok()) {
            *reason = fileFailureText(folder);
            return false;
        }
        ReservedFile room;
        return !clearing || reserveLate(room, QDir(m_folder).filePath(outputFileName(m_started, 1)), reason);
    }

    bool save(const QByteArray &reply, QString *reason) override
    {
        return writeNewFile(m_folder, m_started, reply.isNull() ? QByteArray() : csvOfReply(reply), &m_written, reason);
    }

    bool takesLate() const override { return true; }
    bool secureLate(QString *reason) override { return reserveLate(m_late, m_written, reason); }
    bool keepLate(const QList<QByteArray> &frames, QString *where, QString *reason) override
    {
        return keepLateIn(m_late, frames, where, reason);
    }
    void end() override { m_late.release(); }
    QStringList leftovers() const override { return leftoversIn({m_folder}); }

private:
    QString m_folder;
    QDateTime m_started;
    QString m_written;
    ReservedFile m_late;
};

class StandardOutput : public ReadoutOutput
{
public:
    QString label() const override { return QStringLiteral("standard output"); }
    bool check(bool, QString *) override { return true; }

    bool save(const QByteArray &reply, QString *reason) override
    {
        const QByteArray bytes = reply.isNull() ? QByteArray() : csvOfReply(reply);
        std::fflush(stdout);
        QFile out;
        if (!out.open(1, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle)) {
            *reason = out.errorString();
            return false;
        }
        for (qsizetype done = 0; done < bytes.size();) {
            const qint64 n = out.write(bytes.constData() + done, bytes.size() - done);
            if (n <= 0) {
                *reason = out.errorString();
                return false;
            }
            done += n;
        }
#ifdef Q_OS_UNIX
        // Redirected to a file: on disk before any clearing, like a file of our own.
        struct stat info {};
        if (::fstat(1, &info) == 0 && S_ISREG(info.st_mode) && ::fsync(1) != 0) {
            *reason = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
#endif
        return true;
    }
};

class StoreOutput : public ReadoutOutput
{
public:
    StoreOutput(ReadoutStore &store, std::function<StoredReadout()> run) : m_store(store), m_run(std::move(run)) {}

    QString label() const override { return m_store.address().text; }
    // The run's row, written before the counter is read: a store that cannot take it
    // (read-only, a name too long for it) is known while nothing is lost.
    bool check(bool, QString *reason) override { return m_store.open(m_run(), reason); }
    bool save(const QByteArray &reply, QString *reason) override
    {
        // Only a read-out is stored here; a silent counter's run is noted at its end.
        return reply.isNull() || m_store.add(m_run(), reason);
    }
    bool takesLate() const override { return true; }
    // The read-out's transaction went through: the store takes this run's writes.
    bool secureLate(QString *reason) override
    {
        if (!m_store.added())
            *reason = QStringLiteral("the read-out is not in the store");
        return m_store.added();
    }
    // With the run's end, in one transaction.
    bool keepLate(const QList<QByteArray> &, QString *where, QString *reason) override
    {
        *where = m_store.address().text;
        return m_store.finish(m_run(), reason);
    }

private:
    ReadoutStore &m_store;
    std::function<StoredReadout()> m_run;
};

} // namespace

std::unique_ptr<ReadoutOutput> csvFileOutput(const QString &path, bool overwrite)
{
    return std::make_unique<CsvFileOutput>(path, overwrite);
}

std::unique_ptr<ReadoutOutput> folderOutput(const QString &folder, const QDateTime &started)
{
    return std::make_unique<FolderOutput>(folder, started);
}

std::unique_ptr<ReadoutOutput> standardOutput()
{
    return std::make_unique<StandardOutput>();
}

std::unique_ptr<ReadoutOutput> storeOutput(ReadoutStore &store, std::function<StoredReadout()> run)
{
    return std::make_unique<StoreOutput>(store, std::move(run));
}
