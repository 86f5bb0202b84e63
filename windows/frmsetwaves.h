#pragma once

#include "core/form.h"
#include "platform/mci.h"
#include "platform/recorder.h"

#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QShortcut;
class QSlider;

// What the opener and the dialog hand each other: the opener fills them
// before the show and reads the outcome once the dialog has gone.
extern VBool gSetWaveCancelled;    // True unless the dialog closed through an accepted Ok
extern QString gSetWaveFile;       // the file chosen in this opening; "" when none
extern QString gSetWaveOldCaption; // the button's caption when the dialog opened
extern QString gSetWaveNewCaption; // the caption typed, copied when the box loses the focus
extern int gSetWaveGain;           // the gain in dB the message plays with, the button's when the dialog opened

// Binds a caption, a recording and its gain to one message button, or clears it. The recording is
// chosen, or recorded here, trimmed and normalised, and can be listened to without keying anything.
class FrmSetWaves : public Form
{
    Q_OBJECT

public:
    explicit FrmSetWaves(QObject* parent = nullptr);

    void txtButCap_LostFocus();
    void cmdSelectWave_Click();
    void cmdOk_Click();
    void cmdCancel_Click();
    void cmdNormaliseFile_Click();
    void cmdRecord_Click();
    // Ends the recording, or the listening; Escape does the same while either runs.
    void cmdStop_Click();
    void cmdListen_Click();
    void sldGain_Change(int value);

    bool isRecording() const { return mRecorder.isRecording(); }
    bool isListening() const { return mListening != nullptr; }
    // A recording or a copy being written, or a file being measured.
    bool isBusy() const { return mBusy > 0; }

    // Controls, for tests; null while unloaded.
    QLabel* Label1() const { return mLabel1; }
    QLabel* Label2() const { return mLabel2; }
    QLineEdit* txtCurCap() const { return mTxtCurCap; }
    QLineEdit* txtButCap() const { return mTxtButCap; }
    QPushButton* cmdSelectWave() const { return mCmdSelectWave; }
    QPushButton* cmdCancel() const { return mCmdCancel; }
    QPushButton* cmdOk() const { return mCmdOk; }
    QPushButton* cmdNormaliseFile() const { return mCmdNormaliseFile; }
    QLabel* lblFile() const { return mLblFile; }
    QPushButton* cmdRecord() const { return mCmdRecord; }
    QPushButton* cmdStop() const { return mCmdStop; }
    QPushButton* cmdListen() const { return mCmdListen; }
    QProgressBar* prgLevel() const { return mPrgLevel; }
    QLabel* lblElapsed() const { return mLblElapsed; }
    QCheckBox* chkTrim() const { return mChkTrim; }
    QCheckBox* chkNormalise() const { return mChkNormalise; }
    QLabel* lblGain() const { return mLblGain; }
    QSlider* sldGain() const { return mSldGain; }
    QLabel* lblGainValue() const { return mLblGainValue; }
    QLabel* lblLimit() const { return mLblLimit; }

protected:
    QWidget* CreateWindow() override;
    void ControlsDestroyed() override;
    void Form_Load() override;
    void Form_Activate() override;
    void Form_Unload(VBool& cancel) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Runs `work` on a thread of its own and the function it returns here, unless the dialog was closed
    // meanwhile. A `busy` job holds the buttons that would change what it works on.
    void inBackground(std::function<std::function<void()>()> work, bool busy = true);
    void recordingEnded(const QString& reason);
    void stopListening();
    void setChosenFile(const QString& path);
    // A file made in the background becomes the choice; without one, the reason is shown.
    void chooseOrTell(const QString& path, const QString& error);
    void showLevel(double peakDbfs);
    void updateStates();
    void updateGainTexts();

    QLabel* mLabel1 = nullptr;
    QLabel* mLabel2 = nullptr;
    QLineEdit* mTxtCurCap = nullptr;
    QLineEdit* mTxtButCap = nullptr;
    QPushButton* mCmdSelectWave = nullptr;
    QPushButton* mCmdCancel = nullptr;
    QPushButton* mCmdOk = nullptr;
    QPushButton* mCmdNormaliseFile = nullptr;
    QLabel* mLblFile = nullptr;
    QPushButton* mCmdRecord = nullptr;
    QPushButton* mCmdStop = nullptr;
    QPushButton* mCmdListen = nullptr;
    QProgressBar* mPrgLevel = nullptr;
    QLabel* mLblElapsed = nullptr;
    QCheckBox* mChkTrim = nullptr;
    QCheckBox* mChkNormalise = nullptr;
    QLabel* mLblGain = nullptr;
    QSlider* mSldGain = nullptr;
    QLabel* mLblGainValue = nullptr;
    QLabel* mLblLimit = nullptr;
    QShortcut* mEscape = nullptr;

    Recorder mRecorder;
    std::unique_ptr<AudioStream> mListening;
    QTimer mListenPoll;
    int mBusy = 0;
    // Which opening of the dialog a background job belongs to: a late outcome must not reach the next.
    std::uint64_t mOpening = 0;
    std::optional<double> mPeakDbfs; // of the chosen file, once measured
};

// The program's one button assignment dialog.
FrmSetWaves& frmSetWaves();

// Runs the whole assignment of message button n (1..10): opens the dialog for
// it and, when accepted, stores the file and caption and shows the caption.
void AssignMessageButton(int n);

// Grows a window laid out in twips, proportions kept, until every caption fits its control.
// Call it after the window's ProportionalResizer exists, which then rescales the controls.
void fitToCaptions(QWidget* window);
