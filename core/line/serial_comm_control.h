#pragma once

#include "line/comm_control.h"
#include "line/port_failure.h"

#include <QString>
#include <cstdint>
#include <deque>
#include <optional>

class QSocketNotifier;

// The device QSerialPort opens for a port name: elsewhere than on Windows a name
// that does not start with "/", "./" or "../" is a device under /dev ("ttyUSB0"
// opens /dev/ttyUSB0); a network line, tcp://HOST:PORT, stays as it is. Whoever
// judges or shows the device looks at this path.
QString serialDevicePath(const QString &name);

// The device that port n (COMn) stands for: "COMn" on Windows; elsewhere the
// environment variable QZ7310_COMn when it is set and not empty (as
// serialDevicePath makes it), else /dev/ttyS{n-1}. An empty name for n < 1, which
// names no port.
QString portDeviceName(int n);

// Line settings in the "9600,n,8,1" form: baud rate, parity (n, e, o, m, s),
// data bits (5 to 8), stop bits (1, 1.5, 2).
// Our own types, so that a build without Qt SerialPort (Windows) has them too.
struct SerialSettings
{
    enum class Parity { None, Even, Odd, Mark, Space };
    enum class StopBits { One, OneAndHalf, Two };

    qint32 baudRate = 9600;
    Parity parity = Parity::None;
    int dataBits = 8;
    StopBits stopBits = StopBits::One;

    friend bool operator==(const SerialSettings &, const SerialSettings &) = default;
};

// Nothing when the text is not a valid setting.
std::optional<SerialSettings> parseSerialSettings(const QString &text);

#ifdef QZ_WIN32_SERIAL
// Windows without Qt SerialPort: our own control on Win32 is the serial control.
#include "line/win32_comm_control.h"
class Win32CommControl;
using SerialCommControl = Win32CommControl;
#else

#include <QBasicTimer>
#include <QElapsedTimer>
#include <QPointer>
#include <QSerialPort>

// The serial control on a real port (QSerialPort).
//
// Notifications are delivered from the event loop, never from inside QSerialPort's
// own signal emissions, so a handler may close, reopen or write to the port freely.
// A port that fails (the device went away) is closed by the control and the failure
// is reported once, as an event of EventErrorBase + the QSerialPort error code.
//
// A line that trickles (a UART hands over one byte per millisecond at 9600 baud) is
// not read at every byte: after a read that follows the previous one within
// readHoldMs(), the port is not looked at again for readHoldMs(), and what came in
// meanwhile is taken in one read. Each byte is still its own OnComm, in order; the
// first byte after a quiet line is read at once, and nothing runs on a quiet line.
class SerialCommControl : public CommControl
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
    std::int16_t CommEvent() const override;
    QByteArray Input() override;

    std::int16_t commPort() const { return m_commPort; }
    // A device to open instead of the one CommPort maps to (a program given a device
    // path); empty: the mapping again. Takes effect at the next open.
    void setDevice(const QString &device) { m_device = device; }
    // The device the next open uses.
    QString device() const;
    // Why the last open failed, or why the open port failed; Kind::None after a
    // successful open.
    PortFailure lastFailure() const override { return m_lastFailure; }
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

private:
    struct PendingEvent
    {
        std::int16_t code;
        char byte;
    };

    void openPort();
    void closePort();
    void applySettings();
    void writeLineSettings();
    void applyRts();
    void onReadyRead();
    void onError(QSerialPort::SerialPortError error);
    void queueEvent(std::int16_t code, char byte = 0);
    void deliverPending();
    void holdReads();
    void endHold();
    QSocketNotifier *readNotifier() const;

    QSerialPort *m_port;
    std::int16_t m_commPort = 1;
    QString m_device;
    PortFailure m_lastFailure;
    SerialSettings m_settings;
    bool m_rts = false;

    // Events waiting for delivery, oldest first.
    std::deque<PendingEvent> m_pending;
    bool m_deliveryQueued = false;
    std::int16_t m_event = 0;
    QByteArray m_input;

    int m_quiet = 0;              // > 0 while opening or writing line properties
    bool m_failed = false;        // the open port failed; its close is on its way
    quint64 m_session = 0;        // changes at every open and close

    int m_readHoldMs = DefaultReadHoldMs;
    QElapsedTimer m_sinceRead;    // since the last read that took bytes
    QBasicTimer m_hold;
    int m_readHolds = 0;
    QPointer<QSocketNotifier> m_heldNotifier;
};

#endif // QZ_WIN32_SERIAL
