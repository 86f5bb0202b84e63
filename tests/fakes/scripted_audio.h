#pragma once

#include "platform/mci.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>

// An audio backend for tests. Every opened file "plays" for a set time of real time after play() and
// then reports stopped; opens and plays fail on request with a chosen error. It records what it was asked,
// with timestamps in milliseconds from a clock the test can share with other fakes:
//   open   every open, the path exactly as received, and its result (0 or the error returned)
//   play   every play() and its result
//   stop   every stop()
//   close  the stream was destroyed ("close A", "close all", or a backend change)
// Streams may outlive the backend; their events then go nowhere.
class ScriptedAudioBackend : public AudioBackend
{
public:
    enum class Kind
    {
        Open,
        Play,
        Stop,
        Close,
    };

    struct Event
    {
        Kind kind = Kind::Open;
        QString path;
        qint64 ms = 0;
        std::int32_t result = 0; // Open and Play: what the call returned; else 0
    };

    // `clock` (started, outliving this backend) stamps the events; without one the backend starts its own.
    explicit ScriptedAudioBackend(const QElapsedTimer* clock = nullptr);
    ~ScriptedAudioBackend() override; // uninstalls itself if installed
    ScriptedAudioBackend(const ScriptedAudioBackend&) = delete;
    ScriptedAudioBackend& operator=(const ScriptedAudioBackend&) = delete;

    // Makes audioBackend() this backend (closing every open alias), until uninstall() or destruction.
    void install();
    void uninstall();

    // How long a file plays: `ms` for every path without a time of its own (1000 unless set).
    void setDuration(qint64 ms);
    void setDuration(const QString& path, qint64 ms);
    // Opening `path` fails with `error`; 0 lets it open again.
    void failOpen(const QString& path, std::int32_t error);
    // Every open fails with `error`, whatever the path; 0 ends that.
    void failAllOpens(std::int32_t error);
    // play() of a stream opened from `path` fails with `error` (HardwareError: no sound server); 0 ends that.
    void failPlay(const QString& path, std::int32_t error);
    // Called from a stream's destructor with its path, after the close event is recorded; tests use it to
    // send commands from inside a close, as an event handler run by a real sink's teardown could.
    void setOnClose(std::function<void(const QString& path)> onClose);

    const QList<Event>& events() const;
    // The events as text for QCOMPARE: "open /a.wav", "open /b.wav -> 275", "play /a.wav", "stop /a.wav",
    // "close /a.wav"; a result other than 0 is appended as " -> code".
    QStringList eventNames() const;
    // Events of one kind, and the paths they name in order.
    QStringList paths(Kind kind) const;
    void clearEvents();
    // Streams opened and not yet destroyed.
    int openStreams() const;
    // Milliseconds on the events' clock.
    qint64 now() const;

    std::unique_ptr<AudioStream> open(const QString& path, std::int32_t& error) override;

    struct Shared; // what the streams keep of the backend

private:
    std::shared_ptr<Shared> mShared;
    bool mInstalled = false;
};
