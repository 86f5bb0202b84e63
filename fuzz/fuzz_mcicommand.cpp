// Any text as an audio command, against a backend that opens anything: the parser and the alias table.
#include "platform/mci.h"

#include <QStringList>

#include <cstddef>
#include <cstdint>

namespace {

class SilentStream : public AudioStream
{
public:
    std::int32_t play() override
    {
        mPlaying = true;
        return 0;
    }
    bool isPlaying() override { return mPlaying; }
    void stop() override { mPlaying = false; }

private:
    bool mPlaying = false;
};

class AnythingOpens : public AudioBackend
{
public:
    std::unique_ptr<AudioStream> open(const QString& path, const PlayOptions&, std::int32_t& error) override
    {
        error = path.isEmpty() ? MciError::FileNotFound : 0;
        return error == 0 ? std::make_unique<SilentStream>() : nullptr;
    }
    std::int32_t check(const QString& path) override { return path.isEmpty() ? MciError::FileNotFound : 0; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static AnythingOpens backend;
    static const bool installed = [] {
        setAudioBackend(&backend);
        return true;
    }();
    (void)installed;
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    // Each line a command, so one input can open an alias and then use it.
    for (const QString& command : text.split(QLatin1Char('\n'))) {
        QString reply;
        (void)mciSendString(command, &reply);
        (void)mciErrorText(mciSendString(QStringLiteral("status voice1 mode"), &reply));
    }
    mciSendString(QStringLiteral("close all"));
    return 0;
}
