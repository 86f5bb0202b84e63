#include "comm/modcomm.h"
#include "core/globals.h"
#include "core/settings.h"
#include "tests/fakes/fake_serial.h"

#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <clocale>

namespace {

const QString kCom1Device = QStringLiteral("/dev/ttyUSB0");

std::int32_t openCom1(const QString& settings = kCommSettings)
{
    return CommOpen(1, QStringLiteral("COM1"), settings);
}

// Runs CommOpen on COM1, CommClose or CommSetLine (raising DTR) on `port`.
std::int32_t runOperation(const QString& operation, std::int16_t port)
{
    if (operation == QLatin1String("CommOpen"))
        return CommOpen(port, QStringLiteral("COM1"), kCommSettings);
    if (operation == QLatin1String("CommClose"))
        return CommClose(port);
    return CommSetLine(port, kLineDTR, kTrue);
}

} // namespace

class TstModComm : public QObject
{
    Q_OBJECT

    QTemporaryDir mConfig;
    FakeSerialApi mFake;

    // Opens COM1 with the program's settings and forgets the calls that took.
    CommHandle openedCom1()
    {
        if (openCom1() != 0)
            return kInvalidHandle;
        mFake.clear();
        return mFake.handleOf(QStringLiteral("COM1"));
    }

    static void checkRecord(std::int32_t error, const QString& source, const QString& text)
    {
        QCOMPARE(CommLastError, error);
        QCOMPARE(CommErrorSource, source);
        QCOMPARE(CommErrorText, text);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(mConfig.isValid());
        // The detail text names the settings file; keep it away from the user's.
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(mConfig.path()));
        // The system texts below are compared as the C library words them untranslated.
        std::setlocale(LC_MESSAGES, "C");
        mFake.install();
    }

    void init()
    {
        // Failures a case left scripted must not keep its ports open.
        mFake.clear();
        QVERIFY(releaseEveryPort());
        mFake.reset();
        mFake.setDevicePath(QStringLiteral("COM1"), kCom1Device);
    }

    void openMakesTheCallsInOrder_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("applied");
        QTest::newRow("program settings") << kCommSettings << kCommSettings;
        // The port's own settings are read first, so a partial string keeps the rest of them.
        QTest::newRow("partial settings keep the port's")
            << QStringLiteral("baud=4800") << QStringLiteral("baud=4800 parity=E data=7 stop=2");
    }

    void openMakesTheCallsInOrder()
    {
        QFETCH(QString, settings);
        QFETCH(QString, applied);
        mFake.setPortDefaults(Dcb{9600, 7, 'E', 20});

        QCOMPARE(openCom1(settings), 0);

        const QStringList expected{"CreateFile COM1",        "SetupComm 1024,1024",
                                   "PurgeComm 15",           "SetCommTimeouts 4294967295,0,1000,1000,0",
                                   "GetCommState ",          "BuildCommDCB " + settings,
                                   "SetCommState " + applied};
        QStringList made;
        const CommHandle handle = mFake.calls().first().handle;
        for (const FakeSerialApi::Call& call : mFake.calls()) {
            made << call.name + QLatin1Char(' ') + call.arg;
            QVERIFY(call.ok);
            if (call.name != QLatin1String("BuildCommDCB"))
                QCOMPARE(call.handle, handle);
        }
        QCOMPARE(made, expected);
        QVERIFY(CommIsOpen(1));
        QVERIFY(mFake.isOpen(handle));
    }

    void failureTable_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("call");
        QTest::addColumn<int>("error");
        const QString open = QStringLiteral("CommOpen");
        QTest::newRow("CreateFile") << open << "CreateFile" << ENOENT;
        QTest::newRow("SetupComm") << open << "SetupComm" << EIO;
        QTest::newRow("PurgeComm") << open << "PurgeComm" << EIO;
        QTest::newRow("SetCommTimeouts") << open << "SetCommTimeouts" << EBADF;
        QTest::newRow("GetCommState") << open << "GetCommState" << ENOTTY;
        QTest::newRow("BuildCommDCB") << open << "BuildCommDCB" << EINVAL;
        QTest::newRow("SetCommState") << open << "SetCommState" << EINVAL;
        QTest::newRow("CloseHandle") << QStringLiteral("CommClose") << "CloseHandle" << EIO;
        QTest::newRow("EscapeCommFunction") << QStringLiteral("CommSetLine") << "EscapeCommFunction" << ENOTTY;
    }

    // The record names the operation and its failing step, e.g. "CommOpen (CreateFile)".
    void failureTable()
    {
        QFETCH(QString, operation);
        QFETCH(QString, call);
        QFETCH(int, error);
        if (operation != QLatin1String("CommOpen"))
            QVERIFY(openedCom1() != kInvalidHandle);

        mFake.failOn(call, error);
        QCOMPARE(runOperation(operation, 1), error);

        checkRecord(error, QStringLiteral("%1 (%2)").arg(operation, call),
                    QString::fromLocal8Bit(std::strerror(error)));
        QCOMPARE(CommErrorDevice, kCom1Device);
        // The error is the one of the step named, which really was tried.
        const QList<FakeSerialApi::Call> tried = mFake.callsNamed(call);
        QVERIFY(!tried.isEmpty());
        QCOMPARE(tried.first().error, error);
    }

    void failedOpenStepClosesTheDevice_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<bool>("closeFailsToo");
        for (const char* step :
             {"SetupComm", "PurgeComm", "SetCommTimeouts", "GetCommState", "BuildCommDCB", "SetCommState"})
            QTest::newRow(step) << QString::fromLatin1(step) << false;
        QTest::newRow("SetupComm, then the close fails too") << QStringLiteral("SetupComm") << true;
    }

    void failedOpenStepClosesTheDevice()
    {
        QFETCH(QString, call);
        QFETCH(bool, closeFailsToo);
        const QStringList steps{"CreateFile",   "SetupComm",    "PurgeComm",   "SetCommTimeouts",
                                "GetCommState", "BuildCommDCB", "SetCommState"};
        mFake.failOn(call, EIO);
        if (closeFailsToo)
            mFake.failOn(QStringLiteral("CloseHandle"), EBADF);
        QCOMPARE(openCom1(), EIO);

        // The steps up to the failing one ran, then the device was closed and nothing else.
        QCOMPARE(mFake.callNames(), steps.mid(0, steps.indexOf(call) + 1) << QStringLiteral("CloseHandle"));
        const CommHandle handle = mFake.calls().first().handle;
        QCOMPARE(mFake.calls().last().handle, handle);
        QVERIFY(!CommIsOpen(1));
        checkRecord(EIO, QStringLiteral("CommOpen (%1)").arg(call), QStringLiteral("Input/output error"));
        if (closeFailsToo)
            return;
        // Opening raised the lines; the close is what took them down again.
        QVERIFY(!mFake.isOpen(handle));
        QVERIFY(!mFake.lineState(handle).anyUp());
        QCOMPARE(openCom1(), 0);
    }

    void portInUseLeavesTheOpenPortAlone()
    {
        const CommHandle handle = openedCom1();
        QVERIFY(handle != kInvalidHandle);
        QCOMPARE(CommSetLine(1, kLineRTS, kFalse), 0);
        mFake.clear();

        QCOMPARE(openCom1(), -1);
        checkRecord(-1, QStringLiteral("CommOpen"), QStringLiteral("Port in use."));
        QVERIFY(mFake.calls().isEmpty());
        QCOMPARE(mFake.lineState(handle), (FakeSerialApi::Lines{true, false, false}));
        // The slot still drives the handle it had.
        QCOMPARE(CommSetLine(1, kLineDTR, kFalse), 0);
        QCOMPARE(mFake.calls().last().handle, handle);
        QVERIFY(!mFake.lineState(handle).anyUp());
    }

    void portIdOutOfRange_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("port");
        for (const char* operation : {"CommOpen", "CommClose", "CommSetLine"}) {
            for (const int port : {0, 5, -1})
                QTest::addRow("%s(%d)", operation, port) << QString::fromLatin1(operation) << port;
        }
    }

    void portIdOutOfRange()
    {
        QFETCH(QString, operation);
        QFETCH(int, port);
        const CommHandle handle = openedCom1();
        QVERIFY(handle != kInvalidHandle);

        QCOMPARE(runOperation(operation, static_cast<std::int16_t>(port)), 9);

        checkRecord(9, operation, QStringLiteral("Subscript out of range"));
        QVERIFY(mFake.calls().isEmpty());
        QVERIFY(CommIsOpen(1));
        QVERIFY(mFake.isOpen(handle));
        for (std::int16_t other = 2; other <= 4; ++other)
            QVERIFY(!CommIsOpen(other));
    }

    void faultInsideOperationIsCaught_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("call");
        QTest::addColumn<bool>("staysOpen");
        QTest::newRow("CommOpen, CreateFile") << "CommOpen" << QStringLiteral("CreateFile") << false;
        QTest::newRow("CommOpen, SetCommState") << "CommOpen" << QStringLiteral("SetCommState") << false;
        QTest::newRow("CommClose") << "CommClose" << QStringLiteral("CloseHandle") << true;
        QTest::newRow("CommSetLine") << "CommSetLine" << QStringLiteral("EscapeCommFunction") << true;
    }

    void faultInsideOperationIsCaught()
    {
        QFETCH(QString, operation);
        QFETCH(QString, call);
        QFETCH(bool, staysOpen);
        if (operation != QLatin1String("CommOpen"))
            QVERIFY(openedCom1() != kInvalidHandle);

        mFake.throwOn(call);
        const std::int32_t status = runOperation(operation, 1);

        QVERIFY(status != 0);
        QCOMPARE(CommLastError, status);
        QCOMPARE(CommErrorSource, operation);
        QVERIFY(CommErrorText.startsWith(QLatin1String("Internal error")));
        QCOMPARE(CommIsOpen(1), staysOpen);
        // A fault in the middle of an open must not leave the device open either.
        QCOMPARE(mFake.isOpen(QStringLiteral("COM1")), staysOpen);
    }

    void closeWithoutOpenMakesNoCall_data()
    {
        QTest::addColumn<QString>("before");
        QTest::newRow("never opened") << "";
        QTest::newRow("already closed") << "open, close";
        QTest::newRow("open refused by the system") << "CreateFile";
        QTest::newRow("open failed after the device was opened") << "SetCommState";
    }

    void closeWithoutOpenMakesNoCall()
    {
        QFETCH(QString, before);
        if (before == QLatin1String("open, close")) {
            QVERIFY(openedCom1() != kInvalidHandle);
            QCOMPARE(CommClose(1), 0);
        } else if (!before.isEmpty()) {
            mFake.failOn(before, EIO);
            QCOMPARE(openCom1(), EIO);
        }
        mFake.clear();

        QCOMPARE(CommClose(1), 0);
        QVERIFY(mFake.calls().isEmpty());
        QVERIFY(!CommIsOpen(1));
    }

    void failedCloseKeepsThePortOpen()
    {
        const CommHandle handle = openedCom1();
        QVERIFY(handle != kInvalidHandle);
        mFake.failOn(QStringLiteral("CloseHandle"), EIO);
        QCOMPARE(CommClose(1), EIO);
        QVERIFY(CommIsOpen(1));

        mFake.clear();
        QCOMPARE(CommClose(1), 0);
        QCOMPARE(mFake.callNames(), QStringList{QStringLiteral("CloseHandle")});
        QCOMPARE(mFake.calls().first().handle, handle);
        QVERIFY(!CommIsOpen(1));
        QVERIFY(!mFake.isOpen(handle));
    }

    void setLineFunctionCodes_data()
    {
        QTest::addColumn<int>("line");
        QTest::addColumn<int>("state");
        QTest::addColumn<bool>("startUp"); // every line up before the call
        QTest::addColumn<int>("function");
        QTest::addColumn<bool>("dtr");
        QTest::addColumn<bool>("rts");
        QTest::addColumn<bool>("brk");
        QTest::newRow("break set") << 1 << -1 << false << 8 << false << false << true;
        QTest::newRow("break clear") << 1 << 0 << true << 9 << true << true << false;
        QTest::newRow("DTR set") << 2 << -1 << false << 5 << true << false << false;
        QTest::newRow("DTR clear") << 2 << 0 << true << 6 << false << true << true;
        QTest::newRow("RTS set") << 3 << -1 << false << 3 << false << true << false;
        QTest::newRow("RTS clear") << 3 << 0 << true << 4 << true << false << true;
        QTest::newRow("state 1 sets DTR") << 2 << 1 << false << 5 << true << false << false;
        QTest::newRow("state 7 sets RTS") << 3 << 7 << false << 3 << false << true << false;
    }

    void setLineFunctionCodes()
    {
        QFETCH(int, line);
        QFETCH(int, state);
        QFETCH(bool, startUp);
        QFETCH(int, function);
        QFETCH(bool, dtr);
        QFETCH(bool, rts);
        QFETCH(bool, brk);
        mFake.setOpenRaisesLines(startUp);
        const CommHandle handle = openedCom1();
        QVERIFY(handle != kInvalidHandle);
        if (startUp) {
            QCOMPARE(CommSetLine(1, kLineBreak, kTrue), 0);
            mFake.clear();
        }

        QCOMPARE(CommSetLine(1, static_cast<std::int16_t>(line), static_cast<std::int16_t>(state)), 0);

        QCOMPARE(mFake.callNames(), QStringList{QStringLiteral("EscapeCommFunction")});
        QCOMPARE(mFake.calls().first().handle, handle);
        QCOMPARE(mFake.calls().first().arg, QString::number(function));
        QCOMPARE(mFake.lineState(handle), (FakeSerialApi::Lines{dtr, rts, brk}));
    }

    void setLineUnknownLineCode_data()
    {
        QTest::addColumn<int>("line");
        QTest::newRow("line 0") << 0;
        QTest::newRow("line 4") << 4;
    }

    void setLineUnknownLineCode()
    {
        QFETCH(int, line);
        const CommHandle handle = openedCom1();
        QVERIFY(handle != kInvalidHandle);
        const FakeSerialApi::Lines before = mFake.lineState(handle);

        QCOMPARE(CommSetLine(1, static_cast<std::int16_t>(line), kTrue), EINVAL);

        QCOMPARE(mFake.calls().size(), 1);
        QCOMPARE(mFake.calls().first().arg, QStringLiteral("0"));
        checkRecord(EINVAL, QStringLiteral("CommSetLine (EscapeCommFunction)"), QStringLiteral("Invalid argument"));
        QCOMPARE(mFake.lineState(handle), before);
    }

    void setLineOnPortNotOpen_data()
    {
        QTest::addColumn<bool>("openedBefore");
        QTest::newRow("never opened") << false;
        QTest::newRow("closed") << true;
    }

    void setLineOnPortNotOpen()
    {
        QFETCH(bool, openedBefore);
        if (openedBefore) {
            QVERIFY(openedCom1() != kInvalidHandle);
            QCOMPARE(CommClose(1), 0);
            mFake.clear();
        }

        const std::int32_t status = CommSetLine(1, kLineDTR, kTrue);

        QVERIFY(status != 0);
        QCOMPARE(CommLastError, status);
        QCOMPARE(CommErrorSource, QStringLiteral("CommSetLine (EscapeCommFunction)"));
        QVERIFY(!CommErrorText.isEmpty());
        QCOMPARE(CommErrorDevice, kCom1Device);
        // A stale handle (or 0, standard input) may belong to another file by now.
        QVERIFY(mFake.calls().isEmpty());
    }

    void watchdogDropsTheLineWhileThisThreadIsHeld_data()
    {
        QTest::addColumn<QString>("before"); // what this thread does before it is held
        QTest::addColumn<int>("dropMs");     // -1: the watchdog leaves the port alone
        QTest::newRow("held") << QString() << 100;
        QTest::newRow("watched anew, later") << "rewatch" << 300;
        QTest::newRow("unwatched first") << "unwatch" << -1;
        // The number of a closed handle may already belong to another file.
        QTest::newRow("port closed first") << "close" << -1;
    }

    void watchdogDropsTheLineWhileThisThreadIsHeld()
    {
        QFETCH(QString, before);
        QFETCH(int, dropMs);
        QVERIFY(!CommWatchLine(1, kLineRTS, 100, [] {}));
        const CommHandle handle = openedCom1();
        QCOMPARE(CommSetLine(1, kLineRTS, kTrue), 0);
        std::atomic<int> reported{0};
        const qint64 armed = mFake.elapsedMs();
        QVERIFY(CommWatchLine(1, kLineRTS, 100, [&reported] { ++reported; }));
        if (before == QLatin1String("rewatch"))
            QVERIFY(CommWatchLine(1, kLineRTS, 300, [&reported] { ++reported; }));
        if (before == QLatin1String("unwatch"))
            CommUnwatchLine();
        if (before == QLatin1String("close"))
            QCOMPARE(CommClose(1), 0);
        // Held as a hung user interface would be.
        QThread::msleep(450);

        const auto drops = mFake.callsNamed(QStringLiteral("ForceLineDown"));
        QCOMPARE(drops.size(), dropMs < 0 ? 0 : 1);
        QCOMPARE(int(reported), dropMs < 0 ? 0 : 1);
        if (dropMs >= 0) {
            QCOMPARE(drops[0].handle, handle);
            QCOMPARE(drops[0].arg, QString::number(CommFunction::ClrRts));
            QVERIFY2(drops[0].ms - armed >= dropMs && drops[0].ms - armed < dropMs + 30,
                     qPrintable(QString::number(drops[0].ms - armed)));
        }
        QCOMPARE(mFake.lineState(handle).rts, before == QLatin1String("unwatch"));
    }

    void successLeavesTheErrorRecord()
    {
        mFake.failOn(QStringLiteral("CreateFile"), ENOENT);
        QCOMPARE(openCom1(), ENOENT);
        QCOMPARE(openCom1(), 0);
        QCOMPARE(CommSetLine(1, kLineDTR, kFalse), 0);
        QCOMPARE(CommClose(1), 0);
        checkRecord(ENOENT, QStringLiteral("CommOpen (CreateFile)"), QStringLiteral("No such file or directory"));
    }

    void systemMessageText_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message"); // "-": the system's own text
        QTest::addColumn<QString>("expected");
        QTest::newRow("system text as it is") << EIO << QStringLiteral("-") << "Input/output error";
        QTest::newRow("no system text") << 4000 << QStringLiteral("-") << "";
        QTest::newRow("spaces both ends") << EIO << QStringLiteral("  Port gone  ") << "Port gone";
        QTest::newRow("line break at the end stays") << EIO << QStringLiteral("Port gone.\n") << "Port gone.\n";
        QTest::newRow("tab is not a space") << EIO << QStringLiteral("\tPort gone\t") << "\tPort gone\t";
        QTest::newRow("cut at NUL") << EIO << QString::fromUtf16(u"Port\0gone", 9) << "Port";
        QTest::newRow("255 characters at most") << EIO << QString(300, QLatin1Char('x')) << QString(255, 'x');
    }

    void systemMessageText()
    {
        QFETCH(int, code);
        QFETCH(QString, message);
        QFETCH(QString, expected);
        if (message != QLatin1String("-"))
            mFake.setMessage(code, message);
        QVERIFY(openedCom1() != kInvalidHandle);

        mFake.failOn(QStringLiteral("EscapeCommFunction"), code);
        QCOMPARE(CommSetLine(1, kLineRTS, kTrue), code);
        QCOMPARE(CommErrorText, expected);
    }

    void errorDetail_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("expected");
        const QString open = QStringLiteral("Step: CommOpen (CreateFile)\nDevice: ") + kCom1Device + "\nReason: ";
        const QString setup = QStringLiteral("Step: CommOpen (SetupComm)\nDevice: ") + kCom1Device + "\nReason: ";
        QTest::newRow("no failure") << "" << 0 << "";
        QTest::newRow("permission denied")
            << "CreateFile" << EACCES << open + "Permission denied\nIs the user in the dialout group?";
        QTest::newRow("busy") << "CreateFile" << EBUSY
                              << open + "Device or resource busy\nAnother program is using the port.";
        QTest::newRow("no such device") << "CreateFile" << ENOENT
                                        << open + "No such file or directory\nThe device of each port is set in " +
                                               "section [Ports] of " + settingsFilePath(kAppTitle) + ".";
        QTest::newRow("later step, no hint")
            << "SetCommState" << EIO
            << "Step: CommOpen (SetCommState)\nDevice: " + kCom1Device + "\nReason: Input/output error";
        QTest::newRow("line break of the text dropped") << "SetupComm" << 4001 << setup + "Queue trouble.";
        QTest::newRow("no system text") << "SetupComm" << 4000 << setup + "error 4000";
        QTest::newRow("port in use") << "in use" << 0
                                     << "Step: CommOpen\nDevice: " + kCom1Device + "\nReason: Port in use.";
        QTest::newRow("fault") << "port 0" << 0 << "Step: CommOpen\nReason: Subscript out of range";
    }

    void errorDetail()
    {
        QFETCH(QString, failure);
        QFETCH(int, error);
        QFETCH(QString, expected);
        mFake.setMessage(4001, QStringLiteral("Queue trouble.\r\n"));
        if (failure == QLatin1String("in use")) {
            QVERIFY(openedCom1() != kInvalidHandle);
            QCOMPARE(openCom1(), -1);
        } else if (failure == QLatin1String("port 0")) {
            QVERIFY(CommOpen(0, QStringLiteral("COM1"), kCommSettings) != 0);
        } else if (!failure.isEmpty()) {
            mFake.failOn(failure, error);
            QCOMPARE(openCom1(), error);
        } else {
            QVERIFY(openedCom1() != kInvalidHandle);
        }
        QCOMPARE(CommErrorDetail(), expected);
    }
};

QTEST_GUILESS_MAIN(TstModComm)
#include "tst_modcomm.moc"
