#include "remote/localserver.h"
#include "remote/protocol.h"
#include "tests/fakes/fake_keyer.h"
#include "tests/fakes/testenv.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

// A client in the same thread: it waits with the event loop running, so the server answers meanwhile.
struct Client
{
    QLocalSocket socket;
    QByteArray answer;

    explicit Client(const QString& path)
    {
        QObject::connect(&socket, &QLocalSocket::readyRead, [this] { answer += socket.readAll(); });
        socket.connectToServer(path);
    }
    void send(const QByteArray& bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    // Until the server answered a line or dropped us; false on neither within `ms`.
    bool settle(int ms = 3000)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms) {
            if (answer.contains('\n') || socket.state() == QLocalSocket::UnconnectedState)
                return true;
            QTest::qWait(5);
        }
        return false;
    }
};

} // namespace

class TestLocalServer : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnv> mEnv;
    std::unique_ptr<QTemporaryDir> mDir;
    FakeKeyer mKeyer;
    std::unique_ptr<RemoteServer> mServer;
    QString mFile;
    QString mFifo;

    QString socketPath() const { return mDir->filePath(QStringLiteral("k.socket")); }

    QByteArray ask(const QByteArray& bytes)
    {
        Client client(socketPath());
        client.send(bytes);
        client.settle();
        return client.answer;
    }

private slots:
    void init()
    {
        mEnv = std::make_unique<TestEnv>();
        mDir = std::make_unique<QTemporaryDir>();
        mKeyer = FakeKeyer();
        mServer = std::make_unique<RemoteServer>(mKeyer);
        QVERIFY2(mServer->listen(socketPath()), qPrintable(mServer->errorText()));
        mFile = mDir->filePath(QStringLiteral("cq.wav"));
        QFile(mFile).open(QIODevice::WriteOnly);
        mFifo = mDir->filePath(QStringLiteral("fifo"));
        QCOMPARE(::mkfifo(QFile::encodeName(mFifo).constData(), 0600), 0);
    }

    void cleanup()
    {
        mServer.reset();
        mDir.reset();
        mEnv.reset();
    }

    void requestsReachTheKeyer_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QString>("refusal"); // what the keyer answers
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("play") << QByteArray("play 3\n") << "" << QByteArray("ok\n") << QStringList{"play 3"};
        QTest::newRow("repeat") << QByteArray("repeat 1\n") << "" << QByteArray("ok\n") << QStringList{"repeat 1"};
        QTest::newRow("stop") << QByteArray("stop\n") << "" << QByteArray("ok\n") << QStringList{"stop"};
        QTest::newRow("status") << QByteArray("status\n") << "" << QByteArray("ok waiting 2 4\n") << QStringList{};
        QTest::newRow("file") << QByteArray("play-file @\n") << "" << QByteArray("ok\n") << QStringList{"file @"};
        QTest::newRow("refused") << QByteArray("play 2\n") << "the Settings dialog is open"
                                 << QByteArray("refused the Settings dialog is open\n") << QStringList{"play 2"};
        // The hostile ones: each answered plainly, none reaching the keyer.
        QTest::newRow("out of range") << QByteArray("play 11\n") << ""
                                      << QByteArray("bad not a message number 1 to 10: 11\n") << QStringList{};
        QTest::newRow("malformed") << QByteArray("PLAY ME\n") << "" << QByteArray("bad unknown request: PLAY\n")
                                   << QStringList{};
        QTest::newRow("not UTF-8") << QByteArray("play-file /\xc0\xaf\n") << ""
                                   << QByteArray("bad request is not UTF-8 text\n") << QStringList{};
        QTest::newRow("missing file") << QByteArray("play-file /no/such.wav\n") << ""
                                      << QByteArray("bad no such file: /no/such.wav\n") << QStringList{};
        QTest::newRow("a FIFO") << QByteArray("play-file %\n") << "" << QByteArray("bad not a regular file: %\n")
                                << QStringList{};
        QTest::newRow("a device") << QByteArray("play-file /dev/zero\n") << ""
                                  << QByteArray("bad not a regular file: /dev/zero\n") << QStringList{};
        QTest::newRow("a folder") << QByteArray("play-file /tmp\n") << ""
                                  << QByteArray("bad not a regular file: /tmp\n") << QStringList{};
        QTest::newRow("over-long line") << QByteArray(20000, 'x') << "" << QByteArray("bad request too long\n")
                                        << QStringList{};
        QTest::newRow("only the first line counts")
            << QByteArray("play 1\nplay 2\nstop\n") << "" << QByteArray("ok\n") << QStringList{"play 1"};
    }

    void requestsReachTheKeyer()
    {
        QFETCH(QByteArray, request);
        QFETCH(QString, refusal);
        QFETCH(QByteArray, answer);
        QFETCH(QStringList, calls);
        request.replace('@', mFile.toUtf8()).replace('%', mFifo.toUtf8());
        answer.replace('%', mFifo.toUtf8());
        for (QString& call : calls)
            call.replace(QLatin1Char('@'), mFile);
        mKeyer.refusal = refusal;
        mKeyer.state = {KeyerState::Kind::Waiting, 2, QString(), 4};
        QCOMPARE(ask(request), answer);
        QCOMPARE(mKeyer.calls, calls);
    }

    // A client that sends nothing, or no whole line, is dropped, and the others are answered meanwhile.
    void silentClientsAreDropped_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("nothing") << QByteArray();
        QTest::newRow("no newline") << QByteArray("play 1");
    }

    void silentClientsAreDropped()
    {
        QFETCH(QByteArray, sent);
        Client silent(socketPath());
        silent.send(sent);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(ask("status\n"), QByteArray("ok idle\n"));
        QVERIFY2(clock.elapsed() < RemoteServer::kClientDeadlineMs / 2, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(silent.settle(RemoteServer::kClientDeadlineMs + 1000));
        QCOMPARE(silent.socket.state(), QLocalSocket::UnconnectedState);
        QVERIFY(silent.answer.isEmpty());
        QVERIFY(mKeyer.calls.isEmpty());
    }

    // A flood is refused, and a stop still gets through it.
    void aFloodIsRefused()
    {
        int ok = 0;
        int refused = 0;
        for (int i = 0; i < 3 * RemoteServer::kRequestsPerSecond; ++i) {
            const QByteArray answer = ask("play 1\n");
            ok += answer == "ok\n";
            refused += answer == "refused too many requests, try again in a second\n";
        }
        QVERIFY2(ok >= RemoteServer::kRequestsPerSecond && ok < 3 * RemoteServer::kRequestsPerSecond,
                 qPrintable(QString::number(ok)));
        QCOMPARE(ok + refused, 3 * RemoteServer::kRequestsPerSecond);
        QCOMPARE(mKeyer.calls.size(), ok);
        QCOMPARE(ask("stop\n"), QByteArray("ok\n"));
        QCOMPARE(mKeyer.calls.last(), QStringLiteral("stop"));
    }

    void tooManyClientsAtOnce()
    {
        std::vector<std::unique_ptr<Client>> held;
        for (int i = 0; i < RemoteServer::kMaxClients; ++i)
            held.push_back(std::make_unique<Client>(socketPath()));
        QTest::qWait(100);
        // One more is dropped unanswered; once the held ones go, requests are served again.
        Client extra(socketPath());
        extra.send("play 1\n");
        QVERIFY(extra.settle());
        QVERIFY(extra.answer.isEmpty());
        held.clear();
        QTest::qWait(100);
        QCOMPARE(ask("play 2\n"), QByteArray("ok\n"));
        QCOMPARE(mKeyer.calls, QStringList{"play 2"});
    }

    void onlyTheOwnerMayConnect()
    {
        struct stat info = {};
        QCOMPARE(::stat(QFile::encodeName(socketPath()).constData(), &info), 0);
        QVERIFY(S_ISSOCK(info.st_mode));
        QCOMPARE(info.st_mode & 077, 0u);
        QCOMPARE(info.st_uid, ::getuid());
    }

    // A socket left by a crashed keyer is taken over; a live keyer's is not.
    void leftOverAndLiveSockets()
    {
        FakeKeyer other;
        RemoteServer second(other);
        QVERIFY(!second.listen(socketPath()));
        QCOMPARE(ask("stop\n"), QByteArray("ok\n"));
        QCOMPARE(mKeyer.calls, QStringList{"stop"});
        QVERIFY(other.calls.isEmpty());

        const QString stale = mDir->filePath(QStringLiteral("stale.socket"));
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(stale);
        std::memcpy(address.sun_path, name.constData(), std::size_t(name.size()));
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd); // the file stays, nobody listens
        RemoteServer third(other);
        QVERIFY2(third.listen(stale), qPrintable(third.errorText()));
        Client client(stale);
        client.send("play 4\n");
        QVERIFY(client.settle());
        QCOMPARE(client.answer, QByteArray("ok\n"));
        QCOMPARE(other.calls, QStringList{"play 4"});
    }
};

QTEST_MAIN(TestLocalServer)
#include "tst_localserver.moc"
