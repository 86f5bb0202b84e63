// Which sound server plays: asked of the real test server, of none, and of one that never answers.
#include "platform/audio_sink.h"
#include "platform/soundserver.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Points the Pulse clients of this process somewhere else for a while.
class PulseServerOverride
{
public:
    explicit PulseServerOverride(const QByteArray& server)
        : mHad(qEnvironmentVariableIsSet("PULSE_SERVER")), mOld(qgetenv("PULSE_SERVER"))
    {
        qputenv("PULSE_SERVER", server);
    }
    ~PulseServerOverride()
    {
        if (mHad)
            qputenv("PULSE_SERVER", mOld);
        else
            qunsetenv("PULSE_SERVER");
    }
    PulseServerOverride(const PulseServerOverride&) = delete;
    PulseServerOverride& operator=(const PulseServerOverride&) = delete;

private:
    bool mHad;
    QByteArray mOld;
};

SoundServerKind expectedKind()
{
    return qEnvironmentVariable("WRENKEYER_SOUND_SERVER") == QLatin1String("pipewire") ? SoundServerKind::PipeWire
                                                                                       : SoundServerKind::PulseAudio;
}

} // namespace

class TstSoundServer : public QObject
{
    Q_OBJECT

    QTemporaryDir mDir;

    static bool haveServer() { return qEnvironmentVariableIsSet("WRENKEYER_TEST_SINK"); }

private slots:
    void kindOfName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("kind");
        QTest::newRow("PulseAudio") << "pulseaudio" << int(SoundServerKind::PulseAudio);
        QTest::newRow("PipeWire's Pulse service")
            << "PulseAudio (on PipeWire 0.3.65)" << int(SoundServerKind::PipeWire);
        QTest::newRow("PipeWire, other case") << "pulseaudio (on pipewire 1.2.7)" << int(SoundServerKind::PipeWire);
        QTest::newRow("no answer") << "" << int(SoundServerKind::Unknown);
        QTest::newRow("something else") << "my own server" << int(SoundServerKind::Unknown);
    }

    void kindOfName()
    {
        QFETCH(QString, name);
        QFETCH(int, kind);
        QCOMPARE(int(soundServerKindOf(name)), kind);
    }

    void namesTheRunningServer()
    {
        if (!haveServer())
            QSKIP("no test sound server: run scripts/test");
        const QString name = askSoundServerName(5000);
        QVERIFY2(!name.isEmpty(), "the test server did not answer");
        QCOMPARE(int(soundServerKindOf(name)), int(expectedKind()));
        // The probe gets the same answer on its own thread, and the backend times ends by it.
        SoundServerProbe probe;
        QTRY_COMPARE_WITH_TIMEOUT(int(probe.kind()), int(expectedKind()), 5000);
        SinkAudioBackend backend;
        QTRY_COMPARE_WITH_TIMEOUT(backend.endMarginUSecs(), SinkAudioBackend::endMarginUSecs(expectedKind()), 5000);
        // PipeWire's timing moves in cycles of its graph; the end waits longer there, and while not knowing.
        QVERIFY(SinkAudioBackend::endMarginUSecs(SoundServerKind::PulseAudio) <
                SinkAudioBackend::endMarginUSecs(SoundServerKind::PipeWire));
        QCOMPARE(SinkAudioBackend::endMarginUSecs(SoundServerKind::Unknown),
                 SinkAudioBackend::endMarginUSecs(SoundServerKind::PipeWire));
    }

    // No server, or one that takes the connection and then says nothing: an empty name, and the wait
    // ends at the time-out rather than never.
    void noAnswerIsNoName_data()
    {
        QTest::addColumn<bool>("listening");
        QTest::newRow("nothing at the socket") << false;
        QTest::newRow("a socket that never answers") << true;
    }

    void noAnswerIsNoName()
    {
        QFETCH(bool, listening);
        QVERIFY(mDir.isValid());
        const QByteArray path = QFile::encodeName(mDir.filePath(QStringLiteral("silent-%1").arg(listening)));
        int fd = -1;
        if (listening) {
            fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            QVERIFY(fd >= 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            QVERIFY(size_t(path.size()) < sizeof(address.sun_path));
            std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
            QVERIFY(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0);
            QVERIFY(::listen(fd, 4) == 0);
        }
        const auto closeSocket = qScopeGuard([fd] {
            if (fd >= 0)
                ::close(fd);
        });
        const PulseServerOverride server("unix:" + path);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(askSoundServerName(500), QString());
        qInfo("no name after %lld ms", qint64(clock.elapsed()));
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QStringLiteral("waited %1 ms").arg(clock.elapsed())));
        // The probe, asking the same, stays at not knowing.
        SoundServerProbe probe(500);
        QTest::qWait(1000);
        QCOMPARE(int(probe.kind()), int(SoundServerKind::Unknown));
    }
};

QTEST_GUILESS_MAIN(TstSoundServer)
#include "tst_soundserver.moc"
