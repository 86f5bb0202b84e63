#pragma once

#include "comm/keying.h"
#include "core/form.h"
#include "keyer/idtimer.h"
#include "keyer/keyercontrol.h"
#include "keyer/player.h"
#include "keyer/repeat.h"

#include <QPointer>

#include <array>

class QAction;
class QGroupBox;
class QLabel;
class ProportionalResizer;
class QMainWindow;
class QMenu;
class QPushButton;
class QTimer;
class QWidget;

// The keyer panel: ten message buttons, STOP, the PTT indicators, the status
// line and the status bar with the station-ID countdown.
class FrmMain : public Form, public PlayerView, public KeyerControl
{
    Q_OBJECT

public:
    explicit FrmMain(QObject* parent = nullptr);

    // PlayerView
    void EnableMessageButtons(bool enable) override;
    QString buttonCaption(int index) const override;
    void setMessageStatus(const QString& text) override;
    void setLineIndicator(std::int16_t pttLine, bool keyed) override;
    void setPortName(const QString& name) override;
    // DTR and RTS for a serial line, one PTT indicator for the other methods.
    void showIndicatorsFor(PttMethod method);
    // Names the PTT target in force in the frame title and shows its indicators.
    void showTarget();

    // Event handlers, reachable for the tray, the menus and tests.
    void cmdMsg_Click(int index);
    void cmdStop_Click();
    void Timer1_Timer();
    void sbar_PanelDblClick(int panelIndex);
    void picTray_MouseMove(double xTwips);
    void mnuShow_Click();
    void mnuHide_Click();
    void mnuExit_Click();
    void mnuExit2_Click();
    void mnuSettings_Click();
    void mnuSettings2_Click() { mnuSettings_Click(); }
    void mnuHelp2_Click();
    void mnuAbout_Click();
    void cmdMsg_MouseDown(int index, int button);
    // Ctrl+click: message index + 1 repeats.
    void cmdMsg_CtrlClick(int index);
    // F1..F10 (index 0..9), with Shift to repeat; they work whatever has the focus, the buttons disabled too.
    void msgKey_Press(int index, bool repeat);

    // KeyerControl: what other programs ask, on the road of the keys.
    QString remotePlay(int n) override;
    QString remotePlayFile(const QString& path) override;
    QString remoteRepeat(int n) override;
    void remoteStop() override;
    KeyerState keyerState() const override;

    // Starts message n with the keyer times of the settings; returns before it ends.
    void PlayMessage(int n) { mPlayer.PlayMessage(n, keyerTimesFromGlobals()); }
    void ResetIdTimer() { mIdTimer.ResetIdTimer(); }

    // Controls, for the shell modules and tests; null while unloaded.
    QPushButton* cmdMsg(int index) const { return mCmdMsg.at(static_cast<std::size_t>(index)); }
    QPushButton* cmdStop() const { return mCmdStop; }
    QGroupBox* fPTTLineStatus() const { return mFrame; }
    QLabel* lblDTR() const { return mLblDTR; }
    QLabel* lblRTS() const { return mLblRTS; }
    QLabel* lblMsgStatus() const { return mLblMsgStatus; }
    QLabel* sbarPanel(int panelIndex) const { return mPanels.at(static_cast<std::size_t>(panelIndex - 1)); }
    QWidget* picTray() const { return mPicTray; }
    QAction* mnuShow() const { return mMnuShow; }
    QAction* mnuHide() const { return mMnuHide; }
    QMenu* mnuMain() const { return mMnuMain; }
    QTimer* Timer1() const { return mTimer1; }

    const IdCountdown& idCountdown() const { return mIdTimer; }
    MessagePlayer& player() { return mPlayer; }
    const MessageRepeat& repeat() const { return mRepeat; }

signals:
    // A message started, took over, ended, or a repeat's wait began, counted down or ended.
    void keyerStateChanged();

protected:
    QWidget* CreateWindow() override;
    void ControlsDestroyed() override;
    void Form_Load() override;
    void Form_Activate() override;
    void Form_Resize() override;
    void Form_Unload(VBool& cancel) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void openConfiguredPort();
    // Notices at once a port whose device has gone, and opens it again when it is back.
    void portWatch_Timer();
    void portGone();
    bool portIsLost() const;
    void updateClock();
    void setShownMenus(bool shown);
    void restoreWindow();
    void showModalWithTopMost(Form& form);
    // The one road of every message, whoever asks: a click, a key, a repeat, another program.
    void sendMessage(int n);
    void startRepeat(int n);
    void showRepeat();
    // Why a request from another program cannot be carried out now; "" when it can.
    QString remoteRefusal() const;
    // Why button n cannot be sent for another program; empty when it can.
    QString remoteMessageRefusal(int n) const;
    void showKeyHint(int index);

    MessagePlayer mPlayer{*this};
    MessageRepeat mRepeat{mPlayer, [this](int n) { sendMessage(n); }};
    // The button the pointer rests on, whose keys the first panel names; -1 for none.
    int mHintIndex = -1;
    // The modifiers of the mouse press that is becoming a click.
    Qt::KeyboardModifiers mClickModifiers;
    IdCountdown mIdTimer;

    QPointer<QMainWindow> mWindow;
    std::array<QPushButton*, kMessageCount> mCmdMsg{};
    QPushButton* mCmdStop = nullptr;
    QGroupBox* mFrame = nullptr;
    QLabel* mLblDTR = nullptr;
    QLabel* mLblRTS = nullptr;
    QLabel* mLblMsgStatus = nullptr;
    std::array<QLabel*, 3> mPanels{};
    QWidget* mPicTray = nullptr;
    QTimer* mTimer1 = nullptr;
    QTimer* mClock = nullptr;
    QTimer* mPortWatch = nullptr;
    ProportionalResizer* mResizer = nullptr;
    // The port whose device went away while the program held it; 0 while none is missed.
    std::int16_t mLostPort = 0;
    QAction* mMnuShow = nullptr;
    QAction* mMnuHide = nullptr;
    QMenu* mMnuMain = nullptr;
};

// The program's one main window.
FrmMain& frmMain();
