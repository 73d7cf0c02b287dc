#include "line/port_failure.h"
#include "line/port_address.h"

#include <QFile>
#include <QFileInfo>
#include <QLockFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#endif

PortFailure classifyWin32PortFailure(const QString &device, quint32 error, const QString &reason)
{
    // The Win32 codes by number (winerror.h), so this builds and is tested anywhere.
    enum : quint32 {
        NoError = 0,
        FileNotFound = 2,
        PathNotFound = 3,
        AccessDenied = 5,
        InvalidHandle = 6,
        BadCommand = 22,
        GenFailure = 31,
        SharingViolation = 32,
        DevNotExist = 55,
        BrokenPipe = 109,
        InvalidName = 123,
        OperationAborted = 995,
        DeviceNotConnected = 1167,
        DeviceRemoved = 1617,
    };

    PortFailure f;
    f.device = device;
    f.reason = reason;
    f.error = int(error);
    switch (error) {
    case NoError:
        break;
    case FileNotFound:
    case PathNotFound:
    case InvalidName:
        f.kind = PortFailure::Kind::NoSuchDevice;
        break;
    case AccessDenied:
    case SharingViolation:
        f.kind = PortFailure::Kind::Busy;
        break;
    // A far end that closes (a pseudo-terminal under Wine) breaks the pipe; an unplugged
    // USB adapter fails its pending read with one of the others.
    case InvalidHandle:
    case BadCommand:
    case GenFailure:
    case DevNotExist:
    case BrokenPipe:
    case OperationAborted:
    case DeviceNotConnected:
    case DeviceRemoved:
        f.kind = PortFailure::Kind::Lost;
        break;
    default:
        f.kind = PortFailure::Kind::Other;
        break;
    }
    return f;
}

#ifndef QZ_WIN32_SERIAL

namespace {

#ifdef Q_OS_UNIX

// The lock file QSerialPort takes for a device: "LCK.." and the device's name without
// "/dev/", slashes made underscores, in the first of these folders that has it.
void findLockHolder(PortFailure &f)
{
    QString name = f.device;
    if (name.startsWith(QLatin1String("/dev/")))
        name = name.mid(5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    static const char *const folders[] = {"/var/lock", "/etc/locks", "/var/spool/locks",
                                          "/var/spool/uucp", "/tmp", "/var/tmp",
                                          "/var/lock/lockdev", "/run/lock"};
    for (const char *folder : folders) {
        const QString path = QString::fromLatin1(folder) + QLatin1String("/LCK..") + name;
        if (!QFile::exists(path))
            continue;
        QLockFile lock(path);
        qint64 pid = 0;
        QString host, app;
        if (!lock.getLockInfo(&pid, &host, &app) || pid <= 0)
            continue;
        // A lock whose process has gone is no holder (Qt takes it over).
        if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            continue;
        f.holderPid = pid;
        f.holderName = app;
        return;
    }
}

bool processHasGroup(gid_t gid)
{
    if (::getegid() == gid)
        return true;
    const int n = ::getgroups(0, nullptr);
    if (n <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(n));
    const int got = ::getgroups(n, groups.data());
    for (int i = 0; i < got; ++i) {
        if (groups[static_cast<std::size_t>(i)] == gid)
            return true;
    }
    return false;
}

QString groupName(gid_t gid)
{
    std::vector<char> buffer(4096);
    group entry {};
    group *found = nullptr;
    if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return QString::fromLocal8Bit(found->gr_name);
    return QString::number(gid);
}

// The open was refused with a permission error: either this user may not use the
// device, or (Qt reports a taken lock the same way) another program has it.
void classifyPermission(PortFailure &f)
{
    const QByteArray path = QFile::encodeName(f.device);
    if (::access(path.constData(), R_OK | W_OK) != 0 && errno == EACCES) {
        f.kind = PortFailure::Kind::PermissionDenied;
        struct stat info {};
        if (::stat(path.constData(), &info) == 0) {
            f.group = groupName(info.st_gid);
            f.groupMayUse = (info.st_mode & S_IRGRP) && (info.st_mode & S_IWGRP);
            f.inGroup = processHasGroup(info.st_gid);
        }
        return;
    }
    f.kind = PortFailure::Kind::Busy;
    findLockHolder(f);
}

#else

void classifyPermission(PortFailure &f)
{
    // Windows refuses a port another program has open with "access denied".
    f.kind = PortFailure::Kind::Busy;
}

#endif

} // namespace

#endif // QZ_WIN32_SERIAL

PortFailure::Cause PortFailure::cause() const
{
    switch (kind) {
    case Kind::None:
        return Cause::None;
    case Kind::NoSuchDevice:
        return Cause::NoSuchDevice;
    case Kind::PermissionDenied:
        if (group.isEmpty())
            return Cause::NoAccess;
        if (!groupMayUse)
            return Cause::OwnerOnly;
        return inGroup ? Cause::DeniedInGroup : Cause::NotInGroup;
    case Kind::Busy:
        return Cause::Busy;
    case Kind::Lost:
        return isNetworkDevice(device) ? Cause::LostConnection : Cause::Lost;
    case Kind::Refused:
        return Cause::Refused;
    case Kind::HostNotFound:
        return Cause::HostNotFound;
    case Kind::NoAnswer:
        return Cause::NoAnswer;
    case Kind::BadAddress:
        return Cause::BadAddress;
    case Kind::Other:
        break;
    }
    return isNetworkDevice(device) ? Cause::NetworkOther : Cause::Other;
}

#ifndef QZ_WIN32_SERIAL

PortFailure classifyPortFailure(const QString &device, QSerialPort::SerialPortError error,
                                const QString &reason)
{
    PortFailure f;
    f.device = device;
    f.reason = reason;
    f.error = error;

    switch (error) {
    case QSerialPort::NoError:
        return f;
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
        f.kind = PortFailure::Kind::Lost;
        return f;
    default:
        break;
    }

#ifdef Q_OS_UNIX
    // A dangling link, or a device file that is gone, whatever Qt called it.
    if (error == QSerialPort::DeviceNotFoundError || !QFileInfo::exists(device)) {
        f.kind = PortFailure::Kind::NoSuchDevice;
        return f;
    }
#else
    if (error == QSerialPort::DeviceNotFoundError) {
        f.kind = PortFailure::Kind::NoSuchDevice;
        return f;
    }
#endif
    if (error == QSerialPort::PermissionError) {
        classifyPermission(f);
        return f;
    }
    f.kind = PortFailure::Kind::Other;
    return f;
}

#endif // QZ_WIN32_SERIAL
