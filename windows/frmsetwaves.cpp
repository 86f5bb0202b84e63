#include "frmsetwaves.h"

#include "core/addslash.h"
#include "core/placement.h"
#include "core/resizer.h"
#include "core/settingkeys.h"
#include "core/settings.h"
#include "core/toolkit.h"
#include "windows/frmmain.h"
#include "windows/modcommdia.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>

#include <algorithm>
#include <cmath>

VBool gSetWaveCancelled = kTrue;
QString gSetWaveFile;
QString gSetWaveOldCaption;
QString gSetWaveNewCaption;

namespace {

const QString kWaveFilter = QStringLiteral("WAV  (*.wav)|*.wav|All  (*.*)|*.*");
const QString kWaveDialogTitle = QStringLiteral("Select WAV file");
constexpr int kCaptionMaxLength = 10;

} // namespace

FrmSetWaves& frmSetWaves()
{
    static FrmSetWaves* form = new FrmSetWaves(QCoreApplication::instance());
    return *form;
}

void fitToCaptions(QWidget* window)
{
    // The twips were laid out for a narrower system font than desktops use today.
    constexpr double kMostGrowth = 2.0;
    double factor = 1.0;
    const auto widgets = window->findChildren<QWidget*>();
    for (const QWidget* widget : widgets) {
        int needed = 0;
        if (const auto* label = qobject_cast<const QLabel*>(widget))
            needed = label->sizeHint().width();
        else if (const auto* option = qobject_cast<const QRadioButton*>(widget))
            needed = option->sizeHint().width();
        else if (const auto* button = qobject_cast<const QPushButton*>(widget))
            needed = button->fontMetrics().horizontalAdvance(button->text()) +
                     2 * button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
        else if (const auto* frame = qobject_cast<const QGroupBox*>(widget))
            needed = frame->fontMetrics().horizontalAdvance(frame->title()) + twipsToPixelsX(240);
        if (needed > 0 && widget->width() > 0)
            factor = std::max(factor, double(needed) / widget->width());
    }
    factor = std::min(factor, kMostGrowth);
    if (factor > 1.0)
        window->resize(int(std::ceil(window->width() * factor)), int(std::ceil(window->height() * factor)));
}

FrmSetWaves::FrmSetWaves(QObject* parent) : Form(parent) {}

QWidget* FrmSetWaves::CreateWindow()
{
    // A plain window, not a QDialog: Enter and Escape must press neither button.
    QWidget* owner = frmMain().isLoaded() ? frmMain().window() : nullptr;
    auto* window = new QWidget(owner, Qt::Dialog);
    window->setWindowTitle(QStringLiteral("Set Wave File"));
    window->resize(twipsRect(0, 0, 3285, 3105).size());

    mLabel2 = new QLabel(QStringLiteral("Current Button Caption:"), window);
    mLabel2->setGeometry(twipsRect(240, 120, 2055, 255));
    mTxtCurCap = new QLineEdit(window);
    mTxtCurCap->setGeometry(twipsRect(240, 360, 2775, 375));
    mTxtCurCap->setReadOnly(true);
    mLabel1 = new QLabel(QStringLiteral("New Button Caption:  (Max 10 chars)"), window);
    mLabel1->setGeometry(twipsRect(240, 960, 2775, 255));
    mTxtButCap = new QLineEdit(window);
    mTxtButCap->setGeometry(twipsRect(240, 1200, 2775, 375));
    mTxtButCap->setMaxLength(kCaptionMaxLength);
    mTxtButCap->installEventFilter(this);
    mCmdSelectWave = new QPushButton(QStringLiteral("Select Wave File"), window);
    mCmdSelectWave->setGeometry(twipsRect(240, 1800, 2775, 495));
    mCmdCancel = new QPushButton(QStringLiteral("Cancel"), window);
    mCmdCancel->setGeometry(twipsRect(360, 2520, 1095, 495));
    mCmdOk = new QPushButton(QStringLiteral("Ok"), window);
    mCmdOk->setGeometry(twipsRect(1800, 2520, 1095, 495));
    // Clicking a button must take the focus, so the caption is copied before the click runs.
    for (QPushButton* button : {mCmdSelectWave, mCmdCancel, mCmdOk})
        button->setFocusPolicy(Qt::StrongFocus);

    QWidget::setTabOrder(mTxtButCap, mCmdSelectWave);
    QWidget::setTabOrder(mCmdSelectWave, mCmdCancel);
    QWidget::setTabOrder(mCmdCancel, mCmdOk);
    QWidget::setTabOrder(mCmdOk, mTxtCurCap);

    connect(mCmdSelectWave, &QPushButton::clicked, this, &FrmSetWaves::cmdSelectWave_Click);
    connect(mCmdCancel, &QPushButton::clicked, this, &FrmSetWaves::cmdCancel_Click);
    connect(mCmdOk, &QPushButton::clicked, this, &FrmSetWaves::cmdOk_Click);

    new ProportionalResizer(window);
    fitToCaptions(window);
    centreOver(window, frmMain().isLoaded() ? frmMain().window() : nullptr);
    mTxtButCap->setFocus();
    return window;
}

void FrmSetWaves::ControlsDestroyed()
{
    mLabel1 = mLabel2 = nullptr;
    mTxtCurCap = mTxtButCap = nullptr;
    mCmdSelectWave = mCmdCancel = mCmdOk = nullptr;
}

void FrmSetWaves::Form_Load()
{
    mTxtCurCap->setText(gSetWaveOldCaption);
}

void FrmSetWaves::Form_Activate()
{
    SetMousePointer(kPointerDefault);
}

void FrmSetWaves::txtButCap_LostFocus()
{
    if (mTxtButCap)
        gSetWaveNewCaption = mTxtButCap->text();
}

void FrmSetWaves::cmdSelectWave_Click()
{
    const QString initialDir = AddSlash(sampleFolder()) + QStringLiteral("wav");
    const QString chosen = ShowOpenFileDialog(window(), kWaveFilter, kWaveDialogTitle, initialDir, QString());
    // A cancelled pick keeps the file chosen earlier in this opening.
    if (!chosen.isEmpty())
        gSetWaveFile = chosen;
}

void FrmSetWaves::cmdOk_Click()
{
    gSetWaveCancelled = kFalse;
    Unload();
}

void FrmSetWaves::cmdCancel_Click()
{
    Unload();
}

void FrmSetWaves::Form_Unload(VBool& cancel)
{
    if (gSetWaveNewCaption.isEmpty() && !gSetWaveFile.isEmpty() && gSetWaveCancelled == kFalse) {
        gSetWaveCancelled = kTrue;
        cancel = kTrue;
        MsgBox(QStringLiteral("You forgot a button caption for the WAV file you have set!"), MsgStyle::Exclamation,
               kAppTitle);
        if (mTxtButCap)
            mTxtButCap->setFocus();
    }
}

bool FrmSetWaves::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == mTxtButCap && event->type() == QEvent::FocusOut)
        txtButCap_LostFocus();
    return Form::eventFilter(watched, event);
}

void AssignMessageButton(int n)
{
    if (n < 1 || n > kMessageCount)
        return;
    const auto index = static_cast<std::size_t>(n);
    gSetWaveCancelled = kTrue;
    gSetWaveFile.clear();
    gSetWaveOldCaption = frmMain().buttonCaption(n - 1);
    gSetWaveNewCaption.clear();
    SetMousePointer(kPointerBusy);
    frmSetWaves().ShowModal();
    if (gSetWaveCancelled == kTrue)
        return;

    gWaveFiles[index] = gSetWaveFile;
    if (gSetWaveFile.isEmpty())
        gSetWaveNewCaption = QStringLiteral("(Blank)");
    gButtonCaptions[index] = gSetWaveNewCaption;
    {
        SettingsBatch saving;
        WriteSetting(Setting::MessageFile, gSetWaveFile, n);
        WriteSetting(Setting::MessageCaption, gSetWaveNewCaption, n);
    }
    frmMain().EnableMessageButtons(true);
}
