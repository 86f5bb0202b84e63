#pragma once

#include "core/globals.h"

#include <QString>

#include <cstdint>

class QEventLoop;

// What the player needs of the window that holds the message buttons.
class PlayerView
{
public:
    virtual ~PlayerView() = default;
    // False once the window has been unloaded for good: its controls are gone.
    virtual bool controlsAlive() const = 0;
    virtual void EnableMessageButtons(bool enable) = 0;
    virtual QString buttonCaption(int index) const = 0;
    virtual void setMessageStatus(const QString& text) = 0;
    // pttLine 1 = DTR, 2 = RTS.
    virtual void setLineIndicator(std::int16_t pttLine, bool keyed) = 0;
};

// Keys the transmitter, plays one message and unkeys. The window stays live
// while it plays, so STOP, the timer, the menus and the tray icon work.
class MessagePlayer
{
public:
    explicit MessagePlayer(PlayerView& view) : mView(view) {}

    void PlayMessage(int n);
    void cmdStop_Click();
    bool isPlaying() const { return mPlaying; }

    VBool mStopRequested = kFalse;

private:
    void waitForEvents();
    bool key(std::int16_t port, std::int16_t pttLine);
    void unkey(std::int16_t port, std::int16_t pttLine);

    PlayerView& mView;
    bool mPlaying = false;
    QEventLoop* mWait = nullptr;
};

// The line code of CommSetLine for a PTT-line setting; 0 when it names no line.
std::int16_t lineCodeForPTT(std::int16_t pttLine);
