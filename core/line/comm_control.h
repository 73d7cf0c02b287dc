#pragma once

#include "line/port_failure.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>

// The serial communications control as the windows see it. Members keep the names
// the rest of the program uses for them; an implementation on a real port and a
// scripted double for tests both follow this contract:
//  - OnComm is emitted on the GUI thread, once per received byte, in arrival order,
//    with CommEvent() == EventReceive and Input() yielding exactly that byte;
//  - other events (errors) are emitted with codes of EventErrorBase and up; a line
//    that failed (unplugged, closed by its far end, a lost connection) is reported
//    once, as LineFailedEvent or, on QSerialPort, the code of its own error;
//  - Output writes the bytes as given and returns without waiting for an answer;
//  - RTSEnable may be written whether the port is open or not;
//  - lastFailure says why the port is closed, where the implementation knows it.
class CommControl : public QObject
{
    Q_OBJECT
public:
    static constexpr std::int16_t EventReceive = 2;
    static constexpr std::int16_t EventErrorBase = 1000;
    // A line that went away, whichever line it was: the number Qt 6's QSerialPort
    // gives ResourceError (an unplugged adapter).
    static constexpr std::int16_t LineFailedEvent = EventErrorBase + 6;

    using QObject::QObject;
    ~CommControl() override = default;

    virtual void setCommPort(std::int16_t port) = 0;       // CommPort
    virtual void setSettings(const QString &settings) = 0; // Settings, e.g. "9600,n,8,1"
    virtual void setPortOpen(bool open) = 0;               // PortOpen (write)
    virtual bool portOpen() const = 0;                     // PortOpen (read)
    virtual void setRTSEnable(bool enable) = 0;            // RTSEnable
    virtual bool Output(const QByteArray &bytes) = 0;      // false: nothing could be written
    virtual std::int16_t CommEvent() const = 0;
    virtual QByteArray Input() = 0;

    // Why the port is closed: the last open that failed, or the line lost since the
    // last good open. Reason::None when nothing is known.
    virtual PortFailure lastFailure() const { return {}; }

    // How much later than it came a byte may reach OnComm (a line read in batches);
    // whoever times the line's silences allows for it.
    virtual int readHoldMs() const { return 0; }

signals:
    void OnComm();
};
