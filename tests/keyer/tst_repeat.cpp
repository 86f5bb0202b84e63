#include "comm/modcomm.h"
#include "core/toolkit.h"
#include "keyer/player.h"
#include "keyer/repeat.h"
#include "platform/mci.h"
#include "tests/fakes/fake_serial.h"
#include "tests/fakes/scripted_audio.h"
#include "tests/fakes/testenv.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

const KeyerTimes kTimes{100, 100, 0};

class QuietView : public PlayerView
{
public:
    void EnableMessageButtons(bool) override {}
    QString buttonCaption(int index) const override { return QStringLiteral("B%1").arg(index + 1); }
    void setMessageStatus(const QString&) override {}
    void setLineIndicator(std::int16_t, bool) override {}
    void setPortName(const QString&) override {}
};

} // namespace

class TestRepeat : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnv> mEnv;
    std::unique_ptr<FakeSerialApi> mSerial;
    std::unique_ptr<ScriptedAudioBackend> mAudio;
    QuietView mView;
    std::unique_ptr<MessagePlayer> mPlayer;
    std::unique_ptr<MessageRepeat> mRepeat;
    KeyerTimes mTimes = kTimes;
    // Whether the line was up at each countdown change, and the texts shown.
    QList<bool> mKeyedInWait;
    QStringList mCountdown;

    QList<FakeSerialApi::Call> escapes() const { return mSerial->callsNamed(QStringLiteral("EscapeCommFunction")); }
    bool lineUp() const { return mSerial->lineStateByName(QStringLiteral("COM1")).anyUp(); }

private slots:
    void init()
    {
        mEnv = std::make_unique<TestEnv>();
        mSerial = std::make_unique<FakeSerialApi>();
        mSerial->install();
        mAudio = std::make_unique<ScriptedAudioBackend>();
        mAudio->install();
        mAudio->setDuration(200);
        mPlayer = std::make_unique<MessagePlayer>(mView);
        mTimes = kTimes;
        mRepeat = std::make_unique<MessageRepeat>(*mPlayer, [this](int n) { mPlayer->SwitchMessage(n, mTimes); });
        mKeyedInWait.clear();
        mCountdown.clear();
        connect(mRepeat.get(), &MessageRepeat::changed, this, [this] {
            if (!mRepeat->waiting())
                return;
            mKeyedInWait << lineUp();
            mCountdown << repeatCountdownText(mRepeat->secondsLeft());
        });
        gWaveFiles[1] = QStringLiteral("/rec/cq.wav");
        gWaveFiles[2] = QStringLiteral("/rec/two.wav");
        gWaveFiles[3] = QString();
        gPTTLine = 2;
        gCommPort = 1;
        QCOMPARE(CommOpen(1, QStringLiteral("COM1"), kCommSettings), 0);
        QCOMPARE(CommSetLine(1, kLineDTR, kFalse), 0);
        QCOMPARE(CommSetLine(1, kLineRTS, kFalse), 0);
        mSerial->clear();
    }

    void cleanup()
    {
        mRepeat.reset();
        mPlayer.reset();
        mAudio.reset();
        mSerial->clear();
        QVERIFY(releaseEveryPort());
        mSerial.reset();
        mEnv.reset();
    }

    // Two sends, the interval between the unkey of one and the key of the next, the line down all the wait.
    void sendsAgainAfterTheInterval()
    {
        mRepeat->start(1, 2);
        QCOMPARE(mRepeat->number(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(escapes().size() >= 3, 5000); // key, unkey, key again
        const auto esc = escapes();
        QCOMPARE(esc[0].arg, QStringLiteral("3"));
        QCOMPARE(esc[1].arg, QStringLiteral("4"));
        QCOMPARE(esc[2].arg, QStringLiteral("3"));
        const qint64 rest = esc[2].ms - esc[1].ms;
        QVERIFY2(rest >= 2000 && rest <= 2030, qPrintable(QString::number(rest)));
        QVERIFY(!mKeyedInWait.isEmpty());
        QVERIFY(!mKeyedInWait.contains(true));
        // Counted down second by second, from the whole interval.
        QCOMPARE(mCountdown, QStringList({"Repeat in 2 s", "Repeat in 1 s"}));
        QVERIFY(mPlayer->isPlaying());
        QTRY_COMPARE(mAudio->paths(ScriptedAudioBackend::Kind::Open), QStringList({"/rec/cq.wav", "/rec/cq.wav"}));
        mRepeat->cancel();
        mPlayer->cmdStop_Click();
        QTRY_VERIFY(!mPlayer->isPlaying());
        QVERIFY(!lineUp());
    }

    void waysToEndIt_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("inTheWait"); // else while the message plays
        QTest::newRow("cancel in the wait") << "cancel" << true;
        QTest::newRow("STOP while it plays") << "stop" << false;
        QTest::newRow("another message while it plays") << "other" << false;
        QTest::newRow("another message in the wait") << "other" << true;
        QTest::newRow("transmit time-out") << "timeout" << false;
        QTest::newRow("file gone before the next send") << "gone" << true;
    }

    void waysToEndIt()
    {
        QFETCH(QString, how);
        QFETCH(bool, inTheWait);
        if (how == QLatin1String("timeout")) {
            mTimes.timeOutMs = 200;
            mAudio->setDuration(1000);
        }
        mRepeat->start(1, 1);
        if (inTheWait)
            QTRY_VERIFY_WITH_TIMEOUT(mRepeat->waiting(), 3000);
        else
            QTRY_VERIFY_WITH_TIMEOUT(mAudio->paths(ScriptedAudioBackend::Kind::Play).size() == 1, 3000);
        if (how == QLatin1String("cancel"))
            mRepeat->cancel();
        if (how == QLatin1String("stop")) {
            mRepeat->cancel();
            mPlayer->cmdStop_Click();
        }
        if (how == QLatin1String("other")) {
            mRepeat->cancel();
            mPlayer->SwitchMessage(2, mTimes);
        }
        if (how == QLatin1String("gone"))
            mAudio->failOpen(QStringLiteral("/rec/cq.wav"), MciError::FileNotFound);
        // Well past the next send's time: nothing of message 1 is sent again.
        QTest::qWait(1600);
        QTRY_VERIFY_WITH_TIMEOUT(!mPlayer->isPlaying(), 3000);
        QCOMPARE(mRepeat->number(), 0);
        QVERIFY(!mRepeat->waiting());
        QVERIFY(!lineUp());
        QStringList opened = mAudio->paths(ScriptedAudioBackend::Kind::Open);
        QCOMPARE(opened.count(QStringLiteral("/rec/cq.wav")), 1);
        QCOMPARE(opened.count(QStringLiteral("/rec/two.wav")), how == QLatin1String("other") ? 1 : 0);
        // Every key has its unkey.
        const auto esc = escapes();
        QCOMPARE(esc.size() % 2, 0);
    }

    void nothingRepeatsThatCannotBeSent_data()
    {
        QTest::addColumn<int>("n");
        QTest::newRow("blank button") << 3;
        QTest::newRow("no such button") << 11;
        QTest::newRow("button 0") << 0;
    }

    void nothingRepeatsThatCannotBeSent()
    {
        QFETCH(int, n);
        QSignalSpy changed(mRepeat.get(), &MessageRepeat::changed);
        mRepeat->start(n, 1);
        QCOMPARE(mRepeat->number(), 0);
        QVERIFY(changed.isEmpty());
        QVERIFY(!mPlayer->isPlaying());
        QVERIFY(escapes().isEmpty());
    }
};

QTEST_MAIN(TestRepeat)
#include "tst_repeat.moc"
