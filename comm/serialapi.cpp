#include "comm/serialapi.h"

#include "comm/serial_linux.h"
#include "core/service.h"

#include <QStringList>

namespace {

bool isDigits(const QString& text)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

ServiceSlot<SerialApi, LinuxSerialApi> gService;

} // namespace

SerialApi& serialApi()
{
    return gService.get();
}

void setSerialApi(SerialApi* api)
{
    gService.install(api);
}

bool ParseModeString(const QString& settings, Dcb& dcb)
{
    // Work on a copy so a string refused halfway changes nothing.
    Dcb parsed = dcb;
    const QStringList tokens = settings.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString& token : tokens) {
        const qsizetype equals = token.indexOf(QLatin1Char('='));
        if (equals <= 0)
            return false;
        const QString key = token.left(equals).toLower();
        const QString value = token.mid(equals + 1).toUpper();
        if (key == QLatin1String("baud")) {
            bool ok = false;
            const uint baud = isDigits(value) ? value.toUInt(&ok) : 0;
            if (!ok || baud == 0)
                return false;
            parsed.baudRate = baud;
        } else if (key == QLatin1String("parity")) {
            if (value.size() != 1 || !QStringLiteral("NEOMS").contains(value))
                return false;
            parsed.parity = value.at(0).toLatin1();
        } else if (key == QLatin1String("data")) {
            if (value.size() != 1 || value.at(0) < QLatin1Char('5') || value.at(0) > QLatin1Char('8'))
                return false;
            parsed.byteSize = static_cast<std::uint8_t>(value.at(0).toLatin1() - '0');
        } else if (key == QLatin1String("stop")) {
            if (value == QLatin1String("1"))
                parsed.stopBits = 10;
            else if (value == QLatin1String("1.5"))
                parsed.stopBits = 15;
            else if (value == QLatin1String("2"))
                parsed.stopBits = 20;
            else
                return false;
        } else {
            return false;
        }
    }
    dcb = parsed;
    return true;
}
