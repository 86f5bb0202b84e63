#include "testenv.h"

#include "core/globals.h"
#include "core/settings.h"
#include "core/toolkit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>

#include <algorithm>

TestEnv::TestEnv()
    : mOldConfigHome(qgetenv("XDG_CONFIG_HOME")), mOldRuntimeDir(qgetenv("XDG_RUNTIME_DIR")),
      mOldBus(qgetenv("DBUS_SESSION_BUS_ADDRESS"))
{
    // Start-up offers the keyer on the session bus: never on the desktop's own while a test runs.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(mRuntimeDir.filePath("no-bus")));
    // The single-instance lock lives here: a keyer running on this desktop must not disturb tests.
    qputenv("XDG_RUNTIME_DIR", mRuntimeDir.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", mDir.path().toLocal8Bit());
    // QSettings reads XDG_CONFIG_HOME once per process; tell it about each new folder.
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, mDir.path());
    MessageBoxes::setScripted(true);
    MessageBoxes::reset();
    resetGlobals();
}

TestEnv::~TestEnv()
{
    MessageBoxes::reset();
    if (mOldBus.isEmpty())
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    else
        qputenv("DBUS_SESSION_BUS_ADDRESS", mOldBus);
    if (mOldRuntimeDir.isEmpty())
        qunsetenv("XDG_RUNTIME_DIR");
    else
        qputenv("XDG_RUNTIME_DIR", mOldRuntimeDir);
    if (mOldConfigHome.isEmpty())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", mOldConfigHome);
}

QString TestEnv::settingsFile() const
{
    return settingsFilePath(kAppTitle);
}

QByteArray TestEnv::settingsBytes() const
{
    QFile file(settingsFile());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

bool TestEnv::writeSettingsBytes(const QByteArray& bytes) const
{
    QFile file(settingsFile());
    return QDir().mkpath(QFileInfo(file).path()) && file.open(QIODevice::WriteOnly) &&
           file.write(bytes) == bytes.size();
}

QStringList messageTexts()
{
    QStringList texts;
    for (const MessageBoxes::Asked& asked : MessageBoxes::asked())
        texts << asked.text;
    return texts;
}

bool buildTree(const QString& root, const QStringList& entries)
{
    for (const QString& entry : entries) {
        const qsizetype arrow = entry.indexOf(QLatin1String(" -> "));
        const qsizetype equals = entry.indexOf(QLatin1Char('='));
        const QString relative = arrow >= 0 ? entry.left(arrow) : equals >= 0 ? entry.left(equals) : entry;
        const QString path = root + QLatin1Char('/') + relative;
        if (!QDir().mkpath(relative.endsWith(QLatin1Char('/')) ? path : QFileInfo(path).path()))
            return false;
        if (arrow >= 0) {
            if (!QFile::link(entry.mid(arrow + 4), path))
                return false;
        } else if (!relative.endsWith(QLatin1Char('/'))) {
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly))
                return false;
            if (equals >= 0)
                file.write(entry.mid(equals + 1).toUtf8() + '\n');
        }
    }
    return true;
}

bool isNullSink(const QString& sink)
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("sinks")});
    if (!pactl.waitForFinished(10000) || pactl.exitStatus() != QProcess::NormalExit || pactl.exitCode() != 0)
        return false;
    const QList<QByteArray> blocks = pactl.readAllStandardOutput().split('#');
    return std::any_of(blocks.cbegin(), blocks.cend(), [&](const QByteArray& block) {
        return block.contains("Name: " + sink.toUtf8() + '\n') &&
               (block.contains("module-null-sink") || block.contains("support.null-audio-sink"));
    });
}
