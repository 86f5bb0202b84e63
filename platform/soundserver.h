#pragma once

#include <QString>

#include <atomic>
#include <memory>

// Which sound server plays the messages. PipeWire's Pulse service times a stream in whole cycles of its
// graph, so the end of a message is called later there than on PulseAudio, whose timing is exact.
enum class SoundServerKind
{
    Unknown, // not asked yet, no server, or one that did not answer in time
    PulseAudio,
    PipeWire,
};

// The kind named by a server's own name: "pulseaudio", or "PulseAudio (on PipeWire 0.3.65)".
SoundServerKind soundServerKindOf(const QString& serverName);

// Asks the server the Pulse clients reach (PULSE_SERVER or the user's own) for its name; "" when none
// answers within `timeoutMs`. Blocks: call it off the user-interface thread.
QString askSoundServerName(int timeoutMs);

// Asks once, on a thread of its own, so that a slow or hung server never holds up the caller; until
// the answer is in, the kind reads Unknown.
class SoundServerProbe
{
public:
    explicit SoundServerProbe(int timeoutMs = 2000);
    SoundServerKind kind() const;

private:
    std::shared_ptr<std::atomic<SoundServerKind>> mKind;
};
