#include "platform/audiodevices.h"

#include "core/service.h"

#include <QAudioDevice>
#include <QMediaDevices>

namespace {

QList<AudioDeviceInfo> listed(const QList<QAudioDevice>& devices)
{
    QList<AudioDeviceInfo> found;
    for (const QAudioDevice& device : devices) {
        // The id comes from the server as bytes; the settings hold text, which must give the same bytes back.
        const QString id = QString::fromUtf8(device.id());
        if (!id.isEmpty() && id.toUtf8() == device.id())
            found.append({id, device.description()});
    }
    return found;
}

class ServerDevices final : public AudioDevices
{
public:
    QList<AudioDeviceInfo> outputs() override { return listed(QMediaDevices::audioOutputs()); }
    QList<AudioDeviceInfo> inputs() override { return listed(QMediaDevices::audioInputs()); }
};

ServiceSlot<AudioDevices, ServerDevices> gService;

} // namespace

AudioDevices& audioDevices()
{
    return gService.get();
}

void setAudioDevices(AudioDevices* devices)
{
    gService.install(devices);
}
