#include "keyer/player.h"

#include "comm/modcomm.h"
#include "core/toolkit.h"
#include "platform/mci.h"
#include "tests/fakes/fake_serial.h"
#include "tests/fakes/scripted_audio.h"
#include "tests/fakes/testenv.h"

#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace {

const QString kWav = QStringLiteral("/recordings/cq.wav");
const QString kSending = QStringLiteral("status Sending \"caption 0\" Message");

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
    QList<Command> mCommands;

    // The serial fake's clock is the test's clock: everything is stamped on it.
    qint64 now() const { return mSerial->elapsedMs(); }

    QList<FakeSerialApi::Call> escapes() const { return mSerial->callsNamed(QStringLiteral("EscapeCommFunction")); }
    bool com1LinesUp() const { return mSerial->lineStateByName(QStringLiteral("COM1")).anyUp(); }

    QList<Command> commandsStarting(const QString& prefix) const
    {
        QList<Command> found;
        for (const Command& c : mCommands)
            if (c.text.startsWith(prefix))
                found << c;
        return found;
    }
    qint64 sentAt(const QString& prefix) const { return commandsStarting(prefix).value(0, {{}, -1}).ms; }

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
        mAudio = std::make_unique<ScriptedAudioBackend>();
        mAudio->install();
        mAudio->setDuration(300);
        mView = std::make_unique<FakeView>(*mSerial);
        mPlayer = std::make_unique<MessagePlayer>(*mView);
        mCommands.clear();
        setMciTrace([this](const QString& command, std::int32_t) { mCommands.append({command, now()}); });
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
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("pttLine");
        QTest::addColumn<QStringList>("lineCodes"); // of the key and the unkey
        QTest::addColumn<QString>("indicator");
        QTest::newRow("DTR") << 1 << 1 << QStringList({"5", "6"}) << "DTR";
        QTest::newRow("RTS, line code 3") << 1 << 2 << QStringList({"3", "4"}) << "RTS";
        QTest::newRow("port None") << 0 << 2 << QStringList() << QString();
    }

    void timeline()
    {
        QFETCH(int, port);
        QFETCH(int, pttLine);
        QFETCH(QStringList, lineCodes);
        QFETCH(QString, indicator);
        if (port > 0)
            openPort(std::int16_t(port));
        gCommPort = std::int16_t(port);
        gPTTLine = std::int16_t(pttLine);
        const qint64 start = now();
        mPlayer->PlayMessage(1);

        const auto esc = escapes();
        QStringList codes;
        for (const auto& call : esc)
            codes << call.arg;
        QCOMPARE(codes, lineCodes);
        QCOMPARE(mSerial->calls().size(), esc.size());
        QStringList sent;
        for (const Command& c : mCommands)
            if (!c.text.startsWith(QLatin1String("status")))
                sent << c.text;
        QCOMPARE(sent, QStringList({"close all", "open \"" + kWav + "\" type waveaudio alias voice1", "play voice1",
                                    "close voice1"}));
        const qint64 keyed = esc.isEmpty() ? start : esc[0].ms;
        const qint64 opened = sentAt("open");
        const qint64 played = sentAt("play");
        const qint64 closed = sentAt("close voice1");
        QVERIFY(keyed - start < 20);
        // Keyed 250 ms before any audio and 250 ms after it.
        QVERIFY2(opened - keyed >= 248 && opened - keyed <= 275, qPrintable(QString::number(opened - keyed)));
        if (!esc.isEmpty()) {
            const qint64 unkeyed = esc[1].ms;
            QVERIFY2(unkeyed - closed >= 248 && unkeyed - closed <= 275, qPrintable(QString::number(unkeyed - closed)));
            QVERIFY(mView->timeOf("status ") <= unkeyed);
        }
        // The end is seen within 10 ms by a loop that waits for events: a query about every 10 ms, never a spin.
        QVERIFY2(closed - played >= 300 && closed - played <= 315, qPrintable(QString::number(closed - played)));
        const QList<Command> polls = commandsStarting("status");
        QVERIFY2(polls.size() >= 18 && polls.size() <= 36, qPrintable(QString::number(polls.size())));
        for (int i = 1; i < polls.size(); ++i)
            QVERIFY2(polls[i].ms - polls[i - 1].ms <= 16, qPrintable(QString::number(polls[i].ms - polls[i - 1].ms)));

        QStringList shown{"buttons off", kSending, "status ", "buttons on"};
        if (!indicator.isEmpty()) {
            shown.insert(0, indicator + " red");
            shown.insert(4, indicator + " blue");
        }
        QCOMPARE(mView->events, shown);
        QVERIFY(!com1LinesUp());
        QCOMPARE(mSerial->isOpen(QStringLiteral("COM1")), port > 0);
        QVERIFY(MessageBoxes::asked().isEmpty());
        QVERIFY(!mPlayer->isPlaying());
    }

    void midMessage_data()
    {
        QTest::addColumn<int>("atMs"); // the message's audio runs from 250 to 550 ms
        QTest::addColumn<QString>("change");
        QTest::newRow("STOP") << 400 << "stop";
        // Queued before the player pumps events for the first time.
        QTest::newRow("STOP pressed at once") << 0 << "stop";
        QTest::newRow("exit") << 400 << "exit";
        QTest::newRow("COM2 and DTR chosen") << 400 << "switch";
        QTest::newRow("port closed") << 400 << "close";
    }

    void midMessage()
    {
        QFETCH(int, atMs);
        QFETCH(QString, change);
        openPort(1);
        QTimer::singleShot(atMs, [this, change] {
            if (change == QLatin1String("stop"))
                mPlayer->cmdStop_Click();
            // What the window's final unload does inside the player's wait.
            if (change == QLatin1String("exit")) {
                mView->alive = false;
                mciSendString(QStringLiteral("close all"));
            }
            if (change == QLatin1String("exit") || change == QLatin1String("close"))
                QCOMPARE(CommClose(1), 0);
            if (change == QLatin1String("switch")) {
                QCOMPARE(CommOpen(2, QStringLiteral("COM2"), kCommSettings), 0);
                gCommPort = 2;
                gPTTLine = 1;
            }
        });
        const qint64 start = now();
        mPlayer->PlayMessage(1);
        const qint64 finished = now();

        const qint64 closed = sentAt("close voice1");
        if (change == QLatin1String("stop") || change == QLatin1String("exit")) {
            const qint64 late = closed - std::max(sentAt("play"), start + atMs);
            QVERIFY2(closed >= start + atMs - 5 && late < 30, qPrintable(QString::number(late)));
        }
        // The player unkeys the port and line it keyed, and asks nothing of a port closed meanwhile.
        const auto esc = escapes();
        QCOMPARE(esc.size(), change == QLatin1String("exit") || change == QLatin1String("close") ? 1 : 2);
        if (esc.size() == 2) {
            QCOMPARE(esc[1].handle, mSerial->handleOf(QStringLiteral("COM1")));
            QCOMPARE(esc[1].arg, QStringLiteral("4"));
            QVERIFY(esc[1].ms - closed >= 248);
            QVERIFY(mView->timeOf("status ") <= esc[1].ms);
        }
        if (change == QLatin1String("exit")) {
            // Nothing waited for, keyed or shown once the window is gone.
            QVERIFY2(finished - closed < 50, qPrintable(QString::number(finished - closed)));
            QCOMPARE(mView->callsAfterDeath, 0);
        } else {
            QCOMPARE(mView->events.mid(mView->events.size() - 2), QStringList({"RTS blue", "buttons on"}));
        }
        QVERIFY(!com1LinesUp());
        QVERIFY(MessageBoxes::asked().isEmpty());
        QVERIFY(!mPlayer->isPlaying());
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

    void failuresAreShownWithTheLineDown_data()
    {
        QTest::addColumn<int>("skip");          // EscapeCommFunction calls let through first
        QTest::addColumn<int>("count");         // then failed
        QTest::addColumn<int>("audioError");    // of "open", or of "play" when negative
        QTest::addColumn<QStringList>("shown"); // the message boxes
        QTest::addColumn<bool>("portStaysOpen");
        const QString keyFailed = QStringLiteral("Error setting RTS line on COM1.");
        const QString unkeyFailed = QStringLiteral("Error clearing RTS line on COM1.");
        const auto unplayable = [](int error) { return "Could not play \"cq.wav\".\n" + mciErrorText(error); };
        QTest::newRow("key fails") << 0 << 1 << 0 << QStringList{keyFailed} << true;
        QTest::newRow("unkey fails") << 1 << 1 << 0 << QStringList{unkeyFailed} << false;
        QTest::newRow("both fail") << 0 << 2 << 0 << QStringList{keyFailed, unkeyFailed} << false;
        QTest::newRow("file missing") << 0 << 0 << int(MciError::FileNotFound)
                                      << QStringList{unplayable(MciError::FileNotFound)} << true;
        QTest::newRow("no sound server") << 0 << 0 << -int(MciError::HardwareError)
                                         << QStringList{unplayable(MciError::HardwareError)} << true;
    }

    // Whatever fails, no box waits while the transmitter is keyed, and the line ends down.
    void failuresAreShownWithTheLineDown()
    {
        QFETCH(int, skip);
        QFETCH(int, count);
        QFETCH(int, audioError);
        QFETCH(QStringList, shown);
        QFETCH(bool, portStaysOpen);
        openPort(1);
        if (count > 0)
            mSerial->failOn(QStringLiteral("EscapeCommFunction"), EIO, count, skip);
        if (audioError > 0)
            mAudio->failOpen(kWav, audioError);
        if (audioError < 0)
            mAudio->failPlay(kWav, -audioError);
        int shownKeyed = 0;
        MessageBoxes::setOnShow([this, &shownKeyed](const MessageBoxes::Asked&) { shownKeyed += com1LinesUp(); });
        mPlayer->PlayMessage(1);

        QStringList texts;
        for (const MessageBoxes::Asked& a : MessageBoxes::asked()) {
            texts << a.text;
            QCOMPARE(a.title, kAppTitle);
            // A serial failure is critical and names the system's reason; an unplayable file, its path.
            QCOMPARE(a.style, audioError == 0 ? 16 : 48);
            QVERIFY2(a.detail.contains(audioError == 0 ? QStringLiteral("Input/output error") : kWav),
                     qPrintable(a.detail));
        }
        QCOMPARE(texts, shown);
        QCOMPARE(shownKeyed, 0);
        QCOMPARE(mAudio->paths(ScriptedAudioBackend::Kind::Play), audioError > 0 ? QStringList() : QStringList{kWav});
        QVERIFY(!com1LinesUp());
        QCOMPARE(CommIsOpen(1), portStaysOpen);
        QCOMPARE(mView->events.contains("RTS red"), skip > 0 || count == 0);
        if (audioError != 0) {
            // Keyed for the lead and the tail only.
            const qint64 keyedFor = escapes().last().ms - escapes().first().ms;
            QVERIFY2(keyedFor >= 495 && keyedFor < 560, qPrintable(QString::number(keyedFor)));
        }
    }
};

QTEST_MAIN(TestPlayer)
#include "tst_player.moc"
