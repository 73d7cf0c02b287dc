#pragma once

#include "line/comm_control.h"
#include "line/port_failure.h"

#include <QAbstractSocket>
#include <QString>
#include <cstdint>
#include <deque>
#include <optional>

class QTcpSocket;

// A serial device server's raw TCP port, named "tcp://HOST:PORT" wherever a device is
// named; an IPv6 literal goes in brackets ("tcp://[::1]:4001").
struct NetworkAddress
{
    QString host;       // without brackets
    quint16 port = 0;

    // "HOST port PORT", for messages.
    QString text() const;
};

// Whether `device` names a network line (it starts with "tcp://", any case), well
// formed or not.
bool isNetworkDevice(const QString &device);

// Nothing when `device` is not a well-formed "tcp://HOST:PORT" (port 1 to 65535,
// nothing after the port).
std::optional<NetworkAddress> parseNetworkAddress(const QString &device);

// The line to a serial device server in raw TCP mode, on QTcpSocket. The server holds
// the line settings; Settings is kept for the contract and has no effect, and RTS is
// accepted and ignored (raw TCP carries no modem lines).
//
// Opening waits for the connection, at most ConnectTimeoutMs for the name lookup and
// the handshake together, so PortOpen reads true or false as soon as the write of it
// returns, as on a serial port. No event is processed meanwhile: no handler can run in
// the middle of an open.
//
// Received bytes are delivered from the event loop, one OnComm each, never from inside
// QTcpSocket's own signals. A connection that the server closes or resets is a lost
// line: the control closes it and reports it once, as an event of EventErrorBase +
// QSerialPort::ResourceError (the code of an unplugged adapter), after every byte that
// arrived before it.
class TcpCommControl : public CommControl
{
    Q_OBJECT
public:
    static constexpr int ConnectTimeoutMs = 3000;

    explicit TcpCommControl(QObject *parent = nullptr);
    ~TcpCommControl() override;

    void setCommPort(std::int16_t port) override { m_commPort = port; }
    void setSettings(const QString &settings) override;
    void setPortOpen(bool open) override;
    bool portOpen() const override;
    void setRTSEnable(bool enable) override { m_rts = enable; }
    bool Output(const QByteArray &bytes) override;
    std::int16_t CommEvent() const override { return m_event; }
    QByteArray Input() override;
    PortFailure lastFailure() const override { return m_lastFailure; }

    // As SerialCommControl: an address to use instead of the one CommPort maps to.
    void setDevice(const QString &device) { m_device = device; }
    QString device() const;
    bool rtsEnable() const { return m_rts; }
    // For tests: a shorter wait than ConnectTimeoutMs.
    void setConnectTimeout(int ms) { m_connectTimeoutMs = ms; }
    int connectTimeout() const { return m_connectTimeoutMs; }

private:
    struct PendingEvent
    {
        std::int16_t code;
        char byte;
    };

    void openConnection();
    void closeConnection();
    void onReadyRead();
    void onError(QAbstractSocket::SocketError error);
    void queueEvent(std::int16_t code, char byte = 0);
    void deliverPending();

    QTcpSocket *m_socket;
    std::int16_t m_commPort = 1;
    QString m_device;
    QString m_settings;
    PortFailure m_lastFailure;
    bool m_rts = false;
    int m_connectTimeoutMs = ConnectTimeoutMs;

    std::deque<PendingEvent> m_pending;
    bool m_deliveryQueued = false;
    std::int16_t m_event = 0;
    QByteArray m_input;

    bool m_connected = false;     // open, and not failed
    quint64 m_session = 0;        // changes at every open and close
};
