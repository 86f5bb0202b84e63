#include "windows/frmmain.h"

#include "comm/modcomm.h"
#include "core/toolkit.h"
#include "tests/fakes/fake_serial.h"
#include "tests/fakes/scripted_audio.h"
#include "tests/fakes/testenv.h"
#include "windows/frmabout.h"
#include "windows/frmhelp.h"
#include "windows/frmsettings.h"
#include "windows/modontop.h"
#include "windows/modsystray.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QMainWindow>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

class TestMenus : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnv> mEnv;
    std::unique_ptr<FakeSerialApi> mSerial;
    std::unique_ptr<ScriptedAudioBackend> mAudio;

    FrmMain& f() { return frmMain(); }

    void load(std::int16_t port = 0)
    {
        gCommPort = port;
        gPTTLine = 2;
        for (int n = 1; n <= 10; ++n) {
            gButtonCaptions[n] = QStringLiteral("M%1").arg(n);
            gWaveFiles[n] = QStringLiteral("/rec/%1.wav").arg(n);
        }
        f().Load();
        AddTrayIcon(f().picTray(), kAppTitle, f().window());
        f().Show();
        topMostCalls().clear();
    }

    bool shown() { return f().window()->isVisible() && !f().window()->isMinimized(); }
    bool menusSayShown() { return !f().mnuShow()->isEnabled() && f().mnuHide()->isEnabled(); }
    bool menusSayHidden() { return f().mnuShow()->isEnabled() && !f().mnuHide()->isEnabled(); }

    // Runs a modal command; `whileOpen` acts inside the window, then it is closed.
    QList<int> runModal(const std::function<void()>& command, Form& form, const std::function<void()>& whileOpen)
    {
        QList<int> during;
        bool acted = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (acted || !form.isLoaded() || !form.window()->isVisible())
                return;
            acted = true;
            for (const auto& call : topMostCalls())
                during << call.second;
            if (whileOpen)
                whileOpen();
            form.Unload();
        });
        poll.start(5);
        command();
        return during;
    }

    static QList<int> topMostValues()
    {
        QList<int> values;
        for (const auto& call : topMostCalls())
            values << call.second;
        return values;
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
        setTrayAvailableForTesting(1);
        gAlwaysOnTop = kFalse;
    }

    void cleanup()
    {
        if (frmSettings().isLoaded())
            frmSettings().Unload();
        gExitRequested = kTrue;
        f().Unload();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        setTrayAvailableForTesting(-1);
        mAudio.reset();
        CommResetForTesting();
        mSerial.reset();
        mEnv.reset();
    }

    void menuCaptions()
    {
        load();
        QStringList bar;
        for (QAction* a : static_cast<QMainWindow*>(f().window())->menuBar()->actions())
            bar << a->text();
        QCOMPARE(bar, QStringList({"File", "Settings", "Help"}));
        QStringList popup;
        for (QAction* a : f().mnuMain()->actions())
            popup << (a->isSeparator() ? QStringLiteral("-") : a->text());
        QCOMPARE(popup, QStringList({"Restore", "Hide", "-", "Settings", "-", "Exit"}));
    }

    void trayMessages_data()
    {
        QTest::addColumn<int>("message");
        QTest::addColumn<bool>("restores");
        QTest::addColumn<bool>("popsUp");
        QTest::newRow("512 move") << 512 << false << false;
        QTest::newRow("513 left press") << 513 << true << false;
        QTest::newRow("514 left release") << 514 << false << false;
        QTest::newRow("515 double click") << 515 << false << false;
        QTest::newRow("516 right press") << 516 << false << true;
        QTest::newRow("517 right release") << 517 << false << false;
    }

    void trayMessages()
    {
        QFETCH(int, message);
        QFETCH(bool, restores);
        QFETCH(bool, popsUp);
        load();
        f().mnuHide_Click();
        QVERIFY(!f().window()->isVisible());
        sendTrayMessage(message);
        QCOMPARE(f().window()->isVisible(), restores);
        QCOMPARE(restores ? menusSayShown() : menusSayHidden(), true);
        QCOMPARE(f().mnuMain()->isVisible(), popsUp);
        f().mnuMain()->hide();
    }

    void leftPressRestoresAShownOrMinimisedWindowToo()
    {
        load();
        sendTrayMessage(kWmLButtonDown);
        QVERIFY(shown());
        QVERIFY(menusSayShown());
        f().window()->setWindowState(Qt::WindowMinimized);
        QTRY_VERIFY(!f().window()->isVisible());
        QVERIFY(menusSayHidden());
        sendTrayMessage(kWmLButtonDown);
        QVERIFY(shown());
        QVERIFY(menusSayShown());
    }

    void restoreAndHideMirrorTheWindow()
    {
        load();
        QVERIFY(menusSayShown());
        f().mnuHide()->trigger();
        QVERIFY(!f().window()->isVisible());
        QVERIFY(menusSayHidden());
        f().mnuShow()->trigger();
        QVERIFY(shown());
        QVERIFY(menusSayShown());
        f().window()->close();
        QVERIFY(!f().window()->isVisible());
        QVERIFY(menusSayHidden());
        QVERIFY(TrayIconShown());
        f().mnuShow_Click();
        QVERIFY(menusSayShown());
    }

    void modalCommandsAndTheTopmostBand_data()
    {
        QTest::addColumn<int>("command"); // 0 settings, 1 settings from the pop-up, 2 help, 3 about
        QTest::addColumn<bool>("onTop");
        QTest::addColumn<QList<int>>("calls");
        for (int c = 0; c < 4; ++c) {
            const char* names[] = {"settings", "settings pop-up", "help", "about"};
            QTest::addRow("%s, keep on top off", names[c]) << c << false << QList<int>();
            QTest::addRow("%s, keep on top on", names[c]) << c << true << QList<int>({-2, -1});
        }
    }

    void modalCommandsAndTheTopmostBand()
    {
        QFETCH(int, command);
        QFETCH(bool, onTop);
        QFETCH(QList<int>, calls);
        gAlwaysOnTop = onTop ? kTrue : kFalse;
        load();
        topMostCalls().clear();
        Form* forms[] = {&frmSettings(), &frmSettings(), &frmHelp(), &frmAbout()};
        const std::function<void()> commands[] = {[this] { f().mnuSettings_Click(); },
                                                  [this] { f().mnuSettings2_Click(); },
                                                  [this] { f().mnuHelp2_Click(); }, [this] { f().mnuAbout_Click(); }};
        bool modal = false;
        const QList<int> during = runModal(commands[command], *forms[command], [&] {
            modal = forms[command]->window()->isModal();
            QCOMPARE(MousePointer(), kPointerDefault);
        });
        QVERIFY(modal);
        QCOMPARE(topMostValues(), calls);
        // Out of the band while the window is open, back in after.
        QCOMPARE(during, onTop ? QList<int>({-2}) : QList<int>());
        QVERIFY(MessageBoxes::asked().isEmpty());
    }

    void keepOnTopChangedInSettingsAppliesAfterwards_data()
    {
        QTest::addColumn<bool>("before");
        QTest::addColumn<QList<int>>("calls");
        QTest::newRow("off to on") << false << QList<int>({-1});
        QTest::newRow("on to off") << true << QList<int>({-2});
    }

    void keepOnTopChangedInSettingsAppliesAfterwards()
    {
        QFETCH(bool, before);
        QFETCH(QList<int>, calls);
        gAlwaysOnTop = before ? kTrue : kFalse;
        load();
        topMostCalls().clear();
        runModal([this] { f().mnuSettings_Click(); }, frmSettings(),
                 [before] {
                     if (before)
                         frmSettings().optOnTopNo()->click();
                     else
                         frmSettings().optOnTopYes()->click();
                 });
        QCOMPARE(topMostValues(), calls);
        QCOMPARE(f().window()->windowFlags().testFlag(Qt::WindowStaysOnTopHint), !before);
        QCOMPARE(MessageBoxes::asked().size(), 1);
        QCOMPARE(MessageBoxes::asked().first().text, QStringLiteral("Settings Changed"));
    }

    void exitFromEitherMenuWhileHidden_data()
    {
        QTest::addColumn<bool>("fromPopup");
        QTest::newRow("menu bar") << false;
        QTest::newRow("pop-up") << true;
    }

    void exitFromEitherMenuWhileHidden()
    {
        QFETCH(bool, fromPopup);
        load(1);
        f().mnuHide_Click();
        QAction* exit = nullptr;
        const auto menu =
            fromPopup ? f().mnuMain()->actions()
                      : static_cast<QMainWindow*>(f().window())->menuBar()->actions().first()->menu()->actions();
        for (QAction* a : menu)
            if (a->text() == QLatin1String("Exit"))
                exit = a;
        QVERIFY(exit);
        exit->trigger();
        QVERIFY(!f().isLoaded());
        QCOMPARE(mEnv->endRequests(), 1);
        QVERIFY(!TrayIconShown());
        QVERIFY(!mSerial->isOpen(QStringLiteral("COM1")));
        QVERIFY(!mSerial->lineStateByName(QStringLiteral("COM1")).anyUp());
    }
};

QTEST_MAIN(TestMenus)
#include "tst_menus.moc"
