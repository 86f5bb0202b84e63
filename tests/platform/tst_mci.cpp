// The audio command interpreter over the scripted backend: what each command string opens, plays and
// answers, and which error it returns when it is malformed.

#include "platform/mci.h"

#include "tests/fakes/scripted_audio.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

#include <cstdint>
#include <vector>

namespace {

using Kind = ScriptedAudioBackend::Kind;

std::int32_t send(const QString& command, QString* reply = nullptr)
{
    return mciSendString(command, reply);
}

QString status(const QString& alias, std::int32_t* result = nullptr)
{
    QString reply = QStringLiteral("not answered");
    const std::int32_t code = mciSendString(QStringLiteral("status %1 mode").arg(alias), &reply);
    if (result != nullptr)
        *result = code;
    return reply;
}

void waitFor(qint64 ms)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (elapsed.elapsed() < ms)
        QTest::qWait(1);
}

} // namespace

class TstMci : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void parsesOpen_data();
    void parsesOpen();
    void refusesMalformedCommands_data();
    void refusesMalformedCommands();
    void statusFollowsPlayback_data();
    void statusFollowsPlayback();
    void stoppedAsSoonAsPlayingEnds();
    void closeAllClosesEverything();
    void duplicateAliasKeepsTheFirst();
    void aliasesIgnoreCase();
    void backendErrorsComeBack_data();
    void backendErrorsComeBack();
    void traceSeesEveryCommand();
    void changingBackendClosesAliases();
    void commandsSentWhileClosing_data();
    void commandsSentWhileClosing();
    void shutdownLetsRepliesLand_data();
    void shutdownLetsRepliesLand();
    void everyErrorHasItsOwnText();

private:
    std::unique_ptr<ScriptedAudioBackend> mAudio;
};

void TstMci::init()
{
    mAudio = std::make_unique<ScriptedAudioBackend>();
    mAudio->install();
}

void TstMci::cleanup()
{
    setMciTrace(nullptr);
    mAudio.reset();
}

void TstMci::parsesOpen_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("path");  // exactly what the backend must be asked to open
    QTest::addColumn<QString>("alias"); // the alias it must then answer to

    const QString voice1 = QStringLiteral("voice1");
    QTest::newRow("blanks in the path") << QStringLiteral("open \"/home/op/My Messages/CQ contest.wav\" type "
                                                          "waveaudio alias voice1")
                                        << QStringLiteral("/home/op/My Messages/CQ contest.wav") << voice1;
    QTest::newRow("double quote in the path")
        << QStringLiteral("open \"/tmp/the \"big\" one.wav\" type waveaudio alias voice1")
        << QStringLiteral("/tmp/the \"big\" one.wav") << voice1;
    // A file name that spells a whole command still names one file, and the alias is the real one.
    QTest::newRow("the command's own words in the path")
        << QStringLiteral("open \"/tmp/a\" type waveaudio alias other\" type waveaudio alias voice1")
        << QStringLiteral("/tmp/a\" type waveaudio alias other") << voice1;
    QTest::newRow("path ending in a quote")
        << QStringLiteral("open \"/tmp/x\"\" type waveaudio alias voice1") << QStringLiteral("/tmp/x\"") << voice1;
    QTest::newRow("letters beyond ASCII") << QStringLiteral("open \"/home/jörg/Grüße ÖE1 – 日本.wav\" type "
                                                            "waveaudio alias voice1")
                                          << QStringLiteral("/home/jörg/Grüße ÖE1 – 日本.wav") << voice1;
    QTest::newRow("unquoted path") << QStringLiteral("open /tmp/cq.wav type waveaudio alias voice1")
                                   << QStringLiteral("/tmp/cq.wav") << voice1;
    QTest::newRow("keywords in any case") << QStringLiteral("OPEN \"/tmp/cq.wav\" TYPE WaveAudio Alias Voice1")
                                          << QStringLiteral("/tmp/cq.wav") << QStringLiteral("voice1");
    QTest::newRow("extra blanks and tabs")
        << QStringLiteral("  open \t\"/tmp/ two  blanks .wav\"   type\twaveaudio  alias   msg_2  ")
        << QStringLiteral("/tmp/ two  blanks .wav") << QStringLiteral("msg_2");
    QTest::newRow("Windows-style path") << QStringLiteral("open \"C:\\Keyer\\wav\\cq.wav\" type waveaudio alias v")
                                        << QStringLiteral("C:\\Keyer\\wav\\cq.wav") << QStringLiteral("v");
}

void TstMci::parsesOpen()
{
    QFETCH(QString, command);
    QFETCH(QString, path);
    QFETCH(QString, alias);

    QCOMPARE(send(command), 0);
    QCOMPARE(mAudio->paths(Kind::Open), QStringList{path});
    QCOMPARE(mAudio->openStreams(), 1);
    std::int32_t code = -1;
    QCOMPARE(status(alias, &code), QStringLiteral("stopped"));
    QCOMPARE(code, 0);
    QCOMPARE(send(QStringLiteral("play ") + alias), 0);
    QCOMPARE(mAudio->paths(Kind::Play), QStringList{path});
    QCOMPARE(send(QStringLiteral("close ") + alias), 0);
    QCOMPARE(mAudio->openStreams(), 0);
}

void TstMci::refusesMalformedCommands_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("expected");

    QTest::newRow("empty") << QString() << int(MciError::UnrecognizedCommand);
    QTest::newRow("blanks only") << QStringLiteral("  \t ") << int(MciError::UnrecognizedCommand);
    QTest::newRow("unknown verb") << QStringLiteral("plya voice1") << int(MciError::UnrecognizedCommand);
    QTest::newRow("verb glued to the path")
        << QStringLiteral("open\"/tmp/a.wav\" type waveaudio alias voice1") << int(MciError::UnrecognizedCommand);
    QTest::newRow("open alone") << QStringLiteral("open") << int(MciError::MissingParameter);
    QTest::newRow("open without type") << QStringLiteral("open \"/tmp/a.wav\" alias voice1")
                                       << int(MciError::MissingParameter);
    QTest::newRow("open without alias") << QStringLiteral("open \"/tmp/a.wav\" type waveaudio")
                                        << int(MciError::MissingParameter);
    QTest::newRow("alias keyword without name")
        << QStringLiteral("open \"/tmp/a.wav\" type waveaudio alias") << int(MciError::MissingParameter);
    QTest::newRow("unterminated quote") << QStringLiteral("open \"/tmp/a.wav type waveaudio alias voice1")
                                        << int(MciError::MissingParameter);
    QTest::newRow("empty path") << QStringLiteral("open \"\" type waveaudio alias voice1")
                                << int(MciError::MissingParameter);
    QTest::newRow("misspelt alias keyword")
        << QStringLiteral("open \"/tmp/a.wav\" type waveaudio alais voice1") << int(MciError::UnrecognizedKeyword);
    QTest::newRow("misspelt type keyword, unquoted")
        << QStringLiteral("open /tmp/a.wav typo waveaudio alias voice1") << int(MciError::UnrecognizedKeyword);
    QTest::newRow("misspelt type keyword, quoted")
        << QStringLiteral("open \"/tmp/a.wav\" typo waveaudio alias voice1") << int(MciError::MissingParameter);
    QTest::newRow("other device type") << QStringLiteral("open \"/tmp/a.wav\" type cdaudio alias voice1")
                                       << int(MciError::InvalidDeviceName);
    QTest::newRow("words after the alias")
        << QStringLiteral("open \"/tmp/a.wav\" type waveaudio alias voice1 wait") << int(MciError::UnrecognizedKeyword);
    QTest::newRow("quote in the alias") << QStringLiteral("open \"/tmp/a.wav\" type waveaudio alias vo\"ice")
                                        << int(MciError::UnrecognizedKeyword);
    QTest::newRow("alias all") << QStringLiteral("open \"/tmp/a.wav\" type waveaudio alias ALL")
                               << int(MciError::InvalidDeviceName);
    QTest::newRow("quote inside an unquoted path")
        << QStringLiteral("open /tmp/a\"b.wav type waveaudio alias voice1") << int(MciError::UnrecognizedCommand);
    QTest::newRow("unquoted path with a blank")
        << QStringLiteral("open /tmp/a b.wav type waveaudio alias voice1") << int(MciError::UnrecognizedKeyword);
    QTest::newRow("play alone") << QStringLiteral("play") << int(MciError::MissingParameter);
    QTest::newRow("play with more") << QStringLiteral("play voice1 from 0") << int(MciError::UnrecognizedKeyword);
    QTest::newRow("stop alone") << QStringLiteral("stop") << int(MciError::MissingParameter);
    QTest::newRow("close alone") << QStringLiteral("close") << int(MciError::MissingParameter);
    QTest::newRow("status without item") << QStringLiteral("status voice1") << int(MciError::MissingParameter);
    QTest::newRow("status of another item")
        << QStringLiteral("status voice1 length") << int(MciError::UnrecognizedKeyword);
    QTest::newRow("status with more") << QStringLiteral("status voice1 mode now") << int(MciError::UnrecognizedKeyword);
    QTest::newRow("play of an alias never opened") << QStringLiteral("play voice2") << int(MciError::InvalidDeviceName);
    QTest::newRow("stop of an alias never opened") << QStringLiteral("stop voice2") << int(MciError::InvalidDeviceName);
    QTest::newRow("close of an alias never opened")
        << QStringLiteral("close voice2") << int(MciError::InvalidDeviceName);
}

// A refused command changes nothing: the open alias keeps playing, and no file is opened.
void TstMci::refusesMalformedCommands()
{
    QFETCH(QString, command);
    QFETCH(int, expected);

    mAudio->setDuration(60'000);
    QCOMPARE(send(QStringLiteral("open \"/tmp/keep.wav\" type waveaudio alias voice1")), 0);
    QCOMPARE(send(QStringLiteral("play voice1")), 0);
    mAudio->clearEvents();

    QString reply = QStringLiteral("not cleared");
    QCOMPARE(send(command, &reply), expected);
    QCOMPARE(reply, QString());
    QCOMPARE(mAudio->eventNames(), QStringList());
    QCOMPARE(mAudio->openStreams(), 1);
    QCOMPARE(status(QStringLiteral("voice1")), QStringLiteral("playing"));
}

void TstMci::statusFollowsPlayback_data()
{
    QTest::addColumn<QStringList>("before"); // commands, then a wait of `waitMs`, then the `after` commands
    QTest::addColumn<int>("waitMs");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<int>("result"); // of the status query
    QTest::addColumn<QString>("reply");

    const QString open = QStringLiteral("open \"/tmp/cq.wav\" type waveaudio alias voice1");
    const QString play = QStringLiteral("play voice1");
    const int ok = 0;
    // The file plays for 150 ms.
    QTest::newRow("opened, not played") << QStringList{open} << 0 << QStringList() << ok << QStringLiteral("stopped");
    QTest::newRow("just played") << QStringList{open, play} << 0 << QStringList() << ok << QStringLiteral("playing");
    QTest::newRow("half way") << QStringList{open, play} << 75 << QStringList() << ok << QStringLiteral("playing");
    QTest::newRow("after the end") << QStringList{open, play} << 200 << QStringList() << ok
                                   << QStringLiteral("stopped");
    QTest::newRow("stopped") << QStringList{open, play, QStringLiteral("stop voice1")} << 0 << QStringList() << ok
                             << QStringLiteral("stopped");
    QTest::newRow("played again after the end")
        << QStringList{open, play} << 200 << QStringList{play} << ok << QStringLiteral("playing");
    QTest::newRow("played again after stop") << QStringList{open, play, QStringLiteral("stop voice1"), play} << 0
                                             << QStringList() << ok << QStringLiteral("playing");
    QTest::newRow("play refused") << QStringList{QStringLiteral("fail play"), open, play} << 0 << QStringList() << ok
                                  << QStringLiteral("stopped");
    QTest::newRow("never opened") << QStringList() << 0 << QStringList() << int(MciError::InvalidDeviceName)
                                  << QString();
    QTest::newRow("closed while playing") << QStringList{open, play, QStringLiteral("close voice1")} << 0
                                          << QStringList() << int(MciError::InvalidDeviceName) << QString();
    QTest::newRow("closed by close all") << QStringList{open, play, QStringLiteral("close all")} << 0 << QStringList()
                                         << int(MciError::InvalidDeviceName) << QString();
}

void TstMci::statusFollowsPlayback()
{
    QFETCH(QStringList, before);
    QFETCH(int, waitMs);
    QFETCH(QStringList, after);
    QFETCH(int, result);
    QFETCH(QString, reply);

    mAudio->setDuration(150);
    auto run = [this](const QStringList& commands) {
        for (const QString& command : commands) {
            if (command == QLatin1String("fail play"))
                mAudio->failPlay(QStringLiteral("/tmp/cq.wav"), MciError::HardwareError);
            else
                send(command);
        }
    };
    run(before);
    waitFor(waitMs);
    run(after);
    std::int32_t code = -1;
    QCOMPARE(status(QStringLiteral("voice1"), &code), reply);
    QCOMPARE(code, result);
    // A null reply pointer is allowed and changes nothing.
    QCOMPARE(mciSendString(QStringLiteral("status voice1 mode")), result);
}

void TstMci::stoppedAsSoonAsPlayingEnds()
{
    QElapsedTimer clock;
    clock.start();
    ScriptedAudioBackend audio(&clock);
    audio.install();
    audio.setDuration(300);
    QCOMPARE(send(QStringLiteral("open \"/tmp/cq.wav\" type waveaudio alias voice1")), 0);
    QCOMPARE(send(QStringLiteral("play voice1")), 0);
    const qint64 playedAt = audio.events().constLast().ms;
    while (status(QStringLiteral("voice1")) == QLatin1String("playing") && clock.elapsed() < 2000)
        QTest::qWait(1);
    const qint64 stoppedAfter = clock.elapsed() - playedAt;
    QVERIFY2(stoppedAfter >= 300 && stoppedAfter <= 320, qPrintable(QString::number(stoppedAfter)));
}

void TstMci::closeAllClosesEverything()
{
    QCOMPARE(send(QStringLiteral("close all")), 0); // nothing open: still fine
    for (const QString& alias : {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")})
        QCOMPARE(send(QStringLiteral("open \"/tmp/%1.wav\" type waveaudio alias %1").arg(alias)), 0);
    QCOMPARE(send(QStringLiteral("play b")), 0);
    QCOMPARE(mAudio->openStreams(), 3);

    QCOMPARE(send(QStringLiteral("CLOSE ALL")), 0);
    QCOMPARE(mAudio->openStreams(), 0);
    QStringList closed = mAudio->paths(Kind::Close);
    closed.sort();
    QCOMPARE(closed,
             (QStringList{QStringLiteral("/tmp/a.wav"), QStringLiteral("/tmp/b.wav"), QStringLiteral("/tmp/c.wav")}));
    for (const QString& alias : {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}) {
        std::int32_t code = 0;
        status(alias, &code);
        QCOMPARE(code, MciError::InvalidDeviceName);
    }
    QCOMPARE(send(QStringLiteral("close all")), 0);
    // The alias is free again.
    QCOMPARE(send(QStringLiteral("open \"/tmp/a.wav\" type waveaudio alias a")), 0);
}

void TstMci::duplicateAliasKeepsTheFirst()
{
    mAudio->setDuration(60'000);
    QCOMPARE(send(QStringLiteral("open \"/tmp/first.wav\" type waveaudio alias voice1")), 0);
    QCOMPARE(send(QStringLiteral("play voice1")), 0);
    QCOMPARE(send(QStringLiteral("open \"/tmp/second.wav\" type waveaudio alias voice1")), MciError::DuplicateAlias);
    QCOMPARE(send(QStringLiteral("open \"/tmp/second.wav\" type waveaudio alias VOICE1")), MciError::DuplicateAlias);
    // The second file is never even opened, and the first plays on.
    QCOMPARE(mAudio->paths(Kind::Open), QStringList{QStringLiteral("/tmp/first.wav")});
    QCOMPARE(status(QStringLiteral("voice1")), QStringLiteral("playing"));
    QCOMPARE(send(QStringLiteral("close voice1")), 0);
    QCOMPARE(mAudio->paths(Kind::Close), QStringList{QStringLiteral("/tmp/first.wav")});
}

void TstMci::aliasesIgnoreCase()
{
    mAudio->setDuration(60'000);
    QCOMPARE(send(QStringLiteral("open \"/tmp/cq.wav\" type waveaudio alias Voice1")), 0);
    QCOMPARE(send(QStringLiteral("play VOICE1")), 0);
    QCOMPARE(status(QStringLiteral("voice1")), QStringLiteral("playing"));
    QCOMPARE(send(QStringLiteral("Stop vOICE1")), 0);
    QCOMPARE(status(QStringLiteral("VOICE1")), QStringLiteral("stopped"));
    QCOMPARE(send(QStringLiteral("close voice1")), 0);
    QCOMPARE(mAudio->eventNames(),
             (QStringList{QStringLiteral("open /tmp/cq.wav"), QStringLiteral("play /tmp/cq.wav"),
                          QStringLiteral("stop /tmp/cq.wav"), QStringLiteral("close /tmp/cq.wav")}));
}

void TstMci::backendErrorsComeBack_data()
{
    QTest::addColumn<QString>("failure"); // "open <path>", "all opens" or "play <path>"
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("openResult");
    QTest::addColumn<int>("playResult");

    const int notOpen = int(MciError::InvalidDeviceName);
    QTest::newRow("file not found") << QStringLiteral("open /tmp/cq.wav") << int(MciError::FileNotFound)
                                    << int(MciError::FileNotFound) << notOpen;
    QTest::newRow("not a recording") << QStringLiteral("open /tmp/cq.wav") << int(MciError::InvalidFile)
                                     << int(MciError::InvalidFile) << notOpen;
    QTest::newRow("every open fails") << QStringLiteral("all opens") << int(MciError::HardwareError)
                                      << int(MciError::HardwareError) << notOpen;
    QTest::newRow("another file fails") << QStringLiteral("open /tmp/other.wav") << int(MciError::InvalidFile) << 0
                                        << 0;
    QTest::newRow("no sound server") << QStringLiteral("play /tmp/cq.wav") << int(MciError::HardwareError) << 0
                                     << int(MciError::HardwareError);
}

void TstMci::backendErrorsComeBack()
{
    QFETCH(QString, failure);
    QFETCH(int, code);
    QFETCH(int, openResult);
    QFETCH(int, playResult);

    mAudio->setDuration(60'000);
    if (failure == QLatin1String("all opens"))
        mAudio->failAllOpens(code);
    else if (failure.startsWith(QLatin1String("open ")))
        mAudio->failOpen(failure.mid(5), code);
    else
        mAudio->failPlay(failure.mid(5), code);

    QCOMPARE(send(QStringLiteral("open \"/tmp/cq.wav\" type waveaudio alias voice1")), openResult);
    QCOMPARE(mAudio->openStreams(), openResult == 0 ? 1 : 0);
    QCOMPARE(send(QStringLiteral("play voice1")), playResult);
    const QString expectedReply = openResult != 0   ? QString()
                                  : playResult == 0 ? QStringLiteral("playing")
                                                    : QStringLiteral("stopped");
    QCOMPARE(status(QStringLiteral("voice1")), expectedReply);
    // Once the failure is lifted the same alias opens.
    mAudio->failAllOpens(0);
    mAudio->failOpen(QStringLiteral("/tmp/cq.wav"), 0);
    QCOMPARE(send(QStringLiteral("open \"/tmp/cq.wav\" type waveaudio alias voice1")),
             openResult == 0 ? MciError::DuplicateAlias : 0);
}

void TstMci::traceSeesEveryCommand()
{
    QStringList seen;
    setMciTrace([&seen](const QString& command, std::int32_t result) {
        seen.append(QStringLiteral("%1 = %2").arg(command).arg(result));
    });
    mAudio->failOpen(QStringLiteral("/tmp/missing.wav"), MciError::FileNotFound);
    send(QStringLiteral("close all"));
    send(QStringLiteral("open \"/tmp/missing.wav\" type waveaudio alias voice1"));
    send(QStringLiteral("open \"/tmp/cq.wav\" type waveaudio alias voice1"));
    send(QStringLiteral("play voice1"));
    QString reply;
    send(QStringLiteral("status voice1 mode"), &reply);
    send(QStringLiteral("bogus"));
    send(QStringLiteral("close voice1"));
    setMciTrace(nullptr);
    send(QStringLiteral("close all"));

    QCOMPARE(seen, (QStringList{
                       QStringLiteral("close all = 0"),
                       QStringLiteral("open \"/tmp/missing.wav\" type waveaudio alias voice1 = 275"),
                       QStringLiteral("open \"/tmp/cq.wav\" type waveaudio alias voice1 = 0"),
                       QStringLiteral("play voice1 = 0"),
                       QStringLiteral("status voice1 mode = 0"),
                       QStringLiteral("bogus = 261"),
                       QStringLiteral("close voice1 = 0"),
                   }));
}

void TstMci::changingBackendClosesAliases()
{
    QCOMPARE(send(QStringLiteral("open \"/tmp/cq.wav\" type waveaudio alias voice1")), 0);
    ScriptedAudioBackend other;
    other.install();
    QCOMPARE(mAudio->paths(Kind::Close), QStringList{QStringLiteral("/tmp/cq.wav")});
    QCOMPARE(mAudio->openStreams(), 0);
    std::int32_t code = 0;
    status(QStringLiteral("voice1"), &code);
    QCOMPARE(code, MciError::InvalidDeviceName);
    QCOMPARE(send(QStringLiteral("open \"/tmp/id.wav\" type waveaudio alias voice1")), 0);
    QCOMPARE(other.paths(Kind::Open), QStringList{QStringLiteral("/tmp/id.wav")});
    QCOMPARE(mAudio->paths(Kind::Open), QStringList{QStringLiteral("/tmp/cq.wav")});
}

void TstMci::commandsSentWhileClosing_data()
{
    QTest::addColumn<QString>("closing");
    QTest::addColumn<QString>("sentInside");
    QTest::newRow("close all inside close") << QStringLiteral("close voice1") << QStringLiteral("close all");
    QTest::newRow("close inside close all") << QStringLiteral("close all") << QStringLiteral("close voice2");
    QTest::newRow("open inside close all")
        << QStringLiteral("close all") << QStringLiteral("open \"/tmp/new.wav\" type waveaudio alias voice1");
    QTest::newRow("status inside close") << QStringLiteral("close voice1") << QStringLiteral("status voice1 mode");
}

// A real sink pumps events while it is torn down, so a handler can send a command in the middle of
// "close": the interpreter must hold no stale reference then.
void TstMci::commandsSentWhileClosing()
{
    QFETCH(QString, closing);
    QFETCH(QString, sentInside);

    QCOMPARE(send(QStringLiteral("open \"/tmp/one.wav\" type waveaudio alias voice1")), 0);
    QCOMPARE(send(QStringLiteral("open \"/tmp/two.wav\" type waveaudio alias voice2")), 0);
    int inside = 0;
    mAudio->setOnClose([&](const QString&) {
        if (inside++ == 0)
            send(sentInside);
    });
    QCOMPARE(send(closing), 0);
    mAudio->setOnClose(nullptr);
    QVERIFY(inside > 0);
    QCOMPARE(send(QStringLiteral("close all")), 0);
    QCOMPARE(mAudio->openStreams(), 0);
    // Every stream opened was closed exactly once.
    QStringList opened = mAudio->paths(Kind::Open);
    QStringList closed = mAudio->paths(Kind::Close);
    opened.sort();
    closed.sort();
    QCOMPARE(closed, opened);
}

void TstMci::shutdownLetsRepliesLand_data()
{
    QTest::addColumn<QStringList>("commands");
    const QString open = QStringLiteral("open \"/tmp/cq.wav\" type waveaudio alias voice1");
    QTest::newRow("alias still open") << QStringList{open, QStringLiteral("play voice1")};
    QTest::newRow("alias closed just before") << QStringList{open, QStringLiteral("close voice1")};
    QTest::newRow("close all just before") << QStringList{open, QStringLiteral("close all")};
}

// The program's exit path: whether the last stream went in "close" or in shutdownAudio() itself, the
// events already queued (the sound server's replies among them) are handled before it returns.
void TstMci::shutdownLetsRepliesLand()
{
    QFETCH(QStringList, commands);
    for (const QString& command : commands)
        QCOMPARE(send(command), 0);
    bool handled = false;
    QTimer::singleShot(0, [&handled] { handled = true; });
    shutdownAudio();
    QVERIFY(handled);
    QCOMPARE(mAudio->openStreams(), 0);
    QCOMPARE(mAudio->paths(Kind::Close), QStringList{QStringLiteral("/tmp/cq.wav")});
}

void TstMci::everyErrorHasItsOwnText()
{
    const std::vector<std::int32_t> codes{0,
                                          MciError::InvalidDeviceId,
                                          MciError::UnrecognizedKeyword,
                                          MciError::UnrecognizedCommand,
                                          MciError::HardwareError,
                                          MciError::InvalidDeviceName,
                                          MciError::FileNotFound,
                                          MciError::DuplicateAlias,
                                          MciError::InvalidFile,
                                          MciError::MissingParameter};
    QStringList texts;
    for (std::int32_t code : codes) {
        const QString text = mciErrorText(code);
        QVERIFY2(!text.isEmpty() && !texts.contains(text), qPrintable(QString::number(code)));
        texts.append(text);
    }
    QVERIFY(mciErrorText(12345).contains(QLatin1String("12345")));
}

QTEST_GUILESS_MAIN(TstMci)

#include "tst_mci.moc"
