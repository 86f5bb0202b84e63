#pragma once

#include "comm/keying.h"
#include "core/globals.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>

// What the player needs of the window that holds the message buttons.
class PlayerView
{
public:
    virtual ~PlayerView() = default;
    virtual void EnableMessageButtons(bool enable) = 0;
    virtual QString buttonCaption(int index) const = 0;
    virtual void setMessageStatus(const QString& text) = 0;
    // pttLine 1 = DTR, 2 = RTS.
    virtual void setLineIndicator(std::int16_t pttLine, bool keyed) = 0;
    // Keying has fallen back to no port: the window names the port it now keys ("None").
    virtual void setPortName(const QString& name) = 0;
};

// How long the line leads and trails the audio, and how long one message may hold it keyed.
struct KeyerTimes
{
    int leadMs = 0;
    int tailMs = 0;
    int timeOutMs = 0; // 0: no limit
};

// The keyer times the settings hold now.
KeyerTimes keyerTimesFromGlobals();

// Keys the transmitter, plays one message and unkeys, as a sequence of states driven by timers and the
// audio device's answers: nothing waits in a loop of its own, so a window opened meanwhile (a dialog, a
// message box) can hold up no step, and the line drops on time. A watchdog thread drops the line should
// the user-interface thread itself be held past the transmit time-out.
class MessagePlayer : public QObject
{
    Q_OBJECT

public:
    explicit MessagePlayer(PlayerView& view, QObject* parent = nullptr);
    ~MessagePlayer() override;

    // Starts message n (1..10) and returns; a message already playing, an empty button or another n is
    // ignored. Only a failure to key is shown before the sequence goes on; every other message waits
    // until the line has dropped.
    void PlayMessage(int n, const KeyerTimes& times);
    // Message n takes over from the one being sent: that one's audio ends, the line stays keyed (no relay
    // chatter) and n gets its full lead. The transmit time-out keeps counting from the key-up, since the
    // transmitter never rests. With nothing being sent it is PlayMessage; an empty button is ignored.
    void SwitchMessage(int n, const KeyerTimes& times);
    // Any sound file the player can play, keyed and sent as a button's message is, and taking over from one
    // as SwitchMessage does; named by its file name.
    void PlayFile(const QString& path, const KeyerTimes& times);
    void cmdStop_Click();
    // The program is ending and has closed the audio and the port itself: nothing more is keyed or shown.
    void abandon();
    // From the click that started a message until the buttons are enabled again.
    bool isPlaying() const { return mState != State::Idle; }
    // The button being sent (0 for a file or when idle), and the file.
    int number() const { return isPlaying() ? mNumber : 0; }
    QString path() const { return isPlaying() ? mPath : QString(); }
    // Whether the last message ran to the end of its recording: no STOP, time-out, failure or exit.
    bool endedByItself() const { return mEndedByItself; }

    VBool mStopRequested = kFalse;

signals:
    // The message has ended, the line is down and the buttons are enabled.
    void finished();
    // A message's lead has begun, also when it took over from another.
    void sending();
    // The line is down and the player idle; its notices may still wait to be shown before finished().
    void released();

private:
    enum class State
    {
        Idle,
        Waking,  // the audio output is being woken; nothing keyed yet
        Keying,  // the rig has been asked to key and has not answered yet
        Lead,    // keyed, waiting for the lead time
        Playing, // the audio device plays; its mode is asked about at every poll
        Tail,    // the audio is closed; keyed for the tail time
    };

    void wakeTick();
    void keyAndLead();
    // Shows a failure to key, or has the watchdog guard the line; false when the program ended meanwhile.
    bool keyAnswered(const QString& failure, const QString& detail, quint64 generation);
    void rigAnswered(bool on, const QString& failure, const QString& detail);
    void start(int n, const QString& path, const KeyerTimes& times);
    void takeOver(int n, const QString& path);
    void startLead();
    void leadDone();
    int leadWaitMs() const;
    void noteStartUp();
    void learnStartUp();
    void poll();
    void scheduleNextPoll();
    // `drainMs`: how long the sound may still be heard after the stream is closed.
    void endAudio(int drainMs = 0);
    void timedOut();
    void watchdogDropped(quint64 generation);
    void finish();
    void unkey();

    PlayerView& mView;
    State mState = State::Idle;
    // Counts messages, so that news from the watchdog about an earlier one is known for what it is.
    quint64 mGeneration = 0;
    quint64 mAbandoned = 0; // counts abandon(): boxes still waiting to be shown are then dropped
    KeyerTimes mTimes;
    int mNumber = 0;
    QString mPath;
    // What this message keys, whatever the settings say by then; keysSomething() is false when nothing.
    PttTarget mKeyed;
    bool mWatched = false; // the watchdog guards the line
    bool mTimedOut = false;
    bool mEndedByItself = false;
    QString mOutputId; // the output this message was checked, woken and played on
    std::int32_t mAudioError = 0;
    bool mAudioCutOff = false; // the audio failed after it had begun
    struct Notice
    {
        QString text;
        int style = 0;
        QString detail;
    };
    QList<Notice> mNotices; // shown once the line is down

    // How long the sound path took from the end of the lead wait to the first sample heard, for the last
    // few messages (microseconds); the lead wait is shortened by the least of them.
    QList<qint64> mStartUps;
    QElapsedTimer mSinceLeadEnd;
    QElapsedTimer mWakeClock;
    qint64 mPlaySentUSecs = 0; // when "play" went out, after the end of the lead wait
    qint64 mStartUpUSecs = -1; // this message's, once the device knows it
    int mLeadWaitMs = 0;       // the lead wait this message used

    QTimer mStepTimer; // the lead and the tail
    QTimer mPollTimer;
    QTimer mTimeOutTimer;
};

// What the operator is told when the transmit time-out has released the transmitter.
QString transmitTimeOutText(int timeOutMs);
