#include "core/toolkit.h"
#include "core/version.h"
#include "tests/fakes/window_fixture.h"
#include "windows/frmhelp.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTest>

#include <memory>

namespace {

const QString kBreak = QStringLiteral("\r\n\r\n");

QString shownText()
{
    return HelpText().replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

// The scroll bars the page shows once its window is `scale` times the designed size.
QStringList barsAtScale(double scale)
{
    FrmHelp& help = frmHelp();
    const QSize designed = help.window()->size();
    help.window()->resize(designed * scale);
    (void)QTest::qWaitFor([&] { return help.window()->size() == designed * scale; }, 1000);
    QCoreApplication::processEvents();
    QStringList bars;
    if (help.txtMsg()->verticalScrollBar()->isVisible())
        bars << QStringLiteral("vertical");
    if (help.txtMsg()->horizontalScrollBar()->isVisible())
        bars << QStringLiteral("horizontal");
    return bars;
}

// How far the page scrolls sideways: nothing, when its lines wrap.
int sidewaysScroll()
{
    barsAtScale(1);
    return frmHelp().txtMsg()->horizontalScrollBar()->maximum();
}

} // namespace

class TestFrmHelp : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnv> mEnv;

private slots:
    void init() { mEnv = std::make_unique<TestEnv>(); }
    void cleanup()
    {
        frmHelp().Unload();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        mEnv.reset();
    }

    void shownTextsAndStates_data()
    {
        FrmHelp& h = frmHelp();
        addShownRows({
            {"caption", [&h] { return h.window()->windowTitle(); }, "Help"},
            {"Close", [&h] { return h.cmdClose()->text(); }, "Close"},
            {"text colour", [&h] { return h.txtMsg()->palette().color(QPalette::Text).name(); }, "#0000ff"},
            {"bold text", [&h] { return h.txtMsg()->font().bold(); }, true},
            {"read-only", [&h] { return h.txtMsg()->isReadOnly(); }, true},
            // A vertical bar only, there even when the page fits; long lines wrap instead of scrolling sideways.
            {"scroll bars as designed", [] { return barsAtScale(1); }, QStringList{"vertical"}},
            {"scroll bars when the page fits", [] { return barsAtScale(3); }, QStringList{"vertical"}},
            {"scroll bars when narrowed", [] { return barsAtScale(0.4); }, QStringList{"vertical"}},
            {"long lines wrap", [] { return sidewaysScroll(); }, 0},
            {"tab order",
             [&h] {
                 return tabOrder({{"text", h.txtMsg()}, {"Close", h.cmdClose()}});
             },
             QStringList{"text", "Close"}},
        });
    }

    void shownTextsAndStates()
    {
        frmHelp().Show();
        compareShownRow();
    }

    void textIsEightParagraphsWithOneEmptyLineBetween()
    {
        const QString text = HelpText();
        QCOMPARE(text.split(kBreak).size(), 8);
        QVERIFY(!text.startsWith(QLatin1Char('\r')) && !text.startsWith(QLatin1Char('\n')));
        QVERIFY(!text.endsWith(QLatin1Char('\n')) && !text.endsWith(QLatin1Char('\r')));
        for (const QString& paragraph : text.split(kBreak)) {
            QVERIFY(!paragraph.isEmpty());
            // Every line break is part of a separator: no breaks inside a paragraph, no lone CR or LF.
            QVERIFY2(!paragraph.contains(QLatin1Char('\n')) && !paragraph.contains(QLatin1Char('\r')),
                     qPrintable(paragraph));
            // Sentences are set apart by two blanks.
            QVERIFY2(!paragraph.contains(QRegularExpression(QStringLiteral("[.!?] [A-Z]"))), qPrintable(paragraph));
        }
    }

    void paragraphsComeInOrder_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QStringList>("mentions");
        QTest::newRow("1 port and line") << 0 << QStringList{"com port", "PTT", "RTS line."};
        QTest::newRow("2 recordings") << 1 << QStringList{"WAV", "8-bit, 8,000 Hz, mono"};
        QTest::newRow("3 setting a button") << 2 << QStringList{"right click", "Set Wave File", "10 characters"};
        QTest::newRow("4 clearing") << 3 << QStringList{"To clear a button"};
        QTest::newRow("5 playing") << 4 << QStringList{"To play a button", "Stop button"};
        QTest::newRow("6 on top") << 5 << QStringList{"Keep On Top"};
        QTest::newRow("7 ID timer") << 6 << QStringList{"nine minute", "Double click", "'Time to ID.'"};
        QTest::newRow("8 contact") << 7 << QStringList{"I can be contacted at:", contactEmail(), contactWeb()};
    }
    void paragraphsComeInOrder()
    {
        QFETCH(int, index);
        QFETCH(QStringList, mentions);
        const QString paragraph = HelpText().split(kBreak).at(index);
        for (const QString& mention : mentions)
            QVERIFY2(paragraph.contains(mention), qPrintable(mention + QStringLiteral(" in: ") + paragraph));
    }

    void pageShowsTheTextReadOnly()
    {
        FrmHelp& help = frmHelp();
        SetMousePointer(kPointerBusy);
        help.Show();
        QCOMPARE(MousePointer(), kPointerDefault);
        QPlainTextEdit* txt = help.txtMsg();
        QCOMPARE(txt->toPlainText(), shownText());
        QVERIFY(!help.cmdClose()->isDefault() && !help.cmdClose()->autoDefault());

        // Typing, pasting and deleting change nothing...
        QGuiApplication::clipboard()->setText(QStringLiteral("pasted"));
        txt->setFocus();
        QTest::keyClicks(txt, QStringLiteral("typed"));
        QTest::keyClick(txt, Qt::Key_V, Qt::ControlModifier);
        QTest::keyClick(txt, Qt::Key_Delete);
        QTest::keyClick(txt, Qt::Key_Backspace);
        QCOMPARE(txt->toPlainText(), shownText());
        // ... but the operator can select and copy.
        QTest::keyClick(txt, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(txt, Qt::Key_C, Qt::ControlModifier);
        QVERIFY(QGuiApplication::clipboard()->text().startsWith(HelpText().left(40)));
        QVERIFY(txt->textInteractionFlags() & Qt::TextSelectableByMouse);
    }

    // Shrunk, the page scrolls; reopened, it starts again at the first line.
    void pageScrollsAndReopensAtTheTop()
    {
        FrmHelp& help = frmHelp();
        help.Show();
        const QSize designed = help.txtMsg()->size();
        help.window()->resize(help.window()->width() / 2, help.window()->height() / 2);
        QTRY_VERIFY(help.txtMsg()->width() < designed.width() * 3 / 4);
        QScrollBar* bar = help.txtMsg()->verticalScrollBar();
        QTRY_VERIFY(bar->maximum() > 0);
        bar->setValue(bar->maximum());
        QVERIFY(help.Unload());

        help.Show();
        QCOMPARE(help.txtMsg()->verticalScrollBar()->value(), 0);
        QCOMPARE(help.txtMsg()->textCursor().position(), 0);
    }

    void closeEndsTheModalShow_data()
    {
        QTest::addColumn<bool>("closeBox");
        QTest::newRow("Close button") << false;
        QTest::newRow("close box") << true;
    }
    void closeEndsTheModalShow()
    {
        QFETCH(bool, closeBox);
        // Enter and Escape are no shortcuts for Close.
        const QStringList seen = closeModal(frmHelp(), [closeBox](QWidget* w) {
            if (closeBox)
                w->close();
            else
                QTest::mouseClick(frmHelp().cmdClose(), Qt::LeftButton);
        });
        QCOMPARE(seen, QStringList({"modal", "arrow pointer", "open after Enter and Escape", "closed"}));
    }
};

QTEST_MAIN(TestFrmHelp)
#include "tst_frmhelp.moc"
