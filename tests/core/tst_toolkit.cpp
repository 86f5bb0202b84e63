#include "core/form.h"
#include "core/resizer.h"
#include "core/toolkit.h"
#include "tests/fakes/scripted_desktop.h"
#include "tests/fakes/testenv.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

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

struct BoxRow
{
    const char* name;
    int style;
    QMessageBox::Icon icon;
    QStringList buttons;
    QString defaultButton;
    int enterAnswer;
    int escapeAnswer;
};

// Icon, buttons in their standard order (the detail's own button aside), default, title, text and detail.
QStringList describe(const QMessageBox& box)
{
    QStringList buttons;
    for (const QMessageBox::StandardButton which : {QMessageBox::Ok, QMessageBox::Yes, QMessageBox::No}) {
        if (const QAbstractButton* button = box.button(which))
            buttons << button->text().remove(QLatin1Char('&'));
    }
    const QAbstractButton* byDefault = box.defaultButton();
    return {QString::number(box.icon()),
            buttons.join(QLatin1Char(' ')),
            byDefault ? byDefault->text().remove(QLatin1Char('&')) : QString(),
            box.windowTitle(),
            box.text(),
            box.detailedText()};
}

} // namespace

Q_DECLARE_METATYPE(BoxRow)

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
        addRows<BoxRow>({
            {"16 failure", 16, QMessageBox::Critical, {"OK"}, "OK", kAnswerOk, kAnswerOk},
            {"48 notice", 48, QMessageBox::Warning, {"OK"}, "OK", kAnswerOk, kAnswerOk},
            {"64 greeting", 64, QMessageBox::Information, {"OK"}, "OK", kAnswerOk, kAnswerOk},
            // The question before a second copy runs: Enter must not start it.
            {"260 another copy", 260, QMessageBox::NoIcon, {"Yes", "No"}, "No", kAnswerNo, kAnswerNo},
        });
    }

    void realMessageBoxes()
    {
        QFETCH(BoxRow, row);
        setDesktopServices(nullptr);
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
            QStringList seen;
            QTimer poll;
            QObject::connect(&poll, &QTimer::timeout, [&] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                if (!box || !box->isVisible())
                    return;
                poll.stop();
                seen = describe(*box);
                QTest::keyClick(box, key);
                // A box that ignored the key must not hang the run.
                if (box->isVisible())
                    box->done(0);
            });
            poll.start(5);
            const int answer = MsgBox(QStringLiteral("Line one\nline two"), row.style, QStringLiteral("Title"),
                                      QStringLiteral("the detail"));
            QCOMPARE(seen, QStringList({QString::number(row.icon), row.buttons.join(QLatin1Char(' ')),
                                        row.defaultButton, "Title", "Line one\nline two", "the detail"}));
            QCOMPARE(answer, key == Qt::Key_Return ? row.enterAnswer : row.escapeAnswer);
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
