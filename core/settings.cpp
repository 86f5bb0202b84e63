#include "settings.h"

#include "globals.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringDecoder>

namespace {

const QString kOrganisation = QStringLiteral("WrenKeyer");

QSettings openStore(const QString& appName)
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, kOrganisation, appName);
}

QString keyPath(const QString& section, const QString& key)
{
    return section + QLatin1Char('/') + key;
}

bool looksLikeText(const QByteArray& bytes)
{
    if (bytes.contains('\0'))
        return false;
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString decoded = decoder.decode(bytes);
    return !decoder.hasError();
}

} // namespace

QString settingsFilePath(const QString& appName)
{
    return openStore(appName.isEmpty() ? kAppTitle : appName).fileName();
}

QString GetSetting(const QString& appName, const QString& section, const QString& key)
{
    const QVariant value = openStore(appName).value(keyPath(section, key));
    // An unquoted comma in a hand-edited file makes the INI reader split the value.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}

bool SettingStored(const QString& appName, const QString& section, const QString& key)
{
    return openStore(appName).contains(keyPath(section, key));
}

void SaveSetting(const QString& appName, const QString& section, const QString& key, const QString& value)
{
    QSettings store = openStore(appName);
    store.setValue(keyPath(section, key), value);
    // Sync now: a program killed right after a change must not lose it. QSettings
    // writes through a temporary file and renames it, so a crash mid-write keeps the old file.
    store.sync();
    if (store.status() != QSettings::NoError)
        qWarning("Could not write setting \"%s\" to %s", qPrintable(key), qPrintable(store.fileName()));
}

QString quarantineUnreadableSettings(const QString& appName)
{
    const QString path = settingsFilePath(appName);
    QFile file(path);
    if (!file.exists() || !file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    file.close();

    bool readable = looksLikeText(bytes);
    if (readable) {
        QSettings store = openStore(appName);
        (void)store.childGroups();
        readable = store.status() != QSettings::FormatError;
    }
    if (readable)
        return {};

    const QString aside = path + QStringLiteral(".unreadable-") +
                          QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    if (!QFile::rename(path, aside))
        return {};
    return aside;
}
