#include "startup.h"

#include "comm/portmap.h"
#include "core/addslash.h"
#include "core/globals.h"
#include "core/settings.h"
#include "core/toolkit.h"
#include "core/version.h"
#include "windows/frmabout.h"
#include "windows/frmmain.h"
#include "windows/modsystray.h"

#include <QDate>
#include <QGuiApplication>
#include <QDir>
#include <QLockFile>
#include <QStandardPaths>

#include <cmath>
#include <memory>

#include <unistd.h>

namespace {

std::unique_ptr<QLockFile> gInstanceLock;

QString lockPath()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    return dir + QStringLiteral("/wrenkeyer-%1.lock").arg(getuid());
}

// True when another copy runs; a lock left by a crashed copy does not count.
bool previousInstanceRuns()
{
    auto lock = std::make_unique<QLockFile>(lockPath());
    // Never stale by age: only a lock whose process has died is taken over.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
        gInstanceLock = std::move(lock);
        return false;
    }
    return lock->error() == QLockFile::LockFailedError;
}

QString readOrDefault(const QString& key, const QString& fallback)
{
    QString value = GetSetting(kAppTitle, kSettingsSection, key);
    if (value.isEmpty()) {
        value = fallback;
        SaveSetting(kAppTitle, kSettingsSection, key, value);
    }
    return value;
}

const char* const kSampleFiles[4] = {"STATION_CQ.wav", "STATION_CQ_FD.wav", "STATION_QTH_NAME.wav",
                                     "STATION_RIG_ANT.wav"};
const char* const kSampleCaptions[4] = {"CQ", "CQ FD", "QTH/NAME", "RIG/ANT"};

} // namespace

std::int16_t commPortFromSetting(const QString& value)
{
    if (value.toUpper() == QLatin1String("NONE"))
        return 0;
    bool ok = false;
    const double number = value.trimmed().toDouble(&ok);
    // Anything that is not a port number 1..4 means no port.
    if (!ok || !std::isfinite(number))
        return 0;
    const double port = std::floor(number);
    if (port < 0 || port >= 5)
        return 0;
    return static_cast<std::int16_t>(port);
}

std::int16_t pttLineFromSetting(const QString& value)
{
    const QString upper = value.toUpper();
    if (upper == QLatin1String("RTS"))
        return 2;
    return 1;
}

std::int16_t alwaysOnTopFromSetting(const QString& value)
{
    return value.toUpper() == QLatin1String("NO") ? kFalse : kTrue;
}

void LoadSettings()
{
    gCommPort = commPortFromSetting(readOrDefault(QStringLiteral("Comm Port"), QStringLiteral("None")));
    gPTTLine = pttLineFromSetting(readOrDefault(QStringLiteral("PTT Line"), QStringLiteral("RTS")));
    gAlwaysOnTop = alwaysOnTopFromSetting(readOrDefault(QStringLiteral("Always On Top"), QStringLiteral("No")));

    const QString wavFolder = AddSlash(sampleFolder()) + QStringLiteral("wav") + QDir::separator();
    for (int n = 1; n <= 10; ++n) {
        const QString key = QStringLiteral("Message %1").arg(n);
        const QString nameKey = key + QStringLiteral(" Name");
        QString file = GetSetting(kAppTitle, kSettingsSection, key);
        QString caption = GetSetting(kAppTitle, kSettingsSection, nameKey);
        if (file.isEmpty()) {
            file = n <= 4 ? wavFolder + QLatin1String(kSampleFiles[n - 1]) : QString();
            SaveSetting(kAppTitle, kSettingsSection, key, file);
        }
        gWaveFiles[n] = file;
        if (caption.isEmpty()) {
            caption = n <= 4 ? QLatin1String(kSampleCaptions[n - 1]) : QStringLiteral("(Blank)");
            SaveSetting(kAppTitle, kSettingsSection, nameKey, caption);
        }
        gButtonCaptions[n] = caption;
    }
}

bool StartUp()
{
    const VersionRecord version = programVersion();
    gVersion = composeVersion(version);
    gCopyright = composeCopyright(version, QDate::currentDate().year());

    if (previousInstanceRuns()) {
        const QString prompt = kAppTitle + QStringLiteral(" is already loaded.\nDo you really want to load and run\n"
                                                          "another copy?");
        const QString title = kAppTitle + QStringLiteral(" - V") + gVersion + QStringLiteral(" Confirm");
        if (MsgBox(prompt, MsgStyle::YesNoDefaultNo, title) != kAnswerYes)
            return false;
    }

    SetMousePointer(kPointerBusy);
    // The program ends through Exit only: closing its last visible window only hides it.
    QGuiApplication::setQuitOnLastWindowClosed(false);

    const QString aside = quarantineUnreadableSettings(kAppTitle);
    if (!aside.isEmpty()) {
        MsgBox(QStringLiteral("The settings file could not be read, so the program starts with its default "
                              "settings.\nThe unreadable file was kept as:\n") +
                   aside,
               MsgStyle::Exclamation, kAppTitle, settingsFilePath());
    }

    LoadSettings();
    EnsurePortDefaults();
    gExitRequested = kFalse;

    FrmMain& main = frmMain();
    main.Load();
    AddTrayIcon(main.picTray(), kAppTitle, main.window());
    frmAbout().ShowModal();
    // Exit from the tray while the about box was up ends the program here.
    if (gExitRequested == kTrue)
        return true;
    main.Show();
    return true;
}

void releaseInstanceLock()
{
    gInstanceLock.reset();
}
