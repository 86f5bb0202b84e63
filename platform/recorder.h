#pragma once

#include <QAudioFormat>
#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

// Recordings are mono at this rate, whatever the input gives.
inline constexpr int kRecordRate = 48000;
// A recording stops by itself here: a message is seconds long, and a forgotten Record must not fill the
// memory (five minutes are 57 MB of float samples).
inline constexpr int kRecordMaxSeconds = 300;

struct soxr;

// An input's samples in any format Qt names, mixed to mono and brought to kRecordRate: what a device that
// will not give 48 kHz mono records through.
class MonoConverter
{
public:
    MonoConverter();
    ~MonoConverter();
    MonoConverter(const MonoConverter&) = delete;
    MonoConverter& operator=(const MonoConverter&) = delete;

    // False when the format is unusable or no resampler can be made from its rate.
    bool setInput(const QAudioFormat& format);
    // Converts the whole frames of `bytes` into `out`; a part frame waits for the rest.
    void convert(const QByteArray& bytes, std::vector<float>& out);
    // The end of the input: what the resampler still holds, about 100 ms at 8 kHz, into `out`.
    void finish(std::vector<float>& out);

private:
    struct SoxrDeleter
    {
        void operator()(soxr* resampler) const;
    };
    QAudioFormat mFormat;
    std::unique_ptr<soxr, SoxrDeleter> mResampler;
    QByteArray mPartial;
    std::vector<float> mMono;
};

// What an input hands on as it records: mono samples at kRecordRate, full scale 1.0, on the thread that
// started it; and once, why it stopped by itself (the device went away, the server refused the stream).
struct CaptureHandlers
{
    std::function<void(const float* samples, std::size_t count)> samples;
    std::function<void(const QString& reason)> failed;
};

// A running capture; destroying it stops it, and no handler runs after that.
class AudioCapture
{
public:
    virtual ~AudioCapture() = default;
    // Hands on whatever the input holds already, before the capture is destroyed at the end of a recording.
    virtual void drain() {}
};

// The sound inputs the program records from: the sound server's, unless a test installed another.
class AudioInputSource
{
public:
    virtual ~AudioInputSource() = default;
    // Starts recording from the input of `inputId` ("" = the system default) without waiting for it; on
    // failure returns null and sets `error`.
    virtual std::unique_ptr<AudioCapture> start(const QString& inputId, CaptureHandlers handlers, QString& error) = 0;
};

AudioInputSource& audioInputSource();
// Installs `source` (not owned); nullptr restores the sound server's.
void setAudioInputSource(AudioInputSource* source);

// One recording into memory, with its level as it goes: samples come as the event loop delivers them,
// nothing waits. Stops by itself at kRecordMaxSeconds, or when the input fails.
class Recorder : public QObject
{
    Q_OBJECT

public:
    explicit Recorder(QObject* parent = nullptr);
    ~Recorder() override;

    // Forgets any earlier recording and starts a new one; false with `error` set when the input refuses.
    bool start(const QString& inputId, QString& error);
    // Ends the recording; its samples stay until the next start or take.
    void stop();
    bool isRecording() const { return mCapture != nullptr; }
    std::vector<float> takeSamples() { return std::move(mSamples); }
    std::size_t sampleCount() const { return mSamples.size(); }
    // The length recorded so far, by the samples: what the file will hold.
    qint64 elapsedMs() const { return static_cast<qint64>(mSamples.size()) * 1000 / kRecordRate; }

signals:
    // The first samples have come: the input records from here on (a server can take a second to start).
    void running();
    // The peak (dBFS) of the 50 ms windows completed since the last report; elapsedMs() is the length that
    // goes with it.
    void level(double peakDbfs);
    // The recording stopped by itself; `reason` tells the operator why. The samples are kept.
    void stoppedItself(const QString& reason);

private:
    void append(const float* samples, std::size_t count);
    void endItself(const QString& reason);

    std::unique_ptr<AudioCapture> mCapture;
    std::vector<float> mSamples;
    float mWindowPeak = 0.0f;
    std::size_t mWindowFill = 0;
};
