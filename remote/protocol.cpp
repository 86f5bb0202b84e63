#include "remote/protocol.h"

#include "core/globals.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringDecoder>

#include <unistd.h>

namespace {

// Plain decimal 1..10: no sign, blank or leading zero that another reading might take differently.
int messageNumber(const QString& text)
{
    if (text.isEmpty() || text.size() > 2 || text.front() == QLatin1Char('0'))
        return 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return 0;
    }
    const int n = text.toInt();
    return n >= 1 && n <= kMessageCount ? n : 0;
}

RemoteRequest invalid(const QString& error)
{
    RemoteRequest request;
    request.error = error;
    return request;
}

QString noMessageText(const QString& text)
{
    return QStringLiteral("not a message number 1 to %1: %2").arg(kMessageCount).arg(text.left(20));
}

} // namespace

RemoteRequest parseRemoteRequest(const QByteArray& line)
{
    if (line.size() >= kMaxRequestBytes)
        return invalid(QStringLiteral("request too long"));
    QStringDecoder decode(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decode(line);
    if (decode.hasError())
        return invalid(QStringLiteral("request is not UTF-8 text"));
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            return invalid(QStringLiteral("request holds control characters"));
    }
    const qsizetype blank = text.indexOf(QLatin1Char(' '));
    const QString command = blank < 0 ? text : text.left(blank);
    const QString argument = blank < 0 ? QString() : text.mid(blank + 1);
    const bool hasArgument = blank >= 0;

    RemoteRequest request;
    if (command == QLatin1String("stop") || command == QLatin1String("status")) {
        if (hasArgument)
            return invalid(QStringLiteral("%1 takes no argument").arg(command));
        request.kind = command == QLatin1String("stop") ? RemoteRequest::Kind::Stop : RemoteRequest::Kind::Status;
        return request;
    }
    if (command == QLatin1String("play") || command == QLatin1String("repeat")) {
        request.number = messageNumber(argument);
        if (request.number == 0)
            return invalid(noMessageText(argument));
        request.kind = command == QLatin1String("play") ? RemoteRequest::Kind::Play : RemoteRequest::Kind::Repeat;
        return request;
    }
    if (command == QLatin1String("play-file")) {
        if (argument.isEmpty())
            return invalid(QStringLiteral("play-file needs a path"));
        if (!argument.startsWith(QLatin1Char('/')))
            return invalid(QStringLiteral("the path is not absolute"));
        request.kind = RemoteRequest::Kind::PlayFile;
        request.path = argument;
        return request;
    }
    return invalid(QStringLiteral("unknown request: %1").arg(command.left(20)));
}

QString checkSoundFilePath(const QString& path)
{
    if (path.isEmpty() || !QDir::isAbsolutePath(path))
        return QStringLiteral("the path is not absolute");
    // Followed through links: what counts is what would be opened. A FIFO or device would hang the open.
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("no such file: %1").arg(path);
    if (!info.isFile())
        return QStringLiteral("not a regular file: %1").arg(path);
    if (!info.isReadable())
        return QStringLiteral("cannot read: %1").arg(path);
    return QString();
}

QString keyerStatusText(const KeyerState& state)
{
    switch (state.kind) {
    case KeyerState::Kind::Transmitting:
        if (state.message > 0)
            return QStringLiteral("transmitting %1").arg(state.message);
        return QStringLiteral("transmitting ") + state.file;
    case KeyerState::Kind::Waiting:
        return QStringLiteral("waiting %1 %2").arg(state.message).arg(state.secondsLeft);
    case KeyerState::Kind::Idle:
        break;
    }
    return QStringLiteral("idle");
}

QByteArray okReply(const QString& text)
{
    return text.isEmpty() ? QByteArray("ok\n") : "ok " + text.toUtf8() + '\n';
}

QByteArray badReply(const QString& reason)
{
    return "bad " + reason.toUtf8() + '\n';
}

QByteArray refusedReply(const QString& reason)
{
    return "refused " + reason.toUtf8() + '\n';
}

QString remoteSocketPath()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    return dir + QStringLiteral("/wrenkeyer-%1.socket").arg(getuid());
}
