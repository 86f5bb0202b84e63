#include "core/settings.h"
#include "core/startup.h"
#include "core/toolkit.h"
#include "tests/fakes/window_fixture.h"
#include "windows/frmmain.h"
#include "windows/frmsetwaves.h"
#include "windows/modcommdia.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QScrollBar>
#include <QSettings>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <functional>
#include <memory>

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

} // namespace

class TestFrmSetWaves : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindowFixture> mFix;
    std::unique_ptr<QTemporaryDir> mProgramDir;
    bool mLeftOpen = false;

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
        LoadSettings();
        frmMain().Load();
        MessageBoxes::asked().clear();
    }

    void cleanup()
    {
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
            {"reading order", [] { return readingOrder(); },
             QStringList{"current caption label", "current caption", "new caption label", "new caption",
                         "Select Wave File", "Cancel", "Ok"}},
            {"tab order", [&d] { return tabOrder(namedControls(), d.txtButCap()); },
             QStringList{"new caption", "Select Wave File", "Cancel", "Ok", "current caption"}},
            {"focus at opening", [&d] { return d.window()->focusWidget() == d.txtButCap(); }, true},
            {"default buttons", [] { return defaultButtons(); }, QStringList{}},
        });
    }

    void shownTextsAndStates()
    {
        gSetWaveOldCaption = QStringLiteral("QTH/NAME");
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
