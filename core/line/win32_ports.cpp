#include "line/win32_ports.h"
#include "line/port_address.h"

#include <algorithm>
#include <vector>

#include <windows.h>

namespace {

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

} // namespace

QString win32PortTarget(const QString &name)
{
    const QStringList targets = queryDosDevice(reinterpret_cast<const wchar_t *>(name.utf16()));
    return targets.isEmpty() ? QString() : targets.first();
}

QList<Win32Port> win32SerialPorts()
{
    QList<Win32Port> ports;
    for (const QString &name : queryDosDevice(nullptr)) {
        if (comPortNumber(name) == 0)
            continue;
        const QString upper = name.toUpper();
        if (std::any_of(ports.cbegin(), ports.cend(), [&](const Win32Port &p) { return p.name == upper; }))
            continue;
        ports.append({upper, win32PortTarget(name)});
    }
    std::sort(ports.begin(), ports.end(), [](const Win32Port &a, const Win32Port &b) {
        return comPortNumber(a.name) < comPortNumber(b.name);
    });
    return ports;
}
