#include "comm/hamlibrig.h"
#include "comm/keying.h"
#include "core/globals.h"
#include "keyer/player.h"
#include "tests/fakes/fake_serial.h"
#include "tests/fakes/rigctld.h"
#include "tests/fakes/scripted_audio.h"
#include "tests/fakes/scripted_desktop.h"
#include "tests/fakes/testenv.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

const QString kWav = QStringLiteral("/recordings/cq.wav");

PttTarget rigAt(const QString& path, int model = kHamlibNetModel)
{
    PttTarget target;
    target.method = PttMethod::Hamlib;
    target.hamlib = {model, path, 0, 1};
    return target;
}

// Counts the longest gap between ticks of a 5 ms timer: how long the user-interface thread was held.
class StallMeter : public QObject
{
public:
    StallMeter()
    {
        mClock.start();
        mTimer.setTimerType(Qt::PreciseTimer);
        connect(&mTimer, &QTimer::timeout, this, [this] { mLongest = std::max(mLongest, mClock.restart()); });
        mTimer.start(5);
    }
    qint64 longestMs() const { return mLongest; }

private:
    QElapsedTimer mClock;
    QTimer mTimer;
    qint64 mLongest = 0;
};

class NullView : public PlayerView
{
public:
    QStringList events;
    void EnableMessageButtons(bool enable) override { events << (enable ? "buttons on" : "buttons off"); }
    QString buttonCaption(int) const override { return QStringLiteral("CQ"); }
    void setMessageStatus(const QString&) override {}
    void setLineIndicator(std::int16_t, bool keyed) override { events << (keyed ? "red" : "blue"); }
    void setPortName(const QString&) override {}
};

} // namespace

class TstHamlib : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnv> mEnv;
    std::unique_ptr<Rigctld> mRigctld;

    // Waits for the next answer of keying() and returns its text ("" = the rig took it).
    static QString nextAnswer(QSignalSpy& spy, int ms = 8000)
    {
        if (spy.isEmpty() && !spy.wait(ms))
            return QStringLiteral("<no answer>");
        return spy.takeFirst().at(1).toString();
    }

    // Keys or releases through the rig thread; the rig takes it without a failure.
    static void send(const PttTarget& target, bool on, QSignalSpy& answers)
    {
        QCOMPARE(keying().key(target, on), Keying::Answer::Pending);
        QCOMPARE(nextAnswer(answers), QString());
    }

    // One key and release, each answered without a failure and each seen by the rig.
    void keyAndRelease(const PttTarget& target, QSignalSpy& answers)
    {
        for (const bool on : {true, false}) {
            send(target, on, answers);
            QCOMPARE(mRigctld->ptt(), on ? 1 : 0);
        }
    }

private slots:
    void init()
    {
        mEnv = std::make_unique<TestEnv>();
        mRigctld = std::make_unique<Rigctld>();
        QVERIFY2(mRigctld->start(), "rigctld (libhamlib-utils) does not start");
    }

    void cleanup()
    {
        keying().closeAll();
        mRigctld.reset();
        mEnv.reset();
    }

    void refusals_data()
    {
        QTest::addColumn<int>("model");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("refused");
        QTest::newRow("rigctld") << 2 << "localhost:4532" << false;
        QTest::newRow("rig on a cable") << 3073 << "/dev/ttyUSB0" << false;
        QTest::newRow("empty") << 2 << "" << true;
        QTest::newRow("control character") << 2 << "host\n:4532" << true;
        QTest::newRow("too long") << 2 << QString(600, QLatin1Char('a')) << true;
        QTest::newRow("cable without a device") << 3073 << "ttyUSB0" << true;
    }

    void refusals()
    {
        QFETCH(int, model);
        QFETCH(QString, path);
        QFETCH(bool, refused);
        QCOMPARE(!hamlibSettingsRefusal({model, path, 0, 1}).isEmpty(), refused);
    }

    // A refused path is told before anything is asked of the library, and names the target.
    void refusedPathIsToldAtOnce()
    {
        const KeyingNotice notice = keying().open(rigAt(QStringLiteral("host\n:4532")));
        QVERIFY(notice.text.startsWith(QStringLiteral("Error opening rigctld host")));
        QVERIFY(notice.detail.contains(QStringLiteral("control character")));
    }

    void modelListNamesMakersAndModels()
    {
        const QList<HamlibModel> models = hamlibModels();
        QVERIFY(models.size() > 100);
        const auto dummy =
            std::find_if(models.cbegin(), models.cend(), [](const HamlibModel& m) { return m.model == 1; });
        QVERIFY(dummy != models.cend());
        QCOMPARE(dummy->name, QStringLiteral("Dummy"));
        QVERIFY(std::is_sorted(models.cbegin(), models.cend(), [](const HamlibModel& a, const HamlibModel& b) {
            return a.maker.compare(b.maker, Qt::CaseInsensitive) < 0;
        }));
    }

    // Key and unkey through rigctld, a second client watching: the rig is keyed exactly in between.
    // Also measures the time from key() to the rig's answer.
    void keyAndUnkeyThroughRigctld()
    {
        const PttTarget target = rigAt(mRigctld->path());
        QSignalSpy failed(&keying(), &Keying::openFailed);
        QVERIFY(keying().open(target).text.isEmpty());
        QSignalSpy answers(&keying(), &Keying::answered);
        QList<qint64> latencies;
        for (int i = 0; i < 20; ++i) {
            QElapsedTimer took;
            took.start();
            QCOMPARE(keying().key(target, true), Keying::Answer::Pending);
            QVERIFY2(took.elapsed() < 20, "key() waited on the network");
            QCOMPARE(nextAnswer(answers), QString());
            latencies << took.nsecsElapsed() / 1000;
            QCOMPARE(mRigctld->ptt(), 1);
            QCOMPARE(keying().key(target, false), Keying::Answer::Pending);
            QCOMPARE(nextAnswer(answers), QString());
            QCOMPARE(mRigctld->ptt(), 0);
        }
        QVERIFY(failed.isEmpty());
        std::sort(latencies.begin(), latencies.end());
        qInfo("key to transmit through rigctld: median %.2f ms, worst %.2f ms", latencies.at(10) / 1000.0,
              latencies.last() / 1000.0);
    }

    // The whole message from the player: keyed during the audio, released at the end, indicator with it.
    void messageKeysAndUnkeysTheRig()
    {
        FakeSerialApi serial;
        serial.install();
        ScriptedAudioBackend audio;
        audio.install();
        audio.setDuration(600);
        gPTTMethod = 1;
        gHamlibModel = kHamlibNetModel;
        gHamlibPath = mRigctld->path();
        gHamlibPTT = 1;
        gWaveFiles[1] = kWav;
        QVERIFY(keying().open(pttTargetFromGlobals()).text.isEmpty());
        NullView view;
        MessagePlayer player(view);
        QSignalSpy finished(&player, &MessagePlayer::finished);
        player.PlayMessage(1, KeyerTimes{100, 100, 0});
        QTRY_COMPARE_WITH_TIMEOUT(view.events.contains(QStringLiteral("red")), true, 5000);
        QCOMPARE(mRigctld->ptt(), 1);
        QVERIFY(finished.wait(10000));
        QTRY_COMPARE_WITH_TIMEOUT(view.events.last(), QStringLiteral("blue"), 5000);
        QCOMPARE(mRigctld->ptt(), 0);
        QVERIFY(serial.calls().isEmpty());
        gWaveFiles[1].clear();
        resetGlobals();
    }

    // rigctld holds its answer to the key: the operator is told, the message goes on, and the unkey that
    // follows leaves the rig unkeyed once rigctld answers again.
    void keyAnswerLost()
    {
        FakeSerialApi serial;
        serial.install();
        ScriptedAudioBackend audio;
        audio.install();
        audio.setDuration(300);
        gPTTMethod = 1;
        gHamlibModel = kHamlibNetModel;
        gHamlibPath = mRigctld->path();
        gWaveFiles[1] = kWav;
        QVERIFY(keying().open(pttTargetFromGlobals()).text.isEmpty());
        // Connected before it stops: the key then waits on an open connection.
        QSignalSpy answers(&keying(), &Keying::answered);
        QCOMPARE(keying().key(pttTargetFromGlobals(), false), Keying::Answer::Pending);
        QCOMPARE(nextAnswer(answers), QString());
        NullView view;
        MessagePlayer player(view);
        QSignalSpy finished(&player, &MessagePlayer::finished);
        mRigctld->pause(true);
        player.PlayMessage(1, KeyerTimes{50, 50, 0});
        // A read-back still running from an earlier loss may fail first and say the rig may be keyed; the
        // operator must in any case hear that the key went unanswered.
        const auto toldOfTheKey = [] {
            const auto asked = MessageBoxes::asked();
            return std::any_of(asked.cbegin(), asked.cend(), [](const auto& box) {
                return box.text.startsWith(QStringLiteral("Error keying rigctld "));
            });
        };
        QTRY_VERIFY_WITH_TIMEOUT(toldOfTheKey(), 8000);
        mRigctld->pause(false);
        QVERIFY(finished.wait(15000));
        QTRY_COMPARE_WITH_TIMEOUT(view.events.last(), QStringLiteral("blue"), 15000);
        // The key held up in rigctld may be carried out after the unkey: the read-back catches it.
        QTest::qWait(2500);
        QCOMPARE(mRigctld->ptt(), 0);
        gWaveFiles[1].clear();
        resetGlobals();
    }

    // rigctld dies while the rig is keyed: the operator hears of it at once, the user-interface thread is
    // never held, and the unkey reaches the rig once rigctld is back.
    void rigctldKilledWhileKeyed()
    {
        const PttTarget target = rigAt(mRigctld->path());
        QVERIFY(keying().open(target).text.isEmpty());
        QSignalSpy answers(&keying(), &Keying::answered);
        send(target, true, answers);
        mRigctld->kill();
        {
            StallMeter meter;
            QCOMPARE(keying().key(target, false), Keying::Answer::Pending);
            const QString failure = nextAnswer(answers);
            QVERIFY2(failure.startsWith(QStringLiteral("Error unkeying rigctld ")), qPrintable(failure));
            QVERIFY(keying().lastDetail().contains(QStringLiteral("Reason: ")));
            // The unkey is tried again meanwhile, with nothing to reach.
            QTest::qWait(600);
            QVERIFY2(meter.longestMs() < 100, qPrintable(QString::number(meter.longestMs())));
        }
        QVERIFY(mRigctld->start());
        StallMeter meter;
        // The retried unkey is the next answer, without a failure.
        QCOMPARE(nextAnswer(answers, 15000), QString());
        QVERIFY2(meter.longestMs() < 100, qPrintable(QString::number(meter.longestMs())));
        keyAndRelease(target, answers);
    }

    // rigctld restarted between two messages: the next key reaches it at the first try.
    void rigctldRestartedWhileIdle()
    {
        const PttTarget target = rigAt(mRigctld->path());
        QVERIFY(keying().open(target).text.isEmpty());
        QSignalSpy answers(&keying(), &Keying::answered);
        send(target, false, answers);
        mRigctld->kill();
        QVERIFY(mRigctld->start());
        keyAndRelease(target, answers);
    }

    // Nothing to reach: the failure names the target, the model and Hamlib's reason, and a key fails.
    void unreachable_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("nothing listens") << QStringLiteral("127.0.0.1:%1").arg(Rigctld::freePort());
        QTest::newRow("no such host") << QStringLiteral("no-such-host.invalid:4532");
    }

    void unreachable()
    {
        QFETCH(QString, path);
        const PttTarget target = rigAt(path);
        QSignalSpy failed(&keying(), &Keying::openFailed);
        StallMeter meter;
        QElapsedTimer took;
        took.start();
        QVERIFY(keying().open(target).text.isEmpty());
        QVERIFY2(took.elapsed() < 20, "open() waited on the network");
        QVERIFY(failed.wait(15000));
        QCOMPARE(failed.first().at(0).toString(),
                 "Error opening rigctld " + path + ".\nUse setting to change the PTT method.");
        const QString detail = failed.first().at(1).toString();
        QVERIFY2(detail.contains(QStringLiteral("Hamlib model: 2")) && detail.contains(path) &&
                     detail.contains(QStringLiteral("Reason: ")),
                 qPrintable(detail));
        QSignalSpy answers(&keying(), &Keying::answered);
        QCOMPARE(keying().key(target, true), Keying::Answer::Pending);
        QVERIFY(!nextAnswer(answers, 15000).isEmpty());
        QVERIFY2(meter.longestMs() < 100, qPrintable(QString::number(meter.longestMs())));
    }

    // The dummy rig in the process itself keeps PTT, so its read-back after a key agrees.
    void readBackOfTheDummyRig()
    {
        HamlibRig rig;
        QSignalSpy opened(&rig, &HamlibRig::opened);
        QSignalSpy answered(&rig, &HamlibRig::pttAnswered);
        rig.connectRig({1, QStringLiteral("/dev/null"), 0, 1});
        QCOMPARE(opened.size(), 1);
        QCOMPARE(opened.first().at(0).toString(), QString());
        rig.setPtt(true, 7);
        QCOMPARE(answered.size(), 1);
        QCOMPARE(answered.first().at(1).toULongLong(), 7ULL);
        QCOMPARE(answered.first().at(2).toString(), QString());
        QCOMPARE(answered.first().at(3).toBool(), false);
        rig.setPtt(false, 8);
        QCOMPARE(answered.last().at(2).toString(), QString());
    }
};

QTEST_GUILESS_MAIN(TstHamlib)
#include "tst_hamlib.moc"
