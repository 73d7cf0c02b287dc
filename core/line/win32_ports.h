#pragma once

#include <QList>
#include <QString>

// The COM ports Windows knows now, from its DOS device names (QueryDosDevice), not
// from the registry. Windows only.
struct Win32Port
{
    QString name;   // "COM3"
    QString target; // what stands behind it, e.g. "\Device\Serial0" or a USB adapter's device
};

// Every COMn, in port-number order.
QList<Win32Port> win32SerialPorts();

// The device behind `name` ("COM1"); empty when there is no such port.
QString win32PortTarget(const QString &name);
