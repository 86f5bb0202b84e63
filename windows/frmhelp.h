#pragma once

#include "core/form.h"

class QPlainTextEdit;
class QPushButton;

// The page of operating instructions: eight paragraphs, one empty line
// between them, no line break after the last.
QString HelpText();

// The Help page, shown modally from the main window's Help menu.
class FrmHelp : public Form
{
    Q_OBJECT

public:
    explicit FrmHelp(QObject* parent = nullptr);

    void cmdClose_Click();

    // Controls, for tests; null while unloaded.
    QPlainTextEdit* txtMsg() const { return mTxtMsg; }
    QPushButton* cmdClose() const { return mCmdClose; }

protected:
    QWidget* CreateWindow() override;
    void ControlsDestroyed() override;
    void Form_Load() override;
    void Form_Activate() override;

private:
    QPlainTextEdit* mTxtMsg = nullptr;
    QPushButton* mCmdClose = nullptr;
};

FrmHelp& frmHelp();
