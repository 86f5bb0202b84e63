#include "windows/frmabout.h"
#include "core/globals.h"
#include "core/toolkit.h"
#include "core/version.h"
#include "tests/fakes/testenv.h"
#include "windows/frmauthpic.h"
#include "windows/modrunbrowse.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

namespace {

// A small About box, so a tour over it is over in a few dozen ticks.
class SmallTour : public TourGeometry
{
public:
    TwipsRect ownRect{0, 0, 1320, 1440};
    TwipsRect own() const override { return ownRect; }
    void moveOwn(float left, float top) override
    {
        ownRect.left = left;
        ownRect.top = top;
    }
    TwipsRect about() const override { return {3000, 3000, 1420, 1540}; }
};

QLabel* label(const QString& name)
{
    return frmAbout().window()->findChild<QLabel*>(name);
}

} // namespace

class TestFrmAbout : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        ShellRequests::setScripted(true);
        ShellRequests::reset();
    }
    void cleanup()
    {
        frmAuthPic().setGeometrySource(nullptr);
        frmAuthPic().Unload();
        frmAbout().Unload();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void labelsShowTheirTexts_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::newRow("title") << "lblTitle"
                               << "Wren Voice Keyer";
        QTest::newRow("version, bare") << "lblVersion"
                                       << "2.0.1";
        QTest::newRow("copyright") << "lblCopyright" << QString::fromUtf8("Copyright \u00A9 2003-2024 W1ABC");
        QTest::newRow("freeware") << "lblMsg2"
                                  << "Amateur Radio Freeware";
        QTest::newRow("contact line") << "lblMsg1"
                                      << "You can contact me by clicking the link below !";
        QTest::newRow("link") << "lblWebLink" << contactEmail();
    }
    void labelsShowTheirTexts()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        TestEnv env;
        gVersion = QStringLiteral("2.0.1");
        gCopyright = QString::fromUtf8("Copyright \u00A9 2003-2024 W1ABC");
        frmAbout().Load();
        QLabel* shown = label(name);
        QVERIFY(shown);
        QCOMPARE(shown->text(), text);
        QVERIFY(shown->alignment() & Qt::AlignHCenter);
        QCOMPARE(shown->parentWidget(), frmAbout().Frame1());
        // A substituted font may be smaller, never cut off.
        QVERIFY2(shown->fontMetrics().horizontalAdvance(text) <= shown->contentsRect().width(), qPrintable(name));
    }

    void versionLabelIsTheBareNumber()
    {
        TestEnv env;
        gVersion = composeVersion(programVersion());
        frmAbout().Load();
        QVERIFY(QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+$"))
                    .match(frmAbout().lblVersion()->text())
                    .hasMatch());
        QCOMPARE(frmAbout().lblVersion()->text(), gVersion);
    }

    void labelsLookAsDesigned_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<bool>("bold");
        QTest::addColumn<bool>("underline");
        QTest::newRow("title purple") << "lblTitle" << QColor(128, 0, 128) << true << false;
        QTest::newRow("version purple") << "lblVersion" << QColor(128, 0, 128) << true << false;
        QTest::newRow("freeware orange-red") << "lblMsg2" << QColor(192, 64, 0) << true << false;
        QTest::newRow("contact line dark red") << "lblMsg1" << QColor(192, 0, 0) << true << false;
        QTest::newRow("link blue underlined") << "lblWebLink" << QColor(0, 0, 255) << true << true;
    }
    void labelsLookAsDesigned()
    {
        QFETCH(QString, name);
        QFETCH(QColor, colour);
        QFETCH(bool, bold);
        QFETCH(bool, underline);
        TestEnv env;
        frmAbout().Load();
        QLabel* shown = label(name);
        QCOMPARE(shown->palette().color(QPalette::WindowText), colour);
        QCOMPARE(shown->font().bold(), bold);
        QCOMPARE(shown->font().underline(), underline);
    }

    void linkHasTheHandCursor()
    {
        TestEnv env;
        frmAbout().Load();
        const QCursor cursor = frmAbout().lblWebLink()->cursor();
        QCOMPARE(cursor.shape(), Qt::BitmapCursor);
        QCOMPARE(cursor.hotSpot(), QPoint(5, 0));
        QCOMPARE(cursor.pixmap().size(), QSize(32, 32));
        // The hot spot is on the fingertip, not on a transparent pixel.
        QVERIFY(qAlpha(cursor.pixmap().toImage().pixel(5, 0)) > 128);
    }

    void linkClickAsksForMail_data()
    {
        QTest::addColumn<Qt::MouseButton>("button");
        QTest::addColumn<int>("requests");
        QTest::newRow("left click") << Qt::LeftButton << 1;
        QTest::newRow("right click") << Qt::RightButton << 0;
    }
    void linkClickAsksForMail()
    {
        QFETCH(Qt::MouseButton, button);
        QFETCH(int, requests);
        TestEnv env;
        frmAbout().Show();
        QTest::mouseClick(frmAbout().lblWebLink(), button);
        QCOMPARE(ShellRequests::opened().size(), requests);
        QVERIFY(frmAbout().isLoaded());
        QVERIFY(MessageBoxes::asked().isEmpty());
        if (requests == 0)
            return;
        const ShellRequests::Request& r = ShellRequests::opened().first();
        QCOMPARE(r.document, QStringLiteral("mailto:") + frmAbout().lblWebLink()->text());
        QCOMPARE(r.document, QStringLiteral("mailto:") + frmAbout().email());
        QCOMPARE(r.owner.data(), frmAbout().window());
        QCOMPARE(r.showCommand, std::int16_t(0));
    }

    // Title and version open the picture over the About box; the tour's end closes both.
    void titleAndVersionOpenTheAuthorPicture_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("title") << "lblTitle";
        QTest::newRow("version") << "lblVersion";
    }
    void titleAndVersionOpenTheAuthorPicture()
    {
        QFETCH(QString, name);
        TestEnv env;
        SmallTour tour;
        frmAuthPic().setGeometrySource(&tour);
        bool pictureModal = false;
        bool aboutOpenUnderneath = false;
        MessageBoxes::setOnShow([&](const MessageBoxes::Asked&) {
            pictureModal = frmAuthPic().isLoaded() && QApplication::activeModalWidget() == frmAuthPic().window();
            aboutOpenUnderneath = frmAbout().isLoaded();
        });
        QTimer::singleShot(0, &frmAbout(), [&] { QTest::mouseClick(label(name), Qt::LeftButton); });
        // A tour that never ended would otherwise hang the test.
        bool timedOut = false;
        QTimer::singleShot(20000, &frmAbout(), [&] {
            timedOut = true;
            frmAuthPic().Unload();
            frmAbout().Unload();
        });
        frmAbout().ShowModal();
        QVERIFY(!timedOut);

        QCOMPARE(MessageBoxes::asked().size(), 1);
        QCOMPARE(MessageBoxes::asked().first().text, QStringLiteral("Thanks for using the Wren Voice Keyer"));
        QVERIFY(pictureModal);
        QVERIFY(aboutOpenUnderneath);
        QVERIFY(!frmAuthPic().isLoaded());
        QVERIFY(!frmAbout().isLoaded());
        QCOMPARE(frmAuthPic().phase(), std::int16_t(0));
    }

    void okEndsTheModalShow_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("OK button") << "click";
        QTest::newRow("Alt+O") << "alt+o";
        QTest::newRow("close box") << "close";
    }
    void okEndsTheModalShow()
    {
        QFETCH(QString, how);
        TestEnv env;
        SetMousePointer(kPointerBusy);
        bool pointerReset = false;
        bool stillOpenAfterEnterAndEscape = false;
        QTimer::singleShot(0, &frmAbout(), [&] {
            pointerReset = MousePointer() == kPointerDefault;
            QWidget* w = frmAbout().window();
            QTest::keyClick(w, Qt::Key_Return);
            QTest::keyClick(w, Qt::Key_Escape);
            stillOpenAfterEnterAndEscape = frmAbout().isLoaded();
            if (!frmAbout().isLoaded())
                return;
            if (how == QLatin1String("click"))
                QTest::mouseClick(frmAbout().cmdOK(), Qt::LeftButton);
            else if (how == QLatin1String("alt+o") && QTest::qWaitForWindowActive(w))
                QTest::keyClick(w, Qt::Key_O, Qt::AltModifier);
            else
                w->close();
        });
        bool timedOut = false;
        QTimer::singleShot(5000, &frmAbout(), [&] { timedOut = frmAbout().Unload(); });
        frmAbout().ShowModal();
        QVERIFY(!timedOut);
        QVERIFY(pointerReset);
        QVERIFY(stillOpenAfterEnterAndEscape);
        QVERIFY(!frmAbout().isLoaded());
        QVERIFY(MessageBoxes::asked().isEmpty());
    }
};

QTEST_MAIN(TestFrmAbout)
#include "tst_frmabout.moc"
