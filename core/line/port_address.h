#pragma once

#include <QString>
#include <QtGlobal>
#include <cstdint>
#include <optional>

// What a port name means. Every name the user gives (COMn, the QZ7310_COMn mapping,
// a device path, a device name without /dev/, tcp://HOST:PORT, a Windows COM name)
// is read here and shown from here, so the lines, the failure messages, the port
// list and the port dialog all agree on it. Nothing here opens or looks at a device.

// A serial device server's raw TCP port, named "tcp://HOST:PORT" wherever a device is
// named; an IPv6 literal goes in brackets ("tcp://[::1]:4001").
struct NetworkAddress
{
    QString host;       // without brackets
    quint16 port = 0;

    // "HOST port PORT", for messages.
    QString text() const;
};

// Where a line goes: a serial device, or a device server's address.
class PortAddress
{
public:
    enum class Kind {
        None,     // no name at all (port 0)
        Serial,   // a device the serial line opens
        Network,  // a tcp:// name, well formed or not (see network())
    };

    // Whose rules read a name. Both are built on every system, so that Windows' can be
    // tried anywhere; NativeRules are this system's.
    enum class Rules { Posix, Windows };
#ifdef Q_OS_WIN
    static constexpr Rules NativeRules = Rules::Windows;
#else
    static constexpr Rules NativeRules = Rules::Posix;
#endif

    PortAddress() = default;

    // What port n (COMn) stands for: the variable QZ7310_COMn when it is set and not
    // empty (read as a name given by the user), else "COMn" on Windows and
    // /dev/ttyS{n-1} elsewhere. None for n < 1.
    static PortAddress forPort(int n);
    // The same with the variable's value given (empty: not set).
    static PortAddress forPort(int n, const QString &mapped, Rules rules = NativeRules);
    // A name as the user gave it. Under Windows' rules a serial name is kept as given
    // ("COM7", "\\.\COM7"); elsewhere a serial name that does not start with "/", "./"
    // or "../" is a device under /dev ("ttyUSB0" is /dev/ttyUSB0, as QSerialPort opens
    // it). A tcp:// name stays as it was given.
    static PortAddress fromName(const QString &name, Rules rules = NativeRules);
    // What a control opens: `device` when one was given, else port n.
    static PortAddress of(int n, const QString &device);

    Kind kind() const { return m_kind; }
    bool isNetwork() const { return m_kind == Kind::Network; }
    // The device as it is opened, judged and shown: the serial device's path, or the
    // tcp:// name as given. Empty for None.
    QString device() const { return m_device; }
    // The host and port of a well-formed tcp:// name; nothing for any other.
    const std::optional<NetworkAddress> &network() const { return m_network; }
    // The environment variable the name came from ("QZ7310_COM3"); empty for a default
    // device or a name given directly.
    QString variable() const { return m_variable; }
    // The name Win32's CreateFile opens: "\\.\" before the name, which reaches COM10
    // and up and any name the system has for a port.
    QString win32Path() const;
    // The name without "\\.\": the one QueryDosDevice and the device list know.
    QString win32Name() const;

private:
    Kind m_kind = Kind::None;
    QString m_device;
    std::optional<NetworkAddress> m_network;
    QString m_variable;
};

// The variable that maps port n: "QZ7310_COMn".
QString portVariable(int n);

// PortAddress::forPort(n).device().
QString portDeviceName(int n);
// PortAddress::fromName(name).device(): the device QSerialPort opens for a name.
QString serialDevicePath(const QString &name);

// Whether `device` names a network line (it starts with "tcp://", any case), well
// formed or not.
bool isNetworkDevice(const QString &device);
// Nothing when `device` is not a well-formed "tcp://HOST:PORT" (port 1 to 65535,
// nothing after the port).
std::optional<NetworkAddress> parseNetworkAddress(const QString &device);

// n for a Windows COM name "COMn" (any case, n from 1, no leading zero); 0 for any
// other name.
int comPortNumber(const QString &name);

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
