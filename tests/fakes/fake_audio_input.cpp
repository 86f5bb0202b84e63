#include "tests/fakes/fake_audio_input.h"

#include <algorithm>

class FakeCapture : public AudioCapture
{
public:
    FakeCapture(FakeAudioInput& input, CaptureHandlers handlers) : mInput(input), mHandlers(std::move(handlers))
    {
        mInput.mRunning = &mHandlers;
    }
    ~FakeCapture() override
    {
        if (mInput.mRunning == &mHandlers)
            mInput.mRunning = nullptr;
    }

private:
    FakeAudioInput& mInput;
    CaptureHandlers mHandlers;
};

std::unique_ptr<AudioCapture> FakeAudioInput::start(const QString& inputId, CaptureHandlers handlers, QString& error)
{
    mOpened << inputId;
    if (!mOpenError.isEmpty()) {
        error = mOpenError;
        return nullptr;
    }
    return std::make_unique<FakeCapture>(*this, std::move(handlers));
}

bool FakeAudioInput::feed(const std::vector<float>& samples)
{
    constexpr std::size_t kBlock = kRecordRate / 100;
    for (std::size_t at = 0; at < samples.size(); at += kBlock) {
        // The recorder may stop the capture from inside its handler.
        if (mRunning == nullptr)
            return false;
        mRunning->samples(samples.data() + at, std::min(kBlock, samples.size() - at));
    }
    return mRunning != nullptr;
}

bool FakeAudioInput::fail(const QString& reason)
{
    if (mRunning == nullptr)
        return false;
    mRunning->failed(reason);
    return true;
}
