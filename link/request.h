#pragma once

#include "link/module1.h"

#include <QByteArray>
#include <QByteArrayView>

class CommControl;

// What a request touches on the main window. The window implements it with its
// controls; tests with plain members.
class RequestView
{
public:
    virtual ~RequestView() = default;
    virtual void setTransmitText(const QByteArray &text) = 0; // cmdFormat
    virtual QByteArray transmitText() const = 0;              // cmdFormat, read back
    virtual void clearRecordsAndStatus() = 0;                  // Command3_Click
    virtual void clearReceiveLog() = 0;                        // txtRx emptied
    // The port is closed or the write failed: tell the operator.
    virtual void warnPortNotOpen() = 0;
};

// STX word " " operand ETX CR: the ten bytes of a command.
QByteArray BuildCommand(QByteArrayView word, QByteArrayView operand);

// The request sequence shared by "RDD ALL", "RDD NOW" and "CLR ALL". Returns false,
// after warning the operator and changing nothing, when the port is closed or the
// write fails.
bool SendCommand(Module1 &state, CommControl &port, RequestView &view,
                 QByteArrayView word, QByteArrayView operand);
