#include "remote/commandline.h"

#include "core/version.h"
#include "remote/protocol.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>

namespace {

constexpr int kConnectMs = 1000;
// Longer than the keyer's own deadline for a client, so that its answer, not our patience, decides.
constexpr int kAnswerMs = 5000;

CommandLine bad(const QString& error)
{
    CommandLine command;
    command.kind = CommandLine::Kind::Bad;
    command.error = error;
    return command;
}

void print(std::FILE* file, const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), file);
    std::fflush(file);
}

QByteArray requestLine(const CommandLine& command)
{
    switch (command.kind) {
    case CommandLine::Kind::Play:
        return "play " + QByteArray::number(command.number) + '\n';
    case CommandLine::Kind::Repeat:
        return "repeat " + QByteArray::number(command.number) + '\n';
    case CommandLine::Kind::PlayFile:
        return "play-file " + command.path.toUtf8() + '\n';
    case CommandLine::Kind::Stop:
        return "stop\n";
    case CommandLine::Kind::Status:
        return "status\n";
    default:
        return QByteArray();
    }
}

} // namespace

CommandLine parseCommandLine(const QStringList& arguments, const QString& workingDir)
{
    CommandLine command;
    bool ours = false;
    for (const QString& argument : arguments)
        ours = ours || argument.startsWith(QLatin1String("--"));
    if (!ours)
        return command;

    QStringList words;
    for (const QString& argument : arguments) {
        // "--play=3" reads as "--play 3".
        const qsizetype equals = argument.indexOf(QLatin1Char('='));
        if (argument.startsWith(QLatin1String("--")) && equals > 2) {
            words << argument.left(equals) << argument.mid(equals + 1);
        } else {
            words << argument;
        }
    }
    const QString option = words.value(0);
    const QStringList values = words.mid(1);
    const auto noValue = [&](CommandLine::Kind kind) {
        if (!values.isEmpty())
            return bad(QStringLiteral("%1 takes no value").arg(option));
        CommandLine result;
        result.kind = kind;
        return result;
    };
    if (option == QLatin1String("--help"))
        return noValue(CommandLine::Kind::Help);
    if (option == QLatin1String("--version"))
        return noValue(CommandLine::Kind::Version);
    if (option == QLatin1String("--stop"))
        return noValue(CommandLine::Kind::Stop);
    if (option == QLatin1String("--status"))
        return noValue(CommandLine::Kind::Status);
    if (option == QLatin1String("--play") || option == QLatin1String("--repeat")) {
        if (values.size() != 1)
            return bad(QStringLiteral("%1 takes one message number").arg(option));
        // The keyer reads the number by the same rule.
        const RemoteRequest request = parseRemoteRequest("play " + values.first().toUtf8());
        if (request.kind != RemoteRequest::Kind::Play)
            return bad(request.error);
        command.kind = option == QLatin1String("--play") ? CommandLine::Kind::Play : CommandLine::Kind::Repeat;
        command.number = request.number;
        return command;
    }
    if (option == QLatin1String("--play-file")) {
        if (values.size() != 1 || values.first().isEmpty())
            return bad(QStringLiteral("--play-file takes one file"));
        const QString path = QDir(workingDir).absoluteFilePath(values.first());
        const RemoteRequest request = parseRemoteRequest("play-file " + path.toUtf8());
        if (request.kind != RemoteRequest::Kind::PlayFile)
            return bad(request.error);
        if (const QString problem = checkSoundFilePath(path); !problem.isEmpty())
            return bad(problem);
        command.kind = CommandLine::Kind::PlayFile;
        command.path = path;
        return command;
    }
    if (!option.startsWith(QLatin1String("--")))
        return bad(QStringLiteral("unexpected argument: %1").arg(option));
    return bad(QStringLiteral("unknown option: %1").arg(option));
}

QString usageText()
{
    return QStringLiteral("Usage: wrenkeyer [OPTION]\n"
                          "Without an option the keyer starts. An option talks to the running keyer and ends:\n"
                          "  --play N         send message N (1 to 10)\n"
                          "  --play-file PATH send a sound file, keyed as a message is\n"
                          "  --repeat N       send message N again and again, the Repeat Interval between\n"
                          "  --stop           stop the message or the repeat\n"
                          "  --status         print idle, transmitting N, waiting N SECONDS or transmitting FILE\n"
                          "  --help           print this help\n"
                          "  --version        print the version\n"
                          "Exit status: 0 done, 1 no keyer running, 2 bad arguments, 3 refused.\n");
}

int runCommandLine(const CommandLine& command, const QString& socketPath, std::FILE* out, std::FILE* err)
{
    switch (command.kind) {
    case CommandLine::Kind::Window:
        return kExitBadArguments;
    case CommandLine::Kind::Help:
        print(out, usageText());
        return kExitDone;
    case CommandLine::Kind::Version:
        print(out, QStringLiteral("wrenkeyer %1\n").arg(composeVersion(programVersion())));
        return kExitDone;
    case CommandLine::Kind::Bad:
        print(err, QStringLiteral("wrenkeyer: %1\n").arg(command.error) + usageText());
        return kExitBadArguments;
    default:
        break;
    }

    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(kConnectMs)) {
        print(err, QStringLiteral("wrenkeyer: no keyer running\n"));
        return kExitNoKeyer;
    }
    socket.write(requestLine(command));
    socket.flush();
    QByteArray answer;
    QDeadlineTimer deadline(kAnswerMs);
    while (!answer.contains('\n') && !deadline.hasExpired() && answer.size() < kMaxRequestBytes) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(int(deadline.remainingTime())))
            break;
        answer += socket.readAll();
    }
    const qsizetype end = answer.indexOf('\n');
    if (end < 0) {
        print(err, QStringLiteral("wrenkeyer: the keyer gave no answer\n"));
        return kExitRefused;
    }
    const QString line = QString::fromUtf8(answer.left(end));
    if (line == QLatin1String("ok"))
        return kExitDone;
    if (line.startsWith(QLatin1String("ok "))) {
        print(out, line.mid(3) + QLatin1Char('\n'));
        return kExitDone;
    }
    if (line.startsWith(QLatin1String("bad "))) {
        print(err, QStringLiteral("wrenkeyer: %1\n").arg(line.mid(4)));
        return kExitBadArguments;
    }
    print(err, QStringLiteral("wrenkeyer: refused: %1\n")
                   .arg(line.startsWith(QLatin1String("refused ")) ? line.mid(8) : line));
    return kExitRefused;
}
