#include "line/win32_ports.h"
#include "line/port_address.h"

#include <QHash>

#include <algorithm>
#include <vector>

#include <windows.h>
#include <setupapi.h>

namespace {

// GUID_DEVCLASS_PORTS (devguid.h) and GUID_DEVINTERFACE_COMPORT (ntddser.h, which
// needs the driver kit's types), spelled out.
constexpr GUID PortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID ComPortInterface = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

// QueryDosDevice's answer: strings each ended by a NUL, the list by a second NUL.
// The buffer grows while the answer does not fit.
QStringList queryDosDevice(const wchar_t *name)
{
    std::vector<wchar_t> buffer(16 * 1024);
    for (;;) {
        const DWORD n = ::QueryDosDeviceW(name, buffer.data(), DWORD(buffer.size()));
        if (n != 0) {
            QStringList out;
            const wchar_t *p = buffer.data();
            const wchar_t *end = buffer.data() + n;
            while (p < end && *p) {
                const QString s = QString::fromWCharArray(p);
                out << s;
                p += s.size() + 1;
            }
            return out;
        }
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() >= 4 * 1024 * 1024)
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

QString dosTarget(const QString &name)
{
    const QStringList targets = queryDosDevice(reinterpret_cast<const wchar_t *>(name.utf16()));
    return targets.isEmpty() ? QString() : targets.first();
}

// A device's "PortName" ("COM5"), from the key SetupAPI opens for that device.
QString devicePortName(HDEVINFO set, SP_DEVINFO_DATA &device)
{
    const HKEY key = ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE)
        return {};
    wchar_t value[256] = {};
    DWORD size = sizeof value - sizeof(wchar_t); // room for the NUL the value may lack
    DWORD type = 0;
    const LSTATUS status = ::RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE *>(value), &size);
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_SZ ? QString::fromWCharArray(value) : QString();
}

QString deviceFriendlyName(HDEVINFO set, SP_DEVINFO_DATA &device)
{
    wchar_t value[512] = {};
    DWORD type = 0;
    if (!::SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_FRIENDLYNAME, &type,
                                             reinterpret_cast<BYTE *>(value), sizeof value - sizeof(wchar_t),
                                             nullptr)
        || type != REG_SZ)
        return {};
    return QString::fromWCharArray(value).trimmed();
}

// Device Manager's name of each present COM port, by upper-case port name: the Ports
// class and the devices that offer a COM port interface (some modems and adapters are
// only the latter).
QHash<QString, QString> friendlyNames()
{
    QHash<QString, QString> names;
    const struct {
        const GUID *guid;
        DWORD flags;
    } lists[] = {{&PortsClass, DIGCF_PRESENT}, {&ComPortInterface, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE}};
    for (const auto &list : lists) {
        const HDEVINFO set = ::SetupDiGetClassDevsW(list.guid, nullptr, nullptr, list.flags);
        if (set == INVALID_HANDLE_VALUE)
            continue;
        SP_DEVINFO_DATA device {};
        device.cbSize = sizeof device;
        for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &device); ++i) {
            const QString port = devicePortName(set, device).toUpper();
            if (comPortNumber(port) == 0 || names.contains(port))
                continue;
            const QString friendly = deviceFriendlyName(set, device);
            if (!friendly.isEmpty())
                names.insert(port, friendly);
        }
        ::SetupDiDestroyDeviceInfoList(set);
    }
    return names;
}

} // namespace

Win32Port win32Port(const QString &name)
{
    const QString dosName = PortAddress::fromName(name, PortAddress::Rules::Windows).win32Name();
    return {name, dosTarget(dosName), friendlyNames().value(dosName.toUpper())};
}

QList<Win32Port> win32SerialPorts()
{
    const QHash<QString, QString> friendly = friendlyNames();
    QList<Win32Port> ports;
    for (const QString &name : queryDosDevice(nullptr)) {
        if (comPortNumber(name) == 0)
            continue;
        const QString upper = name.toUpper();
        if (std::any_of(ports.cbegin(), ports.cend(), [&](const Win32Port &p) { return p.name == upper; }))
            continue;
        ports.append({upper, dosTarget(name), friendly.value(upper)});
    }
    std::sort(ports.begin(), ports.end(), [](const Win32Port &a, const Win32Port &b) {
        return comPortNumber(a.name) < comPortNumber(b.name);
    });
    return ports;
}
