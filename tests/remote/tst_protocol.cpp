#include "remote/commandline.h"
#include "remote/protocol.h"
#include "tests/fakes/testenv.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_METATYPE(RemoteRequest::Kind)
Q_DECLARE_METATYPE(CommandLine::Kind)

class TestProtocol : public QObject
{
    Q_OBJECT

    using R = RemoteRequest::Kind;
    using C = CommandLine::Kind;

private slots:
    void requests_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<R>("kind");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("pathOrError");
        QTest::newRow("play 1") << QByteArray("play 1") << R::Play << 1 << "";
        QTest::newRow("play 10") << QByteArray("play 10") << R::Play << 10 << "";
        QTest::newRow("repeat 3") << QByteArray("repeat 3") << R::Repeat << 3 << "";
        QTest::newRow("stop") << QByteArray("stop") << R::Stop << 0 << "";
        QTest::newRow("status") << QByteArray("status") << R::Status << 0 << "";
        QTest::newRow("file") << QByteArray("play-file /home/op/cq de.wav") << R::PlayFile << 0 << "/home/op/cq de.wav";
        QTest::newRow("file in UTF-8") << QByteArray("play-file /tmp/\xc3\xa4.wav") << R::PlayFile << 0
                                       << QString::fromUtf8("/tmp/\xc3\xa4.wav");
        const QString noNumber = QStringLiteral("not a message number 1 to 10: %1");
        QTest::newRow("play 0") << QByteArray("play 0") << R::Invalid << 0 << noNumber.arg("0");
        QTest::newRow("play 11") << QByteArray("play 11") << R::Invalid << 0 << noNumber.arg("11");
        QTest::newRow("play -1") << QByteArray("play -1") << R::Invalid << 0 << noNumber.arg("-1");
        QTest::newRow("play +1") << QByteArray("play +1") << R::Invalid << 0 << noNumber.arg("+1");
        QTest::newRow("leading zero") << QByteArray("play 01") << R::Invalid << 0 << noNumber.arg("01");
        QTest::newRow("huge") << QByteArray("repeat 99999999999999999999") << R::Invalid << 0
                              << noNumber.arg("99999999999999999999");
        QTest::newRow("hex") << QByteArray("play 0x1") << R::Invalid << 0 << noNumber.arg("0x1");
        QTest::newRow("no number") << QByteArray("play") << R::Invalid << 0 << noNumber.arg("");
        QTest::newRow("two numbers") << QByteArray("play 1 2") << R::Invalid << 0 << noNumber.arg("1 2");
        QTest::newRow("stop with argument") << QByteArray("stop now") << R::Invalid << 0 << "stop takes no argument";
        QTest::newRow("upper case") << QByteArray("PLAY 1") << R::Invalid << 0 << "unknown request: PLAY";
        QTest::newRow("empty") << QByteArray("") << R::Invalid << 0 << "unknown request: ";
        QTest::newRow("carriage return") << QByteArray("stop\r") << R::Invalid << 0
                                         << "request holds control characters";
        QTest::newRow("NUL") << QByteArray("play 1\0", 7) << R::Invalid << 0 << "request holds control characters";
        QTest::newRow("bad UTF-8") << QByteArray("play-file /tmp/\xff.wav") << R::Invalid << 0
                                   << "request is not UTF-8 text";
        QTest::newRow("relative path") << QByteArray("play-file cq.wav") << R::Invalid << 0
                                       << "the path is not absolute";
        QTest::newRow("no path") << QByteArray("play-file") << R::Invalid << 0 << "play-file needs a path";
        QTest::newRow("too long") << QByteArray("play-file /") + QByteArray(kMaxRequestBytes, 'a') << R::Invalid << 0
                                  << "request too long";
    }

    void requests()
    {
        QFETCH(QByteArray, line);
        QFETCH(R, kind);
        QFETCH(int, number);
        QFETCH(QString, pathOrError);
        const RemoteRequest request = parseRemoteRequest(line);
        QCOMPARE(request.kind, kind);
        QCOMPARE(request.number, number);
        QCOMPARE(kind == R::Invalid ? request.error : request.path, pathOrError);
    }

    void statusTexts()
    {
        struct
        {
            KeyerState state;
            const char* text;
        } rows[] = {
            {{}, "idle"},
            {{KeyerState::Kind::Transmitting, 3, QStringLiteral("/rec/3.wav"), 0}, "transmitting 3"},
            {{KeyerState::Kind::Transmitting, 0, QStringLiteral("/log/cq.wav"), 0}, "transmitting /log/cq.wav"},
            {{KeyerState::Kind::Waiting, 1, QString(), 7}, "waiting 1 7"},
        };
        for (const auto& row : rows)
            QCOMPARE(keyerStatusText(row.state), QString::fromLatin1(row.text));
    }

    void soundFilePaths()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("cq.wav"));
        QFile(file).open(QIODevice::WriteOnly);
        const QString fifo = dir.filePath(QStringLiteral("fifo"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        const QString link = dir.filePath(QStringLiteral("link.wav"));
        QVERIFY(QFile::link(file, link));
        const QString dangling = dir.filePath(QStringLiteral("dangling.wav"));
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("gone")), dangling));
        QCOMPARE(checkSoundFilePath(file), QString());
        QCOMPARE(checkSoundFilePath(link), QString());
        // A FIFO or a device would hang the open that checks the sound.
        QCOMPARE(checkSoundFilePath(fifo), QStringLiteral("not a regular file: ") + fifo);
        QCOMPARE(checkSoundFilePath(QStringLiteral("/dev/zero")), QStringLiteral("not a regular file: /dev/zero"));
        QCOMPARE(checkSoundFilePath(dir.path()), QStringLiteral("not a regular file: ") + dir.path());
        QCOMPARE(checkSoundFilePath(dangling), QStringLiteral("no such file: ") + dangling);
        QCOMPARE(checkSoundFilePath(QStringLiteral("cq.wav")), QStringLiteral("the path is not absolute"));
        if (::geteuid() != 0) {
            QVERIFY(QFile::setPermissions(file, QFileDevice::WriteOwner));
            QCOMPARE(checkSoundFilePath(file), QStringLiteral("cannot read: ") + file);
        }
    }

    void commandLines_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<C>("kind");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("pathOrError");
        QTest::newRow("nothing") << QStringList() << C::Window << 0 << "";
        QTest::newRow("toolkit options") << QStringList{"-platform", "xcb"} << C::Window << 0 << "";
        QTest::newRow("help") << QStringList{"--help"} << C::Help << 0 << "";
        QTest::newRow("version") << QStringList{"--version"} << C::Version << 0 << "";
        QTest::newRow("play") << QStringList{"--play", "4"} << C::Play << 4 << "";
        QTest::newRow("play=") << QStringList{"--play=10"} << C::Play << 10 << "";
        QTest::newRow("repeat") << QStringList{"--repeat", "1"} << C::Repeat << 1 << "";
        QTest::newRow("stop") << QStringList{"--stop"} << C::Stop << 0 << "";
        QTest::newRow("status") << QStringList{"--status"} << C::Status << 0 << "";
        QTest::newRow("file, relative") << QStringList{"--play-file", "cq.wav"} << C::PlayFile << 0 << "@/cq.wav";
        QTest::newRow("file, absolute") << QStringList{"--play-file", "@/cq.wav"} << C::PlayFile << 0 << "@/cq.wav";
        QTest::newRow("play 0") << QStringList{"--play", "0"} << C::Bad << 0 << "not a message number 1 to 10: 0";
        QTest::newRow("play 11") << QStringList{"--play", "11"} << C::Bad << 0 << "not a message number 1 to 10: 11";
        QTest::newRow("play word") << QStringList{"--play", "CQ"} << C::Bad << 0 << "not a message number 1 to 10: CQ";
        QTest::newRow("play alone") << QStringList{"--play"} << C::Bad << 0 << "--play takes one message number";
        QTest::newRow("two commands") << QStringList{"--play", "1", "--stop"} << C::Bad << 0
                                      << "--play takes one message number";
        QTest::newRow("stop with value") << QStringList{"--stop", "1"} << C::Bad << 0 << "--stop takes no value";
        QTest::newRow("unknown") << QStringList{"--transmit"} << C::Bad << 0 << "unknown option: --transmit";
        QTest::newRow("word first") << QStringList{"play", "--stop"} << C::Bad << 0 << "unexpected argument: play";
        QTest::newRow("missing file") << QStringList{"--play-file", "gone.wav"} << C::Bad << 0
                                      << "no such file: @/gone.wav";
        QTest::newRow("folder") << QStringList{"--play-file", "@"} << C::Bad << 0 << "not a regular file: @";
        QTest::newRow("newline in the path")
            << QStringList{"--play-file", "a\nb.wav"} << C::Bad << 0 << "request holds control characters";
        QTest::newRow("no file") << QStringList{"--play-file"} << C::Bad << 0 << "--play-file takes one file";
    }

    void commandLines()
    {
        QFETCH(QStringList, arguments);
        QFETCH(C, kind);
        QFETCH(int, number);
        QFETCH(QString, pathOrError);
        QTemporaryDir dir;
        QFile(dir.filePath(QStringLiteral("cq.wav"))).open(QIODevice::WriteOnly);
        for (QString& argument : arguments)
            argument.replace(QLatin1Char('@'), dir.path());
        pathOrError.replace(QLatin1Char('@'), dir.path());
        const CommandLine command = parseCommandLine(arguments, dir.path());
        QCOMPARE(command.kind, kind);
        QCOMPARE(command.number, number);
        QCOMPARE(kind == C::Bad ? command.error : command.path, pathOrError);
    }

    // Without a keyer the client says so and ends at once; bad arguments never reach a socket.
    void exitCodesWithoutAKeyer()
    {
        TestEnv env;
        QTemporaryDir dir;
        const QString socket = dir.filePath(QStringLiteral("none.socket"));
        std::FILE* null = std::fopen("/dev/null", "w");
        QVERIFY(null);
        QCOMPARE(runCommandLine(parseCommandLine({"--status"}, dir.path()), socket, null, null), kExitNoKeyer);
        QCOMPARE(runCommandLine(parseCommandLine({"--play", "1"}, dir.path()), socket, null, null), kExitNoKeyer);
        QCOMPARE(runCommandLine(parseCommandLine({"--play", "x"}, dir.path()), socket, null, null), kExitBadArguments);
        QCOMPARE(runCommandLine(parseCommandLine({"--help"}, dir.path()), socket, null, null), kExitDone);
        std::fclose(null);
    }
};

QTEST_MAIN(TestProtocol)
#include "tst_protocol.moc"
