// The one level measure: peaks in dBFS of buffers and of whole files, and the files it must refuse.

#include "platform/levels.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sndfile.h>

#include <cmath>
#include <limits>
#include <sys/stat.h>
#include <vector>

namespace {

// A file of `frames` frames whose one loud sample (in the middle, on the last channel) has magnitude `peak`.
bool writeFile(const QString& path, int format, int channels, int frames, double peak)
{
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (file == nullptr)
        return false;
    std::vector<double> samples(static_cast<std::size_t>(frames * channels), peak / 10.0);
    samples[static_cast<std::size_t>((frames / 2) * channels + channels - 1)] = -peak;
    const sf_count_t written = sf_writef_double(file, samples.data(), frames);
    sf_close(file);
    return written == frames;
}

} // namespace

class TstLevels : public QObject
{
    Q_OBJECT

private slots:
    void bufferPeaks_data()
    {
        QTest::addColumn<QList<float>>("samples");
        QTest::addColumn<double>("dbfs");
        QTest::newRow("full scale") << QList<float>{0.1f, 1.0f, -0.2f} << 0.0;
        QTest::newRow("negative peak wins") << QList<float>{0.25f, -0.5f} << -6.0206;
        QTest::newRow("one tenth") << QList<float>{0.0f, 0.1f} << -20.0;
        QTest::newRow("silence") << QList<float>{0.0f, 0.0f} << kSilenceDbfs;
        QTest::newRow("empty") << QList<float>{} << kSilenceDbfs;
        QTest::newRow("below the floor") << QList<float>{1e-9f} << kSilenceDbfs;
        QTest::newRow("over full scale") << QList<float>{-2.0f} << 6.0206;
    }

    void bufferPeaks()
    {
        QFETCH(QList<float>, samples);
        QFETCH(double, dbfs);
        const double measured = dbfsOf(peakOf(samples.constData(), static_cast<std::size_t>(samples.size())));
        QVERIFY2(std::fabs(measured - dbfs) < 0.001, qPrintable(QString::number(measured)));
    }

    void gainFactors()
    {
        QVERIFY(std::fabs(gainFactor(0.0) - 1.0) < 1e-12);
        QVERIFY(std::fabs(gainFactor(-6.0206) - 0.5) < 1e-4);
        QVERIFY(std::fabs(gainFactor(20.0) - 10.0) < 1e-9);
        // The measure and the gain agree: a gain of the peak's opposite brings it to full scale.
        QVERIFY(std::fabs(dbfsOf(static_cast<float>(0.3 * gainFactor(-dbfsOf(0.3f)))) - 0.0) < 1e-4);
    }

    void soundSpans_data()
    {
        // At 1000 frames a second the 50 ms kept are 50 frames. `loud` lists frame ranges [first, last]
        // set to `level` times the threshold on channel `channel`; the rest is silence.
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("channel");
        QTest::addColumn<QList<int>>("loud");
        QTest::addColumn<double>("level");
        QTest::addColumn<int>("begin");
        QTest::addColumn<int>("end");
        QTest::newRow("all silent") << 1000 << 1 << 0 << QList<int>{} << 0.0 << 0 << 0;
        QTest::newRow("empty buffer") << 0 << 1 << 0 << QList<int>{} << 0.0 << 0 << 0;
        QTest::newRow("sound in the middle") << 1000 << 1 << 0 << QList<int>{300, 599} << 100.0 << 250 << 650;
        QTest::newRow("sound from the very start") << 1000 << 1 << 0 << QList<int>{0, 99} << 100.0 << 0 << 150;
        QTest::newRow("sound to the very end") << 1000 << 1 << 0 << QList<int>{900, 999} << 100.0 << 850 << 1000;
        QTest::newRow("keep clipped at both edges")
            << 1000 << 1 << 0 << QList<int>{10, 10, 990, 990} << 100.0 << 0 << 1000;
        QTest::newRow("click just above the threshold") << 1000 << 1 << 0 << QList<int>{500, 500} << 1.01 << 450 << 551;
        QTest::newRow("click just below the threshold") << 1000 << 1 << 0 << QList<int>{500, 500} << 0.99 << 0 << 0;
        QTest::newRow("two words, the gap kept")
            << 1000 << 1 << 0 << QList<int>{200, 300, 600, 700} << 10.0 << 150 << 751;
        QTest::newRow("stereo, sound on the right only")
            << 1000 << 2 << 1 << QList<int>{200, 200} << 10.0 << 150 << 251;
    }

    void soundSpans()
    {
        QFETCH(int, frames);
        QFETCH(int, channels);
        QFETCH(int, channel);
        QFETCH(QList<int>, loud);
        QFETCH(double, level);
        QFETCH(int, begin);
        QFETCH(int, end);
        std::vector<float> samples(static_cast<std::size_t>(frames * channels), 0.0f);
        const auto magnitude = static_cast<float>(gainFactor(kTrimThresholdDbfs) * level);
        for (qsizetype i = 0; i + 1 < loud.size(); i += 2) {
            for (int frame = loud[i]; frame <= loud[i + 1]; ++frame)
                samples[static_cast<std::size_t>(frame * channels + channel)] = frame % 2 ? magnitude : -magnitude;
        }
        const FrameSpan span = soundSpan(samples.data(), static_cast<std::size_t>(frames), channels, 1000);
        QCOMPARE(span.begin, static_cast<std::size_t>(begin));
        QCOMPARE(span.end, static_cast<std::size_t>(end));
    }

    void normalising_data()
    {
        QTest::addColumn<QList<float>>("samples");
        QTest::addColumn<double>("peakAfter"); // dBFS
        QTest::newRow("quiet") << QList<float>{0.1f, -0.25f, 0.2f} << kNormalisePeakDbfs;
        QTest::newRow("over full scale") << QList<float>{2.0f, -1.5f} << kNormalisePeakDbfs;
        QTest::newRow("single sample") << QList<float>{-0.001f} << kNormalisePeakDbfs;
        QTest::newRow("silence stays silence") << QList<float>{0.0f, 0.0f, 0.0f} << kSilenceDbfs;
        QTest::newRow("noise below the floor is left alone") << QList<float>{1e-9f, -1e-9f} << kSilenceDbfs;
        QTest::newRow("empty") << QList<float>{} << kSilenceDbfs;
    }

    void normalising()
    {
        QFETCH(QList<float>, samples);
        QFETCH(double, peakAfter);
        const QList<float> before = samples;
        const auto count = static_cast<std::size_t>(samples.size());
        normalise(samples.data(), count);
        for (float sample : samples)
            QVERIFY(std::isfinite(sample));
        const double measured = dbfsOf(peakOf(samples.constData(), count));
        QVERIFY2(std::fabs(measured - peakAfter) < 1e-4, qPrintable(QString::number(measured, 'f', 6)));
        // One factor for every sample: the shape is kept.
        for (qsizetype i = 0; i < samples.size(); ++i) {
            if (std::fabs(before[i]) > 1e-6f && std::fabs(before[0]) > 1e-6f)
                QVERIFY(std::fabs(samples[i] / before[i] - samples[0] / before[0]) < 1e-4f);
        }
    }

    void gainLimits_data()
    {
        QTest::addColumn<double>("peakDbfs");
        QTest::addColumn<double>("gainDb");
        QTest::addColumn<double>("limited");
        QTest::newRow("clips: held to the headroom") << -2.5 << 10.0 << 2.5;
        QTest::newRow("headroom enough") << -12.0 << 6.0 << 6.0;
        QTest::newRow("exactly at full scale") << -6.0 << 6.0 << 6.0;
        QTest::newRow("full-scale file, any boost refused") << 0.0 << 3.0 << 0.0;
        QTest::newRow("a cut is never limited") << -1.0 << -6.0 << -6.0;
        QTest::newRow("silent file") << kSilenceDbfs << 10.0 << 10.0;
        QTest::newRow("float file over full scale is brought down") << 6.0 << 0.0 << -6.0;
    }

    void gainLimits()
    {
        QFETCH(double, peakDbfs);
        QFETCH(double, gainDb);
        QFETCH(double, limited);
        QCOMPARE(limitedGainDb(peakDbfs, gainDb), limited);
    }

    void filePeaks_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("channels");
        QTest::addColumn<double>("peak");
        QTest::addColumn<double>("dbfs");
        QTest::addColumn<double>("tolerance");
        const int pcm16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        QTest::newRow("16-bit mono half scale") << pcm16 << 1 << 0.5 << -6.0206 << 0.01;
        QTest::newRow("16-bit stereo, peak on the right") << pcm16 << 2 << 0.25 << -12.041 << 0.01;
        QTest::newRow("float at -1 dBFS") << (SF_FORMAT_WAV | SF_FORMAT_FLOAT) << 1 << 0.891251 << -1.0 << 0.001;
        QTest::newRow("24-bit six channels") << (SF_FORMAT_WAV | SF_FORMAT_PCM_24) << 6 << 0.1 << -20.0 << 0.001;
        QTest::newRow("float over full scale") << (SF_FORMAT_WAV | SF_FORMAT_FLOAT) << 1 << 2.0 << 6.0206 << 0.001;
        QTest::newRow("silent file") << pcm16 << 1 << 0.0 << kSilenceDbfs << 0.0;
    }

    void filePeaks()
    {
        QFETCH(int, format);
        QFETCH(int, channels);
        QFETCH(double, peak);
        QFETCH(double, dbfs);
        QFETCH(double, tolerance);
        const QString path = mDir.filePath(QString::fromLatin1(QTest::currentDataTag()) + QStringLiteral(".wav"));
        // The peak sits past the first block read, so a reader that stops early misses it.
        QVERIFY(writeFile(path, format, channels, 20000, peak));
        const std::optional<double> measured = filePeakDbfs(path);
        QVERIFY(measured.has_value());
        QVERIFY2(std::fabs(*measured - dbfs) <= tolerance + 1e-9, qPrintable(QString::number(*measured)));
    }

    void effectiveGains_data()
    {
        QTest::addColumn<QString>("file"); // "peak -3" is a file peaking at -3 dBFS, "none" no file at all
        QTest::addColumn<double>("gain");
        QTest::addColumn<double>("effective");
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const double inf = std::numeric_limits<double>::infinity();
        QTest::newRow("no gain") << "peak -3" << 0.0 << 0.0;
        QTest::newRow("clipping boost limited") << "peak -3" << 10.0 << 3.0;
        QTest::newRow("cut") << "peak -3" << -6.0 << -6.0;
        QTest::newRow("stored past the top is held, then limited") << "quiet" << 60.0 << 10.0;
        QTest::newRow("stored past the bottom is held") << "peak -3" << -90.0 << -20.0;
        QTest::newRow("not a number plays untouched") << "peak -3" << nan << 0.0;
        QTest::newRow("infinite plays untouched") << "peak -3" << inf << 0.0;
        QTest::newRow("unreadable file: no boost") << "none" << 6.0 << 0.0;
        QTest::newRow("unreadable file: a cut stays") << "none" << -6.0 << -6.0;
        QTest::newRow("no gain does not read the file") << "none" << 0.0 << 0.0;
    }

    void effectiveGains()
    {
        QFETCH(QString, file);
        QFETCH(double, gain);
        QFETCH(double, effective);
        const QString path = mDir.filePath(file + QStringLiteral(".wav"));
        // -3.0103 dBFS is a peak of 1/sqrt(2); "quiet" peaks at -40 dBFS.
        if (file != QLatin1String("none"))
            QVERIFY(writeFile(path, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 4000, file == "quiet" ? 0.01 : 0.707107));
        const double measured = effectiveGainDb(path, gain);
        QVERIFY2(std::fabs(measured - effective) < 0.02, qPrintable(QString::number(measured)));
    }

    void refusesWhatIsNotASoundFile_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("missing") << QStringLiteral("absent.wav");
        QTest::newRow("text") << QStringLiteral("notes.wav");
        QTest::newRow("folder") << QStringLiteral("folder.wav");
        QTest::newRow("fifo nobody writes to") << QStringLiteral("fifo.wav");
        QTest::newRow("empty name") << QString();
    }

    void refusesWhatIsNotASoundFile()
    {
        QFETCH(QString, name);
        QFile text(mDir.filePath(QStringLiteral("notes.wav")));
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("RIFF, but only in name");
        text.close();
        QDir(mDir.path()).mkpath(QStringLiteral("folder.wav"));
        const QByteArray fifo = QFile::encodeName(mDir.filePath(QStringLiteral("fifo.wav")));
        ::unlink(fifo.constData());
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        QCOMPARE(filePeakDbfs(name.isEmpty() ? name : mDir.filePath(name)), std::optional<double>());
    }

private:
    QTemporaryDir mDir;
};

QTEST_GUILESS_MAIN(TstLevels)
#include "tst_levels.moc"
