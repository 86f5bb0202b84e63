// The audio command interpreter over the scripted backend: what each command opens, plays, answers or refuses.

#include "platform/mci.h"
#include "tests/fakes/scripted_audio.h"

#include <QSet>
#include <QTimer>
#include <QtTest>

#include <cstdint>

using namespace MciError;

namespace {

using Kind = ScriptedAudioBackend::Kind;

std::int32_t send(const QString& command, QString* reply = nullptr)
{
    return mciSendString(command, reply);
}

QString openCommand(const QString& path, const QString& alias = QStringLiteral("voice1"))
{
    return QStringLiteral("open \"%1\" type waveaudio alias %2").arg(path, alias);
}

QString status(const QString& alias, std::int32_t* result = nullptr)
{
    QString reply = QStringLiteral("not answered");
    const std::int32_t code = send(QStringLiteral("status %1 mode").arg(alias), &reply);
    if (result != nullptr)
        *result = code;
    return reply;
}

} // namespace

class TstMci : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScriptedAudioBackend> mAudio;

private slots:
    void init()
    {
        mAudio = std::make_unique<ScriptedAudioBackend>();
        mAudio->install();
        mAudio->setDuration(60'000);
    }

    void cleanup()
    {
        setMciTrace(nullptr);
        mAudio.reset();
    }

    void parsesOpen_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("path"); // exactly what the backend must be asked to open
        QTest::addColumn<QString>("alias");
        const auto row = [](const char* tag, const char* command, const char* path, const char* alias = "voice1") {
            QTest::newRow(tag) << QString::fromUtf8(command) << QString::fromUtf8(path) << QString::fromUtf8(alias);
        };
        row("blanks in the path", "open \"/home/op/My Messages/CQ contest.wav\" type waveaudio alias voice1",
            "/home/op/My Messages/CQ contest.wav");
        row("double quote in the path", "open \"/tmp/the \"big\" one.wav\" type waveaudio alias voice1",
            "/tmp/the \"big\" one.wav");
        // A file name that spells a whole command still names one file, and the alias is the real one.
        row("the command's own words in the path",
            "open \"/tmp/a\" type waveaudio alias other\" type waveaudio alias voice1",
            "/tmp/a\" type waveaudio alias other");
        row("path ending in a quote", "open \"/tmp/x\"\" type waveaudio alias voice1", "/tmp/x\"");
        row("letters beyond ASCII", "open \"/home/jörg/Grüße ÖE1 – 日本.wav\" type waveaudio alias voice1",
            "/home/jörg/Grüße ÖE1 – 日本.wav");
        row("unquoted path", "open /tmp/cq.wav type waveaudio alias voice1", "/tmp/cq.wav");
        row("keywords in any case", "OPEN \"/tmp/cq.wav\" TYPE WaveAudio Alias Voice1", "/tmp/cq.wav");
        row("extra blanks and tabs", "  open \t\"/tmp/ two  blanks .wav\"   type\twaveaudio  alias   msg_2  ",
            "/tmp/ two  blanks .wav", "msg_2");
        row("Windows-style path", "open \"C:\\Keyer\\wav\\cq.wav\" type waveaudio alias v", "C:\\Keyer\\wav\\cq.wav",
            "v");
    }

    void parsesOpen()
    {
        QFETCH(QString, command);
        QFETCH(QString, path);
        QFETCH(QString, alias);
        QCOMPARE(send(command), 0);
        QCOMPARE(send(QStringLiteral("play ") + alias), 0);
        QCOMPARE(send(QStringLiteral("close ") + alias), 0);
        QCOMPARE(mAudio->eventNames(), QStringList({"open " + path, "play " + path, "close " + path}));
    }

    void refusesMalformedCommands_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("expected");
        const auto row = [](const char* tag, const char* command, std::int32_t expected) {
            QTest::newRow(tag) << QString::fromUtf8(command) << int(expected);
        };
        row("blanks only", "  \t ", UnrecognizedCommand);
        row("unknown verb", "plya voice1", UnrecognizedCommand);
        row("verb glued to the path", "open\"/tmp/a.wav\" type waveaudio alias voice1", UnrecognizedCommand);
        row("open alone", "open", MissingParameter);
        row("open without type", "open \"/tmp/a.wav\" alias voice1", MissingParameter);
        row("open without alias", "open \"/tmp/a.wav\" type waveaudio", MissingParameter);
        row("alias keyword without name", "open \"/tmp/a.wav\" type waveaudio alias", MissingParameter);
        row("unterminated quote", "open \"/tmp/a.wav type waveaudio alias voice1", MissingParameter);
        row("empty path", "open \"\" type waveaudio alias voice1", MissingParameter);
        row("misspelt alias keyword", "open \"/tmp/a.wav\" type waveaudio alais voice1", UnrecognizedKeyword);
        row("misspelt type keyword, unquoted", "open /tmp/a.wav typo waveaudio alias voice1", UnrecognizedKeyword);
        row("other device type", "open \"/tmp/a.wav\" type cdaudio alias voice1", InvalidDeviceName);
        row("words after the alias", "open \"/tmp/a.wav\" type waveaudio alias voice1 wait", UnrecognizedKeyword);
        row("quote in the alias", "open \"/tmp/a.wav\" type waveaudio alias vo\"ice", UnrecognizedKeyword);
        row("alias all", "open \"/tmp/a.wav\" type waveaudio alias ALL", InvalidDeviceName);
        row("quote inside an unquoted path", "open /tmp/a\"b.wav type waveaudio alias voice1", UnrecognizedCommand);
        row("unquoted path with a blank", "open /tmp/a b.wav type waveaudio alias voice1", UnrecognizedKeyword);
        row("play alone", "play", MissingParameter);
        row("play with more", "play voice1 from 0", UnrecognizedKeyword);
        row("status without item", "status voice1", MissingParameter);
        row("status of another item", "status voice1 length", UnrecognizedKeyword);
        row("status with more", "status voice1 mode now", UnrecognizedKeyword);
        row("play of an alias never opened", "play voice2", InvalidDeviceName);
        row("close of an alias never opened", "close voice2", InvalidDeviceName);
        row("duplicate alias, other case", "open \"/tmp/b.wav\" type waveaudio alias VOICE1", DuplicateAlias);
    }

    // A refused command changes nothing (the open alias plays on, no file is opened) and is traced as any other.
    void refusesMalformedCommands()
    {
        QFETCH(QString, command);
        QFETCH(int, expected);
        QCOMPARE(send(openCommand(QStringLiteral("/tmp/keep.wav"))), 0);
        QCOMPARE(send(QStringLiteral("play voice1")), 0);
        mAudio->clearEvents();
        QStringList traced;
        setMciTrace(
            [&traced](const QString& c, std::int32_t result) { traced << c + " = " + QString::number(result); });

        QString reply = QStringLiteral("not cleared");
        QCOMPARE(send(command, &reply), expected);
        setMciTrace(nullptr);
        QCOMPARE(traced, QStringList{command + " = " + QString::number(expected)});
        QCOMPARE(reply, QString());
        QCOMPARE(mAudio->eventNames(), QStringList());
        QCOMPARE(status(QStringLiteral("voice1")), QStringLiteral("playing"));
    }

    void statusFollowsPlayback_data()
    {
        QTest::addColumn<QStringList>("commands"); // "wait N" pumps events for N ms; the file plays for 150 ms
        QTest::addColumn<int>("result");           // of the status query
        QTest::addColumn<QString>("reply");
        const QString open = openCommand(QStringLiteral("/tmp/cq.wav"));
        const QString play = QStringLiteral("play voice1");
        const QString stop = QStringLiteral("stop voice1");
        const QString ended = QStringLiteral("wait 200");
        QTest::newRow("opened, not played") << QStringList{open} << 0 << "stopped";
        QTest::newRow("half way") << QStringList{open, play, "wait 75"} << 0 << "playing";
        QTest::newRow("after the end") << QStringList{open, play, ended} << 0 << "stopped";
        QTest::newRow("stopped") << QStringList{open, play, stop} << 0 << "stopped";
        QTest::newRow("played again after the end") << QStringList{open, play, ended, play} << 0 << "playing";
        QTest::newRow("played again after stop") << QStringList{open, play, stop, play} << 0 << "playing";
        QTest::newRow("never opened") << QStringList() << int(InvalidDeviceName) << QString();
        QTest::newRow("closed while playing")
            << QStringList{open, play, "close voice1"} << int(InvalidDeviceName) << QString();
    }

    void statusFollowsPlayback()
    {
        QFETCH(QStringList, commands);
        QFETCH(int, result);
        QFETCH(QString, reply);
        mAudio->setDuration(150);
        for (const QString& command : commands) {
            if (command.startsWith(QLatin1String("wait ")))
                QTest::qWait(command.mid(5).toInt());
            else
                QCOMPARE(send(command), 0);
        }
        std::int32_t code = -1;
        QCOMPARE(status(QStringLiteral("voice1"), &code), reply);
        QCOMPARE(code, result);
        // A null reply pointer is allowed.
        QCOMPARE(mciSendString(QStringLiteral("status voice1 mode")), result);
    }

    void aliasesIgnoreCaseAndStayUnique()
    {
        QCOMPARE(send(openCommand(QStringLiteral("/tmp/first.wav"), QStringLiteral("Voice1"))), 0);
        QCOMPARE(send(QStringLiteral("play VOICE1")), 0);
        QCOMPARE(send(openCommand(QStringLiteral("/tmp/second.wav"))), DuplicateAlias);
        QCOMPARE(status(QStringLiteral("voice1")), QStringLiteral("playing"));
        QCOMPARE(send(QStringLiteral("Stop vOICE1")), 0);
        QCOMPARE(status(QStringLiteral("VOICE1")), QStringLiteral("stopped"));
        QCOMPARE(send(QStringLiteral("close voice1")), 0);
        QCOMPARE(mAudio->eventNames(), QStringList({"open /tmp/first.wav", "play /tmp/first.wav", "stop /tmp/first.wav",
                                                    "close /tmp/first.wav"}));
    }

    void backendErrorsComeBack_data()
    {
        QTest::addColumn<bool>("openFails"); // else play fails
        QTest::addColumn<int>("code");
        QTest::newRow("file not found") << true << int(FileNotFound);
        QTest::newRow("no sound server") << false << int(HardwareError);
    }

    void backendErrorsComeBack()
    {
        QFETCH(bool, openFails);
        QFETCH(int, code);
        const QString path = QStringLiteral("/tmp/cq.wav");
        if (openFails)
            mAudio->failOpen(path, code);
        else
            mAudio->failPlay(path, code);
        QCOMPARE(send(openCommand(path)), openFails ? code : 0);
        QCOMPARE(mAudio->openStreams(), openFails ? 0 : 1);
        QCOMPARE(send(QStringLiteral("play voice1")), openFails ? InvalidDeviceName : code);
        QCOMPARE(status(QStringLiteral("voice1")), openFails ? QString() : QStringLiteral("stopped"));
        // Once the failure is lifted the same alias opens.
        mAudio->failOpen(path, 0);
        QCOMPARE(send(openCommand(path)), openFails ? 0 : DuplicateAlias);
    }

    void changingBackendClosesAliases()
    {
        QCOMPARE(send(openCommand(QStringLiteral("/tmp/cq.wav"))), 0);
        ScriptedAudioBackend other;
        other.install();
        QCOMPARE(mAudio->eventNames(), QStringList({"open /tmp/cq.wav", "close /tmp/cq.wav"}));
        QCOMPARE(send(openCommand(QStringLiteral("/tmp/id.wav"))), 0);
        QCOMPARE(other.eventNames(), QStringList{"open /tmp/id.wav"});
    }

    void commandsSentWhileClosing_data()
    {
        QTest::addColumn<QString>("closing");
        QTest::addColumn<QString>("sentInside");
        const auto row = [](const char* tag, const QString& closing, const QString& sentInside) {
            QTest::newRow(tag) << closing << sentInside;
        };
        row("close all inside close", "close voice1", "close all");
        row("close inside close all", "close all", "close voice2");
        row("open inside close all", "close all", openCommand(QStringLiteral("/tmp/new.wav")));
        row("status inside close", "close voice1", "status voice1 mode");
    }

    // A real sink pumps events while torn down, so a command can arrive inside "close": no stale reference.
    void commandsSentWhileClosing()
    {
        QFETCH(QString, closing);
        QFETCH(QString, sentInside);
        QCOMPARE(send(openCommand(QStringLiteral("/tmp/one.wav"))), 0);
        QCOMPARE(send(openCommand(QStringLiteral("/tmp/two.wav"), QStringLiteral("voice2"))), 0);
        int inside = 0;
        mAudio->setOnClose([&](const QString&) {
            if (inside++ == 0)
                send(sentInside);
        });
        QCOMPARE(send(closing), 0);
        mAudio->setOnClose(nullptr);
        QVERIFY(inside > 0);
        QCOMPARE(send(QStringLiteral("CLOSE ALL")), 0);
        QCOMPARE(mAudio->openStreams(), 0);
        QCOMPARE(send(QStringLiteral("close all")), 0); // nothing open: still fine
        // Every stream opened was closed exactly once, and the aliases are free again.
        QStringList opened = mAudio->paths(Kind::Open);
        QStringList closed = mAudio->paths(Kind::Close);
        opened.sort();
        closed.sort();
        QCOMPARE(closed, opened);
        QCOMPARE(send(openCommand(QStringLiteral("/tmp/two.wav"), QStringLiteral("voice2"))), 0);
    }

    void shutdownLetsRepliesLand_data()
    {
        QTest::addColumn<QString>("last");
        QTest::newRow("alias still open") << "play voice1";
        QTest::newRow("alias closed just before") << "close voice1";
        QTest::newRow("close all just before") << "close all";
    }

    // The exit path: events already queued (the server's replies) are handled before shutdownAudio() returns.
    void shutdownLetsRepliesLand()
    {
        QFETCH(QString, last);
        QCOMPARE(send(openCommand(QStringLiteral("/tmp/cq.wav"))), 0);
        QCOMPARE(send(last), 0);
        bool handled = false;
        QTimer::singleShot(0, [&handled] { handled = true; });
        shutdownAudio();
        QVERIFY(handled);
        QCOMPARE(mAudio->paths(Kind::Close), QStringList{"/tmp/cq.wav"});
    }

    void everyErrorHasItsOwnText()
    {
        QStringList texts;
        for (std::int32_t code : {0, InvalidDeviceId, UnrecognizedKeyword, UnrecognizedCommand, HardwareError,
                                  InvalidDeviceName, FileNotFound, DuplicateAlias, InvalidFile, MissingParameter})
            texts << mciErrorText(code);
        QVERIFY2(!texts.join('\n').contains(QLatin1String("Unknown")), qPrintable(texts.join('\n')));
        QCOMPARE(QSet<QString>(texts.begin(), texts.end()).size(), texts.size());
        QVERIFY(mciErrorText(12345).contains(QLatin1String("Unknown audio error 12345")));
    }
};

QTEST_GUILESS_MAIN(TstMci)

#include "tst_mci.moc"
