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
std::int16_t gRepeatInterval = 0;
std::array<QString, kMessageCount + 1> gWaveFiles;
std::array<QString, kMessageCount + 1> gButtonCaptions;

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
    gRepeatInterval = static_cast<std::int16_t>(settingDefault(Setting::RepeatInterval).toInt());
    gWaveFiles.fill(QString());
    gButtonCaptions.fill(QString());
}
