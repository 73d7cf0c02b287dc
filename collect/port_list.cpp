#include "port_list.h"

#include "line/port_address.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#ifdef Q_OS_WIN
#include "line/win32_ports.h"
#else
#include <QSerialPortInfo>
#endif

namespace {

constexpr int Ports = 4; // COM1 to COM4, as the port dialog offers them

#ifndef Q_OS_WIN
// The /dev/serial/by-id/ link that leads to `device`, if there is one: its name stays
// the same whichever order adapters are plugged in.
QString stableName(const QString &device)
{
    const QString target = QFileInfo(device).canonicalFilePath();
    if (target.isEmpty())
        return {};
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    for (const QFileInfo &link : byId.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        if (link.canonicalFilePath() == target)
            return link.filePath();
    }
    return {};
}
#endif

QString orNone(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("(none)") : text;
}

// A device server is not tried: a connection could take the server's line from whoever
// has it.
QString networkState(const PortAddress &address)
{
    const std::optional<NetworkAddress> &a = address.network();
    return a ? QStringLiteral("serial device server at %1, raw TCP (not tried)").arg(a->text())
             : QStringLiteral("not a valid tcp://HOST:PORT address");
}

} // namespace

#ifdef Q_OS_WIN

// Windows: the COM ports from the system's DOS device names and Device Manager's names
// for them (no registry), and what stands behind each.
QString portListText()
{
    QStringList lines;
    lines << QStringLiteral("Serial ports on this system:");
    const QList<Win32Port> ports = win32SerialPorts();
    for (const Win32Port &port : ports) {
        QString line = QStringLiteral("  %1  %2").arg(port.name, orNone(port.target));
        if (!port.friendlyName.isEmpty())
            line += QStringLiteral("  %1").arg(port.friendlyName);
        lines << line;
    }
    if (ports.isEmpty())
        lines << QStringLiteral("  (none found)");

    lines << QString() << QStringLiteral("Ports COM1 to COM4, as the QZ-7310 window and --port name them:");
    for (int n = 1; n <= Ports; ++n) {
        const PortAddress address = PortAddress::forPort(n);
        // A mapped port shows where it leads: "COM1 -> COM7 (from QZ7310_COM1)".
        const QString mapping = address.variable().isEmpty()
            ? QString()
            : QStringLiteral(" -> %1 (from %2)").arg(address.device(), address.variable());
        QString state;
        if (address.isNetwork()) {
            state = networkState(address);
        } else {
            const Win32Port port = win32Port(address.device());
            state = port.target.isEmpty() ? QStringLiteral("does not exist") : QStringLiteral("exists");
            if (!port.friendlyName.isEmpty())
                state += QStringLiteral(", %1").arg(port.friendlyName);
        }
        lines << QStringLiteral("  COM%1%2: %3").arg(n).arg(mapping, state);
    }
    lines << QString()
          << QStringLiteral("A port numbered above 4 can be given to qz7310-collect directly: --port COM7")
          << QStringLiteral("To use it as COM1 (in the window too), set this in the environment (setx, then start "
                            "the program again), or give the port that number in Device Manager:")
          << QStringLiteral("  QZ7310_COM1=COM7")
          << QStringLiteral("A serial device server's port in raw TCP mode is named tcp://HOST:PORT "
                            "(QZ7310_COM1=tcp://192.168.1.50:4001, an IPv6 address in brackets).");
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

#else

QString portListText()
{
    QStringList lines;
    QString example;

    lines << QStringLiteral("Serial devices on this system:");
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        const QString stable = stableName(info.systemLocation());
        lines << QStringLiteral("  %1").arg(info.systemLocation());
        lines << QStringLiteral("    description:   %1").arg(orNone(info.description()));
        lines << QStringLiteral("    maker:         %1").arg(orNone(info.manufacturer()));
        lines << QStringLiteral("    serial number: %1").arg(orNone(info.serialNumber()));
        lines << QStringLiteral("    stable name:   %1").arg(orNone(stable));
        // A USB adapter is the likely counter; its stable name survives replugging.
        if (example.isEmpty() || (!stable.isEmpty() && !example.startsWith(QLatin1String("/dev/serial/"))))
            example = stable.isEmpty() ? info.systemLocation() : stable;
    }
    if (ports.isEmpty())
        lines << QStringLiteral("  (none found)");

    lines << QString() << QStringLiteral("Ports COM1 to COM4, as the QZ-7310 window and --port map them:");
    for (int n = 1; n <= Ports; ++n) {
        const PortAddress address = PortAddress::forPort(n);
        const QString device = address.device();
        const QString source = address.variable().isEmpty() ? QStringLiteral(" (default)")
                                                            : QStringLiteral(" (from %1)").arg(address.variable());
        QString state;
        if (address.isNetwork()) {
            state = networkState(address);
        } else {
            state = QFileInfo::exists(device) ? QStringLiteral("exists") : QStringLiteral("does not exist");
        }
        lines << QStringLiteral("  COM%1  %2%3: %4").arg(n).arg(device, source, state);
    }

    if (example.isEmpty())
        example = QStringLiteral("/dev/ttyUSB0");
    lines << QString()
          << QStringLiteral("To use a device as COM1, set this in the environment of the program or job (a shell "
                            "profile, a crontab line, Environment= in a systemd unit):")
          << QStringLiteral("  QZ7310_COM1=%1").arg(example)
          << QStringLiteral("or give the device to qz7310-collect directly: --port %1").arg(example)
          << QStringLiteral("A serial device server's port in raw TCP mode is named tcp://HOST:PORT "
                            "(QZ7310_COM1=tcp://192.168.1.50:4001, an IPv6 address in brackets).");
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

#endif
