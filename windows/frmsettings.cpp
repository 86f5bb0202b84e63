#include "frmsettings.h"

#include "comm/modcomm.h"
#include "comm/modgetsetcom.h"
#include "comm/portdevices.h"
#include "comm/portmap.h"
#include "core/placement.h"
#include "core/resizer.h"
#include "core/settingkeys.h"
#include "core/settings.h"
#include "core/toolkit.h"
#include "windows/frmmain.h"
#include "windows/frmsetwaves.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>

namespace {

const QString kUseSetting = QStringLiteral(".\nUse setting to change the comm port.");

// The device rows sit below the original frames, which keep their positions, and Close comes last at
// the bottom, where a dialog's closing button is looked for.
constexpr double kDevicesTop = 2295;
constexpr double kDeviceRowHeight = 360;
constexpr double kDevicesHeight = 240 + kPortCount * kDeviceRowHeight + 15;
// The keyer times below the devices.
constexpr double kKeyerTop = kDevicesTop + kDevicesHeight + 120;
constexpr double kKeyerHeight = 240 + 4 * kDeviceRowHeight + 15;
constexpr double kCloseTop = kKeyerTop + kKeyerHeight + 120;
constexpr double kCloseHeight = 375;
// Room for "COM4" in any common font; the combo box takes the rest of the row.
constexpr double kDeviceLabelWidth = 615;

QRadioButton* makeOption(const QString& caption, QWidget* frame, double left, double top, double width)
{
    auto* option = new QRadioButton(caption, frame);
    option->setGeometry(twipsRect(left, top, width, 255));
    return option;
}

// An auto-exclusive option refuses to be cleared while it is the one selected.
void deselect(QRadioButton* option)
{
    option->setAutoExclusive(false);
    option->setChecked(false);
    option->setAutoExclusive(true);
}

// Opens `port` and drops both lines; on failure returns the start of the message.
QString openWithLinesClear(std::int16_t port)
{
    if (CommOpen(port, GetCommPortName(), kCommSettings) != 0)
        return QStringLiteral("Error opening ");
    if (CommSetLine(port, kLineDTR, 0) != 0)
        return QStringLiteral("Error clearing DTR line on ");
    if (CommSetLine(port, kLineRTS, 0) != 0)
        return QStringLiteral("Error clearing RTS line on ");
    return QString();
}

QString clearLines(std::int16_t port)
{
    if (CommSetLine(port, kLineDTR, 0) != 0)
        return QStringLiteral("Error clearing DTR line on ");
    if (CommSetLine(port, kLineRTS, 0) != 0)
        return QStringLiteral("Error clearing RTS line on ");
    return QString();
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
    window->resize(twipsRect(0, 0, 3165, kCloseTop + kCloseHeight + 120).size());

    mCmdClose = new QPushButton(QStringLiteral("Close"), window);
    mCmdClose->setGeometry(twipsRect(960, kCloseTop, 1215, kCloseHeight));

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

    mFKeyer = new QGroupBox(QStringLiteral("Keyer"), window);
    mFKeyer->setGeometry(twipsRect(120, kKeyerTop, 2925, kKeyerHeight));
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

    QWidget* order[] = {mCmdClose,     mOptCommNone,  mOptComm[0],       mOptComm[1],   mOptComm[2],
                        mOptComm[3],   mOptPTTDTR,    mOptPTTRTS,        mOptOnTopNo,   mOptOnTopYes,
                        mCboDevice[0], mCboDevice[1], mCboDevice[2],     mCboDevice[3], mTxtTransmitTimeout,
                        mTxtLeadTime,  mTxtTailTime,  mTxtRepeatInterval};
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
    for (QComboBox* combo : mCboDevice) {
        combo->setEditable(true);
        combo->setInsertPolicy(QComboBox::NoInsert);
    }
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
    mFKeyer = nullptr;
    mTxtTransmitTimeout = mTxtLeadTime = mTxtTailTime = mTxtRepeatInterval = nullptr;
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
    mTxtTransmitTimeout->setValue(gTransmitTimeout);
    mTxtLeadTime->setValue(gLeadTime);
    mTxtTailTime->setValue(gTailTime);
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
        return;
    }
    SettingsBatch saving;
    bool changed = storeDeviceChanges();
    changed = storeKeyerTimes() || changed;

    if (portChanged()) {
        changePort();
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
        frmMain().setPortName(GetCommPortName());
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
    if (mOldCommPort != 0 && CommClose(mOldCommPort) != 0)
        MsgBox(QStringLiteral("Error closing COM") + QString::number(mOldCommPort), MsgStyle::Critical, kAppTitle,
               CommErrorDetail());

    if (gCommPort != 0) {
        const QString failure = openWithLinesClear(gCommPort);
        if (!failure.isEmpty()) {
            const QString text = failure + GetCommPortName() + kUseSetting;
            const QString detail = CommErrorDetail();
            // What the attempt opened must not stay held, perhaps with a line up, under no name.
            CommClose(gCommPort);
            gCommPort = mOldCommPort;
            MsgBox(text, MsgStyle::Critical, kAppTitle, detail);
            restorePreviousPort();
        }
    }
    WriteSetting(Setting::CommPort, gCommPort == 0 ? GetCommPortName(0) : QString::number(gCommPort));
}

void FrmSettings::restorePreviousPort()
{
    if (gCommPort < 1 || gCommPort > kPortCount)
        return;
    const auto slot = static_cast<std::size_t>(gCommPort);
    // Back to the device the port was open on when the dialog opened.
    if (mNewDevice[slot] != mOldDevice[slot]) {
        WriteSetting(Setting::PortDevice, mOldDevice[slot], gCommPort);
        mNewDevice[slot] = mOldDevice[slot];
    }
    // A port whose close failed above is still held: it only needs its lines dropped.
    const QString failure = CommIsOpen(gCommPort) ? clearLines(gCommPort) : openWithLinesClear(gCommPort);
    if (failure.isEmpty())
        return;
    const QString text = failure + GetCommPortName() + kUseSetting;
    const QString detail = CommErrorDetail();
    CommClose(gCommPort);
    gCommPort = 0;
    MsgBox(text, MsgStyle::Critical, kAppTitle, detail);
}
