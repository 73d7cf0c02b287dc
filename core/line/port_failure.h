#pragma once

#include <QString>
#include <QtGlobal>

// Why a port could not be opened or stopped working, told from the system's error and
// the state of the device, so that whoever reports it can name a remedy. Plain facts
// only: the window and the collector word them in their own language.
struct PortFailure
{
    enum class Kind {
        None,             // no failure recorded
        NoSuchDevice,     // the device (or the link to it) does not exist
        PermissionDenied, // this user may not open the device
        Busy,             // another program holds it (Qt's lock file, or the device itself)
        Lost,             // it was open and went away (unplugged, far end closed; a
                          // device server that closed or reset the connection)
        Other,
        // A network line (tcp://HOST:PORT) only:
        Refused,          // nothing listens at that address (connection refused)
        HostNotFound,     // the host name could not be looked up
        NoAnswer,         // no connection within the connect time
        BadAddress,       // the name is not of the form tcp://HOST:PORT
    };

    Kind kind = Kind::None;
    QString device;       // the device as it was opened
    QString reason;       // the system's words
    // The error as the control had it: QSerialPort's SerialPortError, or on Windows
    // the Win32 error code (GetLastError).
    int error = 0;

    // PermissionDenied: the group that owns the device, whether the group may read and
    // write it, and whether this process already has that group.
    QString group;
    bool groupMayUse = false;
    bool inGroup = false;

    // NoAnswer: how long the open waited.
    int waitedMs = 0;

    // Busy: the program holding the lock, as its lock file names it (pid 0: unknown).
    qint64 holderPid = 0;
    QString holderName;

    // The case a remedy is chosen by, told once here for every wording.
    enum class Cause {
        None,
        NoSuchDevice,
        NoAccess,          // denied, and the device's group could not be read
        NotInGroup,        // denied; the group may use it and this user is not in it
        OwnerOnly,         // denied; not even the group may read and write it
        DeniedInGroup,     // denied although this user has the group
        Busy,
        Lost,
        Other,
        // A network line (tcp://HOST:PORT):
        LostConnection,    // the device server closed or reset the connection
        Refused,           // nothing listens at the address
        HostNotFound,
        NoAnswer,          // no connection within the connect time (waitedMs)
        BadAddress,        // not of the form tcp://HOST:PORT
        NetworkOther,      // any other failure of a network line
    };
    Cause cause() const;
};

// Classifies a failed open of `device`, or a failure of the open port, from a Win32
// error code (GetLastError) and its text. Windows ports are exclusive, so "access
// denied" means another program holds the port. Plain numbers: classified the same
// wherever it is built.
PortFailure classifyWin32PortFailure(const QString &device, quint32 error, const QString &reason);

#ifndef QZ_WIN32_SERIAL
#include <QSerialPort>

// Classifies a failed open of `device`, or a failure of the open port, from the error
// QSerialPort reported and its text. Looks at the device and its lock file at once, so
// call it right after the failure.
PortFailure classifyPortFailure(const QString &device, QSerialPort::SerialPortError error,
                                const QString &reason);
#endif
