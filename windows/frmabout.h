#pragma once

#include "core/form.h"

class QGroupBox;
class QLabel;
class QPushButton;

// The About box: title, version, copyright and the author's mail link.
// The title and the version open the author picture.
class FrmAbout : public Form
{
    Q_OBJECT

public:
    explicit FrmAbout(QObject* parent = nullptr);

    void cmdOK_Click();
    void lblTitle_Click();
    void lblVersion_Click();
    void lblWebLink_Click();
    // Shows the author picture modally; returns once it has closed.
    void ShowAuthorPicture();

    // The address shown as the link and used for the mail request.
    QString email() const { return mEmail; }

    // Controls, for tests; null while unloaded.
    QGroupBox* Frame1() const { return mFrame1; }
    QLabel* lblTitle() const { return mLblTitle; }
    QLabel* lblVersion() const { return mLblVersion; }
    QLabel* lblMsg1() const { return mLblMsg1; }
    QLabel* lblMsg2() const { return mLblMsg2; }
    QLabel* lblWebLink() const { return mLblWebLink; }
    QLabel* lblCopyright() const { return mLblCopyright; }
    QPushButton* cmdOK() const { return mCmdOK; }

protected:
    QWidget* CreateWindow() override;
    void ControlsDestroyed() override;
    void Form_Load() override;
    void Form_Activate() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QString mEmail;
    QGroupBox* mFrame1 = nullptr;
    QLabel* mLblTitle = nullptr;
    QLabel* mLblVersion = nullptr;
    QLabel* mLblMsg1 = nullptr;
    QLabel* mLblMsg2 = nullptr;
    QLabel* mLblWebLink = nullptr;
    QLabel* mLblCopyright = nullptr;
    QPushButton* mCmdOK = nullptr;
};

FrmAbout& frmAbout();
