#pragma once

#include "line/module1.h"
#include "line/port_failure.h"
#include "table/counter_table.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <array>

class CommControl;

// What the "CLR" button empties: the cleared table rows and Label5. Kept by a
// request before it clears them, so a write that fails can put them back.
struct RecordsAndStatus
{
    CounterTable::ClearedRowTexts records;
    QString status; // Label5
};

// What a request touches on the main window. The window implements it with its
// controls; tests with plain members.
class RequestView
{
public:
    virtual ~RequestView() = default;

    // cmdFormat: replaced by the command text, control characters included.
    virtual void setTransmitText(const QByteArray &text) = 0;
    // cmdFormat read back, unchanged; this is what goes on the line.
    virtual QByteArray transmitText() const = 0;

    // Command3_Click: rows 1..99 emptied (rows 0 and 100 kept), then Label5 emptied.
    virtual void clearRecordsAndStatus() = 0;
    // The current texts of rows 1..99 and Label5, taken before they are cleared.
    virtual RecordsAndStatus recordsAndStatus() const = 0;
    // Puts rows 1..99 and Label5 back as taken by recordsAndStatus().
    virtual void restoreRecordsAndStatus(const RecordsAndStatus &saved) = 0;

    // txtRx emptied.
    virtual void clearReceiveLog() = 0;

    // The port is closed or the write failed: tell the operator, modally, with this
    // text (title: the application title).
    virtual void warnPortNotOpen(const QString &text) = 0;
};

// The operator's warning when a command cannot be sent: the port is not open, where to
// choose one, and, when known, why port n is closed.
QString portNotOpenWarningText(const PortFailure &failure = {}, int port = 0);

// STX word " " operand ETX CR: the ten bytes of a command.
QByteArray buildCommand(QByteArrayView word, QByteArrayView operand);

// The request sequence shared by "RDD ALL", "RDD NOW" and "CLR ALL": cmdFormat set,
// rows 1..99 and Label5 emptied, cmdFormat's text written, txtRx emptied, reception
// reset. Returns false, after warning the operator and leaving everything as it was,
// when the port is closed or the write fails.
bool SendCommand(Module1 &state, CommControl &port, RequestView &view,
                 QByteArrayView word, QByteArrayView operand);
