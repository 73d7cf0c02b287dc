#pragma once

#include "line/comm_control.h"
#include "line/port_address.h"
#include "line/serial_comm_control.h"
#include "line/tcp_comm_control.h"

#include <QString>
#include <cstdint>

// The control the programs hold: one CommControl whose line is chosen by the device
// name at each open. "tcp://HOST:PORT" opens a connection to a serial device server
// (TcpCommControl); any other name a serial port (SerialCommControl). Callers see one
// contract whichever line is behind it: OnComm, CommEvent and Input pass through
// unchanged, one notification per byte from the event loop; lastFailure is the
// reason of the line last opened.
class LineCommControl : public CommControl
{
    Q_OBJECT
public:
    explicit LineCommControl(QObject *parent = nullptr);
    ~LineCommControl() override;

    void setCommPort(std::int16_t port) override;
    void setSettings(const QString &settings) override;
    void setPortOpen(bool open) override;
    bool portOpen() const override;
    void setRTSEnable(bool enable) override;
    bool Output(const QByteArray &bytes) override;
    std::int16_t CommEvent() const override { return m_event; }
    QByteArray Input() override;
    PortFailure lastFailure() const override;
    int readHoldMs() const override { return m_line->readHoldMs(); }

    // A device to open instead of the one CommPort maps to (a path or a tcp:// address);
    // empty: the mapping again. Takes effect at the next open.
    void setDevice(const QString &device);
    // The device the next open uses, and what it is.
    QString device() const { return address().device(); }
    PortAddress address() const { return PortAddress::of(m_commPort, m_device); }
    // Whether the line last opened (or tried) is the network one.
    bool onNetwork() const;

    SerialCommControl &serial() { return *m_serial; }
    TcpCommControl &network() { return *m_network; }

private:
    void forward(CommControl *line);

    SerialCommControl *m_serial;
    TcpCommControl *m_network;
    CommControl *m_line;          // the line last opened; the serial one at first
    std::int16_t m_commPort = 1;
    QString m_device;
    std::int16_t m_event = 0;
    QByteArray m_input;
};
