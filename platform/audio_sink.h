#pragma once

#include "platform/mci.h"
#include "platform/soundserver.h"

#include <QIODevice>

// The sound server's backend: libsndfile decodes the WAV file as the server takes it, at the file's own
// rate, so a message of any length opens at once and takes little memory.
class SinkAudioBackend : public AudioBackend
{
public:
    // The sample formats offered to the server, best first; 16-bit is the fallback for a device that refuses
    // float, and tests choose it alone to play that path.
    enum class Output
    {
        FloatFirst,
        Int16Only,
    };

    explicit SinkAudioBackend(Output output = Output::FloatFirst);
    ~SinkAudioBackend() override;
    std::unique_ptr<AudioStream> open(const QString& path, const PlayOptions& options, std::int32_t& error) override;
    std::int32_t check(const QString& path) override;
    std::int32_t checkOutput(const QString& outputId) override;
    void wake(const QString& outputId) override;
    bool isAwake() override;
    void letSleep() override;

    // How long after the server's timing says the last sample was heard the end is called: for the server
    // that answered, and for a kind of server.
    qint64 endMarginUSecs() const;
    static qint64 endMarginUSecs(SoundServerKind kind);

private:
    struct Waker;
    Output mOutput;
    std::unique_ptr<Waker> mWaker;
    std::unique_ptr<SoundServerProbe> mServer;
};

// A sound file's samples as the sink would be fed them: `channels` (1 or 2) interleaved, 32-bit float or
// 16-bit, at `rate`. For reading a file through without a sound server; on failure returns null and sets
// `error` as "open" would.
std::unique_ptr<QIODevice> openPcm(const QString& path, int channels, bool float32, int rate, std::int32_t& error);
