#include "comm/portmap.h"

#include "core/globals.h"
#include "core/settingkeys.h"

int PortNumber(const QString& portName)
{
    if (portName.size() != 4 || !portName.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        return 0;
    const QChar digit = portName.at(3);
    if (digit < QLatin1Char('1') || digit > QLatin1Char('0' + kPortCount))
        return 0;
    return digit.digitValue();
}

void EnsurePortDefaults()
{
    for (int port = 1; port <= kPortCount; ++port) {
        if (!SettingExists(Setting::PortDevice, port))
            WriteSetting(Setting::PortDevice, settingDefault(Setting::PortDevice, port), port);
    }
}

QString PortDevicePath(const QString& portName)
{
    const int port = PortNumber(portName);
    if (port == 0)
        return portName;
    const QString stored = ReadSetting(Setting::PortDevice, port).trimmed();
    return stored.isEmpty() ? settingDefault(Setting::PortDevice, port) : stored;
}
