#pragma once

#include "line/port_address.h"
#include "line/queued_comm_control.h"

#include <QString>
#include <cstdint>

#ifdef QZ_WIN32_SERIAL
// Windows without Qt SerialPort: our own control on Win32 is the serial control.
#include "line/win32_comm_control.h"
#else

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QPointer>
#include <QSerialPort>

class QSocketNotifier;

// The serial control on a real port (QSerialPort).
//
// Notifications are delivered as QueuedCommControl delivers them. A port that fails
// (the device went away) is closed by the control and the failure is reported once,
// as an event of EventErrorBase + the QSerialPort error code. A serial line cannot
// outrun the delivery, so everything the port has is always taken.
//
// A line that trickles (a UART hands over one byte per millisecond at 9600 baud) is
// not read at every byte: after a read that follows the previous one within
// readHoldMs(), the port is not looked at again for readHoldMs(), and what came in
// meanwhile is taken in one read. Each byte is still its own OnComm, in order; the
// first byte after a quiet line is read at once, and nothing runs on a quiet line.
class SerialCommControl : public QueuedCommControl
{
    Q_OBJECT
public:
    // Long enough to take several bytes of a 9600-baud line per read (a byte every
    // 1.04 ms), short enough that the last byte of a burst still reaches the screen
    // within a display frame, and well under the collector's shortest quiet time.
    static constexpr int DefaultReadHoldMs = 5;

    explicit SerialCommControl(QObject *parent = nullptr);
    ~SerialCommControl() override;

    void setCommPort(std::int16_t port) override;
    void setSettings(const QString &settings) override;
    void setPortOpen(bool open) override;
    bool portOpen() const override;
    void setRTSEnable(bool enable) override;
    bool Output(const QByteArray &bytes) override;

    std::int16_t commPort() const { return m_commPort; }
    // A device to open instead of the one CommPort maps to (a program given a device
    // path); empty: the mapping again. Takes effect at the next open.
    void setDevice(const QString &device) { m_device = device; }
    // The device the next open uses.
    QString device() const;
    SerialSettings settings() const { return m_settings; }
    bool rtsEnable() const { return m_rts; }

    // How long the port is left unread after a read while bytes trickle in; 0 reads
    // at every notification. A byte may reach OnComm up to this much later than it
    // came, so whoever times the line's silences allows for it.
    int readHoldMs() const override { return m_readHoldMs; }
    void setReadHoldMs(int ms);
    // A read is being held off (a timer runs until it is over).
    bool isReadHeld() const { return m_hold.isActive(); }
    // Holds begun since the control was made: a burst faster than the line begins none.
    int readHolds() const { return m_readHolds; }

protected:
    void timerEvent(QTimerEvent *event) override;
    void closeFailedLine() override;

private:
    void openPort();
    void closePort();
    void applySettings();
    void writeLineSettings();
    void applyRts();
    void onReadyRead();
    void onError(QSerialPort::SerialPortError error);
    void holdReads();
    void endHold();
    QSocketNotifier *readNotifier() const;

    QSerialPort *m_port;
    std::int16_t m_commPort = 1;
    QString m_device;
    SerialSettings m_settings;
    bool m_rts = false;

    int m_quiet = 0;              // > 0 while opening or writing line properties

    int m_readHoldMs = DefaultReadHoldMs;
    QElapsedTimer m_sinceRead;    // since the last read that took bytes
    QBasicTimer m_hold;
    int m_readHolds = 0;
    QPointer<QSocketNotifier> m_heldNotifier;
};

#endif // QZ_WIN32_SERIAL
