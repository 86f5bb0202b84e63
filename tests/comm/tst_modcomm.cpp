#include "comm/modcomm.h"

#include "core/globals.h"
#include "core/settings.h"
#include "tests/fakes/fake_serial.h"

#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <clocale>

namespace {

const QString kCom1Device = QStringLiteral("/dev/ttyUSB0");

struct Expected
{
    QString name;
    QString arg;
};

} // namespace

class TstModComm : public QObject
{
    Q_OBJECT

private:
    // Opens COM1 with the program's settings and forgets the calls that took.
    CommHandle openCom1();
    std::int32_t runOperation(const QString& operation, std::int16_t port);

    QTemporaryDir mConfig;
    FakeSerialApi mFake;

private slots:
    void initTestCase();
    void init();

    void openMakesTheCallsInOrder_data();
    void openMakesTheCallsInOrder();
    void failureTable_data();
    void failureTable();
    void failedOpenStepClosesTheDevice_data();
    void failedOpenStepClosesTheDevice();
    void portInUseLeavesTheOpenPortAlone();
    void portIdOutOfRange_data();
    void portIdOutOfRange();
    void faultInsideOperationIsCaught_data();
    void faultInsideOperationIsCaught();
    void closeWithoutOpenMakesNoCall_data();
    void closeWithoutOpenMakesNoCall();
    void failedCloseKeepsThePortOpen();
    void setLineFunctionCodes_data();
    void setLineFunctionCodes();
    void setLineUnknownLineCode_data();
    void setLineUnknownLineCode();
    void setLineOnPortNotOpen_data();
    void setLineOnPortNotOpen();
    void successLeavesTheErrorRecord();
    void systemMessageText_data();
    void systemMessageText();
    void errorDetail_data();
    void errorDetail();
};

CommHandle TstModComm::openCom1()
{
    if (CommOpen(1, QStringLiteral("COM1"), kCommSettings) != 0)
        return kInvalidHandle;
    mFake.clear();
    return mFake.handleOf(QStringLiteral("COM1"));
}

std::int32_t TstModComm::runOperation(const QString& operation, std::int16_t port)
{
    if (operation == QLatin1String("CommOpen"))
        return CommOpen(port, QStringLiteral("COM1"), kCommSettings);
    if (operation == QLatin1String("CommClose"))
        return CommClose(port);
    return CommSetLine(port, kLineDTR, kTrue);
}

void TstModComm::initTestCase()
{
    QVERIFY(mConfig.isValid());
    // The detail text names the settings file; keep it away from the user's.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(mConfig.path()));
    // The system texts below are compared as the C library words them untranslated.
    std::setlocale(LC_MESSAGES, "C");
    mFake.install();
}

void TstModComm::init()
{
    CommResetForTesting();
    mFake.reset();
    mFake.setDevicePath(QStringLiteral("COM1"), kCom1Device);
}

void TstModComm::openMakesTheCallsInOrder_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("applied");

    QTest::newRow("program settings") << kCommSettings << kCommSettings;
    // The port's own settings are read first, so a partial string keeps the rest of them.
    QTest::newRow("partial settings keep the port's")
        << QStringLiteral("baud=4800") << QStringLiteral("baud=4800 parity=E data=7 stop=2");
}

void TstModComm::openMakesTheCallsInOrder()
{
    QFETCH(QString, settings);
    QFETCH(QString, applied);
    mFake.setPortDefaults(Dcb{9600, 7, 'E', 20});

    QCOMPARE(CommOpen(1, QStringLiteral("COM1"), settings), 0);

    const QList<Expected> expected{
        {QStringLiteral("CreateFile"), QStringLiteral("COM1")},
        {QStringLiteral("SetupComm"), QStringLiteral("1024,1024")},
        {QStringLiteral("PurgeComm"), QStringLiteral("15")},
        {QStringLiteral("SetCommTimeouts"), QStringLiteral("4294967295,0,1000,1000,0")},
        {QStringLiteral("GetCommState"), QString()},
        {QStringLiteral("BuildCommDCB"), settings},
        {QStringLiteral("SetCommState"), applied},
    };
    const QList<FakeSerialApi::Call>& calls = mFake.calls();
    QCOMPARE(calls.size(), expected.size());
    const CommHandle handle = calls.first().handle;
    QVERIFY(handle != kInvalidHandle);
    for (qsizetype i = 0; i < expected.size(); ++i) {
        QCOMPARE(calls[i].name, expected[i].name);
        QCOMPARE(calls[i].arg, expected[i].arg);
        QVERIFY(calls[i].ok);
        if (calls[i].name != QLatin1String("BuildCommDCB"))
            QCOMPARE(calls[i].handle, handle);
    }
    QVERIFY(CommIsOpen(1));
    QVERIFY(mFake.isOpen(handle));
}

void TstModComm::failureTable_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("call");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("source");

    const QString open = QStringLiteral("CommOpen");
    QTest::newRow("CreateFile") << open << "CreateFile" << ENOENT << "CommOpen (CreateFile)";
    QTest::newRow("CreateFile denied") << open << "CreateFile" << EACCES << "CommOpen (CreateFile)";
    QTest::newRow("SetupComm") << open << "SetupComm" << EIO << "CommOpen (SetupComm)";
    QTest::newRow("PurgeComm") << open << "PurgeComm" << EIO << "CommOpen (PurgeComm)";
    QTest::newRow("SetCommTimeouts") << open << "SetCommTimeouts" << EBADF << "CommOpen (SetCommTimeouts)";
    QTest::newRow("GetCommState") << open << "GetCommState" << ENOTTY << "CommOpen (GetCommState)";
    QTest::newRow("BuildCommDCB") << open << "BuildCommDCB" << EINVAL << "CommOpen (BuildCommDCB)";
    QTest::newRow("SetCommState") << open << "SetCommState" << EINVAL << "CommOpen (SetCommState)";
    QTest::newRow("CloseHandle") << "CommClose"
                                 << "CloseHandle" << EIO << "CommClose (CloseHandle)";
    QTest::newRow("EscapeCommFunction") << "CommSetLine"
                                        << "EscapeCommFunction" << ENOTTY << "CommSetLine (EscapeCommFunction)";
}

void TstModComm::failureTable()
{
    QFETCH(QString, operation);
    QFETCH(QString, call);
    QFETCH(int, error);
    QFETCH(QString, source);
    if (operation != QLatin1String("CommOpen"))
        QVERIFY(openCom1() != kInvalidHandle);

    mFake.failNext(call, error);
    const std::int32_t status = runOperation(operation, 1);

    QCOMPARE(status, error);
    QCOMPARE(CommLastError, error);
    QCOMPARE(CommErrorSource, source);
    QCOMPARE(CommErrorText, QString::fromLocal8Bit(std::strerror(error)));
    QCOMPARE(CommErrorDevice, kCom1Device);
    // The error is the one of the step named, which really was tried.
    const QList<FakeSerialApi::Call> tried = mFake.callsNamed(call);
    QVERIFY(!tried.isEmpty());
    QCOMPARE(tried.first().error, error);
}

void TstModComm::failedOpenStepClosesTheDevice_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<bool>("closeFailsToo");

    const QStringList steps{"SetupComm",    "PurgeComm",    "SetCommTimeouts",
                            "GetCommState", "BuildCommDCB", "SetCommState"};
    for (const QString& step : steps)
        QTest::newRow(qPrintable(step)) << step << false;
    QTest::newRow("SetupComm, then the close fails too") << QStringLiteral("SetupComm") << true;
}

void TstModComm::failedOpenStepClosesTheDevice()
{
    QFETCH(QString, call);
    QFETCH(bool, closeFailsToo);
    const QStringList steps{"CreateFile",   "SetupComm",    "PurgeComm",   "SetCommTimeouts",
                            "GetCommState", "BuildCommDCB", "SetCommState"};

    mFake.failNext(call, EIO);
    if (closeFailsToo)
        mFake.failNext(QStringLiteral("CloseHandle"), EBADF);
    QCOMPARE(CommOpen(1, QStringLiteral("COM1"), kCommSettings), EIO);

    // The steps up to the failing one ran, then the device was closed and nothing else.
    QStringList expected = steps.mid(0, steps.indexOf(call) + 1);
    expected << QStringLiteral("CloseHandle");
    QCOMPARE(mFake.callNames(), expected);
    const CommHandle handle = mFake.calls().first().handle;
    QCOMPARE(mFake.calls().last().handle, handle);
    QVERIFY(!CommIsOpen(1));
    QCOMPARE(CommLastError, EIO);
    QCOMPARE(CommErrorSource, QStringLiteral("CommOpen (%1)").arg(call));
    QCOMPARE(CommErrorText, QStringLiteral("Input/output error"));
    if (closeFailsToo)
        return;

    // Opening raised the lines; the close is what took them down again.
    QVERIFY(!mFake.isOpen(handle));
    QVERIFY(!mFake.lineState(handle).anyUp());
    mFake.clear();
    QCOMPARE(CommOpen(1, QStringLiteral("COM1"), kCommSettings), 0);
    QCOMPARE(mFake.callNames().first(), QStringLiteral("CreateFile"));
    QVERIFY(CommIsOpen(1));
}

void TstModComm::portInUseLeavesTheOpenPortAlone()
{
    const CommHandle handle = openCom1();
    QVERIFY(handle != kInvalidHandle);
    QCOMPARE(CommSetLine(1, kLineRTS, kFalse), 0);
    mFake.clear();

    QCOMPARE(CommOpen(1, QStringLiteral("COM1"), kCommSettings), -1);
    QCOMPARE(CommLastError, -1);
    QCOMPARE(CommErrorSource, QStringLiteral("CommOpen"));
    QCOMPARE(CommErrorText, QStringLiteral("Port in use."));
    QVERIFY(mFake.calls().isEmpty());
    QVERIFY(CommIsOpen(1));
    QVERIFY(mFake.isOpen(handle));
    QCOMPARE(mFake.lineState(handle), (FakeSerialApi::Lines{true, false, false}));

    // The slot still drives the handle it had.
    QCOMPARE(CommSetLine(1, kLineDTR, kFalse), 0);
    QCOMPARE(mFake.calls().last().handle, handle);
    QVERIFY(!mFake.lineState(handle).anyUp());
}

void TstModComm::portIdOutOfRange_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("port");

    for (const char* operation : {"CommOpen", "CommClose", "CommSetLine"}) {
        for (const int port : {0, 5, -1}) {
            QTest::addRow("%s(%d)", operation, port) << QString::fromLatin1(operation) << port;
        }
    }
}

void TstModComm::portIdOutOfRange()
{
    QFETCH(QString, operation);
    QFETCH(int, port);
    const CommHandle handle = openCom1();
    QVERIFY(handle != kInvalidHandle);

    const std::int32_t status = runOperation(operation, static_cast<std::int16_t>(port));

    QCOMPARE(status, 9);
    QCOMPARE(CommLastError, 9);
    QCOMPARE(CommErrorSource, operation);
    QCOMPARE(CommErrorText, QStringLiteral("Subscript out of range"));
    QVERIFY(mFake.calls().isEmpty());
    QVERIFY(CommIsOpen(1));
    QVERIFY(mFake.isOpen(handle));
    for (std::int16_t other = 2; other <= 4; ++other)
        QVERIFY(!CommIsOpen(other));
}

void TstModComm::faultInsideOperationIsCaught_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("call");
    QTest::addColumn<bool>("staysOpen");

    for (const char* step : {"CreateFile", "SetupComm", "GetCommState", "SetCommState"})
        QTest::addRow("CommOpen, %s", step) << "CommOpen" << QString::fromLatin1(step) << false;
    QTest::newRow("CommClose") << "CommClose"
                               << "CloseHandle" << true;
    QTest::newRow("CommSetLine") << "CommSetLine"
                                 << "EscapeCommFunction" << true;
}

void TstModComm::faultInsideOperationIsCaught()
{
    QFETCH(QString, operation);
    QFETCH(QString, call);
    QFETCH(bool, staysOpen);
    if (operation != QLatin1String("CommOpen"))
        QVERIFY(openCom1() != kInvalidHandle);

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

void TstModComm::closeWithoutOpenMakesNoCall_data()
{
    QTest::addColumn<QString>("before");

    QTest::newRow("never opened") << "";
    QTest::newRow("already closed") << "open, close";
    QTest::newRow("open refused by the system") << "CreateFile fails";
    QTest::newRow("open failed after the device was opened") << "SetCommState fails";
}

void TstModComm::closeWithoutOpenMakesNoCall()
{
    QFETCH(QString, before);
    if (before == QLatin1String("open, close")) {
        QVERIFY(openCom1() != kInvalidHandle);
        QCOMPARE(CommClose(1), 0);
    } else if (before.endsWith(QLatin1String(" fails"))) {
        mFake.failNext(before.section(QLatin1Char(' '), 0, 0), EIO);
        QCOMPARE(CommOpen(1, QStringLiteral("COM1"), kCommSettings), EIO);
    }
    mFake.clear();

    QCOMPARE(CommClose(1), 0);
    QVERIFY(mFake.calls().isEmpty());
    QVERIFY(!CommIsOpen(1));
}

void TstModComm::failedCloseKeepsThePortOpen()
{
    const CommHandle handle = openCom1();
    QVERIFY(handle != kInvalidHandle);

    mFake.failNext(QStringLiteral("CloseHandle"), EIO);
    QCOMPARE(CommClose(1), EIO);
    QVERIFY(CommIsOpen(1));

    mFake.clear();
    QCOMPARE(CommClose(1), 0);
    QCOMPARE(mFake.callNames(), QStringList{QStringLiteral("CloseHandle")});
    QCOMPARE(mFake.calls().first().handle, handle);
    QVERIFY(!CommIsOpen(1));
    QVERIFY(!mFake.isOpen(handle));
}

void TstModComm::setLineFunctionCodes_data()
{
    QTest::addColumn<int>("line");
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("startUp");
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

void TstModComm::setLineFunctionCodes()
{
    QFETCH(int, line);
    QFETCH(int, state);
    QFETCH(bool, startUp);
    QFETCH(int, function);
    QFETCH(bool, dtr);
    QFETCH(bool, rts);
    QFETCH(bool, brk);
    mFake.setOpenRaisesLines(startUp);
    const CommHandle handle = openCom1();
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

void TstModComm::setLineUnknownLineCode_data()
{
    QTest::addColumn<int>("line");
    QTest::addColumn<int>("state");

    QTest::newRow("line 0 set") << 0 << -1;
    QTest::newRow("line 4 set") << 4 << -1;
    QTest::newRow("line 4 clear") << 4 << 0;
    QTest::newRow("line -1 set") << -1 << -1;
}

void TstModComm::setLineUnknownLineCode()
{
    QFETCH(int, line);
    QFETCH(int, state);
    const CommHandle handle = openCom1();
    QVERIFY(handle != kInvalidHandle);
    const FakeSerialApi::Lines before = mFake.lineState(handle);

    QCOMPARE(CommSetLine(1, static_cast<std::int16_t>(line), static_cast<std::int16_t>(state)), EINVAL);

    QCOMPARE(mFake.calls().size(), 1);
    QCOMPARE(mFake.calls().first().arg, QStringLiteral("0"));
    QCOMPARE(CommErrorSource, QStringLiteral("CommSetLine (EscapeCommFunction)"));
    QCOMPARE(CommErrorText, QStringLiteral("Invalid argument"));
    QCOMPARE(mFake.lineState(handle), before);
}

void TstModComm::setLineOnPortNotOpen_data()
{
    QTest::addColumn<bool>("openedBefore");

    QTest::newRow("never opened") << false;
    QTest::newRow("closed") << true;
}

void TstModComm::setLineOnPortNotOpen()
{
    QFETCH(bool, openedBefore);
    if (openedBefore) {
        QVERIFY(openCom1() != kInvalidHandle);
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

void TstModComm::successLeavesTheErrorRecord()
{
    mFake.failNext(QStringLiteral("CreateFile"), ENOENT);
    QCOMPARE(CommOpen(1, QStringLiteral("COM1"), kCommSettings), ENOENT);

    QCOMPARE(CommOpen(1, QStringLiteral("COM1"), kCommSettings), 0);
    QCOMPARE(CommSetLine(1, kLineDTR, kFalse), 0);
    QCOMPARE(CommClose(1), 0);

    QCOMPARE(CommLastError, ENOENT);
    QCOMPARE(CommErrorSource, QStringLiteral("CommOpen (CreateFile)"));
    QCOMPARE(CommErrorText, QStringLiteral("No such file or directory"));
}

void TstModComm::systemMessageText_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("scripted");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("expected");

    QTest::newRow("system text as it is") << EIO << false << QString() << "Input/output error";
    QTest::newRow("no system text") << 4000 << false << QString() << "";
    QTest::newRow("spaces both ends") << EIO << true << "  Port gone  "
                                      << "Port gone";
    QTest::newRow("inner spaces stay") << EIO << true << " Port  gone "
                                       << "Port  gone";
    QTest::newRow("line break at the end stays") << EIO << true << "Port gone.\n"
                                                 << "Port gone.\n";
    QTest::newRow("spaces around a line break") << EIO << true << "  Port gone.\r\n  "
                                                << "Port gone.\r\n";
    QTest::newRow("tab is not a space") << EIO << true << "\tPort gone\t"
                                        << "\tPort gone\t";
    QTest::newRow("cut at NUL") << EIO << true << QString::fromUtf16(u"Port\0gone", 9) << "Port";
    QTest::newRow("only spaces") << EIO << true << "    "
                                 << "";
    QTest::newRow("255 characters at most") << EIO << true << QString(300, QLatin1Char('x')) << QString(255, 'x');
}

void TstModComm::systemMessageText()
{
    QFETCH(int, code);
    QFETCH(bool, scripted);
    QFETCH(QString, message);
    QFETCH(QString, expected);
    if (scripted)
        mFake.setMessage(code, message);
    QVERIFY(openCom1() != kInvalidHandle);

    mFake.failNext(QStringLiteral("EscapeCommFunction"), code);
    QCOMPARE(CommSetLine(1, kLineRTS, kTrue), code);

    QCOMPARE(CommErrorText, expected);
}

void TstModComm::errorDetail_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("expected");

    const QString device = QStringLiteral("Device: ") + kCom1Device + QLatin1Char('\n');
    QTest::newRow("no failure") << "" << 0 << "";
    QTest::newRow("permission denied") << "CreateFile" << EACCES
                                       << "Step: CommOpen (CreateFile)\n" + device +
                                              "Reason: Permission denied\nIs the user in the dialout group?";
    QTest::newRow("busy") << "CreateFile" << EBUSY
                          << "Step: CommOpen (CreateFile)\n" + device +
                                 "Reason: Device or resource busy\nAnother program is using the port.";
    QTest::newRow("no such device") << "CreateFile" << ENOENT
                                    << "Step: CommOpen (CreateFile)\n" + device +
                                           "Reason: No such file or directory\nThe device of each port " +
                                           "is set in section [Ports] of " + settingsFilePath(kAppTitle) + ".";
    QTest::newRow("later step, no hint") << "SetCommState" << EIO
                                         << "Step: CommOpen (SetCommState)\n" + device + "Reason: Input/output error";
    QTest::newRow("line break of the text dropped")
        << "SetupComm" << 4001 << "Step: CommOpen (SetupComm)\n" + device + "Reason: Queue trouble.";
    QTest::newRow("no system text") << "SetupComm" << 4000
                                    << "Step: CommOpen (SetupComm)\n" + device + "Reason: error 4000";
    QTest::newRow("port in use") << "in use" << 0 << "Step: CommOpen\n" + device + "Reason: Port in use.";
    QTest::newRow("fault") << "port 0" << 0 << "Step: CommOpen\nReason: Subscript out of range";
}

void TstModComm::errorDetail()
{
    QFETCH(QString, failure);
    QFETCH(int, error);
    QFETCH(QString, expected);
    mFake.setMessage(4001, QStringLiteral("Queue trouble.\r\n"));

    if (failure == QLatin1String("in use")) {
        QVERIFY(openCom1() != kInvalidHandle);
        QCOMPARE(CommOpen(1, QStringLiteral("COM1"), kCommSettings), -1);
    } else if (failure == QLatin1String("port 0")) {
        QVERIFY(CommOpen(0, QStringLiteral("COM1"), kCommSettings) != 0);
    } else if (!failure.isEmpty()) {
        mFake.failNext(failure, error);
        QCOMPARE(CommOpen(1, QStringLiteral("COM1"), kCommSettings), error);
    } else {
        QVERIFY(openCom1() != kInvalidHandle);
    }

    QCOMPARE(CommErrorDetail(), expected);
}

QTEST_GUILESS_MAIN(TstModComm)
#include "tst_modcomm.moc"
