#include "idtimer.h"

void IdCountdown::ResetIdTimer()
{
    mIdMinutes = 8;
    mIdSeconds = 59;
    mIdExpired = kFalse;
}

void IdCountdown::PanelDblClick(int panelIndex)
{
    if (panelIndex != 3)
        return;
    mIdTimerOn = mIdTimerOn == kTrue ? kFalse : kTrue;
    if (mIdTimerOn == kTrue)
        ResetIdTimer();
}

IdCountdown::Tick IdCountdown::Timer()
{
    if (mIdTimerOn != kTrue)
        return {QStringLiteral("Timer OFF"), false};
    if (mIdExpired == kTrue)
        return {QStringLiteral("Time to ID"), true};

    // Seconds drop before they are shown and roll over after 00 is shown,
    // so the panel never reads :59.
    --mIdSeconds;
    const QString text = QStringLiteral("%1:%2")
                             .arg(int(mIdMinutes), 2, 10, QLatin1Char('0'))
                             .arg(int(mIdSeconds), 2, 10, QLatin1Char('0'));
    if (mIdSeconds == 0) {
        if (mIdMinutes != 0) {
            mIdSeconds = 59;
            --mIdMinutes;
        } else {
            mIdExpired = kTrue;
        }
    }
    return {text, false};
}
