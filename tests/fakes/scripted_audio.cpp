#include "tests/fakes/scripted_audio.h"

struct ScriptedAudioBackend::Shared
{
    QElapsedTimer ownClock;
    const QElapsedTimer* clock = nullptr;
    bool alive = true; // false once the backend is gone: streams stop recording
    qint64 defaultDuration = 1000;
    QHash<QString, qint64> durations;
    QHash<QString, std::int32_t> openFailures;
    QHash<QString, std::int32_t> playFailures;
    std::int32_t allOpensFail = 0;
    std::function<void(const QString&)> onClose;
    QList<Event> events;
    int openStreams = 0;

    qint64 now() const { return clock->elapsed(); }
    void record(Kind kind, const QString& path, std::int32_t result = 0)
    {
        if (alive)
            events.append(Event{kind, path, now(), result});
    }
};

namespace {

class ScriptedStream : public AudioStream
{
public:
    ScriptedStream(std::shared_ptr<ScriptedAudioBackend::Shared> shared, QString path, qint64 durationMs)
        : mShared(std::move(shared)), mPath(std::move(path)), mDurationMs(durationMs)
    {
        ++mShared->openStreams;
    }

    ~ScriptedStream() override
    {
        --mShared->openStreams;
        mShared->record(ScriptedAudioBackend::Kind::Close, mPath);
        // A copy: the hook may replace itself.
        if (const auto onClose = mShared->alive ? mShared->onClose : nullptr)
            onClose(mPath);
    }

    std::int32_t play() override
    {
        const std::int32_t result = mShared->playFailures.value(mPath, 0);
        mShared->record(ScriptedAudioBackend::Kind::Play, mPath, result);
        if (result != 0) {
            mPlaying = false;
            return result;
        }
        mPlaying = true;
        mSincePlay.start();
        return 0;
    }

    bool isPlaying() override
    {
        if (mPlaying && mSincePlay.elapsed() >= mDurationMs)
            mPlaying = false;
        return mPlaying;
    }

    void stop() override
    {
        mShared->record(ScriptedAudioBackend::Kind::Stop, mPath);
        mPlaying = false;
    }

private:
    std::shared_ptr<ScriptedAudioBackend::Shared> mShared;
    QString mPath;
    qint64 mDurationMs;
    bool mPlaying = false;
    QElapsedTimer mSincePlay;
};

QString kindName(ScriptedAudioBackend::Kind kind)
{
    switch (kind) {
    case ScriptedAudioBackend::Kind::Open:
        return QStringLiteral("open");
    case ScriptedAudioBackend::Kind::Play:
        return QStringLiteral("play");
    case ScriptedAudioBackend::Kind::Stop:
        return QStringLiteral("stop");
    case ScriptedAudioBackend::Kind::Close:
        return QStringLiteral("close");
    }
    return QString();
}

} // namespace

ScriptedAudioBackend::ScriptedAudioBackend(const QElapsedTimer* clock) : mShared(std::make_shared<Shared>())
{
    mShared->ownClock.start();
    mShared->clock = clock != nullptr ? clock : &mShared->ownClock;
}

ScriptedAudioBackend::~ScriptedAudioBackend()
{
    uninstall();
    mShared->alive = false;
}

void ScriptedAudioBackend::install()
{
    setAudioBackend(this);
    mInstalled = true;
}

void ScriptedAudioBackend::uninstall()
{
    if (!mInstalled)
        return;
    mInstalled = false;
    if (&audioBackend() == this)
        setAudioBackend(nullptr);
}

void ScriptedAudioBackend::setDuration(qint64 ms)
{
    mShared->defaultDuration = ms;
}

void ScriptedAudioBackend::setDuration(const QString& path, qint64 ms)
{
    mShared->durations.insert(path, ms);
}

void ScriptedAudioBackend::failOpen(const QString& path, std::int32_t error)
{
    if (error == 0)
        mShared->openFailures.remove(path);
    else
        mShared->openFailures.insert(path, error);
}

void ScriptedAudioBackend::failAllOpens(std::int32_t error)
{
    mShared->allOpensFail = error;
}

void ScriptedAudioBackend::failPlay(const QString& path, std::int32_t error)
{
    if (error == 0)
        mShared->playFailures.remove(path);
    else
        mShared->playFailures.insert(path, error);
}

void ScriptedAudioBackend::setOnClose(std::function<void(const QString& path)> onClose)
{
    mShared->onClose = std::move(onClose);
}

const QList<ScriptedAudioBackend::Event>& ScriptedAudioBackend::events() const
{
    return mShared->events;
}

QStringList ScriptedAudioBackend::eventNames() const
{
    QStringList names;
    for (const Event& event : mShared->events) {
        QString name = kindName(event.kind) + QLatin1Char(' ') + event.path;
        if (event.result != 0)
            name += QStringLiteral(" -> %1").arg(event.result);
        names.append(name);
    }
    return names;
}

QStringList ScriptedAudioBackend::paths(Kind kind) const
{
    QStringList result;
    for (const Event& event : mShared->events) {
        if (event.kind == kind)
            result.append(event.path);
    }
    return result;
}

void ScriptedAudioBackend::clearEvents()
{
    mShared->events.clear();
}

int ScriptedAudioBackend::openStreams() const
{
    return mShared->openStreams;
}

qint64 ScriptedAudioBackend::now() const
{
    return mShared->now();
}

std::unique_ptr<AudioStream> ScriptedAudioBackend::open(const QString& path, std::int32_t& error)
{
    error = mShared->allOpensFail != 0 ? mShared->allOpensFail : mShared->openFailures.value(path, 0);
    mShared->record(Kind::Open, path, error);
    if (error != 0)
        return nullptr;
    return std::make_unique<ScriptedStream>(mShared, path, mShared->durations.value(path, mShared->defaultDuration));
}
