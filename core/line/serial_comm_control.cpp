#include "line/serial_comm_control.h"
#include "line/tcp_comm_control.h"

#include <QMetaObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimerEvent>
#include <QtGlobal>

#include <algorithm>

QString serialDevicePath(const QString &name)
{
#ifdef Q_OS_WIN
    return name;
#else
    // QSerialPort's own rule: a name that is not a path is a device under /dev. A
    // device server's tcp://HOST:PORT is no device at all and stays as it is.
    if (isNetworkDevice(name))
        return name;
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1String("./"))
        || name.startsWith(QLatin1String("../")))
        return name;
    return QStringLiteral("/dev/") + name;
#endif
}

QString portDeviceName(int n)
{
    if (n < 1)
        return {};
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(n);
#else
    const QString mapped = qEnvironmentVariable(qPrintable(QStringLiteral("QZ7310_COM%1").arg(n)));
    if (!mapped.isEmpty())
        return serialDevicePath(mapped);
    return QStringLiteral("/dev/ttyS%1").arg(n - 1);
#endif
}

std::optional<SerialSettings> parseSerialSettings(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return std::nullopt;

    SerialSettings s;

    const QString baud = parts[0].trimmed();
    if (baud.isEmpty())
        return std::nullopt;
    for (QChar c : baud) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    }
    bool ok = false;
    s.baudRate = baud.toInt(&ok);
    if (!ok || s.baudRate <= 0)
        return std::nullopt;

    const QString parity = parts[1].trimmed().toLower();
    if (parity == QLatin1String("n"))
        s.parity = SerialSettings::Parity::None;
    else if (parity == QLatin1String("e"))
        s.parity = SerialSettings::Parity::Even;
    else if (parity == QLatin1String("o"))
        s.parity = SerialSettings::Parity::Odd;
    else if (parity == QLatin1String("m"))
        s.parity = SerialSettings::Parity::Mark;
    else if (parity == QLatin1String("s"))
        s.parity = SerialSettings::Parity::Space;
    else
        return std::nullopt;

    const QString data = parts[2].trimmed();
    if (data == QLatin1String("5"))
        s.dataBits = 5;
    else if (data == QLatin1String("6"))
        s.dataBits = 6;
    else if (data == QLatin1String("7"))
        s.dataBits = 7;
    else if (data == QLatin1String("8"))
        s.dataBits = 8;
    else
        return std::nullopt;

    const QString stop = parts[3].trimmed();
    if (stop == QLatin1String("1"))
        s.stopBits = SerialSettings::StopBits::One;
    else if (stop == QLatin1String("1.5"))
        s.stopBits = SerialSettings::StopBits::OneAndHalf;
    else if (stop == QLatin1String("2"))
        s.stopBits = SerialSettings::StopBits::Two;
    else
        return std::nullopt;

    return s;
}

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

} // namespace

SerialCommControl::SerialCommControl(QObject *parent)
    : CommControl(parent), m_port(new QSerialPort(this))
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
    return m_port->isOpen() && !m_failed;
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

std::int16_t SerialCommControl::CommEvent() const
{
    return m_event;
}

QByteArray SerialCommControl::Input()
{
    QByteArray b = m_input;
    m_input.clear();
    return b;
}

QString SerialCommControl::device() const
{
    return m_device.isEmpty() ? portDeviceName(m_commPort) : serialDevicePath(m_device);
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
        m_lastFailure = classifyPortFailure(device, m_port->error(), m_port->errorString());
        // An open refused with an I/O error was never a line that went away: the name
        // is there but no port answers (a serial device without its hardware).
        if (m_lastFailure.kind == PortFailure::Kind::Lost)
            m_lastFailure.kind = PortFailure::Kind::NoSuchDevice;
    }
    m_port->clearError();
    if (!opened)
        return;

    m_lastFailure = PortFailure();
    m_failed = false;
    ++m_session;
    applyRts();
}

void SerialCommControl::closePort()
{
    endHold();
    ++m_quiet;
    m_port->close();
    --m_quiet;
    m_port->clearError();
    m_failed = false;
    ++m_session;
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
    for (char c : data)
        queueEvent(EventReceive, c);
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
    if (error == QSerialPort::NoError || m_failed)
        return;

    if (isPortFailure(error) && m_port->isOpen()) {
        // Report once and stop the port at once: from now on it reads as closed,
        // and the real close follows as soon as QSerialPort has returned.
        m_failed = true;
        m_lastFailure = classifyPortFailure(device(), error, m_port->errorString());
        const quint64 session = m_session;
        QMetaObject::invokeMethod(
            this,
            [this, session] {
                if (m_session == session && m_port->isOpen())
                    closePort();
            },
            Qt::QueuedConnection);
        queueEvent(std::int16_t(EventErrorBase + error));
        return;
    }

    if (m_quiet > 0 || !m_port->isOpen())
        return;
    queueEvent(std::int16_t(EventErrorBase + error));
}

void SerialCommControl::queueEvent(std::int16_t code, char byte)
{
    m_pending.push_back({code, byte});
    if (!m_deliveryQueued) {
        m_deliveryQueued = true;
        QMetaObject::invokeMethod(this, &SerialCommControl::deliverPending, Qt::QueuedConnection);
    }
}

void SerialCommControl::deliverPending()
{
    m_deliveryQueued = false;
    // Bytes already taken from the port are delivered even when a handler closes
    // or reopens the port part way through a burst: they did arrive on the line,
    // and the operator expects to see them. A handler that runs an event loop of
    // its own may deliver the rest from there; the shared queue keeps the order.
    QPointer<SerialCommControl> alive(this);
    while (!m_pending.empty()) {
        const PendingEvent ev = m_pending.front();
        m_pending.pop_front();
        m_event = ev.code;
        if (ev.code == EventReceive)
            m_input = QByteArray(1, ev.byte);
        else
            m_input.clear();
        emit OnComm();
        if (!alive)
            return;
    }
    m_input.clear();
}

#endif // QZ_WIN32_SERIAL
