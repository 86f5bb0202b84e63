#pragma once

#include "keyer/keyercontrol.h"

#include <QByteArray>
#include <QString>

// The requests other programs send over the local socket, one line each: "play N", "play-file PATH",
// "repeat N", "stop", "status". The keyer answers one line: "ok", "ok TEXT" for status, "bad REASON"
// for a request it does not understand, "refused REASON" for one it will not carry out now.
struct RemoteRequest
{
    enum class Kind
    {
        Invalid,
        Play,
        PlayFile,
        Repeat,
        Stop,
        Status,
    };
    Kind kind = Kind::Invalid;
    int number = 0;
    QString path;
    QString error; // why it is Invalid
};

// The longest request line, newline included: a path of PATH_MAX bytes and its command.
inline constexpr int kMaxRequestBytes = 4096 + 16;

// Reads one request line, without its newline. Anything but exactly one of the forms above is Invalid:
// a number out of 1..10 or not in plain digits, a path that is not absolute, text that is not UTF-8,
// control characters, extra words. The file itself is not looked at here.
RemoteRequest parseRemoteRequest(const QByteArray& line);

// What a path from outside must be before the keyer opens it; "" when it is fine.
QString checkSoundFilePath(const QString& path);

// "idle", "transmitting N", "waiting N S" (S seconds left) or "transmitting FILE".
QString keyerStatusText(const KeyerState& state);

QByteArray okReply(const QString& text = QString());
QByteArray badReply(const QString& reason);
QByteArray refusedReply(const QString& reason);

// Where the running keyer listens: in the user's runtime folder, one socket per user.
QString remoteSocketPath();
