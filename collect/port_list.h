#pragma once

#include <QString>

// What --list-ports prints: the serial devices the system has (path, description,
// maker, serial number, stable /dev/serial/by-id/ name), the COM1 to COM4 mapping the
// window uses with whether each device exists, and how to point a port elsewhere.
QString portListText();
