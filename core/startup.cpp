#include "startup.h"

#include "comm/portmap.h"
#include "core/globals.h"
#include "core/settingkeys.h"
#include "core/settings.h"
#include "core/toolkit.h"
#include "core/version.h"
#include "remote/keyerbus.h"
#include "remote/localserver.h"
#include "remote/protocol.h"
#include "windows/frmabout.h"
#include "windows/frmmain.h"
#include "windows/modsystray.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QStandardPaths>

#include <algorithm>
#include <cmath>
#include <fcntl.h>
#include <unistd.h>

QString instanceLockPath()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    return dir + QStringLiteral("/wrenkeyer-%1.lock").arg(getuid());
}

namespace {

// The descriptor of the lock file, held for the whole run.
int gInstanceLock = -1;

// True when another copy runs. Every copy, one started after the question too, holds a shared lock on
// the file for as long as it runs, and a start asks whether any lock but its own is held. The locks
// belong to the open file, so the kernel drops a copy's lock with the copy: a crashed one never counts.
bool previousInstanceRuns()
{
    const QByteArray path = QFile::encodeName(instanceLockPath());
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    struct flock shared = {};
    shared.l_type = F_RDLCK;
    shared.l_whence = SEEK_SET;
    struct flock probe = shared;
    probe.l_type = F_WRLCK;
    // Taken before looking, so that two copies started together each see the other.
    const bool looked = ::fcntl(fd, F_OFD_SETLK, &shared) == 0 && ::fcntl(fd, F_OFD_GETLK, &probe) == 0;
    releaseInstanceLock();
    gInstanceLock = fd;
    return looked && probe.l_type != F_UNLCK;
}

// Other programs' way in, for the whole run. Without it (a copy already serves the socket, or it cannot be
// made) the keyer works as before from its own window.
void startRemoteControl(FrmMain& main)
{
    static RemoteServer* server = nullptr;
    if (server)
        return;
    server = new RemoteServer(main, &main);
    if (!server->listen(remoteSocketPath())) {
        delete server;
        server = nullptr;
    }
    // No bus is no fault: the socket is enough.
    if (!KeyerBus::sessionBusAvailable())
        return;
    auto* bus = new KeyerBus(main, &main);
    if (!bus->registerOn(QDBusConnection::sessionBus())) {
        delete bus;
        return;
    }
    QObject::connect(&main, &FrmMain::keyerStateChanged, bus, &KeyerBus::refresh);
}

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

std::int16_t keyerTimeFromSetting(const QString& value, int max, std::int16_t fallback, int min)
{
    bool ok = false;
    const qlonglong number = value.trimmed().toLongLong(&ok);
    if (!ok)
        return fallback;
    return static_cast<std::int16_t>(std::clamp<qlonglong>(number, min, max));
}

std::int16_t pttMethodFromSetting(const QString& value)
{
    for (std::int16_t method = 1; method <= 2; ++method) {
        if (value.trimmed().compare(pttMethodSettingText(method), Qt::CaseInsensitive) == 0)
            return method;
    }
    return 0;
}

std::int32_t numberFromSetting(const QString& value, std::int32_t min, std::int32_t max, std::int32_t fallback)
{
    bool ok = false;
    const qlonglong number = value.trimmed().toLongLong(&ok);
    if (!ok || number < min || number > max)
        return fallback;
    return static_cast<std::int32_t>(number);
}

void LoadSettings()
{
    // The defaults of a first start go to the file in one save, and a failure is told once.
    SettingsBatch defaults;
    gCommPort = commPortFromSetting(ReadOrWriteDefault(Setting::CommPort));
    gPTTLine = pttLineFromSetting(ReadOrWriteDefault(Setting::PTTLine));
    gAlwaysOnTop = alwaysOnTopFromSetting(ReadOrWriteDefault(Setting::AlwaysOnTop));
    const auto keyerTime = [](Setting id, int max, int min = 0) {
        const auto fallback = static_cast<std::int16_t>(settingDefault(id).toInt());
        return keyerTimeFromSetting(ReadOrWriteDefault(id), max, fallback, min);
    };
    gTransmitTimeout = keyerTime(Setting::TransmitTimeout, kTransmitTimeoutMaxSeconds);
    gLeadTime = keyerTime(Setting::LeadTime, kKeyerTimeMaxMs);
    gTailTime = keyerTime(Setting::TailTime, kKeyerTimeMaxMs);
    const auto number = [](Setting id, std::int32_t min, std::int32_t max) {
        return numberFromSetting(ReadOrWriteDefault(id), min, max, settingDefault(id).toInt());
    };
    gPTTMethod = pttMethodFromSetting(ReadOrWriteDefault(Setting::PTTMethod));
    gHamlibModel = number(Setting::HamlibModel, 1, 999999);
    gHamlibPath = ReadOrWriteDefault(Setting::HamlibPath).trimmed();
    gHamlibSpeed = number(Setting::HamlibSpeed, 0, kHamlibSpeedMax);
    gHamlibPTT = static_cast<std::int16_t>(number(Setting::HamlibPTT, 1, kHamlibPTTMax));
    gCM108Device = ReadOrWriteDefault(Setting::CM108Device).trimmed();
    gCM108GPIO = static_cast<std::int16_t>(number(Setting::CM108GPIO, 1, kCM108GPIOMax));
    gRepeatInterval = keyerTime(Setting::RepeatInterval, kRepeatIntervalMaxSeconds, kRepeatIntervalMinSeconds);

    for (int n = 1; n <= kMessageCount; ++n) {
        // The file is read before the caption, and each default written before the next key is read.
        gWaveFiles[static_cast<std::size_t>(n)] = ReadOrWriteDefault(Setting::MessageFile, n);
        gButtonCaptions[static_cast<std::size_t>(n)] = ReadOrWriteDefault(Setting::MessageCaption, n);
    }
    gAudioOutput = ReadOrWriteDefault(Setting::AudioOutput).trimmed();
    gAudioInput = ReadOrWriteDefault(Setting::AudioInput).trimmed();
    for (int n = 1; n <= kMessageCount; ++n) {
        const auto fallback = static_cast<std::int16_t>(settingDefault(Setting::MessageGain, n).toInt());
        gMessageGains[static_cast<std::size_t>(n)] =
            keyerTimeFromSetting(ReadOrWriteDefault(Setting::MessageGain, n), kGainMaxDb, fallback, kGainMinDb);
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

    {
        SettingsBatch defaults;
        LoadSettings();
        EnsurePortDefaults();
    }
    const QString refusedDevices = CheckPortDevices();
    if (!refusedDevices.isEmpty())
        MsgBox(refusedDevices, MsgStyle::Exclamation, kAppTitle, settingsFilePath());
    gExitRequested = kFalse;

    FrmMain& main = frmMain();
    main.Load();
    startRemoteControl(main);
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
    if (gInstanceLock >= 0)
        ::close(gInstanceLock);
    gInstanceLock = -1;
}
