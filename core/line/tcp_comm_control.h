#pragma once

#include "line/port_address.h"
#include "line/queued_comm_control.h"

#include <QAbstractSocket>
#include <QString>
#include <cstdint>

class QTcpSocket;

// The line to a serial device server in raw TCP mode, on QTcpSocket. The server holds
// the line settings; Settings is kept for the contract and has no effect, and RTS is
// accepted and ignored (raw TCP carries no modem lines).
//
// Opening waits for the connection, at most ConnectTimeoutMs for the name lookup and
// the handshakes together, so PortOpen reads true or false as soon as the write of it
// returns, as on a serial port. A name with several addresses gives each the time
// left shared by those still to try. No event is processed meanwhile: no handler can
// run in the middle of an open.
//
// Received bytes are delivered as QueuedCommControl delivers them; a server that
// sends faster than they are handled is held back by TCP itself (at most PendingLimit
// bytes in the socket and as many in the queue). A connection that the server closes
// or resets, or that stops answering (keepalive probes, and unacknowledged bytes, for
// a few seconds), is a lost line: the control closes it and reports it once, as
// LineFailedEvent, after every byte that arrived before it.
class TcpCommControl : public QueuedCommControl
{
    Q_OBJECT
public:
    static constexpr int ConnectTimeoutMs = 3000;
    // A silent connection is probed after a second, then every second; three
    // unanswered probes, or bytes sent and unacknowledged this long, end it.
    static constexpr int KeepAliveIdleS = 1;
    static constexpr int KeepAliveIntervalS = 1;
    static constexpr int KeepAliveProbes = 3;
    static constexpr int UnacknowledgedTimeoutMs = 4000;

    explicit TcpCommControl(QObject *parent = nullptr);
    ~TcpCommControl() override;

    void setCommPort(std::int16_t port) override { m_commPort = port; }
    void setSettings(const QString &settings) override;
    void setPortOpen(bool open) override;
    bool portOpen() const override;
    void setRTSEnable(bool enable) override { m_rts = enable; }
    bool Output(const QByteArray &bytes) override;

    // As SerialCommControl: an address to use instead of the one CommPort maps to.
    void setDevice(const QString &device) { m_device = device; }
    QString device() const;
    bool rtsEnable() const { return m_rts; }
    // For tests: a shorter wait than ConnectTimeoutMs.
    void setConnectTimeout(int ms) { m_connectTimeoutMs = ms; }
    int connectTimeout() const { return m_connectTimeoutMs; }

protected:
    void closeFailedLine() override { closeConnection(); }
    void readMore() override { onReadyRead(); }

private:
    void openConnection();
    void closeConnection();
    void keepAlive();
    void onReadyRead();
    void onError(QAbstractSocket::SocketError error);

    QTcpSocket *m_socket;
    std::int16_t m_commPort = 1;
    QString m_device;
    QString m_settings;
    bool m_rts = false;
    int m_connectTimeoutMs = ConnectTimeoutMs;

    bool m_connected = false;     // open, and not failed
};
