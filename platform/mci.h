#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

// A small string-command interface to the audio output, in the manner of the
// classic media control strings the player speaks:
//   open "path" type waveaudio alias A   play A   status A mode
//   stop A   close A   close all
// Each command returns 0 or an error code; "status A mode" replies "playing"
// while sound is still going out and "stopped" otherwise.

namespace MciError {
inline constexpr std::int32_t InvalidDeviceId = 257;
inline constexpr std::int32_t UnrecognizedKeyword = 259;
inline constexpr std::int32_t UnrecognizedCommand = 261;
inline constexpr std::int32_t HardwareError = 262; // no sound server, device refused the stream
inline constexpr std::int32_t InvalidDeviceName = 263;
inline constexpr std::int32_t FileNotFound = 275;
inline constexpr std::int32_t DuplicateAlias = 289;
inline constexpr std::int32_t InvalidFile = 296;    // not a sound file, or one we cannot decode
inline constexpr std::int32_t OutputNotFound = 306; // the output asked for is not on the sound server
inline constexpr std::int32_t MissingParameter = 417;
} // namespace MciError

// How "open" sets up a stream beyond what the command names: where it plays and how loud.
struct PlayOptions
{
    QString outputId; // the sound server's id of the output, "" = the system default
    // Held to the settings' range and limited to the file's headroom (effectiveGainDb); 0 leaves every
    // sample as the file has it.
    double gainDb = 0.0;
};

// `options` matter to "open" alone.
std::int32_t mciSendString(const QString& command, QString* reply = nullptr, const PlayOptions& options = {});

// Whether the backend in use could play `path` (see AudioBackend::check): asked before the line is keyed,
// so a file that cannot play costs no dead carrier.
std::int32_t mciCheckFile(const QString& path);

// Whether the output `outputId` is there to play on now (see AudioBackend::checkOutput): asked before the
// line is keyed, so a radio's sound card unplugged costs no dead carrier and never plays out of the speakers.
std::int32_t mciCheckOutput(const QString& outputId);

// Why the sound of `alias` stopped before its end (see AudioStream::failure); 0 also for no such alias.
std::int32_t mciStreamFailure(const QString& alias);

// How long the sound of `alias` has still to be heard, in microseconds; -1 when that is not known (no such
// alias, or a stream that cannot tell). Only a hint for when to ask "status A mode" next.
std::int64_t mciTimeLeftUSecs(const QString& alias);

// The backend's wake(), isAwake() and letSleep(); every alias closed also lets the output sleep.
void mciWakeOutput(const QString& outputId = QString());
bool mciOutputAwake();
void mciLetOutputSleep();

// What heardAfterUSecs() of the stream of `alias` answers; -1 for no such alias.
std::int64_t mciHeardAfterUSecs(const QString& alias);

// Text for an error code, for messages and logs.
QString mciErrorText(std::int32_t code);

// One opened sound file.
class AudioStream
{
public:
    virtual ~AudioStream() = default;
    // Starts playback without waiting; returns 0 or an MciError code.
    virtual std::int32_t play() = 0;
    // True from play() until the last sample has been heard, or until stop().
    virtual bool isPlaying() = 0;
    virtual void stop() = 0;
    // Microseconds until the last sample will have been heard, by the same reckoning as isPlaying(); -1 when
    // the stream cannot tell. Lets a caller sleep until the end is due instead of asking all the time.
    virtual std::int64_t timeLeftUSecs() { return -1; }
    // Microseconds from play() until its first sample was heard: the sound path's own start-up time.
    // -1 while that is not known.
    virtual std::int64_t heardAfterUSecs() { return -1; }
    // Why the stream stopped before its end: 0 while it plays, when it played out or was stopped, else an
    // MciError code (its output went away, its server was lost).
    virtual std::int32_t failure() { return 0; }
};

class AudioBackend
{
public:
    virtual ~AudioBackend() = default;
    // Opens `path` for playback as `options` say; on failure returns null and sets `error`.
    virtual std::unique_ptr<AudioStream> open(const QString& path, const PlayOptions& options, std::int32_t& error) = 0;
    // What "open" would answer for `path`, found without a stream or the sound server: 0 or an MciError
    // code. Never blocks, whatever the path names.
    virtual std::int32_t check(const QString& path) = 0;
    // 0 when the output `outputId` is on the sound server now ("" the default, which is always taken to
    // be), else OutputNotFound. Answers from what the server last told, without waiting on it.
    virtual std::int32_t checkOutput(const QString& outputId)
    {
        (void)outputId;
        return 0;
    }
    // Starts the output ahead of a message, playing silence: a sound server suspends an idle output, and a
    // real card takes from 100 ms to 2 s to wake, which would eat into the lead or clip the first syllable.
    // `outputId` names the output the message will play on ("" the default). A backend may make the
    // message's stream here too, so that "play" need not wait for one. Returns without waiting for the
    // output to run; isAwake() tells when it does.
    virtual void wake(const QString& outputId) { (void)outputId; }
    // True once the output woken runs, and whenever there is nothing to wait for (no wake asked, no
    // server to wake).
    virtual bool isAwake() { return true; }
    // Lets the output sleep again: the message plays on a stream of its own by then, or was given up.
    virtual void letSleep() {}
};

// The backend in use: the sound server's, unless a test installed another.
AudioBackend& audioBackend();
// Installs `backend` (not owned); nullptr restores the sound server's. Closes every open alias first.
void setAudioBackend(AudioBackend* backend);

// Called after every command with its result; tests use it to see what was sent and when.
void setMciTrace(std::function<void(const QString& command, std::int32_t result)> trace);

// Closes every alias and lets the sound server's replies arrive, while the application object exists.
// It also runs by itself from QCoreApplication's destructor once any alias has been opened.
void shutdownAudio();

// Ends the process after shutdownAudio(), skipping static destructors: Qt 6.4 disconnects from the sound
// server there without libpulse's lock, and libpulse aborts when an event from the server lands at that
// moment. main() ends with it when the event loop has returned, the application object still alive;
// whatever must outlive the run has to be on disk by then.
[[noreturn]] void exitAfterAudio(int code);
