// Any bytes as the settings file: the check that moves an unreadable file aside, then every key read.
#include "core/settings.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static QTemporaryDir dir;
    static const bool configured = [] { return ::setenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit(), 1) == 0; }();
    if (!configured)
        return 0;
    const QString app = QStringLiteral("Fuzz");
    const QString path = settingsFilePath(app);
    QFile::remove(path);
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }
    quarantineUnreadableSettings(app);
    for (const char* key : {"Comm Port", "PTT Line", "Always On Top", "Message 1", "Message 10 Name"})
        (void)GetSetting(app, QStringLiteral("Settings"), QString::fromLatin1(key));
    (void)GetSetting(app, QStringLiteral("Ports"), QStringLiteral("COM1"));
    return 0;
}
