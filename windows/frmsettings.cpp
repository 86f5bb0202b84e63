#include "frmsettings.h"

#include "comm/cm108.h"
#include "comm/hamlibrig.h"
#include "comm/keying.h"
#include "comm/modgetsetcom.h"
#include "comm/portdevices.h"
#include "comm/portmap.h"
#include "core/placement.h"
#include "core/resizer.h"
#include "core/settingkeys.h"
#include "core/settings.h"
#include "core/toolkit.h"
#include "platform/audiodevices.h"
#include "windows/frmmain.h"
#include "windows/frmsetwaves.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QCompleter>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>

#include <algorithm>

namespace {

// The device rows sit below the original frames, which keep their positions. The keyer and PTT-method
// frames make a second column beside them: stacked in one, the dialog was taller than a laptop's screen.
// Close comes last at the bottom, where a dialog's closing button is looked for.
constexpr double kDevicesTop = 2295;
constexpr double kDeviceRowHeight = 360;
constexpr double kDevicesHeight = 240 + kPortCount * kDeviceRowHeight + 15;
constexpr double kColumnWidth = 3045;
constexpr double kSecondColumn = 120 + kColumnWidth;
constexpr double kKeyerTop = 120;
constexpr double kKeyerHeight = 240 + 4 * kDeviceRowHeight + 15;
// The PTT method below the keyer times: the options in the first row, then the fields of the method.
constexpr double kMethodTop = kKeyerTop + kKeyerHeight + 120;
constexpr double kMethodHeight = 240 + 5 * kDeviceRowHeight + 375 + 15;
// The sound outputs and inputs below the port devices, one row each.
constexpr double kAudioTop = kDevicesTop + kDevicesHeight + 120;
constexpr double kAudioHeight = 240 + 2 * kDeviceRowHeight + 15;
constexpr double kAudioLabelWidth = 855;
constexpr double kCloseTop = std::max(kAudioTop + kAudioHeight, kMethodTop + kMethodHeight) + 120;
constexpr double kCloseHeight = 375;
constexpr double kCloseWidth = 1215;
constexpr double kWindowWidth = kSecondColumn + kColumnWidth;
// Room for "COM4" in any common font; the combo box takes the rest of the row.
constexpr double kDeviceLabelWidth = 615;

QRadioButton* makeOption(const QString& caption, QWidget* frame, double left, double top, double width)
{
    auto* option = new QRadioButton(caption, frame);
    option->setGeometry(twipsRect(left, top, width, 255));
    return option;
}

// "System default" first, then what the server offers by its description (with the id where two read
// alike), then a stored choice the server does not offer now, so that closing the dialog keeps it.
void fillAudioChoice(QComboBox* combo, const QList<AudioDeviceInfo>& devices, const QString& chosen)
{
    combo->clear();
    combo->addItem(QStringLiteral("System default"), QString());
    for (const AudioDeviceInfo& device : devices) {
        const auto alike = std::count_if(devices.cbegin(), devices.cend(), [&device](const AudioDeviceInfo& other) {
            return other.description == device.description;
        });
        QString shown = device.description.isEmpty() ? device.id : device.description;
        if (alike > 1)
            shown += QStringLiteral(" (") + device.id + QLatin1Char(')');
        combo->addItem(shown, device.id);
        combo->setItemData(combo->count() - 1, device.id, Qt::ToolTipRole);
    }
    int index = combo->findData(chosen);
    if (index < 0) {
        // Said first: a long id is cut off at the right of the box.
        combo->addItem(QStringLiteral("Not connected: ") + chosen, chosen);
        combo->setItemData(combo->count() - 1, chosen, Qt::ToolTipRole);
        index = combo->count() - 1;
    }
    combo->setCurrentIndex(index);
    combo->view()->setMinimumWidth(combo->view()->sizeHintForColumn(0) + 8);
}

// An auto-exclusive option refuses to be cleared while it is the one selected.
void deselect(QRadioButton* option)
{
    option->setAutoExclusive(false);
    option->setChecked(false);
    option->setAutoExclusive(true);
}

} // namespace

FrmSettings& frmSettings()
{
    static FrmSettings* form = new FrmSettings(QCoreApplication::instance());
    return *form;
}

FrmSettings::FrmSettings(QObject* parent) : Form(parent) {}

QWidget* FrmSettings::CreateWindow()
{
    // A plain window, not a QDialog: Escape must not close it behind the operator's back.
    QWidget* owner = frmMain().isLoaded() ? frmMain().window() : nullptr;
    auto* window = new QWidget(owner, Qt::Dialog);
    window->setWindowTitle(QStringLiteral("Settings"));
    window->resize(twipsRect(0, 0, kWindowWidth, kCloseTop + kCloseHeight + 120).size());

    mCmdClose = new QPushButton(QStringLiteral("Close"), window);
    mCmdClose->setGeometry(twipsRect((kWindowWidth - kCloseWidth) / 2, kCloseTop, kCloseWidth, kCloseHeight));

    mFCommPort = new QGroupBox(QStringLiteral("Port"), window);
    mFCommPort->setGeometry(twipsRect(120, 120, 1335, 2055));
    mOptCommNone = makeOption(QStringLiteral("None"), mFCommPort, 120, 240, 1095);
    for (int port = 1; port <= kPortCount; ++port)
        mOptComm[static_cast<std::size_t>(port - 1)] =
            makeOption(GetCommPortName(port), mFCommPort, 120, 240 + port * 360, 1095);

    mFPTTLine = new QGroupBox(QStringLiteral("PTT Line"), window);
    mFPTTLine->setGeometry(twipsRect(1680, 120, 1335, 975));
    mOptPTTDTR = makeOption(QStringLiteral("DTR"), mFPTTLine, 120, 240, 975);
    mOptPTTRTS = makeOption(QStringLiteral("RTS"), mFPTTLine, 120, 600, 975);

    mFrame1 = new QGroupBox(QStringLiteral("Keep On Top"), window);
    mFrame1->setGeometry(twipsRect(1680, 1200, 1335, 975));
    mOptOnTopNo = makeOption(QStringLiteral("No"), mFrame1, 120, 240, 975);
    mOptOnTopYes = makeOption(QStringLiteral("Yes"), mFrame1, 120, 600, 975);

    mFDevices = new QGroupBox(QStringLiteral("Port Devices"), window);
    mFDevices->setGeometry(twipsRect(120, kDevicesTop, 2925, kDevicesHeight));
    for (int port = 1; port <= kPortCount; ++port) {
        const double top = 240 + (port - 1) * kDeviceRowHeight;
        auto* label = new QLabel(GetCommPortName(port), mFDevices);
        label->setGeometry(twipsRect(120, top + 30, kDeviceLabelWidth, 255));
        auto* combo = new QComboBox(mFDevices);
        combo->setGeometry(twipsRect(120 + kDeviceLabelWidth, top, 2805 - 120 - kDeviceLabelWidth, 315));
        label->setBuddy(combo);
        mCboDevice[static_cast<std::size_t>(port - 1)] = combo;
    }

    mFAudio = new QGroupBox(QStringLiteral("Audio"), window);
    mFAudio->setGeometry(twipsRect(120, kAudioTop, 2925, kAudioHeight));
    const auto addAudioRow = [this](int row, const QString& caption, const QString& tip) {
        const double top = 240 + row * kDeviceRowHeight;
        auto* label = new QLabel(caption, mFAudio);
        label->setGeometry(twipsRect(120, top + 30, kAudioLabelWidth, 255));
        auto* combo = new QComboBox(mFAudio);
        combo->setGeometry(twipsRect(120 + kAudioLabelWidth, top, 2805 - 120 - kAudioLabelWidth, 315));
        combo->setToolTip(tip);
        label->setBuddy(combo);
        return combo;
    };
    mCboOutput = addAudioRow(0, QStringLiteral("Output"), QStringLiteral("The sound card that feeds the radio"));
    mCboInput = addAudioRow(1, QStringLiteral("Input"), QStringLiteral("Where messages are recorded from"));

    mFKeyer = new QGroupBox(QStringLiteral("Keyer"), window);
    mFKeyer->setGeometry(twipsRect(kSecondColumn, kKeyerTop, 2925, kKeyerHeight));
    const auto addTime = [this](int row, const QString& caption, int max, const QString& unit) {
        const double top = 240 + row * kDeviceRowHeight;
        auto* label = new QLabel(caption, mFKeyer);
        label->setGeometry(twipsRect(120, top + 30, 1575, 255));
        auto* spin = new QSpinBox(mFKeyer);
        spin->setGeometry(twipsRect(1695, top, 1110, 315));
        spin->setRange(0, max);
        spin->setSuffix(QLatin1Char(' ') + unit);
        label->setBuddy(spin);
        return spin;
    };
    mTxtTransmitTimeout =
        addTime(0, QStringLiteral("Transmit Time-out"), kTransmitTimeoutMaxSeconds, QStringLiteral("s"));
    mTxtTransmitTimeout->setSpecialValueText(QStringLiteral("Off"));
    mTxtTransmitTimeout->setToolTip(QStringLiteral("The longest one message may key the transmitter"));
    mTxtLeadTime = addTime(1, QStringLiteral("Lead Time"), kKeyerTimeMaxMs, QStringLiteral("ms"));
    mTxtLeadTime->setToolTip(QStringLiteral("How long the transmitter is keyed before the audio starts"));
    mTxtLeadTime->setSingleStep(10);
    mTxtTailTime = addTime(2, QStringLiteral("Tail Time"), kKeyerTimeMaxMs, QStringLiteral("ms"));
    mTxtTailTime->setToolTip(QStringLiteral("How long the transmitter stays keyed after the audio"));
    mTxtTailTime->setSingleStep(10);
    mTxtRepeatInterval = addTime(3, QStringLiteral("Repeat Interval"), kRepeatIntervalMaxSeconds, QStringLiteral("s"));
    mTxtRepeatInterval->setMinimum(kRepeatIntervalMinSeconds);
    mTxtRepeatInterval->setToolTip(QStringLiteral("How long a repeating message rests, the transmitter released"));

    createMethodFrame(window, kMethodTop);

    QWidget* order[] = {mCmdClose,       mOptCommNone,        mOptComm[0],     mOptComm[1],     mOptComm[2],
                        mOptComm[3],     mOptPTTDTR,          mOptPTTRTS,      mOptOnTopNo,     mOptOnTopYes,
                        mCboDevice[0],   mCboDevice[1],       mCboDevice[2],   mCboDevice[3],   mCboOutput,
                        mCboInput,       mTxtTransmitTimeout, mTxtLeadTime,    mTxtTailTime,    mTxtRepeatInterval,
                        mOptMethod[0],   mOptMethod[1],       mOptMethod[2],   mCboHamlibModel, mTxtHamlibPath,
                        mTxtHamlibSpeed, mCboHamlibPTT,       mCboCM108Device, mTxtCM108GPIO,   mCmdTest};
    for (std::size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);

    connect(mCmdClose, &QPushButton::clicked, this, &FrmSettings::cmdClose_Click);
    // A selection made in code counts as a click too, as Form_Load relies on.
    const auto onSelect = [this](QRadioButton* option, auto handler) {
        connect(option, &QRadioButton::toggled, this, [this, handler](bool checked) {
            if (checked)
                (this->*handler)();
        });
    };
    onSelect(mOptCommNone, &FrmSettings::optCommNone_Click);
    for (int port = 1; port <= kPortCount; ++port) {
        connect(mOptComm[static_cast<std::size_t>(port - 1)], &QRadioButton::toggled, this, [this, port](bool checked) {
            if (checked)
                optComm_Click(port);
        });
    }
    onSelect(mOptPTTDTR, &FrmSettings::optPTTDTR_Click);
    onSelect(mOptPTTRTS, &FrmSettings::optPTTRTS_Click);
    onSelect(mOptOnTopNo, &FrmSettings::optOnTopNo_Click);
    onSelect(mOptOnTopYes, &FrmSettings::optOnTopYes_Click);

    new ProportionalResizer(window);
    // Made editable only now: the combo box places its own line edit, the resizer must not.
    for (QComboBox* combo :
         {mCboDevice[0], mCboDevice[1], mCboDevice[2], mCboDevice[3], mCboHamlibModel, mCboCM108Device}) {
        combo->setEditable(true);
        combo->setInsertPolicy(QComboBox::NoInsert);
    }
    // Typing any part of a maker or model name finds it among the library's models.
    mCboHamlibModel->completer()->setFilterMode(Qt::MatchContains);
    mCboHamlibModel->completer()->setCompletionMode(QCompleter::PopupCompletion);
    fitToCaptions(window);
    centreOver(window, owner);
    mCmdClose->setFocus();
    return window;
}

void FrmSettings::ControlsDestroyed()
{
    mCmdClose = nullptr;
    mFCommPort = mFPTTLine = mFrame1 = mFDevices = nullptr;
    mOptCommNone = nullptr;
    mOptComm.fill(nullptr);
    mOptPTTDTR = mOptPTTRTS = nullptr;
    mOptOnTopNo = mOptOnTopYes = nullptr;
    mCboDevice.fill(nullptr);
    mFAudio = nullptr;
    mCboOutput = mCboInput = nullptr;
    mFKeyer = nullptr;
    mTxtTransmitTimeout = mTxtLeadTime = mTxtTailTime = mTxtRepeatInterval = nullptr;
    mFPTTMethod = nullptr;
    mOptMethod.fill(nullptr);
    mLblSerialNote = nullptr;
    mHamlibFields.clear();
    mCM108Fields.clear();
    mCboHamlibModel = mCboHamlibPTT = mCboCM108Device = nullptr;
    mTxtHamlibPath = nullptr;
    mTxtHamlibSpeed = mTxtCM108GPIO = nullptr;
    mCmdTest = nullptr;
}

void FrmSettings::Form_Load()
{
    mOldCommPort = gCommPort;
    mOldPTTLine = gPTTLine;
    mOldAlwaysOnTop = gAlwaysOnTop;

    for (QRadioButton* option : {mOptCommNone, mOptComm[0], mOptComm[1], mOptComm[2], mOptComm[3], mOptPTTDTR,
                                 mOptPTTRTS, mOptOnTopNo, mOptOnTopYes})
        deselect(option);

    if (gCommPort >= 1 && gCommPort <= kPortCount)
        optComm(gCommPort)->setChecked(true);
    else
        mOptCommNone->setChecked(true);
    if (gPTTLine == 2)
        mOptPTTRTS->setChecked(true);
    else
        mOptPTTDTR->setChecked(true);
    if (gAlwaysOnTop != kFalse)
        mOptOnTopYes->setChecked(true);
    else
        mOptOnTopNo->setChecked(true);

    fillDeviceChoices();
    fillAudioChoice(mCboOutput, audioDevices().outputs(), gAudioOutput);
    fillAudioChoice(mCboInput, audioDevices().inputs(), gAudioInput);
    mTxtTransmitTimeout->setValue(gTransmitTimeout);
    mTxtLeadTime->setValue(gLeadTime);
    mTxtTailTime->setValue(gTailTime);
    mOldTarget = pttTargetFromGlobals();
    fillMethodFields();
    mTxtRepeatInterval->setValue(gRepeatInterval);
}

void FrmSettings::fillDeviceChoices()
{
    const QList<PortDevice> devices = DetectPortDevices();
    for (int port = 1; port <= kPortCount; ++port) {
        const auto slot = static_cast<std::size_t>(port);
        mOldDevice[slot] = PortDevicePath(GetCommPortName(port));
        mNewDevice[slot] = mOldDevice[slot];
        QComboBox* combo = cboDevice(port);
        combo->clear();
        for (const PortDevice& device : devices) {
            combo->addItem(device.path);
            combo->setItemData(combo->count() - 1, device.description, Qt::ToolTipRole);
        }
        combo->setCurrentIndex(combo->findText(mOldDevice[slot]));
        combo->setEditText(mOldDevice[slot]);
        combo->setToolTip(QStringLiteral("The device %1 stands for").arg(GetCommPortName(port)));
        // Long /dev/serial/by-id names must be readable in the list.
        combo->view()->setMinimumWidth(combo->view()->sizeHintForColumn(0) + 8);
    }
}

void FrmSettings::Form_Activate()
{
    SetMousePointer(kPointerDefault);
}

void FrmSettings::optCommNone_Click()
{
    ReadCommPortOption();
}

void FrmSettings::optComm_Click(int port)
{
    (void)port;
    ReadCommPortOption();
}

void FrmSettings::optPTTDTR_Click()
{
    ReadPTTLineOption();
}

void FrmSettings::optPTTRTS_Click()
{
    ReadPTTLineOption();
}

void FrmSettings::optOnTopNo_Click()
{
    ReadOnTopOption();
}

void FrmSettings::optOnTopYes_Click()
{
    ReadOnTopOption();
}

void FrmSettings::cmdClose_Click()
{
    Unload();
}

void FrmSettings::ReadCommPortOption()
{
    if (!isLoaded())
        return;
    if (mOptCommNone->isChecked()) {
        gCommPort = 0;
        return;
    }
    for (int port = 1; port <= kPortCount; ++port) {
        if (optComm(port)->isChecked()) {
            gCommPort = static_cast<std::int16_t>(port);
            return;
        }
    }
}

void FrmSettings::ReadPTTLineOption()
{
    if (!isLoaded())
        return;
    if (mOptPTTDTR->isChecked())
        gPTTLine = 1;
    else if (mOptPTTRTS->isChecked())
        gPTTLine = 2;
}

void FrmSettings::ReadOnTopOption()
{
    if (!isLoaded())
        return;
    gAlwaysOnTop = mOptOnTopNo->isChecked() ? kFalse : kTrue;
}

void FrmSettings::Form_Unload(VBool& cancel)
{
    (void)cancel; // the dialog has no cancel: every way out applies the choices
    if (gExitRequested == kTrue) {
        // The program is ending (Exit, or a signal) with the dialog open: what it shows was never
        // confirmed, so no port is switched and nothing is stored.
        gCommPort = mOldCommPort;
        gPTTLine = mOldPTTLine;
        gAlwaysOnTop = mOldAlwaysOnTop;
        gPTTMethod = static_cast<std::int16_t>(mOldTarget.method);
        if (mTesting)
            endTest();
        return;
    }
    if (mTesting)
        endTest();
    SettingsBatch saving;
    bool changed = storeDeviceChanges();
    changed = storeKeyerTimes() || changed;
    changed = storeAudioChoices() || changed;
    changed = storePttSettings() || changed;

    if (targetChanged()) {
        changeTarget();
        changed = true;
    }
    if (gPTTLine != mOldPTTLine) {
        WriteSetting(Setting::PTTLine, pttLineSettingText(gPTTLine));
        changed = true;
    }
    if (gAlwaysOnTop != mOldAlwaysOnTop) {
        WriteSetting(Setting::AlwaysOnTop, onTopSettingText(gAlwaysOnTop != kFalse));
        changed = true;
    }
    if (!changed)
        return;
    if (frmMain().isLoaded() && frmMain().fPTTLineStatus())
        frmMain().showTarget();
    // A save that failed has told the operator so; "Settings Changed" would say the opposite.
    if (!saving.commit())
        return;
    MsgBox(QStringLiteral("Settings Changed"), MsgStyle::Exclamation, kAppTitle);
}

bool FrmSettings::storeDeviceChanges()
{
    bool stored = false;
    for (int port = 1; port <= kPortCount; ++port) {
        const auto slot = static_cast<std::size_t>(port);
        mNewDevice[slot] = mOldDevice[slot];
        const QComboBox* combo = cboDevice(port);
        if (!combo)
            continue;
        const QString typed = combo->currentText().trimmed();
        if (typed == mOldDevice[slot])
            continue;
        const QString refusal = DeviceRefusal(typed, GetCommPortName(port));
        if (!refusal.isEmpty()) {
            MsgBox(refusal + QStringLiteral("\n%1 stays on %2.").arg(GetCommPortName(port), mOldDevice[slot]),
                   MsgStyle::Exclamation, kAppTitle);
            continue;
        }
        WriteSetting(Setting::PortDevice, typed, port);
        mNewDevice[slot] = typed;
        stored = true;
    }
    return stored;
}

bool FrmSettings::storeKeyerTimes()
{
    bool stored = false;
    const auto store = [&stored](const QSpinBox* spin, std::int16_t& global, Setting id) {
        if (!spin || spin->value() == global)
            return;
        global = static_cast<std::int16_t>(spin->value());
        WriteSetting(id, QString::number(global));
        stored = true;
    };
    store(mTxtTransmitTimeout, gTransmitTimeout, Setting::TransmitTimeout);
    store(mTxtLeadTime, gLeadTime, Setting::LeadTime);
    store(mTxtTailTime, gTailTime, Setting::TailTime);
    store(mTxtRepeatInterval, gRepeatInterval, Setting::RepeatInterval);
    return stored;
}

bool FrmSettings::storeAudioChoices()
{
    bool stored = false;
    const auto store = [&stored](const QComboBox* combo, QString& global, Setting id) {
        if (!combo || combo->currentIndex() < 0)
            return;
        const QString chosen = combo->currentData().toString();
        if (chosen == global)
            return;
        global = chosen;
        WriteSetting(id, chosen);
        stored = true;
    };
    store(mCboOutput, gAudioOutput, Setting::AudioOutput);
    store(mCboInput, gAudioInput, Setting::AudioInput);
    return stored;
}

bool FrmSettings::portChanged() const
{
    if (gCommPort != mOldCommPort)
        return true;
    // The same port on another device is a new port to the transmitter.
    if (gCommPort < 1 || gCommPort > kPortCount)
        return false;
    const auto slot = static_cast<std::size_t>(gCommPort);
    return mNewDevice[slot] != mOldDevice[slot];
}

void FrmSettings::changePort()
{
    PttTarget from = pttTargetFromGlobals();
    from.commPort = mOldCommPort;
    const KeyingSwitch result = keying().switchTo(from, pttTargetFromGlobals(), [this] { restorePreviousDevice(); });
    gCommPort = result.target.commPort;
    for (const KeyingNotice& notice : result.notices)
        MsgBox(notice.text, MsgStyle::Critical, kAppTitle, notice.detail);
    WriteSetting(Setting::CommPort, gCommPort == 0 ? GetCommPortName(0) : QString::number(gCommPort));
}

void FrmSettings::restorePreviousDevice()
{
    if (mOldCommPort < 1 || mOldCommPort > kPortCount)
        return;
    const auto slot = static_cast<std::size_t>(mOldCommPort);
    // Back to the device the port was open on when the dialog opened.
    if (mNewDevice[slot] != mOldDevice[slot]) {
        WriteSetting(Setting::PortDevice, mOldDevice[slot], mOldCommPort);
        mNewDevice[slot] = mOldDevice[slot];
    }
}

void FrmSettings::createMethodFrame(QWidget* window, double top)
{
    mFPTTMethod = new QGroupBox(QStringLiteral("PTT Method"), window);
    mFPTTMethod->setGeometry(twipsRect(kSecondColumn, top, 2925, kMethodHeight));
    const QString captions[] = {QStringLiteral("Serial line"), QStringLiteral("Hamlib"), QStringLiteral("CM108 GPIO")};
    for (int method = 0; method < 3; ++method) {
        mOptMethod[static_cast<std::size_t>(method)] =
            makeOption(captions[method], mFPTTMethod, 120 + method * 930, 240, 915);
        connect(mOptMethod[static_cast<std::size_t>(method)], &QRadioButton::toggled, this,
                [this, method](bool checked) {
                    if (checked)
                        optMethod_Click(method);
                });
    }
    const auto rowTop = [](int row) { return 240 + row * kDeviceRowHeight; };
    const auto addRow = [this, &rowTop](int row, const QString& caption, QWidget* field, QList<QWidget*>& group) {
        auto* label = new QLabel(caption, mFPTTMethod);
        label->setGeometry(twipsRect(120, rowTop(row) + 30, kDeviceLabelWidth, 255));
        field->setParent(mFPTTMethod);
        field->setGeometry(twipsRect(120 + kDeviceLabelWidth, rowTop(row), 2805 - 120 - kDeviceLabelWidth, 315));
        label->setBuddy(field);
        group << label << field;
    };
    mLblSerialNote = new QLabel(QStringLiteral("Keys the PTT line of the port above."), mFPTTMethod);
    mLblSerialNote->setGeometry(twipsRect(120, rowTop(1) + 30, 2685, 255));

    mCboHamlibModel = new QComboBox;
    mCboHamlibModel->setToolTip(QStringLiteral("Hamlib's rig model; 2 (NET rigctl) reaches rigctld"));
    addRow(1, QStringLiteral("Model"), mCboHamlibModel, mHamlibFields);
    mTxtHamlibPath = new QLineEdit;
    mTxtHamlibPath->setToolTip(QStringLiteral("host:port of rigctld, or the rig's device such as /dev/ttyUSB0"));
    mTxtHamlibPath->setMaxLength(511);
    addRow(2, QStringLiteral("Path"), mTxtHamlibPath, mHamlibFields);
    mTxtHamlibSpeed = new QSpinBox;
    mTxtHamlibSpeed->setRange(0, kHamlibSpeedMax);
    mTxtHamlibSpeed->setSpecialValueText(QStringLiteral("Model's own"));
    mTxtHamlibSpeed->setToolTip(QStringLiteral("Serial speed of a rig on a cable"));
    addRow(3, QStringLiteral("Speed"), mTxtHamlibSpeed, mHamlibFields);
    mCboHamlibPTT = new QComboBox;
    mCboHamlibPTT->addItems(
        {QStringLiteral("Key"), QStringLiteral("Key with microphone input"), QStringLiteral("Key with data input")});
    addRow(4, QStringLiteral("PTT"), mCboHamlibPTT, mHamlibFields);

    mCboCM108Device = new QComboBox;
    mCboCM108Device->setToolTip(QStringLiteral("The USB sound card whose GPIO pin keys the transmitter"));
    addRow(1, QStringLiteral("Device"), mCboCM108Device, mCM108Fields);
    mTxtCM108GPIO = new QSpinBox;
    mTxtCM108GPIO->setRange(1, kCM108GPIOMax);
    mTxtCM108GPIO->setToolTip(QStringLiteral("The GPIO pin wired to PTT; 3 on most interfaces"));
    addRow(2, QStringLiteral("GPIO"), mTxtCM108GPIO, mCM108Fields);

    mCmdTest = new QPushButton(QStringLiteral("Test"), mFPTTMethod);
    mCmdTest->setGeometry(twipsRect(1680, rowTop(5), 1125, 375));
    mCmdTest->setToolTip(QStringLiteral("Keys the transmitter for one second"));
    connect(mCmdTest, &QPushButton::clicked, this, &FrmSettings::cmdTest_Click);
    mTestTimer.setSingleShot(true);
    mTestTimer.setTimerType(Qt::PreciseTimer);
    connect(&mTestTimer, &QTimer::timeout, this, &FrmSettings::endTest, Qt::UniqueConnection);
}

void FrmSettings::fillMethodFields()
{
    for (QRadioButton* option : mOptMethod)
        deselect(option);
    const int method = gPTTMethod >= 0 && gPTTMethod <= 2 ? gPTTMethod : 0;
    mCboHamlibModel->clear();
    for (const HamlibModel& model : hamlibModels())
        mCboHamlibModel->addItem(QStringLiteral("%1 %2 (%3)").arg(model.maker, model.name).arg(model.model),
                                 model.model);
    const int modelIndex = mCboHamlibModel->findData(gHamlibModel);
    mCboHamlibModel->setCurrentIndex(modelIndex);
    if (modelIndex < 0)
        mCboHamlibModel->setEditText(QString::number(gHamlibModel));
    mTxtHamlibPath->setText(gHamlibPath);
    mTxtHamlibSpeed->setValue(gHamlibSpeed);
    mCboHamlibPTT->setCurrentIndex(std::clamp<int>(gHamlibPTT, 1, kHamlibPTTMax) - 1);
    mCboCM108Device->clear();
    mCboCM108Device->addItem(QStringLiteral("(the first CM108 found)"), QString());
    for (const Cm108Device& device : findCm108Devices())
        mCboCM108Device->addItem(device.label, device.path);
    const int deviceIndex = gCM108Device.isEmpty() ? 0 : mCboCM108Device->findText(gCM108Device);
    mCboCM108Device->setCurrentIndex(deviceIndex);
    if (deviceIndex < 0)
        mCboCM108Device->setEditText(gCM108Device);
    mTxtCM108GPIO->setValue(gCM108GPIO);
    mOptMethod[static_cast<std::size_t>(method)]->setChecked(true);
    showMethodFields();
}

void FrmSettings::showMethodFields()
{
    const int method = gPTTMethod;
    mLblSerialNote->setVisible(method == 0);
    for (QWidget* field : mHamlibFields)
        field->setVisible(method == 1);
    for (QWidget* field : mCM108Fields)
        field->setVisible(method == 2);
}

void FrmSettings::optMethod_Click(int method)
{
    if (!isLoaded() || method < 0 || method > 2)
        return;
    gPTTMethod = static_cast<std::int16_t>(method);
    showMethodFields();
}

PttTarget FrmSettings::fieldTarget() const
{
    PttTarget target = pttTargetFromGlobals();
    if (!mCboHamlibModel)
        return target;
    // A model typed as a number counts as well as one picked from the list.
    const QString modelText = mCboHamlibModel->currentText().trimmed();
    const int index = mCboHamlibModel->findText(modelText);
    bool typed = false;
    const int number = modelText.toInt(&typed);
    target.hamlib.model = index >= 0            ? mCboHamlibModel->itemData(index).toInt()
                          : typed && number > 0 ? number
                                                : gHamlibModel;
    target.hamlib.path = mTxtHamlibPath->text().trimmed();
    target.hamlib.speed = mTxtHamlibSpeed->value();
    target.hamlib.pttKind = mCboHamlibPTT->currentIndex() + 1;
    const QString deviceText = mCboCM108Device->currentText().trimmed();
    const int deviceIndex = mCboCM108Device->findText(deviceText);
    // A device picked from the list is stored by its sound card, which stays when the hidraw number moves.
    target.cm108Device = deviceIndex == 0 ? QString() : deviceText;
    target.cm108Gpio = mTxtCM108GPIO->value();
    return target;
}

bool FrmSettings::storePttSettings()
{
    if (!mCboHamlibModel)
        return false;
    const PttTarget target = fieldTarget();
    bool stored = false;
    const auto store = [&stored](bool differs, Setting id, const QString& value) {
        if (!differs)
            return;
        WriteSetting(id, value);
        stored = true;
    };
    store(target.method != mOldTarget.method, Setting::PTTMethod, pttMethodSettingText(gPTTMethod));
    store(target.hamlib.model != gHamlibModel, Setting::HamlibModel, QString::number(target.hamlib.model));
    store(target.hamlib.path != gHamlibPath, Setting::HamlibPath, target.hamlib.path);
    store(target.hamlib.speed != gHamlibSpeed, Setting::HamlibSpeed, QString::number(target.hamlib.speed));
    store(target.hamlib.pttKind != gHamlibPTT, Setting::HamlibPTT, QString::number(target.hamlib.pttKind));
    store(target.cm108Device != gCM108Device, Setting::CM108Device, target.cm108Device);
    store(target.cm108Gpio != gCM108GPIO, Setting::CM108GPIO, QString::number(target.cm108Gpio));
    gHamlibModel = target.hamlib.model;
    gHamlibPath = target.hamlib.path;
    gHamlibSpeed = target.hamlib.speed;
    gHamlibPTT = static_cast<std::int16_t>(target.hamlib.pttKind);
    gCM108Device = target.cm108Device;
    gCM108GPIO = static_cast<std::int16_t>(target.cm108Gpio);
    return stored;
}

bool FrmSettings::targetChanged() const
{
    const PttTarget now = pttTargetFromGlobals();
    if (now.method == PttMethod::Serial && mOldTarget.method == PttMethod::Serial)
        return portChanged();
    if (now.method != mOldTarget.method)
        return true;
    if (now.method == PttMethod::Hamlib)
        return now.hamlib != mOldTarget.hamlib;
    return now.cm108Device != mOldTarget.cm108Device || now.cm108Gpio != mOldTarget.cm108Gpio;
}

void FrmSettings::changeTarget()
{
    const PttTarget now = pttTargetFromGlobals();
    if (now.method == PttMethod::Serial && mOldTarget.method == PttMethod::Serial) {
        changePort();
        return;
    }
    PttTarget from = mOldTarget;
    from.commPort = mOldCommPort;
    const KeyingSwitch result = keying().switchTo(from, now);
    if (now.method == PttMethod::Serial)
        gCommPort = result.target.commPort;
    for (const KeyingNotice& notice : result.notices)
        MsgBox(notice.text, MsgStyle::Critical, kAppTitle, notice.detail);
    if (gCommPort != mOldCommPort)
        WriteSetting(Setting::CommPort, gCommPort == 0 ? GetCommPortName(0) : QString::number(gCommPort));
}

void FrmSettings::cmdTest_Click()
{
    if (mTesting)
        return;
    if (frmMain().player().isPlaying()) {
        MsgBox(QStringLiteral("A message is being sent: test once it has ended."), MsgStyle::Exclamation, kAppTitle);
        return;
    }
    PttTarget shown = fieldTarget();
    shown.commPort = gCommPort;
    PttTarget inForce = mOldTarget;
    inForce.commPort = mOldCommPort;
    const bool serial = shown.method == PttMethod::Serial && inForce.method == PttMethod::Serial;
    const bool same = serial ? shown.commPort == inForce.commPort && !portChanged() && shown.pttLine == inForce.pttLine
                      : shown.method != inForce.method ? false
                      : shown.method == PttMethod::Hamlib
                          ? shown.hamlib == inForce.hamlib
                          : shown.cm108Device == inForce.cm108Device && shown.cm108Gpio == inForce.cm108Gpio;
    if (!same) {
        MsgBox(QStringLiteral("Close Settings to put these choices in force, then test them."), MsgStyle::Exclamation,
               kAppTitle);
        return;
    }
    if (!inForce.keysSomething() || !keying().isOpen(inForce)) {
        MsgBox(QStringLiteral("Nothing to key: ") + pttTargetName(inForce) + QStringLiteral(" is not open."),
               MsgStyle::Exclamation, kAppTitle);
        return;
    }
    const Keying::Answer answer = keying().key(inForce, true);
    if (answer == Keying::Answer::Failed) {
        MsgBox(keyingMessage(KeyingStep::Key, inForce), MsgStyle::Critical, kAppTitle, keying().lastDetail());
        return;
    }
    mTesting = true;
    mTestTarget = inForce;
    if (isLoaded())
        mCmdTest->setEnabled(false);
    if (answer == Keying::Answer::Done)
        frmMain().setLineIndicator(inForce.pttLine, true);
    else
        connect(
            &keying(), &Keying::answered, this,
            [](bool on, const QString& text, const QString& detail) {
                if (on && !text.isEmpty())
                    QTimer::singleShot(0, [text, detail] { MsgBox(text, MsgStyle::Critical, kAppTitle, detail); });
            },
            Qt::SingleShotConnection);
    // Released on time even should this thread be held meanwhile.
    keying().watch(inForce, kTestMs + 250, nullptr);
    mTestTimer.start(kTestMs);
}

void FrmSettings::endTest()
{
    if (!mTesting)
        return;
    mTesting = false;
    mTestTimer.stop();
    keying().unwatch();
    if (isLoaded())
        mCmdTest->setEnabled(true);
    const Keying::Answer answer = keying().key(mTestTarget, false);
    if (answer == Keying::Answer::Pending)
        return; // the player shows the rig's answer, as for a message
    if (answer == Keying::Answer::Failed) {
        const QString detail = keying().lastDetail();
        // Closing makes the driver drop the lines: the transmitter must not stay keyed.
        keying().close(mTestTarget);
        MsgBox(keyingMessage(KeyingStep::Unkey, mTestTarget), MsgStyle::Critical, kAppTitle, detail);
    }
    frmMain().setLineIndicator(mTestTarget.pttLine, false);
}
