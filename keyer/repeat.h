#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class MessagePlayer;

// Sends one message again and again, the line dropped for the interval between the sends, until it is
// cancelled. Every send takes the road `send` gives it, the one a click takes; a message that does not
// run to the end of its recording (STOP, time-out, a failure) ends the repeat.
class MessageRepeat : public QObject
{
    Q_OBJECT

public:
    using Send = std::function<void(int n)>;

    MessageRepeat(MessagePlayer& player, Send send, QObject* parent = nullptr);

    // Sends message n now and again `intervalSeconds` after each end.
    void start(int n, int intervalSeconds);
    void cancel();

    // The repeating button, 0 when nothing repeats.
    int number() const { return mNumber; }
    // Between two sends, the line down.
    bool waiting() const { return mWait.isActive(); }
    // Whole seconds left of the wait, rounded up.
    int secondsLeft() const;

signals:
    // The repeat started or ended, a wait began or its seconds left changed.
    void changed();

private:
    void messageEnded();
    void tick();
    void sendAgain();

    MessagePlayer& mPlayer;
    Send mSend;
    int mNumber = 0;
    int mIntervalMs = 0;
    int mShownSeconds = -1;
    QDeadlineTimer mDeadline;
    QTimer mWait;
    QTimer mTick;
};

// The status line between two sends.
QString repeatCountdownText(int secondsLeft);
