#include "comm/modcomm.h"
#include "core/settingkeys.h"
#include "core/toolkit.h"
#include "keyer/player.h"
#include "platform/mci.h"
#include "tests/fakes/fake_serial.h"
#include "tests/fakes/scripted_audio.h"
#include "tests/fakes/testenv.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace {

const QString kWav = QStringLiteral("/recordings/cq.wav");
const QString kSending = QStringLiteral("status Sending \"caption 0\" Message");
const KeyerTimes kDefaultTimes{250, 250, 0};
const QString kRadio = QStringLiteral("alsa_output.usb-Burr-Brown_USB_Audio_CODEC-00.analog-stereo");

QString missingOutputReason(const QString& id)
{
    return "The sound output chosen in Settings is not there: " + id +
           ".\nConnect it, or choose another under Settings > Audio.";
}

// Records what the player does to the window, stamped on the test's clock.
class FakeView : public PlayerView
{
public:
    explicit FakeView(const FakeSerialApi& clock) : mClock(clock) {}

    QStringList events;
    QList<qint64> times;

    void EnableMessageButtons(bool enable) override { note(enable ? "buttons on" : "buttons off"); }
    QString buttonCaption(int index) const override { return QStringLiteral("caption %1").arg(index); }
    void setMessageStatus(const QString& text) override { note("status " + text); }
    void setLineIndicator(std::int16_t line, bool keyed) override
    {
        note(QStringLiteral("%1 %2").arg(line == 1 ? "DTR" : "RTS", keyed ? "red" : "blue"));
    }
    void setPortName(const QString& name) override { note("port " + name); }

    qint64 timeOf(const QString& event) const { return times.value(events.indexOf(event), -1); }

private:
    void note(const QString& event)
    {
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
    QList<FakeSerialApi::Call> watchdogDrops() const { return mSerial->callsNamed(QStringLiteral("ForceLineDown")); }
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

    // Plays message 1 to its end, message boxes included.
    void play(const KeyerTimes& times = kDefaultTimes)
    {
        QSignalSpy finished(mPlayer.get(), &MessagePlayer::finished);
        mPlayer->PlayMessage(1, times);
        QVERIFY(mPlayer->isPlaying());
        QVERIFY(finished.wait(20000));
        QVERIFY(!mPlayer->isPlaying());
    }

private slots:
    void init()
    {
        mEnv = std::make_unique<TestEnv>();
        mSerial = std::make_unique<FakeSerialApi>();
        mSerial->install();
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
        mSerial->clear();
        QVERIFY(releaseEveryPort());
        mSerial.reset();
        mView.reset();
        mEnv.reset();
    }

    void timeline_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("pttLine");
        QTest::addColumn<int>("lead");
        QTest::addColumn<int>("tail");
        QTest::addColumn<QStringList>("lineCodes"); // of the key and the unkey
        QTest::addColumn<QString>("indicator");
        QTest::newRow("DTR") << 1 << 1 << 250 << 250 << QStringList({"5", "6"}) << "DTR";
        QTest::newRow("RTS, line code 3") << 1 << 2 << 250 << 250 << QStringList({"3", "4"}) << "RTS";
        QTest::newRow("port None") << 0 << 2 << 250 << 250 << QStringList() << QString();
        // The order holds whatever the settings say, at both ends of their range.
        QTest::newRow("lead and tail 0") << 1 << 2 << 0 << 0 << QStringList({"3", "4"}) << "RTS";
        QTest::newRow("lead and tail 50") << 1 << 2 << 50 << 50 << QStringList({"3", "4"}) << "RTS";
        QTest::newRow("lead 1000, tail 0") << 1 << 2 << 1000 << 0 << QStringList({"3", "4"}) << "RTS";
        QTest::newRow("lead 0, tail 2000") << 1 << 1 << 0 << 2000 << QStringList({"5", "6"}) << "DTR";
    }

    void timeline()
    {
        QFETCH(int, port);
        QFETCH(int, pttLine);
        QFETCH(int, lead);
        QFETCH(int, tail);
        QFETCH(QStringList, lineCodes);
        QFETCH(QString, indicator);
        if (port > 0)
            openPort(std::int16_t(port));
        gCommPort = std::int16_t(port);
        gPTTLine = std::int16_t(pttLine);
        // A device that cannot say when its end is due is asked about every 10 ms.
        mAudio->setTellsTimeLeft(false);
        const qint64 start = now();
        play({lead, tail, 0});

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
        // Keyed the lead time before any audio and the tail time after it, never less.
        QVERIFY2(opened - keyed >= lead && opened - keyed <= lead + 25, qPrintable(QString::number(opened - keyed)));
        if (!esc.isEmpty()) {
            const qint64 unkeyed = esc[1].ms;
            QVERIFY2(unkeyed - closed >= tail && unkeyed - closed <= tail + 25,
                     qPrintable(QString::number(unkeyed - closed)));
            QVERIFY(mView->timeOf("status ") <= unkeyed);
        }
        // The end is seen within 10 ms by a query about every 10 ms, never a spin.
        QVERIFY2(closed - played >= 300 && closed - played <= 315, qPrintable(QString::number(closed - played)));
        const QList<Command> polls = commandsStarting("status");
        QVERIFY2(polls.size() >= 18 && polls.size() <= 36, qPrintable(QString::number(polls.size())));

        QStringList shown{"buttons off", kSending, "status ", "buttons on"};
        if (!indicator.isEmpty()) {
            shown.insert(0, indicator + " red");
            shown.insert(4, indicator + " blue");
        }
        QCOMPARE(mView->events, shown);
        QVERIFY(!com1LinesUp());
        QCOMPARE(mSerial->isOpen(QStringLiteral("COM1")), port > 0);
        QVERIFY(MessageBoxes::asked().isEmpty());
        QVERIFY(watchdogDrops().isEmpty());
    }

    void sleepsUntilTheEndIsDue_data()
    {
        QTest::addColumn<int>("durationMs");
        QTest::addColumn<int>("mostPolls");
        QTest::newRow("300 ms") << 300 << 4;
        QTest::newRow("2 s") << 2000 << 11;
    }

    // A device that tells how long it has left is asked when the end is due and every 250 ms at the
    // most, and the tail still begins as the last sample is heard.
    void sleepsUntilTheEndIsDue()
    {
        QFETCH(int, durationMs);
        QFETCH(int, mostPolls);
        openPort(1);
        gCommPort = 1;
        gPTTLine = 2;
        mAudio->setDuration(durationMs);
        play({0, 0, 0});
        const qint64 played = sentAt("play");
        const qint64 closed = sentAt("close voice1");
        QVERIFY2(closed - played >= durationMs && closed - played <= durationMs + 5,
                 qPrintable(QString::number(closed - played)));
        const int polls = int(commandsStarting("status").size());
        QVERIFY2(polls >= 1 && polls <= mostPolls, qPrintable(QString::number(polls)));
        QVERIFY(!com1LinesUp());
    }

    // The sound path's start-up time is taken out of the lead wait once known, so the audio is heard as
    // the lead ends; a quicker path than the ones learnt brings the full wait back before audio can be early.
    void leadAllowsForTheSoundPathsStartUp()
    {
        openPort(1);
        gCommPort = 1;
        gPTTLine = 2;
        mAudio->setDuration(100);
        const auto leadHeard = [this](qint64 startUpMs) {
            mSerial->clear();
            mCommands.clear();
            play({250, 0, 0});
            const auto esc = escapes();
            return sentAt("play") - esc.value(0).ms + startUpMs;
        };
        const struct
        {
            qint64 startUpMs;
            qint64 least;
            qint64 most;
        } steps[] = {
            {30, 280, 290}, // nothing learnt yet: the full wait, heard 30 ms late
            {30, 250, 264}, // learnt: heard as the lead ends, with a margin for jitter
            {30, 250, 264}, //
            {5, 226, 245},  // a quicker path: heard early once...
            {5, 255, 262},  // ...and never again: the full wait is back
        };
        for (const auto& step : steps) {
            mAudio->setStartUp(step.startUpMs);
            const qint64 heard = leadHeard(step.startUpMs);
            QVERIFY2(heard >= step.least && heard <= step.most, qPrintable(QString::number(heard)));
            QVERIFY(!com1LinesUp());
        }
    }

    void keysOnlyOnceTheOutputIsAwake_data()
    {
        QTest::addColumn<int>("wakeMs");   // -1: the output never wakes
        QTest::addColumn<int>("stopAtMs"); // -1: no STOP
        QTest::addColumn<int>("keyedFrom");
        QTest::addColumn<int>("keyedBy");
        QTest::newRow("awake at once") << 0 << -1 << 0 << 10;
        QTest::newRow("wakes in 300 ms") << 300 << -1 << 300 << 320;
        QTest::newRow("never wakes: keyed after 2.5 s") << -1 << -1 << 2500 << 2520;
        QTest::newRow("STOP while waking") << 800 << 100 << -1 << -1;
    }

    // The line goes up only once the output runs, so no part of the lead is spent waking it; the output is
    // let go as soon as the message plays, or is given up.
    void keysOnlyOnceTheOutputIsAwake()
    {
        QFETCH(int, wakeMs);
        QFETCH(int, stopAtMs);
        QFETCH(int, keyedFrom);
        QFETCH(int, keyedBy);
        openPort(1);
        gCommPort = 1;
        mAudio->setWakeTime(wakeMs);
        if (stopAtMs >= 0)
            QTimer::singleShot(stopAtMs, mPlayer.get(), &MessagePlayer::cmdStop_Click);
        const qint64 clicked = now();
        bool awakeWhilePlaying = false;
        setMciTrace([&](const QString& command, std::int32_t) {
            mCommands.append({command, now()});
            if (command.startsWith(QLatin1String("status")))
                awakeWhilePlaying = awakeWhilePlaying || mAudio->keptAwake();
        });
        play({250, 0, 0});
        const auto esc = escapes();
        if (keyedFrom < 0) {
            QVERIFY(esc.isEmpty());
            QVERIFY(mCommands.isEmpty());
        } else {
            QCOMPARE(esc.size(), 2);
            QVERIFY2(esc[0].ms - clicked >= keyedFrom && esc[0].ms - clicked <= keyedBy,
                     qPrintable(QString::number(esc[0].ms - clicked)));
            QVERIFY(sentAt("play") - esc[0].ms >= 250);
        }
        QVERIFY(!mAudio->keptAwake());
        QVERIFY(!awakeWhilePlaying);
        QVERIFY(!com1LinesUp());
        QVERIFY(!mView->events.contains(QStringLiteral("buttons off")) ||
                mView->events.last() == QLatin1String("buttons on"));
    }

    void midMessage_data()
    {
        QTest::addColumn<int>("atMs"); // the message's audio runs from 250 to 550 ms
        QTest::addColumn<QString>("change");
        QTest::newRow("STOP") << 400 << "stop";
        // During the lead: nothing is heard, and the tail runs from the press.
        QTest::newRow("STOP in the lead") << 100 << "stop";
        QTest::newRow("exit") << 400 << "exit";
        QTest::newRow("exit in the tail") << 650 << "exit";
        QTest::newRow("COM2 and DTR chosen") << 400 << "switch";
        QTest::newRow("port closed") << 400 << "close";
    }

    void midMessage()
    {
        QFETCH(int, atMs);
        QFETCH(QString, change);
        openPort(1);
        qint64 changedAt = -1;
        int eventsAtExit = -1;
        QTimer::singleShot(atMs, [&] {
            changedAt = now();
            if (change == QLatin1String("stop"))
                mPlayer->cmdStop_Click();
            // What the window's final unload does.
            if (change == QLatin1String("exit")) {
                mPlayer->abandon();
                mciSendString(QStringLiteral("close all"));
                eventsAtExit = int(mView->events.size());
            }
            if (change == QLatin1String("exit") || change == QLatin1String("close"))
                QCOMPARE(CommClose(1), 0);
            if (change == QLatin1String("switch")) {
                QCOMPARE(CommOpen(2, QStringLiteral("COM2"), kCommSettings), 0);
                gCommPort = 2;
                gPTTLine = 1;
            }
        });
        QSignalSpy finished(mPlayer.get(), &MessagePlayer::finished);
        mPlayer->PlayMessage(1, kDefaultTimes);
        if (change == QLatin1String("exit")) {
            // Nothing runs on once the program is ending: no step, no tail, no box.
            QTest::qWait(1200);
            QCOMPARE(finished.size(), 0);
            QCOMPARE(mView->events.size(), eventsAtExit);
            QVERIFY(!mPlayer->isPlaying());
            QCOMPARE(escapes().size(), 1);
            QVERIFY(!com1LinesUp());
            return;
        }
        QVERIFY(finished.wait(5000));

        const qint64 closed = sentAt("close voice1");
        if (change == QLatin1String("stop") && atMs < 250) {
            QVERIFY(commandsStarting("play").isEmpty());
            QVERIFY(mAudio->paths(ScriptedAudioBackend::Kind::Open).isEmpty());
            QVERIFY2(escapes().last().ms - changedAt >= 250 && escapes().last().ms - changedAt < 280,
                     qPrintable(QString::number(escapes().last().ms - changedAt)));
        } else if (change == QLatin1String("stop")) {
            // Stopped at the press, not at the next query; what the server still holds is heard after the close,
            // so the tail runs past that, and never short of its setting.
            QVERIFY2(closed >= changedAt && closed - changedAt < 5, qPrintable(QString::number(closed - changedAt)));
            const qint64 tail = escapes().last().ms - closed;
            QVERIFY2(tail >= 270 && tail < 290, qPrintable(QString::number(tail)));
        }
        // The player unkeys the port and line it keyed, and asks nothing of a port closed meanwhile.
        const auto esc = escapes();
        QCOMPARE(esc.size(), change == QLatin1String("close") ? 1 : 2);
        if (esc.size() == 2) {
            QCOMPARE(esc[1].handle, mSerial->handleOf(QStringLiteral("COM1")));
            QCOMPARE(esc[1].arg, QStringLiteral("4"));
            QVERIFY(mView->timeOf("status ") <= esc[1].ms);
        }
        QCOMPARE(mView->events.mid(mView->events.size() - 2), QStringList({"RTS blue", "buttons on"}));
        QVERIFY(!com1LinesUp());
        QVERIFY(MessageBoxes::asked().isEmpty());
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
        mPlayer->PlayMessage(button, kDefaultTimes);
        QVERIFY(!mPlayer->isPlaying());
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
        QTest::addColumn<bool>("fallsBack");    // to no port, the port closed
        QTest::addColumn<int>("pttLine");
        const auto unplayable = [](int error) { return "Could not play \"cq.wav\".\n" + mciErrorText(error); };
        for (const char* line : {"RTS", "DTR"}) {
            const int pttLine = line == QLatin1String("DTR") ? 1 : 2;
            const QString keyFailed = QStringLiteral("Error setting %1 line on COM1.").arg(line);
            const QString unkeyFailed = QStringLiteral("Error clearing %1 line on COM1.").arg(line);
            QTest::addRow("%s: key fails", line) << 0 << 1 << 0 << QStringList{keyFailed} << false << pttLine;
            QTest::addRow("%s: unkey fails", line) << 1 << 1 << 0 << QStringList{unkeyFailed} << true << pttLine;
            QTest::addRow("%s: both fail", line)
                << 0 << 2 << 0 << QStringList{keyFailed, unkeyFailed} << true << pttLine;
        }
        QTest::newRow("no sound server") << 0 << 0 << -int(MciError::HardwareError)
                                         << QStringList{unplayable(MciError::HardwareError)} << false << 2;
    }

    // Whatever fails, no box waits while the transmitter is keyed, and the line ends down.
    void failuresAreShownWithTheLineDown()
    {
        QFETCH(int, skip);
        QFETCH(int, count);
        QFETCH(int, audioError);
        QFETCH(QStringList, shown);
        QFETCH(bool, fallsBack);
        QFETCH(int, pttLine);
        gPTTLine = std::int16_t(pttLine);
        const QString indicator = pttLine == 1 ? QStringLiteral("DTR") : QStringLiteral("RTS");
        openPort(1);
        WriteSetting(Setting::CommPort, QStringLiteral("1"));
        if (count > 0)
            mSerial->failOn(QStringLiteral("EscapeCommFunction"), EIO, count, skip);
        if (audioError > 0)
            mAudio->failOpen(kWav, audioError);
        if (audioError < 0)
            mAudio->failPlay(kWav, -audioError);
        int shownKeyed = 0;
        QList<int> commandsAtBox;
        MessageBoxes::setOnShow([&](const MessageBoxes::Asked&) {
            shownKeyed += com1LinesUp();
            commandsAtBox << int(mCommands.size());
        });
        play();

        for (const MessageBoxes::Asked& a : MessageBoxes::asked()) {
            QCOMPARE(a.title, kAppTitle);
            // A serial failure is critical and names the system's reason; an unplayable file, its path.
            QCOMPARE(a.style, audioError == 0 ? 16 : 48);
            QVERIFY2(a.detail.contains(audioError == 0 ? QStringLiteral("Input/output error") : kWav),
                     qPrintable(a.detail));
        }
        QCOMPARE(messageTexts(), shown);
        QCOMPARE(shownKeyed, 0);
        // A failure to key is told before the message goes on; the rest once it is over.
        if (skip == 0 && count > 0)
            QCOMPARE(commandsAtBox.first(), 0);
        QCOMPARE(mAudio->paths(ScriptedAudioBackend::Kind::Play), audioError > 0 ? QStringList() : QStringList{kWav});
        QVERIFY(!com1LinesUp());
        QCOMPARE(mView->events.contains(indicator + " red"), skip > 0 || count == 0);
        QCOMPARE(mView->events.last(), QStringLiteral("buttons on"));
        if (audioError != 0) {
            // Keyed for the lead and the tail only.
            const qint64 keyedFor = escapes().last().ms - escapes().first().ms;
            QVERIFY2(keyedFor >= 495 && keyedFor < 560, qPrintable(QString::number(keyedFor)));
        }
        // A line that would not drop costs the port, as a port failing at start does: the next message
        // keys nothing and fails nothing.
        QCOMPARE(CommIsOpen(1), !fallsBack);
        QCOMPARE(gCommPort, std::int16_t(fallsBack ? 0 : 1));
        QCOMPARE(ReadSetting(Setting::CommPort), fallsBack ? QStringLiteral("None") : QStringLiteral("1"));
        QCOMPARE(mView->events.contains("port None"), fallsBack);
        if (fallsBack) {
            MessageBoxes::asked().clear();
            mSerial->clear();
            play();
            QVERIFY(MessageBoxes::asked().isEmpty());
            QVERIFY(mSerial->calls().isEmpty());
        }
    }

    // A file that cannot play, or an output that is not there, is refused before the line is raised: no dead
    // carrier while it fails, and never the message out of the speakers instead of the radio.
    void unplayableFileKeysNothing_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<bool>("outputMissing");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("detail");
        QTest::newRow("file missing") << int(MciError::FileNotFound) << false << mciErrorText(MciError::FileNotFound)
                                      << kWav;
        QTest::newRow("not a sound file")
            << int(MciError::InvalidFile) << false << mciErrorText(MciError::InvalidFile) << kWav;
        QTest::newRow("output unplugged") << 0 << true << missingOutputReason(kRadio) << kRadio;
        // The file is the first thing wrong: the operator mends it first.
        QTest::newRow("both") << int(MciError::FileNotFound) << true << mciErrorText(MciError::FileNotFound) << kWav;
    }

    void unplayableFileKeysNothing()
    {
        QFETCH(int, error);
        QFETCH(bool, outputMissing);
        QFETCH(QString, reason);
        QFETCH(QString, detail);
        openPort(1);
        mSerial->clear();
        gAudioOutput = kRadio;
        const auto restore = qScopeGuard([] { gAudioOutput.clear(); });
        mAudio->failOpen(kWav, error);
        mAudio->setOutputMissing(kRadio, outputMissing);
        int shownKeyed = 0;
        MessageBoxes::setOnShow([&](const MessageBoxes::Asked&) { shownKeyed += com1LinesUp(); });
        mPlayer->PlayMessage(1, kDefaultTimes);
        QVERIFY(!mPlayer->isPlaying());
        QVERIFY(escapes().isEmpty());
        QVERIFY(mCommands.isEmpty());
        QVERIFY(mView->events.isEmpty());
        QCOMPARE(shownKeyed, 0);
        QCOMPARE(MessageBoxes::asked().size(), 1);
        const MessageBoxes::Asked box = MessageBoxes::asked().first();
        QCOMPARE(box.text, "Could not play \"cq.wav\".\n" + reason);
        QCOMPARE(box.style, 48);
        QCOMPARE(box.detail, detail);
        QVERIFY(!mAudio->keptAwake());
        // With the file and the output back, the next click plays as ever.
        mAudio->failOpen(kWav, 0);
        mAudio->setOutputMissing(kRadio, false);
        play();
        QCOMPARE(mAudio->paths(ScriptedAudioBackend::Kind::Play), QStringList{kWav});
    }

    // The output chosen, and the button's own gain, reach the backend; a file from outside plays at 0 dB.
    void playsOnTheOutputAtTheButtonsGain_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<int>("button"); // 0: a file played from outside
        QTest::addColumn<double>("gain");
        QTest::newRow("system default, no gain") << QString() << 1 << 0.0;
        QTest::newRow("the radio, button 1 cut") << kRadio << 1 << -6.0;
        QTest::newRow("the radio, button 10 boosted") << kRadio << 10 << 4.0;
        QTest::newRow("a file from outside") << kRadio << 0 << 0.0;
    }

    void playsOnTheOutputAtTheButtonsGain()
    {
        QFETCH(QString, output);
        QFETCH(int, button);
        QFETCH(double, gain);
        openPort(1);
        gAudioOutput = output;
        gMessageGains.fill(3); // every other button has a gain of its own, which must not be taken
        if (button > 0)
            gMessageGains[std::size_t(button)] = std::int16_t(gain);
        gWaveFiles[10] = kWav;
        const auto restore = qScopeGuard([] {
            gAudioOutput.clear();
            gMessageGains.fill(0);
            gWaveFiles[10].clear();
        });
        QSignalSpy finished(mPlayer.get(), &MessagePlayer::finished);
        if (button > 0)
            mPlayer->PlayMessage(button, kDefaultTimes);
        else
            mPlayer->PlayFile(kWav, kDefaultTimes);
        QVERIFY(finished.wait(5000));
        QCOMPARE(mAudio->wokenOutput(), output);
        QCOMPARE(mAudio->lastOptions().outputId, output);
        QCOMPARE(mAudio->lastOptions().gainDb, gain);
        QVERIFY(MessageBoxes::asked().isEmpty());
    }

    // The output going away ends the message at once, as any audio failure does: the line drops, then the
    // operator is told which output went and whether any of the message got out.
    void outputLostOnTheWay_data()
    {
        QTest::addColumn<int>("lostAtMs");
        QTest::addColumn<QString>("text");
        QTest::newRow("in the lead") << 100 << "Could not play \"cq.wav\".\n" + missingOutputReason(kRadio);
        QTest::newRow("while playing") << 600 << "\"cq.wav\" was cut off.\n" + missingOutputReason(kRadio);
    }

    void outputLostOnTheWay()
    {
        QFETCH(int, lostAtMs);
        QFETCH(QString, text);
        openPort(1);
        gAudioOutput = kRadio;
        const auto restore = qScopeGuard([] { gAudioOutput.clear(); });
        mAudio->setDuration(3000);
        qint64 lostMs = -1;
        QTimer::singleShot(lostAtMs, [&] {
            mAudio->setOutputMissing(kRadio, true);
            lostMs = now();
        });
        int shownKeyed = 0;
        MessageBoxes::setOnShow([&](const MessageBoxes::Asked&) { shownKeyed += com1LinesUp(); });
        play();
        MessageBoxes::setOnShow(nullptr);
        QCOMPARE(messageTexts(), QStringList{text});
        QCOMPARE(MessageBoxes::asked().first().detail, kWav);
        QCOMPARE(shownKeyed, 0);
        QVERIFY(!com1LinesUp());
        QCOMPARE(escapes().size(), 2);
        // Found at the next poll (250 ms at most), then the tail.
        const qint64 keyedAfterLoss = escapes().last().ms - lostMs;
        QVERIFY2(keyedAfterLoss <= 250 + 250 + 60, qPrintable(QString::number(keyedAfterLoss)));
        QCOMPARE(mView->events.last(), QStringLiteral("buttons on"));
        QVERIFY(!mPlayer->endedByItself());
    }

    void transmitTimeOut_data()
    {
        QTest::addColumn<int>("audioMs");
        QTest::addColumn<int>("timeOutMs");
        QTest::addColumn<int>("blockAtMs"); // the user-interface thread is held from then on, -1 never
        QTest::addColumn<int>("dropMs");    // after the key; -1: at the audio's end plus the tail
        QTest::addColumn<bool>("byWatchdog");
        // The shape of a 10 s message under a 2 s time-out, scaled down.
        QTest::newRow("time-out ends a long message") << 2000 << 400 << -1 << 400 + 250 << false;
        QTest::newRow("time-out 0 never fires") << 1500 << 0 << -1 << -1 << false;
        QTest::newRow("message shorter than the time-out") << 300 << 1000 << -1 << -1 << false;
        // The watchdog drops the line while the user-interface thread is held, past the time-out and the tail.
        QTest::newRow("blocked in the audio") << 3000 << 200 << 100 << 200 + 250 + 50 << true;
        QTest::newRow("blocked in the tail") << 3000 << 200 << 300 << 200 + 250 + 50 << true;
    }

    void transmitTimeOut()
    {
        QFETCH(int, audioMs);
        QFETCH(int, timeOutMs);
        QFETCH(int, blockAtMs);
        QFETCH(int, dropMs);
        QFETCH(bool, byWatchdog);
        openPort(1);
        mAudio->setDuration(audioMs);
        constexpr int kBlockMs = 1200;
        const qint64 start = now();
        if (blockAtMs >= 0)
            QTimer::singleShot(blockAtMs, [] { QThread::msleep(kBlockMs); });
        play({250, 250, timeOutMs});

        const qint64 keyed = escapes().first().ms;
        const auto drops = byWatchdog ? watchdogDrops() : escapes().mid(1);
        QCOMPARE(drops.size(), 1);
        const qint64 dropped = drops.first().ms - keyed;
        const qint64 expected = dropMs >= 0 ? dropMs : sentAt("close voice1") - keyed + 250;
        QVERIFY2(dropped >= expected && dropped <= expected + 30,
                 qPrintable(QStringLiteral("dropped %1 ms after the key, not %2").arg(dropped).arg(expected)));
        QCOMPARE(watchdogDrops().size(), byWatchdog ? 1 : 0);
        if (dropMs < 0) {
            QVERIFY(sentAt("close voice1") - sentAt("play") >= audioMs);
        } else if (!byWatchdog) {
            // The audio stops at the time-out; the tail follows as after STOP.
            QVERIFY2(qAbs(sentAt("close voice1") - keyed - timeOutMs) <= 15,
                     qPrintable(QString::number(sentAt("close voice1") - keyed)));
        }
        if (byWatchdog) {
            // Once the thread runs again, the rest ends at once: no second tail of dead carrier.
            const qint64 late = escapes().last().ms - (start + blockAtMs + kBlockMs);
            QVERIFY2(late < 40, qPrintable(QString::number(late)));
        }
        QCOMPARE(messageTexts(), dropMs >= 0 ? QStringList{transmitTimeOutText(timeOutMs)} : QStringList());
        if (dropMs >= 0)
            QCOMPARE(MessageBoxes::asked().first().style, 48);
        QVERIFY(!com1LinesUp());
        QVERIFY(CommIsOpen(1));
        QCOMPARE(mView->events.last(), QStringLiteral("buttons on"));
    }

    void keyTakesOver_data()
    {
        QTest::addColumn<int>("atMs"); // message 1's audio runs from 250 to 550 ms, its tail to 800
        QTest::addColumn<QString>("second");
        QTest::addColumn<bool>("takesOver");
        QTest::addColumn<int>("wakeMs"); // how long the output takes to wake before the line goes up
        QTest::newRow("in the lead") << 100 << "/recordings/two.wav" << true << 0;
        QTest::newRow("while it plays") << 400 << "/recordings/two.wav" << true << 0;
        QTest::newRow("in the tail") << 650 << "/recordings/two.wav" << true << 0;
        QTest::newRow("blank button") << 400 << "" << false << 0;
        QTest::newRow("while the output wakes") << 50 << "/recordings/two.wav" << true << 200;
    }

    // The line stays keyed from one message to the next, and the next gets its full lead.
    void keyTakesOver()
    {
        QFETCH(int, atMs);
        QFETCH(QString, second);
        QFETCH(bool, takesOver);
        QFETCH(int, wakeMs);
        openPort(1);
        mAudio->setWakeTime(wakeMs);
        gWaveFiles[2] = second;
        qint64 switchedAt = -1;
        bool awakeAfterSwitch = false;
        QTimer::singleShot(atMs, [&] {
            switchedAt = now();
            mPlayer->SwitchMessage(2, kDefaultTimes);
            awakeAfterSwitch = mAudio->keptAwake();
        });
        play();
        // The next message's output is kept awake through its lead, so its stream is made before its audio;
        // and let go again once it plays.
        QCOMPARE(awakeAfterSwitch, takesOver);
        QVERIFY(!mAudio->keptAwake());

        QVERIFY(switchedAt >= 0);
        const auto esc = escapes();
        QCOMPARE(esc.size(), 2); // one key, one unkey: no chatter between the messages
        QCOMPARE(esc[0].arg, QStringLiteral("3"));
        QCOMPARE(esc[1].arg, QStringLiteral("4"));
        QVERIFY(!com1LinesUp());
        const QStringList opened = mAudio->paths(ScriptedAudioBackend::Kind::Open);
        // Taken over in the lead, message 1 was never heard.
        QStringList expected = takesOver ? QStringList({kWav, second}) : QStringList({kWav});
        if (takesOver && atMs < 250)
            expected.removeFirst();
        QCOMPARE(opened, expected);
        if (!takesOver)
            return;
        // The new lead runs from the switch, or from the line going up if the output was still waking.
        const qint64 leadFrom = std::max(switchedAt, esc[0].ms);
        const qint64 secondOpen = commandsStarting("open").last().ms;
        QVERIFY2(secondOpen - leadFrom >= 250 && secondOpen - leadFrom <= 275,
                 qPrintable(QString::number(secondOpen - leadFrom)));
        // Message 1's audio stopped at the key, not at its end.
        const QList<Command> closes = commandsStarting("close voice1");
        if (atMs > 250 && atMs < 550)
            QVERIFY2(closes.first().ms - switchedAt < 15, qPrintable(QString::number(closes.first().ms - switchedAt)));
        QVERIFY(mView->events.contains(QStringLiteral("status Sending \"caption 1\" Message")));
        QVERIFY(mPlayer->endedByItself());
    }

    void fileTakesOverAndIsNamedByItsFileName()
    {
        openPort(1);
        QTimer::singleShot(400, [&] { mPlayer->PlayFile(QStringLiteral("/logger/cq-dl1abc.wav"), kDefaultTimes); });
        play();
        QCOMPARE(escapes().size(), 2);
        QCOMPARE(mAudio->paths(ScriptedAudioBackend::Kind::Open),
                 QStringList({kWav, QStringLiteral("/logger/cq-dl1abc.wav")}));
        QVERIFY(mView->events.contains(QStringLiteral("status Sending \"cq-dl1abc.wav\" Message")));
    }

    // A message that cannot play ends the one being sent; the box comes once the line is down.
    void unplayableKeyStopsWithTheBoxAfterTheLine()
    {
        openPort(1);
        gWaveFiles[2] = QStringLiteral("/recordings/gone.wav");
        mAudio->failOpen(gWaveFiles[2], MciError::FileNotFound);
        bool keyedAtBox = true;
        MessageBoxes::setOnShow([&](const MessageBoxes::Asked&) { keyedAtBox = com1LinesUp(); });
        QTimer::singleShot(400, [&] { mPlayer->SwitchMessage(2, kDefaultTimes); });
        play();
        QCOMPARE(messageTexts().size(), 1);
        QVERIFY2(messageTexts().first().startsWith(QStringLiteral("Could not play \"gone.wav\".")),
                 qPrintable(messageTexts().first()));
        QVERIFY(!keyedAtBox);
        QCOMPARE(escapes().size(), 2);
        QVERIFY(!mPlayer->endedByItself());
        MessageBoxes::setOnShow(nullptr);
    }

    // The time-out counts the whole keyed stretch: switching messages does not start it again.
    void timeOutCountsFromTheKeyUpAcrossSwitches()
    {
        openPort(1);
        mAudio->setDuration(5000);
        gWaveFiles[2] = QStringLiteral("/recordings/two.wav");
        QTimer::singleShot(700, [&] { mPlayer->SwitchMessage(2, {250, 250, 1000}); });
        play({250, 250, 1000});
        const auto esc = escapes();
        QCOMPARE(esc.size(), 2);
        QVERIFY2(esc[1].ms - esc[0].ms >= 1250 && esc[1].ms - esc[0].ms <= 1300,
                 qPrintable(QString::number(esc[1].ms - esc[0].ms)));
        QCOMPARE(messageTexts(), QStringList({transmitTimeOutText(1000)}));
        QVERIFY(!mPlayer->endedByItself());
    }

    void timeOutTexts()
    {
        QCOMPARE(transmitTimeOutText(120000),
                 QStringLiteral("Transmit time-out: the transmitter was released after 120 seconds."));
        QCOMPARE(transmitTimeOutText(1000),
                 QStringLiteral("Transmit time-out: the transmitter was released after 1 second."));
    }
};

QTEST_MAIN(TestPlayer)
#include "tst_player.moc"
