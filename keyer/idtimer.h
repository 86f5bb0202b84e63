#pragma once

#include "core/globals.h"

#include <QString>

#include <cstdint>

// The station-identification countdown shown in the third status-bar panel.
// It counts handled ticks, not elapsed time.
class IdCountdown
{
public:
    struct Tick
    {
        QString text;
        bool beep = false;
    };

    void ResetIdTimer();
    // A double click on status-bar panel `panelIndex` (1-based).
    void PanelDblClick(int panelIndex);
    // One tick of the one-second timer: the panel's new text, and whether to beep.
    Tick Timer();

    // Switches the countdown off, as the window does when it loads.
    void SwitchOff() { mIdTimerOn = kFalse; }

    VBool mIdTimerOn = kFalse;
    std::int16_t mIdMinutes = 0;
    std::int16_t mIdSeconds = 0;
    VBool mIdExpired = kFalse;
};
