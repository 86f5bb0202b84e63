#pragma once

#include "comm/serialapi.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

// Drops a keyed line from a thread of its own once its deadline has passed, so the transmitter is released
// on time even while the user-interface thread is held up (a hung sound server, a stuck dialog). At most one
// line is watched: one message keys at a time.
class TxWatchdog
{
public:
    using Clock = std::chrono::steady_clock;

    TxWatchdog() = default;
    ~TxWatchdog();
    TxWatchdog(const TxWatchdog&) = delete;
    TxWatchdog& operator=(const TxWatchdog&) = delete;

    // At `deadline` clears the line through `handle` of `api` with `clearFunction` (an EscapeCommFunction
    // code), then calls `onFired` on the watchdog's thread. Replaces any earlier arming.
    void arm(SerialApi& api, CommHandle handle, std::uint32_t clearFunction, Clock::time_point deadline,
             std::function<void()> onFired);
    // At `deadline` runs `release` on the watchdog's thread, then `onFired`. `release` must not wait on the
    // user-interface thread. Replaces any earlier arming.
    void arm(std::function<void()> release, Clock::time_point deadline, std::function<void()> onFired);
    // Returns once a drop under way has been reported: `onFired` of the last arming does not run later.
    void disarm();
    // Called before `handle` is closed: from then on the watchdog never touches that number, which the
    // system may give to another file.
    void forget(CommHandle handle);

private:
    void arm(std::function<void()> release, CommHandle handle, Clock::time_point deadline,
             std::function<void()> onFired);
    void run();

    std::mutex mLock;
    std::condition_variable mWake;
    std::thread mThread;
    bool mQuit = false;
    bool mArmed = false;
    bool mFiring = false;                // `onFired` runs, outside the lock
    CommHandle mHandle = kInvalidHandle; // the serial handle `mRelease` uses, for forget()
    std::function<void()> mRelease;
    Clock::time_point mDeadline;
    std::function<void()> mOnFired;
};

// The program's one watchdog.
TxWatchdog& txWatchdog();
