#include "comm/portmap.h"

#include "core/globals.h"
#include "core/settings.h"

namespace {

constexpr int kPortCount = 4;

// The port number of "COM1".."COM4" (any case), or 0 for any other name.
int portNumber(const QString& portName)
{
    if (portName.size() != 4 || !portName.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        return 0;
    const QChar digit = portName.at(3);
    if (digit < QLatin1Char('1') || digit > QLatin1Char('0' + kPortCount))
        return 0;
    return digit.digitValue();
}

QString portKey(int port)
{
    return QStringLiteral("COM%1").arg(port);
}

} // namespace

QString DefaultPortDevice(int port)
{
    if (port < 1 || port > kPortCount)
        return QString();
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
}

void EnsurePortDefaults()
{
    for (int port = 1; port <= kPortCount; ++port) {
        if (GetSetting(kAppTitle, kPortsSection, portKey(port)).trimmed().isEmpty())
            SaveSetting(kAppTitle, kPortsSection, portKey(port), DefaultPortDevice(port));
    }
}

QString PortDevicePath(const QString& portName)
{
    const int port = portNumber(portName);
    if (port == 0)
        return portName;
    const QString stored = GetSetting(kAppTitle, kPortsSection, portKey(port)).trimmed();
    return stored.isEmpty() ? DefaultPortDevice(port) : stored;
}
