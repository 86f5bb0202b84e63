// Any bytes as a sound file: the checks before playing, then every sample decoded and converted to the
// output formats the sink uses.
#include "platform/audio_sink.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("input.wav"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }
    struct Output
    {
        int channels;
        bool float32;
        int rate;
    };
    for (const Output& output : {Output{2, true, 48000}, Output{1, false, 44100}}) {
        std::int32_t error = 0;
        std::unique_ptr<QIODevice> pcm = openPcm(path, output.channels, output.float32, output.rate, error);
        if (!pcm)
            return 0;
        // A header may promise hours; the first seconds reach every decoder path.
        char buffer[16384];
        qint64 total = 0;
        while (total < 4 * 48000 * 8) {
            const qint64 got = pcm->read(buffer, sizeof buffer);
            if (got <= 0)
                break;
            total += got;
        }
    }
    return 0;
}
