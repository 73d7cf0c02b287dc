#pragma once

#include <QList>
#include <QString>

// The COM ports Windows knows now, from its DOS device names (QueryDosDevice), and the
// names Device Manager shows for them (SetupAPI's device list). Settings are never read
// from the registry. Windows only.
struct Win32Port
{
    QString name;         // "COM3"
    QString target;       // what stands behind it, e.g. "\Device\Serial0" or a USB adapter's device
    QString friendlyName; // "USB Serial Port (COM3)"; empty where the device list has none (Wine)
};

// Every COMn, in port-number order.
QList<Win32Port> win32SerialPorts();

// The port `name` ("COM7" or "\\.\COM7"), with the name as given; its target is empty
// when there is no such port.
Win32Port win32Port(const QString &name);
