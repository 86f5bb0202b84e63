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

// The text after "key=" in `section` of the file, as it stands there. Keys and sections are compared
// after undoing the store's percent escapes, so "Comm%20Port" and a hand-typed "Comm Port" both match.
QString rawValueInFile(const QString& path, const QString& section, const QString& key)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const auto unescaped = [](const QByteArray& text) {
        return QString::fromUtf8(QByteArray::fromPercentEncoding(text.trimmed()));
    };
    QString current;
    QString found;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.startsWith('[') && line.endsWith(']')) {
            current = unescaped(line.mid(1, line.size() - 2));
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (equals > 0 && current == section && unescaped(line.left(equals)) == key)
            found = QString::fromUtf8(line.mid(equals + 1).trimmed()); // the reader keeps the last of repeats
    }
    return found;
}

} // namespace

QString settingsFilePath(const QString& appName)
{
    return openStore(appName.isEmpty() ? kAppTitle : appName).fileName();
}

QString GetSetting(const QString& appName, const QString& section, const QString& key)
{
    QSettings store = openStore(appName);
    const QVariant value = store.value(keyPath(section, key));
    // An unquoted comma in a hand-edited file makes the INI reader split the value into a list, and
    // rejoining the parts cannot know what stood between them: take the text from the file instead.
    if (value.typeId() == QMetaType::QStringList)
        return rawValueInFile(store.fileName(), section, key);
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
