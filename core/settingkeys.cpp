#include "core/settingkeys.h"

#include "core/addslash.h"
#include "core/globals.h"
#include "core/settings.h"
#include "core/toolkit.h"

#include <QDir>

#include <array>

namespace {

struct SettingDef
{
    Setting id;
    const char* section;
    // "%1" stands for the button or port number.
    const char* name;
    const char* defaultValue;
};

constexpr std::array<SettingDef, 20> kSettings{{
    {Setting::CommPort, "Settings", "Comm Port", "None"},
    {Setting::PTTLine, "Settings", "PTT Line", "RTS"},
    {Setting::AlwaysOnTop, "Settings", "Always On Top", "No"},
    {Setting::MessageFile, "Settings", "Message %1", ""},
    {Setting::MessageCaption, "Settings", "Message %1 Name", "(Blank)"},
    {Setting::PortDevice, "Ports", "COM%1", ""},
    {Setting::TransmitTimeout, "Keyer", "Transmit Time-out", "120"},
    {Setting::LeadTime, "Keyer", "Lead Time", "250"},
    {Setting::TailTime, "Keyer", "Tail Time", "250"},
    {Setting::PTTMethod, "PTT", "Method", "Serial"},
    {Setting::HamlibModel, "PTT", "Hamlib Model", "2"},
    {Setting::HamlibPath, "PTT", "Hamlib Path", "localhost:4532"},
    {Setting::HamlibSpeed, "PTT", "Hamlib Speed", "0"},
    {Setting::HamlibPTT, "PTT", "Hamlib PTT", "1"},
    {Setting::CM108Device, "PTT", "CM108 Device", ""},
    {Setting::CM108GPIO, "PTT", "CM108 GPIO", "3"},
    {Setting::RepeatInterval, "Keyer", "Repeat Interval", "10"},
    {Setting::AudioOutput, "Audio", "Output", ""},
    {Setting::AudioInput, "Audio", "Input", ""},
    {Setting::MessageGain, "Audio", "Message %1 Gain", "0"},
}};

// The texts of the PTT methods, in the order of their numbers.
constexpr std::array<const char*, 3> kMethodTexts{"Serial", "Hamlib", "CM108"};

// The sample recordings of buttons 1..4 and their captions.
constexpr std::array<const char*, 4> kSampleFiles{"STATION_CQ.wav", "STATION_CQ_FD.wav", "STATION_QTH_NAME.wav",
                                                  "STATION_RIG_ANT.wav"};
constexpr std::array<const char*, 4> kSampleCaptions{"CQ", "CQ FD", "QTH/NAME", "RIG/ANT"};

const SettingDef& defOf(Setting id)
{
    return kSettings.at(static_cast<std::size_t>(id));
}

bool isSample(int number)
{
    return number >= 1 && number <= static_cast<int>(kSampleFiles.size());
}

} // namespace

SettingKey settingKey(Setting id, int number)
{
    const SettingDef& def = defOf(id);
    QString name = QString::fromLatin1(def.name);
    if (name.contains(QLatin1String("%1")))
        name = name.arg(number);
    return {QString::fromLatin1(def.section), name};
}

QString settingDefault(Setting id, int number)
{
    switch (id) {
    case Setting::MessageFile:
        if (!isSample(number))
            return QString();
        return AddSlash(sampleFolder()) + QStringLiteral("wav") + QDir::separator() +
               QLatin1String(kSampleFiles.at(static_cast<std::size_t>(number - 1)));
    case Setting::MessageCaption:
        if (isSample(number))
            return QLatin1String(kSampleCaptions.at(static_cast<std::size_t>(number - 1)));
        break;
    case Setting::PortDevice:
        // The computer's own serial ports, in the order the kernel numbers them.
        if (number >= 1 && number <= kPortCount)
            return QStringLiteral("/dev/ttyS%1").arg(number - 1);
        return QString();
    default:
        break;
    }
    return QString::fromLatin1(defOf(id).defaultValue);
}

QString ReadSetting(Setting id, int number)
{
    const SettingKey key = settingKey(id, number);
    return GetSetting(kAppTitle, key.section, key.name);
}

bool SettingExists(Setting id, int number)
{
    const SettingKey key = settingKey(id, number);
    return SettingStored(kAppTitle, key.section, key.name);
}

bool WriteSetting(Setting id, const QString& value, int number)
{
    const SettingKey key = settingKey(id, number);
    return SaveSetting(kAppTitle, key.section, key.name, value);
}

QString ReadOrWriteDefault(Setting id, int number)
{
    // An empty value is the operator's (a cleared button stores one): only a missing key gets the default.
    if (SettingExists(id, number))
        return ReadSetting(id, number);
    const QString value = settingDefault(id, number);
    WriteSetting(id, value, number);
    return value;
}

QString onTopSettingText(bool onTop)
{
    return onTop ? QStringLiteral("Yes") : QStringLiteral("No");
}

QString pttLineSettingText(int pttLine)
{
    return pttLine == 1 ? QStringLiteral("DTR") : QStringLiteral("RTS");
}

QString pttMethodSettingText(int method)
{
    if (method < 0 || method >= static_cast<int>(kMethodTexts.size()))
        method = 0;
    return QLatin1String(kMethodTexts.at(static_cast<std::size_t>(method)));
}
