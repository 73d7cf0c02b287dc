#pragma once
// What the two platform halves of the durable writer share.

#include "csv/durable_file.h"

namespace durable {

inline FileWriteFailure failure(FileWriteFailure::Kind kind, const QString &path, const QString &reason = {})
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
Facts factsOf(const QString &path); // per platform

// What would be replaced (the file a link leads to).
FileWriteFailure checkExisting(const QString &path, ReplaceFile replace);

// Whether the test's hook lets this sync go ahead (no hook: yes).
bool syncAllowed(SyncTarget what, const QString &path);

// A writer's temporary file: ".qz7310-" ... ".part".
inline constexpr char TemporaryPrefix[] = ".qz7310-";
inline constexpr char TemporarySuffix[] = ".part";

} // namespace durable
