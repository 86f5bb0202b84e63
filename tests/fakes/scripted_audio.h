#pragma once

#include "platform/audiodevices.h"
#include "platform/mci.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>

// An audio backend for tests: files "play" for a set time, opens and plays fail on request, every call is
// recorded. Installing any backend closes every alias, so no stream outlives the backend that made it.
class ScriptedAudioBackend : public AudioBackend
{
public:
    enum class Kind
    {
        Open,
        Play,
        Stop,
        Close, // the stream was destroyed: "close A", "close all" or a change of backend
    };

    ScriptedAudioBackend() = default;
    ~ScriptedAudioBackend() override; // uninstalls itself
    ScriptedAudioBackend(const ScriptedAudioBackend&) = delete;
    ScriptedAudioBackend& operator=(const ScriptedAudioBackend&) = delete;

    void install();
    // How long every file plays, 1000 ms unless set.
    void setDuration(qint64 ms) { mDurationMs = ms; }
    // Whether streams say how long they have left (as the sound server's do), or only whether they play.
    void setTellsTimeLeft(bool tells) { mTellsTimeLeft = tells; }
    // How long after play() streams say their first sample was heard; -1 (the default): they cannot say.
    void setStartUp(qint64 ms) { mStartUpMs = ms; }
    // Opening, or playing, `path` fails with `error` (an MciError code); 0 lifts it.
    void failOpen(const QString& path, std::int32_t error) { mOpenFailures[path] = error; }
    void failPlay(const QString& path, std::int32_t error) { mPlayFailures[path] = error; }
    // Called as a stream is destroyed, as a real sink's teardown pumps events: a handler may send commands.
    void setOnClose(std::function<void(const QString& path)> onClose) { mOnClose = std::move(onClose); }

    // "open /a.wav", "play /a.wav -> 262", "stop /a.wav", "close /a.wav": a failing call shows its result.
    QStringList eventNames() const;
    QStringList paths(Kind kind) const;
    void clearEvents() { mEvents.clear(); }
    int openStreams() const { return mOpenStreams; }

    std::unique_ptr<AudioStream> open(const QString& path, const PlayOptions& options, std::int32_t& error) override;
    // What the last open() was asked for.
    const PlayOptions& lastOptions() const { return mLastOptions; }
    // Answers as open would, and records nothing: the checks before keying stay out of the call sequences.
    std::int32_t check(const QString& path) override { return mOpenFailures.value(path); }
    // Output `id` goes away (or comes back): it fails checkOutput() and open(), and a stream playing on it
    // stops as a real one does, with OutputNotFound for its failure().
    void setOutputMissing(const QString& id, bool missing);
    std::int32_t checkOutput(const QString& outputId) override;
    // The output the last wake() was for.
    const QString& wokenOutput() const { return mWokenOutput; }
    // The output takes `ms` to wake, -1: it never does. 0 (the default): it is awake at once.
    void setWakeTime(qint64 ms) { mWakeMs = ms; }
    void wake(const QString& outputId) override;
    bool isAwake() override;
    void letSleep() override { mAwakeSince.invalidate(); }
    // Whether the output is being woken or kept awake now.
    bool keptAwake() const { return mAwakeSince.isValid(); }

private:
    friend class ScriptedStream;
    struct Event
    {
        Kind kind;
        QString path;
        std::int32_t result;
    };
    void record(Kind kind, const QString& path, std::int32_t result = 0) { mEvents.append({kind, path, result}); }

    bool mInstalled = false;
    qint64 mDurationMs = 1000;
    bool mTellsTimeLeft = true;
    qint64 mWakeMs = 0;
    QElapsedTimer mAwakeSince; // valid from wake() to letSleep()
    qint64 mStartUpMs = -1;
    PlayOptions mLastOptions;
    QHash<QString, std::int32_t> mOpenFailures;
    QHash<QString, std::int32_t> mPlayFailures;
    QSet<QString> mMissingOutputs;
    QString mWokenOutput;
    std::function<void(const QString&)> mOnClose;
    QList<Event> mEvents;
    int mOpenStreams = 0;
};

// The sound server's device list as a test sets it; installing it keeps the dialogs off any real server.
class FakeAudioDevices : public AudioDevices
{
public:
    FakeAudioDevices() = default;
    ~FakeAudioDevices() override; // uninstalls itself
    FakeAudioDevices(const FakeAudioDevices&) = delete;
    FakeAudioDevices& operator=(const FakeAudioDevices&) = delete;

    void install();
    QList<AudioDeviceInfo> outputs() override { return outputList; }
    QList<AudioDeviceInfo> inputs() override { return inputList; }

    QList<AudioDeviceInfo> outputList;
    QList<AudioDeviceInfo> inputList;

private:
    bool mInstalled = false;
};
