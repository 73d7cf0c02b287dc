#pragma once

#include <QString>
#include <optional>

// Where the history of read-outs is kept, as --store names it:
//   sqlite:PATH                                  a file on this machine (a path, never
//                                                ":memory:" or an SQLite URI; a relative
//                                                one is made absolute)
//   postgresql://[USER@]HOST[:PORT]/DATABASE     a server for the whole lab
// A password never goes on a command line (it would show in ps and in the shell's
// history): libpq takes it from ~/.pgpass or PGPASSWORD.
struct StoreAddress
{
    enum class Engine { SQLite, PostgreSQL };
    Engine engine = Engine::SQLite;
    QString path;       // SQLite: the file, an absolute path
    bool madeAbsolute = false; // SQLite: given relative to the working folder
    QString user;       // PostgreSQL: empty for libpq's default (PGUSER, the login name)
    QString host;       // without brackets
    int port = -1;      // -1: libpq's default (PGPORT, 5432)
    QString database;

    // The name as messages show it: the file, or the URL as given (it holds no password).
    QString text;
};

// Nothing, and *error says why, when `url` is not one of the forms above.
std::optional<StoreAddress> parseStoreAddress(const QString &url, QString *error);
