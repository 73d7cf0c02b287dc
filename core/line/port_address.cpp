#include "line/port_address.h"

#include <QRegularExpression>
#include <QStringList>
#include <QUrl>

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

QString portVariable(int n)
{
    return QStringLiteral("QZ7310_COM%1").arg(n);
}

PortAddress PortAddress::fromName(const QString &name, Rules rules)
{
    PortAddress a;
    if (name.isEmpty())
        return a;
    if (isNetworkDevice(name)) {
        // A device server's address is no device at all: kept as given.
        a.m_kind = Kind::Network;
        a.m_device = name;
        a.m_network = parseNetworkAddress(name);
        return a;
    }
    a.m_kind = Kind::Serial;
    if (rules == Rules::Windows) {
        // CreateFile takes any name the system has for a port; win32Path() adds "\\.\".
        a.m_device = name;
        return a;
    }
    // QSerialPort's own rule: a name that is not a path is a device under /dev.
    const bool path = name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1String("./"))
        || name.startsWith(QLatin1String("../"));
    a.m_device = path ? name : QStringLiteral("/dev/") + name;
    return a;
}

PortAddress PortAddress::forPort(int n)
{
    if (n < 1)
        return {};
    return forPort(n, qEnvironmentVariable(qPrintable(portVariable(n))));
}

PortAddress PortAddress::forPort(int n, const QString &mapped, Rules rules)
{
    if (n < 1)
        return {};
    if (mapped.isEmpty())
        return fromName(rules == Rules::Windows ? QStringLiteral("COM%1").arg(n)
                                                : QStringLiteral("/dev/ttyS%1").arg(n - 1),
                        rules);
    PortAddress a = fromName(mapped, rules);
    a.m_variable = portVariable(n);
    return a;
}

PortAddress PortAddress::of(int n, const QString &device)
{
    return device.isEmpty() ? forPort(n) : fromName(device);
}

namespace {
const QLatin1String win32Prefix("\\\\.\\");
}

QString PortAddress::win32Path() const
{
    return m_device.startsWith(win32Prefix) ? m_device : win32Prefix + m_device;
}

QString PortAddress::win32Name() const
{
    return m_device.startsWith(win32Prefix) ? m_device.mid(win32Prefix.size()) : m_device;
}

QString portDeviceName(int n)
{
    return PortAddress::forPort(n).device();
}

QString serialDevicePath(const QString &name)
{
    return PortAddress::fromName(name).device();
}

int comPortNumber(const QString &name)
{
    static const QRegularExpression com(QStringLiteral("^COM([1-9][0-9]{0,4})$"),
                                        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = com.match(name);
    return m.hasMatch() ? m.captured(1).toInt() : 0;
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
