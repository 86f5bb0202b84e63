// The recorder against the private PulseAudio server of scripts/pulse-test-server: a tone is played into the
// null sink while the sink's monitor is recorded, then trimmed,
// normalised and written as the dialog does.

#include "platform/levels.h"
#include "platform/recorder.h"
#include "platform/wavefile.h"
#include "tests/fakes/testenv.h"

#include <QAudioDevice>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMediaDevices>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <sndfile.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace {

constexpr double kToneAmplitude = 0.5;
constexpr double kToneHz = 1000.0;

bool writeTone(const QString& path, double seconds)
{
    SF_INFO info{};
    info.samplerate = kRecordRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (file == nullptr)
        return false;
    const auto frames = static_cast<sf_count_t>(std::lround(seconds * kRecordRate));
    std::vector<float> data(static_cast<std::size_t>(frames * 2));
    for (sf_count_t i = 0; i < frames; ++i) {
        const double phase = 2.0 * std::numbers::pi * kToneHz * double(i) / kRecordRate;
        data[static_cast<std::size_t>(2 * i)] = data[static_cast<std::size_t>(2 * i + 1)] =
            float(kToneAmplitude * std::sin(phase));
    }
    const bool written = sf_writef_float(file, data.data(), frames) == frames;
    return sf_close(file) == 0 && written;
}

void pump(qint64 ms)
{
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer wake;
    wake.start(2);
    while (elapsed.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

double rms(const float* samples, std::size_t count)
{
    double sum = 0.0;
    for (std::size_t i = 0; i < count; ++i)
        sum += double(samples[i]) * samples[i];
    return count > 0 ? std::sqrt(sum / double(count)) : 0.0;
}

} // namespace

class TstRecorder : public QObject
{
    Q_OBJECT

    QTemporaryDir mDir;
    QString mSink;
    QString mMonitor;
    QString mModule;   // the forwarding source's module, unloaded at the end
    QString mNoServer; // why the recording tests skip; empty when the test sink is there

private slots:
    void initTestCase()
    {
        QVERIFY(mDir.isValid());
        const QString sink = qEnvironmentVariable("WRENKEYER_TEST_SINK");
        if (sink.isEmpty()) {
            mNoServer = QStringLiteral("WRENKEYER_TEST_SINK is not set: run scripts/test, or "
                                       "eval \"$(scripts/pulse-test-server start)\"");
            return;
        }
        QVERIFY2(isNullSink(sink), "WRENKEYER_TEST_SINK does not name a null sink of a reachable sound server");
        // Qt leaves a sink's monitor out of its inputs, as no microphone; a source that forwards the monitor
        // is one it lists, and what it records is the monitor's sound unchanged.
        mSink = sink;
        mMonitor = QStringLiteral("wren_rec_%1").arg(QCoreApplication::applicationPid());
        QProcess pactl;
        pactl.start(QStringLiteral("pactl"),
                    {QStringLiteral("load-module"), QStringLiteral("module-remap-source"),
                     QStringLiteral("source_name=") + mMonitor, QStringLiteral("master=%1.monitor").arg(sink)});
        QVERIFY2(pactl.waitForFinished(10000) && pactl.exitCode() == 0, "module-remap-source did not load");
        mModule = QString::fromUtf8(pactl.readAllStandardOutput().trimmed());
        QStringList ids;
        for (const QAudioDevice& input : QMediaDevices::audioInputs())
            ids << QString::fromUtf8(input.id());
        QVERIFY2(ids.contains(mMonitor), qPrintable(QStringLiteral("inputs: ") + ids.join(QStringLiteral(", "))));
    }

    void cleanupTestCase()
    {
        if (!mModule.isEmpty())
            QProcess::execute(QStringLiteral("pactl"), {QStringLiteral("unload-module"), mModule});
    }

    void init()
    {
        if (!mNoServer.isEmpty() && QByteArray(QTest::currentTestFunction()) != "convertsAnyFormatToMono")
            QSKIP(qPrintable(mNoServer));
    }

    // What a device may give instead of 48 kHz mono: a 1 kHz tone at 0.5 on the first channel, silence on
    // the others, handed over in blocks that split frames.
    void convertsAnyFormatToMono_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("rate");
        QTest::addColumn<double>("tolerance"); // of the level; 8-bit steps are 0.8 % of full scale
        QTest::newRow("float mono 48 kHz") << int(QAudioFormat::Float) << 1 << 48000 << 0.02;
        QTest::newRow("int16 stereo 44.1 kHz") << int(QAudioFormat::Int16) << 2 << 44100 << 0.02;
        QTest::newRow("uint8 mono 8 kHz") << int(QAudioFormat::UInt8) << 1 << 8000 << 0.04;
        QTest::newRow("int32 six channels 96 kHz") << int(QAudioFormat::Int32) << 6 << 96000 << 0.02;
    }

    void convertsAnyFormatToMono()
    {
        QFETCH(int, format);
        QFETCH(int, channels);
        QFETCH(int, rate);
        QFETCH(double, tolerance);
        QAudioFormat input;
        input.setSampleFormat(QAudioFormat::SampleFormat(format));
        input.setChannelCount(channels);
        input.setSampleRate(rate);
        QByteArray bytes;
        const int frames = rate / 2;
        for (int i = 0; i < frames; ++i) {
            for (int c = 0; c < channels; ++c) {
                const double v = c == 0 ? kToneAmplitude * std::sin(2.0 * std::numbers::pi * kToneHz * i / rate) : 0.0;
                if (format == QAudioFormat::Float) {
                    const auto f = float(v);
                    bytes.append(reinterpret_cast<const char*>(&f), sizeof f);
                } else if (format == QAudioFormat::Int16) {
                    const auto n = qint16(std::lround(v * 32767));
                    bytes.append(reinterpret_cast<const char*>(&n), sizeof n);
                } else if (format == QAudioFormat::Int32) {
                    const auto n = qint32(std::llround(v * 2147483647.0));
                    bytes.append(reinterpret_cast<const char*>(&n), sizeof n);
                } else {
                    bytes.append(char(quint8(std::lround(128 + v * 127))));
                }
            }
        }
        MonoConverter converter;
        QVERIFY(converter.setInput(input));
        std::vector<float> mono;
        std::vector<float> block;
        for (qsizetype at = 0; at < bytes.size(); at += 1001) {
            converter.convert(bytes.mid(at, 1001), block);
            mono.insert(mono.end(), block.begin(), block.end());
        }
        converter.finish(block);
        mono.insert(mono.end(), block.begin(), block.end());
        // Half a second at the recording rate, the resampler's tail included.
        QVERIFY2(std::abs(qint64(mono.size()) - kRecordRate / 2) <= 2, qPrintable(QString::number(mono.size())));
        const std::size_t quarter = mono.size() / 4;
        const double expected = kToneAmplitude / channels;
        const float peak = peakOf(mono.data() + quarter, 2 * quarter);
        QVERIFY2(std::fabs(peak - expected) < tolerance * expected, qPrintable(QString::number(peak)));
        const double steady = rms(mono.data() + quarter, 2 * quarter);
        QVERIFY2(std::fabs(steady - expected / std::numbers::sqrt2) < 0.03 * expected,
                 qPrintable(QString::number(steady)));
    }

    void refusesAnInputThatIsNotThere()
    {
        Recorder recorder;
        QString error;
        QVERIFY(!recorder.start(QStringLiteral("no-such-input.monitor"), error));
        QVERIFY2(error.contains(QLatin1String("no-such-input.monitor")), qPrintable(error));
        QVERIFY(!recorder.isRecording());
    }

    // A second of tone, a quarter of a second into a recording of 1.5 s.
    void recordsWhatIsPlayed()
    {
        const QString tone = mDir.filePath(QStringLiteral("tone.wav"));
        QVERIFY(writeTone(tone, 1.0));
        Recorder recorder;
        QList<double> levels;
        connect(&recorder, &Recorder::level, this, [&levels](double dbfs) { levels << dbfs; });
        bool running = false;
        QElapsedTimer clock;
        connect(&recorder, &Recorder::running, this, [&] {
            running = true;
            clock.start();
        });
        QString error;
        QVERIFY2(recorder.start(mMonitor, error), qPrintable(error));
        // The length is counted from the first samples: a server may take a while to start the stream.
        QTRY_VERIFY_WITH_TIMEOUT(running, 5000);
        pump(250 - clock.elapsed());
        // Played by another client, as the radio's receiver or another program would be heard.
        QProcess player;
        player.start(QStringLiteral("paplay"), {QStringLiteral("--device=") + mSink, tone});
        QVERIFY(player.waitForStarted(5000));
        pump(1500 - clock.elapsed());
        const qint64 requestedMs = clock.elapsed();
        recorder.stop();
        QVERIFY(!recorder.isRecording());
        QVERIFY(player.state() == QProcess::NotRunning || player.waitForFinished(5000));
        QCOMPARE(player.exitCode(), 0);

        std::vector<float> samples = recorder.takeSamples();
        const double seconds = double(samples.size()) / kRecordRate;
        qInfo("recorded %.3f s in %lld ms", seconds, requestedMs);
        QVERIFY2(std::fabs(seconds * 1000.0 - double(requestedMs)) <= 50.0, qPrintable(QString::number(seconds)));
        // The meter saw the tone at its level (-6 dBFS) and the silence before it.
        QVERIFY(!levels.isEmpty());
        QVERIFY2(std::fabs(*std::max_element(levels.begin(), levels.end()) + 6.02) < 0.5,
                 qPrintable(QString::number(*std::max_element(levels.begin(), levels.end()))));
        QVERIFY(*std::min_element(levels.begin(), levels.end()) < kTrimThresholdDbfs);

        // The tone arrives whole: its peak, and its RMS that of a sine, within a few per cent.
        const float rawPeak = peakOf(samples.data(), samples.size());
        QVERIFY2(std::fabs(rawPeak - kToneAmplitude) < 0.02 * kToneAmplitude, qPrintable(QString::number(rawPeak)));
        const FrameSpan span = soundSpan(samples.data(), samples.size(), 1, kRecordRate);
        const double spanSeconds = double(span.end - span.begin) / kRecordRate;
        QVERIFY2(std::fabs(spanSeconds - (1.0 + 2.0 * kTrimKeepMs / 1000.0)) < 0.05,
                 qPrintable(QString::number(spanSeconds)));
        std::vector<float> trimmed(samples.begin() + std::ptrdiff_t(span.begin),
                                   samples.begin() + std::ptrdiff_t(span.end));
        normalise(trimmed.data(), trimmed.size());

        QString saveError;
        const QString path = saveNewWav(mDir.filePath(QStringLiteral("out")), QStringLiteral("tone"),
                                        Pcm{kRecordRate, 1, SampleDepth::Int16, trimmed}, saveError);
        QVERIFY2(!path.isEmpty(), qPrintable(saveError));
        SF_INFO info{};
        SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
        QVERIFY(file != nullptr);
        std::vector<float> stored(static_cast<std::size_t>(info.frames));
        QCOMPARE(sf_readf_float(file, stored.data(), info.frames), info.frames);
        sf_close(file);
        QCOMPARE(info.channels, 1);
        QCOMPARE(info.samplerate, kRecordRate);
        QCOMPARE(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        const double peakDbfs = dbfsOf(peakOf(stored.data(), stored.size()));
        QVERIFY2(std::fabs(peakDbfs - kNormalisePeakDbfs) < 0.01, qPrintable(QString::number(peakDbfs)));
        // The steady middle of the tone, away from the edges the trim kept.
        const std::size_t quarter = stored.size() / 4;
        const double steady = rms(stored.data() + quarter, 2 * quarter);
        const double expected = gainFactor(kNormalisePeakDbfs) / std::numbers::sqrt2;
        QVERIFY2(std::fabs(steady - expected) < 0.03 * expected, qPrintable(QString::number(steady)));
    }
};

QTEST_GUILESS_MAIN(TstRecorder)
#include "tst_recorder.moc"
