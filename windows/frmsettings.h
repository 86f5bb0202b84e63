#pragma once

#include "core/form.h"

#include <QString>

#include <array>
#include <cstdint>

class QComboBox;
class QGroupBox;
class QPushButton;
class QRadioButton;
class QSpinBox;

// Port, PTT line and keep-on-top, plus the device each of COM1..COM4 stands
// for. A click on an option changes the global at once; the port, the store
// and the main window change only when the dialog closes, whichever way.
class FrmSettings : public Form
{
    Q_OBJECT

public:
    explicit FrmSettings(QObject* parent = nullptr);

    void optCommNone_Click();
    void optComm_Click(int port); // 1..4: optComm1_Click .. optComm4_Click
    void optPTTDTR_Click();
    void optPTTRTS_Click();
    void optOnTopNo_Click();
    void optOnTopYes_Click();
    void cmdClose_Click();

    // Controls, for tests; null while unloaded.
    QPushButton* cmdClose() const { return mCmdClose; }
    QGroupBox* fCommPort() const { return mFCommPort; }
    QGroupBox* fPTTLine() const { return mFPTTLine; }
    QGroupBox* Frame1() const { return mFrame1; }
    QGroupBox* fDevices() const { return mFDevices; }
    QRadioButton* optCommNone() const { return mOptCommNone; }
    QRadioButton* optComm(int port) const { return mOptComm.at(static_cast<std::size_t>(port - 1)); }
    QRadioButton* optPTTDTR() const { return mOptPTTDTR; }
    QRadioButton* optPTTRTS() const { return mOptPTTRTS; }
    QRadioButton* optOnTopNo() const { return mOptOnTopNo; }
    QRadioButton* optOnTopYes() const { return mOptOnTopYes; }
    // The device chosen or typed for COM1..COM4.
    QComboBox* cboDevice(int port) const { return mCboDevice.at(static_cast<std::size_t>(port - 1)); }
    QGroupBox* fKeyer() const { return mFKeyer; }
    QSpinBox* txtTransmitTimeout() const { return mTxtTransmitTimeout; }
    QSpinBox* txtLeadTime() const { return mTxtLeadTime; }
    QSpinBox* txtTailTime() const { return mTxtTailTime; }
    QSpinBox* txtRepeatInterval() const { return mTxtRepeatInterval; }

protected:
    QWidget* CreateWindow() override;
    void ControlsDestroyed() override;
    void Form_Load() override;
    void Form_Activate() override;
    void Form_Unload(VBool& cancel) override;

private:
    void ReadCommPortOption();
    void ReadPTTLineOption();
    void ReadOnTopOption();

    void fillDeviceChoices();
    // Stores the devices the operator changed; true when any was stored.
    bool storeDeviceChanges();
    // Stores the keyer times that changed; true when any was stored.
    bool storeKeyerTimes();
    bool portChanged() const;
    void changePort();
    void restorePreviousPort();

    std::int16_t mOldCommPort = 0;
    std::int16_t mOldPTTLine = 1;
    VBool mOldAlwaysOnTop = kFalse;
    // The device of each port when the dialog opened, and as it is stored now.
    std::array<QString, kPortCount + 1> mOldDevice;
    std::array<QString, kPortCount + 1> mNewDevice;

    QPushButton* mCmdClose = nullptr;
    QGroupBox* mFCommPort = nullptr;
    QGroupBox* mFPTTLine = nullptr;
    QGroupBox* mFrame1 = nullptr;
    QGroupBox* mFDevices = nullptr;
    QRadioButton* mOptCommNone = nullptr;
    std::array<QRadioButton*, kPortCount> mOptComm{};
    QRadioButton* mOptPTTDTR = nullptr;
    QRadioButton* mOptPTTRTS = nullptr;
    QRadioButton* mOptOnTopNo = nullptr;
    QRadioButton* mOptOnTopYes = nullptr;
    std::array<QComboBox*, kPortCount> mCboDevice{};
    QGroupBox* mFKeyer = nullptr;
    QSpinBox* mTxtTransmitTimeout = nullptr;
    QSpinBox* mTxtLeadTime = nullptr;
    QSpinBox* mTxtTailTime = nullptr;
    QSpinBox* mTxtRepeatInterval = nullptr;
};

// The program's one settings dialog.
FrmSettings& frmSettings();
