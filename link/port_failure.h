#pragma once

#include <QString>
#include <QtGlobal>

// Why the port is closed: what the system said at the last open that failed, or when
// the line of an open port went away. Plain data, so requests can tell the operator.
struct PortFailure
{
    enum class Reason {
        None,             // nothing failed since the last good open
        NoDevice,         // the device is not there (or no port answers at that name)
        PermissionDenied, // this user may not read and write the device
        InUse,            // another program holds the device
        LineLost,         // the open line went away (adapter unplugged)
        Other,
    };

    Reason reason = Reason::None;
    int port = 0;             // n of COMn
    QString device = {};      // the device COMn stood for
    QString systemText = {};  // the system's own words
    QString group = {};       // PermissionDenied: the group that owns the device, when known
    qint64 holderPid = 0;     // InUse: the process holding the lock, when known
    QString lockFile = {};    // InUse: the lock file, when found
};

// One line for the closed-port warning: the port, its device, the reason and what the
// operator can do about it. Empty for Reason::None.
QString PortFailureText(const PortFailure &failure);

// The device port n stands for and whether it is there now, for the port dialog.
QString PortDeviceDescription(int n);
