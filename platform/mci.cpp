#include "platform/mci.h"

#include "platform/audio_sink.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <utility>

namespace {

using AliasTable = std::map<QString, std::unique_ptr<AudioStream>>;

struct MciState
{
    AudioBackend* installed = nullptr;
    AliasTable aliases; // keyed by the case-folded alias: aliases are case-insensitive
    std::function<void(const QString&, std::int32_t)> trace;
    bool cleanupRegistered = false;
    QElapsedTimer sinceRelease; // since a stream was last destroyed; invalid before the first
};

// Never destroyed: an alias still open at exit must not be torn down after the application object and
// the sound server's client are gone; shutdownAudio() (or the post routine) closes it while they live.
MciState& mci()
{
    static auto* state = new MciState;
    return *state;
}

// Streams can pump events while they are torn down (the sound server's client does), and a handler run
// there may send commands of its own, so a stream leaves the table before it is destroyed.
void destroyAll()
{
    AliasTable doomed = std::exchange(mci().aliases, AliasTable{});
    if (doomed.empty())
        return;
    doomed.clear();
    mci().sinceRelease.start();
}

void destroyOne(AliasTable::iterator it)
{
    std::unique_ptr<AudioStream> doomed = std::move(it->second);
    mci().aliases.erase(it);
    doomed.reset();
    mci().sinceRelease.start();
}

bool isKeyword(const QString& token, const char* keyword)
{
    return token.compare(QLatin1String(keyword), Qt::CaseInsensitive) == 0;
}

QStringList splitWords(QStringView text)
{
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    return text.toString().split(blanks, Qt::SkipEmptyParts);
}

// What follows the path: "waveaudio alias A".
std::int32_t parseOpenTail(const QStringList& tail, QString& alias)
{
    if (tail.isEmpty())
        return MciError::MissingParameter;
    if (!isKeyword(tail[0], "waveaudio"))
        return MciError::InvalidDeviceName;
    if (tail.size() < 2)
        return MciError::MissingParameter;
    if (!isKeyword(tail[1], "alias"))
        return MciError::UnrecognizedKeyword;
    if (tail.size() < 3)
        return MciError::MissingParameter;
    if (tail.size() > 3 || tail[2].contains(QLatin1Char('"')))
        return MciError::UnrecognizedKeyword;
    // "all" names every alias in "close all", so it cannot name one device.
    if (isKeyword(tail[2], "all"))
        return MciError::InvalidDeviceName;
    alias = tail[2];
    return 0;
}

// `rest` is the text after "open ". A quoted path runs to the last `" type ` so that no character in a
// file name, quotes included, can end it early and make the rest of the name read as keywords.
std::int32_t parseOpen(QStringView rest, QString& path, QString& alias)
{
    rest = rest.trimmed();
    if (rest.isEmpty())
        return MciError::MissingParameter;
    QStringList tail;
    if (rest.front() == QLatin1Char('"')) {
        static const QRegularExpression typeKeyword(QStringLiteral("\"\\s+type\\s+"),
                                                    QRegularExpression::CaseInsensitiveOption);
        qsizetype pathEnd = -1;
        qsizetype tailStart = -1;
        auto matches = typeKeyword.globalMatch(rest, 1);
        while (matches.hasNext()) {
            const QRegularExpressionMatch match = matches.next();
            pathEnd = match.capturedStart();
            tailStart = match.capturedEnd();
        }
        if (pathEnd < 0)
            return MciError::MissingParameter;
        path = rest.sliced(1, pathEnd - 1).toString();
        tail = splitWords(rest.sliced(tailStart));
    } else {
        const QStringList words = splitWords(rest);
        if (words[0].contains(QLatin1Char('"')))
            return MciError::UnrecognizedCommand;
        path = words[0];
        if (words.size() < 2)
            return MciError::MissingParameter;
        if (!isKeyword(words[1], "type"))
            return MciError::UnrecognizedKeyword;
        tail = words.mid(2);
    }
    if (path.isEmpty())
        return MciError::MissingParameter;
    return parseOpenTail(tail, alias);
}

std::int32_t runOpen(QStringView rest, const PlayOptions& options)
{
    QString path;
    QString alias;
    if (const std::int32_t parsed = parseOpen(rest, path, alias); parsed != 0)
        return parsed;
    const QString key = alias.toCaseFolded();
    if (mci().aliases.count(key) != 0)
        return MciError::DuplicateAlias;
    std::int32_t error = 0;
    std::unique_ptr<AudioStream> stream = audioBackend().open(path, options, error);
    if (!stream)
        return error != 0 ? error : MciError::InvalidFile;
    if (!mci().cleanupRegistered && QCoreApplication::instance() != nullptr) {
        qAddPostRoutine(shutdownAudio);
        mci().cleanupRegistered = true;
    }
    mci().aliases.emplace(key, std::move(stream));
    return 0;
}

std::int32_t execute(const QString& command, QString* reply, const PlayOptions& options)
{
    const QStringView text = QStringView(command).trimmed();
    const qsizetype verbEnd = [&] {
        for (qsizetype i = 0; i < text.size(); ++i) {
            if (text[i].isSpace())
                return i;
        }
        return text.size();
    }();
    const QString verb = text.first(verbEnd).toString();
    const QStringView rest = text.sliced(verbEnd);
    if (isKeyword(verb, "open"))
        return runOpen(rest, options);

    const QStringList args = splitWords(rest);
    const bool known =
        isKeyword(verb, "play") || isKeyword(verb, "stop") || isKeyword(verb, "close") || isKeyword(verb, "status");
    if (!known)
        return MciError::UnrecognizedCommand;
    if (args.isEmpty())
        return MciError::MissingParameter;
    const bool isStatus = isKeyword(verb, "status");
    if (isStatus && args.size() < 2)
        return MciError::MissingParameter;
    if (args.size() > (isStatus ? 2 : 1))
        return MciError::UnrecognizedKeyword;
    if (isStatus && !isKeyword(args[1], "mode"))
        return MciError::UnrecognizedKeyword;

    if (isKeyword(verb, "close") && isKeyword(args[0], "all")) {
        destroyAll();
        return 0;
    }
    const auto it = mci().aliases.find(args[0].toCaseFolded());
    if (it == mci().aliases.end())
        return MciError::InvalidDeviceName;
    if (isKeyword(verb, "close")) {
        destroyOne(it);
        return 0;
    }
    if (isKeyword(verb, "stop")) {
        it->second->stop();
        return 0;
    }
    if (isKeyword(verb, "play"))
        return it->second->play();
    const bool playing = it->second->isPlaying();
    if (reply != nullptr)
        *reply = playing ? QStringLiteral("playing") : QStringLiteral("stopped");
    return 0;
}

} // namespace

std::int64_t mciTimeLeftUSecs(const QString& alias)
{
    const auto it = mci().aliases.find(alias.toCaseFolded());
    return it == mci().aliases.end() ? -1 : it->second->timeLeftUSecs();
}

void mciWakeOutput(const QString& outputId)
{
    audioBackend().wake(outputId);
}

bool mciOutputAwake()
{
    return audioBackend().isAwake();
}

void mciLetOutputSleep()
{
    audioBackend().letSleep();
}

std::int32_t mciCheckOutput(const QString& outputId)
{
    return audioBackend().checkOutput(outputId);
}

std::int32_t mciStreamFailure(const QString& alias)
{
    const auto it = mci().aliases.find(alias.toCaseFolded());
    return it == mci().aliases.end() ? 0 : it->second->failure();
}

std::int64_t mciHeardAfterUSecs(const QString& alias)
{
    const auto it = mci().aliases.find(alias.toCaseFolded());
    return it == mci().aliases.end() ? -1 : it->second->heardAfterUSecs();
}

std::int32_t mciSendString(const QString& command, QString* reply, const PlayOptions& options)
{
    if (reply != nullptr)
        reply->clear();
    const std::int32_t result = execute(command, reply, options);
    // A copy: the hook may install another hook, or none, while it runs.
    if (const auto trace = mci().trace)
        trace(command, result);
    return result;
}

QString mciErrorText(std::int32_t code)
{
    switch (code) {
    case 0:
        return QStringLiteral("The command succeeded.");
    case MciError::InvalidDeviceId:
        return QStringLiteral("The device identifier is not valid.");
    case MciError::UnrecognizedKeyword:
        return QStringLiteral("The command contains a keyword that is not recognized.");
    case MciError::UnrecognizedCommand:
        return QStringLiteral("The command is not recognized.");
    case MciError::HardwareError:
        return QStringLiteral("The sound output could not be started: no sound server, or it refused the stream.");
    case MciError::InvalidDeviceName:
        return QStringLiteral("The device is not open, or the name is not a known device or device type.");
    case MciError::FileNotFound:
        return QStringLiteral("The file was not found.");
    case MciError::DuplicateAlias:
        return QStringLiteral("The alias is already in use by an open device.");
    case MciError::InvalidFile:
        return QStringLiteral("The file is not a WAV recording that can be played.");
    case MciError::OutputNotFound:
        return QStringLiteral("The sound output chosen in Settings is not there.");
    case MciError::MissingParameter:
        return QStringLiteral("The command lacks a required parameter.");
    default:
        return QStringLiteral("Unknown audio error %1.").arg(code);
    }
}

std::int32_t mciCheckFile(const QString& path)
{
    return audioBackend().check(path);
}

AudioBackend& audioBackend()
{
    if (mci().installed != nullptr)
        return *mci().installed;
    // Never destroyed, for the same reason as the alias table.
    static auto* sink = new SinkAudioBackend;
    return *sink;
}

void setAudioBackend(AudioBackend* backend)
{
    destroyAll();
    mci().installed = backend;
}

void setMciTrace(std::function<void(const QString& command, std::int32_t result)> trace)
{
    mci().trace = std::move(trace);
}

void shutdownAudio()
{
    audioBackend().letSleep();
    destroyAll();
    // A released stream still has replies in flight from the sound server, and libpulse can abort if the
    // process ends before they land; so the first 20 ms after the last release pass pumping events, whether
    // that release was here or in an earlier "close".
    const QElapsedTimer& sinceRelease = mci().sinceRelease;
    if (!sinceRelease.isValid())
        return;
    while (sinceRelease.elapsed() < 20)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

void exitAfterAudio(int code)
{
    shutdownAudio();
    std::fflush(nullptr);
    std::_Exit(code);
}
