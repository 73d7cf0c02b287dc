#pragma once

#include "line/port_failure.h"

#include <QString>

// The window's words for why port n (COMn) is closed: one line with the port, its
// device, the system's reason and what the operator can do about it. Empty when
// nothing failed.
QString portFailureLine(int port, const PortFailure &failure);

// The device port n stands for and whether it is there now, for the port dialog.
QString portDeviceDescription(int n);
