#include "line/win32_comm_control.h"

#include <QWinEventNotifier>

#include <windows.h>

namespace {

constexpr DWORD ReadChunk = 4096;

QString systemMessage(DWORD error)
{
    return qt_error_string(int(error)).trimmed();
}

// An open refused with an I/O error was never a line that went away.
PortFailure openFailure(const QString &device, DWORD error)
{
    PortFailure f = classifyWin32PortFailure(device, error, systemMessage(error));
    if (f.kind == PortFailure::Kind::Lost)
        f.kind = PortFailure::Kind::NoSuchDevice;
    return f;
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
    : QueuedCommControl(parent)
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
    return m_io && !lineHasFailed();
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

QString Win32CommControl::device() const
{
    return PortAddress::of(m_commPort, m_device).device();
}

void Win32CommControl::openPort()
{
    const PortAddress address = PortAddress::of(m_commPort, m_device);
    const QString device = address.device();
    if (device.isEmpty())
        return;
    const QString path = address.win32Path();

    auto io = std::make_unique<Io>();
    if (!io->readOv.hEvent || !io->writeOv.hEvent) {
        const DWORD error = ::GetLastError();
        setLastFailure(classifyWin32PortFailure(device, error, systemMessage(error)));
        return;
    }
    io->handle = ::CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ | GENERIC_WRITE,
                               0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (io->handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        setLastFailure(openFailure(device, error));
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
        setLastFailure(openFailure(device, error));
        return;
    }

    setLastFailure({});
    startSession();
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
    startSession();
}

void Win32CommControl::closeFailedLine()
{
    if (m_io)
        closePort();
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
    if (!m_io || !m_io->reading || lineHasFailed())
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
    queueReceived(QByteArrayView(m_io->readBuffer, qsizetype(n)));
    startRead();
}

void Win32CommControl::startWrite()
{
    if (m_toWrite.isEmpty() || lineHasFailed())
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
    if (!m_io || !m_io->writePending || lineHasFailed())
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
    if (lineHasFailed() || !m_io)
        return;
    PortFailure lost = classifyWin32PortFailure(device(), quint32(error), systemMessage(DWORD(error)));
    // Whatever the code, a line that was working and failed has gone away.
    lost.kind = PortFailure::Kind::Lost;
    if (m_readNotifier)
        m_readNotifier->setEnabled(false);
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    lineFailed(lost);
}
