#include "comm/txwatchdog.h"

TxWatchdog::~TxWatchdog()
{
    {
        const std::lock_guard guard(mLock);
        mQuit = true;
    }
    mWake.notify_all();
    if (mThread.joinable())
        mThread.join();
}

void TxWatchdog::arm(SerialApi& api, CommHandle handle, std::uint32_t clearFunction, Clock::time_point deadline,
                     std::function<void()> onFired)
{
    arm([&api, handle, clearFunction] { (void)api.ForceLineDown(handle, clearFunction); }, handle, deadline,
        std::move(onFired));
}

void TxWatchdog::arm(std::function<void()> release, Clock::time_point deadline, std::function<void()> onFired)
{
    arm(std::move(release), kInvalidHandle, deadline, std::move(onFired));
}

void TxWatchdog::arm(std::function<void()> release, CommHandle handle, Clock::time_point deadline,
                     std::function<void()> onFired)
{
    {
        const std::lock_guard guard(mLock);
        mArmed = true;
        mHandle = handle;
        mRelease = std::move(release);
        mDeadline = deadline;
        mOnFired = std::move(onFired);
        // Started at the first message only: a keyer that never keys runs no extra thread.
        if (!mThread.joinable())
            mThread = std::thread([this] { run(); });
    }
    mWake.notify_all();
}

void TxWatchdog::disarm()
{
    std::unique_lock lock(mLock);
    mArmed = false;
    mOnFired = nullptr;
    mWake.notify_all();
    mWake.wait(lock, [this] { return !mFiring; });
}

void TxWatchdog::forget(CommHandle handle)
{
    {
        const std::lock_guard guard(mLock);
        if (!mArmed || mHandle == kInvalidHandle || mHandle != handle)
            return;
        mArmed = false;
        mOnFired = nullptr;
    }
    mWake.notify_all();
}

void TxWatchdog::run()
{
    std::unique_lock lock(mLock);
    while (!mQuit) {
        if (!mArmed) {
            mWake.wait(lock);
            continue;
        }
        if (mWake.wait_until(lock, mDeadline) != std::cv_status::timeout || !mArmed || mQuit)
            continue;
        // An arming made while the wait ended may have moved the deadline on.
        if (Clock::now() < mDeadline)
            continue;
        // Under the lock: the handle cannot be closed, and its number given to another file, meanwhile.
        if (mRelease)
            mRelease();
        mArmed = false;
        std::function<void()> onFired = std::move(mOnFired);
        mOnFired = nullptr;
        mFiring = true;
        lock.unlock();
        if (onFired)
            onFired();
        lock.lock();
        mFiring = false;
        mWake.notify_all();
    }
}

TxWatchdog& txWatchdog()
{
    static TxWatchdog watchdog;
    return watchdog;
}
