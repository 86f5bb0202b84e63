#include "player.h"

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
// The sound path takes its own time from "play" to the first sample heard: a few milliseconds on a stream
// made while the output woke, 20 to 60 ms on one made at "play". The lead wait is shortened by the least of
// the last few such times, less a margin for their jitter (PipeWire's start within its graph cycle among
// them), so the audio is heard when the lead has passed and never before.
constexpr qint64 kStartUpMarginUSecs = 10000;
// A real sound card takes up to 2 s to wake; past this the line is raised all the same, and a server that
// never answers ends the message with its own error.
constexpr int kWakeLimitMs = 2500;
constexpr int kWakePollMs = 5;
constexpr qsizetype kStartUpsKept = 8;
// How long past the end of the tail after a time-out the watchdog gives the user-interface thread before it
// drops the line itself; more would add to the longest the transmitter can stay keyed.
constexpr int kWatchdogGraceMs = 50;
// How long the player waits for a rig to answer a key before it goes on as after a failed key. The rig's own
// time-out is shorter; this holds should its thread be stuck in a name lookup or a connect.
constexpr int kKeyAnswerMs = 3000;
// A message cut off mid-sound is still heard for what the server already holds: up to a cycle of its graph on
// PipeWire (1024 frames at 48 kHz). The tail counts from the last sound heard, so it starts that much later.
constexpr int kCutOffDrainMs = 20;

const QString kAlias = QStringLiteral("voice1");

QString quoted(const QString& s)
{
    return QLatin1Char('"') + s + QLatin1Char('"');
}

// Why a message did not go out; a missing output is named, so the operator knows which cable to look at.
QString audioReason(std::int32_t error, const QString& outputId)
{
    if (error != MciError::OutputNotFound)
        return mciErrorText(error);
    return QStringLiteral("The sound output chosen in Settings is not there: ") + outputId +
           QStringLiteral(".\nConnect it, or choose another under Settings > Audio.");
}

QString couldNotPlayText(const QString& path, std::int32_t error, const QString& outputId = QString())
{
    return QStringLiteral("Could not play ") + quoted(QFileInfo(path).fileName()) + QStringLiteral(".\n") +
           audioReason(error, outputId);
}

QString cutOffText(const QString& path, std::int32_t error, const QString& outputId)
{
    return quoted(QFileInfo(path).fileName()) + QStringLiteral(" was cut off.\n") + audioReason(error, outputId);
}

// Button n's gain; a file played from outside has none of its own.
double gainOf(int n)
{
    return n >= 1 && n <= kMessageCount ? double(gMessageGains[static_cast<std::size_t>(n)]) : 0.0;
}

void startSingleShot(QTimer& timer, int ms)
{
    timer.setSingleShot(true);
    timer.start(ms);
}

} // namespace

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
        if (mState == State::Waking)
            wakeTick();
        else if (mState == State::Keying)
            rigAnswered(true, keyingMessage(KeyingStep::Key, mKeyed),
                        QStringLiteral("Reason: no answer within %1 s.").arg(kKeyAnswerMs / 1000));
        else if (mState == State::Lead)
            leadDone();
        else if (mState == State::Tail)
            finish();
    });
    connect(&mPollTimer, &QTimer::timeout, this, &MessagePlayer::poll);
    connect(&mTimeOutTimer, &QTimer::timeout, this, &MessagePlayer::timedOut);
    connect(&keying(), &Keying::answered, this, &MessagePlayer::rigAnswered);
}

MessagePlayer::~MessagePlayer()
{
    if (mWatched)
        keying().unwatch();
}

void MessagePlayer::cmdStop_Click()
{
    mStopRequested = kTrue;
    if (mState == State::Waking) {
        // Nothing keyed yet: the message is given up before it began.
        finish();
    } else if (mState == State::Lead) {
        // Nothing has been heard yet, and nothing will be: the tail runs from the press.
        mStepTimer.stop();
        mState = State::Tail;
        startSingleShot(mStepTimer, mTimes.tailMs);
    } else if (mState == State::Playing) {
        endAudio(kCutOffDrainMs);
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
    if (const std::int32_t error = mciCheckOutput(mOutputId); error != 0) {
        mNotices.append({couldNotPlayText(path, error, mOutputId), MsgStyle::Exclamation, mOutputId});
        cmdStop_Click();
        return;
    }
    if (mState == State::Waking || mState == State::Keying) {
        // Nothing is keyed yet: the new message takes the old one's place on the road to keying.
        mNumber = n;
        mPath = path;
        mStopRequested = kFalse;
        return;
    }
    mStepTimer.stop();
    if (mState == State::Playing) {
        mPollTimer.stop();
        noteStartUp();
        learnStartUp();
        mciSendString(QStringLiteral("close ") + kAlias);
    }
    // The new message's stream is made during its lead, as for a first message, so that it too is heard as
    // the lead ends. The output runs already (or is kept so since the first message woke it); the line stays
    // up meanwhile.
    mciWakeOutput(mOutputId);
    mState = State::Lead;
    mNumber = n;
    mPath = path;
    mStopRequested = kFalse;
    mAudioError = 0;
    mAudioCutOff = false;
    startLead();
}

void MessagePlayer::start(int n, const QString& path, const KeyerTimes& times)
{
    // A file that cannot play is refused before anything is keyed: no dead carrier while it fails.
    if (const std::int32_t error = mciCheckFile(path); error != 0) {
        MsgBox(couldNotPlayText(path, error), MsgStyle::Exclamation, kAppTitle, path);
        return;
    }
    // Nor is anything keyed for an output that is not there: the message must never go out of the
    // speakers instead of the radio.
    if (const std::int32_t error = mciCheckOutput(gAudioOutput); error != 0) {
        MsgBox(couldNotPlayText(path, error, gAudioOutput), MsgStyle::Exclamation, kAppTitle, gAudioOutput);
        return;
    }
    mOutputId = gAudioOutput;
    mTimes = times;
    mNumber = n;
    mPath = path;
    mKeyed = PttTarget();
    mStopRequested = kFalse;
    mTimedOut = false;
    mEndedByItself = false;
    mAudioError = 0;
    mAudioCutOff = false;
    mNotices.clear();
    // The output is woken before the line goes up, so that the lead runs on an output that already plays.
    mState = State::Waking;
    mciWakeOutput(mOutputId);
    mWakeClock.start();
    wakeTick();
}

void MessagePlayer::wakeTick()
{
    if (mState != State::Waking)
        return;
    if (mciOutputAwake() || mWakeClock.elapsed() >= kWakeLimitMs)
        keyAndLead();
    else
        startSingleShot(mStepTimer, kWakePollMs);
}

void MessagePlayer::keyAndLead()
{
    const quint64 generation = ++mGeneration;
    mState = State::Lead;

    const PttTarget target = pttTargetFromGlobals();
    if (target.keysSomething()) {
        mKeyed = target;
        const Keying::Answer answer = keying().key(mKeyed, true);
        if (answer == Keying::Answer::Pending) {
            // The rig answers from its own thread; the lead starts once it has.
            mState = State::Keying;
            mView.EnableMessageButtons(false);
            startSingleShot(mStepTimer, kKeyAnswerMs);
            return;
        }
        const QString failure = answer == Keying::Answer::Done ? QString() : keyingMessage(KeyingStep::Key, mKeyed);
        if (!keyAnswered(failure, keying().lastDetail(), generation))
            return;
    }
    startLead();
}

bool MessagePlayer::keyAnswered(const QString& failure, const QString& detail, quint64 generation)
{
    if (failure.isEmpty()) {
        mView.setLineIndicator(mKeyed.pttLine, true);
        if (mTimes.timeOutMs > 0) {
            startSingleShot(mTimeOutTimer, mTimes.timeOutMs);
            mWatched = keying().watch(mKeyed, mTimes.timeOutMs + mTimes.tailMs + kWatchdogGraceMs, [this, generation] {
                QMetaObject::invokeMethod(
                    this, [this, generation] { watchdogDropped(generation); }, Qt::QueuedConnection);
            });
        }
        return true;
    }
    // Nothing is keyed, so the operator may take the time to read this before the message goes on.
    MsgBox(failure, MsgStyle::Critical, kAppTitle, detail);
    // The program may have ended while the box was open.
    return generation == mGeneration && mState == State::Lead;
}

void MessagePlayer::rigAnswered(bool on, const QString& failure, const QString& detail)
{
    if (!on) {
        if (failure.isEmpty()) {
            mView.setLineIndicator(mKeyed.pttLine, false);
            return;
        }
        // The rig may be transmitting: the operator hears of it now, not when the message has ended.
        QTimer::singleShot(0, this, [failure, detail] { MsgBox(failure, MsgStyle::Critical, kAppTitle, detail); });
        return;
    }
    if (mState != State::Keying)
        return;
    mStepTimer.stop();
    const quint64 generation = mGeneration;
    mState = State::Lead;
    if (!keyAnswered(failure, detail, generation))
        return;
    if (mStopRequested != kFalse) {
        // STOP came while the rig was being keyed: nothing is played, the tail runs from now.
        mState = State::Tail;
        mView.EnableMessageButtons(false);
        startSingleShot(mStepTimer, mTimes.tailMs);
        return;
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
        mciSendString(QStringLiteral("open ") + quoted(mPath) + QStringLiteral(" type waveaudio alias ") + kAlias,
                      nullptr, PlayOptions{mOutputId, gainOf(mNumber)});
    if (mAudioError == 0) {
        mPlaySentUSecs = mSinceLeadEnd.nsecsElapsed() / 1000;
        mAudioError = mciSendString(QStringLiteral("play ") + kAlias);
    }
    mciLetOutputSleep();
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
        if (const std::int32_t failure = mciStreamFailure(kAlias); failure != 0) {
            mAudioError = failure;
            mAudioCutOff = true;
        }
        endAudio();
    } else {
        noteStartUp();
        scheduleNextPoll();
    }
}

void MessagePlayer::endAudio(int drainMs)
{
    mPollTimer.stop();
    noteStartUp();
    learnStartUp();
    mciSendString(QStringLiteral("close ") + kAlias);
    mState = State::Tail;
    startSingleShot(mStepTimer, mTimes.tailMs + drainMs);
}

void MessagePlayer::timedOut()
{
    mTimedOut = true;
    if (mState == State::Lead)
        cmdStop_Click();
    else if (mState == State::Playing)
        endAudio(kCutOffDrainMs);
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
    const Keying::Answer answer = keying().key(mKeyed, false);
    if (answer == Keying::Answer::Done) {
        mView.setLineIndicator(mKeyed.pttLine, false);
        return;
    }
    // The indicator goes blue when the rig has taken it; a failure is told at once and sent again.
    if (answer == Keying::Answer::Pending)
        return;
    const QString detail = keying().lastDetail();
    const QString text = keyingMessage(KeyingStep::Unkey, mKeyed);
    // Closing the port makes the driver drop the lines: the transmitter must not stay keyed. Keying then
    // falls back to no port, as when a port fails at start, so the next message does not fail again.
    keying().close(mKeyed);
    mView.setLineIndicator(mKeyed.pttLine, false);
    if (gCommPort == mKeyed.commPort) {
        gCommPort = 0;
        WriteSetting(Setting::CommPort, GetCommPortName(0));
        mView.setPortName(GetCommPortName(0));
    }
    mNotices.append({text, MsgStyle::Critical, detail});
}

void MessagePlayer::finish()
{
    mciLetOutputSleep();
    mStepTimer.stop();
    mPollTimer.stop();
    mTimeOutTimer.stop();
    mView.setMessageStatus(QString());
    if (mKeyed.keysSomething())
        unkey();
    mEndedByItself = mStopRequested == kFalse && !mTimedOut && mAudioError == 0 && mNotices.isEmpty();
    if (mWatched) {
        keying().unwatch();
        mWatched = false;
    }
    mView.EnableMessageButtons(true);
    mState = State::Idle;
    emit released();

    if (mTimedOut)
        mNotices.prepend({transmitTimeOutText(mTimes.timeOutMs), MsgStyle::Exclamation, QString()});
    if (mAudioError != 0) {
        const QString text =
            mAudioCutOff ? cutOffText(mPath, mAudioError, mOutputId) : couldNotPlayText(mPath, mAudioError, mOutputId);
        mNotices.append({text, MsgStyle::Exclamation, mPath});
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
        keying().unwatch();
        mWatched = false;
    }
    mNotices.clear();
    mEndedByItself = false;
    mState = State::Idle;
}
