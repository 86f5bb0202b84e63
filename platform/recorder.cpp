#include "platform/recorder.h"

#include "core/service.h"
#include "platform/levels.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSource>
#include <QIODevice>
#include <QMediaDevices>
#include <QThread>
#include <QTimer>

#include <soxr.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

// The server hands over this much at a time: what a Stop can lose at the end, and how often the meter moves.
constexpr int kSourceBufferMs = 20;
constexpr int kRetiredSourceLifeMs = 2000;
constexpr int kLevelWindowSamples = kRecordRate / 20;

// What the capture thread hands the user-interface thread: the input's bytes in order, and why it failed.
struct CaptureMailbox
{
    std::mutex mutex;
    QByteArray bytes;
    QString failure;
    bool notified = false; // a collection is already queued
    bool closed = false;   // the capture is gone: nothing more is posted
};

// Lives on the capture thread: Qt's source waits there for the server to make the stream ready (seconds, on
// a busy server), and reads each fragment there.
class SourceWorker : public QObject
{
public:
    SourceWorker(QAudioDevice device, QAudioFormat format, std::shared_ptr<CaptureMailbox> mailbox,
                 std::function<void()> notify)
        : mDevice(std::move(device)), mFormat(std::move(format)), mMailbox(std::move(mailbox)),
          mNotify(std::move(notify))
    {
    }

    void begin()
    {
        mSource = new QAudioSource(mDevice, mFormat, this);
        mSource->setBufferSize(mFormat.bytesForDuration(qint64{kSourceBufferMs} * 1000));
        mInput = mSource->start();
        if (mInput == nullptr || mSource->error() != QAudio::NoError)
            return fail(QStringLiteral("the sound server refused the recording stream"));
        connect(mInput, &QIODevice::readyRead, this, &SourceWorker::read);
        connect(mSource, &QAudioSource::stateChanged, this, [this](QAudio::State state) {
            if (state == QAudio::StoppedState && mSource->error() != QAudio::NoError)
                fail(QStringLiteral("the recording input stopped (it may have been unplugged)"));
        });
    }

    // The source is destroyed only a while after its stop, with the thread: Qt 6.4's sound-server client can
    // still deliver a state change for a stream it is tearing down (as with its sinks, see audio_sink.cpp).
    void end()
    {
        if (mSource != nullptr) {
            disconnect(mSource, nullptr, this, nullptr);
            if (mInput != nullptr)
                disconnect(mInput, nullptr, this, nullptr);
            mSource->stop();
        }
        QTimer::singleShot(kRetiredSourceLifeMs, this, [] { QThread::currentThread()->quit(); });
    }

private:
    void read()
    {
        const QByteArray bytes = mInput->readAll();
        if (bytes.isEmpty())
            return;
        post([&bytes](CaptureMailbox& box) { box.bytes += bytes; });
    }

    void fail(const QString& reason)
    {
        post([&reason](CaptureMailbox& box) {
            if (box.failure.isEmpty())
                box.failure = reason;
        });
    }

    // The notice is posted under the lock, so it cannot race the capture's end (see ~SourceCapture).
    void post(const std::function<void(CaptureMailbox&)>& put)
    {
        const std::lock_guard lock(mMailbox->mutex);
        if (mMailbox->closed)
            return;
        put(*mMailbox);
        if (!mMailbox->notified)
            mNotify();
        mMailbox->notified = true;
    }

    QAudioDevice mDevice;
    QAudioFormat mFormat;
    std::shared_ptr<CaptureMailbox> mMailbox;
    std::function<void()> mNotify;
    QAudioSource* mSource = nullptr;
    QIODevice* mInput = nullptr;
};

// Runs a SourceWorker on a thread of its own and hands its samples on in this thread. Nothing here waits
// for that thread: the server's slowness stays off the user-interface thread.
class SourceCapture : public AudioCapture
{
public:
    SourceCapture(const QAudioDevice& device, const QAudioFormat& format, CaptureHandlers handlers)
        : mHandlers(std::move(handlers)), mMailbox(std::make_shared<CaptureMailbox>())
    {
        mConverter.setInput(format);
        // Collections are queued to an object of this thread that goes with the capture.
        auto* receiver = new QObject;
        mReceiver.reset(receiver);
        mWorker = new SourceWorker(device, format, mMailbox, [receiver, this] {
            QMetaObject::invokeMethod(
                receiver, [this] { collect(false); }, Qt::QueuedConnection);
        });
        auto* thread = new QThread;
        thread->setObjectName(QStringLiteral("recording"));
        mWorker->moveToThread(thread);
        QObject::connect(thread, &QThread::finished, mWorker, &QObject::deleteLater);
        QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
        thread->start();
        SourceWorker* worker = mWorker;
        QMetaObject::invokeMethod(
            mWorker, [worker] { worker->begin(); }, Qt::QueuedConnection);
    }

    // The thread ends by itself once the source is safely stopped.
    ~SourceCapture() override
    {
        {
            const std::lock_guard lock(mMailbox->mutex);
            mMailbox->closed = true;
        }
        // Collections already posted go with it.
        mReceiver.reset();
        SourceWorker* worker = mWorker;
        QMetaObject::invokeMethod(
            mWorker, [worker] { worker->end(); }, Qt::QueuedConnection);
    }

    void drain() override { collect(true); }

private:
    // Converted here rather than on the capture thread, so the resampler's tail can be had at the end.
    void collect(bool last)
    {
        QByteArray bytes;
        QString failure;
        {
            const std::lock_guard lock(mMailbox->mutex);
            bytes.swap(mMailbox->bytes);
            failure = mMailbox->failure;
            mMailbox->notified = false;
        }
        mConverter.convert(bytes, mSamples);
        if (last) {
            std::vector<float> tail;
            mConverter.finish(tail);
            mSamples.insert(mSamples.end(), tail.begin(), tail.end());
        }
        if (!mSamples.empty() && mHandlers.samples)
            mHandlers.samples(mSamples.data(), mSamples.size());
        if (!failure.isEmpty() && !mFailed && mHandlers.failed) {
            mFailed = true;
            mHandlers.failed(failure);
        }
    }

    CaptureHandlers mHandlers;
    std::shared_ptr<CaptureMailbox> mMailbox;
    MonoConverter mConverter;
    std::vector<float> mSamples;
    std::unique_ptr<QObject> mReceiver;
    SourceWorker* mWorker = nullptr;
    bool mFailed = false;
};

// The input of the sound server, found by its id; the id comes from the settings and may name nothing.
class ServerInputSource : public AudioInputSource
{
public:
    std::unique_ptr<AudioCapture> start(const QString& inputId, CaptureHandlers handlers, QString& error) override
    {
        QAudioDevice device = inputId.isEmpty() ? QMediaDevices::defaultAudioInput() : QAudioDevice();
        if (!inputId.isEmpty()) {
            for (const QAudioDevice& input : QMediaDevices::audioInputs())
                if (input.id() == inputId.toUtf8())
                    device = input;
        }
        if (device.isNull()) {
            error = inputId.isEmpty()
                        ? QStringLiteral("there is no sound input (is the sound server running?)")
                        : QStringLiteral("the sound input \"%1\" is not on the sound server").arg(inputId);
            return nullptr;
        }
        // Asked for at the rate it is stored, in the input's own channels: the servers fold channels to mono
        // differently (PipeWire sums a stereo pair 3 dB hotter than PulseAudio), so the fold is done here,
        // the same everywhere. Anything else the device gives is converted here too.
        QAudioFormat format;
        format.setSampleRate(kRecordRate);
        format.setChannelCount(std::clamp(device.preferredFormat().channelCount(), 1, 2));
        format.setSampleFormat(QAudioFormat::Float);
        if (!device.isFormatSupported(format)) {
            format.setSampleFormat(QAudioFormat::Int16);
            if (!device.isFormatSupported(format))
                format = device.preferredFormat();
        }
        if (!format.isValid() || !MonoConverter().setInput(format)) {
            error = QStringLiteral("the sound input \"%1\" offers no format to record in").arg(device.description());
            return nullptr;
        }
        return std::make_unique<SourceCapture>(device, format, std::move(handlers));
    }
};

ServiceSlot<AudioInputSource, ServerInputSource>& inputSlot()
{
    static ServiceSlot<AudioInputSource, ServerInputSource> slot;
    return slot;
}

} // namespace

void MonoConverter::SoxrDeleter::operator()(soxr* resampler) const
{
    soxr_delete(resampler);
}

MonoConverter::MonoConverter() = default;
MonoConverter::~MonoConverter() = default;

bool MonoConverter::setInput(const QAudioFormat& format)
{
    mFormat = format;
    mResampler.reset();
    mPartial.clear();
    if (!format.isValid() || format.bytesPerFrame() <= 0)
        return false;
    if (format.sampleRate() == kRecordRate)
        return true;
    soxr_error_t error = nullptr;
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    mResampler.reset(soxr_create(format.sampleRate(), kRecordRate, 1, &error, &io, &quality, nullptr));
    return error == nullptr && mResampler != nullptr;
}

void MonoConverter::convert(const QByteArray& bytes, std::vector<float>& out)
{
    out.clear();
    const int frameBytes = mFormat.bytesPerFrame();
    const int channels = mFormat.channelCount();
    if (frameBytes <= 0 || channels <= 0)
        return;
    mPartial += bytes;
    const qsizetype frames = mPartial.size() / frameBytes;
    mMono.resize(static_cast<std::size_t>(frames));
    const char* data = mPartial.constData();
    for (qsizetype frame = 0; frame < frames; ++frame) {
        float sum = 0.0f;
        for (int channel = 0; channel < channels; ++channel)
            sum += mFormat.normalizedSampleValue(data + frame * frameBytes + channel * mFormat.bytesPerSample());
        mMono[static_cast<std::size_t>(frame)] = sum / static_cast<float>(channels);
    }
    mPartial.remove(0, frames * frameBytes);
    if (!mResampler) {
        out = mMono;
        return;
    }
    // What does not fit stays in the resampler for the next block.
    out.resize(mMono.size() * static_cast<std::size_t>(kRecordRate) / static_cast<std::size_t>(mFormat.sampleRate()) +
               64);
    std::size_t done = 0;
    soxr_process(mResampler.get(), mMono.data(), mMono.size(), nullptr, out.data(), out.size(), &done);
    out.resize(done);
}

void MonoConverter::finish(std::vector<float>& out)
{
    out.clear();
    if (!mResampler)
        return;
    std::vector<float> block(1024);
    for (;;) {
        std::size_t done = 0;
        // No input: the end of the stream, and what the filter still holds comes out.
        soxr_process(mResampler.get(), nullptr, 0, nullptr, block.data(), block.size(), &done);
        if (done == 0)
            break;
        out.insert(out.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(done));
    }
}

AudioInputSource& audioInputSource()
{
    return inputSlot().get();
}

void setAudioInputSource(AudioInputSource* source)
{
    inputSlot().install(source);
}

Recorder::Recorder(QObject* parent) : QObject(parent) {}

Recorder::~Recorder() = default;

bool Recorder::start(const QString& inputId, QString& error)
{
    stop();
    mSamples.clear();
    mWindowPeak = 0.0f;
    mWindowFill = 0;
    CaptureHandlers handlers;
    handlers.samples = [this](const float* samples, std::size_t count) { append(samples, count); };
    // Queued: the capture is destroyed in endItself, and must not be while its own handler runs.
    handlers.failed = [this](const QString& reason) {
        QTimer::singleShot(0, this, [this, reason] {
            if (isRecording())
                endItself(QStringLiteral("The recording stopped: %1.").arg(reason));
        });
    };
    mCapture = audioInputSource().start(inputId, std::move(handlers), error);
    return mCapture != nullptr;
}

void Recorder::stop()
{
    if (!mCapture)
        return;
    mCapture->drain();
    mCapture.reset();
}

void Recorder::append(const float* samples, std::size_t count)
{
    if (!isRecording())
        return;
    const std::size_t room = std::size_t{kRecordMaxSeconds} * kRecordRate - mSamples.size();
    const std::size_t taken = std::min(count, room);
    const bool first = mSamples.empty() && taken > 0;
    mSamples.insert(mSamples.end(), samples, samples + taken);
    if (first)
        emit running();
    // Told once the samples are in, so whoever shows the level reads the length that goes with it.
    float completed = -1.0f;
    for (std::size_t i = 0; i < taken; ++i) {
        mWindowPeak = std::max(mWindowPeak, std::fabs(samples[i]));
        if (++mWindowFill == kLevelWindowSamples) {
            completed = std::max(completed, mWindowPeak);
            mWindowPeak = 0.0f;
            mWindowFill = 0;
        }
    }
    if (completed >= 0.0f)
        emit level(dbfsOf(completed));
    if (taken < count || mSamples.size() == std::size_t{kRecordMaxSeconds} * kRecordRate) {
        // Not from inside the capture's handler: the capture goes at once.
        QTimer::singleShot(0, this, [this] {
            if (isRecording())
                endItself(
                    QStringLiteral("The recording stopped at its limit of %1 minutes.").arg(kRecordMaxSeconds / 60));
        });
    }
}

void Recorder::endItself(const QString& reason)
{
    mCapture.reset();
    emit stoppedItself(reason);
}
