#include "core/settingkeys.h"
#include "core/settings.h"
#include "core/startup.h"
#include "core/toolkit.h"
#include "platform/levels.h"
#include "platform/wavefile.h"
#include "tests/fakes/fake_audio_input.h"
#include "tests/fakes/window_fixture.h"
#include "windows/frmmain.h"
#include "windows/frmsetwaves.h"
#include "windows/modcommdia.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScrollBar>
#include <QSettings>
#include <QSlider>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <numbers>
#include <sys/mount.h>
#include <unistd.h>

namespace {

using Steps = std::function<void(FrmSetWaves&)>;

QStringList buttonTexts()
{
    QStringList texts;
    for (int i = 0; i < 10; ++i)
        texts << frmMain().cmdMsg(i)->text();
    return texts;
}

NamedControls namedControls()
{
    FrmSetWaves& d = frmSetWaves();
    return {{QStringLiteral("current caption label"), d.Label2()},
            {QStringLiteral("current caption"), d.txtCurCap()},
            {QStringLiteral("new caption label"), d.Label1()},
            {QStringLiteral("new caption"), d.txtButCap()},
            {QStringLiteral("Select Wave File"), d.cmdSelectWave()},
            {QStringLiteral("Normalise"), d.cmdNormaliseFile()},
            {QStringLiteral("Record"), d.cmdRecord()},
            {QStringLiteral("Stop"), d.cmdStop()},
            {QStringLiteral("Listen"), d.cmdListen()},
            {QStringLiteral("Trim silence"), d.chkTrim()},
            {QStringLiteral("Normalise to -1 dBFS"), d.chkNormalise()},
            {QStringLiteral("Gain"), d.sldGain()},
            {QStringLiteral("Cancel"), d.cmdCancel()},
            {QStringLiteral("Ok"), d.cmdOk()}};
}

// The controls as they are read, top to bottom and left to right.
QStringList readingOrder()
{
    auto named = namedControls();
    std::stable_sort(named.begin(), named.end(), [](const auto& a, const auto& b) {
        return a.second->y() != b.second->y() ? a.second->y() < b.second->y() : a.second->x() < b.second->x();
    });
    QStringList order;
    for (const auto& control : named)
        order << control.first;
    return order;
}

// Neither button answers Enter or Escape.
QStringList defaultButtons()
{
    QStringList named;
    for (const auto& [name, control] : namedControls()) {
        const auto* button = qobject_cast<const QPushButton*>(control);
        if (button && (button->isDefault() || button->autoDefault()))
            named << name;
    }
    return named;
}

QStringList enabledOf(const QList<QPushButton*>& buttons)
{
    QStringList names;
    for (const QPushButton* button : buttons) {
        if (button->isEnabled())
            names << button->text();
    }
    return names;
}

// Silence, a 1 kHz tone of `amplitude`, silence: at the recording rate.
std::vector<float> toneBetweenSilences(double before, double tone, double after, double amplitude)
{
    const auto frames = [](double seconds) { return static_cast<std::size_t>(std::lround(seconds * kRecordRate)); };
    std::vector<float> samples(frames(before), 0.0f);
    for (std::size_t i = 0; i < frames(tone); ++i)
        samples.push_back(float(amplitude * std::sin(2.0 * std::numbers::pi * 1000.0 * double(i) / kRecordRate)));
    samples.resize(samples.size() + frames(after), 0.0f);
    return samples;
}

// Every file in `folder`, hidden ones too: a temporary file left behind shows here.
QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
}

QString audioSetting(const QString& key, const QString& settingsFile)
{
    QSettings settings(settingsFile, QSettings::IniFormat);
    return settings.value(QStringLiteral("Audio/") + key).toString();
}

} // namespace

class TestFrmSetWaves : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindowFixture> mFix;
    std::unique_ptr<QTemporaryDir> mProgramDir;
    std::unique_ptr<QTemporaryDir> mDataHome;
    std::unique_ptr<FakeAudioInput> mInput;
    QByteArray mOldDataHome;
    QString mMounted;                     // a tmpfs this test mounted, unmounted by cleanup
    QPair<int, QString> mMeterBeforeStop; // the meter and the time shown when the last recording was stopped
    bool mLeftOpen = false;

    QString messagesDir() const { return mDataHome->path() + QStringLiteral("/WrenKeyer/messages"); }

    // A real WAV of `channels` whose peak is `peakDbfs`, in the wav folder.
    QString makeWave(const QString& name, double peakDbfs, int channels = 1)
    {
        Pcm pcm{kRecordRate, channels, SampleDepth::Int16, {}};
        const double amplitude = peakDbfs <= kSilenceDbfs ? 0.0 : gainFactor(peakDbfs);
        for (float sample : toneBetweenSilences(0.0, 0.3, 0.0, 1.0)) {
            for (int c = 0; c < channels; ++c)
                pcm.samples.push_back(float(sample * amplitude));
        }
        QString error;
        const QString written = saveNewWav(wavDir(), name, pcm, error);
        return written;
    }

    // Records `samples` from the fake input: Record, the samples, then Stop (or `stopKey`), and waits for
    // the file to be written.
    void record(FrmSetWaves& dialog, const std::vector<float>& samples, bool byEscape = false)
    {
        QTest::mouseClick(dialog.cmdRecord(), Qt::LeftButton);
        QVERIFY(dialog.isRecording());
        QVERIFY(!dialog.cmdOk()->isEnabled());
        QCOMPARE(dialog.lblElapsed()->text(), QStringLiteral("Starting\u2026"));
        QVERIFY(mInput->feed(samples));
        mMeterBeforeStop = {dialog.prgLevel()->value(), dialog.lblElapsed()->text()};
        if (byEscape)
            QTest::keyClick(dialog.window()->focusWidget(), Qt::Key_Escape);
        else
            QTest::mouseClick(dialog.cmdStop(), Qt::LeftButton);
        QVERIFY(!dialog.isRecording());
        QVERIFY(!mInput->running());
        QTRY_VERIFY(!dialog.isBusy());
    }

    QString wavDir() const { return mProgramDir->path() + QStringLiteral("/wav"); }

    QString makeRecording(const QString& name) const
    {
        const QString path = wavDir() + QLatin1Char('/') + name;
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write("RIFF");
        return path;
    }

    // Right-clicks button n and runs `steps` once its dialog is up. A dialog the
    // steps leave open is cancelled, so a failed step cannot hang the run.
    void assign(int n, const Steps& steps)
    {
        QTimer::singleShot(0, this, [this, steps] {
            FrmSetWaves& dialog = frmSetWaves();
            if (!dialog.isLoaded())
                return;
            (void)QTest::qWaitForWindowActive(dialog.window());
            steps(dialog);
            if (dialog.isLoaded()) {
                mLeftOpen = true;
                gSetWaveCancelled = kTrue;
                dialog.cmdCancel_Click();
            }
        });
        AssignMessageButton(n);
    }

    void assignSteps(int n, const QStringList& steps)
    {
        assign(n, [&](FrmSetWaves& dialog) {
            for (const QString& step : steps)
                act(dialog, step);
        });
    }

    // Runs one scripted step: type:TEXT, pick:NAME, pickcancel, ok, cancel, closebox, key:NAME.
    void act(FrmSetWaves& dialog, const QString& step)
    {
        QVERIFY2(dialog.isLoaded(), qPrintable(QStringLiteral("the dialog closed before ") + step));
        const QString arg = step.section(QLatin1Char(':'), 1);
        if (step.startsWith(QLatin1String("type:"))) {
            QTest::mouseClick(dialog.txtButCap(), Qt::LeftButton);
            QTest::keyClicks(dialog.txtButCap(), arg);
        } else if (step.startsWith(QLatin1String("pick:"))) {
            FileDialogs::setNextFile(makeRecording(arg));
            QTest::mouseClick(dialog.cmdSelectWave(), Qt::LeftButton);
        } else if (step == QLatin1String("pickcancel")) {
            FileDialogs::setNextCancel();
            QTest::mouseClick(dialog.cmdSelectWave(), Qt::LeftButton);
        } else if (step == QLatin1String("ok")) {
            QTest::mouseClick(dialog.cmdOk(), Qt::LeftButton);
        } else if (step == QLatin1String("cancel")) {
            QTest::mouseClick(dialog.cmdCancel(), Qt::LeftButton);
        } else if (step == QLatin1String("closebox")) {
            dialog.window()->close();
        } else if (step.startsWith(QLatin1String("key:"))) {
            const Qt::Key key = arg == QLatin1String("Escape")  ? Qt::Key_Escape
                                : arg == QLatin1String("Enter") ? Qt::Key_Enter
                                                                : Qt::Key_Return;
            QTest::keyClick(dialog.window()->focusWidget(), key);
        } else {
            QFAIL(qPrintable(QStringLiteral("unknown step ") + step));
        }
    }

private slots:
    void init()
    {
        mFix = std::make_unique<MainWindowFixture>();
        mProgramDir = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir(mProgramDir->path()).mkpath(QStringLiteral("wav")));
        ScriptedDesktop::setProgramFolder(mProgramDir->path());
        FileDialogs::reset();
        FileDialogs::setScripted(true);
        mLeftOpen = false;
        mDataHome = std::make_unique<QTemporaryDir>();
        mOldDataHome = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(mDataHome->path()));
        mInput = std::make_unique<FakeAudioInput>();
        LoadSettings();
        frmMain().Load();
        MessageBoxes::asked().clear();
    }

    void cleanup()
    {
        if (!mMounted.isEmpty())
            ::umount2(QFile::encodeName(mMounted).constData(), MNT_DETACH);
        mMounted.clear();
        mInput.reset();
        if (mOldDataHome.isNull())
            qunsetenv("XDG_DATA_HOME");
        else
            qputenv("XDG_DATA_HOME", mOldDataHome);
        mDataHome.reset();
        QVERIFY2(!mLeftOpen, "the dialog was still open after the test's steps");
        FileDialogs::reset();
        ScriptedDesktop::setProgramFolder(QString());
        mProgramDir.reset();
        mFix.reset();
    }

    void shownTextsAndStates_data()
    {
        FrmSetWaves& d = frmSetWaves();
        addShownRows({
            {"caption", [&d] { return d.window()->windowTitle(); }, "Set Wave File"},
            {"current caption label", [&d] { return d.Label2()->text(); }, "Current Button Caption:"},
            {"new caption label", [&d] { return d.Label1()->text(); }, "New Button Caption:  (Max 10 chars)"},
            {"buttons",
             [&d] {
                 return QStringList{d.cmdSelectWave()->text(), d.cmdCancel()->text(), d.cmdOk()->text()};
             },
             QStringList{"Select Wave File", "Cancel", "Ok"}},
            {"current caption", [&d] { return d.txtCurCap()->text(); }, "QTH/NAME"},
            {"current caption read-only", [&d] { return d.txtCurCap()->isReadOnly(); }, true},
            {"new caption starts empty", [&d] { return d.txtButCap()->text(); }, ""},
            {"new caption at most", [&d] { return d.txtButCap()->maxLength(); }, 10},
            {"recording controls",
             [&d] {
                 return QStringList{d.cmdNormaliseFile()->text(), d.cmdRecord()->text(), d.cmdStop()->text(),
                                    d.cmdListen()->text(),        d.chkTrim()->text(),   d.chkNormalise()->text(),
                                    d.lblGain()->text()};
             },
             QStringList{"Normalise", "Record", "Stop", "Listen", "Trim silence", "Normalise to -1 dBFS", "Gain:"}},
            {"trim and normalise on", [&d] { return d.chkTrim()->isChecked() && d.chkNormalise()->isChecked(); }, true},
            {"without a file only Record",
             [&d] {
                 return enabledOf({d.cmdRecord(), d.cmdStop(), d.cmdListen(), d.cmdNormaliseFile()});
             },
             QStringList{"Record"}},
            {"gain range",
             [&d] { return QStringLiteral("%1..%2").arg(d.sldGain()->minimum()).arg(d.sldGain()->maximum()); },
             "-20..10"},
            {"gain shown", [&d] { return d.lblGainValue()->text(); }, "0 dB"},
            {"no limit shown", [&d] { return d.lblLimit()->text(); }, ""},
            {"elapsed and limit", [&d] { return d.lblElapsed()->text(); }, "0:00.0 of 5:00"},
            {"no file", [&d] { return d.lblFile()->text(); }, "No file chosen"},
            {"reading order", [] { return readingOrder(); },
             QStringList{"current caption label", "current caption", "new caption label", "new caption",
                         "Select Wave File", "Normalise", "Record", "Stop", "Listen", "Trim silence",
                         "Normalise to -1 dBFS", "Gain", "Cancel", "Ok"}},
            {"tab order", [&d] { return tabOrder(namedControls(), d.txtButCap()); },
             QStringList{"new caption", "Select Wave File", "Normalise", "Record", "Stop", "Listen", "Trim silence",
                         "Normalise to -1 dBFS", "Gain", "Cancel", "Ok", "current caption"}},
            {"focus at opening", [&d] { return d.window()->focusWidget() == d.txtButCap(); }, true},
            {"default buttons", [] { return defaultButtons(); }, QStringList{}},
        });
    }

    void shownTextsAndStates()
    {
        gSetWaveOldCaption = QStringLiteral("QTH/NAME");
        gSetWaveGain = 0;
        frmSetWaves().Show();
        compareShownRow();
        frmSetWaves().cmdCancel_Click();
    }

    void opensForTheClickedButton()
    {
        frmMain().cmdMsg(2)->setText(QStringLiteral("QTH/NAME"));
        QString shownCaption = QStringLiteral("unset");
        QString typedCaption = QStringLiteral("unset");
        bool focusInBox = false;
        int pointer = -1;
        QString clipped = QStringLiteral("not shown");
        assign(3, [&](FrmSetWaves& dialog) {
            shownCaption = dialog.txtCurCap()->text();
            typedCaption = dialog.txtButCap()->text();
            focusInBox = dialog.window()->focusWidget() == dialog.txtButCap();
            pointer = MousePointer();
            clipped = clippedCaption(dialog.window());
            QVERIFY(dialog.txtCurCap()->isReadOnly());
            // The main window takes no input meanwhile.
            QCOMPARE(QGuiApplication::modalWindow(), dialog.window()->windowHandle());
            dialog.cmdCancel_Click();
        });
        QCOMPARE(shownCaption, QStringLiteral("QTH/NAME"));
        QCOMPARE(typedCaption, QString());
        QVERIFY(focusInBox);
        QCOMPARE(pointer, kPointerDefault);
        QVERIFY2(clipped.isEmpty(), qPrintable(clipped));
        QVERIFY(!frmSetWaves().isLoaded());
    }

    void fileDialogIsAskedForRecordings()
    {
        assignSteps(5, {QStringLiteral("pickcancel"), QStringLiteral("cancel")});
        QCOMPARE(FileDialogs::asked().size(), 1);
        const FileDialogs::Asked& asked = FileDialogs::asked().first();
        QCOMPARE(asked.title, QStringLiteral("Select WAV file"));
        const QList<QPair<QString, QString>> filters = {{"WAV  (*.wav)", "*.wav"}, {"All  (*.*)", "*.*"}};
        QCOMPARE(asked.filters, filters);
        QCOMPARE(asked.selectedFilter, 0);
        QCOMPARE(QDir::cleanPath(asked.folder), QDir::cleanPath(wavDir()));
    }

    // Qt's own dialog as the operator sees it: the program's filter texts as they stand, the Size and Date
    // columns in view, and the chosen file back in the assignment.
    void realDialogShowsTheProgramsTexts()
    {
        FileDialogs::reset();
        // A folder of recordings long enough for the list to scroll.
        for (int n = 1; n <= 40; ++n)
            makeRecording(QStringLiteral("contest %1.wav").arg(n));
        const QString path = makeRecording(QStringLiteral("cq.wav"));
        QStringList filters;
        QString clipped = QStringLiteral("not shown");
        bool existingOnly = false;
        assign(5, [&](FrmSetWaves& dialog) {
            QTimer::singleShot(0, this, [&] {
                auto* files = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                QVERIFY(files);
                // Whatever a check below finds, the dialog goes, so it cannot hang the run.
                const auto close = qScopeGuard([files] {
                    if (files->isVisible())
                        files->reject();
                });
                QVERIFY(QTest::qWaitForWindowExposed(files));
                const auto* types = files->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
                const auto* list = files->findChild<QTreeView*>(QStringLiteral("treeView"));
                QVERIFY(types && list);
                for (int i = 0; i < types->count(); ++i)
                    filters << types->itemText(i);
                QTRY_COMPARE(list->model()->rowCount(list->rootIndex()), 41);
                QTRY_VERIFY(list->verticalScrollBar()->isVisible());
                existingOnly = files->fileMode() == QFileDialog::ExistingFile;
                // Every size and date in full, within the view; the margins are those Qt's item views draw.
                const QHeaderView* header = list->header();
                const int margins = 2 * (list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1);
                clipped.clear();
                for (int column : {1, 3}) {
                    const int right = header->sectionViewportPosition(column) + header->sectionSize(column);
                    if (header->isSectionHidden(column) || right > header->viewport()->width())
                        clipped += QStringLiteral("column %1 ends at %2 of %3; ")
                                       .arg(column)
                                       .arg(right)
                                       .arg(header->viewport()->width());
                    for (int row = 0; row < list->model()->rowCount(list->rootIndex()); ++row) {
                        const QString text = list->model()->index(row, column, list->rootIndex()).data().toString();
                        if (list->fontMetrics().horizontalAdvance(text) + margins > header->sectionSize(column)) {
                            clipped += QStringLiteral("\"%1\" in %2 px; ").arg(text).arg(header->sectionSize(column));
                            break;
                        }
                    }
                }
                // As typed into the name box, which has the focus.
                auto* name = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
                QVERIFY(name);
                name->setText(path);
                static_cast<QDialog*>(files)->accept(); // QFileDialog hides its accept()
            });
            act(dialog, QStringLiteral("type:CQ"));
            QTest::mouseClick(dialog.cmdSelectWave(), Qt::LeftButton);
            act(dialog, QStringLiteral("ok"));
        });
        QCOMPARE(filters, QStringList({"WAV  (*.wav)", "All  (*.*)"}));
        QVERIFY2(clipped.isEmpty(), qPrintable(clipped));
        QVERIFY(existingOnly);
        QCOMPARE(gWaveFiles[5], path);
    }

    void button7ChangesOnlyItsOwnKeysAndCaption()
    {
        const QStringList textsBefore = buttonTexts();
        QSettings before(mFix->env.settingsFile(), QSettings::IniFormat);
        before.beginGroup(kSettingsSection);
        QHash<QString, QString> keysBefore;
        for (const QString& key : before.childKeys())
            keysBefore.insert(key, before.value(key).toString());

        assignSteps(7, {QStringLiteral("type:DX Call"), QStringLiteral("pick:dx.wav"), QStringLiteral("ok")});

        const QString file = wavDir() + QStringLiteral("/dx.wav");
        QCOMPARE(gWaveFiles[7], file);
        QCOMPARE(gButtonCaptions[7], QStringLiteral("DX Call"));
        QSettings after(mFix->env.settingsFile(), QSettings::IniFormat);
        after.beginGroup(kSettingsSection);
        QCOMPARE(after.childKeys().size(), keysBefore.size());
        for (const QString& key : after.childKeys()) {
            const QString value = after.value(key).toString();
            if (key == QLatin1String("Message 7"))
                QCOMPARE(value, file);
            else if (key == QLatin1String("Message 7 Name"))
                QCOMPARE(value, QStringLiteral("DX Call"));
            else
                QCOMPARE(value, keysBefore.value(key));
        }
        QStringList expectedTexts = textsBefore;
        expectedTexts[6] = QStringLiteral("DX Call");
        QCOMPARE(buttonTexts(), expectedTexts);
    }

    void outcomeOfAnOpening_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("file"); // name in the wav folder, "" for none
        QTest::addColumn<QString>("caption");
        QTest::addColumn<int>("refusals");
        struct Row
        {
            const char* name;
            QStringList steps;
            bool accepted;
            const char* file;
            const char* caption;
            int refusals;
        };
        const Row rows[] = {
            {"Ok alone clears the button", {"ok"}, true, "", "(Blank)", 0},
            {"Ok with a caption but no file clears it", {"type:Hello", "ok"}, true, "", "(Blank)", 0},
            {"file and caption", {"type:Hello", "pick:a.wav", "ok"}, true, "a.wav", "Hello", 0},
            {"caption typed after the file", {"pick:a.wav", "type:Later", "ok"}, true, "a.wav", "Later", 0},
            {"file without caption refused, then cancelled", {"pick:a.wav", "ok", "cancel"}, false, "", "", 1},
            {"refused, then given a caption", {"pick:a.wav", "ok", "type:Late", "ok"}, true, "a.wav", "Late", 1},
            {"Cancel stores nothing", {"type:X", "pick:a.wav", "cancel"}, false, "", "", 0},
            {"close box stores nothing", {"type:X", "pick:a.wav", "closebox"}, false, "", "", 0},
            {"close box after a refusal", {"pick:a.wav", "ok", "closebox"}, false, "", "", 1},
            {"second pick cancelled", {"type:X", "pick:a.wav", "pickcancel", "ok"}, true, "a.wav", "X", 0},
            {"second pick replaces the first", {"type:X", "pick:a.wav", "pick:b.wav", "ok"}, true, "b.wav", "X", 0},
            {"ten characters stored whole", {"type:ABCDEFGHIJ", "pick:a.wav", "ok"}, true, "a.wav", "ABCDEFGHIJ", 0},
            {"an eleventh cannot be typed", {"type:ABCDEFGHIJK", "pick:a.wav", "ok"}, true, "a.wav", "ABCDEFGHIJ", 0},
            {"blanks are a caption and are kept", {"type:   ", "pick:a.wav", "ok"}, true, "a.wav", "   ", 0},
            {"blanks around a caption are kept", {"type: CQ ", "pick:a.wav", "ok"}, true, "a.wav", " CQ ", 0},
            {"an ampersand is no mnemonic", {"type:R&R", "pick:a.wav", "ok"}, true, "a.wav", "R&R", 0},
            {"Enter and Escape", {"key:Escape", "key:Return", "pick:a.wav", "key:Enter", "cancel"}, false, "", "", 0},
        };
        for (const Row& r : rows)
            QTest::newRow(r.name) << r.steps << r.accepted << QString(r.file) << QString(r.caption) << r.refusals;
    }

    void outcomeOfAnOpening()
    {
        QFETCH(QStringList, steps);
        QFETCH(bool, accepted);
        QFETCH(QString, file);
        QFETCH(QString, caption);
        QFETCH(int, refusals);
        const int n = 4;
        const QString fileBefore = gWaveFiles[n];
        const QString captionBefore = gButtonCaptions[n];
        const QByteArray settingsBefore = mFix->env.settingsBytes();
        const QStringList textsBefore = buttonTexts();
        QList<bool> openAfterOk;

        assign(n, [&](FrmSetWaves& dialog) {
            for (const QString& step : steps) {
                act(dialog, step);
                if (step == QLatin1String("ok"))
                    openAfterOk << dialog.isLoaded();
            }
        });

        QCOMPARE(MessageBoxes::asked().size(), refusals);
        for (const MessageBoxes::Asked& asked : MessageBoxes::asked()) {
            QCOMPARE(asked.text, QStringLiteral("You forgot a button caption for the WAV file you have set!"));
            QCOMPARE(asked.style, 48);
            QCOMPARE(asked.title, kAppTitle);
        }
        // A refused Ok leaves the dialog open; only the last Ok of an accepted opening closes it.
        for (qsizetype i = 0; i < openAfterOk.size(); ++i)
            QCOMPARE(openAfterOk.at(i), !(accepted && i == openAfterOk.size() - 1));
        QVERIFY(!frmSetWaves().isLoaded());
        QCOMPARE(gSetWaveCancelled, accepted ? kFalse : kTrue);

        if (!accepted) {
            QCOMPARE(gWaveFiles[n], fileBefore);
            QCOMPARE(gButtonCaptions[n], captionBefore);
            QCOMPARE(mFix->env.settingsBytes(), settingsBefore);
            QCOMPARE(buttonTexts(), textsBefore);
            return;
        }
        const QString path = file.isEmpty() ? QString() : wavDir() + QLatin1Char('/') + file;
        QCOMPARE(gWaveFiles[n], path);
        QCOMPARE(gButtonCaptions[n], caption);
        QCOMPARE(storedSetting(QStringLiteral("Message 4")), path);
        QCOMPARE(storedSetting(QStringLiteral("Message 4 Name")), caption);
        QStringList expectedTexts = textsBefore;
        expectedTexts[n - 1] = QString(caption).replace(QLatin1Char('&'), QStringLiteral("&&"));
        QCOMPARE(buttonTexts(), expectedTexts);
        QCOMPARE(frmMain().buttonCaption(n - 1), caption);
    }

    void reopeningStartsFresh()
    {
        assignSteps(9, {QStringLiteral("type:Nine"), QStringLiteral("pick:nine.wav"), QStringLiteral("ok")});
        QCOMPARE(gButtonCaptions[9], QStringLiteral("Nine"));
        // Reopened: the current caption shows, the box is empty and no file is chosen, so Ok clears.
        QString shown;
        QString typed = QStringLiteral("unset");
        assign(9, [&](FrmSetWaves& dialog) {
            shown = dialog.txtCurCap()->text();
            typed = dialog.txtButCap()->text();
            act(dialog, QStringLiteral("ok"));
        });
        QCOMPARE(shown, QStringLiteral("Nine"));
        QCOMPARE(typed, QString());
        QCOMPARE(gWaveFiles[9], QString());
        QCOMPARE(gButtonCaptions[9], QStringLiteral("(Blank)"));
    }

    void assignmentSurvivesARestart()
    {
        assignSteps(6, {QStringLiteral("type:Contest"), QStringLiteral("pick:contest.wav"), QStringLiteral("ok")});
        assignSteps(2, {QStringLiteral("ok")});

        resetGlobals();
        LoadSettings();
        frmMain().EnableMessageButtons(true);
        QCOMPARE(gWaveFiles[6], wavDir() + QStringLiteral("/contest.wav"));
        QCOMPARE(gButtonCaptions[6], QStringLiteral("Contest"));
        QCOMPARE(frmMain().cmdMsg(5)->text(), QStringLiteral("Contest"));
        // A cleared sample button stays cleared: it must not transmit its recording under "(Blank)".
        QCOMPARE(gWaveFiles[2], QString());
        QCOMPARE(gButtonCaptions[2], QStringLiteral("(Blank)"));
    }

    void chosenPathIsStoredReloadedAndPlayedUnchanged_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("blanks") << "my cq call.wav";
        QTest::newRow("leading and trailing blanks") << "  cq  .wav ";
        QTest::newRow("double quotes") << "the \"big\" cq.wav";
        QTest::newRow("audio command words inside") << "x\" type waveaudio alias voice2 \".wav";
        QTest::newRow("non-ASCII letters") << "Gr\u00FC\u00DFe aus K\u00F6ln \u65E5\u672C.wav";
        QTest::newRow("settings syntax") << "[Settings] key=value #1.wav";
        QTest::newRow("backslash") << "back\\slash.wav";
        QTest::newRow("percent escapes") << "100%20cq%.wav";
    }

    void chosenPathIsStoredReloadedAndPlayedUnchanged()
    {
        QFETCH(QString, name);
        const QString path = makeRecording(name);
        QVERIFY2(QFile::exists(path), qPrintable(path));
        assignSteps(8, {QStringLiteral("type:Odd"), QStringLiteral("pick:") + name, QStringLiteral("ok")});
        QCOMPARE(storedSetting(QStringLiteral("Message 8")), path);

        resetGlobals();
        LoadSettings();
        QCOMPARE(gWaveFiles[8], path);
        mFix->audio.setDuration(10);
        QVERIFY(playMessageToEnd(7));
        QCOMPARE(mFix->audio.paths(ScriptedAudioBackend::Kind::Open), QStringList{path});
        QVERIFY(MessageBoxes::asked().isEmpty());
    }

    // A known signal from the fake input: 0.3 s of silence, a second of tone at -12 dBFS, 0.4 s of silence.
    void recordingFillsTheDialog_data()
    {
        QTest::addColumn<bool>("trim");
        QTest::addColumn<bool>("normalise");
        QTest::addColumn<bool>("accept");
        QTest::addColumn<double>("seconds");
        QTest::addColumn<double>("peakDbfs");
        const double kept = 1.0 + 2.0 * kTrimKeepMs / 1000.0;
        const double tone = dbfsOf(0.25f);
        QTest::newRow("trimmed and normalised") << true << true << true << kept << kNormalisePeakDbfs;
        QTest::newRow("trimmed only") << true << false << true << kept << tone;
        QTest::newRow("normalised only") << false << true << true << 1.7 << kNormalisePeakDbfs;
        QTest::newRow("as recorded") << false << false << true << 1.7 << tone;
        QTest::newRow("cancelled after recording") << true << true << false << kept << kNormalisePeakDbfs;
    }

    void recordingFillsTheDialog()
    {
        QFETCH(bool, trim);
        QFETCH(bool, normalise);
        QFETCH(bool, accept);
        QFETCH(double, seconds);
        QFETCH(double, peakDbfs);
        const int n = 4;
        gAudioInput = QStringLiteral("alsa_input.usb-radio-interface");
        const QByteArray settingsBefore = mFix->env.settingsBytes();
        const QString fileBefore = gWaveFiles[n];
        QString chosen;
        QString shownName;
        assign(n, [&](FrmSetWaves& dialog) {
            act(dialog, QStringLiteral("type:CQ contest"));
            dialog.chkTrim()->setChecked(trim);
            dialog.chkNormalise()->setChecked(normalise);
            record(dialog, toneBetweenSilences(0.3, 1.0, 0.4, 0.25));
            chosen = gSetWaveFile;
            shownName = dialog.lblFile()->text();
            act(dialog, QString::fromLatin1(accept ? "ok" : "cancel"));
        });
        QCOMPARE(mInput->opened(), QStringList{gAudioInput});
        QVERIFY(MessageBoxes::asked().isEmpty());
        QCOMPARE(filesIn(messagesDir()).size(), 1);
        QCOMPARE(QFileInfo(chosen).absolutePath(), messagesDir());
        const QString name = QFileInfo(chosen).fileName();
        QVERIFY2(QRegularExpression(QStringLiteral("^CQ_contest_\\d{8}-\\d{6}\\.wav$")).match(name).hasMatch(),
                 qPrintable(name));
        QCOMPARE(shownName, name);

        QString error;
        const std::optional<Pcm> pcm = readSoundFile(chosen, error);
        QVERIFY2(pcm, qPrintable(error));
        QCOMPARE(pcm->channels, 1);
        QCOMPARE(pcm->rate, kRecordRate);
        QCOMPARE(pcm->depth, SampleDepth::Int16);
        const double length = double(pcm->frames()) / kRecordRate;
        QVERIFY2(std::fabs(length - seconds) <= 0.05, qPrintable(QString::number(length)));
        const double peak = dbfsOf(peakOf(pcm->samples.data(), pcm->samples.size()));
        QVERIFY2(std::fabs(peak - peakDbfs) < 0.01, qPrintable(QString::number(peak)));

        if (!accept) {
            QCOMPARE(gWaveFiles[n], fileBefore);
            QCOMPARE(mFix->env.settingsBytes(), settingsBefore);
            return;
        }
        QCOMPARE(gWaveFiles[n], chosen);
        QCOMPARE(gButtonCaptions[n], QStringLiteral("CQ contest"));
        QCOMPARE(storedSetting(QStringLiteral("Message 4")), chosen);
    }

    // Names of this second and the next are taken: the recording gets another, and they keep their bytes.
    void recordingNeverOverwrites()
    {
        QVERIFY(QDir().mkpath(messagesDir()));
        QHash<QString, QByteArray> taken;
        const QDateTime now = QDateTime::currentDateTime();
        for (int s = 0; s < 3; ++s) {
            const QString path = messagesDir() + QLatin1Char('/') +
                                 messageFileStem(QStringLiteral("CQ"), now.addSecs(s)) + QStringLiteral(".wav");
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("an earlier recording " + QByteArray::number(s));
            taken.insert(path, "an earlier recording " + QByteArray::number(s));
        }
        QString chosen;
        assign(6, [&](FrmSetWaves& dialog) {
            act(dialog, QStringLiteral("type:CQ"));
            record(dialog, toneBetweenSilences(0.1, 0.5, 0.1, 0.5));
            chosen = gSetWaveFile;
            act(dialog, QStringLiteral("ok"));
        });
        QVERIFY2(chosen.endsWith(QLatin1String("-2.wav")), qPrintable(chosen));
        QVERIFY(!taken.contains(chosen));
        for (auto it = taken.cbegin(); it != taken.cend(); ++it) {
            QFile file(it.key());
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), it.value());
        }
        QCOMPARE(filesIn(messagesDir()).size(), 4);
    }

    void escapeStopsRecordingWithoutClosing()
    {
        bool openAfterEscape = false;
        bool openAfterSecondEscape = false;
        assign(3, [&](FrmSetWaves& dialog) {
            act(dialog, QStringLiteral("type:Esc"));
            record(dialog, toneBetweenSilences(0.0, 0.5, 0.0, 0.5), true);
            openAfterEscape = dialog.isLoaded() && dialog.window()->isVisible();
            // With nothing running, Escape presses nothing.
            QTest::keyClick(dialog.window()->focusWidget(), Qt::Key_Escape);
            openAfterSecondEscape = dialog.isLoaded();
            act(dialog, QStringLiteral("ok"));
        });
        QVERIFY(openAfterEscape);
        QVERIFY(openAfterSecondEscape);
        // Half a second of tone peaking at 0.5 was on the meter as it went.
        QCOMPARE(mMeterBeforeStop, (QPair<int, QString>(-6, QStringLiteral("0:00.5 of 5:00"))));
        QVERIFY(gWaveFiles[3].startsWith(messagesDir()));
        QVERIFY(QFileInfo(gWaveFiles[3]).isFile());
    }

    // Problems met while recording: each is told, and what was chosen before stays.
    void recordingProblems_data()
    {
        QTest::addColumn<QString>("problem");
        QTest::addColumn<QString>("told");
        QTest::addColumn<bool>("kept"); // a file was made of what came before the problem
        QTest::newRow("input refuses") << "open"
                                       << "Recording could not start: the input is gone." << false;
        QTest::newRow("input fails midway") << "fail"
                                            << "The recording stopped: the input is gone." << true;
        QTest::newRow("five minutes reached") << "limit"
                                              << "The recording stopped at its limit of 5 minutes." << true;
        QTest::newRow("only silence") << "silence"
                                      << "Nothing in the recording reached -45 dBFS, so it was not kept." << false;
        QTest::newRow("stopped before any sound came")
            << "nothing"
            << "Nothing was recorded: the sound input gave no sound. Is [Audio] Input the right one, and is the "
               "sound server running?"
            << false;
    }

    void recordingProblems()
    {
        QFETCH(QString, problem);
        QFETCH(QString, told);
        QFETCH(bool, kept);
        const QString before = makeRecording(QStringLiteral("before.wav"));
        if (problem == QLatin1String("open"))
            mInput->failOpen(QStringLiteral("the input is gone"));
        QString chosen;
        assign(5, [&](FrmSetWaves& dialog) {
            act(dialog, QStringLiteral("type:Five"));
            act(dialog, QStringLiteral("pick:before.wav"));
            QTest::mouseClick(dialog.cmdRecord(), Qt::LeftButton);
            if (problem == QLatin1String("fail")) {
                QVERIFY(mInput->feed(toneBetweenSilences(0.0, 0.5, 0.0, 0.5)));
                QVERIFY(mInput->fail(QStringLiteral("the input is gone")));
            } else if (problem == QLatin1String("limit")) {
                QVERIFY(mInput->feed(toneBetweenSilences(0.0, kRecordMaxSeconds + 1.0, 0.0, 0.5)));
                QTRY_VERIFY(!dialog.isRecording());
            } else if (problem == QLatin1String("silence")) {
                QVERIFY(mInput->feed(std::vector<float>(kRecordRate, 0.001f)));
            }
            if (dialog.isRecording() && problem != QLatin1String("fail"))
                QTest::mouseClick(dialog.cmdStop(), Qt::LeftButton);
            QTRY_VERIFY(!dialog.isRecording() && !dialog.isBusy());
            chosen = gSetWaveFile;
            act(dialog, QStringLiteral("ok"));
        });
        QCOMPARE(messageTexts(), QStringList{told});
        QCOMPARE(filesIn(messagesDir()).size(), kept ? 1 : 0);
        QCOMPARE(chosen == before, !kept);
        QCOMPARE(gWaveFiles[5], chosen);
        QCOMPARE(mFix->serial->callsNamed(QStringLiteral("EscapeCommFunction")).size(), 0);
        if (problem == QLatin1String("limit")) {
            QString error;
            const std::optional<Pcm> pcm = readSoundFile(chosen, error);
            QVERIFY2(pcm, qPrintable(error));
            QCOMPARE(pcm->frames(), std::size_t{kRecordMaxSeconds} * kRecordRate);
        }
    }

    void closingWhileRecordingKeepsNothing()
    {
        const QByteArray settingsBefore = mFix->env.settingsBytes();
        bool stopped = false;
        assign(3, [&](FrmSetWaves& dialog) {
            act(dialog, QStringLiteral("type:Gone"));
            QTest::mouseClick(dialog.cmdRecord(), Qt::LeftButton);
            QVERIFY(mInput->feed(toneBetweenSilences(0.0, 0.5, 0.0, 0.5)));
            act(dialog, QStringLiteral("closebox"));
            stopped = !mInput->running();
        });
        QVERIFY(stopped);
        QVERIFY(!frmSetWaves().isLoaded());
        QTest::qWait(50);
        QCOMPARE(filesIn(messagesDir()), QStringList());
        QCOMPARE(mFix->env.settingsBytes(), settingsBefore);
        QVERIFY(MessageBoxes::asked().isEmpty());
    }

    // The data folder cannot take the recording: a clear message, no file at all, and nothing changed.
    void writeFailureChangesNothing_data()
    {
        QTest::addColumn<QString>("cause");
        QTest::addColumn<QString>("reason");
        QTest::newRow("data folder is a file") << "file"
                                               << "Not a directory";
        QTest::newRow("disk full") << "tmpfs"
                                   << "No space left on device";
    }

    void writeFailureChangesNothing()
    {
        QFETCH(QString, cause);
        QFETCH(QString, reason);
        if (cause == QLatin1String("file")) {
            // Refused to root as well, unlike a folder without write permission.
            QFile blocker(mDataHome->path() + QStringLiteral("/WrenKeyer"));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        } else {
            if (::geteuid() != 0)
                QSKIP("mounting a small tmpfs takes root");
            if (::mount("tmpfs", QFile::encodeName(mDataHome->path()).constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                        "size=64k") != 0)
                QSKIP("no tmpfs could be mounted here");
            mMounted = mDataHome->path();
        }
        const QString before = makeRecording(QStringLiteral("before.wav"));
        const QByteArray settingsBefore = mFix->env.settingsBytes();
        QString chosen;
        QByteArray settingsAfterFailure;
        assign(8, [&](FrmSetWaves& dialog) {
            act(dialog, QStringLiteral("type:Eight"));
            act(dialog, QStringLiteral("pick:before.wav"));
            // Three seconds of 16-bit samples are 288 kB, far past 64 kB.
            dialog.chkTrim()->setChecked(false);
            record(dialog, toneBetweenSilences(0.0, 3.0, 0.0, 0.5));
            chosen = gSetWaveFile;
            settingsAfterFailure = mFix->env.settingsBytes();
            act(dialog, QStringLiteral("cancel"));
        });
        QCOMPARE(MessageBoxes::asked().size(), 1);
        const QString text = MessageBoxes::asked().first().text;
        QVERIFY2(text.startsWith(QLatin1String("The recording could not be saved; nothing was changed.")) &&
                     text.contains(reason),
                 qPrintable(text));
        QCOMPARE(chosen, before);
        QCOMPARE(settingsAfterFailure, settingsBefore);
        QCOMPARE(mFix->env.settingsBytes(), settingsBefore);
        if (cause == QLatin1String("tmpfs"))
            QCOMPARE(filesIn(messagesDir()), QStringList());
    }

    void gainIsReadAndStored_data()
    {
        QTest::addColumn<int>("stored"); // the button's gain when the dialog opens
        QTest::addColumn<int>("moved");  // where the slider is moved to; the stored value when unmoved
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("accept");
        QTest::newRow("cut stored") << 0 << -6 << "-6 dB" << true;
        QTest::newRow("boost stored") << 0 << 10 << "+10 dB" << true;
        QTest::newRow("read back unchanged") << -12 << -12 << "-12 dB" << true;
        QTest::newRow("cancel keeps the old gain") << 3 << -20 << "-20 dB" << false;
    }

    void gainIsReadAndStored()
    {
        QFETCH(int, stored);
        QFETCH(int, moved);
        QFETCH(QString, shown);
        QFETCH(bool, accept);
        const int n = 7;
        gMessageGains[n] = static_cast<std::int16_t>(stored);
        int opened = 99;
        QString label;
        assign(n, [&](FrmSetWaves& dialog) {
            opened = dialog.sldGain()->value();
            act(dialog, QStringLiteral("type:Seven"));
            dialog.sldGain()->setValue(moved);
            label = dialog.lblGainValue()->text();
            act(dialog, QString::fromLatin1(accept ? "ok" : "cancel"));
        });
        QCOMPARE(opened, stored);
        QCOMPARE(label, shown);
        QCOMPARE(int(gMessageGains[n]), accept ? moved : stored);
        if (accept)
            QCOMPARE(audioSetting(QStringLiteral("Message 7 Gain"), mFix->env.settingsFile()), QString::number(moved));
    }

    void gainLimitIsShown_data()
    {
        QTest::addColumn<double>("peakDbfs");
        QTest::addColumn<int>("gain");
        QTest::addColumn<QString>("shown");
        QTest::newRow("clips") << -2.5 << 10 << "limited to +2.5 dB: the recording peaks at -2.5 dBFS";
        QTest::newRow("just fits") << -2.5 << 2 << "";
        QTest::newRow("full-scale file, any boost") << 0.0 << 1 << "limited to 0 dB: the recording peaks at 0 dBFS";
        QTest::newRow("a cut never clips") << 0.0 << -6 << "";
        QTest::newRow("quiet file") << -12.0 << 10 << "";
        QTest::newRow("silent file") << kSilenceDbfs << 10 << "";
    }

    void gainLimitIsShown()
    {
        QFETCH(double, peakDbfs);
        QFETCH(int, gain);
        QFETCH(QString, shown);
        const QString path = makeWave(QStringLiteral("peak"), peakDbfs);
        QVERIFY(!path.isEmpty());
        QString limit = QStringLiteral("unset");
        assign(2, [&](FrmSetWaves& dialog) {
            dialog.sldGain()->setValue(gain);
            FileDialogs::setNextFile(path);
            QTest::mouseClick(dialog.cmdSelectWave(), Qt::LeftButton);
            // Measured off the user-interface thread: the text comes once the file is read.
            if (!shown.isEmpty())
                QTRY_COMPARE(dialog.lblLimit()->text(), shown);
            QTest::qWait(50);
            limit = dialog.lblLimit()->text();
            act(dialog, QStringLiteral("cancel"));
        });
        QCOMPARE(limit, shown);
    }

    void normaliseMakesACopy_data()
    {
        QTest::addColumn<double>("peakDbfs"); // of the chosen file; NaN for a file that is no sound
        QTest::addColumn<QString>("told");
        QTest::newRow("quiet stereo file") << -12.0 << "";
        QTest::newRow("loud file") << 0.0 << "";
        QTest::newRow("silent file") << kSilenceDbfs << "is silent: there is nothing to normalise.";
        QTest::newRow("not a sound file") << std::nan("") << "cannot be read as sound";
    }

    void normaliseMakesACopy()
    {
        QFETCH(double, peakDbfs);
        QFETCH(QString, told);
        const QString original = std::isnan(peakDbfs) ? makeRecording(QStringLiteral("Bad name!.wav"))
                                                      : makeWave(QStringLiteral("Bad name!"), peakDbfs, 2);
        QFile originalFile(original);
        QVERIFY(originalFile.open(QIODevice::ReadOnly));
        const QByteArray originalBytes = originalFile.readAll();
        originalFile.close();
        QString chosen;
        assign(9, [&](FrmSetWaves& dialog) {
            act(dialog, QStringLiteral("type:Nine"));
            FileDialogs::setNextFile(original);
            QTest::mouseClick(dialog.cmdSelectWave(), Qt::LeftButton);
            QTest::mouseClick(dialog.cmdNormaliseFile(), Qt::LeftButton);
            QTRY_VERIFY(!dialog.isBusy());
            chosen = gSetWaveFile;
            act(dialog, QStringLiteral("ok"));
        });
        QVERIFY(originalFile.open(QIODevice::ReadOnly));
        QCOMPARE(originalFile.readAll(), originalBytes);
        if (!told.isEmpty()) {
            QCOMPARE(MessageBoxes::asked().size(), 1);
            QVERIFY2(MessageBoxes::asked().first().text.contains(told), qPrintable(messageTexts().join('|')));
            QCOMPARE(chosen, original);
            QCOMPARE(filesIn(messagesDir()), QStringList());
            return;
        }
        QVERIFY(MessageBoxes::asked().isEmpty());
        QCOMPARE(chosen, messagesDir() + QStringLiteral("/Bad_name_normalised.wav"));
        QCOMPARE(gWaveFiles[9], chosen);
        QString error;
        const std::optional<Pcm> copy = readSoundFile(chosen, error);
        QVERIFY2(copy, qPrintable(error));
        QCOMPARE(copy->channels, 2);
        const double peak = dbfsOf(peakOf(copy->samples.data(), copy->samples.size()));
        QVERIFY2(std::fabs(peak - kNormalisePeakDbfs) < 0.01, qPrintable(QString::number(peak)));
    }

    // Listening is for the operator: the default output, the slider's gain, and no keying at all.
    void listenPlaysWithoutKeying()
    {
        mFix->load(1);
        gAudioOutput = QStringLiteral("alsa_output.usb-radio-interface");
        mFix->audio.setDuration(10000);
        const int escapesBefore = int(mFix->serial->callsNamed(QStringLiteral("EscapeCommFunction")).size());
        const QString path = makeRecording(QStringLiteral("listen.wav"));
        QStringList texts;
        QList<int> streams;
        assign(4, [&](FrmSetWaves& dialog) {
            act(dialog, QStringLiteral("pick:listen.wav"));
            dialog.sldGain()->setValue(-6);
            QTest::mouseClick(dialog.cmdListen(), Qt::LeftButton);
            texts << dialog.cmdListen()->text();
            streams << mFix->audio.openStreams();
            QTest::mouseClick(dialog.cmdListen(), Qt::LeftButton); // again: stops
            texts << dialog.cmdListen()->text();
            streams << mFix->audio.openStreams();
            QTest::mouseClick(dialog.cmdListen(), Qt::LeftButton);
            QTest::mouseClick(dialog.cmdStop(), Qt::LeftButton);
            streams << mFix->audio.openStreams();
            QTest::mouseClick(dialog.cmdListen(), Qt::LeftButton);
            QTest::keyClick(dialog.window()->focusWidget(), Qt::Key_Escape);
            streams << mFix->audio.openStreams();
            QTest::mouseClick(dialog.cmdListen(), Qt::LeftButton);
            streams << mFix->audio.openStreams();
            act(dialog, QStringLiteral("cancel")); // closing stops it too
        });
        QCOMPARE(texts, QStringList({"Stop listening", "Listen"}));
        QCOMPARE(streams, QList<int>({1, 0, 0, 0, 1}));
        QCOMPARE(mFix->audio.openStreams(), 0);
        QCOMPARE(mFix->audio.paths(ScriptedAudioBackend::Kind::Play), QStringList(4, path));
        QCOMPARE(mFix->audio.lastOptions().outputId, QString());
        QCOMPARE(mFix->audio.lastOptions().gainDb, -6.0);
        QCOMPARE(int(mFix->serial->callsNamed(QStringLiteral("EscapeCommFunction")).size()), escapesBefore);
        QVERIFY(!mFix->serial->lineStateByName(QStringLiteral("COM1")).anyUp());
        QVERIFY(MessageBoxes::asked().isEmpty());
    }

    void listenToAFileThatCannotPlay()
    {
        const QString path = makeRecording(QStringLiteral("broken.wav"));
        mFix->audio.failOpen(path, MciError::InvalidFile);
        bool listening = true;
        assign(4, [&](FrmSetWaves& dialog) {
            act(dialog, QStringLiteral("pick:broken.wav"));
            QTest::mouseClick(dialog.cmdListen(), Qt::LeftButton);
            listening = dialog.isListening();
            act(dialog, QStringLiteral("cancel"));
        });
        QVERIFY(!listening);
        QCOMPARE(messageTexts(),
                 QStringList{path + QStringLiteral(" cannot be played: ") + mciErrorText(MciError::InvalidFile)});
    }

    void fileFilterIsReadAsPairs_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QStringList>("pairs"); // description and pattern alternately
        QTest::newRow("the recordings filter")
            << "WAV  (*.wav)|*.wav|All  (*.*)|*.*" << QStringList{"WAV  (*.wav)", "*.wav", "All  (*.*)", "*.*"};
        QTest::newRow("closing bar") << "WAV  (*.wav)|*.wav|" << QStringList{"WAV  (*.wav)", "*.wav"};
        QTest::newRow("description without pattern is dropped") << "WAV|*.wav|Other" << QStringList{"WAV", "*.wav"};
        QTest::newRow("several patterns") << "Sound|*.wav;*.aiff" << QStringList{"Sound", "*.wav;*.aiff"};
        QTest::newRow("empty") << "" << QStringList{};
    }

    void fileFilterIsReadAsPairs()
    {
        QFETCH(QString, filter);
        QFETCH(QStringList, pairs);
        QStringList flat;
        for (const auto& pair : parseFileFilter(filter))
            flat << pair.first << pair.second;
        QCOMPARE(flat, pairs);
    }
};

QTEST_MAIN(TestFrmSetWaves)
#include "tst_frmsetwaves.moc"
