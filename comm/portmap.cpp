#include "comm/portmap.h"

#include "comm/modgetsetcom.h"
#include "comm/portdevices.h"
#include "core/globals.h"
#include "core/settingkeys.h"

#include <QStringList>

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

QString CheckPortDevices()
{
    QStringList refusals;
    for (int port = 1; port <= kPortCount; ++port) {
        if (!SettingExists(Setting::PortDevice, port))
            continue;
        const QString name = GetCommPortName(port);
        const QString refusal = DeviceRefusal(ReadSetting(Setting::PortDevice, port), name);
        if (!refusal.isEmpty())
            refusals << refusal + QStringLiteral("\n%1 has no device until one is chosen in Settings.").arg(name);
    }
    return refusals.join(QStringLiteral("\n\n"));
}

QString PortDevicePath(const QString& portName)
{
    const int port = PortNumber(portName);
    if (port == 0)
        return portName;
    if (!SettingExists(Setting::PortDevice, port))
        return settingDefault(Setting::PortDevice, port);
    return ReadSetting(Setting::PortDevice, port).trimmed();
}
