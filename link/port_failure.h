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
        Lost,             // it was open and went away (unplugged, far end closed)
        Other,
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

    // Busy: the program holding the lock, as its lock file names it (pid 0: unknown).
    qint64 holderPid = 0;
    QString holderName;
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
