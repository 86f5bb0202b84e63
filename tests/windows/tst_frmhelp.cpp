#include "windows/frmhelp.h"
#include "core/toolkit.h"
#include "core/version.h"
#include "tests/fakes/testenv.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

namespace {

const QString kBreak = QStringLiteral("\r\n\r\n");

} // namespace

class TestFrmHelp : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        frmHelp().Unload();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void textIsEightParagraphsWithOneEmptyLineBetween()
    {
        const QString text = HelpText();
        QCOMPARE(text.split(kBreak).size(), 8);
        QVERIFY(!text.startsWith(QLatin1Char('\r')) && !text.startsWith(QLatin1Char('\n')));
        QVERIFY(!text.endsWith(QLatin1Char('\n')) && !text.endsWith(QLatin1Char('\r')));
        // Every line break is part of a separator: no paragraph breaks inside, no lone CR or LF.
        QCOMPARE(text.count(QLatin1Char('\n')), 14);
        QCOMPARE(text.count(QLatin1Char('\r')), 14);
        QVERIFY(!text.contains(QStringLiteral("\r\n\r\n\r\n")));
        for (const QString& paragraph : text.split(kBreak)) {
            QVERIFY(!paragraph.isEmpty());
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
        QTest::newRow("1 port and line") << 0 << QStringList{"Settings", "com port", "PTT", "RTS line."};
        QTest::newRow("2 recordings") << 1 << QStringList{"WAV", "CQ", "QTH", "CQ CONTEST", "8-bit, 8,000 Hz, mono"};
        QTest::newRow("3 setting a button") << 2
                                            << QStringList{"right click", "Set Wave File", "10 characters",
                                                           "Select Wave File", "This sets the WAV file to the button."};
        QTest::newRow("4 clearing") << 3
                                    << QStringList{
                                           "To clear a button, just leave the caption field blank and click OK."};
        QTest::newRow("5 playing") << 4
                                   << QStringList{"To play a button just left click it!  To stop a button that is "
                                                  "playing click the Stop button."};
        QTest::newRow("6 on top") << 5
                                  << QStringList{"You can keep the Wren Voice Keyer on top of all other programs when "
                                                 "it is running by setting Keep On Top to yes."};
        QTest::newRow("7 ID timer") << 6
                                    << QStringList{"nine minute", "status bar", "Double click",
                                                   "When the timer expires, it will beep and display the message "
                                                   "'Time to ID.'"};
        QTest::newRow("8 contact") << 7 << QStringList{"I can be contacted at:", contactEmail(), contactWeb()};
    }
    void paragraphsComeInOrder()
    {
        QFETCH(int, index);
        QFETCH(QStringList, mentions);
        const QString paragraph = HelpText().split(kBreak).at(index);
        for (const QString& mention : mentions)
            QVERIFY2(paragraph.contains(mention), qPrintable(mention + QStringLiteral(" in: ") + paragraph));
        // The fixed paragraphs are the whole paragraph; the closing line starts with its greeting.
        if (mentions.size() == 1)
            QCOMPARE(paragraph, mentions.first());
        if (index == 7) {
            QVERIFY(paragraph.startsWith(QStringLiteral("I can be contacted at:")));
            QVERIFY(HelpText().endsWith(contactWeb()));
        }
    }

    void pageShowsTheTextFromTheTopReadOnly()
    {
        TestEnv env;
        FrmHelp& help = frmHelp();
        SetMousePointer(kPointerBusy);
        help.Show();
        QCOMPARE(MousePointer(), kPointerDefault);
        QCOMPARE(help.window()->windowTitle(), QStringLiteral("Help"));
        QPlainTextEdit* txt = help.txtMsg();
        QCOMPARE(txt->toPlainText(), HelpText().replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
        QVERIFY(txt->isReadOnly());
        QCOMPARE(txt->palette().color(QPalette::Text), QColor(0, 0, 255));
        QVERIFY(txt->font().bold());
        QCOMPARE(txt->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(txt->lineWrapMode(), QPlainTextEdit::WidgetWidth);
        QVERIFY(!help.cmdClose()->isDefault() && !help.cmdClose()->autoDefault());

        // Typing, pasting and deleting change nothing.
        QGuiApplication::clipboard()->setText(QStringLiteral("pasted"));
        txt->setFocus();
        QTest::keyClicks(txt, QStringLiteral("typed"));
        QTest::keyClick(txt, Qt::Key_V, Qt::ControlModifier);
        QTest::keyClick(txt, Qt::Key_Delete);
        QTest::keyClick(txt, Qt::Key_Backspace);
        QCOMPARE(txt->toPlainText(), HelpText().replace(QStringLiteral("\r\n"), QStringLiteral("\n")));

        // ... but the operator can select and copy.
        QTest::keyClick(txt, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(txt, Qt::Key_C, Qt::ControlModifier);
        QVERIFY(QGuiApplication::clipboard()->text().startsWith(HelpText().left(40)));
        QVERIFY(txt->textInteractionFlags() & Qt::TextSelectableByMouse);
    }

    // Shrunk, the page scrolls; reopened, it starts again at the first line.
    void pageScrollsAndReopensAtTheTop()
    {
        TestEnv env;
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
        QTest::addColumn<QString>("how");
        QTest::newRow("Close button") << "cmdClose";
        QTest::newRow("close box") << "close box";
    }
    void closeEndsTheModalShow()
    {
        QFETCH(QString, how);
        TestEnv env;
        FrmHelp& help = frmHelp();
        bool wasModal = false;
        QTimer::singleShot(0, &help, [&] {
            wasModal = help.window() && help.window()->isModal();
            // Enter and Escape are no shortcuts for Close.
            QTest::keyClick(help.window(), Qt::Key_Return);
            QTest::keyClick(help.window(), Qt::Key_Escape);
            if (!help.isLoaded())
                return;
            if (how == QLatin1String("cmdClose"))
                QTest::mouseClick(help.cmdClose(), Qt::LeftButton);
            else
                help.window()->close();
        });
        bool timedOut = false;
        QTimer::singleShot(5000, &help, [&] { timedOut = help.Unload(); });
        help.ShowModal();
        QVERIFY(!timedOut);
        QVERIFY(wasModal);
        QVERIFY(!help.isLoaded());
    }
};

QTEST_MAIN(TestFrmHelp)
#include "tst_frmhelp.moc"
