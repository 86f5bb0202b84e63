#include "core/form.h"
#include "core/resizer.h"
#include "core/toolkit.h"
#include "tests/fakes/scripted_desktop.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>

namespace {

class ProbeForm : public Form
{
public:
    int loads = 0;
    int unloads = 0;
    bool refuseUnload = false;
    QString kept; // a field of the window object: survives unloads
    QLineEdit* edit = nullptr;

protected:
    QWidget* CreateWindow() override
    {
        auto* w = new QWidget;
        w->resize(200, 100);
        edit = new QLineEdit(QStringLiteral("design"), w);
        edit->setGeometry(10, 20, 100, 30);
        return w;
    }
    void ControlsDestroyed() override { edit = nullptr; }
    void Form_Load() override { ++loads; }
    void Form_Unload(VBool& cancel) override
    {
        ++unloads;
        if (refuseUnload)
            cancel = kTrue;
    }
};

} // namespace

class TestToolkit : public QObject
{
    Q_OBJECT

private slots:
    void formLifecycle()
    {
        ProbeForm form;
        QVERIFY(!form.isLoaded());
        form.Show();
        QCOMPARE(form.loads, 1);
        form.Load(); // already loaded: no second Form_Load
        QCOMPARE(form.loads, 1);
        form.edit->setText(QStringLiteral("typed"));
        form.kept = QStringLiteral("field");

        form.refuseUnload = true;
        QVERIFY(!form.Unload());
        QVERIFY(form.isLoaded());
        QCOMPARE(form.edit->text(), QStringLiteral("typed"));

        form.refuseUnload = false;
        QVERIFY(form.Unload());
        QVERIFY(!form.isLoaded());
        QVERIFY(form.edit == nullptr);
        QCOMPARE(form.unloads, 2);

        // The close box takes the same road, and a new load starts from design values.
        form.Show();
        QCOMPARE(form.loads, 2);
        QCOMPARE(form.edit->text(), QStringLiteral("design"));
        QCOMPARE(form.kept, QStringLiteral("field"));
        form.window()->close();
        QVERIFY(!form.isLoaded());
        QCOMPARE(form.unloads, 3);
    }

    void showModalReturnsAfterUnload()
    {
        ProbeForm form;
        bool wasModal = false;
        QTimer::singleShot(20, [&] {
            wasModal = form.window() && form.window()->isModal();
            form.Unload();
        });
        form.ShowModal();
        QVERIFY(wasModal);
        QVERIFY(!form.isLoaded());
        QCOMPARE(form.unloads, 1);
    }

    void resizerKeepsProportions()
    {
        QWidget container;
        container.resize(200, 100);
        auto* child = new QWidget(&container);
        child->setGeometry(20, 10, 100, 40);
        new ProportionalResizer(&container);
        container.show();
        container.resize(400, 300);
        QCOMPARE(child->geometry(), QRect(40, 30, 200, 120));
        container.resize(100, 50);
        QCOMPARE(child->geometry(), QRect(10, 5, 50, 20));
    }

    void samplesAreFoundBesideOrInstalled_data()
    {
        QTest::addColumn<QStringList>("folders"); // made below a temporary root
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("expected");
        QTest::newRow("build tree") << QStringList({"build/wav"}) << QStringLiteral("build") << "build";
        QTest::newRow("installed") << QStringList({"usr/bin", "usr/share/wrenkeyer/wav"}) << QStringLiteral("usr/bin")
                                   << "usr/share/wrenkeyer";
        QTest::newRow("beside wins") << QStringList({"opt/bin/wav", "opt/share/wrenkeyer/wav"})
                                     << QStringLiteral("opt/bin") << "opt/bin";
        QTest::newRow("none: the program folder") << QStringList({"x/bin"}) << QStringLiteral("x/bin") << "x/bin";
    }

    void samplesAreFoundBesideOrInstalled()
    {
        QFETCH(QStringList, folders);
        QFETCH(QString, program);
        QFETCH(QString, expected);
        QTemporaryDir root;
        for (const QString& f : folders)
            QVERIFY(QDir(root.path()).mkpath(f));
        ScriptedDesktop::setProgramFolder(root.path() + QLatin1Char('/') + program);
        QCOMPARE(sampleFolder(), root.path() + QLatin1Char('/') + expected);
        ScriptedDesktop::setProgramFolder(QString());
    }

    // The desktop's own boxes, as the operator meets them: one of each style the program shows.
    void realMessageBoxes_data()
    {
        QTest::addColumn<int>("style");
        QTest::addColumn<int>("icon");
        QTest::addColumn<QStringList>("buttons");
        QTest::addColumn<QString>("defaultButton");
        QTest::addColumn<int>("enterAnswer");
        QTest::addColumn<int>("escapeAnswer");
        QTest::newRow("16 failure") << 16 << int(QMessageBox::Critical) << QStringList{"OK"} << "OK" << kAnswerOk
                                    << kAnswerOk;
        QTest::newRow("48 notice") << 48 << int(QMessageBox::Warning) << QStringList{"OK"} << "OK" << kAnswerOk
                                   << kAnswerOk;
        QTest::newRow("64 greeting") << 64 << int(QMessageBox::Information) << QStringList{"OK"} << "OK" << kAnswerOk
                                     << kAnswerOk;
        // The question before a second copy runs: Enter must not start it.
        QTest::newRow("260 another copy")
            << 260 << int(QMessageBox::NoIcon) << QStringList{"Yes", "No"} << "No" << kAnswerNo << kAnswerNo;
    }

    void realMessageBoxes()
    {
        QFETCH(int, style);
        QFETCH(int, icon);
        QFETCH(QStringList, buttons);
        QFETCH(QString, defaultButton);
        QFETCH(int, enterAnswer);
        QFETCH(int, escapeAnswer);
        setDesktopServices(nullptr);
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
            int shownIcon = -1;
            QStringList shownButtons;
            QString shownDefault;
            QString title;
            QString text;
            QString detail;
            QTimer poll;
            QObject::connect(&poll, &QTimer::timeout, [&] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                if (!box || !box->isVisible())
                    return;
                poll.stop();
                shownIcon = int(box->icon());
                // The detail's own button aside.
                for (QAbstractButton* button : box->buttons()) {
                    if (box->standardButton(button) != QMessageBox::NoButton)
                        shownButtons << button->text().remove(QLatin1Char('&'));
                }
                shownDefault = box->defaultButton() ? box->defaultButton()->text().remove(QLatin1Char('&')) : "";
                title = box->windowTitle();
                text = box->text();
                detail = box->detailedText();
                QTest::keyClick(box, key);
                // A box that ignored the key must not hang the run.
                if (box->isVisible())
                    box->done(0);
            });
            poll.start(5);
            const int answer = MsgBox(QStringLiteral("Line one\nline two"), style, QStringLiteral("Title"),
                                      QStringLiteral("the detail"));
            QCOMPARE(shownIcon, icon);
            std::sort(shownButtons.begin(), shownButtons.end(), [&buttons](const QString& a, const QString& b) {
                return buttons.indexOf(a) < buttons.indexOf(b);
            });
            QCOMPARE(shownButtons, buttons);
            QCOMPARE(shownDefault, defaultButton);
            QCOMPARE(title, QStringLiteral("Title"));
            QCOMPARE(text, QStringLiteral("Line one\nline two"));
            QCOMPARE(detail, QStringLiteral("the detail"));
            QCOMPARE(answer, key == Qt::Key_Return ? enterAnswer : escapeAnswer);
        }
    }

    void scriptedMessageBoxes()
    {
        MessageBoxes::setScripted(true);
        MessageBoxes::reset();
        MessageBoxes::setNextAnswer(kAnswerYes);
        QCOMPARE(MsgBox(QStringLiteral("a"), MsgStyle::YesNoDefaultNo, QStringLiteral("t")), kAnswerYes);
        // Unanswered: the default button, No for a Yes/No box with No as default.
        QCOMPARE(MsgBox(QStringLiteral("b"), MsgStyle::YesNoDefaultNo, QStringLiteral("t")), kAnswerNo);
        QCOMPARE(MsgBox(QStringLiteral("c"), MsgStyle::Critical, QStringLiteral("t"), QStringLiteral("d")), kAnswerOk);
        QCOMPARE(MessageBoxes::asked().size(), 3);
        QCOMPARE(MessageBoxes::asked().at(2).detail, QStringLiteral("d"));
        QCOMPARE(MessageBoxes::asked().at(2).style, 16);
    }
};

QTEST_MAIN(TestToolkit)
#include "tst_toolkit.moc"
