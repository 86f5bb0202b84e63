#include "comm/keying.h"
#include "comm/modcomm.h"
#include "core/globals.h"
#include "tests/fakes/fake_serial.h"
#include "tests/fakes/testenv.h"

#include <QTest>

#include <cerrno>
#include <memory>

namespace {

const QString kAdvice = QStringLiteral("\nUse setting to change the comm port.");

PttTarget serial(std::int16_t port, std::int16_t line = 1)
{
    PttTarget target;
    target.commPort = port;
    target.pttLine = line;
    return target;
}

QString com(int port)
{
    return QStringLiteral("COM%1").arg(port);
}

} // namespace

class TstKeying : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnv> mEnv;
    FakeSerialApi mFake;

private slots:
    void init()
    {
        mEnv = std::make_unique<TestEnv>();
        mFake.reset();
        mFake.install();
    }

    void cleanup()
    {
        QVERIFY(releaseEveryPort());
        mEnv.reset();
    }

    void messages_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("line");
        QTest::addColumn<bool>("advice");
        QTest::addColumn<QString>("text");
        QTest::newRow("open") << int(KeyingStep::Open) << 3 << 1 << true << "Error opening COM3." + kAdvice;
        QTest::newRow("clear DTR") << int(KeyingStep::ClearDTR) << 1 << 2 << true
                                   << "Error clearing DTR line on COM1." + kAdvice;
        QTest::newRow("clear RTS") << int(KeyingStep::ClearRTS) << 4 << 1 << true
                                   << "Error clearing RTS line on COM4." + kAdvice;
        QTest::newRow("close") << int(KeyingStep::Close) << 2 << 1 << false << "Error closing COM2";
        QTest::newRow("key DTR") << int(KeyingStep::Key) << 1 << 1 << false << "Error setting DTR line on COM1.";
        QTest::newRow("key RTS") << int(KeyingStep::Key) << 2 << 2 << false << "Error setting RTS line on COM2.";
        QTest::newRow("unkey RTS") << int(KeyingStep::Unkey) << 3 << 2 << false << "Error clearing RTS line on COM3.";
    }

    void messages()
    {
        QFETCH(int, step);
        QFETCH(int, port);
        QFETCH(int, line);
        QFETCH(bool, advice);
        QFETCH(QString, text);
        QCOMPARE(keyingMessage(KeyingStep(step), serial(std::int16_t(port), std::int16_t(line)), advice), text);
    }

    // What the main window's frame names after "PTT Line Status:  ".
    void targetNames_data()
    {
        QTest::addColumn<int>("method");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("model");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::newRow("COM1") << 0 << 1 << 2 << ""
                              << "COM1";
        QTest::newRow("no port") << 0 << 0 << 2 << ""
                                 << "None";
        QTest::newRow("rigctld") << 1 << 1 << 2 << "localhost:4532"
                                 << "rigctld localhost:4532";
        QTest::newRow("rig on a cable") << 1 << 0 << 3073 << "/dev/ttyUSB0"
                                        << "IC-7300 /dev/ttyUSB0";
        QTest::newRow("unknown model") << 1 << 0 << 999998 << "/dev/ttyUSB0"
                                       << "model 999998 /dev/ttyUSB0";
        QTest::newRow("CM108") << 2 << 1 << 2 << "/dev/hidraw2"
                               << "CM108 /dev/hidraw2";
        QTest::newRow("first CM108") << 2 << 1 << 2 << ""
                                     << "CM108";
    }

    void targetNames()
    {
        QFETCH(int, method);
        QFETCH(int, port);
        QFETCH(int, model);
        QFETCH(QString, path);
        QFETCH(QString, name);
        PttTarget target = serial(std::int16_t(port));
        target.method = PttMethod(method);
        target.hamlib = {model, path, 0, 1};
        target.cm108Device = path;
        QCOMPARE(pttTargetName(target), name);
    }

    // Whichever step fails, the operator reads that step, and nothing stays held with a line up.
    void openFailure_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<int>("skip");
        QTest::addColumn<QString>("text");
        QTest::newRow("open") << "CreateFile" << 0 << "Error opening COM2." + kAdvice;
        QTest::newRow("DTR") << "EscapeCommFunction" << 0 << "Error clearing DTR line on COM2." + kAdvice;
        QTest::newRow("RTS") << "EscapeCommFunction" << 1 << "Error clearing RTS line on COM2." + kAdvice;
    }

    void openFailure()
    {
        QFETCH(QString, call);
        QFETCH(int, skip);
        QFETCH(QString, text);
        mFake.failOn(call, EIO, 1, skip);
        const KeyingNotice notice = keying().open(serial(2));
        QCOMPARE(notice.text, text);
        QVERIFY(notice.detail.contains(QStringLiteral("Reason: ")));
        QVERIFY(!mFake.isOpen(com(2)));
        QVERIFY(!mFake.lineStateByName(com(2)).anyUp());
    }

    void openDropsBothLines()
    {
        QVERIFY(keying().open(serial(1)).text.isEmpty());
        QVERIFY(mFake.isOpen(com(1)));
        QCOMPARE(mFake.lineStateByName(com(1)), FakeSerialApi::Lines{});
    }

    void openNoneTouchesNothing()
    {
        QVERIFY(keying().open(serial(0)).text.isEmpty());
        QVERIFY(mFake.calls().isEmpty());
    }

    void keyRaisesOnlyTheChosenLine_data()
    {
        QTest::addColumn<int>("line");
        QTest::addColumn<bool>("dtr");
        QTest::addColumn<bool>("rts");
        QTest::newRow("DTR") << 1 << true << false;
        QTest::newRow("RTS") << 2 << false << true;
    }

    void keyRaisesOnlyTheChosenLine()
    {
        QFETCH(int, line);
        QFETCH(bool, dtr);
        QFETCH(bool, rts);
        const PttTarget target = serial(1, std::int16_t(line));
        QVERIFY(keying().open(target).text.isEmpty());
        QCOMPARE(keying().key(target, true), Keying::Answer::Done);
        QCOMPARE(mFake.lineStateByName(com(1)).dtr, dtr);
        QCOMPARE(mFake.lineStateByName(com(1)).rts, rts);
        QCOMPARE(keying().key(target, false), Keying::Answer::Done);
        QVERIFY(!mFake.lineStateByName(com(1)).anyUp());
    }

    void keyFailureIsReported()
    {
        const PttTarget target = serial(1);
        QVERIFY(keying().open(target).text.isEmpty());
        mFake.failOn(QStringLiteral("EscapeCommFunction"), EIO);
        QCOMPARE(keying().key(target, true), Keying::Answer::Failed);
        QVERIFY(keying().lastDetail().contains(QStringLiteral("CommSetLine")));
    }

    // A port closed meanwhile released its lines; asking it would reach whatever took its descriptor.
    void unkeyAfterCloseAsksNothing()
    {
        const PttTarget target = serial(1);
        QVERIFY(keying().open(target).text.isEmpty());
        QCOMPARE(keying().key(target, true), Keying::Answer::Done);
        QVERIFY(keying().close(target));
        mFake.clear();
        QCOMPARE(keying().key(target, false), Keying::Answer::Done);
        QVERIFY(mFake.calls().isEmpty());
    }

    // Where a switch ends up, what the operator reads, and which port is held afterwards.
    void switchTo_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::addColumn<QString>("failCall");
        QTest::addColumn<int>("failCount");
        QTest::addColumn<int>("failSkip");
        QTest::addColumn<int>("endPort");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<bool>("rolledBack");
        QTest::newRow("clean") << 1 << 2 << "" << 0 << 0 << 2 << QStringList() << false;
        QTest::newRow("to none") << 1 << 0 << "" << 0 << 0 << 0 << QStringList() << false;
        QTest::newRow("from none") << 0 << 3 << "" << 0 << 0 << 3 << QStringList() << false;
        QTest::newRow("new fails, old back")
            << 1 << 2 << "CreateFile" << 1 << 0 << 1 << QStringList{"Error opening COM2." + kAdvice} << true;
        QTest::newRow("new DTR fails, old back") << 1 << 2 << "EscapeCommFunction" << 1 << 0 << 1
                                                 << QStringList{"Error clearing DTR line on COM2." + kAdvice} << true;
        QTest::newRow("both fail") << 1 << 2 << "CreateFile" << 2 << 0 << 0
                                   << QStringList{"Error opening COM2." + kAdvice, "Error opening COM1." + kAdvice}
                                   << true;
        QTest::newRow("new fails from none")
            << 0 << 2 << "CreateFile" << 1 << 0 << 0 << QStringList{"Error opening COM2." + kAdvice} << false;
        QTest::newRow("old close fails") << 1 << 2 << "CloseHandle" << 1 << 0 << 2 << QStringList{"Error closing COM1"}
                                         << false;
    }

    void switchTo()
    {
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(QString, failCall);
        QFETCH(int, failCount);
        QFETCH(int, failSkip);
        QFETCH(int, endPort);
        QFETCH(QStringList, texts);
        QFETCH(bool, rolledBack);
        QVERIFY(keying().open(serial(std::int16_t(from))).text.isEmpty());
        if (!failCall.isEmpty())
            mFake.failOn(failCall, EIO, failCount, failSkip);
        bool rollbackHookRan = false;
        const KeyingSwitch result = keying().switchTo(serial(std::int16_t(from)), serial(std::int16_t(to)),
                                                      [&rollbackHookRan] { rollbackHookRan = true; });
        QCOMPARE(result.target.commPort, endPort);
        QStringList shown;
        for (const KeyingNotice& notice : result.notices)
            shown << notice.text;
        QCOMPARE(shown, texts);
        QCOMPARE(rollbackHookRan, rolledBack);
        // Only the port keying ends on is held, and no line of any port is up.
        for (int port = 1; port <= kPortCount; ++port) {
            if (port != from || failCall != QLatin1String("CloseHandle"))
                QCOMPARE(mFake.isOpen(com(port)), port == endPort);
            QVERIFY2(!mFake.lineStateByName(com(port)).anyUp(), qPrintable(com(port)));
        }
    }
};

QTEST_GUILESS_MAIN(TstKeying)
#include "tst_keying.moc"
