#include "remote/keyerbus.h"
#include "remote/localserver.h"
#include "tests/fakes/fake_keyer.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <signal.h>

namespace {

// Catches PropertiesChanged as a logger would.
class Listener : public QObject
{
    Q_OBJECT

public:
    QList<QVariantMap> changes;

public slots:
    void propertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList&)
    {
        if (interface == kBusInterface)
            changes << changed;
    }
};

} // namespace

class TestKeyerBus : public QObject
{
    Q_OBJECT

    // A bus of the test's own, stopped by its process id; never the user's session bus.
    QProcess mDaemon;
    QString mAddress;
    FakeKeyer mKeyer;
    std::unique_ptr<KeyerBus> mBus;
    QTemporaryDir mDir;

    QDBusConnection client() const { return QDBusConnection(QStringLiteral("logger")); }

    QDBusMessage call(const QString& method, const QVariantList& arguments)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(kBusService, kBusPath, kBusInterface, method);
        message.setArguments(arguments);
        return client().call(message, QDBus::BlockWithGui, 3000);
    }

    QVariant property(const QString& name)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(
            kBusService, kBusPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        message << kBusInterface << name;
        const QDBusMessage reply = client().call(message, QDBus::BlockWithGui, 3000);
        if (reply.type() != QDBusMessage::ReplyMessage)
            return QVariant();
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }

    // False when there is no dbus-daemon to start.
    bool startOwnBus()
    {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty())
            return false;
        mDaemon.start(daemon, {"--session", "--nofork", "--nopidfile", "--print-address=1"});
        if (mDaemon.waitForStarted() && mDaemon.waitForReadyRead(5000))
            mAddress = QString::fromUtf8(mDaemon.readLine()).trimmed();
        return true;
    }

private slots:
    void initTestCase()
    {
        // The bus scripts/test started for the run, which stops it; else one of our own.
        mAddress = qEnvironmentVariable("WRENKEYER_TEST_BUS");
        if (mAddress.isEmpty() && !startOwnBus())
            QSKIP("dbus-daemon is not installed (scripts/setup installs it)");
        QVERIFY(!mAddress.isEmpty());
        QVERIFY(QDBusConnection::connectToBus(mAddress, QStringLiteral("keyer")).isConnected());
        QVERIFY(QDBusConnection::connectToBus(mAddress, QStringLiteral("logger")).isConnected());
    }

    void cleanupTestCase()
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("keyer"));
        QDBusConnection::disconnectFromBus(QStringLiteral("logger"));
        if (mDaemon.state() != QProcess::NotRunning) {
            ::kill(pid_t(mDaemon.processId()), SIGTERM);
            QVERIFY(mDaemon.waitForFinished(5000));
        }
    }

    void init()
    {
        mKeyer = FakeKeyer();
        mBus = std::make_unique<KeyerBus>(mKeyer);
        QVERIFY(mBus->registerOn(QDBusConnection(QStringLiteral("keyer"))));
    }

    void cleanup()
    {
        QDBusConnection keyer(QStringLiteral("keyer"));
        keyer.unregisterObject(kBusPath);
        keyer.unregisterService(kBusService);
        mBus.reset();
    }

    void methods_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariant>("argument");
        QTest::addColumn<QString>("refusal");
        QTest::addColumn<QString>("error"); // the D-Bus error name, "" for a reply
        QTest::addColumn<QStringList>("calls");
        const QString refused = QStringLiteral("org.example.WrenKeyer.Error.Refused");
        const QString invalid = QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs");
        QTest::newRow("Play") << "Play" << QVariant(1) << ""
                              << "" << QStringList{"play 1"};
        QTest::newRow("Repeat") << "Repeat" << QVariant(10) << ""
                                << "" << QStringList{"repeat 10"};
        QTest::newRow("Stop") << "Stop" << QVariant() << ""
                              << "" << QStringList{"stop"};
        QTest::newRow("PlayFile") << "PlayFile" << QVariant("@") << ""
                                  << "" << QStringList{"file @"};
        QTest::newRow("refused") << "Play" << QVariant(2) << "message 2 is blank" << refused << QStringList{"play 2"};
        QTest::newRow("Play 0") << "Play" << QVariant(0) << "" << invalid << QStringList{};
        QTest::newRow("Repeat 11") << "Repeat" << QVariant(11) << "" << invalid << QStringList{};
        QTest::newRow("Play -2147483648") << "Play" << QVariant(int(-2147483647 - 1)) << "" << invalid << QStringList{};
        QTest::newRow("no such file") << "PlayFile" << QVariant("/no/such.wav") << "" << invalid << QStringList{};
        QTest::newRow("relative") << "PlayFile" << QVariant("cq.wav") << "" << invalid << QStringList{};
        QTest::newRow("a device") << "PlayFile" << QVariant("/dev/zero") << "" << invalid << QStringList{};
        QTest::newRow("newline") << "PlayFile" << QVariant("/tmp/a\nb") << "" << invalid << QStringList{};
        QTest::newRow("wrong type") << "Play" << QVariant("1") << ""
                                    << "org.freedesktop.DBus.Error.UnknownMethod" << QStringList{};
    }

    void methods()
    {
        QFETCH(QString, method);
        QFETCH(QVariant, argument);
        QFETCH(QString, refusal);
        QFETCH(QString, error);
        QFETCH(QStringList, calls);
        const QString file = mDir.filePath(QStringLiteral("cq.wav"));
        QFile(file).open(QIODevice::WriteOnly);
        if (argument.typeId() == QMetaType::QString)
            argument = argument.toString().replace(QLatin1Char('@'), file);
        for (QString& c : calls)
            c.replace(QLatin1Char('@'), file);
        mKeyer.refusal = refusal;
        const QDBusMessage reply = call(method, argument.isValid() ? QVariantList{argument} : QVariantList{});
        QCOMPARE(reply.type(), error.isEmpty() ? QDBusMessage::ReplyMessage : QDBusMessage::ErrorMessage);
        QCOMPARE(reply.errorName(), error);
        if (!refusal.isEmpty())
            QCOMPARE(reply.errorMessage(), refusal);
        QCOMPARE(mKeyer.calls, calls);
    }

    void propertiesAndTheirChanges()
    {
        Listener listener;
        QVERIFY(client().connect(kBusService, kBusPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                 QStringLiteral("PropertiesChanged"), &listener,
                                 SLOT(propertiesChanged(QString, QVariantMap, QStringList))));
        QCOMPARE(property(QStringLiteral("Transmitting")), QVariant(false));
        QCOMPARE(property(QStringLiteral("Message")), QVariant(0));

        mKeyer.state = {KeyerState::Kind::Transmitting, 3, QStringLiteral("/rec/3.wav"), 0};
        mBus->refresh();
        QTRY_COMPARE(listener.changes.size(), 1);
        QCOMPARE(listener.changes[0], (QVariantMap{{"Transmitting", true}, {"Message", 3}}));
        QCOMPARE(property(QStringLiteral("Transmitting")), QVariant(true));
        QCOMPARE(property(QStringLiteral("Message")), QVariant(3));

        // Nothing changed, nothing sent; then only what changed.
        mBus->refresh();
        mKeyer.state = {KeyerState::Kind::Waiting, 3, QString(), 9};
        mBus->refresh();
        QTRY_COMPARE(listener.changes.size(), 2);
        QCOMPARE(listener.changes[1], (QVariantMap{{"Transmitting", false}}));
        mKeyer.state = {};
        mBus->refresh();
        QTRY_COMPARE(listener.changes.size(), 3);
        QCOMPARE(listener.changes[2], (QVariantMap{{"Message", 0}}));

        // The properties cannot be written from outside.
        QDBusMessage set = QDBusMessage::createMethodCall(
            kBusService, kBusPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"));
        set << kBusInterface << QStringLiteral("Transmitting") << QVariant::fromValue(QDBusVariant(true));
        QCOMPARE(client().call(set, QDBus::BlockWithGui, 3000).type(), QDBusMessage::ErrorMessage);
        QCOMPARE(property(QStringLiteral("Transmitting")), QVariant(false));
    }

    // A flood is refused, and Stop still gets through it.
    void aFloodIsRefused()
    {
        int refused = 0;
        for (int i = 0; i < 2 * RemoteServer::kRequestsPerSecond; ++i)
            refused +=
                call(QStringLiteral("Play"), {1}).errorName() == QLatin1String("org.example.WrenKeyer.Error.Refused");
        QVERIFY(refused > 0);
        QCOMPARE(mKeyer.calls.size() + refused, 2 * RemoteServer::kRequestsPerSecond);
        QCOMPARE(call(QStringLiteral("Stop"), {}).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(mKeyer.calls.last(), QStringLiteral("stop"));
    }

    void theNameIsHeldOnce()
    {
        FakeKeyer other;
        KeyerBus second(other);
        QDBusConnection::connectToBus(mAddress, QStringLiteral("second"));
        QVERIFY(!second.registerOn(QDBusConnection(QStringLiteral("second"))));
        QDBusConnection::disconnectFromBus(QStringLiteral("second"));
        QVERIFY(!second.registerOn(QDBusConnection(QStringLiteral("not connected"))));
    }
};

QTEST_MAIN(TestKeyerBus)
#include "tst_keyerbus.moc"
