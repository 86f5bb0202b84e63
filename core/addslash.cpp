#include "addslash.h"

#include <QDir>

QString AddSlash(const QString& path)
{
    const QChar sep = QDir::separator();
    if (path.endsWith(sep))
        return path;
    return path + sep;
}
