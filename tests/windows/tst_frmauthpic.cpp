#include "core/globals.h"
#include "core/toolkit.h"
#include "tests/fakes/window_fixture.h"
#include "windows/frmabout.h"
#include "windows/frmauthpic.h"

#include <QLabel>
#include <QMouseEvent>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <memory>

namespace {

constexpr float kOwnWidth = 1320;
constexpr float kOwnHeight = 1440;

struct Tick
{
    float dx;
    float dy;
    int phaseBefore;
    qsizetype messages; // farewells shown so far
};

Tick tick(FrmAuthPic& pic, const FakeTourGeometry& g)
{
    const TwipsRect before = g.ownRect;
    const int phase = pic.phase();
    pic.Timer1_Timer();
    return {g.ownRect.left - before.left, g.ownRect.top - before.top, phase, MessageBoxes::asked().size()};
}

QList<Tick> runUntilClosed(FrmAuthPic& pic, const FakeTourGeometry& g)
{
    QList<Tick> ticks;
    while (pic.isLoaded() && ticks.size() < 100000)
        ticks.append(tick(pic, g));
    return ticks;
}

QString direction(const Tick& t)
{
    if (t.dx == 0 && t.dy > 0)
        return QStringLiteral("down");
    if (t.dx == 0 && t.dy < 0)
        return QStringLiteral("up");
    if (t.dy == 0 && t.dx < 0)
        return QStringLiteral("left");
    if (t.dy == 0 && t.dx > 0)
        return QStringLiteral("right");
    return t.dx == 0 && t.dy == 0 ? QStringLiteral("still") : QStringLiteral("diagonal");
}

// The legs of the tour: consecutive ticks in one direction count as one leg.
QStringList legs(const QList<Tick>& ticks)
{
    QStringList out;
    for (const Tick& t : ticks) {
        const QString d = direction(t);
        if (out.isEmpty() || out.last() != d)
            out << d;
    }
    return out;
}

// The number of ticks spent in each phase, in order.
QList<int> ticksPerPhase(const QList<Tick>& ticks)
{
    QList<int> counts;
    int current = -1;
    for (const Tick& t : ticks) {
        const int phase = t.phaseBefore == 0 ? 1 : t.phaseBefore;
        if (phase != current) {
            counts << 0;
            current = phase;
        }
        ++counts.last();
    }
    return counts;
}

void doubleClick(QWidget* widget)
{
    QMouseEvent press(QEvent::MouseButtonDblClick, QPointF(10, 10), widget->mapToGlobal(QPointF(10, 10)),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &press);
}

const QString kFarewell = QStringLiteral("Thanks for using the Wren Voice Keyer");

} // namespace

class TestFrmAuthPic : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnv> mEnv;

private slots:
    void init() { mEnv = std::make_unique<TestEnv>(); }
    void cleanup()
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        mEnv.reset();
    }

    void shownTextsAndStates_data()
    {
        FrmAuthPic& p = frmAuthPic();
        addShownRows({
            {"no caption", [&p] { return p.window()->windowTitle(); }, ""},
            {"no title bar", [&p] { return p.window()->windowFlags().testFlag(Qt::FramelessWindowHint); }, true},
            {"size", [&p] { return p.window()->size() == twipsRect(0, 0, 1320, 1440).size(); }, true},
            {"photograph", [&p] { return !p.Picture1()->pixmap().isNull(); }, true},
            {"tick while open", [&p] { return p.Timer1()->isActive() ? p.Timer1()->interval() : -1; }, 10},
            {"step", [&p] { return int(p.step()); }, 25},
        });
    }

    void shownTextsAndStates()
    {
        frmAuthPic().Load();
        compareShownRow();
        frmAuthPic().Unload();
    }

    void fullTourEndsAtTheCentreWithTheFarewell_data()
    {
        QTest::addColumn<TwipsRect>("about");
        QTest::newRow("about box as designed") << TwipsRect{3000, 2000, 5790, 4275};
        QTest::newRow("about box left of the screen") << TwipsRect{-7000, -1500, 5790, 4275};
        QTest::newRow("fractional edges") << TwipsRect{1234.5f, 987.25f, 5670.75f, 3870.5f};
        QTest::newRow("about box smaller than the picture") << TwipsRect{4000, 4000, 900, 700};
    }
    void fullTourEndsAtTheCentreWithTheFarewell()
    {
        QFETCH(TwipsRect, about);
        FakeTourGeometry g(about);
        FrmAuthPic pic;
        pic.setGeometrySource(&g);
        frmAbout().Load();
        pic.Load();
        QVERIFY(pic.Timer1()->isActive());
        QVERIFY(g.offCentre() < 0.01f);

        const QList<Tick> ticks = runUntilClosed(pic, g);

        QVERIFY(!pic.isLoaded());
        QVERIFY(!frmAbout().isLoaded());
        QCOMPARE(pic.phase(), std::int16_t(0));
        QCOMPARE(legs(ticks), QStringList({"down", "left", "up", "right", "down", "left", "up", "still"}));
        QCOMPARE(ticksPerPhase(ticks).size(), 8);
        QVERIFY(g.offCentre() <= 25);
        for (qsizetype i = 0; i + 1 < ticks.size(); ++i) {
            const Tick& t = ticks[i];
            const bool horizontal = std::fabs(t.dx) == 25 && t.dy == 0;
            const bool vertical = std::fabs(t.dy) == 25 && t.dx == 0;
            QVERIFY2(horizontal != vertical, qPrintable(QStringLiteral("tick %1: %2, %3").arg(i).arg(t.dx).arg(t.dy)));
            QCOMPARE(t.messages, 0);
        }
        QCOMPARE(ticks.last().phaseBefore, 8);
        QCOMPARE(ticks.last().messages, 1);
        QCOMPARE(MessageBoxes::asked().size(), 1);
        QCOMPARE(MessageBoxes::asked().first().text, kFarewell);
        QCOMPARE(MessageBoxes::asked().first().style, 64);
        QCOMPARE(MessageBoxes::asked().first().title, QStringLiteral("Elmer Says..."));
    }

    // The own edge exactly on the About box's edge has not passed it.
    void strictComparisonsDecideEachTurn_data()
    {
        QTest::addColumn<float>("margin");
        QTest::addColumn<QList<int>>("expected");
        QTest::newRow("edges meet exactly") << 100.0f << QList<int>{5, 5, 10, 10, 10, 6, 6, 1};
        QTest::newRow("edges never meet") << 110.0f << QList<int>{5, 5, 10, 10, 10, 6, 6, 1};
        QTest::newRow("half-twip margin") << 87.5f << QList<int>{4, 4, 8, 8, 8, 5, 5, 1};
        QTest::newRow("no margin") << 0.0f << QList<int>{1, 1, 2, 2, 2, 2, 2, 1};
    }
    void strictComparisonsDecideEachTurn()
    {
        QFETCH(float, margin);
        QFETCH(QList<int>, expected);
        FakeTourGeometry g({3000, 2000, kOwnWidth + 2 * margin, kOwnHeight + 2 * margin});
        FrmAuthPic pic;
        pic.setGeometrySource(&g);
        pic.Load();
        QCOMPARE(ticksPerPhase(runUntilClosed(pic, g)), expected);
    }

    void doubleClickInPhaseThreeEndsAndTheNextOpeningResumesThere()
    {
        FakeTourGeometry g({3000, 2000, 5790, 4275});
        FrmAuthPic pic;
        pic.setGeometrySource(&g);
        frmAbout().Load();
        pic.Load();
        while (pic.phase() != 3)
            tick(pic, g);
        tick(pic, g);
        tick(pic, g);

        bool timerStoppedForFarewell = false;
        int phaseDuringFarewell = -1;
        MessageBoxes::setOnShow([&](const MessageBoxes::Asked&) {
            timerStoppedForFarewell = pic.Timer1() && !pic.Timer1()->isActive();
            phaseDuringFarewell = pic.phase();
        });
        doubleClick(pic.Picture1());
        QCOMPARE(MessageBoxes::asked().size(), 1);
        QCOMPARE(MessageBoxes::asked().first().text, kFarewell);
        QVERIFY(timerStoppedForFarewell);
        QCOMPARE(phaseDuringFarewell, 3);
        QVERIFY(!pic.isLoaded());
        QVERIFY(!frmAbout().isLoaded());
        QCOMPARE(pic.phase(), std::int16_t(3));
        MessageBoxes::setOnShow(nullptr);

        // Moved meanwhile: the next opening starts from the About box's new centre.
        g.aboutRect.left += 400;
        g.aboutRect.top -= 300;
        frmAbout().Load();
        pic.Load();
        QVERIFY(g.offCentre() < 0.01f);
        const QList<Tick> resumed = runUntilClosed(pic, g);
        QCOMPARE(legs(resumed), QStringList({"up", "right", "down", "left", "up", "still"}));
        QCOMPARE(MessageBoxes::asked().size(), 2);
        QCOMPARE(pic.phase(), std::int16_t(0));

        // A tour that ended normally starts again from the beginning.
        pic.Load();
        QCOMPARE(direction(tick(pic, g)), QStringLiteral("down"));
        pic.Unload();
    }

    // The About box is 200 twips larger than the picture on every side, so
    // phase 1 takes 9 ticks and phase 2 another 9 when nothing moves.
    void movedAboutBoxIsFollowedFromTheNextTick_data()
    {
        QTest::addColumn<int>("phase");
        QTest::addColumn<int>("ticksBefore");
        QTest::addColumn<float>("dx");
        QTest::addColumn<float>("dy");
        QTest::addColumn<int>("ticksInPhase");
        QTest::newRow("moved down while going down") << 1 << 2 << 0.0f << 1000.0f << 49;
        QTest::newRow("moved up past the window while going down") << 1 << 2 << 0.0f << -400.0f << 3;
        QTest::newRow("moved left while going left") << 2 << 2 << -1000.0f << 0.0f << 49;
        QTest::newRow("moved right past the window while going left") << 2 << 2 << 500.0f << 0.0f << 3;
    }
    void movedAboutBoxIsFollowedFromTheNextTick()
    {
        QFETCH(int, phase);
        QFETCH(int, ticksBefore);
        QFETCH(float, dx);
        QFETCH(float, dy);
        QFETCH(int, ticksInPhase);
        FakeTourGeometry g({3000, 2000, kOwnWidth + 400, kOwnHeight + 400});
        FrmAuthPic pic;
        pic.setGeometrySource(&g);
        pic.Load();
        // Phase 0 before the first tick is the start of phase 1.
        while (pic.phase() != phase && !(phase == 1 && pic.phase() == 0))
            tick(pic, g);
        int ticks = 0;
        for (; ticks < ticksBefore; ++ticks)
            tick(pic, g);
        g.aboutRect.left += dx;
        g.aboutRect.top += dy;
        while (pic.phase() == phase && ticks < 1000) {
            tick(pic, g);
            ++ticks;
        }
        QCOMPARE(ticks, ticksInPhase);
        QCOMPARE(int(pic.phase()), phase + 1);
        pic.Unload();
    }

    // With the real windows the position lives in a record: pixel rounding
    // cannot eat a step, and a desktop that refuses moves cannot stall the tour.
    void windowGeometryKeepsExactTwips()
    {
        QWidget own;
        own.setFixedSize(twipsRect(0, 0, 1320, 1440).size());
        auto* about = new QWidget;
        about->setGeometry(twipsRect(1500, 1500, 5670, 3870));
        WindowTourGeometry g(&own, about);
        const float tx = static_cast<float>(twipsPerPixelX());

        g.moveOwn(1000.0f, 1012.5f);
        for (int i = 0; i < 25; ++i)
            g.moveOwn(g.own().left, g.own().top - 25);
        QCOMPARE(g.own().left, 1000.0f);
        QCOMPARE(g.own().top, 387.5f);
        QCOMPARE(own.pos(), QPoint(twipsToPixelsX(1000), twipsToPixelsY(387.5)));
        QCOMPARE(g.own().width, own.frameGeometry().width() * tx);

        const float left = g.about().left;
        about->move(about->x() + 10, about->y());
        QCOMPARE(g.about().left, left + 10 * tx);
        delete about;
        QCOMPARE(g.about().left, left + 10 * tx);
    }

    void realWindowsTourEndsOverTheAboutBox()
    {
        gVersion = QStringLiteral("2.0.1");
        FrmAuthPic pic;
        frmAbout().Show();
        pic.Load();
        QVERIFY(!pic.Picture1()->pixmap().isNull());
        const QPoint aboutCentre = frmAbout().window()->frameGeometry().center();
        QPoint centreBeforeFarewell;
        int ticks = 0;
        while (pic.isLoaded() && ticks < 100000) {
            if (pic.phase() == 8)
                centreBeforeFarewell = pic.window()->frameGeometry().center();
            pic.Timer1_Timer();
            ++ticks;
        }
        QVERIFY(!pic.isLoaded());
        QVERIFY(!frmAbout().isLoaded());
        QCOMPARE(MessageBoxes::asked().size(), 1);
        const int off = (centreBeforeFarewell - aboutCentre).manhattanLength();
        QVERIFY2(off <= 2 * twipsToPixelsX(25) + 2, qPrintable(QString::number(off)));
    }
};

QTEST_MAIN(TestFrmAuthPic)
#include "tst_frmauthpic.moc"
