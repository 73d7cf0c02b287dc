#include "line/serial_comm_control.h"

#include <QSocketNotifier>
#include <QTimerEvent>
#include <QtGlobal>

#include <algorithm>

#ifndef QZ_WIN32_SERIAL

namespace {

QSerialPort::Parity qtParity(SerialSettings::Parity p)
{
    switch (p) {
    case SerialSettings::Parity::None:
        break;
    case SerialSettings::Parity::Even:
        return QSerialPort::EvenParity;
    case SerialSettings::Parity::Odd:
        return QSerialPort::OddParity;
    case SerialSettings::Parity::Mark:
        return QSerialPort::MarkParity;
    case SerialSettings::Parity::Space:
        return QSerialPort::SpaceParity;
    }
    return QSerialPort::NoParity;
}

QSerialPort::StopBits qtStopBits(SerialSettings::StopBits b)
{
    switch (b) {
    case SerialSettings::StopBits::One:
        break;
    case SerialSettings::StopBits::OneAndHalf:
        return QSerialPort::OneAndHalfStop;
    case SerialSettings::StopBits::Two:
        return QSerialPort::TwoStop;
    }
    return QSerialPort::OneStop;
}

// Errors after which the device is of no more use: the line went away.
// Qt keeps raising ReadError at full speed on such a port until it is closed.
bool isPortFailure(QSerialPort::SerialPortError e)
{
    return e == QSerialPort::ResourceError || e == QSerialPort::ReadError
        || e == QSerialPort::WriteError;
}

static_assert(CommControl::LineFailedEvent == CommControl::EventErrorBase + QSerialPort::ResourceError);

} // namespace

SerialCommControl::SerialCommControl(QObject *parent)
    : QueuedCommControl(parent), m_port(new QSerialPort(this))
{
    connect(m_port, &QSerialPort::readyRead, this, &SerialCommControl::onReadyRead);
    connect(m_port, &QSerialPort::errorOccurred, this, &SerialCommControl::onError);
}

SerialCommControl::~SerialCommControl()
{
    // Closing here, while the members are still whole, keeps the error slot
    // from running on a half-destroyed object.
    m_port->disconnect(this);
    if (m_port->isOpen())
        m_port->close();
}

void SerialCommControl::setCommPort(std::int16_t port)
{
    // Takes effect at the next open, as with the original control.
    m_commPort = port;
}

void SerialCommControl::setSettings(const QString &settings)
{
    const std::optional<SerialSettings> parsed = parseSerialSettings(settings);
    if (!parsed)
        return;
    m_settings = *parsed;
    if (portOpen())
        applySettings();
}

void SerialCommControl::setPortOpen(bool open)
{
    if (open) {
        // Already open: a new CommPort or device takes effect at the next reopen.
        if (portOpen())
            return;
        // A failed port whose close is still on its way: finish it first.
        if (m_port->isOpen())
            closePort();
        openPort();
    } else if (m_port->isOpen()) {
        closePort();
    }
}

bool SerialCommControl::portOpen() const
{
    return m_port->isOpen() && !lineHasFailed();
}

void SerialCommControl::setRTSEnable(bool enable)
{
    m_rts = enable;
    if (portOpen())
        applyRts();
}

bool SerialCommControl::Output(const QByteArray &bytes)
{
    if (!portOpen())
        return false;
    // QSerialPort buffers the bytes and sends them from the event loop, so this
    // never waits for the line. A short count cannot be taken back; it is reported
    // as a failure all the same.
    return m_port->write(bytes) == bytes.size();
}

QString SerialCommControl::device() const
{
    return PortAddress::of(m_commPort, m_device).device();
}

void SerialCommControl::openPort()
{
    const QString device = this->device();
    if (device.isEmpty())
        return;

    ++m_quiet;
    m_port->setPortName(device);
    writeLineSettings();
    m_port->setFlowControl(QSerialPort::NoFlowControl);
    // No such device, port in use, no permission: the port simply stays closed.
    const bool opened = m_port->open(QIODevice::ReadWrite);
    --m_quiet;
    if (!opened) {
        PortFailure failure = classifyPortFailure(device, m_port->error(), m_port->errorString());
        // An open refused with an I/O error was never a line that went away: the name
        // is there but no port answers (a serial device without its hardware).
        if (failure.kind == PortFailure::Kind::Lost)
            failure.kind = PortFailure::Kind::NoSuchDevice;
        setLastFailure(failure);
    }
    m_port->clearError();
    if (!opened)
        return;

    setLastFailure({});
    startSession();
    applyRts();
}

void SerialCommControl::closePort()
{
    endHold();
    ++m_quiet;
    m_port->close();
    --m_quiet;
    m_port->clearError();
    startSession();
}

void SerialCommControl::closeFailedLine()
{
    if (m_port->isOpen())
        closePort();
}

void SerialCommControl::applySettings()
{
    ++m_quiet;
    writeLineSettings();
    --m_quiet;
    m_port->clearError();
}

void SerialCommControl::writeLineSettings()
{
    m_port->setBaudRate(m_settings.baudRate);
    m_port->setParity(qtParity(m_settings.parity));
    m_port->setDataBits(QSerialPort::DataBits(m_settings.dataBits)); // Data5..Data8 are 5..8
    m_port->setStopBits(qtStopBits(m_settings.stopBits));
}

void SerialCommControl::applyRts()
{
    // A line without modem signals (a pseudo-terminal) refuses RTS with
    // UnsupportedOperationError; the data still flows, so that is no error here.
    ++m_quiet;
    m_port->setRequestToSend(m_rts);
    --m_quiet;
    m_port->clearError();
}

void SerialCommControl::onReadyRead()
{
    // Take everything the port holds now; the handlers run later, from the event
    // loop, so QSerialPort is never closed from inside its own notification.
    const QByteArray data = m_port->readAll();
    queueReceived(data);
    if (data.isEmpty())
        return;
    // Bytes one after the other at about a UART's pace (this read came soon after the
    // last one, a hold included, and took no more than two bytes a millisecond): let a
    // few more come before looking again. A reply's first bytes, a frame handed over
    // whole and a burst faster than the line (a pseudo-terminal) are read at once.
    const qint64 since = m_sinceRead.isValid() ? m_sinceRead.elapsed() : -1;
    const bool trickling = since >= 0 && since < 2 * qint64(m_readHoldMs) && data.size() <= 2 * (since + 1);
    m_sinceRead.start();
    if (trickling)
        holdReads();
}

void SerialCommControl::setReadHoldMs(int ms)
{
    m_readHoldMs = std::max(0, ms);
    if (m_readHoldMs == 0)
        endHold();
}

// QSerialPort watches its descriptor with a QSocketNotifier of its own; where it has
// none (another platform, another Qt), reads simply are not held.
QSocketNotifier *SerialCommControl::readNotifier() const
{
#ifdef Q_OS_UNIX
    const auto notifiers = m_port->findChildren<QSocketNotifier *>(Qt::FindDirectChildrenOnly);
    for (QSocketNotifier *n : notifiers) {
        if (n->type() == QSocketNotifier::Read && n->isEnabled() && n->socket() == m_port->handle())
            return n;
    }
#endif
    return nullptr;
}

void SerialCommControl::holdReads()
{
    if (m_readHoldMs <= 0 || m_hold.isActive())
        return;
    QSocketNotifier *notifier = readNotifier();
    if (!notifier)
        return;
    notifier->setEnabled(false);
    m_heldNotifier = notifier;
    m_hold.start(m_readHoldMs, Qt::PreciseTimer, this);
    ++m_readHolds;
}

void SerialCommControl::endHold()
{
    m_hold.stop();
    // Whatever came in meanwhile makes the notifier fire in this same pass of the
    // event loop; a quiet line leaves it waiting and nothing else armed.
    if (m_heldNotifier)
        m_heldNotifier->setEnabled(true);
    m_heldNotifier = nullptr;
}

void SerialCommControl::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_hold.timerId()) {
        endHold();
        return;
    }
    CommControl::timerEvent(event);
}

void SerialCommControl::onError(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::NoError || lineHasFailed())
        return;

    if (isPortFailure(error) && m_port->isOpen()) {
        // Qt goes on raising the error until the port is closed: once is enough.
        lineFailed(classifyPortFailure(device(), error, m_port->errorString()),
                   std::int16_t(EventErrorBase + error));
        return;
    }

    if (m_quiet > 0 || !m_port->isOpen())
        return;
    queueEvent(std::int16_t(EventErrorBase + error));
}

#endif // QZ_WIN32_SERIAL
