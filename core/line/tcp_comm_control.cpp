#include "line/tcp_comm_control.h"
#include "line/serial_comm_control.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QMetaObject>
#include <QPointer>
#ifndef QZ_WIN32_SERIAL
#include <QSerialPort>
#endif
#include <QTcpSocket>
#include <QUrl>

#ifdef Q_OS_UNIX
#include <netdb.h>
#include <sys/socket.h>
#endif

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

QString NetworkAddress::text() const
{
    return QStringLiteral("%1 port %2").arg(host).arg(port);
}

bool isNetworkDevice(const QString &device)
{
    return device.startsWith(QLatin1String("tcp://"), Qt::CaseInsensitive);
}

std::optional<NetworkAddress> parseNetworkAddress(const QString &device)
{
    if (!isNetworkDevice(device))
        return std::nullopt;
    const QUrl url(device, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty() || url.hasQuery()
        || url.hasFragment() || !(url.path().isEmpty() || url.path() == QLatin1String("/")))
        return std::nullopt;
    // QUrl takes "tcp://host:" and "tcp://host" as having no port; a device server
    // has no default one.
    const int port = url.port(-1);
    if (port < 1 || port > 65535)
        return std::nullopt;
    return NetworkAddress {url.host(), quint16(port)};
}

namespace {

PortFailure failure(PortFailure::Kind kind, const QString &device, const QString &reason)
{
    PortFailure f;
    f.kind = kind;
    f.device = device;
    f.reason = reason;
    return f;
}

// The host's addresses, or why there are none. The lookup runs on a thread of its
// own so that it too ends at the deadline: the system's resolver may take far longer
// than the connect time when no name server answers. A lookup still running then is
// left to finish on its own; it touches nothing but its own shared state (plain
// getaddrinfo, no Qt), so it may outlive the control and even the program's exit.
struct Lookup
{
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    QList<QHostAddress> addresses;
    QString error;
};

std::shared_ptr<Lookup> lookUp(const QString &host, const QDeadlineTimer &deadline)
{
    auto lookup = std::make_shared<Lookup>();
#ifdef Q_OS_UNIX
    std::thread([lookup, name = host.toUtf8()] {
        addrinfo hints {};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *found = nullptr;
        const int error = ::getaddrinfo(name.constData(), nullptr, &hints, &found);
        QList<QHostAddress> addresses;
        for (const addrinfo *a = found; a; a = a->ai_next) {
            const QHostAddress address(a->ai_addr);
            if (!address.isNull() && !addresses.contains(address))
                addresses << address;
        }
        if (found)
            ::freeaddrinfo(found);
        const std::lock_guard<std::mutex> lock(lookup->mutex);
        lookup->addresses = addresses;
        if (error != 0)
            lookup->error = QString::fromLocal8Bit(::gai_strerror(error));
        lookup->finished = true;
        lookup->done.notify_all();
    }).detach();
#else
    // No bounded lookup here: Qt's own, which waits for the resolver.
    const QHostInfo info = QHostInfo::fromName(host);
    lookup->addresses = info.addresses();
    lookup->error = info.errorString();
    lookup->finished = true;
#endif
    std::unique_lock<std::mutex> lock(lookup->mutex);
    if (!lookup->done.wait_for(lock, std::chrono::milliseconds(qMax<qint64>(0, deadline.remainingTime())),
                               [&] { return lookup->finished; }))
        return nullptr;
    return lookup;
}

} // namespace

TcpCommControl::TcpCommControl(QObject *parent)
    : CommControl(parent), m_socket(new QTcpSocket(this))
{
    connect(m_socket, &QTcpSocket::readyRead, this, &TcpCommControl::onReadyRead);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &TcpCommControl::onError);
    // A server that ends the connection cleanly raises RemoteHostClosedError first;
    // this is for a close that comes without one.
    connect(m_socket, &QTcpSocket::disconnected, this,
            [this] { onError(QAbstractSocket::RemoteHostClosedError); });
}

TcpCommControl::~TcpCommControl()
{
    m_socket->disconnect(this);
    m_socket->abort();
}

void TcpCommControl::setSettings(const QString &settings)
{
    // The device server sets the line; the text is kept, and checked as on a serial port.
    if (parseSerialSettings(settings))
        m_settings = settings;
}

void TcpCommControl::setPortOpen(bool open)
{
    if (open) {
        if (portOpen())
            return;
        // A failed connection whose close is still on its way: finish it first.
        if (m_socket->state() != QAbstractSocket::UnconnectedState)
            closeConnection();
        openConnection();
    } else if (m_socket->state() != QAbstractSocket::UnconnectedState) {
        closeConnection();
    }
}

bool TcpCommControl::portOpen() const
{
    return m_connected;
}

bool TcpCommControl::Output(const QByteArray &bytes)
{
    if (!portOpen())
        return false;
    // Buffered and sent from the event loop, as QSerialPort does.
    return m_socket->write(bytes) == bytes.size();
}

QByteArray TcpCommControl::Input()
{
    QByteArray b = m_input;
    m_input.clear();
    return b;
}

QString TcpCommControl::device() const
{
    return m_device.isEmpty() ? portDeviceName(m_commPort) : m_device;
}

void TcpCommControl::openConnection()
{
    const QString device = this->device();
    if (device.isEmpty())
        return;
    const std::optional<NetworkAddress> address = parseNetworkAddress(device);
    if (!address) {
        m_lastFailure = failure(PortFailure::Kind::BadAddress, device,
                                QStringLiteral("not of the form tcp://HOST:PORT"));
        return;
    }

    const QDeadlineTimer deadline(m_connectTimeoutMs);
    const auto noAnswer = [&](const QString &reason) {
        m_lastFailure = failure(PortFailure::Kind::NoAnswer, device, reason);
        m_lastFailure.waitedMs = m_connectTimeoutMs;
    };

    QList<QHostAddress> addresses;
    if (QHostAddress literal; literal.setAddress(address->host)) {
        addresses << literal;
    } else {
        const std::shared_ptr<Lookup> lookup = lookUp(address->host, deadline);
        if (!lookup) {
            noAnswer(QStringLiteral("name lookup timed out"));
            return;
        }
        const std::lock_guard<std::mutex> lock(lookup->mutex);
        addresses = lookup->addresses;
        if (addresses.isEmpty()) {
            m_lastFailure = failure(PortFailure::Kind::HostNotFound, device,
                                    lookup->error.isEmpty() ? QStringLiteral("no address") : lookup->error);
            return;
        }
    }

    // Each address in turn ("localhost" may be ::1 and 127.0.0.1), within one
    // deadline. waitForConnected runs no event loop: nothing else happens meanwhile.
    for (const QHostAddress &a : std::as_const(addresses)) {
        m_socket->connectToHost(a, address->port);
        if (m_socket->waitForConnected(int(qMax<qint64>(1, deadline.remainingTime())))) {
            m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            m_lastFailure = PortFailure();
            m_connected = true;
            ++m_session;
            return;
        }
        const QAbstractSocket::SocketError error = m_socket->error();
        const QString reason = m_socket->errorString();
        m_socket->abort();
        if (error == QAbstractSocket::ConnectionRefusedError)
            m_lastFailure = failure(PortFailure::Kind::Refused, device, reason);
        else if (error == QAbstractSocket::SocketTimeoutError || deadline.hasExpired())
            noAnswer(reason);
        else if (error == QAbstractSocket::HostNotFoundError)
            m_lastFailure = failure(PortFailure::Kind::HostNotFound, device, reason);
        else
            m_lastFailure = failure(PortFailure::Kind::Other, device, reason);
        if (deadline.hasExpired())
            return;
    }
}

void TcpCommControl::closeConnection()
{
    m_connected = false;
    // What was written goes out before the connection ends.
    m_socket->flush();
    m_socket->abort();
    ++m_session;
}

void TcpCommControl::onReadyRead()
{
    if (!m_connected)
        return;
    const QByteArray data = m_socket->readAll();
    for (char c : data)
        queueEvent(EventReceive, c);
}

void TcpCommControl::onError(QAbstractSocket::SocketError error)
{
    // Errors while opening are the open's own result; a second one is the same loss.
    if (!m_connected)
        return;
    // Bytes that came before the end are delivered before it is reported.
    onReadyRead();
    m_connected = false;
    m_lastFailure = failure(PortFailure::Kind::Lost, device(), m_socket->errorString());
    if (error == QAbstractSocket::RemoteHostClosedError && m_lastFailure.reason.isEmpty())
        m_lastFailure.reason = QStringLiteral("The remote host closed the connection");
    const quint64 session = m_session;
    // Closed once QTcpSocket has returned, never from inside its own signal.
    QMetaObject::invokeMethod(
        this,
        [this, session] {
            if (m_session == session)
                closeConnection();
        },
        Qt::QueuedConnection);
#ifdef QZ_WIN32_SERIAL
    // No Qt SerialPort here: the Win32 control's failed-line event, the same number.
    queueEvent(Win32CommControl::LineFailedEvent);
#else
    queueEvent(std::int16_t(EventErrorBase + QSerialPort::ResourceError));
#endif
}

void TcpCommControl::queueEvent(std::int16_t code, char byte)
{
    m_pending.push_back({code, byte});
    if (!m_deliveryQueued) {
        m_deliveryQueued = true;
        QMetaObject::invokeMethod(this, &TcpCommControl::deliverPending, Qt::QueuedConnection);
    }
}

void TcpCommControl::deliverPending()
{
    m_deliveryQueued = false;
    // As on a serial line: bytes already taken are delivered even when a handler
    // closes or reopens part way through.
    QPointer<TcpCommControl> alive(this);
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
