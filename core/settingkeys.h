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
    LeadTime, // [Keyer] "Lead Time": milliseconds the line is up before the audio starts
    TailTime, // [Keyer] "Tail Time": milliseconds the line stays up after the audio has ended
    // [Keyer] "Repeat Interval": seconds the line rests between two sends of a repeating message
    RepeatInterval,
};

// What the keyer times are held to; a stored value outside is read as the nearest end.
inline constexpr int kKeyerTimeMaxMs = 2000;
inline constexpr int kTransmitTimeoutMaxSeconds = 3600;
inline constexpr int kRepeatIntervalMinSeconds = 1;
inline constexpr int kRepeatIntervalMaxSeconds = 600;

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
