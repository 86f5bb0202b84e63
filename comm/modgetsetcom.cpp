#include "comm/modgetsetcom.h"

#include "core/globals.h"

QString GetCommPortName()
{
    return GetCommPortName(gCommPort);
}

QString GetCommPortName(int port)
{
    if (port == 0)
        return QStringLiteral("None");
    if (port >= 1 && port <= kPortCount)
        return QStringLiteral("COM%1").arg(port);
    return QString();
}
