#include "line/tcp_comm_control.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QTcpSocket>

#ifdef Q_OS_UNIX
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif
#ifdef Q_OS_WIN
#include <winsock2.h>
#include <mstcpip.h>
#endif

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

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
    : QueuedCommControl(parent), m_socket(new QTcpSocket(this))
{
    // What the queue cannot take yet stays with the kernel, and TCP holds the server.
    m_socket->setReadBufferSize(PendingLimit);
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

QString TcpCommControl::device() const
{
    return PortAddress::of(m_commPort, m_device).device();
}

void TcpCommControl::openConnection()
{
    const PortAddress where = PortAddress::of(m_commPort, m_device);
    const QString device = where.device();
    if (device.isEmpty())
        return;
    const std::optional<NetworkAddress> &address = where.network();
    if (!address) {
        setLastFailure(failure(PortFailure::Kind::BadAddress, device,
                               QStringLiteral("not of the form tcp://HOST:PORT")));
        return;
    }

    const QDeadlineTimer deadline(m_connectTimeoutMs);
    const auto noAnswer = [&](const QString &reason) {
        PortFailure f = failure(PortFailure::Kind::NoAnswer, device, reason);
        f.waitedMs = m_connectTimeoutMs;
        setLastFailure(f);
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
            setLastFailure(failure(PortFailure::Kind::HostNotFound, device,
                                   lookup->error.isEmpty() ? QStringLiteral("no address") : lookup->error));
            return;
        }
    }

    // Each address in turn ("localhost" may be ::1 and 127.0.0.1), each with the time
    // left shared by those still to try, so one that never answers leaves the next its
    // chance. waitForConnected runs no event loop: nothing else happens meanwhile.
    for (qsizetype i = 0; i < addresses.size(); ++i) {
        const qint64 share = deadline.remainingTime() / (addresses.size() - i);
        m_socket->connectToHost(addresses.at(i), address->port);
        if (m_socket->waitForConnected(int(qMax<qint64>(1, share)))) {
            m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            keepAlive();
            setLastFailure({});
            m_connected = true;
            startSession();
            return;
        }
        const QAbstractSocket::SocketError error = m_socket->error();
        const QString reason = m_socket->errorString();
        m_socket->abort();
        if (error == QAbstractSocket::ConnectionRefusedError)
            setLastFailure(failure(PortFailure::Kind::Refused, device, reason));
        else if (error == QAbstractSocket::SocketTimeoutError || deadline.hasExpired())
            noAnswer(reason);
        else if (error == QAbstractSocket::HostNotFoundError)
            setLastFailure(failure(PortFailure::Kind::HostNotFound, device, reason));
        else
            setLastFailure(failure(PortFailure::Kind::Other, device, reason));
        if (deadline.hasExpired())
            return;
    }
}

// A device server that is switched off or loses its network sends no reset: without
// probes the connection would look open for hours. Where an option is missing the
// system's own (slower) timing stays.
void TcpCommControl::keepAlive()
{
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    const qintptr fd = m_socket->socketDescriptor();
    if (fd < 0)
        return;
#if defined(Q_OS_UNIX)
    const auto set = [fd](int option, int value) {
        ::setsockopt(int(fd), IPPROTO_TCP, option, &value, sizeof value);
    };
#ifdef TCP_KEEPIDLE
    set(TCP_KEEPIDLE, KeepAliveIdleS);
#endif
#ifdef TCP_KEEPINTVL
    set(TCP_KEEPINTVL, KeepAliveIntervalS);
#endif
#ifdef TCP_KEEPCNT
    set(TCP_KEEPCNT, KeepAliveProbes);
#endif
#ifdef TCP_USER_TIMEOUT
    // Keepalive only probes a connection with nothing in flight; this ends one whose
    // request bytes go unacknowledged.
    set(TCP_USER_TIMEOUT, UnacknowledgedTimeoutMs);
#endif
#elif defined(Q_OS_WIN)
    // The number of probes is the system's own here (ten).
    tcp_keepalive values {};
    values.onoff = 1;
    values.keepalivetime = ULONG(KeepAliveIdleS * 1000);
    values.keepaliveinterval = ULONG(KeepAliveIntervalS * 1000);
    DWORD returned = 0;
    ::WSAIoctl(SOCKET(fd), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr);
#endif
}

void TcpCommControl::closeConnection()
{
    m_connected = false;
    // What was written goes out before the connection ends.
    m_socket->flush();
    m_socket->abort();
    startSession();
}

void TcpCommControl::onReadyRead()
{
    if (!m_connected)
        return;
    // What does not fit now is read when the queue has room (readMore).
    const qsizetype room = receiveRoom();
    if (room > 0)
        queueReceived(m_socket->read(room));
}

void TcpCommControl::onError(QAbstractSocket::SocketError error)
{
    // Errors while opening are the open's own result; a second one is the same loss.
    if (!m_connected)
        return;
    // Bytes that came before the end are delivered before it is reported, however
    // many are waiting.
    queueReceived(m_socket->readAll());
    m_connected = false;
    PortFailure lost = failure(PortFailure::Kind::Lost, device(), m_socket->errorString());
    if (error == QAbstractSocket::RemoteHostClosedError && lost.reason.isEmpty())
        lost.reason = QStringLiteral("The remote host closed the connection");
    lineFailed(lost);
}
