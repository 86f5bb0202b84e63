#include "core/globals.h"
#include "core/toolkit.h"
#include "core/version.h"
#include "tests/fakes/window_fixture.h"
#include "windows/frmabout.h"
#include "windows/frmauthpic.h"
#include "windows/modrunbrowse.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <functional>
#include <memory>

namespace {

// The labels top to bottom, then OK.
NamedControls namedControls()
{
    FrmAbout& a = frmAbout();
    return {{QStringLiteral("title"), a.lblTitle()},   {QStringLiteral("version"), a.lblVersion()},
            {QStringLiteral("freeware"), a.lblMsg2()}, {QStringLiteral("contact"), a.lblMsg1()},
            {QStringLiteral("link"), a.lblWebLink()},  {QStringLiteral("copyright"), a.lblCopyright()},
            {QStringLiteral("OK"), a.cmdOK()}};
}

// The names of the labels that pass `test`.
QStringList controlsWhere(const std::function<bool(const QLabel*)>& test)
{
    QStringList names;
    for (const auto& [name, control] : namedControls()) {
        const auto* label = qobject_cast<const QLabel*>(control);
        if (label && test(label))
            names << name;
    }
    return names;
}

QStringList readingOrder()
{
    QStringList order;
    int last = -1;
    for (const auto& [name, control] : namedControls()) {
        const int top = control->mapTo(control->window(), QPoint()).y();
        order << (top > last ? name : name + QStringLiteral(" out of place"));
        last = top;
    }
    return order;
}

// The copyright line keeps the desktop's colour.
QStringList textColours()
{
    QStringList colours;
    for (const auto& [name, control] : namedControls().mid(0, 5))
        colours << name + QLatin1Char(' ') + control->palette().color(QPalette::WindowText).name();
    return colours;
}

bool minMaxButtons(const QWidget* window)
{
    return window->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint);
}

const QRegularExpression kBareVersion(QStringLiteral("^\\d+\\.\\d+\\.\\d+$"));

QStringList cursorShown(const QCursor& cursor)
{
    // The hot spot is on the fingertip, not on a transparent pixel.
    const bool opaque = !cursor.pixmap().isNull() && qAlpha(cursor.pixmap().toImage().pixel(cursor.hotSpot())) > 128;
    return {cursor.shape() == Qt::BitmapCursor ? QStringLiteral("bitmap") : QStringLiteral("shape"),
            QStringLiteral("hot spot %1,%2").arg(cursor.hotSpot().x()).arg(cursor.hotSpot().y()),
            QStringLiteral("%1x%2").arg(cursor.pixmap().width()).arg(cursor.pixmap().height()),
            opaque ? QStringLiteral("on the fingertip") : QStringLiteral("transparent")};
}

// What a click on the link asked of the shell, and whether the About box stayed open without a word.
QStringList mailRequests(FrmAbout& about, Qt::MouseButton button)
{
    QTest::mouseClick(about.lblWebLink(), button);
    QStringList requests;
    for (const ShellRequests::Request& r : ShellRequests::opened()) {
        requests << QStringLiteral("%1, show %2%3%4")
                        .arg(r.document)
                        .arg(r.showCommand)
                        .arg(r.owner.data() == about.window() ? "" : ", not owned by the About box")
                        .arg(r.document == QStringLiteral("mailto:") + about.email() ? "" : ", not its address");
    }
    if (about.isLoaded() && MessageBoxes::asked().isEmpty())
        requests << QStringLiteral("still open");
    return requests;
}

} // namespace

class TestFrmAbout : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnv> mEnv;

private slots:
    void init()
    {
        mEnv = std::make_unique<TestEnv>();
        ShellRequests::setScripted(true);
        ShellRequests::reset();
    }
    void cleanup()
    {
        frmAuthPic().setGeometrySource(nullptr);
        frmAuthPic().Unload();
        frmAbout().Unload();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        mEnv.reset();
    }

    void shownTextsAndStates_data()
    {
        FrmAbout& a = frmAbout();
        const QStringList labels{"title", "version", "freeware", "contact", "link", "copyright"};
        addShownRows({
            {"caption", [&a] { return a.window()->windowTitle(); }, "About"},
            {"title", [&a] { return a.lblTitle()->text(); }, "Wren Voice Keyer"},
            {"version", [&a] { return a.lblVersion()->text(); }, composeVersion(programVersion())},
            {"version, bare", [&a] { return a.lblVersion()->text().contains(kBareVersion); }, true},
            {"first fixed line", [&a] { return a.lblMsg2()->text(); }, "Amateur Radio Freeware"},
            {"second fixed line", [&a] { return a.lblMsg1()->text(); },
             "You can contact me by clicking the link below !"},
            {"link", [&a] { return a.lblWebLink()->text(); }, contactEmail()},
            {"copyright", [&a] { return a.lblCopyright()->text(); },
             QString::fromUtf8("Copyright \u00A9 2003-2024 W1ABC")},
            {"OK", [&a] { return a.cmdOK()->text(); }, "&OK"},
            {"top to bottom", [] { return readingOrder(); }, QStringList(labels) << "OK"},
            {"centred", [] { return controlsWhere([](const QLabel* l) { return l->alignment() == Qt::AlignCenter; }); },
             labels},
            {"bold", [] { return controlsWhere([](const QLabel* l) { return l->font().bold(); }); }, labels.mid(0, 5)},
            {"link underlined", [&a] { return a.lblWebLink()->font().underline(); }, true},
            {"link cursor", [&a] { return cursorShown(a.lblWebLink()->cursor()); },
             QStringList{"bitmap", "hot spot 5,0", "32x32", "on the fingertip"}},
            // A substituted font may be smaller, never cut off.
            {"captions in full", [&a] { return clippedCaption(a.window()); }, ""},
            {"colours", [] { return textColours(); },
             QStringList{"title #800080", "version #800080", "freeware #c04000", "contact #c00000", "link #0000ff"}},
            {"no minimise or maximise button", [&a] { return minMaxButtons(a.window()); }, false},
            {"fixed size", [&a] { return a.window()->minimumSize() == a.window()->maximumSize(); }, true},
            // Handed to the shell hidden, as the program always asked.
            {"mail request", [&a] { return mailRequests(a, Qt::LeftButton); },
             QStringList{"mailto:" + contactEmail() + ", show 0", "still open"}},
            {"right click on the link", [&a] { return mailRequests(a, Qt::RightButton); }, QStringList{"still open"}},
        });
    }

    void shownTextsAndStates()
    {
        gVersion = composeVersion(programVersion());
        gCopyright = QString::fromUtf8("Copyright \u00A9 2003-2024 W1ABC");
        frmAbout().Show();
        compareShownRow();
    }

    // Title and version open the picture over the About box; the tour's end closes both.
    void titleAndVersionOpenTheAuthorPicture_data()
    {
        QTest::addColumn<bool>("title");
        QTest::newRow("title") << true;
        QTest::newRow("version") << false;
    }
    void titleAndVersionOpenTheAuthorPicture()
    {
        QFETCH(bool, title);
        // A small About box, so the tour is over in a few dozen ticks.
        FakeTourGeometry tour({3000, 3000, 1420, 1540});
        frmAuthPic().setGeometrySource(&tour);
        bool pictureModal = false;
        bool aboutOpenUnderneath = false;
        MessageBoxes::setOnShow([&](const MessageBoxes::Asked&) {
            pictureModal = frmAuthPic().isLoaded() && QApplication::activeModalWidget() == frmAuthPic().window();
            aboutOpenUnderneath = frmAbout().isLoaded();
        });
        // The picture opens once the click has been delivered, and closes the About box at the tour's end.
        const auto click = [title] {
            QTest::mouseClick(title ? frmAbout().lblTitle() : frmAbout().lblVersion(), Qt::LeftButton);
            (void)QTest::qWaitFor([] { return !frmAbout().isLoaded(); }, 20000);
        };
        const bool closed = runModal([] { frmAbout().ShowModal(); }, frmAbout(), click);
        QVERIFY(closed);
        QCOMPARE(messageTexts(), QStringList{QStringLiteral("Thanks for using the Wren Voice Keyer")});
        QVERIFY(pictureModal);
        QVERIFY(aboutOpenUnderneath);
        QVERIFY(!frmAuthPic().isLoaded());
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
        const QStringList seen = closeModal(frmAbout(), [&how](QWidget* w) {
            if (how == QLatin1String("click"))
                QTest::mouseClick(frmAbout().cmdOK(), Qt::LeftButton);
            else if (how == QLatin1String("alt+o") && QTest::qWaitForWindowActive(w))
                QTest::keyClick(w, Qt::Key_O, Qt::AltModifier);
            else
                w->close();
        });
        QCOMPARE(seen, QStringList({"modal", "arrow pointer", "open after Enter and Escape", "closed"}));
        QVERIFY(MessageBoxes::asked().isEmpty());
    }
};

QTEST_MAIN(TestFrmAbout)
#include "tst_frmabout.moc"
