#include "comm/modcomm.h"
#include "comm/serialapi.h"
#include "core/settings.h"
#include "core/toolkit.h"
#include "platform/mci.h"
#include "remote/protocol.h"
#include "tests/fakes/window_fixture.h"
#include "windows/frmabout.h"
#include "windows/frmhelp.h"
#include "windows/frmmain.h"
#include "windows/frmsettings.h"
#include "windows/frmsetwaves.h"
#include "windows/modontop.h"
#include "windows/modsystray.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace {

QColor foreColour(QLabel* label)
{
    return label->palette().color(QPalette::WindowText);
}

const QColor kBlue(0, 0, 192);
const QColor kRed(192, 0, 0);

QMenuBar* menuBar()
{
    return static_cast<QMainWindow*>(frmMain().window())->menuBar();
}

QMenu* barMenu(int index)
{
    return menuBar()->actions().at(index)->menu();
}

// STOP, then the message buttons by number.
NamedControls namedButtons()
{
    NamedControls named{{QStringLiteral("STOP"), frmMain().cmdStop()}};
    for (int i = 0; i < kMessageCount; ++i)
        named.append({QString::number(i + 1), frmMain().cmdMsg(i)});
    return named;
}

// Each message button's place as column and row, "L1" the top left: the numbers run down the left column first.
QStringList buttonPlaces()
{
    QList<int> tops;
    for (int i = 0; i < kMessageCount; ++i)
        tops << frmMain().cmdMsg(i)->y();
    std::sort(tops.begin(), tops.end());
    tops.erase(std::unique(tops.begin(), tops.end()), tops.end());
    QStringList places;
    for (int i = 0; i < kMessageCount; ++i) {
        const QPushButton* button = frmMain().cmdMsg(i);
        places << QStringLiteral("%1%2")
                      .arg(button->x() == frmMain().cmdMsg(0)->x() ? QLatin1Char('L') : QLatin1Char('R'))
                      .arg(tops.indexOf(button->y()) + 1);
    }
    return places;
}

QStringList popUpWhileHidden()
{
    frmMain().mnuHide_Click();
    return enabledMenuItems(frmMain().mnuMain());
}

// Where the pop-up's top right corner lies when the icon is right-pressed with the pointer at `pointer`.
QPoint popUpCornerAt(const QPoint& pointer)
{
    QCursor::setPos(pointer);
    sendTrayMessage(kWmRButtonDown);
    const QRect menu = frmMain().mnuMain()->geometry();
    frmMain().mnuMain()->hide();
    return {menu.right() + 1, menu.top()};
}

QString focusWhilePlaying()
{
    FrmMain& f = frmMain();
    f.cmdMsg(5)->setFocus();
    f.EnableMessageButtons(false);
    const QWidget* focus = f.window()->focusWidget();
    f.EnableMessageButtons(true);
    return focus == f.cmdStop() ? QStringLiteral("STOP") : focus ? focus->objectName() : QString();
}

} // namespace

class TestFrmMain : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindowFixture> mFix;

    int escapes() const { return int(mFix->serial->callsNamed(QStringLiteral("EscapeCommFunction")).size()); }

private slots:
    void init() { mFix = std::make_unique<MainWindowFixture>(); }
    void cleanup() { mFix.reset(); }

    void shownTextsAndStates_data()
    {
        FrmMain& f = frmMain();
        addShownRows({
            {"caption", [&f] { return f.window()->windowTitle(); }, "Wren Voice Keyer"},
            {"menu bar", [] { return menuItems(menuBar()); }, QStringList{"File", "Settings", "Help"}},
            {"File menu", [] { return menuItems(barMenu(0)); }, QStringList{"Exit"}},
            {"Help menu", [] { return menuItems(barMenu(2)); }, QStringList{"Help", "-", "About"}},
            {"pop-up menu", [&f] { return menuItems(f.mnuMain()); },
             QStringList{"Restore", "Hide", "-", "Settings", "-", "Exit"}},
            {"pop-up menu's name", [&f] { return f.mnuMain()->title(); }, "Main"},
            {"pop-up while shown", [&f] { return enabledMenuItems(f.mnuMain()); },
             QStringList{"Hide", "Settings", "Exit"}},
            {"pop-up while hidden", [] { return popUpWhileHidden(); }, QStringList{"Restore", "Settings", "Exit"}},
            // The menu's right edge lies at the pointer, as the tray's own menus open.
            {"pop-up right-aligned at the pointer", [] { return popUpCornerAt(QPoint(600, 200)); }, QPoint(600, 200)},
            {"frame", [&f] { return f.fPTTLineStatus()->title(); }, "PTT Line Status:  None"},
            {"indicators",
             [&f] {
                 return QStringList{f.lblDTR()->text(), f.lblRTS()->text()};
             },
             QStringList{"DTR", "RTS"}},
            {"STOP", [&f] { return f.cmdStop()->text(); }, "STOP"},
            {"status line at load", [&f] { return f.lblMsgStatus()->text(); }, ""},
            {"ID panel at load", [&f] { return f.sbarPanel(3)->text(); }, "Timer OFF"},
            {"timer", [&f] { return f.Timer1()->isActive() ? f.Timer1()->interval() : 0; }, 1000},
            {"button places", [] { return buttonPlaces(); },
             QStringList{"L1", "L2", "L3", "L4", "L5", "R1", "R2", "R3", "R4", "R5"}},
            {"tab order", [] { return tabOrder(namedButtons()); },
             QStringList{"STOP", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}},
            {"focus while a message plays", [] { return focusWhilePlaying(); }, "STOP"},
            // Each command that opens a modal window shows the busy pointer until that window is up.
            {"busy pointer before Settings",
             [&f] { return pointerAsShown(frmSettings(), [&f] { f.mnuSettings_Click(); }); }, kPointerBusy},
            {"busy pointer before Settings from the pop-up",
             [&f] { return pointerAsShown(frmSettings(), [&f] { f.mnuMain()->actions().at(3)->trigger(); }); },
             kPointerBusy},
            {"busy pointer before Help", [&f] { return pointerAsShown(frmHelp(), [&f] { f.mnuHelp2_Click(); }); },
             kPointerBusy},
            {"busy pointer before About", [&f] { return pointerAsShown(frmAbout(), [&f] { f.mnuAbout_Click(); }); },
             kPointerBusy},
            {"busy pointer before the assignment",
             [&f] { return pointerAsShown(frmSetWaves(), [&f] { QTest::mouseClick(f.cmdMsg(2), Qt::RightButton); }); },
             kPointerBusy},
        });
    }

    void shownTextsAndStates()
    {
        mFix->load(0);
        compareShownRow();
    }

    void loadWithoutPort_data()
    {
        QTest::addColumn<bool>("onTop");
        QTest::newRow("keep on top off") << false;
        QTest::newRow("keep on top on") << true;
    }

    void loadWithoutPort()
    {
        QFETCH(bool, onTop);
        gAlwaysOnTop = onTop ? kTrue : kFalse;
        mFix->load(0);
        FrmMain& f = frmMain();
        QVERIFY(mFix->serial->calls().isEmpty());
        QVERIFY(MessageBoxes::asked().isEmpty());
        QCOMPARE(f.fPTTLineStatus()->title(), QStringLiteral("PTT Line Status:  None"));
        QCOMPARE(f.cmdMsg(0)->text(), QStringLiteral("B1"));
        QCOMPARE(f.cmdMsg(9)->text(), QStringLiteral("(Blank)"));
        for (int i = 0; i < 10; ++i)
            QVERIFY(f.cmdMsg(i)->isEnabled());
        QVERIFY(!f.cmdStop()->isEnabled());
        QCOMPARE(f.sbarPanel(3)->text(), QStringLiteral("Timer OFF"));
        QVERIFY(!f.sbarPanel(1)->text().isEmpty());
        QVERIFY(!f.sbarPanel(2)->text().isEmpty());
        QCOMPARE(foreColour(f.lblDTR()), kBlue);
        QCOMPARE(foreColour(f.lblRTS()), kBlue);
        // The indicators sit halfway between the frame's title and its bottom edge.
        for (const QLabel* line : {f.lblDTR(), f.lblRTS()}) {
            const int above = line->y() - f.fPTTLineStatus()->fontMetrics().height();
            const int below = f.fPTTLineStatus()->height() - line->geometry().bottom() - 1;
            QVERIFY2(above >= 0 && qAbs(above - below) <= 1, qPrintable(QStringLiteral("%1/%2").arg(above).arg(below)));
        }
        QVERIFY(!f.mnuShow()->isEnabled());
        QVERIFY(f.mnuHide()->isEnabled());
        QVERIFY(f.Timer1()->isActive());
        QCOMPARE(topMostCalls().size(), 1);
        QCOMPARE(topMostCalls().first().second, onTop ? kHwndTopMost : kHwndNoTopMost);
        QCOMPARE(f.window()->windowFlags().testFlag(Qt::WindowStaysOnTopHint), onTop);

        // Growing the window keeps the proportions.
        const QRect before = f.cmdMsg(6)->geometry();
        f.cmdMsg(6)->parentWidget()->resize(f.cmdMsg(6)->parentWidget()->size() * 2);
        QVERIFY(qAbs(f.cmdMsg(6)->x() - 2 * before.x()) <= 1);
        QVERIFY(qAbs(f.cmdMsg(6)->width() - 2 * before.width()) <= 1);
    }

    void portOpensWithLinesDown()
    {
        mFix->load(3);
        QVERIFY(MessageBoxes::asked().isEmpty());
        QVERIFY(mFix->serial->isOpen(QStringLiteral("COM3")));
        QVERIFY(!mFix->serial->lineStateByName(QStringLiteral("COM3")).anyUp());
        QCOMPARE(gCommPort, std::int16_t(3));
        QCOMPARE(frmMain().fPTTLineStatus()->title(), QStringLiteral("PTT Line Status:  COM3"));
        QCOMPARE(escapes(), 2);
    }

    void portFailuresAtLoad_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<int>("skip");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("escapes");
        QTest::addColumn<QString>("stored"); // "Comm Port" afterwards
        const QString open = QStringLiteral("Error opening COM3.");
        const QString none = QStringLiteral("None");
        QTest::newRow("cannot open") << "CreateFile" << 0 << EACCES << open << "Permission denied" << 0 << none;
        // A port another program or another copy holds is no fault of the port: the choice stays for next time.
        QTest::newRow("busy") << "CreateFile" << 0 << EBUSY << open << "Device or resource busy" << 0 << "3";
        QTest::newRow("held by another copy")
            << "CreateFile" << 0 << int(kErrorPortInUse) << open << "Port in use." << 0 << "3";
        QTest::newRow("bad settings") << "SetCommState" << 0 << EINVAL << open << "Invalid argument" << 0 << none;
        QTest::newRow("DTR") << "EscapeCommFunction" << 0 << EIO << "Error clearing DTR line on COM3."
                             << "Input/output error" << 1 << none;
        QTest::newRow("RTS") << "EscapeCommFunction" << 1 << EIO << "Error clearing RTS line on COM3."
                             << "Input/output error" << 2 << none;
    }

    void portFailuresAtLoad()
    {
        QFETCH(QString, call);
        QFETCH(int, skip);
        QFETCH(int, error);
        QFETCH(QString, text);
        QFETCH(QString, reason);
        QFETCH(int, escapes);
        QFETCH(QString, stored);
        mFix->serial->setMessage(kErrorPortInUse, QStringLiteral("Port in use."));
        SaveSetting(kAppTitle, kSettingsSection, QStringLiteral("Comm Port"), QStringLiteral("3"));
        mFix->serial->setDevicePath(QStringLiteral("COM3"), QStringLiteral("/dev/ttyUSB7"));
        mFix->serial->failOn(call, error, 1, skip);
        mFix->load(3);

        QCOMPARE(MessageBoxes::asked().size(), 1);
        const MessageBoxes::Asked& box = MessageBoxes::asked().first();
        QCOMPARE(box.text, text + QStringLiteral("\nUse setting to change the comm port."));
        QCOMPARE(box.style, 16);
        QCOMPARE(box.title, QStringLiteral("Wren Voice Keyer"));
        QVERIFY2(box.detail.contains(reason), qPrintable(box.detail));
        QVERIFY2(box.detail.contains(QStringLiteral("/dev/ttyUSB7")), qPrintable(box.detail));
        QCOMPARE(storedSetting(QStringLiteral("Comm Port")), stored);
        QCOMPARE(gCommPort, std::int16_t(0));
        // The frame still names the port that was configured.
        QCOMPARE(frmMain().fPTTLineStatus()->title(), QStringLiteral("PTT Line Status:  COM3"));
        QCOMPARE(this->escapes(), escapes);
        // Whatever failed, nothing is left open or keyed, and the buttons play without keying.
        QVERIFY(!mFix->serial->isOpen(QStringLiteral("COM3")));
        QVERIFY(!mFix->serial->lineStateByName(QStringLiteral("COM3")).anyUp());
        QVERIFY(playMessageToEnd(0));
        QCOMPARE(mFix->audio.paths(ScriptedAudioBackend::Kind::Play), QStringList({"/rec/1.wav"}));
        QCOMPARE(this->escapes(), escapes);
    }

    void withoutNotificationArea_data()
    {
        QTest::addColumn<bool>("appearsLater");
        QTest::newRow("none all along") << false;
        QTest::newRow("a panel starts later") << true;
    }

    void withoutNotificationArea()
    {
        QFETCH(bool, appearsLater);
        mFix->tray.available = false;
        mFix->load(1);
        FrmMain& f = frmMain();
        QVERIFY(!TrayIconShown());
        if (appearsLater) {
            mFix->tray.available = true;
            QTRY_VERIFY_WITH_TIMEOUT(mFix->tray.shown, 3 * kTrayWatchMs);
            QCOMPARE(mFix->tray.tip, QStringLiteral("Wren Voice Keyer"));
            QVERIFY(!mFix->tray.icon.isNull());
        }
        QCOMPARE(TrayIconShown(), appearsLater);
        // Minimised without an icon it stays on the task bar: nothing could bring a hidden window back.
        f.window()->setWindowState(Qt::WindowMinimized);
        QTest::qWait(50);
        QCOMPARE(f.window()->isVisible(), !appearsLater);
        // Without one the close box ends the program, with the port released; with one it only hides.
        f.mnuShow_Click();
        f.window()->close();
        QCOMPARE(f.isLoaded(), appearsLater);
        QCOMPARE(mFix->env.endRequests(), appearsLater ? 0 : 1);
        QCOMPARE(mFix->serial->isOpen(QStringLiteral("COM1")), appearsLater);
    }

    void exitWhileAMessagePlays()
    {
        mFix->load(1);
        mFix->audio.setDuration(5000);
        QTimer::singleShot(400, [] { frmMain().mnuExit_Click(); });
        frmMain().cmdMsg_Click(0);
        QTRY_VERIFY_WITH_TIMEOUT(!frmMain().isLoaded(), 1000);
        QVERIFY(!mFix->serial->isOpen(QStringLiteral("COM1")));
        QVERIFY(!mFix->serial->lineStateByName(QStringLiteral("COM1")).anyUp());
        // Nothing of the message runs on: no tail, no unkey, no box.
        QTest::qWait(600);
        QVERIFY(!frmMain().player().isPlaying());
        QCOMPARE(mFix->env.endRequests(), 1);
        QVERIFY(!TrayIconShown());
        QCOMPARE(mFix->audio.openStreams(), 0);
        // Keyed once, never keyed again after the exit.
        QCOMPARE(escapes(), 3);
        QVERIFY(MessageBoxes::asked().isEmpty());
    }

    void indicatorsFollowTheLine()
    {
        mFix->load(1);
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
        QVERIFY(playMessageToEnd(1));
        QCOMPARE(during, kRed);
        QVERIFY(stopEnabled);
        QVERIFY(buttonsDisabled);
        QCOMPARE(status, QStringLiteral("Sending \"B2\" Message"));
        QCOMPARE(foreColour(f.lblRTS()), kBlue);
        QCOMPARE(foreColour(f.lblDTR()), kBlue);
        QVERIFY(!f.cmdStop()->isEnabled());
        QVERIFY(f.cmdMsg(3)->isEnabled());
    }

    // An adapter pulled mid-message: noticed at once, the message stops, the port is closed and the operator
    // told; until it is back a click sends nothing, and back under its stable name it is opened again.
    void unplugMidMessageAndReplug()
    {
        mFix->audio.setDuration(5000);
        mFix->serial->setDevicePath(QStringLiteral("COM3"), QStringLiteral("/dev/serial/by-id/usb-FTDI-if00"));
        mFix->load(3);
        FrmMain& f = frmMain();
        qint64 pulledAt = -1;
        QColor keyedBefore;
        QTimer::singleShot(600, [&] {
            keyedBefore = foreColour(f.lblRTS());
            pulledAt = mFix->serial->elapsedMs();
            mFix->serial->unplug(QStringLiteral("COM3"));
        });
        QElapsedTimer played;
        played.start();
        f.cmdMsg_Click(0);
        QTRY_VERIFY_WITH_TIMEOUT(pulledAt >= 0 && !f.player().isPlaying(), 6000);

        QCOMPARE(keyedBefore, kRed);
        // Lead, 600 ms, the time to notice and the tail: far from the message's 5 s.
        QVERIFY2(played.elapsed() < 1500, qPrintable(QString::number(played.elapsed())));
        const QList<FakeSerialApi::Call> closes = mFix->serial->callsNamed(QStringLiteral("CloseHandle"));
        QCOMPARE(closes.size(), 1);
        QVERIFY2(closes.first().ms - pulledAt < 100, qPrintable(QString::number(closes.first().ms - pulledAt)));
        QVERIFY(!CommIsOpen(3));
        QCOMPARE(foreColour(f.lblRTS()), kBlue);
        QTRY_COMPARE(MessageBoxes::asked().size(), 1);
        QCOMPARE(MessageBoxes::asked().first().text,
                 QStringLiteral("The device of COM3 went away: /dev/serial/by-id/usb-FTDI-if00.\nThe message was "
                                "stopped and the port closed.\nIt is opened again when it comes back."));
        QCOMPARE(MessageBoxes::asked().first().style, 48);
        // The operator's choice stays: the port is only away.
        QCOMPARE(gCommPort, std::int16_t(3));

        const int plays = int(mFix->audio.paths(ScriptedAudioBackend::Kind::Play).size());
        f.cmdMsg_Click(1);
        QCOMPARE(int(mFix->audio.paths(ScriptedAudioBackend::Kind::Play).size()), plays);
        QCOMPARE(f.lblMsgStatus()->text(), QStringLiteral("Not sent: the device of COM3 is gone."));

        mFix->serial->replug(QStringLiteral("COM3"));
        QTRY_VERIFY(CommIsOpen(3));
        QVERIFY(!mFix->serial->lineStateByName(QStringLiteral("COM3")).anyUp());
        QCOMPARE(f.lblMsgStatus()->text(),
                 QStringLiteral("COM3 is back on /dev/serial/by-id/usb-FTDI-if00, DTR and RTS down."));
        QCOMPARE(MessageBoxes::asked().size(), 1);
    }

    void releaseWhileAWindowIsOpen_data()
    {
        QTest::addColumn<QString>("window");
        for (const char* window :
             {"About", "Help", "Settings", "Settings from the tray", "a message box", "the main window dragged"})
            QTest::newRow(window) << window;
    }

    // Opened at 0.3 s of a 1 s message and left open: the line drops on time all the same.
    void releaseWhileAWindowIsOpen()
    {
        QFETCH(QString, window);
        mFix->load(1);
        mFix->audio.setDuration(1000);
        QHash<QString, qint64> sent;
        setMciTrace([&](const QString& command, std::int32_t) { sent.insert(command, mFix->serial->elapsedMs()); });
        Form* form = window.startsWith(QLatin1String("Settings")) ? static_cast<Form*>(&frmSettings())
                     : window == QLatin1String("Help")            ? static_cast<Form*>(&frmHelp())
                     : window == QLatin1String("About")           ? static_cast<Form*>(&frmAbout())
                                                                  : nullptr;
        const bool dragged = window == QLatin1String("the main window dragged");
        QTimer drag; // the window moves under the pointer for the rest of the message
        drag.setInterval(10);
        connect(&drag, &QTimer::timeout, [] { frmMain().window()->move(frmMain().window()->pos() + QPoint(3, 1)); });
        QEventLoop box; // a message box's own loop
        MessageBoxes::setOnShow([&box](const MessageBoxes::Asked&) { box.exec(); });
        QTimer::singleShot(300, [&] {
            if (window == QLatin1String("Settings from the tray")) {
                for (QAction* action : frmMain().mnuMain()->actions())
                    if (action->text() == QLatin1String("Settings"))
                        action->trigger();
            } else if (window == QLatin1String("Settings")) {
                frmMain().mnuSettings_Click();
            } else if (window == QLatin1String("Help")) {
                frmMain().mnuHelp2_Click();
            } else if (window == QLatin1String("About")) {
                frmMain().mnuAbout_Click();
            } else if (dragged) {
                drag.start();
            } else {
                MsgBox(QStringLiteral("A notice"), MsgStyle::Exclamation, kAppTitle);
            }
        });
        bool checked = false;
        bool openAtEnd = false;
        bool keyedAtEnd = true;
        // Well past the end of lead, audio and tail, with the window still up.
        QTimer::singleShot(1900, [&] {
            checked = true;
            openAtEnd = dragged ? drag.isActive() && frmMain().window()->isVisible()
                        : form  ? form->isLoaded() && form->window()->isVisible()
                                : box.isRunning();
            drag.stop();
            keyedAtEnd = mFix->serial->lineStateByName(QStringLiteral("COM1")).anyUp();
            if (form)
                form->Unload();
            box.quit();
        });
        frmMain().cmdMsg_Click(0);
        QTRY_VERIFY_WITH_TIMEOUT(checked && !box.isRunning() && (!form || !form->isLoaded()), 5000);
        setMciTrace(nullptr);

        QVERIFY(openAtEnd);
        QVERIFY(!keyedAtEnd);
        const auto esc = mFix->serial->callsNamed(QStringLiteral("EscapeCommFunction"));
        QCOMPARE(esc.size(), 4); // the two drops at load, the key and the unkey
        const qint64 played = sent.value(QStringLiteral("play voice1"));
        const qint64 closed = sent.value(QStringLiteral("close voice1"));
        QVERIFY2(closed - played >= 1000 && closed - played <= 1025, qPrintable(QString::number(closed - played)));
        QVERIFY2(esc[3].ms - closed >= 250 && esc[3].ms - closed <= 275,
                 qPrintable(QString::number(esc[3].ms - closed)));
        QVERIFY(!frmMain().player().isPlaying());
        QVERIFY(frmMain().cmdMsg(0)->isEnabled());
        QVERIFY(!frmMain().cmdStop()->isEnabled());

        // Nothing keyed again on the way, and the buttons play as before.
        QCOMPARE(escapes(), 4);
        QVERIFY(playMessageToEnd(1));
        QCOMPARE(escapes(), 6);
        QCOMPARE(mFix->audio.paths(ScriptedAudioBackend::Kind::Play), QStringList({"/rec/1.wav", "/rec/2.wav"}));
        QVERIFY(!mFix->serial->lineStateByName(QStringLiteral("COM1")).anyUp());
    }

    // The keys go to the window, whatever has the focus: the buttons are disabled while a message plays.
    void keysPlaySwitchAndStop_data()
    {
        QTest::addColumn<QList<int>>("keys"); // a key every 400 ms; message 1 and 2 play 1 s each
        QTest::addColumn<QStringList>("opened");
        QTest::addColumn<int>("keyings");
        QTest::newRow("F1 plays 1") << QList<int>{Qt::Key_F1} << QStringList{"/rec/1.wav"} << 1;
        QTest::newRow("Esc stops it") << QList<int>{Qt::Key_F1, Qt::Key_Escape} << QStringList{"/rec/1.wav"} << 1;
        QTest::newRow("F2 during 1 switches, the line kept up")
            << QList<int>{Qt::Key_F1, Qt::Key_F2} << QStringList{"/rec/1.wav", "/rec/2.wav"} << 1;
        QTest::newRow("blank F3 during 1 changes nothing")
            << QList<int>{Qt::Key_F1, Qt::Key_F3} << QStringList{"/rec/1.wav"} << 1;
        QTest::newRow("blank F10 alone") << QList<int>{Qt::Key_F10} << QStringList{} << 0;
    }

    void keysPlaySwitchAndStop()
    {
        QFETCH(QList<int>, keys);
        QFETCH(QStringList, opened);
        QFETCH(int, keyings);
        mFix->audio.setDuration(1000);
        mFix->load(1);
        FrmMain& f = frmMain();
        f.window()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(f.window()));
        const int before = escapes();
        QList<bool> disabledAtKey;
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < keys.size(); ++i) {
            if (i > 0)
                QTest::qWait(400);
            disabledAtKey << !f.cmdMsg(0)->isEnabled();
            QWidget* focus = QApplication::focusWidget() ? QApplication::focusWidget() : f.window();
            QTest::keyClick(focus, Qt::Key(keys[i]));
        }
        QTRY_VERIFY_WITH_TIMEOUT(!f.player().isPlaying(), 5000);
        if (keys.size() > 1)
            QVERIFY(disabledAtKey.last() == (keys.first() == Qt::Key_F1));
        QCOMPARE(mFix->audio.paths(ScriptedAudioBackend::Kind::Open), opened);
        QCOMPARE(escapes() - before, 2 * keyings);
        QVERIFY(!mFix->serial->lineStateByName(QStringLiteral("COM1")).anyUp());
        if (keys.contains(Qt::Key_Escape))
            QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(MessageBoxes::asked().isEmpty());
    }

    void buttonsNameTheirKeys()
    {
        mFix->load(0);
        FrmMain& f = frmMain();
        const QString date = f.sbarPanel(1)->text();
        for (int i = 0; i < 10; ++i)
            QCOMPARE(f.cmdMsg(i)->toolTip(), QStringLiteral("F%1").arg(i + 1));
        for (int i : {0, 9}) {
            const QString hint = QStringLiteral("F%1 sends, Shift+F%1 repeats").arg(i + 1);
            QEvent enter(QEvent::Enter);
            QApplication::sendEvent(f.cmdMsg(i), &enter);
            QCOMPARE(f.sbarPanel(1)->text(), hint);
            // The clock's tick does not take the panel back while the pointer rests there, and the hint is
            // read whole, not clipped at both ends.
            QTest::qWait(1100);
            QCOMPARE(f.sbarPanel(1)->text(), hint);
            QVERIFY2(f.sbarPanel(1)->contentsRect().width() >= f.sbarPanel(1)->fontMetrics().horizontalAdvance(hint),
                     qPrintable(QString::number(f.sbarPanel(1)->contentsRect().width())));
            QEvent leave(QEvent::Leave);
            QApplication::sendEvent(f.cmdMsg(i), &leave);
            QCOMPARE(f.sbarPanel(1)->text(), date);
            QVERIFY(f.sbarPanel(2)->isVisible());
        }
    }

    void repeatFromKeysAndClicks_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("end");
        QTest::newRow("Shift+F1, then Esc") << "shift"
                                            << "escape";
        QTest::newRow("Ctrl+click, then STOP") << "ctrl"
                                               << "stop";
        QTest::newRow("Shift+F1, then F2") << "shift"
                                           << "f2";
        QTest::newRow("Ctrl+click, then a click on a blank button") << "ctrl"
                                                                    << "blank click";
    }

    void repeatFromKeysAndClicks()
    {
        QFETCH(QString, start);
        QFETCH(QString, end);
        gRepeatInterval = 1;
        mFix->load(1);
        FrmMain& f = frmMain();
        f.window()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(f.window()));
        if (start == QLatin1String("shift"))
            QTest::keyClick(f.window(), Qt::Key_F1, Qt::ShiftModifier);
        else
            QTest::mouseClick(f.cmdMsg(0), Qt::LeftButton, Qt::ControlModifier);
        QVERIFY(f.player().isPlaying());
        QCOMPARE(f.repeat().number(), 1);
        QVERIFY(!f.cmdMsg(0)->icon().isNull());
        QVERIFY(f.cmdMsg(1)->icon().isNull());
        // In the wait: the line down, the countdown shown, STOP usable.
        QTRY_VERIFY_WITH_TIMEOUT(f.repeat().waiting(), 3000);
        QCOMPARE(f.lblMsgStatus()->text(), QStringLiteral("Repeat in 1 s"));
        QVERIFY(!mFix->serial->lineStateByName(QStringLiteral("COM1")).anyUp());
        QVERIFY(f.cmdStop()->isEnabled());
        QVERIFY(f.cmdMsg(0)->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(mFix->audio.paths(ScriptedAudioBackend::Kind::Play).size(), 2, 3000);
        QTRY_VERIFY_WITH_TIMEOUT(f.repeat().waiting(), 3000);
        if (end == QLatin1String("escape"))
            QTest::keyClick(f.window(), Qt::Key_Escape);
        else if (end == QLatin1String("stop"))
            QTest::mouseClick(f.cmdStop(), Qt::LeftButton);
        else if (end == QLatin1String("f2"))
            QTest::keyClick(f.window(), Qt::Key_F2);
        else
            QTest::mouseClick(f.cmdMsg(4), Qt::LeftButton);
        QCOMPARE(f.repeat().number(), 0);
        QVERIFY(f.cmdMsg(0)->icon().isNull());
        QTest::qWait(1500);
        QTRY_VERIFY_WITH_TIMEOUT(!f.player().isPlaying(), 3000);
        QStringList expected{"/rec/1.wav", "/rec/1.wav"};
        if (end == QLatin1String("f2"))
            expected << "/rec/2.wav";
        QCOMPARE(mFix->audio.paths(ScriptedAudioBackend::Kind::Play), expected);
        QCOMPARE(f.lblMsgStatus()->text(), QString());
        QVERIFY(!f.cmdStop()->isEnabled());
        QVERIFY(!mFix->serial->lineStateByName(QStringLiteral("COM1")).anyUp());
    }

    // Other programs' requests take the road of the keys, and are refused while a dialog could change what
    // they would key.
    void requestsFromOtherPrograms_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("open"); // the dialog open meanwhile
        QTest::addColumn<QString>("refusal");
        QTest::addColumn<QString>("status"); // while it runs
        QTest::newRow("play 1") << "play 1"
                                << ""
                                << ""
                                << "transmitting 1";
        QTest::newRow("repeat 2") << "repeat 2"
                                  << ""
                                  << ""
                                  << "transmitting 2";
        QTest::newRow("a file") << "file /rec/9.wav"
                                << ""
                                << ""
                                << "transmitting /rec/9.wav";
        QTest::newRow("blank") << "play 3"
                               << ""
                               << "message 3 is blank"
                               << "idle";
        QTest::newRow("no such message") << "play 11"
                                         << ""
                                         << "there is no message 11"
                                         << "idle";
        QTest::newRow("unplayable") << "play 2"
                                    << ""
                                    << "message 2 cannot be played: "
                                    << "idle";
        QTest::newRow("Settings open") << "play 1"
                                       << "Settings"
                                       << "the Settings dialog is open"
                                       << "idle";
        QTest::newRow("assigning a button") << "repeat 1"
                                            << "SetWaves"
                                            << "a message button is being assigned"
                                            << "idle";
    }

    void requestsFromOtherPrograms()
    {
        QFETCH(QString, request);
        QFETCH(QString, open);
        QFETCH(QString, refusal);
        QFETCH(QString, status);
        mFix->audio.setDuration(1000);
        if (QTest::currentDataTag() == QLatin1String("unplayable"))
            mFix->audio.failOpen(QStringLiteral("/rec/2.wav"), MciError::InvalidFile);
        mFix->load(1);
        FrmMain& f = frmMain();
        QString answer = QStringLiteral("not asked");
        QString during;
        const auto ask = [&] {
            const int n = request.section(QLatin1Char(' '), 1).toInt();
            answer = request.startsWith(QLatin1String("play"))     ? f.remotePlay(n)
                     : request.startsWith(QLatin1String("repeat")) ? f.remoteRepeat(n)
                                                                   : f.remotePlayFile(request.mid(5));
            during = keyerStatusText(f.keyerState());
        };
        if (open.isEmpty())
            ask();
        else
            QVERIFY(
                runModal([&] { open == QLatin1String("Settings") ? f.mnuSettings_Click() : f.cmdMsg_MouseDown(0, 2); },
                         open == QLatin1String("Settings") ? static_cast<Form&>(frmSettings()) : frmSetWaves(),
                         [&] {
                             ask();
                             if (frmSettings().isLoaded())
                                 frmSettings().Unload();
                             if (frmSetWaves().isLoaded())
                                 frmSetWaves().Unload();
                         }));
        QVERIFY2(refusal.isEmpty() ? answer.isEmpty() : answer.startsWith(refusal), qPrintable(answer));
        QCOMPARE(during, status);
        QCOMPARE(f.player().isPlaying(), refusal.isEmpty());
        if (refusal.isEmpty()) {
            QTest::qWait(500);
            QVERIFY(mFix->serial->lineStateByName(QStringLiteral("COM1")).anyUp());
            f.remoteStop();
        }
        QTRY_VERIFY_WITH_TIMEOUT(!f.player().isPlaying(), 3000);
        QCOMPARE(keyerStatusText(f.keyerState()), QStringLiteral("idle"));
        QCOMPARE(f.repeat().number(), 0);
        QVERIFY(!mFix->serial->lineStateByName(QStringLiteral("COM1")).anyUp());
        // No box for the operator: the asking program hears why.
        QVERIFY(MessageBoxes::asked().isEmpty());
    }

    // Other programs hear of the release when the line drops, not once the operator has read the notice.
    void releaseIsToldBeforeTheNotice()
    {
        gTransmitTimeout = 1;
        mFix->audio.setDuration(5000);
        mFix->load(1);
        FrmMain& f = frmMain();
        QStringList told;
        QObject listener; // ends the connection with the test, which the window outlives
        connect(&f, &FrmMain::keyerStateChanged, &listener, [&] { told << keyerStatusText(f.keyerState()); });
        QString toldAtBox;
        MessageBoxes::setOnShow([&](const MessageBoxes::Asked&) { toldAtBox = told.value(told.size() - 1); });
        QVERIFY(playMessageToEnd(0));
        MessageBoxes::setOnShow(nullptr);
        QCOMPARE(messageTexts(), QStringList{transmitTimeOutText(1000)});
        QCOMPARE(toldAtBox, QStringLiteral("idle"));
        QCOMPARE(told, QStringList({"transmitting 1", "idle"}));
    }

    void idPanelDoubleClickAndTheBeepAtTheEnd()
    {
        mFix->load(0);
        FrmMain& f = frmMain();
        f.Timer1()->stop(); // ticked by hand below
        QTest::mouseDClick(f.sbarPanel(1), Qt::LeftButton);
        f.Timer1_Timer();
        QCOMPARE(f.sbarPanel(3)->text(), QStringLiteral("Timer OFF"));
        QTest::mouseDClick(f.sbarPanel(3), Qt::LeftButton);
        QCOMPARE(f.sbarPanel(3)->text(), QStringLiteral("Timer OFF"));
        f.Timer1_Timer();
        QCOMPARE(f.sbarPanel(3)->text(), QStringLiteral("08:58"));
        for (int tick = 2; tick <= 531; ++tick)
            f.Timer1_Timer();
        QCOMPARE(f.sbarPanel(3)->text(), QStringLiteral("00:00"));
        QCOMPARE(mFix->env.beeps(), 0);
        // Every tick after 00:00 beeps, until panel 3 stops the countdown.
        f.Timer1_Timer();
        f.Timer1_Timer();
        QCOMPARE(f.sbarPanel(3)->text(), QStringLiteral("Time to ID"));
        QCOMPARE(mFix->env.beeps(), 2);
        QTest::mouseDClick(f.sbarPanel(3), Qt::LeftButton);
        f.Timer1_Timer();
        QCOMPARE(f.sbarPanel(3)->text(), QStringLiteral("Timer OFF"));
        QCOMPARE(mFix->env.beeps(), 2);
    }
};

QTEST_MAIN(TestFrmMain)
#include "tst_frmmain.moc"
