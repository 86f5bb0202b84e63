#include "modgetsetcom.h"

#include "core/globals.h"

QString GetCommPortName()
{
    switch (gCommPort) {
    case 0:
        return QStringLiteral("None");
    case 1:
    case 2:
    case 3:
    case 4:
        return QStringLiteral("COM%1").arg(gCommPort);
    default:
        return QString();
    }
}
