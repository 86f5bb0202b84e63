#include "keyer/player.h"

#include "comm/modcomm.h"
#include "core/toolkit.h"
#include "platform/mci.h"
#include "tests/fakes/fake_serial.h"
#include "tests/fakes/scripted_audio.h"
#include "tests/fakes/testenv.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <memory>

namespace {

const QString kWav = QStringLiteral("/recordings/cq.wav");

// Records what the player does to the window, stamped on the test's clock.
class FakeView : public PlayerView
{
public:
    explicit FakeView(const FakeSerialApi& clock) : mClock(clock) {}

    bool alive = true;
    QStringList events;
    QList<qint64> times;
    int callsAfterDeath = 0;

    bool controlsAlive() const override { return alive; }
    void EnableMessageButtons(bool enable) override { note(enable ? "buttons on" : "buttons off"); }
    QString buttonCaption(int index) const override { return QStringLiteral("caption %1").arg(index); }
    void setMessageStatus(const QString& text) override { note("status " + text); }
    void setLineIndicator(std::int16_t line, bool keyed) override
    {
        note(QStringLiteral("%1 %2").arg(line == 1 ? "DTR" : "RTS", keyed ? "red" : "blue"));
    }

    qint64 timeOf(const QString& event) const { return times.value(events.indexOf(event), -1); }

private:
    void note(const QString& event)
    {
        if (!alive)
            ++callsAfterDeath;
        events << event;
        times << mClock.elapsedMs();
    }
    const FakeSerialApi& mClock;
};

struct Command
{
    QString text;
    std::int32_t result;
    qint64 ms;
};

} // namespace

class TestPlayer : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnv> mEnv;
    std::unique_ptr<FakeSerialApi> mSerial;
    std::unique_ptr<ScriptedAudioBackend> mAudio;
    std::unique_ptr<FakeView> mView;
    std::unique_ptr<MessagePlayer> mPlayer;
    QElapsedTimer mClock;
    QList<Command> mCommands;

    // The serial fake's clock is the test's clock: everything is stamped on it.
    qint64 now() const { return mSerial->elapsedMs(); }

    QList<FakeSerialApi::Call> escapes() const { return mSerial->callsNamed(QStringLiteral("EscapeCommFunction")); }

    QList<Command> commandsStarting(const QString& prefix) const
    {
        QList<Command> found;
        for (const Command& c : mCommands)
            if (c.text.startsWith(prefix))
                found << c;
        return found;
    }

    void openPort(std::int16_t port)
    {
        gCommPort = port;
        QCOMPARE(CommOpen(port, QStringLiteral("COM%1").arg(port), kCommSettings), 0);
        QCOMPARE(CommSetLine(port, kLineDTR, kFalse), 0);
        QCOMPARE(CommSetLine(port, kLineRTS, kFalse), 0);
        mSerial->clear();
    }

private slots:
    void init()
    {
        mEnv = std::make_unique<TestEnv>();
        mSerial = std::make_unique<FakeSerialApi>();
        mSerial->install();
        CommResetForTesting();
        mClock.start();
        mAudio = std::make_unique<ScriptedAudioBackend>();
        mAudio->install();
        mAudio->setDuration(300);
        mView = std::make_unique<FakeView>(*mSerial);
        mPlayer = std::make_unique<MessagePlayer>(*mView);
        mCommands.clear();
        setMciTrace([this](const QString& command, std::int32_t result) {
            mCommands.append({command, result, now()});
        });
        gWaveFiles[1] = kWav;
        gPTTLine = 2;
    }

    void cleanup()
    {
        setMciTrace(nullptr);
        mPlayer.reset();
        mAudio.reset();
        CommResetForTesting();
        mSerial.reset();
        mView.reset();
        mEnv.reset();
    }

    void timeline_data()
    {
        QTest::addColumn<int>("pttLine");
        QTest::addColumn<QString>("setCode");
        QTest::addColumn<QString>("clearCode");
        QTest::addColumn<QString>("indicator");
        QTest::newRow("DTR") << 1 << "5"
                             << "6"
                             << "DTR";
        QTest::newRow("RTS, line code 3") << 2 << "3"
                                          << "4"
                                          << "RTS";
    }

    void timeline()
    {
        QFETCH(int, pttLine);
        QFETCH(QString, setCode);
        QFETCH(QString, clearCode);
        QFETCH(QString, indicator);
        openPort(1);
        gPTTLine = std::int16_t(pttLine);
        const qint64 start = now();
        mPlayer->PlayMessage(1);

        const auto esc = escapes();
        QCOMPARE(esc.size(), 2);
        QCOMPARE(esc[0].arg, setCode);
        QCOMPARE(esc[1].arg, clearCode);
        QVERIFY(esc[0].ms - start < 20);

        QStringList sent;
        for (const Command& c : mCommands)
            if (!c.text.startsWith(QLatin1String("status")))
                sent << c.text;
        QCOMPARE(sent, QStringList({"close all", "open \"" + kWav + "\" type waveaudio alias voice1", "play voice1",
                                    "close voice1"}));
        const qint64 keyed = esc[0].ms;
        const qint64 opened = commandsStarting("open").first().ms;
        const qint64 closed = commandsStarting("close voice1").first().ms;
        const qint64 unkeyed = esc[1].ms;
        // Keyed 250 ms before any audio and 250 ms after it.
        QVERIFY2(opened - keyed >= 248 && opened - keyed <= 275, qPrintable(QString::number(opened - keyed)));
        QVERIFY2(closed - opened >= 295 && closed - opened <= 330, qPrintable(QString::number(closed - opened)));
        QVERIFY2(unkeyed - closed >= 248 && unkeyed - closed <= 275, qPrintable(QString::number(unkeyed - closed)));

        QCOMPARE(mView->events.first(), indicator + " red");
        QCOMPARE(mView->events.mid(1, 2),
                 QStringList({"buttons off", QStringLiteral("status Sending \"caption 0\" Message")}));
        QCOMPARE(mView->events.mid(3), QStringList({"status ", indicator + " blue", "buttons on"}));
        QVERIFY(mView->timeOf("status ") <= unkeyed);
        QVERIFY(!mSerial->lineStateByName(QStringLiteral("COM1")).anyUp());
        QVERIFY(mSerial->isOpen(QStringLiteral("COM1")));
        QVERIFY(MessageBoxes::asked().isEmpty());
        QVERIFY(!mPlayer->isPlaying());
    }

    void pollingWaitsForEventsAndSeesTheEndQuickly()
    {
        mAudio->setDuration(500);
        mPlayer->PlayMessage(1);
        const QList<Command> polls = commandsStarting("status");
        // Not a spinning loop: about one query per 10 ms, and never a longer gap.
        QVERIFY2(polls.size() >= 30 && polls.size() <= 60, qPrintable(QString::number(polls.size())));
        for (int i = 1; i < polls.size(); ++i)
            QVERIFY2(polls[i].ms - polls[i - 1].ms <= 16, qPrintable(QString::number(polls[i].ms - polls[i - 1].ms)));
        const qint64 played = commandsStarting("play").first().ms;
        const qint64 closed = commandsStarting("close voice1").first().ms;
        QVERIFY2(closed - played >= 500 && closed - played <= 515, qPrintable(QString::number(closed - played)));
    }

    void stopEndsTheMessage()
    {
        openPort(1);
        mAudio->setDuration(5000);
        QTimer::singleShot(400, [this] { mPlayer->cmdStop_Click(); });
        const qint64 start = now();
        mPlayer->PlayMessage(1);
        const qint64 closed = commandsStarting("close voice1").first().ms;
        QVERIFY2(closed - start >= 395 && closed - start <= 420, qPrintable(QString::number(closed - start)));
        QCOMPARE(escapes().last().arg, QStringLiteral("4"));
        QVERIFY(escapes().last().ms - closed >= 248);
        QVERIFY(!mSerial->lineStateByName(QStringLiteral("COM1")).anyUp());
        // The status line empties before the line drops.
        QVERIFY(mView->timeOf("status ") <= escapes().last().ms);
    }

    void stopPressedAtOnceIsNotLost()
    {
        mAudio->setDuration(5000);
        // Queued before the player pumps events for the first time.
        QTimer::singleShot(0, [this] { mPlayer->cmdStop_Click(); });
        mPlayer->PlayMessage(1);
        const qint64 played = commandsStarting("play").first().ms;
        const qint64 closed = commandsStarting("close voice1").first().ms;
        QVERIFY2(closed - played < 30, qPrintable(QString::number(closed - played)));
    }

    void nothingToPlay_data()
    {
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("path");
        QTest::newRow("empty path") << 1 << QString();
        QTest::newRow("button 0") << 0 << kWav;
        QTest::newRow("button 11") << 11 << kWav;
    }

    void nothingToPlay()
    {
        QFETCH(int, button);
        QFETCH(QString, path);
        openPort(1);
        gWaveFiles[1] = path;
        gWaveFiles[10] = path;
        mPlayer->PlayMessage(button);
        QVERIFY(mSerial->calls().isEmpty());
        QVERIFY(mView->events.isEmpty());
        QVERIFY(mCommands.isEmpty());
    }

    void noPortPlaysWithoutKeying()
    {
        gCommPort = 0;
        mPlayer->PlayMessage(1);
        QVERIFY(mSerial->calls().isEmpty());
        QCOMPARE(mAudio->paths(ScriptedAudioBackend::Kind::Play), QStringList({kWav}));
        QCOMPARE(mView->events, QStringList({"buttons off", QStringLiteral("status Sending \"caption 0\" Message"),
                                             "status ", "buttons on"}));
    }

    void keyAndUnkeyFailures_data()
    {
        QTest::addColumn<int>("skip");  // EscapeCommFunction calls let through first
        QTest::addColumn<int>("count"); // then failed
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<bool>("portStaysOpen");
        QTest::newRow("key fails") << 0 << 1 << QStringList({"Error setting RTS line on COM1."}) << true;
        QTest::newRow("unkey fails") << 1 << 1 << QStringList({"Error clearing RTS line on COM1."}) << false;
        QTest::newRow("both fail") << 0 << 2
                                   << QStringList(
                                          {"Error setting RTS line on COM1.", "Error clearing RTS line on COM1."})
                                   << false;
    }

    void keyAndUnkeyFailures()
    {
        QFETCH(int, skip);
        QFETCH(int, count);
        QFETCH(QStringList, messages);
        QFETCH(bool, portStaysOpen);
        openPort(1);
        mSerial->failOn(QStringLiteral("EscapeCommFunction"), EIO, count, skip);
        mPlayer->PlayMessage(1);

        QStringList shown;
        for (const MessageBoxes::Asked& a : MessageBoxes::asked()) {
            shown << a.text;
            QCOMPARE(a.style, 16);
            QCOMPARE(a.title, kAppTitle);
            QVERIFY2(a.detail.contains(QStringLiteral("Input/output error")), qPrintable(a.detail));
        }
        QCOMPARE(shown, messages);
        // The message plays all the same, and whatever failed, the line ends down.
        QCOMPARE(mAudio->paths(ScriptedAudioBackend::Kind::Play), QStringList({kWav}));
        QVERIFY(!mSerial->lineStateByName(QStringLiteral("COM1")).anyUp());
        QCOMPARE(CommIsOpen(1), portStaysOpen);
        QCOMPARE(mView->events.contains("RTS red"), skip > 0);
    }

    void unkeysWhatItKeyedWhenSettingsChange()
    {
        openPort(1);
        gPTTLine = 2;
        // The operator switches to COM2 and DTR in the middle of the message.
        QTimer::singleShot(350, [this] {
            QCOMPARE(CommOpen(2, QStringLiteral("COM2"), kCommSettings), 0);
            gCommPort = 2;
            gPTTLine = 1;
        });
        mPlayer->PlayMessage(1);
        const auto esc = escapes();
        QCOMPARE(esc.size(), 2);
        QCOMPARE(esc[1].handle, mSerial->handleOf(QStringLiteral("COM1")));
        QCOMPARE(esc[1].arg, QStringLiteral("4"));
        QVERIFY(!mSerial->lineStateByName(QStringLiteral("COM1")).rts);
        QVERIFY(MessageBoxes::asked().isEmpty());
    }

    void portClosedMidMessageIsNotTouched()
    {
        openPort(1);
        QTimer::singleShot(350, [] { QCOMPARE(CommClose(1), 0); });
        mPlayer->PlayMessage(1);
        QCOMPARE(escapes().size(), 1); // only the key: a closed port is not asked again
        QVERIFY(!mSerial->lineStateByName(QStringLiteral("COM1")).anyUp());
        QVERIFY(MessageBoxes::asked().isEmpty());
        QCOMPARE(mView->events.last(), QStringLiteral("buttons on"));
    }

    void exitWhilePlaying()
    {
        openPort(1);
        mAudio->setDuration(5000);
        // What the window's final unload does inside the player's wait.
        QTimer::singleShot(400, [this] {
            mView->alive = false;
            mciSendString(QStringLiteral("close all"));
            CommClose(1);
        });
        QElapsedTimer took;
        took.start();
        mPlayer->PlayMessage(1);
        QVERIFY2(took.elapsed() < 600, "the player waited after the window was gone");
        QCOMPARE(mView->callsAfterDeath, 0);
        QCOMPARE(escapes().size(), 1);
        QVERIFY(!mSerial->isOpen(QStringLiteral("COM1")));
        QVERIFY(!mSerial->lineStateByName(QStringLiteral("COM1")).anyUp());
        QVERIFY(MessageBoxes::asked().isEmpty());
        QVERIFY(!mPlayer->isPlaying());
    }

    void unplayableFileIsReportedAfterTheLineDrops_data()
    {
        QTest::addColumn<int>("openError");
        QTest::addColumn<int>("playError");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << int(MciError::FileNotFound) << 0 << mciErrorText(MciError::FileNotFound);
        QTest::newRow("not a sound file") << int(MciError::InvalidFile) << 0 << mciErrorText(MciError::InvalidFile);
        QTest::newRow("no sound server") << 0 << int(MciError::HardwareError) << mciErrorText(MciError::HardwareError);
    }

    void unplayableFileIsReportedAfterTheLineDrops()
    {
        QFETCH(int, openError);
        QFETCH(int, playError);
        QFETCH(QString, reason);
        openPort(1);
        if (openError)
            mAudio->failOpen(kWav, openError);
        if (playError)
            mAudio->failPlay(kWav, playError);
        bool lineUpWhileShown = true;
        MessageBoxes::setOnShow([this, &lineUpWhileShown](const MessageBoxes::Asked&) {
            lineUpWhileShown = mSerial->lineStateByName(QStringLiteral("COM1")).anyUp();
        });
        const qint64 start = now();
        mPlayer->PlayMessage(1);
        QCOMPARE(MessageBoxes::asked().size(), 1);
        QCOMPARE(MessageBoxes::asked().first().text, QStringLiteral("Could not play \"cq.wav\".\n") + reason);
        QCOMPARE(MessageBoxes::asked().first().style, 48);
        QVERIFY(!lineUpWhileShown);
        // Keyed for the lead and the tail only.
        const qint64 keyedFor = escapes().last().ms - escapes().first().ms;
        QVERIFY2(keyedFor >= 495 && keyedFor < 560, qPrintable(QString::number(keyedFor)));
        QVERIFY(escapes().first().ms - start < 20);
    }
};

QTEST_MAIN(TestPlayer)
#include "tst_player.moc"
