#include "globals.h"

QString gVersion;
QString gCopyright;
VBool gExitRequested = kFalse;
std::int16_t gCommPort = 0;
std::int16_t gPTTLine = 0;
VBool gAlwaysOnTop = kFalse;
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
    gWaveFiles.fill(QString());
    gButtonCaptions.fill(QString());
}
