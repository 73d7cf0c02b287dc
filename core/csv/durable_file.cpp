#include "csv/durable_file_p.h"

#include <atomic>

namespace durable {

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

namespace {
std::atomic<SyncHook> s_hook{nullptr};
}

bool syncAllowed(SyncTarget what, const QString &path)
{
    const SyncHook hook = s_hook.load();
    return !hook || hook(what, path);
}

} // namespace durable

SyncHook setSyncHook(SyncHook hook)
{
    return durable::s_hook.exchange(hook);
}

bool nameTaken(const QString &path)
{
    const durable::Facts f = durable::factsOf(path);
    return f.exists || f.link;
}

ReservedFile::~ReservedFile()
{
    release();
}
