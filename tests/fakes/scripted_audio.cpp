#include "tests/fakes/scripted_audio.h"

#include <QElapsedTimer>

class ScriptedStream : public AudioStream
{
public:
    ScriptedStream(ScriptedAudioBackend& backend, QString path, QString outputId)
        : mBackend(backend), mPath(std::move(path)), mOutputId(std::move(outputId))
    {
        ++mBackend.mOpenStreams;
    }

    ~ScriptedStream() override
    {
        --mBackend.mOpenStreams;
        mBackend.record(ScriptedAudioBackend::Kind::Close, mPath);
        // A copy: the hook may replace itself.
        if (const auto onClose = mBackend.mOnClose)
            onClose(mPath);
    }

    std::int32_t play() override
    {
        const std::int32_t result = mBackend.mPlayFailures.value(mPath);
        mBackend.record(ScriptedAudioBackend::Kind::Play, mPath, result);
        mPlaying = result == 0;
        mSincePlay.start();
        return result;
    }

    bool isPlaying() override { return mPlaying && failure() == 0 && mSincePlay.elapsed() < mBackend.mDurationMs; }

    std::int32_t failure() override
    {
        return mPlaying && mBackend.checkOutput(mOutputId) != 0 ? MciError::OutputNotFound : 0;
    }

    std::int64_t timeLeftUSecs() override
    {
        if (!mBackend.mTellsTimeLeft)
            return -1;
        return isPlaying() ? mBackend.mDurationMs * 1000 - mSincePlay.nsecsElapsed() / 1000 : 0;
    }

    std::int64_t heardAfterUSecs() override
    {
        const qint64 startUp = mBackend.mStartUpMs;
        return startUp >= 0 && mPlaying && mSincePlay.elapsed() >= startUp ? startUp * 1000 : -1;
    }

    void stop() override
    {
        mBackend.record(ScriptedAudioBackend::Kind::Stop, mPath);
        mPlaying = false;
    }

private:
    ScriptedAudioBackend& mBackend;
    QString mPath;
    QString mOutputId;
    bool mPlaying = false;
    QElapsedTimer mSincePlay;
};

void ScriptedAudioBackend::setOutputMissing(const QString& id, bool missing)
{
    if (missing)
        mMissingOutputs.insert(id);
    else
        mMissingOutputs.remove(id);
}

std::int32_t ScriptedAudioBackend::checkOutput(const QString& outputId)
{
    return !outputId.isEmpty() && mMissingOutputs.contains(outputId) ? MciError::OutputNotFound : 0;
}

void ScriptedAudioBackend::wake(const QString& outputId)
{
    mWokenOutput = outputId;
    if (!mAwakeSince.isValid())
        mAwakeSince.start();
}

bool ScriptedAudioBackend::isAwake()
{
    if (!mAwakeSince.isValid())
        return true;
    return mWakeMs >= 0 && mAwakeSince.elapsed() >= mWakeMs;
}

ScriptedAudioBackend::~ScriptedAudioBackend()
{
    if (mInstalled && &audioBackend() == this)
        setAudioBackend(nullptr);
}

void ScriptedAudioBackend::install()
{
    setAudioBackend(this);
    mInstalled = true;
}

QStringList ScriptedAudioBackend::eventNames() const
{
    static const char* const kNames[] = {"open", "play", "stop", "close"};
    QStringList names;
    for (const Event& event : mEvents) {
        names.append(QLatin1String(kNames[int(event.kind)]) + QLatin1Char(' ') + event.path);
        if (event.result != 0)
            names.last() += QStringLiteral(" -> %1").arg(event.result);
    }
    return names;
}

QStringList ScriptedAudioBackend::paths(Kind kind) const
{
    QStringList result;
    for (const Event& event : mEvents) {
        if (event.kind == kind)
            result.append(event.path);
    }
    return result;
}

std::unique_ptr<AudioStream> ScriptedAudioBackend::open(const QString& path, const PlayOptions& options,
                                                        std::int32_t& error)
{
    mLastOptions = options;
    error = mOpenFailures.value(path);
    if (error == 0)
        error = checkOutput(options.outputId);
    record(Kind::Open, path, error);
    if (error != 0)
        return nullptr;
    return std::make_unique<ScriptedStream>(*this, path, options.outputId);
}

FakeAudioDevices::~FakeAudioDevices()
{
    if (mInstalled && &audioDevices() == this)
        setAudioDevices(nullptr);
}

void FakeAudioDevices::install()
{
    setAudioDevices(this);
    mInstalled = true;
}
