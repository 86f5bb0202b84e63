#pragma once

#include "comm/cm108.h"
#include "comm/hamlibrig.h"

#include <QList>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>

// The one place that keys the transmitter, whatever keys it: opening the target with PTT released,
// switching to another with a way back, keying, unkeying and the watchdog's release. The windows and the
// player never reach a serial line, a rig or a GPIO pin but through here, and every text the operator reads
// about keying is built by keyingMessage().

enum class PttMethod : std::int16_t
{
    Serial = 0, // DTR or RTS of COM1..COM4
    Hamlib = 1, // rig_set_ptt through libhamlib: rigctld (model 2) or the rig's own CAT
    CM108 = 2,  // a GPIO pin of a CM108-family USB sound chip
};

// What keys the transmitter: the method and the settings of each method.
struct PttTarget
{
    PttMethod method = PttMethod::Serial;
    std::int16_t commPort = 0; // 0 = none
    std::int16_t pttLine = 1;  // 1 = DTR, 2 = RTS
    HamlibSettings hamlib;
    QString cm108Device; // "" = the first CM108 found
    int cm108Gpio = 3;

    bool operator==(const PttTarget&) const = default;
    // Whether keying reaches anything at all: a serial method on port "None" keys nothing.
    bool keysSomething() const;
};

// The line code of CommSetLine for a PTT-line setting (1 = DTR, 2 = RTS); 0 when it names no line.
std::int16_t lineCodeForPTT(std::int16_t pttLine);

// The target the settings name now.
PttTarget pttTargetFromGlobals();
// The hidraw device a CM108 setting stands for: the path itself, the device whose sound card label it
// names, or the first CM108 found for an empty one; empty when none is there.
QString cm108DevicePath(const QString& setting, const QList<Cm108Device>& found);

// What the main window's frame title names after "PTT Line Status:  ".
QString pttTargetName(const PttTarget& target);

enum class KeyingStep
{
    Open,     // opening the target
    ClearDTR, // dropping DTR after the open
    ClearRTS, // dropping RTS after the open
    Close,    // closing the target left behind by a switch
    Key,      // raising PTT for a message
    Unkey,    // dropping PTT after a message
    NotKeyed, // the rig did not go to transmit, as read back
};

// The message of a failed step on `target`. `advice` adds the line that sends the operator to the settings.
QString keyingMessage(KeyingStep step, const PttTarget& target, bool advice = false);

// A failure to show: the text, and the detail lines of the failing layer (step, device, reason).
struct KeyingNotice
{
    QString text;
    QString detail;
};

// What a switch left: the target in force afterwards and what the operator is to be told, in order.
struct KeyingSwitch
{
    PttTarget target;
    QList<KeyingNotice> notices;
};

class QThread;

class Keying : public QObject
{
    Q_OBJECT

public:
    explicit Keying(QObject* parent = nullptr);
    ~Keying() override;

    enum class Answer
    {
        Done,    // the line is where it was asked to be
        Failed,  // keyingMessage and the detail tell why
        Pending, // the answer comes as answered()
    };

    // Opens `target` with PTT released, closing what an earlier run of the same target left behind. An
    // empty text is success; a failed target is closed again so that nothing stays held with a line up.
    // `held` is set when another program holds the target: the target itself is fine.
    KeyingNotice open(const PttTarget& target, bool* held = nullptr);
    // Releases `target` and closes it; false when the close itself failed (the detail is in lastDetail()).
    bool close(const PttTarget& target);
    // Leaves `from` for `to`. When `to` fails, `beforeRollback` runs (to put back what names the old
    // target's device) and `from` is opened again; when that fails too, keying falls back to no port.
    KeyingSwitch switchTo(const PttTarget& from, const PttTarget& to,
                          const std::function<void()>& beforeRollback = nullptr);
    // Opens `target` again after its device came back, with PTT released; false (and closed) when it is
    // not ready yet.
    bool reopen(const PttTarget& target);
    // Closes every target the program holds, not only the one selected: a settings dialog open meanwhile
    // may have changed the selection without opening it.
    void closeAll();
    // Whether the device of the open `target` has gone (unplugged, hung up).
    bool isGone(const PttTarget& target) const;
    // Whether the device of `target` is there under a name that stands for that one device.
    bool isBack(const PttTarget& target) const;
    // The device `target` stands for, for the operator.
    QString device(const PttTarget& target) const;
    // Raises or drops PTT on `target`, which must be the one open. Dropping a target closed meanwhile is
    // Done: closing released it.
    Answer key(const PttTarget& target, bool on);
    // Whether `target` is open, so that asking it reaches it and not whatever took its place.
    bool isOpen(const PttTarget& target) const;
    // Has the watchdog release `target` from a thread of its own after `ms` unless unwatch() comes first;
    // `onDropped` then runs on the watchdog's thread. False when nothing can be watched.
    bool watch(const PttTarget& target, int ms, std::function<void()> onDropped);
    void unwatch();
    // Detail lines of the last failure, for a message box.
    QString lastDetail() const;

signals:
    // The answer to a Pending key(): `text` is empty on success. An unkey that failed is tried again until
    // it reaches the rig, which is told by one more answer for `on` false with an empty text.
    void answered(bool on, const QString& text, const QString& detail);
    // A target opened in the background could not be opened: what the operator is to read.
    void openFailed(const QString& text, const QString& detail);

private:
    void startHamlib();
    void stopHamlib();
    QString hamlibDetail(const QString& reason) const;

    KeyingNotice openCm108(const PttTarget& target);

    Cm108Line mCm108;
    PttTarget mCm108Target; // the device open; method Serial while none
    QThread* mHamlibThread = nullptr;
    HamlibRig* mRig = nullptr; // lives on mHamlibThread
    PttTarget mHamlibTarget;   // the rig asked for; method Serial while none
    quint64 mSeq = 0;
    quint64 mHamlibSession = 0; // counts the rig threads started, so that a late answer is known
    QString mLastDetail;        // of the last failure of a method other than Serial
};

// The program's one keying module.
Keying& keying();
