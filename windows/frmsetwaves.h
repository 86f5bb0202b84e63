#pragma once

#include "core/form.h"

#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;

// What the opener and the dialog hand each other: the opener fills them
// before the show and reads the outcome once the dialog has gone.
extern VBool gSetWaveCancelled;    // True unless the dialog closed through an accepted Ok
extern QString gSetWaveFile;       // the file chosen in this opening; "" when none
extern QString gSetWaveOldCaption; // the button's caption when the dialog opened
extern QString gSetWaveNewCaption; // the caption typed, copied when the box loses the focus

// Binds a caption and a recording to one message button, or clears it.
class FrmSetWaves : public Form
{
    Q_OBJECT

public:
    explicit FrmSetWaves(QObject* parent = nullptr);

    void txtButCap_LostFocus();
    void cmdSelectWave_Click();
    void cmdOk_Click();
    void cmdCancel_Click();

    // Controls, for tests; null while unloaded.
    QLabel* Label1() const { return mLabel1; }
    QLabel* Label2() const { return mLabel2; }
    QLineEdit* txtCurCap() const { return mTxtCurCap; }
    QLineEdit* txtButCap() const { return mTxtButCap; }
    QPushButton* cmdSelectWave() const { return mCmdSelectWave; }
    QPushButton* cmdCancel() const { return mCmdCancel; }
    QPushButton* cmdOk() const { return mCmdOk; }

protected:
    QWidget* CreateWindow() override;
    void ControlsDestroyed() override;
    void Form_Load() override;
    void Form_Activate() override;
    void Form_Unload(VBool& cancel) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLabel* mLabel1 = nullptr;
    QLabel* mLabel2 = nullptr;
    QLineEdit* mTxtCurCap = nullptr;
    QLineEdit* mTxtButCap = nullptr;
    QPushButton* mCmdSelectWave = nullptr;
    QPushButton* mCmdCancel = nullptr;
    QPushButton* mCmdOk = nullptr;
};

// The program's one button assignment dialog.
FrmSetWaves& frmSetWaves();

// Runs the whole assignment of message button n (1..10): opens the dialog for
// it and, when accepted, stores the file and caption and shows the caption.
void AssignMessageButton(int n);

// Grows a window laid out in twips, proportions kept, until every caption fits its control.
// Call it after the window's ProportionalResizer exists, which then rescales the controls.
void fitToCaptions(QWidget* window);
