#pragma once

#include "line/comm_control.h"
#include "line/port_failure.h"
#include "line/serial_comm_control.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <deque>
#include <memory>

class QWinEventNotifier;

// The serial control on Win32, for Windows builds without Qt SerialPort.
//
// Everything runs on the GUI thread. The port is opened overlapped; one read is always
// pending, with ReadIntervalTimeout 1 and no total timeouts, so it completes as soon as
// bytes have come and the line pauses. Its event is watched by a QWinEventNotifier;
// writes go out the same way, queued while one is under way. As on Linux, each received
// byte reaches OnComm on its own from the event loop, and a line that fails is closed
// once and reported once (EventErrorBase + 9, the code QSerialPort's ResourceError has
// on Linux), its reason in lastFailure().
class Win32CommControl : public CommControl
{
    Q_OBJECT
public:
    // The event of a failed line: the number QSerialPort gives ResourceError.
    static constexpr std::int16_t LineFailedEvent = EventErrorBase + 9;

    explicit Win32CommControl(QObject *parent = nullptr);
    ~Win32CommControl() override;

    void setCommPort(std::int16_t port) override;
    void setSettings(const QString &settings) override;
    void setPortOpen(bool open) override;
    bool portOpen() const override;
    void setRTSEnable(bool enable) override;
    bool Output(const QByteArray &bytes) override;
    std::int16_t CommEvent() const override;
    QByteArray Input() override;

    std::int16_t commPort() const { return m_commPort; }
    // A device to open instead of COMn ("COM7", or "\\.\COM7"); empty: the mapping
    // again. Takes effect at the next open.
    void setDevice(const QString &device) { m_device = device; }
    QString device() const;
    PortFailure lastFailure() const override { return m_lastFailure; }
    SerialSettings settings() const { return m_settings; }
    bool rtsEnable() const { return m_rts; }

private:
    struct Io; // the handle, the two overlapped operations and their buffers
    struct PendingEvent
    {
        std::int16_t code;
        char byte;
    };

    void openPort();
    void closePort();
    bool writeLineSettings();
    void applyRts();
    void startRead();
    void onReadDone();
    void startWrite();
    void onWriteDone();
    void fail(unsigned long error);
    void queueEvent(std::int16_t code, char byte = 0);
    void deliverPending();

    std::unique_ptr<Io> m_io;          // null while closed
    QWinEventNotifier *m_readNotifier = nullptr;
    QWinEventNotifier *m_writeNotifier = nullptr;
    QByteArray m_toWrite;              // waiting until the write under way is done

    std::int16_t m_commPort = 1;
    QString m_device;
    PortFailure m_lastFailure;
    SerialSettings m_settings;
    bool m_rts = false;
    bool m_failed = false;             // the open port failed; its close is on its way
    quint64 m_session = 0;             // changes at every open and close

    std::deque<PendingEvent> m_pending;
    bool m_deliveryQueued = false;
    std::int16_t m_event = 0;
    QByteArray m_input;
};
