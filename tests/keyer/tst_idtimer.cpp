#include "keyer/idtimer.h"

#include <QTest>

class TestIdTimer : public QObject
{
    Q_OBJECT

private:
    static QStringList run(IdCountdown& c, int ticks, int* beeps = nullptr)
    {
        QStringList shown;
        for (int i = 0; i < ticks; ++i) {
            const IdCountdown::Tick t = c.Timer();
            shown << t.text;
            if (beeps && t.beep)
                ++*beeps;
        }
        return shown;
    }

    static IdCountdown started()
    {
        IdCountdown c;
        c.ResetIdTimer();
        c.SwitchOff();
        c.PanelDblClick(3);
        return c;
    }

private slots:
    void fullCountdown()
    {
        IdCountdown c = started();
        int beeps = 0;
        const QStringList shown = run(c, 531, &beeps);
        QCOMPARE(shown.first(), QStringLiteral("08:58"));
        QCOMPARE(shown.last(), QStringLiteral("00:00"));
        QCOMPARE(beeps, 0);
        // The seconds roll over after showing 00, so :59 never appears.
        QVERIFY(!shown.join(QLatin1Char(' ')).contains(QStringLiteral(":59")));
        QCOMPARE(shown.indexOf(QStringLiteral("08:00")), 58);
        QCOMPARE(shown.indexOf(QStringLiteral("07:58")), 59);
        QStringList distinct = shown;
        QCOMPARE(distinct.removeDuplicates(), 0);

        const IdCountdown::Tick expired = c.Timer();
        QCOMPARE(expired.text, QStringLiteral("Time to ID"));
        QVERIFY(expired.beep);
        // It keeps beeping until the operator turns it off.
        run(c, 5, &beeps);
        QCOMPARE(beeps, 5);
        c.PanelDblClick(3);
        const IdCountdown::Tick off = c.Timer();
        QCOMPARE(off.text, QStringLiteral("Timer OFF"));
        QVERIFY(!off.beep);
        c.PanelDblClick(3);
        QCOMPARE(c.Timer().text, QStringLiteral("08:58"));
    }

    void otherPanelsChangeNothing_data()
    {
        QTest::addColumn<int>("panel");
        QTest::newRow("date panel") << 1;
        QTest::newRow("time panel") << 2;
        QTest::newRow("outside") << 4;
        QTest::newRow("zero") << 0;
    }

    void otherPanelsChangeNothing()
    {
        QFETCH(int, panel);
        IdCountdown off;
        off.ResetIdTimer();
        off.SwitchOff();
        off.PanelDblClick(panel);
        int beeps = 0;
        QCOMPARE(run(off, 3, &beeps), QStringList(3, QStringLiteral("Timer OFF")));
        QCOMPARE(beeps, 0);

        IdCountdown counting = started();
        run(counting, 10);
        counting.PanelDblClick(panel);
        QCOMPARE(counting.Timer().text, QStringLiteral("08:48"));
    }

    void restartBeginsAfresh()
    {
        IdCountdown c = started();
        const QStringList shown = run(c, 224);
        QCOMPARE(shown.last(), QStringLiteral("05:12"));
        c.PanelDblClick(3);
        QCOMPARE(c.Timer().text, QStringLiteral("Timer OFF"));
        c.PanelDblClick(3);
        QCOMPARE(c.Timer().text, QStringLiteral("08:58"));
    }
};

QTEST_APPLESS_MAIN(TestIdTimer)
#include "tst_idtimer.moc"
