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

    void gainLimits_data()
    {
        QTest::addColumn<double>("peak");
        QTest::addColumn<double>("gain");
        QTest::addColumn<double>("limited");
        QTest::newRow("boost with room to spare") << -12.0 << 6.0 << 6.0;
        QTest::newRow("boost that would clip stops at full scale") << -3.0 << 10.0 << 3.0;
        QTest::newRow("cut is never limited") << -3.0 << -6.0 << -6.0;
        QTest::newRow("a file at full scale takes no boost") << 0.0 << 4.0 << 0.0;
        QTest::newRow("silence takes any boost") << kSilenceDbfs << 10.0 << 10.0;
        QTest::newRow("a float file over full scale is brought down") << 6.0 << 0.5 << -6.0;
    }

    void gainLimits()
    {
        QFETCH(double, peak);
        QFETCH(double, gain);
        QFETCH(double, limited);
        QCOMPARE(limitedGainDb(peak, gain), limited);
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
