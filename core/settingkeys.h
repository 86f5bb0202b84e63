#pragma once

#include <QString>

// Every key of the settings store, its section and the value written when it is missing. Callers name a key
// by its id and never spell its text; a key that repeats per button or per port takes the number.
enum class Setting
{
    CommPort,       // [Settings] "Comm Port": "None" or 1..4
    PTTLine,        // [Settings] "PTT Line": "DTR" or "RTS"
    AlwaysOnTop,    // [Settings] "Always On Top": "Yes" or "No"
    MessageFile,    // [Settings] "Message N": the WAV file of button N, "" for a cleared button
    MessageCaption, // [Settings] "Message N Name": the caption of button N
    PortDevice,     // [Ports] "COMn": the device path port n stands for
    // [Keyer] "Transmit Time-out": seconds a message may hold the transmitter keyed, 0 = no limit
    TransmitTimeout,
    LeadTime,    // [Keyer] "Lead Time": milliseconds the line is up before the audio starts
    TailTime,    // [Keyer] "Tail Time": milliseconds the line stays up after the audio has ended
    PTTMethod,   // [PTT] "Method": "Serial", "Hamlib" or "CM108"
    HamlibModel, // [PTT] "Hamlib Model": Hamlib's rig model number; 2 reaches rigctld
    HamlibPath,  // [PTT] "Hamlib Path": host:port of rigctld, or the device of a rig on a cable
    HamlibSpeed, // [PTT] "Hamlib Speed": serial speed of a rig on a cable, 0 = the model's own
    HamlibPTT,   // [PTT] "Hamlib PTT": 1 = key, 2 = key with the microphone input, 3 = with the data input
    CM108Device, // [PTT] "CM108 Device": a hidraw path or stable name, "" = the first CM108 found
    CM108GPIO,   // [PTT] "CM108 GPIO": the GPIO pin that keys, 1..8
    // [Keyer] "Repeat Interval": seconds the line rests between two sends of a repeating message
    RepeatInterval,
    AudioOutput, // [Audio] "Output": the sound server's id of the output messages play on, "" = system default
    AudioInput,  // [Audio] "Input": the id of the input recordings are made from, "" = system default
    MessageGain, // [Audio] "Message N Gain": dB applied while button N plays, kGainMinDb..kGainMaxDb
};

// What the keyer times are held to; a stored value outside is read as the nearest end.
inline constexpr int kKeyerTimeMaxMs = 2000;
inline constexpr int kTransmitTimeoutMaxSeconds = 3600;
// What the PTT settings are held to; a stored value outside is read as the default.
inline constexpr int kHamlibPTTMax = 3;
inline constexpr int kCM108GPIOMax = 8;
inline constexpr int kHamlibSpeedMax = 4000000;
inline constexpr int kRepeatIntervalMinSeconds = 1;
inline constexpr int kRepeatIntervalMaxSeconds = 600;
// What a message's gain is held to, in dB; a stored value outside is read as the nearest end.
inline constexpr int kGainMinDb = -20;
inline constexpr int kGainMaxDb = 10;

struct SettingKey
{
    QString section;
    QString name;
};

// Section and key name of `id`; `number` is the button (1..10) or port (1..4) of the keys that repeat.
SettingKey settingKey(Setting id, int number = 0);
// What start-up writes when the key is missing. The sample buttons' files lie in the wav folder of
// sampleFolder(); every other default is fixed text.
QString settingDefault(Setting id, int number = 0);

// The stored text of a key; "" when it is missing.
QString ReadSetting(Setting id, int number = 0);
// Whether the store holds the key at all, even with an empty value.
bool SettingExists(Setting id, int number = 0);
// False when the value could not be saved (the operator has been told); it still holds for this run.
bool WriteSetting(Setting id, const QString& value, int number = 0);
// The stored value, even an empty one, or the default written and returned when the key is missing.
QString ReadOrWriteDefault(Setting id, int number = 0);

// The texts the store holds for the keep-on-top and PTT-line choices.
QString onTopSettingText(bool onTop);
QString pttLineSettingText(int pttLine);
// The text the store holds for a PTT method (0 = Serial, 1 = Hamlib, 2 = CM108).
QString pttMethodSettingText(int method);
