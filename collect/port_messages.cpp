#include "port_messages.h"

#include "line/port_address.h"
#include "csv/durable_file.h"

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <unistd.h>
#endif

namespace {

QString userName()
{
#ifdef Q_OS_UNIX
    if (const passwd *pw = ::getpwuid(::geteuid()))
        return QString::fromLocal8Bit(pw->pw_name);
#endif
    const QString user = qEnvironmentVariable("USER");
    return user.isEmpty() ? QStringLiteral("$USER") : user;
}

// "127.0.0.1 port 4001" for a well-formed address, else the name as given.
QString serverText(const QString &device)
{
    const std::optional<NetworkAddress> a = parseNetworkAddress(device);
    return a ? a->text() : device;
}

QString remedy(const PortFailure &f)
{
    using Cause = PortFailure::Cause;
    switch (f.cause()) {
    case Cause::NoSuchDevice:
#ifdef Q_OS_WIN
        // Adapters get COM5 and up; the window offers COM1 to COM4.
        return QStringLiteral("the device does not exist: check that the counter's adapter is plugged in "
                              "and which device it is (--list-ports); to use another COM port as COMn, set "
                              "the variable QZ7310_COMn to its name (QZ7310_COM1=COM7) or change its number "
                              "in Device Manager (the port's Properties, Port Settings, Advanced)");
#else
        return QStringLiteral("the device does not exist: check that the counter's adapter is plugged in "
                              "and which device it is (--list-ports)");
#endif
    case Cause::NoAccess:
        return QStringLiteral("user %1 may not read and write the device: check its permissions (ls -l %2)")
            .arg(userName(), f.device);
    case Cause::NotInGroup:
        return QStringLiteral("user %1 is not in the group '%2' that owns the device: add it with "
                              "'sudo usermod -aG %2 %1' and log in again")
            .arg(userName(), f.group);
    case Cause::OwnerOnly:
        return QStringLiteral("only the device's owner may open it (group '%1' has no read and write "
                              "access): ask the administrator for access")
            .arg(f.group);
    case Cause::DeniedInGroup:
        return QStringLiteral("user %1 may not open it although in group '%2': check the device's "
                              "permissions (ls -l %3)")
            .arg(userName(), f.group, f.device);
    case Cause::Busy:
        if (f.holderPid > 0)
            return QStringLiteral("another program holds it (process %1%2): close that program or let it "
                                  "finish, then try again")
                .arg(f.holderPid)
                .arg(f.holderName.isEmpty() ? QString() : QStringLiteral(", %1").arg(f.holderName));
        return QStringLiteral("another program holds it: close that program (a terminal program, the "
                              "QZ-7310 window) or let it finish, then try again");
    case Cause::LostConnection:
        return QStringLiteral("the device server at %1 ended the connection: check the device server "
                              "and the network")
            .arg(serverText(f.device));
    case Cause::Lost:
        return QStringLiteral("the line went away: check the cable and the adapter");
    case Cause::Refused:
        return QStringLiteral("nothing is listening at %1: check that the device server is on, that this "
                              "is the counter's port on it, and that the port is set to raw TCP")
            .arg(serverText(f.device));
    case Cause::HostNotFound:
    {
        const std::optional<NetworkAddress> a = parseNetworkAddress(f.device);
        return QStringLiteral("the host name %1 is not known: check the name, or give the device "
                              "server's IP address")
            .arg(a ? a->host : f.device);
    }
    case Cause::NoAnswer:
        return QStringLiteral("no answer from %1 within %2 s: check that the device server is on and "
                              "reachable (network, firewall)")
            .arg(serverText(f.device), QString::number(f.waitedMs / 1000.0));
    case Cause::BadAddress:
        return QStringLiteral("a network line is written tcp://HOST:PORT, e.g. tcp://192.168.1.50:4001 "
                              "or tcp://[fd00::50]:4001");
    case Cause::NetworkOther:
        return QStringLiteral("check the device server's address and the network");
    case Cause::Other:
    case Cause::None:
        break;
    }
    return QStringLiteral("check the device (--list-ports shows the serial devices)");
}

} // namespace

// The collector's words for why the file could not be written.
QString fileFailureText(const FileWriteFailure &f)
{
    using Kind = FileWriteFailure::Kind;
    const auto orElse = [&f](const char *text) { return f.reason.isEmpty() ? QLatin1String(text) : f.reason; };
    switch (f.kind) {
    case Kind::None:
        break;
    case Kind::Folder:
        return QStringLiteral("it is a folder");
    case Kind::NotRegularFile:
        return QStringLiteral("it is not a regular file");
    case Kind::NotEmpty:
        return QStringLiteral("the file exists and is not empty (--overwrite replaces it)");
    case Kind::Open:
        return orElse("no file can be made in its folder");
    case Kind::Write:
        return orElse("the write failed");
    case Kind::Sync:
        return QStringLiteral("the file could not be synced to disk: %1").arg(orElse("unknown reason"));
    case Kind::Commit:
        return QStringLiteral("the new file could not take its name: %1").arg(orElse("unknown reason"));
    case Kind::NameTaken:
        return QStringLiteral("something by that name is there already");
    case Kind::NoSuchFolder:
        return QStringLiteral("no such folder");
    case Kind::NotAFolder:
        return QStringLiteral("it is not a folder");
    case Kind::FolderSync:
        return QStringLiteral("the new file is in place but its folder could not be synced to disk, so it may "
                              "not be on disk: %1")
            .arg(orElse("unknown reason"));
    }
    return QStringLiteral("unknown reason");
}

QString portOpenFailureText(const QString &label, const PortFailure &failure)
{
    if (failure.kind == PortFailure::Kind::None)
        return QStringLiteral("cannot open %1 (--list-ports shows the serial devices)").arg(label);
    return QStringLiteral("cannot open %1: %2; %3")
        .arg(label, failure.reason.isEmpty() ? QStringLiteral("unknown reason") : failure.reason,
             remedy(failure));
}

QString portLostText(const PortFailure &failure)
{
    if (failure.kind == PortFailure::Kind::None)
        return QStringLiteral("the port is closed");
    return QStringLiteral("%1 (%2)").arg(failure.reason.isEmpty() ? QStringLiteral("port failure") : failure.reason,
                                         remedy(failure));
}
