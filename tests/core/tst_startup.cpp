#include "core/globals.h"
#include "core/settings.h"
#include "core/startup.h"
#include "core/toolkit.h"
#include "tests/fakes/window_fixture.h"
#include "windows/frmabout.h"
#include "windows/frmmain.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QSettings>
#include <QTest>

#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void store(const QString& key, const QString& value)
{
    SaveSetting(kAppTitle, kSettingsSection, key, value);
}

// Runs start-up, closing the about box it shows; tells what was on screen meanwhile.
struct StartUpRun
{
    bool result = false;
    bool aboutShown = false;
    bool aboutModal = false;
    bool mainVisibleDuringAbout = true;
};

StartUpRun startUpClosingAbout()
{
    StartUpRun run;
    runModal([&run] { run.result = StartUp(); }, frmAbout(),
             [&run] {
                 run.aboutShown = true;
                 run.aboutModal = frmAbout().window()->isModal();
                 run.mainVisibleDuringAbout = frmMain().window() && frmMain().window()->isVisible();
                 frmAbout().cmdOK_Click();
             });
    return run;
}

} // namespace

class TestStartUp : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnv> mEnv;

    // Ends the program as Exit does, keeping the settings folder for the next start.
    void shutDown()
    {
        gExitRequested = kTrue;
        frmMain().Unload();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        releaseInstanceLock();
    }

private slots:
    void initTestCase() { ScriptedDesktop::setProgramFolder(QStringLiteral("/opt/wren")); }

    void init() { mEnv = std::make_unique<TestEnv>(); }

    void cleanup()
    {
        shutDown();
        mEnv.reset();
    }

    void firstRunWritesEveryDefault()
    {
        LoadSettings();

        QSettings onDisk(mEnv->settingsFile(), QSettings::IniFormat);
        onDisk.beginGroup(kSettingsSection);
        QCOMPARE(onDisk.childKeys().size(), 23);
        QCOMPARE(onDisk.value(QStringLiteral("Comm Port")).toString(), QStringLiteral("None"));
        QCOMPARE(onDisk.value(QStringLiteral("PTT Line")).toString(), QStringLiteral("RTS"));
        QCOMPARE(onDisk.value(QStringLiteral("Always On Top")).toString(), QStringLiteral("No"));
        const QStringList files = {"STATION_CQ.wav", "STATION_CQ_FD.wav", "STATION_QTH_NAME.wav",
                                   "STATION_RIG_ANT.wav"};
        const QStringList captions = {"CQ", "CQ FD", "QTH/NAME", "RIG/ANT"};
        for (int n = 1; n <= 10; ++n) {
            const QString key = QStringLiteral("Message %1").arg(n);
            const QString file = n <= 4 ? QStringLiteral("/opt/wren/wav/") + files[n - 1] : QString();
            const QString caption = n <= 4 ? captions[n - 1] : QStringLiteral("(Blank)");
            QVERIFY2(onDisk.contains(key), qPrintable(key));
            QCOMPARE(onDisk.value(key).toString(), file);
            QCOMPARE(onDisk.value(key + QStringLiteral(" Name")).toString(), caption);
            QCOMPARE(gWaveFiles[n], file);
            QCOMPARE(gButtonCaptions[n], caption);
        }
        QCOMPARE(gCommPort, std::int16_t(0));
        QCOMPARE(gPTTLine, std::int16_t(2));
        QCOMPARE(gAlwaysOnTop, kFalse);
        onDisk.endGroup();
        onDisk.beginGroup(QStringLiteral("Keyer"));
        QCOMPARE(onDisk.childKeys().size(), 4);
        QCOMPARE(onDisk.value(QStringLiteral("Transmit Time-out")).toString(), QStringLiteral("120"));
        QCOMPARE(onDisk.value(QStringLiteral("Repeat Interval")).toString(), QStringLiteral("10"));
        QCOMPARE(gRepeatInterval, std::int16_t(10));
        QCOMPARE(onDisk.value(QStringLiteral("Lead Time")).toString(), QStringLiteral("250"));
        QCOMPARE(onDisk.value(QStringLiteral("Tail Time")).toString(), QStringLiteral("250"));
    }

    // A first start writes the PTT section whole, at the values with which keying is as it always was.
    void firstStartWritesThePTTSection()
    {
        LoadSettings();
        QSettings onDisk(mEnv->settingsFile(), QSettings::IniFormat);
        onDisk.beginGroup(QStringLiteral("PTT"));
        const QMap<QString, QString> expected{
            {"Method", "Serial"},  {"Hamlib Model", "2"}, {"Hamlib Path", "localhost:4532"},
            {"Hamlib Speed", "0"}, {"Hamlib PTT", "1"},   {"CM108 Device", ""},
            {"CM108 GPIO", "3"}};
        QCOMPARE(onDisk.childKeys().size(), expected.size());
        for (auto it = expected.cbegin(); it != expected.cend(); ++it)
            QCOMPARE(onDisk.value(it.key()).toString(), it.value());
        QCOMPARE(gPTTMethod, std::int16_t(0));
        QCOMPARE(gHamlibModel, 2);
        QCOMPARE(gCM108GPIO, std::int16_t(3));
    }

    void sectionSettingsAreReadByTheRules_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("expected");
        const struct
        {
            const char* key;
            const char* value;
            const char* expected;
        } rows[] = {{"Method", "Hamlib", "1"},
                    {"Method", "cm108", "2"},
                    {"Method", " HAMLIB ", "1"},
                    {"Method", "rigctl", "0"},
                    {"Method", "", "0"},
                    {"Hamlib Model", "3073", "3073"},
                    {"Hamlib Model", "0", "2"},
                    {"Hamlib Model", "-1", "2"},
                    {"Hamlib Model", "IC-7300", "2"},
                    {"Hamlib Speed", "19200", "19200"},
                    {"Hamlib Speed", "-9600", "0"},
                    {"Hamlib PTT", "2", "2"},
                    {"Hamlib PTT", "3", "3"},
                    {"Hamlib PTT", "4", "1"},
                    {"Hamlib PTT", "0", "1"},
                    {"CM108 GPIO", "1", "1"},
                    {"CM108 GPIO", "8", "8"},
                    {"CM108 GPIO", "9", "3"},
                    {"CM108 GPIO", "0", "3"},
                    {"Hamlib Path", " host:4532 ", "host:4532"},
                    {"CM108 Device", "/dev/hidraw2", "/dev/hidraw2"},
                    {"Message 3 Gain", "-6", "-6"},
                    {"Message 3 Gain", "+10", "10"},
                    {"Message 3 Gain", "11", "10"},
                    {"Message 3 Gain", "-21", "-20"},
                    {"Message 3 Gain", "loud", "0"},
                    {"Message 3 Gain", "99999999999", "10"},
                    {"Output", " alsa_output.usb-codec.analog-stereo ", "alsa_output.usb-codec.analog-stereo"},
                    {"Input", "alsa_input.usb-headset.mono-fallback", "alsa_input.usb-headset.mono-fallback"}};
        for (const auto& r : rows)
            QTest::addRow("%s '%s'", r.key, r.value) << QString(r.key) << QString(r.value) << QString(r.expected);
    }

    void sectionSettingsAreReadByTheRules()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QString, expected);
        const QString section =
            key == QLatin1String("Output") || key == QLatin1String("Input") || key.endsWith(QLatin1String(" Gain"))
                ? QStringLiteral("Audio")
                : QStringLiteral("PTT");
        SaveSetting(kAppTitle, section, key, value);
        LoadSettings();
        const QMap<QString, QString> read{{"Message 3 Gain", QString::number(gMessageGains[3])},
                                          {"Output", gAudioOutput},
                                          {"Input", gAudioInput},
                                          {"Method", QString::number(gPTTMethod)},
                                          {"Hamlib Model", QString::number(gHamlibModel)},
                                          {"Hamlib Path", gHamlibPath},
                                          {"Hamlib Speed", QString::number(gHamlibSpeed)},
                                          {"Hamlib PTT", QString::number(gHamlibPTT)},
                                          {"CM108 Device", gCM108Device},
                                          {"CM108 GPIO", QString::number(gCM108GPIO)}};
        QCOMPARE(read.value(key), expected);
        // Only the button named takes a gain.
        QCOMPARE(gMessageGains[4], std::int16_t(0));
        // The stored text stays as the operator left it.
        QCOMPARE(GetSetting(kAppTitle, section, key), value);
    }

    // A first start writes the audio section: the system's default devices and no gain, as before it existed.
    void firstStartWritesTheAudioSection()
    {
        LoadSettings();
        QSettings onDisk(mEnv->settingsFile(), QSettings::IniFormat);
        onDisk.beginGroup(QStringLiteral("Audio"));
        QCOMPARE(onDisk.childKeys().size(), 2 + 10);
        QCOMPARE(onDisk.value(QStringLiteral("Output"), QStringLiteral("absent")).toString(), QString());
        QCOMPARE(onDisk.value(QStringLiteral("Input"), QStringLiteral("absent")).toString(), QString());
        for (int n = 1; n <= 10; ++n) {
            QCOMPARE(onDisk.value(QStringLiteral("Message %1 Gain").arg(n)).toString(), QStringLiteral("0"));
            QCOMPARE(gMessageGains[n], std::int16_t(0));
        }
    }

    void keyerTimesAreHeldToTheirRange_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("expected");
        const struct
        {
            const char* key;
            const char* value;
            int expected;
        } rows[] = {{"Lead Time", "0", 0},
                    {"Lead Time", " 50 ", 50},
                    {"Lead Time", "2001", 2000},
                    {"Lead Time", "-5", 0},
                    {"Lead Time", "fast", 250},
                    {"Lead Time", "99999999999", 2000},
                    {"Tail Time", "1000", 1000},
                    {"Tail Time", "12.5", 250},
                    {"Transmit Time-out", "0", 0},
                    {"Transmit Time-out", "90", 90},
                    {"Transmit Time-out", "86400", 3600},
                    {"Repeat Interval", "0", 1},
                    {"Repeat Interval", "-3", 1},
                    {"Repeat Interval", "601", 600},
                    {"Repeat Interval", "30", 30},
                    {"Repeat Interval", "ten", 10}};
        for (const auto& r : rows)
            QTest::addRow("%s %s", r.key, r.value) << QString(r.key) << QString(r.value) << r.expected;
    }

    void keyerTimesAreHeldToTheirRange()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(int, expected);
        SaveSetting(kAppTitle, QStringLiteral("Keyer"), key, value);
        LoadSettings();
        const int actual = key == QLatin1String("Lead Time")         ? gLeadTime
                           : key == QLatin1String("Tail Time")       ? gTailTime
                           : key == QLatin1String("Repeat Interval") ? gRepeatInterval
                                                                     : gTransmitTimeout;
        QCOMPARE(actual, expected);
        QCOMPARE(GetSetting(kAppTitle, QStringLiteral("Keyer"), key), value);
    }

    void storedValuesAreReadByTheRules_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("expected");
        const char* port = "Comm Port";
        const char* line = "PTT Line";
        const char* top = "Always On Top";
        const struct
        {
            const char* key;
            const char* value;
            int expected;
        } rows[] = {{port, "none", 0}, {port, " 3", 3},   {port, "3.7", 3},      {port, "-1", 0},   {port, "4", 4},
                    {port, "5", 0},    {port, "COM2", 0}, {port, "99999999", 0}, {line, "rts", 2},  {line, "dtr", 1},
                    {line, "CTS", 1},  {top, "no", 0},    {top, "Yes", -1},      {top, "TRUE", -1}, {top, "1", -1}};
        for (const auto& r : rows)
            QTest::addRow("%s %s", r.key, r.value) << QString(r.key) << QString(r.value) << r.expected;
    }

    void storedValuesAreReadByTheRules()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(int, expected);
        store(key, value);
        LoadSettings();
        const int actual = key == QLatin1String("Comm Port")  ? gCommPort
                           : key == QLatin1String("PTT Line") ? gPTTLine
                                                              : gAlwaysOnTop;
        QCOMPARE(actual, expected);
        // Only the global is normalised; the stored text stays as the operator left it.
        QCOMPARE(storedSetting(key), value);
    }

    void clearedButtonsAcrossRestarts()
    {
        LoadSettings();
        // What clearing a button stores, for every button: the sample ones must not get their file back.
        for (int n = 1; n <= 10; ++n) {
            store(QStringLiteral("Message %1").arg(n), QString());
            store(QStringLiteral("Message %1 Name").arg(n), QStringLiteral("(Blank)"));
        }

        for (int restart = 0; restart < 2; ++restart) {
            resetGlobals();
            LoadSettings();
            for (int n = 1; n <= 10; ++n) {
                QCOMPARE(gWaveFiles[n], QString());
                QCOMPARE(gButtonCaptions[n], QStringLiteral("(Blank)"));
                QCOMPARE(storedSetting(QStringLiteral("Message %1").arg(n)), QString());
            }
        }
    }

    // Start-up adds what is missing and leaves the rest of the file alone; with nothing missing it
    // does not write at all (a second copy, a read-only home, an SSD written at every start).
    void startUpWritesOnlyMissingKeys()
    {
        QVERIFY(startUpClosingAbout().result);
        shutDown();
        QSettings(mEnv->settingsFile(), QSettings::IniFormat).remove(QStringLiteral("Settings/Message 2 Name"));
        store(QStringLiteral("Message 3 Name"), QString());
        const QDateTime old = QDateTime::fromSecsSinceEpoch(1000000000);

        for (int run = 0; run < 2; ++run) {
            QFile file(mEnv->settingsFile());
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(old, QFileDevice::FileModificationTime));
            file.close();
            const QByteArray before = mEnv->settingsBytes();

            resetGlobals();
            QVERIFY(startUpClosingAbout().result);
            shutDown();

            QCOMPARE(gButtonCaptions[2], QStringLiteral("CQ FD"));
            QCOMPARE(gButtonCaptions[3], QString());
            QCOMPARE(storedSetting(QStringLiteral("Message 3 Name")), QString());
            if (run == 0) {
                QCOMPARE(storedSetting(QStringLiteral("Message 2 Name")), QStringLiteral("CQ FD"));
            } else {
                QCOMPARE(mEnv->settingsBytes(), before);
                QCOMPARE(QFileInfo(mEnv->settingsFile()).lastModified(), old);
            }
        }
    }

    void startUpComposesTextsAndShowsTheWindow()
    {
        StartUpRun run = startUpClosingAbout();
        QVERIFY(run.result);
        QVERIFY(run.aboutShown);
        QVERIFY(run.aboutModal);
        QVERIFY(!run.mainVisibleDuringAbout);
        QCOMPARE(gVersion, QStringLiteral("2.0.1"));
        QCOMPARE(gCopyright, QStringLiteral("Copyright \u00A9 2003-%1 STATION").arg(QDate::currentDate().year()));
        QCOMPARE(gExitRequested, kFalse);
        QVERIFY(frmMain().isLoaded());
        QVERIFY(frmMain().window()->isVisible());
        QCOMPARE(frmMain().cmdMsg(0)->text(), QStringLiteral("CQ"));
        QCOMPARE(frmMain().cmdMsg(9)->text(), QStringLiteral("(Blank)"));
        QVERIFY(MessageBoxes::asked().isEmpty());
        // The port devices get their defaults; the keys of [Settings] stay exactly the program's 23.
        QSettings onDisk(mEnv->settingsFile(), QSettings::IniFormat);
        for (int n = 1; n <= 4; ++n)
            QCOMPARE(onDisk.value(QStringLiteral("Ports/COM%1").arg(n)).toString(),
                     QStringLiteral("/dev/ttyS%1").arg(n - 1));
        onDisk.beginGroup(kSettingsSection);
        QCOMPARE(onDisk.childKeys().size(), 23);
    }

    void secondCopyAsksFirst_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("goesOn");
        QTest::newRow("No ends it") << kAnswerNo << false;
        QTest::newRow("Enter takes the default No") << 0 << false;
        QTest::newRow("Yes starts it") << kAnswerYes << true;
    }

    void secondCopyAsksFirst()
    {
        QFETCH(int, answer);
        QFETCH(bool, goesOn);
        QVERIFY(startUpClosingAbout().result); // the first copy holds the lock
        QSettings(mEnv->settingsFile(), QSettings::IniFormat).remove(QStringLiteral("Settings/Message 2 Name"));
        const QByteArray before = mEnv->settingsBytes();
        MessageBoxes::asked().clear();
        if (answer != 0)
            MessageBoxes::setNextAnswer(answer);

        QCOMPARE(startUpClosingAbout().result, goesOn);
        QCOMPARE(MessageBoxes::asked().size(), 1);
        const MessageBoxes::Asked& asked = MessageBoxes::asked().first();
        QCOMPARE(asked.text, QStringLiteral("Wren Voice Keyer is already loaded.\nDo you really want to load and "
                                            "run\nanother copy?"));
        QCOMPARE(asked.style, 260);
        QCOMPARE(asked.title, QStringLiteral("Wren Voice Keyer - V2.0.1 Confirm"));
        if (!goesOn)
            QCOMPARE(mEnv->settingsBytes(), before);
        else
            QCOMPARE(storedSetting(QStringLiteral("Message 2 Name")), QStringLiteral("CQ FD"));
    }

    // A FIFO nobody writes to would block any reader for ever: start-up must neither read nor replace it.
    void settingsFileThatIsAFifo()
    {
        QVERIFY(QDir().mkpath(QFileInfo(mEnv->settingsFile()).path()));
        QCOMPARE(::mkfifo(QFile::encodeName(mEnv->settingsFile()).constData(), 0600), 0);

        QVERIFY(startUpClosingAbout().result);

        QCOMPARE(MessageBoxes::asked().size(), 1);
        QVERIFY(MessageBoxes::asked().first().text.contains(QStringLiteral("it is a FIFO, not a regular file")));
        QCOMPARE(gButtonCaptions[1], QStringLiteral("CQ"));
        QVERIFY(QFileInfo(mEnv->settingsFile()).isFile() == false);
    }

    // A hand-edited device that is no device path is refused as the settings dialog refuses it, and kept.
    void handEditedPortDevicesAreCheckedAtLoad_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("problem"); // empty: accepted
        const QString noSlash = QStringLiteral("A device path begins with /, for example /dev/ttyUSB0.");
        QTest::newRow("relative") << "ttyUSB0" << noSlash;
        QTest::newRow("a folder of the current one") << "./dev/ttyUSB0" << noSlash;
        QTest::newRow("empty") << ""
                               << "No device is given.";
        QTest::newRow("absolute, blanks around") << "  /dev/ttyUSB0 "
                                                 << "";
        QTest::newRow("by-id name") << "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"
                                    << "";
    }

    void handEditedPortDevicesAreCheckedAtLoad()
    {
        QFETCH(QString, device);
        QFETCH(QString, problem);
        QVERIFY(mEnv->writeSettingsBytes("[Ports]\nCOM2=" + device.toUtf8() + "\n"));

        QVERIFY(startUpClosingAbout().result);

        if (problem.isEmpty()) {
            QVERIFY(MessageBoxes::asked().isEmpty());
            return;
        }
        QCOMPARE(MessageBoxes::asked().size(), 1);
        QCOMPARE(MessageBoxes::asked().first().style, 48);
        QCOMPARE(MessageBoxes::asked().first().text,
                 QStringLiteral("\"%1\" cannot be the device of COM2.\n%2\nCOM2 has no device until one is chosen in "
                                "Settings.")
                     .arg(device, problem));
        QCOMPARE(GetSetting(kAppTitle, QStringLiteral("Ports"), QStringLiteral("COM2")), device);
    }

    // A copy started after Yes counts as running once the first has ended: a third start is asked too.
    void aCopyStartedAnywayHoldsTheLockToo()
    {
        // The first copy, in another process as far as the lock can tell.
        const int first = ::open(QFile::encodeName(instanceLockPath()).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        QVERIFY(first >= 0);
        struct flock shared = {};
        shared.l_type = F_RDLCK;
        shared.l_whence = SEEK_SET;
        QCOMPARE(::fcntl(first, F_OFD_SETLK, &shared), 0);

        MessageBoxes::setNextAnswer(kAnswerYes);
        QVERIFY(startUpClosingAbout().result);
        QCOMPARE(MessageBoxes::asked().size(), 1);
        ::close(first);

        MessageBoxes::asked().clear();
        QCOMPARE(startUpClosingAbout().result, false);
        QCOMPARE(MessageBoxes::asked().size(), 1);
        QCOMPARE(MessageBoxes::asked().first().style, 260);
    }

    void unreadableSettingsAreReportedAndKept()
    {
        QVERIFY(mEnv->writeSettingsBytes(QByteArray("\x00\x13\x37 not settings", 15)));

        QVERIFY(startUpClosingAbout().result);
        QCOMPARE(MessageBoxes::asked().size(), 1);
        QCOMPARE(MessageBoxes::asked().first().style, 48);
        QVERIFY(MessageBoxes::asked().first().text.contains(QStringLiteral(".unreadable-")));
        QCOMPARE(gButtonCaptions[1], QStringLiteral("CQ"));
        QCOMPARE(storedSetting(QStringLiteral("Comm Port")), QStringLiteral("None"));
    }
};

QTEST_MAIN(TestStartUp)
#include "tst_startup.moc"
