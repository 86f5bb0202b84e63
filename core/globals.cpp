#include "globals.h"

#include "core/settingkeys.h"

QString gVersion;
QString gCopyright;
VBool gExitRequested = kFalse;
std::int16_t gCommPort = 0;
std::int16_t gPTTLine = 0;
VBool gAlwaysOnTop = kFalse;
std::int16_t gTransmitTimeout = 0;
std::int16_t gLeadTime = 0;
std::int16_t gTailTime = 0;
std::int16_t gPTTMethod = 0;
std::int32_t gHamlibModel = 0;
QString gHamlibPath;
std::int32_t gHamlibSpeed = 0;
std::int16_t gHamlibPTT = 0;
QString gCM108Device;
std::int16_t gCM108GPIO = 0;
std::int16_t gRepeatInterval = 0;
std::array<QString, kMessageCount + 1> gWaveFiles;
std::array<QString, kMessageCount + 1> gButtonCaptions;
QString gAudioOutput;
QString gAudioInput;
std::array<std::int16_t, kMessageCount + 1> gMessageGains{};

void resetGlobals()
{
    gVersion.clear();
    gCopyright.clear();
    gExitRequested = kFalse;
    gCommPort = 0;
    gPTTLine = 0;
    gAlwaysOnTop = kFalse;
    gTransmitTimeout = static_cast<std::int16_t>(settingDefault(Setting::TransmitTimeout).toInt());
    gLeadTime = static_cast<std::int16_t>(settingDefault(Setting::LeadTime).toInt());
    gTailTime = static_cast<std::int16_t>(settingDefault(Setting::TailTime).toInt());
    gPTTMethod = 0;
    gHamlibModel = settingDefault(Setting::HamlibModel).toInt();
    gHamlibPath = settingDefault(Setting::HamlibPath);
    gHamlibSpeed = 0;
    gHamlibPTT = static_cast<std::int16_t>(settingDefault(Setting::HamlibPTT).toInt());
    gCM108Device.clear();
    gCM108GPIO = static_cast<std::int16_t>(settingDefault(Setting::CM108GPIO).toInt());
    gRepeatInterval = static_cast<std::int16_t>(settingDefault(Setting::RepeatInterval).toInt());
    gWaveFiles.fill(QString());
    gButtonCaptions.fill(QString());
    gAudioOutput.clear();
    gAudioInput.clear();
    gMessageGains.fill(0);
}
