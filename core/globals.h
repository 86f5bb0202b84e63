#pragma once

#include <QString>

#include <array>
#include <cstdint>

// 16-bit booleans: stored settings and callers compare with -1 for "set".
using VBool = std::int16_t;
inline constexpr VBool kTrue = -1;
inline constexpr VBool kFalse = 0;

inline VBool toVBool(bool b)
{
    return b ? kTrue : kFalse;
}

// Message buttons 1..10 and serial ports COM1..COM4.
inline constexpr int kMessageCount = 10;
inline constexpr int kPortCount = 4;

inline const QString kAppTitle = QStringLiteral("Wren Voice Keyer");
inline const QString kSettingsSection = QStringLiteral("Settings");

// The program-wide state that start-up fills from the settings store.
extern QString gVersion;
extern QString gCopyright;
extern VBool gExitRequested;
extern std::int16_t gCommPort; // 0 = none, 1..4 = COM1..COM4
extern std::int16_t gPTTLine;  // 1 = DTR, 2 = RTS
extern VBool gAlwaysOnTop;
extern std::int16_t gTransmitTimeout; // seconds, 0 = no limit
extern std::int16_t gLeadTime;        // milliseconds
extern std::int16_t gTailTime;        // milliseconds
// What keys the transmitter: 0 = Serial (gCommPort, gPTTLine), 1 = Hamlib, 2 = CM108.
extern std::int16_t gPTTMethod;
extern std::int32_t gHamlibModel;                                 // Hamlib's rig model number
extern QString gHamlibPath;                                       // host:port of rigctld, or the rig's device
extern std::int32_t gHamlibSpeed;                                 // 0 = the model's own
extern std::int16_t gHamlibPTT;                                   // 1 = key, 2 = microphone input, 3 = data input
extern QString gCM108Device;                                      // "" = the first CM108 found
extern std::int16_t gCM108GPIO;                                   // 1..8
extern std::int16_t gRepeatInterval;                              // seconds
extern std::array<QString, kMessageCount + 1> gWaveFiles;         // indexed by button number 1..10
extern std::array<QString, kMessageCount + 1> gButtonCaptions;    // indexed by button number 1..10
extern QString gAudioOutput;                                      // the output's id, "" = system default
extern QString gAudioInput;                                       // the input's id, "" = system default
extern std::array<std::int16_t, kMessageCount + 1> gMessageGains; // dB, indexed by button number 1..10

// Puts every global back to its zero value, the keyer times to their defaults; for tests that run
// start-up more than once.
void resetGlobals();
