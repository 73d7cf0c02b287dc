#pragma once

#include "line/port_address.h"
#include "line/queued_comm_control.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>

class QWinEventNotifier;

// The serial control on Win32, for Windows builds without Qt SerialPort.
//
// Everything runs on the GUI thread. The port is opened overlapped; one read is always
// pending, with ReadIntervalTimeout 1 and no total timeouts, so it completes as soon as
// bytes have come and the line pauses. Its event is watched by a QWinEventNotifier;
// writes go out the same way, queued while one is under way. Received bytes are
// delivered as QueuedCommControl delivers them, and a line that fails is closed once
// and reported once (LineFailedEvent), its reason in lastFailure().
class Win32CommControl : public QueuedCommControl
{
    Q_OBJECT
public:
    explicit Win32CommControl(QObject *parent = nullptr);
    ~Win32CommControl() override;

    void setCommPort(std::int16_t port) override;
    void setSettings(const QString &settings) override;
    void setPortOpen(bool open) override;
    bool portOpen() const override;
    void setRTSEnable(bool enable) override;
    bool Output(const QByteArray &bytes) override;

    std::int16_t commPort() const { return m_commPort; }
    // A device to open instead of COMn ("COM7", or "\\.\COM7"); empty: the mapping
    // again. Takes effect at the next open.
    void setDevice(const QString &device) { m_device = device; }
    QString device() const;
    SerialSettings settings() const { return m_settings; }
    bool rtsEnable() const { return m_rts; }

protected:
    void closeFailedLine() override;

private:
    struct Io; // the handle, the two overlapped operations and their buffers

    void openPort();
    void closePort();
    bool writeLineSettings();
    void applyRts();
    void startRead();
    void onReadDone();
    void startWrite();
    void onWriteDone();
    void fail(unsigned long error);

    std::unique_ptr<Io> m_io;          // null while closed
    QWinEventNotifier *m_readNotifier = nullptr;
    QWinEventNotifier *m_writeNotifier = nullptr;
    QByteArray m_toWrite;              // waiting until the write under way is done

    std::int16_t m_commPort = 1;
    QString m_device;
    SerialSettings m_settings;
    bool m_rts = false;
};

#ifdef QZ_WIN32_SERIAL
// Windows without Qt SerialPort: this is the serial control.
using SerialCommControl = Win32CommControl;
#endif
