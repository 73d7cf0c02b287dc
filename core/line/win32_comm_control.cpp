#include "line/win32_comm_control.h"

#include <QMetaObject>
#include <QPointer>
#include <QWinEventNotifier>

#include <windows.h>

namespace {

constexpr DWORD ReadChunk = 4096;

QString systemMessage(DWORD error)
{
    return qt_error_string(int(error)).trimmed();
}

} // namespace

struct Win32CommControl::Io
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    OVERLAPPED readOv {};
    OVERLAPPED writeOv {};
    char readBuffer[ReadChunk];
    QByteArray writing;    // the bytes of the write under way; kept until it is done
    bool reading = false;
    bool writePending = false;

    Io()
    {
        // Manual reset: ReadFile and WriteFile clear them as an operation starts.
        readOv.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        writeOv.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~Io()
    {
        if (handle != INVALID_HANDLE_VALUE) {
            // Both buffers must outlive their operations: cancel and wait for the end.
            ::CancelIoEx(handle, nullptr);
            DWORD n = 0;
            if (reading)
                ::GetOverlappedResult(handle, &readOv, &n, TRUE);
            if (writePending)
                ::GetOverlappedResult(handle, &writeOv, &n, TRUE);
            ::CloseHandle(handle);
        }
        if (readOv.hEvent)
            ::CloseHandle(readOv.hEvent);
        if (writeOv.hEvent)
            ::CloseHandle(writeOv.hEvent);
    }
};

Win32CommControl::Win32CommControl(QObject *parent)
    : CommControl(parent)
{
}

Win32CommControl::~Win32CommControl()
{
    if (m_io)
        closePort();
}

void Win32CommControl::setCommPort(std::int16_t port)
{
    m_commPort = port;
}

void Win32CommControl::setSettings(const QString &settings)
{
    const std::optional<SerialSettings> parsed = parseSerialSettings(settings);
    if (!parsed)
        return;
    m_settings = *parsed;
    if (portOpen()) {
        writeLineSettings();
        // SetCommState sets RTS from the DCB; the line keeps the level asked for.
        applyRts();
    }
}

void Win32CommControl::setPortOpen(bool open)
{
    if (open) {
        if (portOpen())
            return;
        if (m_io)
            closePort();
        openPort();
    } else if (m_io) {
        closePort();
    }
}

bool Win32CommControl::portOpen() const
{
    return m_io && !m_failed;
}

void Win32CommControl::setRTSEnable(bool enable)
{
    m_rts = enable;
    if (portOpen())
        applyRts();
}

bool Win32CommControl::Output(const QByteArray &bytes)
{
    if (!portOpen())
        return false;
    m_toWrite += bytes;
    if (!m_io->writePending)
        startWrite();
    return portOpen();
}

std::int16_t Win32CommControl::CommEvent() const
{
    return m_event;
}

QByteArray Win32CommControl::Input()
{
    QByteArray b = m_input;
    m_input.clear();
    return b;
}

QString Win32CommControl::device() const
{
    return m_device.isEmpty() ? portDeviceName(m_commPort) : m_device;
}

void Win32CommControl::openPort()
{
    const QString device = this->device();
    if (device.isEmpty())
        return;
    // "\\.\" reaches COM10 and up too, and any name the system has for a port.
    const QString path = device.startsWith(QLatin1String("\\\\.\\")) ? device
                                                                      : QStringLiteral("\\\\.\\") + device;

    auto io = std::make_unique<Io>();
    if (!io->readOv.hEvent || !io->writeOv.hEvent) {
        const DWORD error = ::GetLastError();
        m_lastFailure = classifyWin32PortFailure(device, error, systemMessage(error));
        return;
    }
    io->handle = ::CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ | GENERIC_WRITE,
                               0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (io->handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        m_lastFailure = classifyWin32PortFailure(device, error, systemMessage(error));
        // An open refused with an I/O error was never a line that went away.
        if (m_lastFailure.kind == PortFailure::Kind::Lost)
            m_lastFailure.kind = PortFailure::Kind::NoSuchDevice;
        return;
    }
    m_io = std::move(io);

    // Read whatever has come as soon as the line pauses for a moment; wait without
    // limit for the first byte. Writes have no time limit either (no flow control).
    COMMTIMEOUTS timeouts {};
    timeouts.ReadIntervalTimeout = 1;
    bool ok = ::SetCommTimeouts(m_io->handle, &timeouts) && writeLineSettings();
    if (ok) {
        ::PurgeComm(m_io->handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
        m_readNotifier = new QWinEventNotifier(m_io->readOv.hEvent, this);
        m_writeNotifier = new QWinEventNotifier(m_io->writeOv.hEvent, this);
        m_writeNotifier->setEnabled(false);
        connect(m_readNotifier, &QWinEventNotifier::activated, this, &Win32CommControl::onReadDone);
        connect(m_writeNotifier, &QWinEventNotifier::activated, this, &Win32CommControl::onWriteDone);
    }
    if (!ok) {
        const DWORD error = ::GetLastError();
        closePort();
        m_lastFailure = classifyWin32PortFailure(device, error, systemMessage(error));
        if (m_lastFailure.kind == PortFailure::Kind::Lost)
            m_lastFailure.kind = PortFailure::Kind::NoSuchDevice;
        return;
    }

    m_lastFailure = PortFailure();
    m_failed = false;
    ++m_session;
    applyRts();
    startRead();
}

void Win32CommControl::closePort()
{
    delete m_readNotifier;
    delete m_writeNotifier;
    m_readNotifier = nullptr;
    m_writeNotifier = nullptr;
    m_io.reset();
    m_toWrite.clear();
    m_failed = false;
    ++m_session;
}

bool Win32CommControl::writeLineSettings()
{
    DCB dcb {};
    dcb.DCBlength = sizeof(dcb);
    if (!::GetCommState(m_io->handle, &dcb))
        return false;
    dcb.BaudRate = DWORD(m_settings.baudRate);
    dcb.ByteSize = BYTE(m_settings.dataBits);
    switch (m_settings.parity) {
    case SerialSettings::Parity::None:
        dcb.Parity = NOPARITY;
        break;
    case SerialSettings::Parity::Even:
        dcb.Parity = EVENPARITY;
        break;
    case SerialSettings::Parity::Odd:
        dcb.Parity = ODDPARITY;
        break;
    case SerialSettings::Parity::Mark:
        dcb.Parity = MARKPARITY;
        break;
    case SerialSettings::Parity::Space:
        dcb.Parity = SPACEPARITY;
        break;
    }
    switch (m_settings.stopBits) {
    case SerialSettings::StopBits::One:
        dcb.StopBits = ONESTOPBIT;
        break;
    case SerialSettings::StopBits::OneAndHalf:
        dcb.StopBits = ONE5STOPBITS;
        break;
    case SerialSettings::StopBits::Two:
        dcb.StopBits = TWOSTOPBITS;
        break;
    }
    dcb.fBinary = TRUE;
    dcb.fParity = m_settings.parity != SerialSettings::Parity::None;
    // No flow control of any kind; RTS is set on its own (applyRts).
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE)
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fErrorChar = FALSE;
    // A line error must not stop every later read until ClearCommError.
    dcb.fAbortOnError = FALSE;
    return ::SetCommState(m_io->handle, &dcb);
}

void Win32CommControl::applyRts()
{
    // A line without modem signals (a pseudo-terminal under Wine, some adapters)
    // refuses with ERROR_NOT_SUPPORTED (50). The data still flows, so, as with an
    // unsupported RTS on Linux, that is no error here; a line really gone shows at
    // the next read or write.
    ::EscapeCommFunction(m_io->handle, m_rts ? SETRTS : CLRRTS);
}

void Win32CommControl::startRead()
{
    m_io->reading = true;
    if (!::ReadFile(m_io->handle, m_io->readBuffer, ReadChunk, nullptr, &m_io->readOv)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING) {
            m_io->reading = false;
            fail(error);
        }
    }
    // Done at once or later: either way the event is set and the notifier fires.
}

void Win32CommControl::onReadDone()
{
    if (!m_io || !m_io->reading || m_failed)
        return;
    DWORD n = 0;
    if (!::GetOverlappedResult(m_io->handle, &m_io->readOv, &n, FALSE)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_INCOMPLETE)
            return;
        m_io->reading = false;
        fail(error);
        return;
    }
    m_io->reading = false;
    for (DWORD i = 0; i < n; ++i)
        queueEvent(EventReceive, m_io->readBuffer[i]);
    startRead();
}

void Win32CommControl::startWrite()
{
    if (m_toWrite.isEmpty() || m_failed)
        return;
    m_io->writing = m_toWrite;
    m_toWrite.clear();
    m_io->writePending = true;
    // The event still shows the last write done; the notifier waits for this one.
    ::ResetEvent(m_io->writeOv.hEvent);
    if (!::WriteFile(m_io->handle, m_io->writing.constData(), DWORD(m_io->writing.size()), nullptr,
                     &m_io->writeOv)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING) {
            m_io->writePending = false;
            fail(error);
            return;
        }
    }
    m_writeNotifier->setEnabled(true);
}

void Win32CommControl::onWriteDone()
{
    if (!m_io || !m_io->writePending || m_failed)
        return;
    DWORD n = 0;
    if (!::GetOverlappedResult(m_io->handle, &m_io->writeOv, &n, FALSE)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_INCOMPLETE)
            return;
        m_io->writePending = false;
        m_writeNotifier->setEnabled(false);
        fail(error);
        return;
    }
    m_io->writePending = false;
    m_writeNotifier->setEnabled(false);
    // Without write timeouts a write ends when all is sent; a short one is kept for the next.
    if (n < DWORD(m_io->writing.size()))
        m_toWrite.prepend(m_io->writing.mid(qsizetype(n)));
    m_io->writing.clear();
    startWrite();
}

void Win32CommControl::fail(unsigned long error)
{
    if (m_failed || !m_io)
        return;
    // Report once and stop at once: from now on the port reads as closed, and the real
    // close follows from the event loop, outside the notifier's signal.
    m_failed = true;
    m_lastFailure = classifyWin32PortFailure(device(), quint32(error), systemMessage(DWORD(error)));
    // Whatever the code, a line that was working and failed has gone away.
    m_lastFailure.kind = PortFailure::Kind::Lost;
    if (m_readNotifier)
        m_readNotifier->setEnabled(false);
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    const quint64 session = m_session;
    QMetaObject::invokeMethod(
        this,
        [this, session] {
            if (m_session == session && m_io)
                closePort();
        },
        Qt::QueuedConnection);
    queueEvent(LineFailedEvent);
}

void Win32CommControl::queueEvent(std::int16_t code, char byte)
{
    m_pending.push_back({code, byte});
    if (!m_deliveryQueued) {
        m_deliveryQueued = true;
        QMetaObject::invokeMethod(this, &Win32CommControl::deliverPending, Qt::QueuedConnection);
    }
}

void Win32CommControl::deliverPending()
{
    m_deliveryQueued = false;
    // As on Linux: bytes taken from the line are delivered even when a handler closes
    // or reopens the port part way through; the shared queue keeps the order.
    QPointer<Win32CommControl> alive(this);
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
