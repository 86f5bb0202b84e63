#include "player.h"

#include "comm/modcomm.h"
#include "comm/modgetsetcom.h"
#include "core/settingkeys.h"
#include "core/toolkit.h"
#include "platform/mci.h"

#include <QFileInfo>

#include <algorithm>

namespace {

// How often the player asks the audio device whether it still plays when the device cannot say when the
// end is due; and the longest it sleeps when it can, which bounds how late a lost server is noticed.
constexpr int kPollMs = 10;
constexpr int kLongestPollMs = 250;
// The sound path takes its own time from "play" to the first sample heard (some 20 ms on a sound server).
// The lead wait is shortened by the least of the last few such times, less a margin for their jitter, so
// the audio is heard when the lead has passed and never before.
constexpr qint64 kStartUpMarginUSecs = 6000;
constexpr qsizetype kStartUpsKept = 8;
// How long past the end of the tail after a time-out the watchdog gives the user-interface thread before it
// drops the line itself; more would add to the longest the transmitter can stay keyed.
constexpr int kWatchdogGraceMs = 50;

const QString kAlias = QStringLiteral("voice1");

QString lineName(std::int16_t pttLine)
{
    return pttLine == 1 ? QStringLiteral("DTR") : QStringLiteral("RTS");
}

QString quoted(const QString& s)
{
    return QLatin1Char('"') + s + QLatin1Char('"');
}

QString couldNotPlayText(const QString& path, std::int32_t error)
{
    return QStringLiteral("Could not play ") + quoted(QFileInfo(path).fileName()) + QStringLiteral(".\n") +
           mciErrorText(error);
}

void startSingleShot(QTimer& timer, int ms)
{
    timer.setSingleShot(true);
    timer.start(ms);
}

} // namespace

std::int16_t lineCodeForPTT(std::int16_t pttLine)
{
    switch (pttLine) {
    case 1:
        return kLineDTR;
    case 2:
        return kLineRTS;
    default:
        return 0;
    }
}

KeyerTimes keyerTimesFromGlobals()
{
    return KeyerTimes{gLeadTime, gTailTime, gTransmitTimeout * 1000};
}

QString transmitTimeOutText(int timeOutMs)
{
    const double seconds = timeOutMs / 1000.0;
    return QStringLiteral("Transmit time-out: the transmitter was released after %1 %2.")
        .arg(QString::number(seconds), seconds == 1.0 ? QStringLiteral("second") : QStringLiteral("seconds"));
}

MessagePlayer::MessagePlayer(PlayerView& view, QObject* parent) : QObject(parent), mView(view)
{
    // Coarse timers may fire 5 % late: on a 2 s tail that is 100 ms of dead carrier.
    for (QTimer* timer : {&mStepTimer, &mPollTimer, &mTimeOutTimer})
        timer->setTimerType(Qt::PreciseTimer);
    connect(&mStepTimer, &QTimer::timeout, this, [this] {
        if (mState == State::Lead)
            leadDone();
        else if (mState == State::Tail)
            finish();
    });
    connect(&mPollTimer, &QTimer::timeout, this, &MessagePlayer::poll);
    connect(&mTimeOutTimer, &QTimer::timeout, this, &MessagePlayer::timedOut);
}

MessagePlayer::~MessagePlayer()
{
    if (mWatched)
        CommUnwatchLine();
}

void MessagePlayer::cmdStop_Click()
{
    mStopRequested = kTrue;
    if (mState == State::Lead) {
        // Nothing has been heard yet, and nothing will be: the tail runs from the press.
        mStepTimer.stop();
        mState = State::Tail;
        startSingleShot(mStepTimer, mTimes.tailMs);
    } else if (mState == State::Playing) {
        endAudio();
    }
}

void MessagePlayer::PlayMessage(int n, const KeyerTimes& times)
{
    if (n < 1 || n > kMessageCount || isPlaying())
        return;
    const QString path = gWaveFiles[n];
    if (path.isEmpty())
        return;
    start(n, path, times);
}

void MessagePlayer::PlayFile(const QString& path, const KeyerTimes& times)
{
    if (path.isEmpty())
        return;
    if (isPlaying())
        takeOver(0, path);
    else
        start(0, path, times);
}

void MessagePlayer::SwitchMessage(int n, const KeyerTimes& times)
{
    if (!isPlaying()) {
        PlayMessage(n, times);
        return;
    }
    if (n < 1 || n > kMessageCount || gWaveFiles[n].isEmpty())
        return;
    takeOver(n, gWaveFiles[n]);
}

void MessagePlayer::takeOver(int n, const QString& path)
{
    // The time-out has released this transmission: nothing may carry it on.
    if (mTimedOut)
        return;
    if (const std::int32_t error = mciCheckFile(path); error != 0) {
        // The operator wanted the old message gone; the box waits until the line is down.
        mNotices.append({couldNotPlayText(path, error), MsgStyle::Exclamation, path});
        cmdStop_Click();
        return;
    }
    mStepTimer.stop();
    if (mState == State::Playing) {
        mPollTimer.stop();
        noteStartUp();
        learnStartUp();
        mciSendString(QStringLiteral("close ") + kAlias);
    }
    mState = State::Lead;
    mNumber = n;
    mPath = path;
    mStopRequested = kFalse;
    mAudioError = 0;
    startLead();
}

void MessagePlayer::start(int n, const QString& path, const KeyerTimes& times)
{
    // A file that cannot play is refused before anything is keyed: no dead carrier while it fails.
    if (const std::int32_t error = mciCheckFile(path); error != 0) {
        MsgBox(couldNotPlayText(path, error), MsgStyle::Exclamation, kAppTitle, path);
        return;
    }
    const quint64 generation = ++mGeneration;
    mState = State::Lead;
    mTimes = times;
    mNumber = n;
    mPath = path;
    mStopRequested = kFalse;
    mTimedOut = false;
    mEndedByItself = false;
    mAudioError = 0;
    mNotices.clear();
    mKeyedPort = 0;
    mKeyedLine = 0;

    if (gCommPort > 0 && lineCodeForPTT(gPTTLine) != 0) {
        mKeyedPort = gCommPort;
        mKeyedLine = gPTTLine;
        if (CommSetLine(mKeyedPort, lineCodeForPTT(mKeyedLine), kTrue) == 0) {
            mView.setLineIndicator(mKeyedLine, true);
            if (mTimes.timeOutMs > 0) {
                startSingleShot(mTimeOutTimer, mTimes.timeOutMs);
                mWatched = CommWatchLine(mKeyedPort, lineCodeForPTT(mKeyedLine),
                                         mTimes.timeOutMs + mTimes.tailMs + kWatchdogGraceMs, [this, generation] {
                                             QMetaObject::invokeMethod(
                                                 this, [this, generation] { watchdogDropped(generation); },
                                                 Qt::QueuedConnection);
                                         });
            }
        } else {
            // Nothing is keyed, so the operator may take the time to read this before the message goes on.
            MsgBox(
                QStringLiteral("Error setting %1 line on %2.").arg(lineName(mKeyedLine), GetCommPortName(mKeyedPort)),
                MsgStyle::Critical, kAppTitle, CommErrorDetail());
            // The program may have ended while the box was open.
            if (generation != mGeneration || mState != State::Lead)
                return;
        }
    }
    startLead();
}

void MessagePlayer::startLead()
{
    mView.EnableMessageButtons(false);
    const QString caption = mNumber > 0 ? mView.buttonCaption(mNumber - 1) : QFileInfo(mPath).fileName();
    mView.setMessageStatus(QStringLiteral("Sending ") + quoted(caption) + QStringLiteral(" Message"));
    mLeadWaitMs = leadWaitMs();
    startSingleShot(mStepTimer, mLeadWaitMs);
    emit sending();
}

int MessagePlayer::leadWaitMs() const
{
    if (mStartUps.isEmpty() || mTimes.leadMs == 0)
        return mTimes.leadMs;
    const qint64 least = *std::min_element(mStartUps.cbegin(), mStartUps.cend());
    const int early = int(std::max<qint64>(least - kStartUpMarginUSecs, 0) / 1000);
    return std::max(mTimes.leadMs - early, 0);
}

void MessagePlayer::noteStartUp()
{
    const std::int64_t heardAfter = mciHeardAfterUSecs(kAlias);
    if (heardAfter >= 0)
        mStartUpUSecs = mPlaySentUSecs + heardAfter;
}

void MessagePlayer::learnStartUp()
{
    if (mStartUpUSecs < 0)
        return;
    // Heard before the lead had passed: another sound path, quicker than the ones learnt. Start again from
    // the full wait rather than risk audio before the relays have closed.
    if (qint64{mLeadWaitMs} * 1000 + mStartUpUSecs < qint64{mTimes.leadMs} * 1000) {
        mStartUps.clear();
        return;
    }
    mStartUps.append(mStartUpUSecs);
    if (mStartUps.size() > kStartUpsKept)
        mStartUps.removeFirst();
}

void MessagePlayer::leadDone()
{
    mSinceLeadEnd.start();
    mStartUpUSecs = -1;
    mciSendString(QStringLiteral("close all"));
    mAudioError =
        mciSendString(QStringLiteral("open ") + quoted(mPath) + QStringLiteral(" type waveaudio alias ") + kAlias);
    if (mAudioError == 0) {
        mPlaySentUSecs = mSinceLeadEnd.nsecsElapsed() / 1000;
        mAudioError = mciSendString(QStringLiteral("play ") + kAlias);
    }
    if (mAudioError != 0) {
        endAudio();
        return;
    }
    mState = State::Playing;
    scheduleNextPoll();
}

void MessagePlayer::scheduleNextPoll()
{
    // The device says when the last sample will have been heard: sleep until then rather than ask
    // a hundred times a second, and ask again right at that moment so the tail starts on time.
    const std::int64_t leftUSecs = mciTimeLeftUSecs(kAlias);
    const int waitMs =
        leftUSecs < 0 ? kPollMs : int(std::clamp<std::int64_t>((leftUSecs + 999) / 1000, 1, kLongestPollMs));
    startSingleShot(mPollTimer, waitMs);
}

void MessagePlayer::poll()
{
    if (mState != State::Playing)
        return;
    QString reply;
    mciSendString(QStringLiteral("status ") + kAlias + QStringLiteral(" mode"), &reply);
    if (reply.left(4).toUpper() != QLatin1String("PLAY")) {
        endAudio();
    } else {
        noteStartUp();
        scheduleNextPoll();
    }
}

void MessagePlayer::endAudio()
{
    mPollTimer.stop();
    noteStartUp();
    learnStartUp();
    mciSendString(QStringLiteral("close ") + kAlias);
    mState = State::Tail;
    startSingleShot(mStepTimer, mTimes.tailMs);
}

void MessagePlayer::timedOut()
{
    mTimedOut = true;
    if (mState == State::Lead)
        cmdStop_Click();
    else if (mState == State::Playing)
        endAudio();
}

void MessagePlayer::watchdogDropped(quint64 generation)
{
    if (generation != mGeneration || mState == State::Idle)
        return;
    // The line is down already: what is left of the message ends now, without a tail.
    mTimedOut = true;
    mWatched = false;
    if (mState == State::Playing) {
        mPollTimer.stop();
        mciSendString(QStringLiteral("close ") + kAlias);
    }
    finish();
}

void MessagePlayer::unkey()
{
    // A port closed meanwhile (settings, exit) had its lines dropped by the driver on close; asking a
    // closed slot could reach a reused descriptor.
    if (!CommIsOpen(mKeyedPort)) {
        mView.setLineIndicator(mKeyedLine, false);
        return;
    }
    if (CommSetLine(mKeyedPort, lineCodeForPTT(mKeyedLine), kFalse) == 0) {
        mView.setLineIndicator(mKeyedLine, false);
        return;
    }
    const QString detail = CommErrorDetail();
    const QString name = GetCommPortName(mKeyedPort);
    // Closing the port makes the driver drop the lines: the transmitter must not stay keyed. Keying then
    // falls back to no port, as when a port fails at start, so the next message does not fail again.
    CommClose(mKeyedPort);
    mView.setLineIndicator(mKeyedLine, false);
    if (gCommPort == mKeyedPort) {
        gCommPort = 0;
        WriteSetting(Setting::CommPort, GetCommPortName(0));
        mView.setPortName(GetCommPortName(0));
    }
    mNotices.append(
        {QStringLiteral("Error clearing %1 line on %2.").arg(lineName(mKeyedLine), name), MsgStyle::Critical, detail});
}

void MessagePlayer::finish()
{
    mStepTimer.stop();
    mPollTimer.stop();
    mTimeOutTimer.stop();
    mView.setMessageStatus(QString());
    if (mKeyedPort > 0)
        unkey();
    mEndedByItself = mStopRequested == kFalse && !mTimedOut && mAudioError == 0 && mNotices.isEmpty();
    if (mWatched) {
        CommUnwatchLine();
        mWatched = false;
    }
    mView.EnableMessageButtons(true);
    mState = State::Idle;
    emit released();

    if (mTimedOut)
        mNotices.prepend({transmitTimeOutText(mTimes.timeOutMs), MsgStyle::Exclamation, QString()});
    if (mAudioError != 0) {
        mNotices.append({couldNotPlayText(mPath, mAudioError), MsgStyle::Exclamation, mPath});
    }
    if (mNotices.isEmpty()) {
        emit finished();
        return;
    }
    // Shown from a call of their own, with nothing keyed and no step of ours waiting under the box.
    QTimer::singleShot(0, this, [this, notices = std::exchange(mNotices, {}), abandoned = mAbandoned] {
        for (const Notice& notice : notices) {
            // The program may end while a box is open.
            if (abandoned != mAbandoned)
                return;
            MsgBox(notice.text, notice.style, kAppTitle, notice.detail);
        }
        if (abandoned == mAbandoned)
            emit finished();
    });
}

void MessagePlayer::abandon()
{
    ++mGeneration;
    ++mAbandoned;
    mStepTimer.stop();
    mPollTimer.stop();
    mTimeOutTimer.stop();
    if (mWatched) {
        CommUnwatchLine();
        mWatched = false;
    }
    mNotices.clear();
    mEndedByItself = false;
    mState = State::Idle;
}
