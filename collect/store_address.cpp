#include "store_address.h"

#include "csv/durable_file.h"

#include <QDir>
#include <QUrl>

#ifdef Q_OS_UNIX
#include <climits>
#include <unistd.h>
#endif

namespace {

// The working folder as the system names it (its bytes kept, see pathFromNative).
QString currentFolder()
{
#ifdef Q_OS_UNIX
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd))
        return pathFromNative(QByteArray(cwd));
#endif
    return QDir::currentPath();
}

} // namespace

std::optional<StoreAddress> parseStoreAddress(const QString &url, QString *error)
{
    StoreAddress address;
    if (url.startsWith(QLatin1String("sqlite:"), Qt::CaseInsensitive)) {
        address.engine = StoreAddress::Engine::SQLite;
        QString path = url.mid(7);
        if (path.isEmpty()) {
            *error = QStringLiteral("sqlite: needs a file, as in sqlite:/var/lib/qz7310/history.db");
            return std::nullopt;
        }
        // SQLite reads these as a database in memory or as a URI (another VFS, a
        // memory file): the history would be gone when the run ends.
        if (path == QLatin1String(":memory:") || path.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
            *error = QStringLiteral("sqlite: takes the path of a file, and '%1' is a database in memory or an SQLite "
                                    "URI, which would keep nothing after the run")
                         .arg(path);
            return std::nullopt;
        }
        // A scheduled run starts in some folder: the file is the one named now.
        address.madeAbsolute = QDir::isRelativePath(path);
        if (address.madeAbsolute)
            path = QDir::cleanPath(currentFolder() + QLatin1Char('/') + path);
        address.path = path;
        address.text = QDir::toNativeSeparators(address.path);
        return address;
    }
    const bool postgres = url.startsWith(QLatin1String("postgresql://"), Qt::CaseInsensitive)
                          || url.startsWith(QLatin1String("postgres://"), Qt::CaseInsensitive);
    if (!postgres) {
        *error = QStringLiteral("'%1' is neither sqlite:PATH nor postgresql://[USER@]HOST[:PORT]/DATABASE").arg(url);
        return std::nullopt;
    }
    const QUrl parsed(url, QUrl::StrictMode);
    if (!parsed.isValid() || parsed.host().isEmpty()) {
        *error = QStringLiteral("'%1' is not of the form postgresql://[USER@]HOST[:PORT]/DATABASE").arg(url);
        return std::nullopt;
    }
    if (!parsed.password().isEmpty() || parsed.userInfo().contains(QLatin1Char(':'))) {
        *error = QStringLiteral("a password does not go on the command line, where others can read it: put it in "
                                "~/.pgpass (or PGPASSWORD) and leave it out of --store");
        return std::nullopt;
    }
    const QString database = parsed.path().mid(1);
    if (!parsed.path().startsWith(QLatin1Char('/')) || database.isEmpty() || database.contains(QLatin1Char('/'))
        || parsed.hasQuery() || parsed.hasFragment()) {
        *error = QStringLiteral("'%1' needs one database name after the host, and nothing after it: "
                                "postgresql://[USER@]HOST[:PORT]/DATABASE")
                     .arg(url);
        return std::nullopt;
    }
    address.engine = StoreAddress::Engine::PostgreSQL;
    address.user = parsed.userName();
    address.host = parsed.host();
    address.port = parsed.port(-1);
    address.database = database;
    address.text = url;
    return address;
}
