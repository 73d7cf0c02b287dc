#include "port_messages.h"

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

QString remedy(const PortFailure &f)
{
    using Cause = PortFailure::Cause;
    switch (f.cause()) {
    case Cause::NoSuchDevice:
        return QStringLiteral("the device does not exist: check that the counter's adapter is plugged in "
                              "and which device it is (--list-ports)");
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
    case Cause::Lost:
        return QStringLiteral("the line went away: check the cable and the adapter");
    case Cause::Other:
    case Cause::None:
        break;
    }
    return QStringLiteral("check the device (--list-ports shows the serial devices)");
}

} // namespace

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
