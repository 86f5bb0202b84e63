// The files the program writes itself: names made from captions, never an existing file replaced, and
// what is refused on reading.

#include "platform/wavefile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TstWaveFile : public QObject
{
    Q_OBJECT

    QTemporaryDir mDir;

    static Pcm shortTone()
    {
        Pcm pcm{48000, 1, SampleDepth::Int16, std::vector<float>(480, 0.25f)};
        pcm.samples[0] = -0.5f;
        return pcm;
    }

private slots:
    void stemsFromCaptions_data()
    {
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("stem");
        QTest::newRow("plain") << "CQ"
                               << "CQ";
        QTest::newRow("blanks become one underscore") << "  CQ   DX  "
                                                      << "CQ_DX";
        QTest::newRow("dashes and underscores kept") << "QRZ-2_b"
                                                     << "QRZ-2_b";
        QTest::newRow("path climbing") << "../../etc/passwd"
                                       << "etcpasswd";
        QTest::newRow("an option to a tool") << "-rf"
                                             << "message-rf";
        QTest::newRow("letters beyond ASCII dropped") << "Grüße 日本"
                                                      << "Gre_";
        QTest::newRow("nothing left") << "/&*?"
                                      << "message";
        QTest::newRow("empty") << ""
                               << "message";
        QTest::newRow("control characters") << "a\nb\tc"
                                            << "a_b_c";
    }

    void stemsFromCaptions()
    {
        QFETCH(QString, caption);
        QFETCH(QString, stem);
        QCOMPARE(safeFileStem(caption), stem);
        const QDateTime when(QDate(2026, 12, 7), QTime(15, 12, 3));
        QCOMPARE(messageFileStem(caption, when), stem + QStringLiteral("_20261207-151203"));
    }

    // Whatever holds a name, the new file takes the next free one and the rest keep their bytes.
    void newNamesNeverReplace_data()
    {
        QTest::addColumn<QStringList>("taken"); // "name" a file, "name/" a folder
        QTest::addColumn<QString>("expected");
        QTest::newRow("free") << QStringList{} << "cq.wav";
        QTest::newRow("taken once") << QStringList{"cq.wav"} << "cq-2.wav";
        QTest::newRow("taken twice") << QStringList{"cq.wav", "cq-2.wav"} << "cq-3.wav";
        QTest::newRow("a gap is used") << QStringList{"cq.wav", "cq-3.wav"} << "cq-2.wav";
        QTest::newRow("a folder of that name") << QStringList{"cq.wav/"} << "cq-2.wav";
        QTest::newRow("a dangling link") << QStringList{"cq.wav->nowhere"} << "cq-2.wav";
    }

    void newNamesNeverReplace()
    {
        QFETCH(QStringList, taken);
        QFETCH(QString, expected);
        const QString folder = mDir.filePath(QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(QDir().mkpath(folder));
        for (const QString& entry : taken) {
            const QString path = folder + QLatin1Char('/') + entry.section(QStringLiteral("->"), 0, 0);
            if (entry.endsWith(QLatin1Char('/'))) {
                QVERIFY(QDir().mkpath(path));
            } else if (entry.contains(QLatin1String("->"))) {
                QVERIFY(QFile::link(folder + QStringLiteral("/nowhere"), path));
            } else {
                QFile file(path);
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write(entry.toUtf8());
            }
        }
        QString error;
        const QString path = saveNewWav(folder, QStringLiteral("cq"), shortTone(), error);
        QCOMPARE(path, folder + QLatin1Char('/') + expected);
        QVERIFY(error.isEmpty());
        for (const QString& entry : taken) {
            QFile file(folder + QLatin1Char('/') + entry);
            if (!entry.contains(QLatin1Char('/')) && !entry.contains(QLatin1String("->"))) {
                QVERIFY(file.open(QIODevice::ReadOnly));
                QCOMPARE(file.readAll(), entry.toUtf8());
            }
        }
        // Nothing else: no temporary file stays behind.
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).size(),
                 taken.size() + 1);
        QVERIFY(readSoundFile(path, error).has_value());
    }

    // What a file may hold before it is refused: `maxSeconds` long, and no more samples than that much
    // stereo at 48 kHz.
    void readingLimits_data()
    {
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        QTest::addColumn<double>("seconds");
        QTest::addColumn<bool>("read");
        QTest::newRow("within both") << 48000 << 2 << 0.9 << true;
        QTest::newRow("too long") << 8000 << 1 << 1.1 << false;
        QTest::newRow("short, but too many samples") << 96000 << 8 << 0.5 << false;
    }

    void readingLimits()
    {
        QFETCH(int, rate);
        QFETCH(int, channels);
        QFETCH(double, seconds);
        QFETCH(bool, read);
        const auto count = static_cast<std::size_t>(seconds * rate) * static_cast<std::size_t>(channels);
        QString error;
        const QString path =
            saveNewWav(mDir.filePath(QStringLiteral("limits")), QStringLiteral("f"),
                       Pcm{rate, channels, SampleDepth::Int16, std::vector<float>(count, 0.1f)}, error);
        QVERIFY2(!path.isEmpty(), qPrintable(error));
        const std::optional<Pcm> pcm = readSoundFile(path, error, 1);
        QCOMPARE(pcm.has_value(), read);
        if (read)
            QCOMPARE(pcm->samples.size(), count);
        else
            QVERIFY2(error.contains(QLatin1String("is too long to work on here")), qPrintable(error));
    }

    // A crash mid-save leaves a hidden temporary file; the next save clears the old ones and nothing else.
    void staleTemporariesGo()
    {
        const QString folder = mDir.filePath(QStringLiteral("stale"));
        QVERIFY(QDir().mkpath(folder));
        const QDateTime old = QDateTime::currentDateTime().addSecs(-3600);
        const QStringList names = {".wrenkeyer-a1B2c3", ".wrenkeyer-fresh1", ".wrenkeyer-a1B2c3d", "wrenkeyer-x1y2z3",
                                   ".wrenkeyer-link01"};
        for (const QString& name : names) {
            const QString path = folder + QLatin1Char('/') + name;
            if (name.endsWith(QLatin1String("link01"))) {
                QVERIFY(QFile::link(folder + QStringLiteral("/wrenkeyer-x1y2z3"), path));
                continue;
            }
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            if (name != QLatin1String(".wrenkeyer-fresh1"))
                QVERIFY(file.setFileTime(old, QFileDevice::FileModificationTime));
        }
        QString error;
        QVERIFY(!saveNewWav(folder, QStringLiteral("cq"), shortTone(), error).isEmpty());
        QStringList left =
            QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        left.sort();
        QCOMPARE(left, QStringList({".wrenkeyer-a1B2c3d", ".wrenkeyer-fresh1", ".wrenkeyer-link01", "cq.wav",
                                    "wrenkeyer-x1y2z3"}));
    }

    void refusedPcm_data()
    {
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        QTest::newRow("no channels") << 48000 << 0;
        QTest::newRow("rate zero") << 0 << 1;
    }

    void refusedPcm()
    {
        QFETCH(int, rate);
        QFETCH(int, channels);
        const QString folder = mDir.filePath(QStringLiteral("refused"));
        QString error;
        QVERIFY(
            saveNewWav(folder, QStringLiteral("x"), Pcm{rate, channels, SampleDepth::Int16, {0.1f}}, error).isEmpty());
        QVERIFY(!error.isEmpty());
        QVERIFY(!QDir(folder).exists());
    }
};

QTEST_GUILESS_MAIN(TstWaveFile)
#include "tst_wavefile.moc"
