#pragma once

#include "platform/recorder.h"

#include <QString>
#include <QStringList>

#include <vector>

// A sound input for tests: no server, the samples come when the test feeds them. Opening an input the test
// named as missing fails as the server's would.
class FakeAudioInput : public AudioInputSource
{
public:
    FakeAudioInput() { setAudioInputSource(this); }
    ~FakeAudioInput() override { setAudioInputSource(nullptr); }
    FakeAudioInput(const FakeAudioInput&) = delete;
    FakeAudioInput& operator=(const FakeAudioInput&) = delete;

    // Opening fails with `error` while it is not empty.
    void failOpen(const QString& error) { mOpenError = error; }
    // Hands `samples` to the running capture at once, in blocks of 10 ms as a server would; false if none runs.
    bool feed(const std::vector<float>& samples);
    // The running capture fails as an unplugged device would.
    bool fail(const QString& reason);
    bool running() const { return mRunning != nullptr; }
    // The input ids asked for, in order.
    const QStringList& opened() const { return mOpened; }

    std::unique_ptr<AudioCapture> start(const QString& inputId, CaptureHandlers handlers, QString& error) override;

private:
    friend class FakeCapture;
    QString mOpenError;
    QStringList mOpened;
    CaptureHandlers* mRunning = nullptr;
};
