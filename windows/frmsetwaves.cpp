#include "frmsetwaves.h"

#include "core/addslash.h"
#include "core/placement.h"
#include "core/resizer.h"
#include "core/settingkeys.h"
#include "core/settings.h"
#include "core/toolkit.h"
#include "platform/levels.h"
#include "platform/mci.h"
#include "platform/wavefile.h"
#include "windows/frmmain.h"
#include "windows/modcommdia.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QSlider>
#include <QStyle>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <memory>

VBool gSetWaveCancelled = kTrue;
QString gSetWaveFile;
QString gSetWaveOldCaption;
QString gSetWaveNewCaption;
int gSetWaveGain = 0;

namespace {

const QString kWaveFilter = QStringLiteral("WAV  (*.wav)|*.wav|All  (*.*)|*.*");
const QString kWaveDialogTitle = QStringLiteral("Select WAV file");
constexpr int kCaptionMaxLength = 10;
// The meter's scale: quieter than this is no sound a radio would carry.
constexpr int kMeterFloorDbfs = -60;
constexpr int kListenPollMs = 100;
const QString kListen = QStringLiteral("Listen");
const QString kStopListening = QStringLiteral("Stop listening");
const QString kStarting = QStringLiteral("Starting\u2026");

// "+2.5", "0", "-6": a level the operator reads, to a tenth where it has one.
QString signedDb(double db)
{
    const double rounded = std::round(db * 10.0) / 10.0;
    QString text = QString::number(rounded == 0.0 ? 0.0 : rounded, 'f', rounded == std::round(rounded) ? 0 : 1);
    return rounded > 0.0 ? QLatin1Char('+') + text : text;
}

// "0:03.2 of 5:00"
QString elapsedText(qint64 ms)
{
    const qint64 tenths = ms / 100;
    return QStringLiteral("%1:%2.%3 of %4:00")
        .arg(tenths / 600)
        .arg(tenths / 10 % 60, 2, 10, QLatin1Char('0'))
        .arg(tenths % 10)
        .arg(kRecordMaxSeconds / 60);
}

QString gainLimitText(std::optional<double> peakDbfs, int gainDb)
{
    if (!peakDbfs)
        return QString();
    const double limited = limitedGainDb(*peakDbfs, gainDb);
    if (limited >= gainDb)
        return QString();
    return QStringLiteral("limited to %1 dB: the recording peaks at %2 dBFS")
        .arg(signedDb(limited), signedDb(*peakDbfs));
}

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

FrmSetWaves::FrmSetWaves(QObject* parent) : Form(parent)
{
    connect(&mRecorder, &Recorder::level, this, &FrmSetWaves::showLevel);
    connect(&mRecorder, &Recorder::running, this, [this] {
        if (mLblElapsed)
            mLblElapsed->setText(elapsedText(mRecorder.elapsedMs()));
    });
    connect(&mRecorder, &Recorder::stoppedItself, this, &FrmSetWaves::recordingEnded);
    mListenPoll.setInterval(kListenPollMs);
    connect(&mListenPoll, &QTimer::timeout, this, [this] {
        if (mListening && !mListening->isPlaying())
            stopListening();
    });
}

QWidget* FrmSetWaves::CreateWindow()
{
    // A plain window, not a QDialog: Enter and Escape must press neither button.
    QWidget* owner = frmMain().isLoaded() ? frmMain().window() : nullptr;
    auto* window = new QWidget(owner, Qt::Dialog);
    window->setWindowTitle(QStringLiteral("Set Wave File"));
    window->resize(twipsRect(0, 0, 6000, 5880).size());

    mLabel2 = new QLabel(QStringLiteral("Current Button Caption:"), window);
    mLabel2->setGeometry(twipsRect(240, 120, 2055, 255));
    mTxtCurCap = new QLineEdit(window);
    mTxtCurCap->setGeometry(twipsRect(240, 360, 5520, 375));
    mTxtCurCap->setReadOnly(true);
    mLabel1 = new QLabel(QStringLiteral("New Button Caption:  (Max 10 chars)"), window);
    mLabel1->setGeometry(twipsRect(240, 840, 5520, 255));
    mTxtButCap = new QLineEdit(window);
    mTxtButCap->setGeometry(twipsRect(240, 1080, 5520, 375));
    mTxtButCap->setMaxLength(kCaptionMaxLength);
    mTxtButCap->installEventFilter(this);
    mCmdSelectWave = new QPushButton(QStringLiteral("Select Wave File"), window);
    mCmdSelectWave->setGeometry(twipsRect(240, 1620, 2700, 495));
    mCmdNormaliseFile = new QPushButton(QStringLiteral("Normalise"), window);
    mCmdNormaliseFile->setGeometry(twipsRect(3060, 1620, 2700, 495));
    mCmdNormaliseFile->setToolTip(
        QStringLiteral("Makes a copy of the file peaking at -1 dBFS; the file stays as it is"));
    mLblFile = new QLabel(window);
    mLblFile->setGeometry(twipsRect(240, 2235, 5520, 255));
    mCmdRecord = new QPushButton(QStringLiteral("Record"), window);
    mCmdRecord->setGeometry(twipsRect(240, 2640, 1740, 495));
    mCmdStop = new QPushButton(QStringLiteral("Stop"), window);
    mCmdStop->setGeometry(twipsRect(2130, 2640, 1740, 495));
    mCmdListen = new QPushButton(kListen, window);
    mCmdListen->setGeometry(twipsRect(4020, 2640, 1740, 495));
    mPrgLevel = new QProgressBar(window);
    mPrgLevel->setGeometry(twipsRect(240, 3255, 3840, 255));
    mPrgLevel->setRange(kMeterFloorDbfs, 0);
    mPrgLevel->setValue(kMeterFloorDbfs);
    mPrgLevel->setFormat(QStringLiteral("%v dBFS"));
    mLblElapsed = new QLabel(elapsedText(0), window);
    mLblElapsed->setGeometry(twipsRect(4200, 3255, 1560, 255));
    mLblElapsed->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    mChkTrim = new QCheckBox(QStringLiteral("Trim silence"), window);
    mChkTrim->setGeometry(twipsRect(240, 3660, 2520, 300));
    mChkTrim->setChecked(true);
    mChkNormalise = new QCheckBox(QStringLiteral("Normalise to -1 dBFS"), window);
    mChkNormalise->setGeometry(twipsRect(2880, 3660, 2880, 300));
    mChkNormalise->setChecked(true);
    mLblGain = new QLabel(QStringLiteral("Gain:"), window);
    mLblGain->setGeometry(twipsRect(240, 4125, 720, 285));
    mSldGain = new QSlider(Qt::Horizontal, window);
    mSldGain->setGeometry(twipsRect(960, 4125, 3780, 285));
    mSldGain->setRange(kGainMinDb, kGainMaxDb);
    mSldGain->setPageStep(3);
    mSldGain->setTickPosition(QSlider::TicksBelow);
    mSldGain->setTickInterval(5);
    mLblGainValue = new QLabel(window);
    mLblGainValue->setGeometry(twipsRect(4860, 4125, 900, 285));
    mLblGainValue->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    mLblLimit = new QLabel(window);
    mLblLimit->setGeometry(twipsRect(240, 4560, 5520, 480));
    mLblLimit->setWordWrap(true);
    mCmdCancel = new QPushButton(QStringLiteral("Cancel"), window);
    mCmdCancel->setGeometry(twipsRect(360, 5220, 1095, 495));
    mCmdOk = new QPushButton(QStringLiteral("Ok"), window);
    mCmdOk->setGeometry(twipsRect(4545, 5220, 1095, 495));
    // Clicking a button must take the focus, so the caption is copied before the click runs.
    for (QPushButton* button :
         {mCmdSelectWave, mCmdNormaliseFile, mCmdRecord, mCmdStop, mCmdListen, mCmdCancel, mCmdOk})
        button->setFocusPolicy(Qt::StrongFocus);

    QWidget::setTabOrder(mTxtButCap, mCmdSelectWave);
    QWidget::setTabOrder(mCmdSelectWave, mCmdNormaliseFile);
    QWidget::setTabOrder(mCmdNormaliseFile, mCmdRecord);
    QWidget::setTabOrder(mCmdRecord, mCmdStop);
    QWidget::setTabOrder(mCmdStop, mCmdListen);
    QWidget::setTabOrder(mCmdListen, mChkTrim);
    QWidget::setTabOrder(mChkTrim, mChkNormalise);
    QWidget::setTabOrder(mChkNormalise, mSldGain);
    QWidget::setTabOrder(mSldGain, mCmdCancel);
    QWidget::setTabOrder(mCmdCancel, mCmdOk);
    QWidget::setTabOrder(mCmdOk, mTxtCurCap);

    connect(mCmdSelectWave, &QPushButton::clicked, this, &FrmSetWaves::cmdSelectWave_Click);
    connect(mCmdNormaliseFile, &QPushButton::clicked, this, &FrmSetWaves::cmdNormaliseFile_Click);
    connect(mCmdRecord, &QPushButton::clicked, this, &FrmSetWaves::cmdRecord_Click);
    connect(mCmdStop, &QPushButton::clicked, this, &FrmSetWaves::cmdStop_Click);
    connect(mCmdListen, &QPushButton::clicked, this, &FrmSetWaves::cmdListen_Click);
    connect(mSldGain, &QSlider::valueChanged, this, &FrmSetWaves::sldGain_Change);
    connect(mCmdCancel, &QPushButton::clicked, this, &FrmSetWaves::cmdCancel_Click);
    connect(mCmdOk, &QPushButton::clicked, this, &FrmSetWaves::cmdOk_Click);
    // Only while something runs, so Escape presses nothing otherwise.
    mEscape = new QShortcut(QKeySequence(Qt::Key_Escape), window);
    mEscape->setEnabled(false);
    connect(mEscape, &QShortcut::activated, this, &FrmSetWaves::cmdStop_Click);

    new ProportionalResizer(window);
    fitToCaptions(window);
    centreOver(window, frmMain().isLoaded() ? frmMain().window() : nullptr);
    mTxtButCap->setFocus();
    return window;
}

void FrmSetWaves::ControlsDestroyed()
{
    // Closing the dialog ends what it started; a recording not yet saved is given up.
    mRecorder.stop();
    (void)mRecorder.takeSamples();
    mListenPoll.stop();
    mListening.reset();
    ++mOpening;
    mBusy = 0;
    mLabel1 = mLabel2 = nullptr;
    mTxtCurCap = mTxtButCap = nullptr;
    mCmdSelectWave = mCmdCancel = mCmdOk = nullptr;
    mCmdNormaliseFile = mCmdRecord = mCmdStop = mCmdListen = nullptr;
    mLblFile = mLblElapsed = mLblGain = mLblGainValue = mLblLimit = nullptr;
    mPrgLevel = nullptr;
    mChkTrim = mChkNormalise = nullptr;
    mSldGain = nullptr;
    mEscape = nullptr;
}

void FrmSetWaves::Form_Load()
{
    mTxtCurCap->setText(gSetWaveOldCaption);
    mPeakDbfs.reset();
    mSldGain->setValue(std::clamp(gSetWaveGain, kGainMinDb, kGainMaxDb));
    setChosenFile(gSetWaveFile);
    updateGainTexts();
    updateStates();
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
        setChosenFile(chosen);
}

void FrmSetWaves::setChosenFile(const QString& path)
{
    gSetWaveFile = path;
    mPeakDbfs.reset();
    if (mLblFile) {
        const QString name = path.isEmpty() ? QStringLiteral("No file chosen") : QFileInfo(path).fileName();
        mLblFile->setText(mLblFile->fontMetrics().elidedText(name, Qt::ElideMiddle, mLblFile->width()));
        mLblFile->setToolTip(path);
    }
    updateGainTexts();
    updateStates();
    if (path.isEmpty())
        return;
    // Read through to its end, which may take a while on a slow disk.
    inBackground(
        [this, path] {
            const std::optional<double> peak = filePeakDbfs(path);
            return [this, path, peak] {
                if (gSetWaveFile != path)
                    return;
                mPeakDbfs = peak;
                updateGainTexts();
            };
        },
        false);
}

void FrmSetWaves::inBackground(std::function<std::function<void()>()> work, bool busy)
{
    if (busy)
        ++mBusy;
    updateStates();
    const std::uint64_t opening = mOpening;
    QPointer<FrmSetWaves> self(this);
    QThread* thread = QThread::create([self, opening, busy, work = std::move(work)] {
        std::function<void()> done = work();
        // Whether the outcome is still wanted is decided on the UI thread: the dialog may have closed, or
        // opened again, meanwhile. The form itself lives for the run.
        QMetaObject::invokeMethod(
            self.data(),
            [self, opening, busy, done = std::move(done)] {
                if (!self || self->mOpening != opening || !self->isLoaded())
                    return;
                if (busy)
                    --self->mBusy;
                done();
                self->updateStates();
            },
            Qt::QueuedConnection);
    });
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

void FrmSetWaves::updateStates()
{
    if (!mCmdOk)
        return;
    const bool recording = isRecording();
    const bool listening = isListening();
    const bool idle = !recording && !isBusy();
    const bool haveFile = !gSetWaveFile.isEmpty();
    mCmdSelectWave->setEnabled(idle);
    mCmdNormaliseFile->setEnabled(idle && haveFile);
    mCmdRecord->setEnabled(idle);
    mCmdStop->setEnabled(recording || listening);
    mCmdListen->setEnabled(idle && haveFile);
    mCmdListen->setText(listening ? kStopListening : kListen);
    mChkTrim->setEnabled(!isBusy());
    mChkNormalise->setEnabled(!isBusy());
    mCmdOk->setEnabled(idle);
    mEscape->setEnabled(recording || listening);
}

void FrmSetWaves::updateGainTexts()
{
    if (!mLblGainValue)
        return;
    mLblGainValue->setText(signedDb(gSetWaveGain) + QStringLiteral(" dB"));
    mLblLimit->setText(gainLimitText(mPeakDbfs, gSetWaveGain));
}

void FrmSetWaves::sldGain_Change(int value)
{
    gSetWaveGain = std::clamp(value, kGainMinDb, kGainMaxDb);
    updateGainTexts();
}

void FrmSetWaves::showLevel(double peakDbfs)
{
    if (!mPrgLevel)
        return;
    mPrgLevel->setValue(std::clamp(static_cast<int>(std::lround(peakDbfs)), kMeterFloorDbfs, 0));
    mLblElapsed->setText(elapsedText(mRecorder.elapsedMs()));
}

void FrmSetWaves::cmdRecord_Click()
{
    if (!mCmdRecord || isRecording() || isBusy())
        return;
    stopListening();
    QString error;
    if (!mRecorder.start(gAudioInput, error)) {
        MsgBox(QStringLiteral("Recording could not start: %1.").arg(error), MsgStyle::Exclamation, kAppTitle);
        return;
    }
    mPrgLevel->setValue(kMeterFloorDbfs);
    // A sound server can take a second to start the stream; the time runs from its first sound.
    mLblElapsed->setText(kStarting);
    updateStates();
}

void FrmSetWaves::cmdStop_Click()
{
    if (isRecording()) {
        mRecorder.stop();
        recordingEnded(QString());
    } else {
        stopListening();
    }
}

void FrmSetWaves::recordingEnded(const QString& reason)
{
    if (!mCmdOk)
        return;
    mPrgLevel->setValue(kMeterFloorDbfs);
    mLblElapsed->setText(elapsedText(mRecorder.elapsedMs()));
    if (!reason.isEmpty())
        MsgBox(reason, MsgStyle::Information, kAppTitle);
    // The box ran an event loop of its own.
    if (!mCmdOk)
        return;
    auto samples = std::make_shared<std::vector<float>>(mRecorder.takeSamples());
    const bool trim = mChkTrim->isChecked();
    const bool normalise = mChkNormalise->isChecked();
    const QString caption = mTxtButCap->text().trimmed().isEmpty() ? gSetWaveOldCaption : mTxtButCap->text();
    const QString stem = messageFileStem(caption, QDateTime::currentDateTime());
    inBackground([this, samples, trim, normalise, stem] {
        Pcm pcm{kRecordRate, 1, SampleDepth::Int16, std::move(*samples)};
        const bool nothingCame = pcm.samples.empty();
        if (trim) {
            const FrameSpan span = soundSpan(pcm.samples.data(), pcm.samples.size(), 1, kRecordRate);
            pcm.samples.erase(pcm.samples.begin() + static_cast<std::ptrdiff_t>(span.end), pcm.samples.end());
            pcm.samples.erase(pcm.samples.begin(), pcm.samples.begin() + static_cast<std::ptrdiff_t>(span.begin));
        }
        QString error;
        QString path;
        // A server that never started the stream gives nothing at all, which is not the same as silence.
        if (nothingCame)
            error = QStringLiteral("Nothing was recorded: the sound input gave no sound. Is [Audio] Input the "
                                   "right one, and is the sound server running?");
        else if (pcm.samples.empty())
            error = QStringLiteral("Nothing in the recording reached %1 dBFS, so it was not kept.")
                        .arg(signedDb(kTrimThresholdDbfs));
        if (error.isEmpty() && normalise)
            ::normalise(pcm.samples.data(), pcm.samples.size());
        if (error.isEmpty()) {
            path = saveNewWav(messageFolder(), stem, pcm, error);
            if (path.isEmpty())
                error = QStringLiteral("The recording could not be saved; nothing was changed.\n\n%1").arg(error);
        }
        return [this, path, error] { chooseOrTell(path, error); };
    });
}

void FrmSetWaves::chooseOrTell(const QString& path, const QString& error)
{
    if (path.isEmpty())
        MsgBox(error, MsgStyle::Exclamation, kAppTitle);
    else
        setChosenFile(path);
}

void FrmSetWaves::cmdNormaliseFile_Click()
{
    if (!mCmdNormaliseFile || gSetWaveFile.isEmpty() || isRecording() || isBusy())
        return;
    stopListening();
    const QString source = gSetWaveFile;
    const QString stem = safeFileStem(QFileInfo(source).completeBaseName()) + QStringLiteral("_normalised");
    inBackground([this, source, stem] {
        QString error;
        QString path;
        std::optional<Pcm> pcm = readSoundFile(source, error);
        if (pcm && dbfsOf(peakOf(pcm->samples.data(), pcm->samples.size())) <= kSilenceDbfs)
            error = QStringLiteral("%1 is silent: there is nothing to normalise.").arg(source);
        else if (pcm) {
            ::normalise(pcm->samples.data(), pcm->samples.size());
            path = saveNewWav(messageFolder(), stem, *pcm, error);
        }
        if (path.isEmpty())
            error = QStringLiteral("No normalised copy was made; nothing was changed.\n\n%1").arg(error);
        return [this, path, error] { chooseOrTell(path, error); };
    });
}

void FrmSetWaves::cmdListen_Click()
{
    if (isListening()) {
        stopListening();
        return;
    }
    if (!mCmdListen || gSetWaveFile.isEmpty() || isRecording() || isBusy())
        return;
    // The system's default output and no keying: this is for the operator's ears, not for the radio.
    std::int32_t error = 0;
    std::unique_ptr<AudioStream> stream =
        audioBackend().open(gSetWaveFile, PlayOptions{QString(), double(gSetWaveGain)}, error);
    if (stream && (error = stream->play()) != 0)
        stream.reset();
    if (!stream) {
        MsgBox(QStringLiteral("%1 cannot be played: %2").arg(gSetWaveFile, mciErrorText(error)), MsgStyle::Exclamation,
               kAppTitle);
        return;
    }
    mListening = std::move(stream);
    mListenPoll.start();
    updateStates();
}

void FrmSetWaves::stopListening()
{
    mListenPoll.stop();
    if (mListening) {
        mListening->stop();
        mListening.reset();
    }
    updateStates();
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
    gSetWaveGain = gMessageGains[index];
    SetMousePointer(kPointerBusy);
    frmSetWaves().ShowModal();
    if (gSetWaveCancelled == kTrue)
        return;

    gWaveFiles[index] = gSetWaveFile;
    if (gSetWaveFile.isEmpty())
        gSetWaveNewCaption = QStringLiteral("(Blank)");
    gButtonCaptions[index] = gSetWaveNewCaption;
    gMessageGains[index] = static_cast<std::int16_t>(std::clamp(gSetWaveGain, kGainMinDb, kGainMaxDb));
    {
        SettingsBatch saving;
        WriteSetting(Setting::MessageFile, gSetWaveFile, n);
        WriteSetting(Setting::MessageCaption, gSetWaveNewCaption, n);
        WriteSetting(Setting::MessageGain, QString::number(gMessageGains[index]), n);
    }
    frmMain().EnableMessageButtons(true);
}
