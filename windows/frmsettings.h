#pragma once

#include "comm/keying.h"
#include "core/form.h"

#include <QString>
#include <QTimer>

#include <array>
#include <cstdint>

class QComboBox;
class QLabel;
class QLineEdit;
class QGroupBox;
class QPushButton;
class QRadioButton;
class QSpinBox;

// Port, PTT line and keep-on-top, plus the device each of COM1..COM4 stands
// for and the sound output and input. A click on an option changes the global at once; the port, the store
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
    void optMethod_Click(int method); // 0 = Serial line, 1 = Hamlib, 2 = CM108 GPIO
    // Keys the PTT method in force for one second.
    void cmdTest_Click();

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
    QGroupBox* fAudio() const { return mFAudio; }
    // The sound server's outputs and inputs; each item's data is the id stored, "" for the system default.
    QComboBox* cboOutput() const { return mCboOutput; }
    QComboBox* cboInput() const { return mCboInput; }
    QGroupBox* fKeyer() const { return mFKeyer; }
    QSpinBox* txtTransmitTimeout() const { return mTxtTransmitTimeout; }
    QSpinBox* txtLeadTime() const { return mTxtLeadTime; }
    QSpinBox* txtTailTime() const { return mTxtTailTime; }
    QGroupBox* fPTTMethod() const { return mFPTTMethod; }
    QRadioButton* optMethod(int method) const { return mOptMethod.at(static_cast<std::size_t>(method)); }
    QComboBox* cboHamlibModel() const { return mCboHamlibModel; }
    QLineEdit* txtHamlibPath() const { return mTxtHamlibPath; }
    QSpinBox* txtHamlibSpeed() const { return mTxtHamlibSpeed; }
    QComboBox* cboHamlibPTT() const { return mCboHamlibPTT; }
    QComboBox* cboCM108Device() const { return mCboCM108Device; }
    QSpinBox* txtCM108GPIO() const { return mTxtCM108GPIO; }
    QPushButton* cmdTest() const { return mCmdTest; }
    // How long Test keys the transmitter.
    static constexpr int kTestMs = 1000;
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
    // Stores the output and input chosen, when they changed; true when either was stored.
    bool storeAudioChoices();
    bool portChanged() const;
    void changePort();
    void restorePreviousDevice();
    void createMethodFrame(QWidget* window, double top);
    void fillMethodFields();
    void showMethodFields();
    // The PTT target the method fields describe now.
    PttTarget fieldTarget() const;
    // Stores the PTT settings that changed and puts them in the globals; true when any was stored.
    bool storePttSettings();
    bool targetChanged() const;
    void changeTarget();
    void endTest();

    PttTarget mOldTarget; // in force when the dialog opened
    PttTarget mTestTarget;
    bool mTesting = false;
    QTimer mTestTimer;

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
    QGroupBox* mFAudio = nullptr;
    QComboBox* mCboOutput = nullptr;
    QComboBox* mCboInput = nullptr;
    QGroupBox* mFKeyer = nullptr;
    QSpinBox* mTxtTransmitTimeout = nullptr;
    QSpinBox* mTxtLeadTime = nullptr;
    QSpinBox* mTxtTailTime = nullptr;
    QGroupBox* mFPTTMethod = nullptr;
    std::array<QRadioButton*, 3> mOptMethod{};
    QLabel* mLblSerialNote = nullptr;
    QList<QWidget*> mHamlibFields;
    QList<QWidget*> mCM108Fields;
    QComboBox* mCboHamlibModel = nullptr;
    QLineEdit* mTxtHamlibPath = nullptr;
    QSpinBox* mTxtHamlibSpeed = nullptr;
    QComboBox* mCboHamlibPTT = nullptr;
    QComboBox* mCboCM108Device = nullptr;
    QSpinBox* mTxtCM108GPIO = nullptr;
    QPushButton* mCmdTest = nullptr;
    QSpinBox* mTxtRepeatInterval = nullptr;
};

// The program's one settings dialog.
FrmSettings& frmSettings();
