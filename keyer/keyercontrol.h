#pragma once

#include <QString>

// What the keyer is doing, as other programs are told.
struct KeyerState
{
    enum class Kind
    {
        Idle,
        Transmitting, // a button's message or a file is being sent
        Waiting,      // a repeat rests between two sends, the line down
    };
    Kind kind = Kind::Idle;
    int message = 0;     // the button, 0 for a file or when idle
    QString file;        // the file being sent
    int secondsLeft = 0; // of the wait
};

// The requests other programs may make of the keyer. Each takes the road a click takes; a refused request
// changes nothing and answers why, in a line for the operator of the program that asked.
class KeyerControl
{
public:
    virtual ~KeyerControl() = default;
    // "" when message n is being sent, else the reason it is not.
    virtual QString remotePlay(int n) = 0;
    virtual QString remotePlayFile(const QString& path) = 0;
    virtual QString remoteRepeat(int n) = 0;
    virtual void remoteStop() = 0;
    virtual KeyerState keyerState() const = 0;
};
