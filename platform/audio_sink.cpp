#include "platform/audio_sink.h"

#include "platform/levels.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QMediaDevices>
#include <QPointer>
#include <QTimer>

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace {

// What the stream asks the server to hold ahead of the speaker. Qt asks for low latency, and the server
// then keeps about half of it in the stream itself: with 600 ms the user-interface thread may be held up
// 200 ms between two feeds before the sound breaks (with 400 ms, 150 ms broke it now and then).
constexpr int kSinkBufferMs = 600;
// How often the stream is topped up. Qt's own pull mode wakes every 20 ms for a period's worth; filling
// the whole free space a few times a second costs a third less CPU.
constexpr int kFeedMs = 100;
// Past the file's length by this much, a stream that still claims to play is taken as stuck (its device
// vanished), so the transmitter is never held keyed for ever.
constexpr qint64 kStuckAfterUSecs = 2'000'000;
// Longer than a cycle of any sound server's graph (PipeWire's longest default is 2048 frames, 43 ms).
constexpr int kTrailingSilenceMs = 50;
// How much later than the server's timing says the end is called. PulseAudio's timing is exact to a
// millisecond or two. PipeWire's moves in whole cycles of its graph (21 ms at its default 1024 frames),
// and with PulseAudio's margin its ends came up to 7 ms early; until the server has said which it is, the
// end is called as late as for PipeWire, since one called early cuts into the transmitter's tail.
constexpr qint64 kEndMarginUSecs = 6'000;
constexpr qint64 kCoarseEndMarginUSecs = 14'000;
// How often a stream on a chosen output looks whether the output is still there: what of the message the
// server may move to its default output meanwhile is a syllable at most.
constexpr int kOutputWatchMs = 20;

// The output the sound server knows as `outputId`, "" its default; null when it has no such output now.
QAudioDevice findOutput(const QString& outputId)
{
    if (outputId.isEmpty())
        return QMediaDevices::defaultAudioOutput();
    const QByteArray id = outputId.toUtf8();
    const QList<QAudioDevice> outputs = QMediaDevices::audioOutputs();
    const auto found =
        std::find_if(outputs.cbegin(), outputs.cend(), [&id](const QAudioDevice& output) { return output.id() == id; });
    return found == outputs.cend() ? QAudioDevice() : *found;
}

struct SndfileCloser
{
    void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileCloser>;

bool isWaveContainer(int format)
{
    const int major = format & SF_FORMAT_TYPEMASK;
    return major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_RF64 || major == SF_FORMAT_W64;
}

// Gains of one source channel into left and right when more than two channels fold into stereo.
std::array<float, 2> foldGains(int position, int index)
{
    constexpr float kCentre = 0.70710678f;
    switch (position) {
    case SF_CHANNEL_MAP_LEFT:
    case SF_CHANNEL_MAP_FRONT_LEFT:
    case SF_CHANNEL_MAP_REAR_LEFT:
    case SF_CHANNEL_MAP_SIDE_LEFT:
    case SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER:
    case SF_CHANNEL_MAP_TOP_FRONT_LEFT:
    case SF_CHANNEL_MAP_TOP_REAR_LEFT:
        return {1.0f, 0.0f};
    case SF_CHANNEL_MAP_RIGHT:
    case SF_CHANNEL_MAP_FRONT_RIGHT:
    case SF_CHANNEL_MAP_REAR_RIGHT:
    case SF_CHANNEL_MAP_SIDE_RIGHT:
    case SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER:
    case SF_CHANNEL_MAP_TOP_FRONT_RIGHT:
    case SF_CHANNEL_MAP_TOP_REAR_RIGHT:
        return {0.0f, 1.0f};
    case SF_CHANNEL_MAP_MONO:
    case SF_CHANNEL_MAP_CENTER:
    case SF_CHANNEL_MAP_FRONT_CENTER:
    case SF_CHANNEL_MAP_REAR_CENTER:
    case SF_CHANNEL_MAP_TOP_CENTER:
    case SF_CHANNEL_MAP_TOP_FRONT_CENTER:
    case SF_CHANNEL_MAP_TOP_REAR_CENTER:
        return {kCentre, kCentre};
    case SF_CHANNEL_MAP_LFE:
        return {0.0f, 0.0f};
    default:
        // No usable map: the usual interleaving puts left-hand channels first in each pair.
        return index % 2 == 0 ? std::array<float, 2>{1.0f, 0.0f} : std::array<float, 2>{0.0f, 1.0f};
    }
}

struct SoxrDeleter
{
    void operator()(soxr_t resampler) const { soxr_delete(resampler); }
};
using SoxrPtr = std::unique_ptr<struct soxr, SoxrDeleter>;

// The file's samples in the sink's format and at the sink's rate, decoded as the sink pulls them. Its size
// is what the header promises; should the data end early, silence makes up the rest, so the sink is never
// told a length that does not come. The server is never handed a rate it did not ask for: a file at an
// odd rate (a header saying 5 Hz crashed Qt's own conversion) is converted here, by a resampler made for it.
class PcmReader : public QIODevice
{
public:
    PcmReader(SndfilePtr file, QByteArray fileName, const SF_INFO& info)
        : mFile(std::move(file)), mFileName(std::move(fileName)), mSourceChannels(info.channels),
          mSourceRate(info.samplerate), mFrames(std::max<sf_count_t>(info.frames, 0))
    {
        if (mSourceChannels > 2) {
            std::vector<int> map(static_cast<size_t>(mSourceChannels), SF_CHANNEL_MAP_INVALID);
            const bool haveMap = sf_command(mFile.get(), SFC_GET_CHANNEL_MAP_INFO, map.data(),
                                            static_cast<int>(map.size() * sizeof(int))) == SF_TRUE;
            std::array<float, 2> total{0.0f, 0.0f};
            for (int i = 0; i < mSourceChannels; ++i) {
                const auto gains = foldGains(haveMap ? map[static_cast<size_t>(i)] : SF_CHANNEL_MAP_INVALID, i);
                mFold.push_back(gains);
                total[0] += gains[0];
                total[1] += gains[1];
            }
            // Scaled so that channels at full scale together cannot clip.
            for (auto& gains : mFold) {
                gains[0] /= std::max(total[0], 1.0f);
                gains[1] /= std::max(total[1], 1.0f);
            }
        }
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }

    // False when no resampler can be made for the two rates.
    bool setOutput(int channels, QAudioFormat::SampleFormat format, int rate)
    {
        mOutputChannels = channels;
        mFormat = format;
        mResampler.reset();
        mOutputFrames = mFrames;
        if (rate != mSourceRate) {
            soxr_error_t error = nullptr;
            const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
            mResampler.reset(
                soxr_create(mSourceRate, rate, static_cast<unsigned>(channels), &error, nullptr, &quality, nullptr));
            if (error != nullptr || !mResampler)
                return false;
            mOutputFrames = std::llround(double(mFrames) * rate / mSourceRate);
        }
        return true;
    }
    // A gain of 0 dB leaves the samples exactly as decoded.
    void setGain(double gainDb)
    {
        mGainApplied = gainDb != 0.0;
        mGain = static_cast<float>(gainFactor(gainDb));
    }
    qint64 frames() const { return mFrames; }
    int sourceChannels() const { return mSourceChannels; }
    int sourceRate() const { return mSourceRate; }

    // Silence handed out after the last frame. PipeWire's Pulse service plays a stream in whole cycles of
    // its graph and waits a cycle for the rest of a short last one, which is heard as a drop-out just
    // before the end; with silence behind it the last sound goes out in one piece. Never heard as sound:
    // the stream counts as ended at the last frame of the file.
    void setTrailingSilence(qint64 frames) { mTrailingFrames = std::max<qint64>(frames, 0); }
    // Whether every frame of the file has been handed out; only the trailing silence may be left.
    bool soundSpent() const { return mPosition >= mOutputFrames; }

    bool isSequential() const override { return false; }
    qint64 size() const override { return (mOutputFrames + mTrailingFrames) * bytesPerFrame(); }

    // Back to the first frame, for playing again. Some codecs (GSM 6.10) cannot seek: the file is opened
    // anew then. Should that fail, the rest plays as silence.
    bool rewind()
    {
        if (mFileRead) {
            if (sf_seek(mFile.get(), 0, SEEK_SET) != 0) {
                SF_INFO info{};
                mFile.reset(sf_open(mFileName.constData(), SFM_READ, &info));
            }
            mFileEnded = !mFile;
            mFileRead = false;
        }
        if (mResampler)
            soxr_clear(mResampler.get());
        mSourcePosition = 0;
        mPending.clear();
        mPendingAt = 0;
        mFlushed = false;
        mPosition = 0;
        return QIODevice::seek(0);
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 count = std::min(maxSize / bytesPerFrame(), mOutputFrames - mPosition);
        if (count <= 0)
            return readTrailingSilence(data, maxSize);
        mOut.assign(static_cast<size_t>(count * mOutputChannels), 0.0f);
        if (mResampler)
            resampleInto(count);
        else
            decodeFolded(count, mOut.data());
        if (mGainApplied) {
            // The gain is limited to the file's headroom; what the resampler overshoots between samples
            // is held at full scale rather than wrapped or handed to the server over it.
            for (float& value : mOut)
                value = std::clamp(value * mGain, -1.0f, 1.0f);
        }
        if (mFormat == QAudioFormat::Float) {
            std::copy(mOut.begin(), mOut.end(), reinterpret_cast<float*>(data));
        } else {
            auto* out = reinterpret_cast<qint16*>(data);
            for (float value : mOut) {
                // libsndfile scales 16-bit data by 1/32768, so this gives such files back bit for bit.
                const float scaled = std::nearbyint(value * 32768.0f);
                *out++ = static_cast<qint16>(std::clamp(scaled, -32768.0f, 32767.0f));
            }
        }
        mPosition += count;
        return count * bytesPerFrame();
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    qint64 readTrailingSilence(char* data, qint64 maxSize)
    {
        const qint64 count = std::min(maxSize / bytesPerFrame(), mOutputFrames + mTrailingFrames - mPosition);
        if (count <= 0)
            return 0;
        std::memset(data, 0, static_cast<size_t>(count * bytesPerFrame()));
        mPosition += count;
        return count * bytesPerFrame();
    }

    qint64 bytesPerFrame() const
    {
        return qint64{mOutputChannels} * (mFormat == QAudioFormat::Float ? qint64{sizeof(float)} : 2);
    }

    // Decodes up to `frames` source frames into `out`, folded to the output's channels; returns how many
    // frames of the header's count that was. Frames the file fails to give stay silent.
    qint64 decodeFolded(qint64 frames, float* out)
    {
        const qint64 count = std::min(frames, mFrames - mSourcePosition);
        if (count <= 0)
            return 0;
        mDecoded.assign(static_cast<size_t>(count * mSourceChannels), 0.0f);
        if (!mFileEnded) {
            mFileRead = true;
            const sf_count_t got = sf_readf_float(mFile.get(), mDecoded.data(), count);
            if (got < count)
                mFileEnded = true;
        }
        for (qint64 frame = 0; frame < count; ++frame) {
            const float* in = mDecoded.data() + frame * mSourceChannels;
            for (int channel = 0; channel < mOutputChannels; ++channel)
                *out++ = foldedSample(in, channel);
        }
        mSourcePosition += count;
        return count;
    }

    float foldedSample(const float* in, int channel) const
    {
        if (mFold.empty())
            return in[std::min(channel, mSourceChannels - 1)];
        float mixed = 0.0f;
        for (int source = 0; source < mSourceChannels; ++source)
            mixed += in[source] * mFold[static_cast<size_t>(source)][static_cast<size_t>(channel)];
        return mixed;
    }

    // Fills `count` output frames of mOut through the resampler, feeding it source frames as it asks.
    // Once the source is spent the resampler is flushed; what it still falls short of stays silent.
    void resampleInto(qint64 count)
    {
        constexpr qint64 kChunkFrames = 1024;
        qint64 filled = 0;
        while (filled < count) {
            if (mPendingAt >= qint64(mPending.size()) / mOutputChannels && mSourcePosition < mFrames) {
                mPending.assign(static_cast<size_t>(kChunkFrames * mOutputChannels), 0.0f);
                const qint64 got = decodeFolded(kChunkFrames, mPending.data());
                mPending.resize(static_cast<size_t>(got * mOutputChannels));
                mPendingAt = 0;
            }
            const qint64 available = qint64(mPending.size()) / mOutputChannels - mPendingAt;
            const bool sourceSpent = available == 0 && mSourcePosition >= mFrames;
            if (sourceSpent && mFlushed)
                break;
            size_t used = 0;
            size_t made = 0;
            const float* in = sourceSpent ? nullptr : mPending.data() + mPendingAt * mOutputChannels;
            soxr_process(mResampler.get(), in, static_cast<size_t>(available), &used,
                         mOut.data() + filled * mOutputChannels, static_cast<size_t>(count - filled), &made);
            mPendingAt += qint64(used);
            filled += qint64(made);
            if (sourceSpent && made == 0)
                mFlushed = true;
        }
    }

    SndfilePtr mFile;
    QByteArray mFileName; // as libsndfile takes it, to open the file again
    int mSourceChannels;
    int mSourceRate;
    qint64 mFrames;             // source frames, as the header says
    qint64 mOutputFrames = 0;   // the same length at the output's rate
    qint64 mSourcePosition = 0; // source frames decoded since the start
    qint64 mPosition = 0;       // output frames handed out since the start, trailing silence included
    qint64 mTrailingFrames = 0;
    bool mFileRead = false;  // frames were decoded since the file was opened or rewound
    bool mFileEnded = false; // the file gave fewer frames than its header promised
    int mOutputChannels = 1;
    QAudioFormat::SampleFormat mFormat = QAudioFormat::Float;
    std::vector<std::array<float, 2>> mFold; // empty unless more than two channels fold into stereo
    std::vector<float> mDecoded;
    SoxrPtr mResampler;          // null while the file's rate is the output's
    std::vector<float> mPending; // folded source frames not yet taken by the resampler
    qint64 mPendingAt = 0;
    bool mFlushed = false;
    std::vector<float> mOut;
    bool mGainApplied = false;
    float mGain = 1.0f;
};

// How long a stopped sink lives on before it is deleted: far longer than the server takes to finish
// with its stream, short enough that a day of messages leaves nothing behind.
constexpr int kRetiredSinkLifeMs = 2000;

void retireSink(std::unique_ptr<QAudioSink> sink)
{
    QAudioSink* retired = sink.release();
    QTimer::singleShot(kRetiredSinkLifeMs, retired, &QObject::deleteLater);
}

// A stream made and connected while the output wakes, before the line is keyed, and left unwritten: the
// server plays nothing until data comes. Making a stream waits on the server (tens of milliseconds on
// PipeWire, and never the same twice), so the message that takes it over is heard that much sooner after
// "play", and as soon each time, which is what lets the lead be timed.
struct PrimedSink
{
    std::unique_ptr<QAudioSink> sink;
    QPointer<QIODevice> input; // the sink's own, deleted with it
};

class SinkAudioStream : public AudioStream
{
public:
    SinkAudioStream(std::unique_ptr<PcmReader> pcm, int sampleRate, SinkAudioBackend::Output output, QString outputId,
                    qint64 endMarginUSecs, PrimedSink primed)
        : mPcm(std::move(pcm)), mPrimed(std::move(primed)), mOutput(output), mOutputId(std::move(outputId)),
          mDurationUSecs(mPcm->frames() * 1'000'000 / std::max(sampleRate, 1)), mEndMarginUSecs(endMarginUSecs)
    {
        // The server moves a stream whose output was removed onto its default, which is the speakers or
        // whatever else is not the radio: the message ends here instead, as soon as Qt's list of outputs
        // shows it gone. Qt 6.4 never signals that change, so the list is read while the stream plays.
        mOutputWatch.setInterval(kOutputWatchMs);
        QObject::connect(&mOutputWatch, &QTimer::timeout, &mOutputWatch, [this] {
            if (mStarted && findOutput(mOutputId).isNull())
                fail(MciError::OutputNotFound);
        });
        mFeed.setInterval(kFeedMs);
        QObject::connect(&mFeed, &QTimer::timeout, &mFeed, [this] { feed(); });
    }

    // Sinks are stopped here and destroyed only later: Qt 6.4's sound-server client can still deliver a
    // state change for a stream it is tearing down, and a sink deleted at once is then used after free.
    ~SinkAudioStream() override
    {
        mFeed.stop();
        if (mPrimed.sink)
            mSinks.push_back(std::move(mPrimed.sink));
        for (auto& sink : mSinks) {
            sink->stop();
            retireSink(std::move(sink));
        }
    }

    std::int32_t play() override
    {
        if (isPlaying())
            return 0;
        mFailure = 0;
        const QAudioDevice device = findOutput(mOutputId);
        if (device.isNull())
            return mOutputId.isEmpty() ? MciError::HardwareError : MciError::OutputNotFound;
        // Played to the end or stopped: "play" starts over, on the sink that worked before.
        if (mActive != nullptr) {
            mActive->stop();
            mPcm->rewind();
            return start(mActive);
        }
        if (mPrimed.sink && takePrimed() == 0)
            return 0;
        // The output's own rate: the server then mixes without converting, and never sees the file's.
        const int outputRate =
            device.preferredFormat().sampleRate() > 0 ? device.preferredFormat().sampleRate() : 48000;
        for (const QAudioFormat& format : candidateFormats(outputRate)) {
            if (!device.isFormatSupported(format))
                continue;
            if (!mPcm->setOutput(format.channelCount(), format.sampleFormat(), format.sampleRate()))
                return MciError::HardwareError;
            mPcm->setTrailingSilence(qint64{format.sampleRate()} * kTrailingSilenceMs / 1000);
            mPcm->rewind();
            auto sink = std::make_unique<QAudioSink>(device, format);
            sink->setBufferSize(format.bytesForDuration(qint64{kSinkBufferMs} * 1000));
            QAudioSink* candidate = sink.get();
            mSinks.push_back(std::move(sink));
            if (start(candidate) == 0)
                return 0;
        }
        return MciError::HardwareError;
    }

    bool isPlaying() override { return timeLeftUSecs() > 0; }

    std::int64_t timeLeftUSecs() override
    {
        if (mActive == nullptr || !mStarted)
            return 0;
        // Nothing to be heard: the trailing silence need not wait for the server to start the stream.
        if (mDurationUSecs == 0)
            return 0;
        // A sink that stopped by itself lost its server.
        if (mActive->state() == QAudio::StoppedState) {
            fail(MciError::HardwareError);
            return 0;
        }
        const qint64 now = mSincePlay.nsecsElapsed() / 1000;
        if (now > mDurationUSecs + kStuckAfterUSecs) {
            fail(MciError::HardwareError);
            return 0;
        }
        const qint64 played = mActive->processedUSecs();
        // While data flows the server's timing is fresh: remember when, by our clock, the first sample was
        // heard. Taken anew at every query, so the sound card's clock drift never adds up.
        if (played > 0 && mActive->state() == QAudio::ActiveState)
            mHeardFrom = now - played;
        if (!mPcm->soundSpent())
            return std::max<qint64>(mDurationUSecs - played, 1);
        // Once the server holds the last data the end is the start measured above plus the file's length.
        // The margin covers the granularity of the server's timing.
        if (mHeardFrom >= 0)
            return std::max<qint64>(
                std::min(mHeardFrom + mDurationUSecs - now, mDurationUSecs - played) + mEndMarginUSecs, 0);
        return std::max<qint64>(mDurationUSecs - played + mEndMarginUSecs, 0);
    }

    std::int64_t heardAfterUSecs() override { return mHeardFrom; }

    std::int32_t failure() override { return mFailure; }

    void stop() override
    {
        if (mActive != nullptr)
            mActive->stop();
        mStarted = false;
        mOutputWatch.stop();
        mFeed.stop();
    }

private:
    // The message did not get out whole: the sink is stopped so that nothing more of it plays anywhere.
    void fail(std::int32_t error)
    {
        mActive->stop();
        mStarted = false;
        mFailure = error;
        mOutputWatch.stop();
        mFeed.stop();
    }

    // Hands the server as much as it has room for. The sink owns its input and deletes it when it stops,
    // by our hand or on losing its server, hence the guarded pointer.
    void feed()
    {
        if (mInput.isNull() || mActive == nullptr || mActive->state() == QAudio::StoppedState) {
            mFeed.stop();
            return;
        }
        for (;;) {
            if (mUnwritten.isEmpty()) {
                const qint64 room = mActive->bytesFree() / mFrameBytes * mFrameBytes;
                if (room <= 0)
                    return;
                mUnwritten.resize(room);
                const qint64 got = mPcm->read(mUnwritten.data(), room);
                mUnwritten.resize(std::max<qint64>(got, 0));
                // Past the file the stream is fed silence until it is closed. One left to run dry gets its
                // timing from the server ever more rarely, and its end was then called a PipeWire graph
                // cycle late; kept flowing, the server's timing stays fresh to the last sample.
                if (mUnwritten.isEmpty())
                    mUnwritten.fill('\0', room);
            }
            const qint64 written = mInput->write(mUnwritten);
            if (written <= 0)
                return;
            mUnwritten.remove(0, written);
            if (!mUnwritten.isEmpty())
                return;
        }
    }

    // Plays on the stream made while the output woke, in its format. Not zero when it cannot: the
    // stream is then dropped and one made as usual.
    std::int32_t takePrimed()
    {
        std::unique_ptr<QAudioSink> sink = std::move(mPrimed.sink);
        QPointer<QIODevice> input = mPrimed.input;
        QAudioSink* candidate = sink.get();
        mSinks.push_back(std::move(sink));
        const QAudioFormat format = candidate->format();
        if (input.isNull() || candidate->state() == QAudio::StoppedState ||
            !mPcm->setOutput(format.channelCount(), format.sampleFormat(), format.sampleRate())) {
            candidate->stop();
            return MciError::HardwareError;
        }
        mPcm->setTrailingSilence(qint64{format.sampleRate()} * kTrailingSilenceMs / 1000);
        mPcm->rewind();
        mSincePlay.start();
        return adopt(candidate, input);
    }

    std::vector<QAudioFormat> candidateFormats(int rate) const
    {
        const int channels = std::min(mPcm->sourceChannels(), 2);
        std::vector<QAudioFormat> formats;
        for (int count : {channels, 2}) {
            for (QAudioFormat::SampleFormat sampleFormat : {QAudioFormat::Float, QAudioFormat::Int16}) {
                if (sampleFormat == QAudioFormat::Float && mOutput == SinkAudioBackend::Output::Int16Only)
                    continue;
                QAudioFormat format;
                format.setSampleRate(rate);
                format.setChannelCount(count);
                format.setSampleFormat(sampleFormat);
                formats.push_back(format);
            }
            if (count == 2)
                break;
        }
        return formats;
    }

    std::int32_t start(QAudioSink* sink)
    {
        // Timed from before the stream is made: Qt waits here until the server has it ready, which takes
        // tens of milliseconds on PipeWire, and the first sample is heard that much later after "play".
        mSincePlay.start();
        QIODevice* input = sink->start();
        // Without a server, start() leaves the sink stopped with an error and emits nothing.
        if (sink->error() != QAudio::NoError) {
            sink->stop();
            mStarted = false;
            return MciError::HardwareError;
        }
        return adopt(sink, input);
    }

    std::int32_t adopt(QAudioSink* sink, QIODevice* input)
    {
        mUnwritten.clear();
        mInput = input;
        if (mInput.isNull() || sink->state() == QAudio::StoppedState) {
            sink->stop();
            mInput = nullptr;
            mStarted = false;
            return MciError::HardwareError;
        }
        mFrameBytes = std::max(sink->format().bytesPerFrame(), 1);
        mActive = sink;
        mStarted = true;
        feed();
        mFeed.start();
        if (!mOutputId.isEmpty())
            mOutputWatch.start();
        mHeardFrom = -1;
        return 0;
    }

    std::unique_ptr<PcmReader> mPcm;
    PrimedSink mPrimed; // until the first "play" takes it
    SinkAudioBackend::Output mOutput;
    QString mOutputId;          // "" for the server's default, which follows the server's choice
    QTimer mOutputWatch;        // runs while a chosen output plays, to find it gone
    QTimer mFeed;               // runs while the stream plays, with silence after the file
    QPointer<QIODevice> mInput; // the active sink's own input, while it plays
    QByteArray mUnwritten;      // read from the file, not yet taken by the server
    int mFrameBytes = 1;
    std::int32_t mFailure = 0;
    qint64 mDurationUSecs;
    qint64 mEndMarginUSecs;
    std::vector<std::unique_ptr<QAudioSink>> mSinks; // every sink made, kept to the end (see destructor)
    QAudioSink* mActive = nullptr;
    bool mStarted = false;
    qint64 mHeardFrom = -1; // microseconds after play() at which the first sample was heard; -1 unknown
    QElapsedTimer mSincePlay;
};

bool propertySet(const char* property)
{
    const QByteArray key(property);
    return qEnvironmentVariableIsSet(QByteArray("PULSE_PROP_").append(property).constData()) ||
           qEnvironmentVariableIsSet(QByteArray("PULSE_PROP_OVERRIDE_").append(property).constData()) ||
           qgetenv("PULSE_PROP").contains(key) || qgetenv("PULSE_PROP_OVERRIDE").contains(key);
}

} // namespace

SinkAudioBackend::SinkAudioBackend(Output output) : mOutput(output)
{
    // The sound server remembers the output chosen for each application by its name, which is how the
    // operator routes messages to the radio's sound card once. Qt 6.4 names its client "QtPulseAudio:<pid>",
    // new on every run, so we name it after the program; libpulse reads this variable when Qt creates its
    // client at the first stream, which comes after this backend exists. A name set by the user stays.
    if (!propertySet("application.name")) {
        QString name = QCoreApplication::applicationName();
        if (name.isEmpty())
            name = QStringLiteral("WrenKeyer");
        qputenv("PULSE_PROP_OVERRIDE_application.name", name.toUtf8());
    }
    // Only now: the probe's client reads the environment on its own thread.
    mServer = std::make_unique<SoundServerProbe>();
}

namespace {

// The checks every file passes before anything plays it: a regular file (a FIFO would block the open),
// a WAV container libsndfile reads, a rate that makes sense.
std::unique_ptr<PcmReader> openReader(const QString& path, std::int32_t& error)
{
    const QFileInfo file(path);
    if (!file.exists()) {
        error = MciError::FileNotFound;
        return nullptr;
    }
    SF_INFO info{};
    QByteArray fileName = QFile::encodeName(path);
    SndfilePtr handle(file.isFile() ? sf_open(fileName.constData(), SFM_READ, &info) : nullptr);
    // Rates outside these make no sense for a recording, and a resampler asked for them would be too.
    constexpr int kLowestRate = 1;
    constexpr int kHighestRate = 1'000'000;
    if (!handle || !isWaveContainer(info.format) || info.channels < 1 || info.samplerate < kLowestRate ||
        info.samplerate > kHighestRate) {
        error = MciError::InvalidFile;
        return nullptr;
    }
    error = 0;
    return std::make_unique<PcmReader>(std::move(handle), std::move(fileName), info);
}

} // namespace

namespace {

// Endless silence, for keeping an output awake.
class SilenceDevice final : public QIODevice
{
public:
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return std::numeric_limits<int>::max(); }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        std::memset(data, 0, size_t(maxSize));
        return maxSize;
    }
    qint64 writeData(const char*, qint64) override { return -1; }
};

// A waker nobody lets sleep (a message given up on the way) stops by itself after the longest lead.
constexpr int kWakerLifeMs = 5000;
constexpr int kWakerBufferMs = 40;

// The message's stream, made now and written only at "play": two channels, whatever the file has, since
// the file is not known yet; the server would spread a mono stream over both all the same.
PrimedSink primeSink(const QAudioDevice& device, int rate, SinkAudioBackend::Output output)
{
    for (QAudioFormat::SampleFormat sampleFormat : {QAudioFormat::Float, QAudioFormat::Int16}) {
        if (sampleFormat == QAudioFormat::Float && output == SinkAudioBackend::Output::Int16Only)
            continue;
        QAudioFormat format;
        format.setSampleRate(rate);
        format.setChannelCount(2);
        format.setSampleFormat(sampleFormat);
        if (!device.isFormatSupported(format))
            continue;
        PrimedSink primed{std::make_unique<QAudioSink>(device, format), nullptr};
        primed.sink->setBufferSize(format.bytesForDuration(qint64{kSinkBufferMs} * 1000));
        primed.input = primed.sink->start();
        if (primed.sink->error() == QAudio::NoError && primed.sink->state() != QAudio::StoppedState &&
            !primed.input.isNull())
            return primed;
        primed.sink->stop();
        retireSink(std::move(primed.sink));
    }
    return {};
}

} // namespace

struct SinkAudioBackend::Waker
{
    QString outputId;
    std::unique_ptr<QAudioSink> sink; // its silence is its child: a late pull never meets a deleted source
    QTimer life;
    PrimedSink primed; // for the message, until it opens
};

SinkAudioBackend::~SinkAudioBackend()
{
    letSleep();
}

void SinkAudioBackend::wake(const QString& outputId)
{
    if (mWaker && mWaker->outputId == outputId) {
        mWaker->life.start(kWakerLifeMs);
        return;
    }
    // Another output was chosen meanwhile: the one kept awake for nothing may sleep.
    letSleep();
    const QAudioDevice device = findOutput(outputId);
    if (device.isNull())
        return;
    QAudioFormat format = device.preferredFormat();
    if (!format.isValid() || !device.isFormatSupported(format)) {
        format.setSampleRate(48000);
        format.setChannelCount(2);
        format.setSampleFormat(QAudioFormat::Int16);
        if (!device.isFormatSupported(format))
            return;
    }
    auto waker = std::make_unique<Waker>();
    waker->outputId = outputId;
    waker->sink = std::make_unique<QAudioSink>(device, format);
    auto* silence = new SilenceDevice;
    silence->setParent(waker->sink.get());
    silence->open(QIODevice::ReadOnly);
    waker->sink->setBufferSize(format.bytesForDuration(qint64{kWakerBufferMs} * 1000));
    waker->sink->start(silence);
    // No server, or one that refused the stream: nothing to wait for, and the message will say why.
    if (waker->sink->error() != QAudio::NoError || waker->sink->state() == QAudio::StoppedState) {
        waker->sink->stop();
        retireSink(std::move(waker->sink));
        return;
    }
    waker->primed = primeSink(device, format.sampleRate(), mOutput);
    waker->life.setSingleShot(true);
    QObject::connect(&waker->life, &QTimer::timeout, [this] { letSleep(); });
    waker->life.start(kWakerLifeMs);
    mWaker = std::move(waker);
}

bool SinkAudioBackend::isAwake()
{
    if (!mWaker)
        return true;
    QAudioSink& sink = *mWaker->sink;
    if (sink.state() == QAudio::StoppedState)
        return true; // lost its server: waiting longer wakes nothing
    // The server's clock only moves once the output runs: a suspended one holds the stream back.
    return sink.processedUSecs() > 0;
}

void SinkAudioBackend::letSleep()
{
    if (!mWaker)
        return;
    std::unique_ptr<Waker> waker = std::move(mWaker);
    waker->life.stop();
    waker->sink->stop();
    if (waker->primed.sink) {
        waker->primed.sink->stop();
        retireSink(std::move(waker->primed.sink));
    }
    // The sink outlives its silence only stopped, and is deleted late for the same reason as every sink.
    retireSink(std::move(waker->sink));
}

std::unique_ptr<AudioStream> SinkAudioBackend::open(const QString& path, const PlayOptions& options,
                                                    std::int32_t& error)
{
    std::unique_ptr<PcmReader> reader = openReader(path, error);
    if (!reader)
        return nullptr;
    if (const std::int32_t missing = checkOutput(options.outputId); missing != 0) {
        error = missing;
        return nullptr;
    }
    reader->setGain(effectiveGainDb(path, options.gainDb));
    const int sampleRate = reader->sourceRate();
    PrimedSink primed;
    if (mWaker && mWaker->outputId == options.outputId)
        primed = std::move(mWaker->primed);
    return std::make_unique<SinkAudioStream>(std::move(reader), sampleRate, mOutput, options.outputId, endMarginUSecs(),
                                             std::move(primed));
}

qint64 SinkAudioBackend::endMarginUSecs() const
{
    return endMarginUSecs(mServer->kind());
}

qint64 SinkAudioBackend::endMarginUSecs(SoundServerKind kind)
{
    return kind == SoundServerKind::PulseAudio ? kEndMarginUSecs : kCoarseEndMarginUSecs;
}

std::int32_t SinkAudioBackend::checkOutput(const QString& outputId)
{
    // The default is whatever the server plays on; a server that is not there fails at "play", as ever.
    if (outputId.isEmpty())
        return 0;
    return findOutput(outputId).isNull() ? MciError::OutputNotFound : 0;
}

std::int32_t SinkAudioBackend::check(const QString& path)
{
    std::int32_t error = 0;
    openReader(path, error);
    return error;
}

std::unique_ptr<QIODevice> openPcm(const QString& path, int channels, bool float32, int rate, std::int32_t& error)
{
    std::unique_ptr<PcmReader> reader = openReader(path, error);
    if (!reader)
        return nullptr;
    if (channels < 1 || channels > 2 || rate < 1 ||
        !reader->setOutput(channels, float32 ? QAudioFormat::Float : QAudioFormat::Int16, rate)) {
        error = MciError::HardwareError;
        return nullptr;
    }
    reader->rewind();
    return reader;
}
