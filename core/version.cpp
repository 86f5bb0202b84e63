#include "version.h"

VersionRecord programVersion()
{
    return {WRENKEYER_VERSION_MAJOR, WRENKEYER_VERSION_MINOR, WRENKEYER_VERSION_PATCH,
            QStringLiteral("Copyright \u00A9 2003"), QStringLiteral("STATION")};
}

QString composeVersion(const VersionRecord& record)
{
    return QStringLiteral("%1.%2.%3").arg(record.major).arg(record.minor).arg(record.revision);
}

QString composeCopyright(const VersionRecord& record, int year)
{
    return record.legalCopyright + QLatin1Char('-') + QString::number(year) + QLatin1Char(' ') + record.companyName;
}

QString contactEmail()
{
    return QStringLiteral(WRENKEYER_CONTACT_EMAIL);
}

QString contactWeb()
{
    return QStringLiteral(WRENKEYER_CONTACT_WEB);
}
