#include "frmmain.h"

#include "comm/keying.h"
#include "comm/modgetsetcom.h"
#include "core/placement.h"
#include "core/resizer.h"
#include "core/settingkeys.h"
#include "core/toolkit.h"
#include "platform/mci.h"
#include "windows/frmabout.h"
#include "windows/frmhelp.h"
#include "windows/frmsettings.h"
#include "windows/frmsetwaves.h"
#include "windows/modontop.h"
#include "windows/modsystray.h"

#include <QAction>
#include <QCoreApplication>
#include <QCursor>
#include <QDateTime>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLocale>
#include <QMainWindow>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

// Colours are stored as the program always kept them, 0x00BBGGRR: the low byte is red.
constexpr std::uint32_t kBgrDarkRed = 0x0000C0;  // a keyed line
constexpr std::uint32_t kBgrDarkBlue = 0xC00000; // a released line

QColor fromBgr(std::uint32_t bgr)
{
    return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}

void setForeColour(QLabel* label, std::uint32_t bgr)
{
    if (!label)
        return;
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, fromBgr(bgr));
    label->setPalette(p);
}

// Places `label` halfway down the part of `frame` below its title: at the designed twips it would touch
// the title in today's larger desktop fonts.
void centreInFrame(QLabel* label, const QGroupBox* frame)
{
    const int titleBottom = frame->fontMetrics().height();
    const int top = titleBottom + (frame->height() - titleBottom - label->height()) / 2;
    label->move(label->x(), std::max(titleBottom, top));
}

// A button caption is shown as typed: an ampersand is no mnemonic here.
QString captionToButtonText(const QString& caption)
{
    QString text = caption;
    return text.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

QString buttonTextToCaption(const QString& text)
{
    QString caption = text;
    return caption.replace(QStringLiteral("&&"), QStringLiteral("&"));
}

// How often the port is asked whether its device is still there: while keyed, often enough that a hang-up
// stops the message within a syllable; while nothing is keyed, seldom enough to cost nothing. A port whose
// device went is tried again at the slower pace. (At 20 ms the asking cost more CPU than the sound itself.)
constexpr int kPortWatchKeyedMs = 50;
constexpr int kPortWatchIdleMs = 500;

QString keyName(int index)
{
    return QStringLiteral("F%1").arg(index + 1);
}

QString keyHintText(int index)
{
    return QStringLiteral("%1 sends, Shift+%1 repeats").arg(keyName(index));
}

QIcon programIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/wrenkeyer-%1.png").arg(size), QSize(size, size));
    return icon;
}

} // namespace

FrmMain& frmMain()
{
    static FrmMain* form = new FrmMain(QCoreApplication::instance());
    return *form;
}

FrmMain::FrmMain(QObject* parent) : Form(parent)
{
    // A rig opened in the background tells of its failure later, with nothing keyed.
    connect(&keying(), &Keying::openFailed, this, [this](const QString& text, const QString& detail) {
        if (isLoaded())
            QTimer::singleShot(0, this, [text, detail] { MsgBox(text, MsgStyle::Critical, kAppTitle, detail); });
    });
    connect(&mPlayer, &MessagePlayer::sending, this, &FrmMain::keyerStateChanged);
    // At the release, not at finished(): a notice may keep finished() back while the line is long down.
    connect(&mPlayer, &MessagePlayer::released, this, &FrmMain::keyerStateChanged);
    connect(&mRepeat, &MessageRepeat::changed, this, &FrmMain::showRepeat);
}

void FrmMain::showTarget()
{
    const PttTarget target = pttTargetFromGlobals();
    QString name = pttTargetName(target);
    // The hidraw device itself: a sound card's name or "the first found" says less once it is open.
    if (target.method == PttMethod::CM108 && !keying().device(target).isEmpty())
        name = QStringLiteral("CM108 ") + keying().device(target);
    setPortName(name);
    showIndicatorsFor(target.method);
}

void FrmMain::showIndicatorsFor(PttMethod method)
{
    if (!isLoaded())
        return;
    // A rig or a GPIO pin has one PTT and reports it on the first indicator.
    const bool serial = method == PttMethod::Serial;
    mLblDTR->setText(serial ? QStringLiteral("DTR") : QStringLiteral("PTT"));
    mLblRTS->setVisible(serial);
    if (!mResizer)
        return;
    // "rigctld localhost:4532" does not fit the frame drawn for "COM1": the other methods get the width of
    // the two button columns, with their one indicator in the middle.
    const QRect frame = serial ? twipsRect(1080, 120, 2535, 615) : twipsRect(240, 120, 4365, 615);
    QRect indicator = mResizer->designGeometry(mLblDTR);
    indicator.moveLeft(serial ? twipsRect(360, 0, 0, 0).left() : (frame.width() - indicator.width()) / 2);
    mResizer->setDesignGeometry(mFrame, frame);
    mResizer->setDesignGeometry(mLblDTR, indicator);
}

QWidget* FrmMain::CreateWindow()
{
    auto* window = new QMainWindow;
    mWindow = window;
    window->setWindowTitle(kAppTitle);
    window->setWindowIcon(programIcon());
    window->setAttribute(Qt::WA_DeleteOnClose, false);

    // Menus: the bar, and the pop-up the tray icon opens.
    QMenu* mnuFile = window->menuBar()->addMenu(QStringLiteral("File"));
    QAction* mnuExit = mnuFile->addAction(QStringLiteral("Exit"));
    connect(mnuExit, &QAction::triggered, this, &FrmMain::mnuExit_Click);
    QAction* mnuSettings = window->menuBar()->addAction(QStringLiteral("Settings"));
    connect(mnuSettings, &QAction::triggered, this, &FrmMain::mnuSettings_Click);
    QMenu* mnuHelp = window->menuBar()->addMenu(QStringLiteral("Help"));
    QAction* mnuHelp2 = mnuHelp->addAction(QStringLiteral("Help"));
    mnuHelp->addSeparator();
    QAction* mnuAbout = mnuHelp->addAction(QStringLiteral("About"));
    connect(mnuHelp2, &QAction::triggered, this, &FrmMain::mnuHelp2_Click);
    connect(mnuAbout, &QAction::triggered, this, &FrmMain::mnuAbout_Click);

    mMnuMain = new QMenu(QStringLiteral("Main"), window);
    mMnuShow = mMnuMain->addAction(QStringLiteral("Restore"));
    mMnuHide = mMnuMain->addAction(QStringLiteral("Hide"));
    mMnuMain->addSeparator();
    QAction* mnuSettings2 = mMnuMain->addAction(QStringLiteral("Settings"));
    connect(mnuSettings2, &QAction::triggered, this, &FrmMain::mnuSettings2_Click);
    mMnuMain->addSeparator();
    QAction* mnuExit2 = mMnuMain->addAction(QStringLiteral("Exit"));
    connect(mMnuShow, &QAction::triggered, this, &FrmMain::mnuShow_Click);
    connect(mMnuHide, &QAction::triggered, this, &FrmMain::mnuHide_Click);
    connect(mnuExit2, &QAction::triggered, this, &FrmMain::mnuExit2_Click);

    // The client area, laid out in twips as designed.
    auto* client = new QWidget(window);
    client->setFixedSize(twipsRect(0, 0, 4845, 6030 - 375).size());
    window->setCentralWidget(client);

    mFrame = new QGroupBox(QStringLiteral("PTT Line Status"), client);
    mFrame->setGeometry(twipsRect(1080, 120, 2535, 615));
    mLblDTR = new QLabel(QStringLiteral("DTR"), mFrame);
    mLblDTR->setGeometry(twipsRect(360, 240, 855, 255));
    mLblDTR->setAlignment(Qt::AlignCenter);
    mLblRTS = new QLabel(QStringLiteral("RTS"), mFrame);
    mLblRTS->setGeometry(twipsRect(1440, 240, 855, 255));
    mLblRTS->setAlignment(Qt::AlignCenter);
    QFont bold = mLblDTR->font();
    bold.setBold(true);
    mLblDTR->setFont(bold);
    mLblRTS->setFont(bold);
    centreInFrame(mLblDTR, mFrame);
    centreInFrame(mLblRTS, mFrame);

    mCmdStop = new QPushButton(QStringLiteral("STOP"), client);
    mCmdStop->setGeometry(twipsRect(240, 5040, 4335, 495));
    connect(mCmdStop, &QPushButton::clicked, this, &FrmMain::cmdStop_Click);

    const int tops[5] = {1080, 1800, 2520, 3240, 3960};
    for (int i = 0; i < kMessageCount; ++i) {
        auto* button = new QPushButton(QStringLiteral("Message"), client);
        button->setGeometry(twipsRect(i < 5 ? 240 : 2520, tops[i % 5], 2055, 495));
        button->setObjectName(QStringLiteral("cmdMsg%1").arg(i));
        button->installEventFilter(this);
        button->setToolTip(keyName(i));
        connect(button, &QPushButton::clicked, this, [this, i] {
            const bool ctrl = std::exchange(mClickModifiers, Qt::NoModifier).testFlag(Qt::ControlModifier);
            if (ctrl)
                cmdMsg_CtrlClick(i);
            else
                cmdMsg_Click(i);
        });
        mCmdMsg[static_cast<std::size_t>(i)] = button;
        // On the window, not the buttons: the keys must work while the buttons are disabled.
        for (const bool repeat : {false, true}) {
            const auto key = Qt::Key(Qt::Key_F1 + i);
            const QKeyCombination combination(repeat ? Qt::ShiftModifier : Qt::NoModifier, key);
            auto* shortcut = new QShortcut(QKeySequence(combination), window);
            // A held key must not start the message over and over.
            shortcut->setAutoRepeat(false);
            connect(shortcut, &QShortcut::activated, this, [this, i, repeat] { msgKey_Press(i, repeat); });
        }
    }
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), window);
    escape->setAutoRepeat(false);
    connect(escape, &QShortcut::activated, this, &FrmMain::cmdStop_Click);
    // Tab walks STOP, then the left column top to bottom, then the right one.
    QWidget::setTabOrder(mCmdStop, mCmdMsg[0]);
    for (int i = 1; i < kMessageCount; ++i)
        QWidget::setTabOrder(mCmdMsg[static_cast<std::size_t>(i - 1)], mCmdMsg[static_cast<std::size_t>(i)]);

    mLblMsgStatus = new QLabel(QStringLiteral("Message Status"), client);
    mLblMsgStatus->setGeometry(twipsRect(240, 4680, 4335, 255));
    mLblMsgStatus->setAlignment(Qt::AlignCenter);

    // Receives the tray icon's mouse messages; it sits outside the visible area.
    mPicTray = new QWidget(client);
    mPicTray->setGeometry(twipsRect(2400, -240, 60, 60));
    mPicTray->installEventFilter(this);

    // The status bar's three panels share its width as 2540 : 2540 : 2910.
    QStatusBar* sbar = window->statusBar();
    sbar->setSizeGripEnabled(true);
    const int widths[3] = {2540, 2540, 2910};
    for (int p = 0; p < 3; ++p) {
        auto* panel = new QLabel(sbar);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setAlignment(Qt::AlignCenter);
        panel->setMinimumWidth(twipsToPixelsX(600));
        panel->installEventFilter(this);
        sbar->addPermanentWidget(panel, widths[p]);
        mPanels[static_cast<std::size_t>(p)] = panel;
    }

    mTimer1 = new QTimer(window);
    connect(mTimer1, &QTimer::timeout, this, &FrmMain::Timer1_Timer);
    mClock = new QTimer(window);
    mClock->setInterval(1000);
    connect(mClock, &QTimer::timeout, this, &FrmMain::updateClock);
    mClock->start();
    mPortWatch = new QTimer(window);
    mPortWatch->setInterval(kPortWatchIdleMs);
    connect(mPortWatch, &QTimer::timeout, this, &FrmMain::portWatch_Timer);

    window->adjustSize();
    client->setMinimumSize(0, 0);
    client->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    mResizer = new ProportionalResizer(client);
    window->setMinimumSize(window->sizeHint() / 2);
    centreOver(window);
    return window;
}

void FrmMain::ControlsDestroyed()
{
    mWindow.clear();
    mCmdMsg.fill(nullptr);
    mCmdStop = nullptr;
    mFrame = nullptr;
    mLblDTR = mLblRTS = mLblMsgStatus = nullptr;
    mPanels.fill(nullptr);
    mPicTray = nullptr;
    mTimer1 = mClock = mPortWatch = nullptr;
    mResizer = nullptr;
    mMnuShow = mMnuHide = nullptr;
    mMnuMain = nullptr;
    mHintIndex = -1;
}

void FrmMain::Form_Load()
{
    SetTopMost(window(), gAlwaysOnTop != kFalse ? kHwndTopMost : kHwndNoTopMost);
    window()->setWindowTitle(kAppTitle);
    mLblMsgStatus->setText(QString());
    mMnuShow->setEnabled(false);
    mMnuHide->setEnabled(true);
    mPlayer.mStopRequested = kFalse;
    mIdTimer.ResetIdTimer();
    mTimer1->setInterval(1000);
    mTimer1->start();
    mIdTimer.SwitchOff();
    sbarPanel(3)->setText(QStringLiteral("Timer OFF"));
    updateClock();
    EnableMessageButtons(true);
    const PttTarget target = pttTargetFromGlobals();
    setPortName(pttTargetName(target));
    showIndicatorsFor(target.method);
    setForeColour(mLblDTR, kBgrDarkBlue);
    setForeColour(mLblRTS, kBgrDarkBlue);
    mLostPort = 0;
    if (target.method != PttMethod::Serial || gCommPort > 0)
        openConfiguredPort();
    // The device the first CM108 found turned out to be.
    if (target.method == PttMethod::CM108)
        showTarget();
    mPortWatch->start();
}

bool FrmMain::portIsLost() const
{
    return mLostPort != 0 && mLostPort == gCommPort && !keying().isOpen(pttTargetFromGlobals());
}

void FrmMain::portWatch_Timer()
{
    const PttTarget target = pttTargetFromGlobals();
    if (mLostPort != 0) {
        // Another port chosen in Settings meanwhile ends the wait.
        if (!portIsLost()) {
            mLostPort = 0;
            return;
        }
        // Perhaps not ready yet (udev still setting its permissions): the next try may work.
        if (!keying().isBack(target) || !keying().reopen(target))
            return;
        mLostPort = 0;
        setMessageStatus(
            QStringLiteral("%1 is back on %2, DTR and RTS down.").arg(GetCommPortName(), keying().device(target)));
        return;
    }
    if (keying().isGone(target))
        portGone();
}

void FrmMain::portGone()
{
    const PttTarget target = pttTargetFromGlobals();
    const std::int16_t port = gCommPort;
    const QString device = keying().device(target);
    const bool playing = mPlayer.isPlaying();
    mLostPort = port;
    if (playing)
        mPlayer.cmdStop_Click();
    // The device is gone, and with it the lines; the close frees the descriptor and the locks.
    keying().close(target);
    setLineIndicator(1, false);
    setLineIndicator(2, false);
    const auto tell = [this, port, target, device, playing] {
        if (!isLoaded() || !portIsLost() || mLostPort != port)
            return;
        setMessageStatus(QStringLiteral("%1 is gone: nothing is sent until it is back.").arg(GetCommPortName(port)));
        const QString back = keying().isBack(target) || device.startsWith(QLatin1String("/dev/serial/"))
                                 ? QStringLiteral("It is opened again when it comes back.")
                                 : QStringLiteral("Its name may come back on another adapter, so it is not "
                                                  "opened by itself: start the keyer again once it is back, or "
                                                  "give %1 its /dev/serial/by-id name in Settings.")
                                       .arg(GetCommPortName(port));
        MsgBox(QStringLiteral("The device of %1 went away: %2.\n%3\n%4")
                   .arg(GetCommPortName(port), device,
                        playing ? QStringLiteral("The message was stopped and the port closed.")
                                : QStringLiteral("The port was closed."),
                        back),
               MsgStyle::Exclamation, kAppTitle);
    };
    // Once the message has ended: its end clears the status line, and its own notices come first.
    if (playing)
        connect(&mPlayer, &MessagePlayer::finished, this, tell, Qt::SingleShotConnection);
    else
        QTimer::singleShot(0, this, tell);
}

void FrmMain::openConfiguredPort()
{
    bool held = false;
    const PttTarget target = pttTargetFromGlobals();
    const KeyingNotice failure = keying().open(target, &held);
    if (failure.text.isEmpty())
        return;
    if (target.method != PttMethod::Serial) {
        // The method stays chosen: its settings are the operator's to mend, and nothing is keyed meanwhile.
        MsgBox(failure.text, MsgStyle::Critical, kAppTitle, failure.detail);
        return;
    }
    // A port that another copy (one the operator let run beside this) or another program holds is kept
    // for the next start; "None" is for a port that failed.
    if (!held)
        WriteSetting(Setting::CommPort, GetCommPortName(0));
    gCommPort = 0;
    MsgBox(failure.text, MsgStyle::Critical, kAppTitle, failure.detail);
}

void FrmMain::Form_Activate()
{
    SetMousePointer(kPointerDefault);
}

void FrmMain::Form_Resize()
{
    if (!isLoaded() || !window()->isVisible() || !window()->isMinimized())
        return;
    // Without a notification area nothing could bring a hidden window back,
    // so it stays minimised on the task bar.
    if (!TrayIconShown())
        return;
    setShownMenus(false);
    // Hiding from inside the state change confuses some window managers.
    QTimer::singleShot(0, window(), [w = window()] { w->hide(); });
}

void FrmMain::Form_Unload(VBool& cancel)
{
    // Without a notification area the close box has to end the program.
    if (gExitRequested == kTrue || !TrayIconShown()) {
        gExitRequested = kTrue;
        mRepeat.cancel();
        mPlayer.abandon();
        mciSendString(QStringLiteral("close all"));
        keying().closeAll();
        DeleteTrayIcon(mPicTray);
        EndProgram();
        return;
    }
    setShownMenus(false);
    window()->hide();
    cancel = kTrue;
}

void FrmMain::setShownMenus(bool shown)
{
    if (!isLoaded())
        return;
    mMnuShow->setEnabled(!shown);
    mMnuHide->setEnabled(shown);
}

void FrmMain::EnableMessageButtons(bool enable)
{
    if (!isLoaded())
        return;
    for (std::size_t i = 0; i < mCmdMsg.size(); ++i) {
        mCmdMsg[i]->setEnabled(enable);
        mCmdMsg[i]->setText(captionToButtonText(gButtonCaptions[i + 1]));
    }
    // A repeat's wait is ended with STOP too.
    mCmdStop->setEnabled(!enable || mRepeat.waiting());
    if (!enable)
        mCmdStop->setFocus();
}

QString FrmMain::buttonCaption(int index) const
{
    if (!isLoaded() || index < 0 || index >= kMessageCount)
        return QString();
    return buttonTextToCaption(mCmdMsg[static_cast<std::size_t>(index)]->text());
}

void FrmMain::setMessageStatus(const QString& text)
{
    if (mLblMsgStatus)
        mLblMsgStatus->setText(text);
}

void FrmMain::setPortName(const QString& name)
{
    if (!mFrame)
        return;
    mFrame->setTitle(QStringLiteral("PTT Line Status:  ") + name);
    // A long device name may not fit the frame: the whole of it is one pointer's rest away.
    mFrame->setToolTip(mFrame->title());
}

void FrmMain::setLineIndicator(std::int16_t pttLine, bool keyed)
{
    QLabel* label = pttLine == 1 ? mLblDTR : pttLine == 2 ? mLblRTS : nullptr;
    setForeColour(label, keyed ? kBgrDarkRed : kBgrDarkBlue);
    if (mPortWatch && mPortWatch->isActive())
        mPortWatch->setInterval(keyed ? kPortWatchKeyedMs : kPortWatchIdleMs);
}

void FrmMain::cmdMsg_Click(int index)
{
    mRepeat.cancel();
    sendMessage(index + 1);
}

void FrmMain::cmdMsg_CtrlClick(int index)
{
    startRepeat(index + 1);
}

void FrmMain::msgKey_Press(int index, bool repeat)
{
    if (index < 0 || index >= kMessageCount || gWaveFiles[static_cast<std::size_t>(index + 1)].isEmpty())
        return;
    if (repeat) {
        startRepeat(index + 1);
        return;
    }
    mRepeat.cancel();
    sendMessage(index + 1);
}

void FrmMain::sendMessage(int n)
{
    if (portIsLost()) {
        setMessageStatus(QStringLiteral("Not sent: the device of %1 is gone.").arg(GetCommPortName()));
        return;
    }
    mPlayer.SwitchMessage(n, keyerTimesFromGlobals());
}

void FrmMain::startRepeat(int n)
{
    mRepeat.start(n, gRepeatInterval);
}

void FrmMain::showRepeat()
{
    if (isLoaded()) {
        const QIcon mark = window()->style()->standardIcon(QStyle::SP_BrowserReload);
        for (int i = 0; i < kMessageCount; ++i)
            mCmdMsg[static_cast<std::size_t>(i)]->setIcon(i + 1 == mRepeat.number() ? mark : QIcon());
        if (!mPlayer.isPlaying()) {
            mCmdStop->setEnabled(mRepeat.waiting());
            setMessageStatus(mRepeat.waiting() ? repeatCountdownText(mRepeat.secondsLeft()) : QString());
        }
    }
    emit keyerStateChanged();
}

void FrmMain::cmdStop_Click()
{
    mRepeat.cancel();
    mPlayer.cmdStop_Click();
}

QString FrmMain::remoteRefusal() const
{
    if (!isLoaded() || gExitRequested == kTrue)
        return QStringLiteral("the keyer is ending");
    // Both change what a message keys or plays while they are open.
    if (frmSettings().isLoaded())
        return QStringLiteral("the Settings dialog is open");
    if (frmSetWaves().isLoaded())
        return QStringLiteral("a message button is being assigned");
    if (portIsLost())
        return QStringLiteral("the device of %1 is gone").arg(GetCommPortName());
    return QString();
}

QString FrmMain::remoteMessageRefusal(int n) const
{
    if (n < 1 || n > kMessageCount)
        return QStringLiteral("there is no message %1").arg(n);
    if (QString refusal = remoteRefusal(); !refusal.isEmpty())
        return refusal;
    const QString path = gWaveFiles[static_cast<std::size_t>(n)];
    if (path.isEmpty())
        return QStringLiteral("message %1 is blank").arg(n);
    // Checked here so that the asking program hears why, and no box waits for an operator looking elsewhere.
    if (const std::int32_t error = mciCheckFile(path); error != 0)
        return QStringLiteral("message %1 cannot be played: %2").arg(n).arg(mciErrorText(error));
    return QString();
}

QString FrmMain::remotePlay(int n)
{
    if (QString refusal = remoteMessageRefusal(n); !refusal.isEmpty())
        return refusal;
    mRepeat.cancel();
    sendMessage(n);
    return mPlayer.number() == n ? QString() : QStringLiteral("message %1 was not sent").arg(n);
}

QString FrmMain::remoteRepeat(int n)
{
    if (QString refusal = remoteMessageRefusal(n); !refusal.isEmpty())
        return refusal;
    startRepeat(n);
    return mRepeat.number() == n ? QString() : QStringLiteral("message %1 was not sent").arg(n);
}

QString FrmMain::remotePlayFile(const QString& path)
{
    if (QString refusal = remoteRefusal(); !refusal.isEmpty())
        return refusal;
    if (const std::int32_t error = mciCheckFile(path); error != 0)
        return QStringLiteral("the file cannot be played: %1").arg(mciErrorText(error));
    mRepeat.cancel();
    mPlayer.PlayFile(path, keyerTimesFromGlobals());
    return mPlayer.isPlaying() && mPlayer.number() == 0 && mPlayer.path() == path
               ? QString()
               : QStringLiteral("the file was not sent");
}

void FrmMain::remoteStop()
{
    cmdStop_Click();
}

KeyerState FrmMain::keyerState() const
{
    KeyerState state;
    if (mPlayer.isPlaying()) {
        state.kind = KeyerState::Kind::Transmitting;
        state.message = mPlayer.number();
        state.file = mPlayer.path();
    } else if (mRepeat.waiting()) {
        state.kind = KeyerState::Kind::Waiting;
        state.message = mRepeat.number();
        state.secondsLeft = mRepeat.secondsLeft();
    }
    return state;
}

void FrmMain::Timer1_Timer()
{
    const IdCountdown::Tick tick = mIdTimer.Timer();
    if (tick.beep)
        Beep();
    if (isLoaded())
        sbarPanel(3)->setText(tick.text);
}

void FrmMain::sbar_PanelDblClick(int panelIndex)
{
    mIdTimer.PanelDblClick(panelIndex);
}

void FrmMain::showKeyHint(int index)
{
    mHintIndex = index;
    if (!isLoaded())
        return;
    // The hint is longer than a date: while it shows it takes the time's panel as well, so it is read whole.
    QLabel* hint = sbarPanel(1);
    sbarPanel(2)->setVisible(index < 0);
    if (index < 0) {
        hint->setMinimumWidth(twipsToPixelsX(600));
        updateClock();
        return;
    }
    hint->setText(keyHintText(index));
    hint->setMinimumWidth(hint->fontMetrics().horizontalAdvance(hint->text()) + hint->width() -
                          hint->contentsRect().width() + hint->fontMetrics().averageCharWidth());
}

void FrmMain::updateClock()
{
    // The time comes back with its panel when the pointer leaves the button.
    if (!isLoaded() || mHintIndex >= 0)
        return;
    const QDateTime now = QDateTime::currentDateTime();
    const QLocale locale;
    sbarPanel(1)->setText(locale.toString(now.date(), QLocale::ShortFormat));
    sbarPanel(2)->setText(locale.toString(now.time(), QLocale::ShortFormat));
}

void FrmMain::picTray_MouseMove(double xTwips)
{
    const int message = qRound(xTwips / twipsPerPixelX());
    if (!isLoaded())
        return;
    if (message == kWmLButtonDown) {
        restoreWindow();
        window()->raise();
        window()->activateWindow();
    } else if (message == kWmRButtonDown) {
        // Right-aligned at the pointer, as the tray's own menus open.
        const QPoint at = QCursor::pos() - QPoint(mMnuMain->sizeHint().width(), 0);
        mMnuMain->popup(at);
    }
}

void FrmMain::mnuShow_Click()
{
    if (!isLoaded())
        return;
    restoreWindow();
}

void FrmMain::restoreWindow()
{
    setShownMenus(true);
    // Back at normal size: a window hidden while maximised, or maximised since, is not restored maximised.
    constexpr Qt::WindowStates kSized = Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen;
    window()->setWindowState(window()->windowState() & ~kSized);
    window()->show();
}

void FrmMain::mnuHide_Click()
{
    if (!isLoaded())
        return;
    setShownMenus(false);
    window()->hide();
}

void FrmMain::showModalWithTopMost(Form& form)
{
    SetMousePointer(kPointerBusy);
    if (gAlwaysOnTop == kTrue)
        SetTopMost(window(), kHwndNoTopMost);
    form.ShowModal();
    // Read again: the settings dialog may just have changed it.
    if (gAlwaysOnTop == kTrue && isLoaded())
        SetTopMost(window(), kHwndTopMost);
}

void FrmMain::mnuSettings_Click()
{
    showModalWithTopMost(frmSettings());
}

void FrmMain::mnuHelp2_Click()
{
    showModalWithTopMost(frmHelp());
}

void FrmMain::mnuAbout_Click()
{
    showModalWithTopMost(frmAbout());
}

void FrmMain::cmdMsg_MouseDown(int index, int button)
{
    if (button == 2)
        AssignMessageButton(index + 1);
}

void FrmMain::mnuExit_Click()
{
    gExitRequested = kTrue;
    Unload();
}

void FrmMain::mnuExit2_Click()
{
    mnuExit_Click();
}

bool FrmMain::eventFilter(QObject* watched, QEvent* event)
{
    if (isLoaded()) {
        if (watched == mPicTray && event->type() == TrayCallbackEvent::kType) {
            // The message number arrives as the x coordinate of a mouse move, in twips.
            picTray_MouseMove(static_cast<TrayCallbackEvent*>(event)->message() * twipsPerPixelX());
            return true;
        }
        if (event->type() == QEvent::Enter || event->type() == QEvent::Leave) {
            for (int i = 0; i < kMessageCount; ++i) {
                if (watched == mCmdMsg[static_cast<std::size_t>(i)])
                    showKeyHint(event->type() == QEvent::Enter ? i : -1);
            }
        }
        if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease) {
            for (const QPushButton* button : mCmdMsg) {
                if (watched == button)
                    mClickModifiers = static_cast<QMouseEvent*>(event)->modifiers();
            }
        }
        if (event->type() == QEvent::MouseButtonPress &&
            static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) {
            for (int i = 0; i < kMessageCount; ++i) {
                if (watched == mCmdMsg[static_cast<std::size_t>(i)] &&
                    mCmdMsg[static_cast<std::size_t>(i)]->isEnabled()) {
                    cmdMsg_MouseDown(i, 2);
                    return true;
                }
            }
        }
        if (event->type() == QEvent::MouseButtonDblClick) {
            for (int p = 0; p < 3; ++p) {
                if (watched == mPanels[static_cast<std::size_t>(p)]) {
                    sbar_PanelDblClick(p + 1);
                    return true;
                }
            }
        }
    }
    return Form::eventFilter(watched, event);
}
