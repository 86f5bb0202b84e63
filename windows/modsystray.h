#pragma once

#include <QEvent>
#include <QString>

class QWidget;

// The notification-area icon. Its mouse actions reach `callbackControl` as
// callback events carrying the mouse message number: 513 left press,
// 516 right press, 515 double click, 519 middle press.
inline constexpr int kTrayIconId = 100;
inline constexpr int kTrayCallbackMessage = 512;
inline constexpr int kWmLButtonDown = 513;
inline constexpr int kWmLButtonDblClk = 515;
inline constexpr int kWmRButtonDown = 516;
inline constexpr int kWmMButtonDown = 519;

class TrayCallbackEvent : public QEvent
{
public:
    static constexpr QEvent::Type kType = static_cast<QEvent::Type>(QEvent::User + 512);
    explicit TrayCallbackEvent(int message) : QEvent(kType), mMessage(message) {}
    int message() const { return mMessage; }

private:
    int mMessage;
};

void AddTrayIcon(QWidget* callbackControl, const QString& tip, QWidget* window);
void DeleteTrayIcon(QWidget* callbackControl);

// Whether the desktop shows our icon: without one, a hidden window could never come back.
bool TrayIconShown();
// Tests decide whether a notification area exists.
void setTrayAvailableForTesting(int available); // 1 yes, 0 no, -1 ask the desktop
// Sends a mouse message to the icon's callback control, as the desktop would.
void sendTrayMessage(int message);
