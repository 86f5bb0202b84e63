#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>

// What the program was asked on its command line.
struct CommandLine
{
    enum class Kind
    {
        Window, // no option of ours: the keyer itself starts
        Help,
        Version,
        Bad, // error says why; the usage follows it
        Play,
        PlayFile,
        Repeat,
        Stop,
        Status,
    };
    Kind kind = Kind::Window;
    int number = 0;
    QString path; // absolute
    QString error;
};

// Exit codes of a command sent to a running keyer.
inline constexpr int kExitDone = 0;
inline constexpr int kExitNoKeyer = 1;
inline constexpr int kExitBadArguments = 2;
inline constexpr int kExitRefused = 3;

// Reads the arguments after the program name. Options of ours begin with "--"; with none the keyer
// starts as always, the toolkit's own "-x" options left to it. `workingDir` makes a relative file absolute.
CommandLine parseCommandLine(const QStringList& arguments, const QString& workingDir);

QString usageText();

// Carries out a command other than Window: talks to the keyer at `socketPath` and returns the exit code.
// Waits no more than a few seconds, whatever the other end does.
int runCommandLine(const CommandLine& command, const QString& socketPath, std::FILE* out, std::FILE* err);
