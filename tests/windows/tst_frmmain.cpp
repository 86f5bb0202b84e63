#include "windows/frmmain.h"

#include "comm/modcomm.h"
#include "core/settings.h"
#include "core/toolkit.h"
#include "tests/fakes/fake_serial.h"
#include "tests/fakes/scripted_audio.h"
#include "tests/fakes/testenv.h"
#include "windows/modontop.h"
#include "windows/modsystray.h"

#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <memory>

namespace {

QColor foreColour(QLabel* label)
{
    return label->palette().color(QPalette::WindowText);
}

const QColor kBlue(0, 0, 192);
const QColor kRed(192, 0, 0);

} // namespace

class TestFrmMain : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnv> mEnv;
    std::unique_ptr<FakeSerialApi> mSerial;
    std::unique_ptr<ScriptedAudioBackend> mAudio;

    void loadWith(std::int16_t port)
    {
        gCommPort = port;
        gPTTLine = 2;
        for (int n = 1; n <= 10; ++n) {
            gButtonCaptions[n] = n <= 2 ? QStringLiteral("B%1").arg(n) : QStringLiteral("(Blank)");
            gWaveFiles[n] = n <= 2 ? QStringLiteral("/rec/%1.wav").arg(n) : QString();
        }
        frmMain().Load();
        AddTrayIcon(frmMain().picTray(), kAppTitle, frmMain().window());
        frmMain().Show();
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
        topMostCalls().clear();
        setTrayAvailableForTesting(1);
    }

    void cleanup()
    {
        gExitRequested = kTrue;
        frmMain().Unload();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        setTrayAvailableForTesting(-1);
        mAudio.reset();
        CommResetForTesting();
        mSerial.reset();
        mEnv.reset();
    }

    void loadWithoutPort()
    {
        loadWith(0);
        FrmMain& f = frmMain();
        QVERIFY(mSerial->calls().isEmpty());
        QVERIFY(MessageBoxes::asked().isEmpty());
        QCOMPARE(f.window()->windowTitle(), QStringLiteral("Wren Voice Keyer"));
        QCOMPARE(f.fPTTLineStatus()->title(), QStringLiteral("PTT Line Status:  None"));
        QCOMPARE(f.cmdMsg(0)->text(), QStringLiteral("B1"));
        QCOMPARE(f.cmdMsg(9)->text(), QStringLiteral("(Blank)"));
        for (int i = 0; i < 10; ++i)
            QVERIFY(f.cmdMsg(i)->isEnabled());
        QVERIFY(!f.cmdStop()->isEnabled());
        QCOMPARE(f.lblMsgStatus()->text(), QString());
        QCOMPARE(f.sbarPanel(3)->text(), QStringLiteral("Timer OFF"));
        QVERIFY(!f.sbarPanel(1)->text().isEmpty());
        QVERIFY(!f.sbarPanel(2)->text().isEmpty());
        QCOMPARE(foreColour(f.lblDTR()), kBlue);
        QCOMPARE(foreColour(f.lblRTS()), kBlue);
        QVERIFY(!f.mnuShow()->isEnabled());
        QVERIFY(f.mnuHide()->isEnabled());
        QVERIFY(f.Timer1()->isActive());
        QCOMPARE(f.Timer1()->interval(), 1000);
        QCOMPARE(topMostCalls().size(), 1);
        QCOMPARE(topMostCalls().first().second, kHwndNoTopMost);
    }

    void layoutFollowsTheDesign()
    {
        loadWith(0);
        FrmMain& f = frmMain();
        // Button 5 ends the left column, button 6 heads the right one.
        QCOMPARE(f.cmdMsg(4)->x(), f.cmdMsg(0)->x());
        QVERIFY(f.cmdMsg(4)->y() > f.cmdMsg(3)->y());
        QCOMPARE(f.cmdMsg(5)->y(), f.cmdMsg(0)->y());
        QVERIFY(f.cmdMsg(5)->x() > f.cmdMsg(0)->x() + f.cmdMsg(0)->width() - 1);
        QVERIFY(f.cmdStop()->y() > f.cmdMsg(4)->y());
        // Growing the window keeps the proportions.
        const QRect before = f.cmdMsg(6)->geometry();
        const QSize central = f.cmdMsg(6)->parentWidget()->size();
        f.cmdMsg(6)->parentWidget()->resize(central * 2);
        const QRect after = f.cmdMsg(6)->geometry();
        QVERIFY(qAbs(after.x() - 2 * before.x()) <= 1);
        QVERIFY(qAbs(after.width() - 2 * before.width()) <= 1);
    }

    void keepOnTopAtLoad()
    {
        gAlwaysOnTop = kTrue;
        loadWith(0);
        QCOMPARE(topMostCalls().size(), 1);
        QCOMPARE(topMostCalls().first().second, kHwndTopMost);
        QVERIFY(frmMain().window()->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    }

    void portOpensWithLinesDown()
    {
        loadWith(3);
        QVERIFY(MessageBoxes::asked().isEmpty());
        QVERIFY(mSerial->isOpen(QStringLiteral("COM3")));
        QVERIFY(!mSerial->lineStateByName(QStringLiteral("COM3")).anyUp());
        QCOMPARE(gCommPort, std::int16_t(3));
        QCOMPARE(frmMain().fPTTLineStatus()->title(), QStringLiteral("PTT Line Status:  COM3"));
        const QStringList escapes = {"6", "4"};
        QStringList sent;
        for (const auto& c : mSerial->callsNamed(QStringLiteral("EscapeCommFunction")))
            sent << c.arg;
        QCOMPARE(sent, escapes);
    }

    void portFailuresAtLoad_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<int>("skip");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("escapes");
        QTest::newRow("cannot open") << "CreateFile" << 0 << EACCES << "Error opening COM3."
                                     << "Permission denied" << 0;
        QTest::newRow("busy") << "CreateFile" << 0 << EBUSY << "Error opening COM3."
                              << "Device or resource busy" << 0;
        QTest::newRow("bad settings") << "SetCommState" << 0 << EINVAL << "Error opening COM3."
                                      << "Invalid argument" << 0;
        QTest::newRow("DTR") << "EscapeCommFunction" << 0 << EIO << "Error clearing DTR line on COM3."
                             << "Input/output error" << 1;
        QTest::newRow("RTS") << "EscapeCommFunction" << 1 << EIO << "Error clearing RTS line on COM3."
                             << "Input/output error" << 2;
    }

    void portFailuresAtLoad()
    {
        QFETCH(QString, call);
        QFETCH(int, skip);
        QFETCH(int, error);
        QFETCH(QString, text);
        QFETCH(QString, reason);
        QFETCH(int, escapes);
        SaveSetting(kAppTitle, kSettingsSection, QStringLiteral("Comm Port"), QStringLiteral("3"));
        mSerial->setDevicePath(QStringLiteral("COM3"), QStringLiteral("/dev/ttyUSB7"));
        mSerial->failOn(call, error, 1, skip);
        loadWith(3);

        QCOMPARE(MessageBoxes::asked().size(), 1);
        const MessageBoxes::Asked& box = MessageBoxes::asked().first();
        QCOMPARE(box.text, text + QStringLiteral("\nUse setting to change the comm port."));
        QCOMPARE(box.style, 16);
        QCOMPARE(box.title, QStringLiteral("Wren Voice Keyer"));
        QVERIFY2(box.detail.contains(reason), qPrintable(box.detail));
        QVERIFY2(box.detail.contains(QStringLiteral("/dev/ttyUSB7")), qPrintable(box.detail));
        QCOMPARE(GetSetting(kAppTitle, kSettingsSection, QStringLiteral("Comm Port")), QStringLiteral("None"));
        QCOMPARE(gCommPort, std::int16_t(0));
        // The frame still names the port that was configured.
        QCOMPARE(frmMain().fPTTLineStatus()->title(), QStringLiteral("PTT Line Status:  COM3"));
        QCOMPARE(mSerial->callsNamed(QStringLiteral("EscapeCommFunction")).size(), escapes);
        // Whatever failed, nothing is left open or keyed.
        QVERIFY(!mSerial->isOpen(QStringLiteral("COM3")));
        QVERIFY(!mSerial->lineStateByName(QStringLiteral("COM3")).anyUp());
        // The buttons play without keying.
        frmMain().cmdMsg_Click(0);
        QCOMPARE(mAudio->paths(ScriptedAudioBackend::Kind::Play), QStringList({"/rec/1.wav"}));
        QCOMPARE(mSerial->callsNamed(QStringLiteral("EscapeCommFunction")).size(), escapes);
    }

    void closeBoxAndMinimiseHide_data()
    {
        QTest::addColumn<bool>("minimise");
        QTest::newRow("close box") << false;
        QTest::newRow("minimise") << true;
    }

    void closeBoxAndMinimiseHide()
    {
        QFETCH(bool, minimise);
        loadWith(1);
        FrmMain& f = frmMain();
        if (minimise)
            f.window()->setWindowState(Qt::WindowMinimized);
        else
            f.window()->close();
        QTRY_VERIFY(!f.window()->isVisible());
        QVERIFY(f.isLoaded());
        QVERIFY(f.mnuShow()->isEnabled());
        QVERIFY(!f.mnuHide()->isEnabled());
        QVERIFY(f.Timer1()->isActive());
        QVERIFY(mSerial->isOpen(QStringLiteral("COM1")));
        QCOMPARE(mEnv->endRequests(), 0);
        QVERIFY(TrayIconShown());

        // A left press on the icon brings it back, as Restore does.
        sendTrayMessage(kWmLButtonDown);
        QVERIFY(f.window()->isVisible());
        QVERIFY(!f.window()->isMinimized());
        QVERIFY(!f.mnuShow()->isEnabled());
        QVERIFY(f.mnuHide()->isEnabled());
    }

    void withoutNotificationArea()
    {
        setTrayAvailableForTesting(0);
        loadWith(1);
        FrmMain& f = frmMain();
        QVERIFY(!TrayIconShown());
        // Minimised it stays on the task bar: nothing could bring a hidden window back.
        f.window()->setWindowState(Qt::WindowMinimized);
        QTest::qWait(50);
        QVERIFY(f.window()->isVisible());
        // The close box ends the program, with the port released.
        f.window()->close();
        QVERIFY(!f.isLoaded());
        QCOMPARE(mEnv->endRequests(), 1);
        QVERIFY(!mSerial->isOpen(QStringLiteral("COM1")));
    }

    void exitWhileAMessagePlays()
    {
        loadWith(1);
        mAudio->setDuration(5000);
        QTimer::singleShot(400, [] { frmMain().mnuExit_Click(); });
        QElapsedTimer took;
        took.start();
        frmMain().cmdMsg_Click(0);
        QVERIFY2(took.elapsed() < 700, qPrintable(QString::number(took.elapsed())));
        QVERIFY(!frmMain().isLoaded());
        QCOMPARE(mEnv->endRequests(), 1);
        QVERIFY(!TrayIconShown());
        QCOMPARE(mAudio->openStreams(), 0);
        QVERIFY(!mSerial->isOpen(QStringLiteral("COM1")));
        QVERIFY(!mSerial->lineStateByName(QStringLiteral("COM1")).anyUp());
        // Keyed once, never keyed again after the exit.
        QCOMPARE(mSerial->callsNamed(QStringLiteral("EscapeCommFunction")).size(), 3);
        QVERIFY(MessageBoxes::asked().isEmpty());
    }

    void indicatorsFollowTheLine()
    {
        loadWith(1);
        FrmMain& f = frmMain();
        QColor during;
        bool stopEnabled = false;
        bool buttonsDisabled = false;
        QString status;
        QTimer::singleShot(350, [&] {
            during = foreColour(f.lblRTS());
            stopEnabled = f.cmdStop()->isEnabled();
            buttonsDisabled = !f.cmdMsg(3)->isEnabled();
            status = f.lblMsgStatus()->text();
        });
        f.cmdMsg_Click(1);
        QCOMPARE(during, kRed);
        QVERIFY(stopEnabled);
        QVERIFY(buttonsDisabled);
        QCOMPARE(status, QStringLiteral("Sending \"B2\" Message"));
        QCOMPARE(foreColour(f.lblRTS()), kBlue);
        QCOMPARE(foreColour(f.lblDTR()), kBlue);
        QVERIFY(!f.cmdStop()->isEnabled());
        QVERIFY(f.cmdMsg(3)->isEnabled());
    }

    void idPanelDoubleClick()
    {
        loadWith(0);
        FrmMain& f = frmMain();
        QTest::mouseDClick(f.sbarPanel(1), Qt::LeftButton);
        f.Timer1_Timer();
        QCOMPARE(f.sbarPanel(3)->text(), QStringLiteral("Timer OFF"));
        QTest::mouseDClick(f.sbarPanel(3), Qt::LeftButton);
        QCOMPARE(f.sbarPanel(3)->text(), QStringLiteral("Timer OFF"));
        f.Timer1_Timer();
        QCOMPARE(f.sbarPanel(3)->text(), QStringLiteral("08:58"));
    }

    void ampersandInCaptionIsShownAsTyped()
    {
        loadWith(0);
        gButtonCaptions[4] = QStringLiteral("Q&A");
        frmMain().EnableMessageButtons(true);
        QCOMPARE(frmMain().buttonCaption(3), QStringLiteral("Q&A"));
    }
};

QTEST_MAIN(TestFrmMain)
#include "tst_frmmain.moc"
