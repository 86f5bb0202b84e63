#include "core/toolkit.h"
#include "tests/fakes/window_fixture.h"
#include "windows/frmabout.h"
#include "windows/frmhelp.h"
#include "windows/frmmain.h"
#include "windows/frmsettings.h"
#include "windows/modontop.h"
#include "windows/modsystray.h"

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

class TestMenus : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindowFixture> mFix;

    FrmMain& f() { return frmMain(); }
    bool shown() { return f().window()->isVisible() && !f().window()->isMinimized(); }
    bool menusSayShown() { return !f().mnuShow()->isEnabled() && f().mnuHide()->isEnabled(); }
    bool menusSayHidden() { return f().mnuShow()->isEnabled() && !f().mnuHide()->isEnabled(); }

    static QList<int> topMostValues()
    {
        QList<int> values;
        for (const auto& call : topMostCalls())
            values << call.second;
        return values;
    }

private slots:
    void init() { mFix = std::make_unique<MainWindowFixture>(); }
    void cleanup() { mFix.reset(); }

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
        mFix->load(0);
        f().mnuHide_Click();
        QVERIFY(!f().window()->isVisible());
        sendTrayMessage(message);
        QCOMPARE(f().window()->isVisible(), restores);
        QCOMPARE(restores ? menusSayShown() : menusSayHidden(), true);
        QCOMPARE(f().mnuMain()->isVisible(), popsUp);
        f().mnuMain()->hide();
    }

    void leftPressOnAShownWindowKeepsItShown()
    {
        mFix->load(0);
        sendTrayMessage(kWmLButtonDown);
        QVERIFY(shown());
        QVERIFY(menusSayShown());
    }

    void restoreComesBackAtNormalSize_data()
    {
        QTest::addColumn<bool>("hideFirst");
        QTest::addColumn<bool>("byLeftPress");
        QTest::newRow("hidden maximised, Restore") << true << false;
        QTest::newRow("hidden maximised, left press") << true << true;
        QTest::newRow("shown maximised, left press") << false << true;
    }

    void restoreComesBackAtNormalSize()
    {
        QFETCH(bool, hideFirst);
        QFETCH(bool, byLeftPress);
        mFix->load(0);
        f().window()->showMaximized();
        QVERIFY(f().window()->isMaximized());
        if (hideFirst)
            f().mnuHide_Click();
        if (byLeftPress)
            sendTrayMessage(kWmLButtonDown);
        else
            f().mnuShow()->trigger();
        QVERIFY(shown());
        QVERIFY(!f().window()->isMaximized());
        QVERIFY(menusSayShown());
    }

    void restoreAndHideMirrorTheWindow_data()
    {
        QTest::addColumn<QString>("hide");
        QTest::addColumn<bool>("byLeftPress");
        for (const char* hide : {"Hide", "minimise", "close box"}) {
            QTest::addRow("%s, then Restore", hide) << hide << false;
            QTest::addRow("%s, then a left press", hide) << hide << true;
        }
    }

    void restoreAndHideMirrorTheWindow()
    {
        QFETCH(QString, hide);
        QFETCH(bool, byLeftPress);
        mFix->load(1);
        QVERIFY(menusSayShown());
        if (hide == QLatin1String("Hide"))
            f().mnuHide()->trigger();
        else if (hide == QLatin1String("minimise"))
            f().window()->setWindowState(Qt::WindowMinimized);
        else
            f().window()->close();
        QTRY_VERIFY(!f().window()->isVisible());
        QVERIFY(menusSayHidden());
        // Only hidden: the program, its port and its countdown go on.
        QVERIFY(f().isLoaded());
        QVERIFY(f().Timer1()->isActive());
        QVERIFY(mFix->serial->isOpen(QStringLiteral("COM1")));
        QCOMPARE(mFix->env.endRequests(), 0);
        QVERIFY(TrayIconShown());

        if (byLeftPress)
            sendTrayMessage(kWmLButtonDown);
        else
            f().mnuShow()->trigger();
        QVERIFY(shown());
        QVERIFY(menusSayShown());
    }

    void modalCommandsAndTheTopmostBand_data()
    {
        QTest::addColumn<int>("command"); // 0 settings, 1 settings from the pop-up, 2 help, 3 about
        QTest::addColumn<bool>("onTop");
        QTest::addColumn<QList<int>>("calls");
        const char* names[] = {"settings", "settings pop-up", "help", "about"};
        for (int c = 0; c < 4; ++c) {
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
        mFix->load(0);
        topMostCalls().clear();
        Form* forms[] = {&frmSettings(), &frmSettings(), &frmHelp(), &frmAbout()};
        const std::function<void()> commands[] = {[this] { f().mnuSettings_Click(); },
                                                  [this] { f().mnuSettings2_Click(); },
                                                  [this] { f().mnuHelp2_Click(); }, [this] { f().mnuAbout_Click(); }};
        bool modal = false;
        QList<int> during;
        runModal(commands[command], *forms[command], [&] {
            during = topMostValues();
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
        mFix->load(0);
        topMostCalls().clear();
        runModal([this] { f().mnuSettings_Click(); }, frmSettings(),
                 [before] { (before ? frmSettings().optOnTopNo() : frmSettings().optOnTopYes())->click(); });
        QCOMPARE(topMostValues(), calls);
        QCOMPARE(f().window()->windowFlags().testFlag(Qt::WindowStaysOnTopHint), !before);
        QCOMPARE(messageTexts(), QStringList{QStringLiteral("Settings Changed")});
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
        mFix->load(1);
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
        QCOMPARE(mFix->env.endRequests(), 1);
        QVERIFY(!TrayIconShown());
        QVERIFY(!mFix->serial->isOpen(QStringLiteral("COM1")));
        QVERIFY(!mFix->serial->lineStateByName(QStringLiteral("COM1")).anyUp());
    }
};

QTEST_MAIN(TestMenus)
#include "tst_menus.moc"
