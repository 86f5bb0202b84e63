#pragma once

#include <QList>
#include <QString>

// One output or input of the sound server: `id` is its stable name there (what the settings store, the
// same after a reboot), `description` what the operator reads.
struct AudioDeviceInfo
{
    QString id;
    QString description;

    bool operator==(const AudioDeviceInfo&) const = default;
};

// The outputs and inputs the sound server offers now.
class AudioDevices
{
public:
    virtual ~AudioDevices() = default;
    virtual QList<AudioDeviceInfo> outputs() = 0;
    virtual QList<AudioDeviceInfo> inputs() = 0;
};

// The sound server's, unless a test installed another.
AudioDevices& audioDevices();
// Installs `devices` (not owned) in place of the sound server's; nullptr restores it.
void setAudioDevices(AudioDevices* devices);
