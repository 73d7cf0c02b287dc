#pragma once

#include "csv/durable_file.h"
#include "line/port_failure.h"

#include <QString>

// The collector's one-line explanation of a port that would not open: the device,
// the system's reason and the likely remedy. `label` names the port as the user gave
// it, e.g. "COM1 (/dev/ttyS0)".
QString portOpenFailureText(const QString &label, const PortFailure &failure);

// The reason an open port stopped working, for the middle of a message.
QString portLostText(const PortFailure &failure);

// Why a file could not be written (or a folder take a new file), for the middle of a
// message.
QString fileFailureText(const FileWriteFailure &failure);
