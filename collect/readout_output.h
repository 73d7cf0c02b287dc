#pragma once

#include "csv/durable_file.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class ReadoutStore;
struct StoredReadout;

// Where a read-out goes: the CSV file (--output), a new file in a folder
// (--output-dir), standard output, the store. The session asks every output the same
// questions in the same order, so "each one secured before CLR ALL goes out" and
// "where each late record went" are a loop over them, in one place.
class ReadoutOutput
{
public:
    virtual ~ReadoutOutput() = default;
    // Names the output in messages ("records.csv", "standard output", the store's URL).
    virtual QString label() const = 0;
    // Before anything is read: whether it could take a read-out (and, clearing, the
    // records that come after CLR ALL). A reason when not.
    virtual bool check(bool clearing, QString *reason) = 0;
    // The read-out, whole and on disk (committed) before it returns true.
    virtual bool save(const QByteArray &reply, QString *reason) = 0;
    // A file that held something before the run: a silent counter leaves it alone.
    virtual bool heldSomething() const { return false; }
    // Whether this output takes the records that come after CLR ALL.
    virtual bool takesLate() const { return false; }
    // Before CLR ALL: the place for late records made sure of (a name that fits, a
    // folder this run may write, the space).
    virtual bool secureLate(QString *reason) { Q_UNUSED(reason); return true; }
    // After CLR ALL: the late records kept; `where` names the place.
    virtual bool keepLate(const QList<QByteArray> &frames, QString *where, QString *reason)
    {
        Q_UNUSED(frames); Q_UNUSED(where); Q_UNUSED(reason);
        return false;
    }
    // The run is over: any room held for late records is given back.
    virtual void end() {}
    // The leftovers of runs killed while writing, in the folders this output writes.
    virtual QStringList leftovers() const { return {}; }
};

using ReadoutOutputs = std::vector<std::unique_ptr<ReadoutOutput>>;

// Space held for late records: at most 100 rows of a few dozen characters.
inline constexpr qint64 LateReserveBytes = 16384;

// --output FILE. `overwrite`: a file with content may be replaced.
std::unique_ptr<ReadoutOutput> csvFileOutput(const QString &path, bool overwrite);
// --output-dir DIR: a new file named by the run's start.
std::unique_ptr<ReadoutOutput> folderOutput(const QString &folder, const QDateTime &started);
// Standard output (--output - or none); synced when it is redirected to a file.
std::unique_ptr<ReadoutOutput> standardOutput();
// --store: the saved read-out committed in the store before any clear; the late
// records go there with the run's end (`run` builds the row).
std::unique_ptr<ReadoutOutput> storeOutput(ReadoutStore &store, std::function<StoredReadout()> run);

// Late records go beside the read-out's file: NAME.late.csv, then NAME.late_2.csv, ...
QStringList lateNames(const QString &written);
