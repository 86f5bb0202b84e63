#include "core/addslash.h"
#include "core/globals.h"
#include "core/settings.h"
#include "tests/fakes/testenv.h"

#include <QFile>
#include <QSettings>
#include <QTest>

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void fileLivesInTheUsersConfigFolder()
    {
        TestEnv env;
        QCOMPARE(settingsFilePath(kAppTitle), env.configHome() + QStringLiteral("/WrenKeyer/Wren Voice Keyer.ini"));
    }

    void eachSaveReachesTheDisk()
    {
        TestEnv env;
        SaveSetting(kAppTitle, kSettingsSection, QStringLiteral("PTT Line"), QStringLiteral("DTR"));
        // Read the file behind the store's back: a kill right after the save must find it there.
        QSettings onDisk(env.settingsFile(), QSettings::IniFormat);
        QCOMPARE(onDisk.value(QStringLiteral("Settings/PTT Line")).toString(), QStringLiteral("DTR"));
    }

    void valuesSurviveAsTyped_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("blanks") << QStringLiteral("/home/op/My Recordings/cq  test.wav");
        QTest::newRow("quotes") << QStringLiteral("/home/op/\"odd\" name.wav");
        QTest::newRow("non-ascii") << QStringLiteral("/home/op/Grüße/ÅÄÖ-呼叫.wav");
        QTest::newRow("comma") << QStringLiteral("/home/op/a, b.wav");
        QTest::newRow("leading at") << QStringLiteral("@Variant(not really)");
        QTest::newRow("semicolon and hash") << QStringLiteral("a;b#c=d");
        QTest::newRow("only blanks") << QStringLiteral("   ");
        QTest::newRow("empty") << QString();
    }

    void valuesSurviveAsTyped()
    {
        QFETCH(QString, value);
        TestEnv env;
        SaveSetting(kAppTitle, kSettingsSection, QStringLiteral("Message 3"), value);
        QCOMPARE(GetSetting(kAppTitle, kSettingsSection, QStringLiteral("Message 3")), value);
        QSettings onDisk(env.settingsFile(), QSettings::IniFormat);
        QCOMPARE(onDisk.value(QStringLiteral("Settings/Message 3")).toString(), value);
    }

    // The INI reader splits an unquoted comma into a list; the program must see the text as it was typed.
    void handEditedValueIsReadAsTyped_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("expected");
        QTest::newRow("comma and blank") << QByteArray("[Settings]\nMessage%201=CQ, DX\n") << QStringLiteral("CQ, DX");
        QTest::newRow("bare comma") << QByteArray("[Settings]\nMessage%201=/a,b.wav\n") << QStringLiteral("/a,b.wav");
        QTest::newRow("two commas") << QByteArray("[Settings]\nMessage%201 = /a,,b.wav \n")
                                    << QStringLiteral("/a,,b.wav");
        QTest::newRow("blank in key") << QByteArray("[Settings]\nMessage 1=x,y\n") << QStringLiteral("x,y");
        QTest::newRow("other section first")
            << QByteArray("[Ports]\nMessage%201=p,q\n[Settings]\nMessage%201=/r,s.wav\n") << QStringLiteral("/r,s.wav");
    }

    void handEditedValueIsReadAsTyped()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, expected);
        TestEnv env;
        QVERIFY(env.writeSettingsBytes(file));
        QCOMPARE(GetSetting(kAppTitle, kSettingsSection, QStringLiteral("Message 1")), expected);
    }

    void unreadableFileIsMovedAsideNotLost_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("unreadable");
        QTest::newRow("binary") << QByteArray("\x00\x01\x02garbage\xff\xfe", 13) << true;
        QTest::newRow("invalid utf-8") << QByteArray("[Settings]\nComm%20Port=\xc3\x28\n") << true;
        QTest::newRow("valid") << QByteArray("[Settings]\nComm%20Port=3\n") << false;
        QTest::newRow("empty file") << QByteArray() << false;
    }

    void unreadableFileIsMovedAsideNotLost()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, unreadable);
        TestEnv env;
        QVERIFY(env.writeSettingsBytes(content));

        const QString aside = quarantineUnreadableSettings(kAppTitle);
        if (!unreadable) {
            QVERIFY(aside.isEmpty());
            QCOMPARE(env.settingsBytes(), content);
            return;
        }
        QVERIFY(!aside.isEmpty());
        QVERIFY(!QFile::exists(env.settingsFile()));
        QFile kept(aside);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), content);
        // The store starts empty and works again.
        QVERIFY(GetSetting(kAppTitle, kSettingsSection, QStringLiteral("Comm Port")).isEmpty());
        SaveSetting(kAppTitle, kSettingsSection, QStringLiteral("Comm Port"), QStringLiteral("None"));
        QCOMPARE(GetSetting(kAppTitle, kSettingsSection, QStringLiteral("Comm Port")), QStringLiteral("None"));
    }

    void addSlash_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected");
        QTest::newRow("folder") << QStringLiteral("/opt/wrenkeyer") << QStringLiteral("/opt/wrenkeyer/");
        QTest::newRow("already") << QStringLiteral("/opt/wrenkeyer/") << QStringLiteral("/opt/wrenkeyer/");
        QTest::newRow("root") << QStringLiteral("/") << QStringLiteral("/");
        QTest::newRow("empty") << QString() << QStringLiteral("/");
        QTest::newRow("blank at end") << QStringLiteral("/tmp/a ") << QStringLiteral("/tmp/a /");
    }

    void addSlash()
    {
        QFETCH(QString, path);
        QFETCH(QString, expected);
        QCOMPARE(AddSlash(path), expected);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
