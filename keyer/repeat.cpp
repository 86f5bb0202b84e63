#include "keyer/repeat.h"

#include "keyer/player.h"

#include <algorithm>

namespace {

// Often enough that the countdown changes within a tenth of its second.
constexpr int kTickMs = 100;

} // namespace

QString repeatCountdownText(int secondsLeft)
{
    return QStringLiteral("Repeat in %1 s").arg(secondsLeft);
}

MessageRepeat::MessageRepeat(MessagePlayer& player, Send send, QObject* parent)
    : QObject(parent), mPlayer(player), mSend(std::move(send))
{
    mWait.setSingleShot(true);
    mWait.setTimerType(Qt::PreciseTimer);
    mTick.setInterval(kTickMs);
    connect(&mWait, &QTimer::timeout, this, &MessageRepeat::sendAgain);
    connect(&mTick, &QTimer::timeout, this, &MessageRepeat::tick);
    connect(&mPlayer, &MessagePlayer::finished, this, &MessageRepeat::messageEnded);
}

void MessageRepeat::start(int n, int intervalSeconds)
{
    cancel();
    mSend(n);
    // Refused (an empty button, a file that cannot play, a port that is gone): nothing to repeat.
    if (!mPlayer.isPlaying() || mPlayer.number() != n)
        return;
    mNumber = n;
    mIntervalMs = intervalSeconds * 1000;
    emit changed();
}

void MessageRepeat::cancel()
{
    if (mNumber == 0)
        return;
    mNumber = 0;
    mWait.stop();
    mTick.stop();
    mShownSeconds = -1;
    emit changed();
}

int MessageRepeat::secondsLeft() const
{
    if (!waiting())
        return 0;
    // Under load the tick may come just before the send it counts down to: that is still "1 s", never 0.
    return std::max(1, int((mDeadline.remainingTime() + 999) / 1000));
}

void MessageRepeat::messageEnded()
{
    if (mNumber == 0)
        return;
    if (!mPlayer.endedByItself()) {
        cancel();
        return;
    }
    mDeadline = QDeadlineTimer(mIntervalMs, Qt::PreciseTimer);
    mWait.start(mIntervalMs);
    mTick.start();
    mShownSeconds = -1;
    tick();
}

void MessageRepeat::tick()
{
    const int seconds = secondsLeft();
    if (seconds == mShownSeconds)
        return;
    mShownSeconds = seconds;
    emit changed();
}

void MessageRepeat::sendAgain()
{
    mTick.stop();
    mShownSeconds = -1;
    const int n = mNumber;
    mSend(n);
    if (mNumber == n && (!mPlayer.isPlaying() || mPlayer.number() != n))
        cancel();
    else
        emit changed();
}
