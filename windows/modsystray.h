#pragma once

#include <QEvent>
#include <QString>

class QIcon;
class QWidget;

// The notification-area icon. Its mouse actions reach `callbackControl` as
// callback events carrying the mouse message number: 513 left press,
// 516 right press, 515 double click, 519 middle press.
inline constexpr int kTrayCallbackMessage = 512;
inline constexpr int kWmLButtonDown = 513;
inline constexpr int kWmLButtonDblClk = 515;
inline constexpr int kWmRButtonDown = 516;
inline constexpr int kWmMButtonDown = 519;

// How often a program started without a notification area looks for one.
inline constexpr int kTrayWatchMs = 2000;

class TrayCallbackEvent : public QEvent
{
public:
    static constexpr QEvent::Type kType = static_cast<QEvent::Type>(QEvent::User + 512);
    explicit TrayCallbackEvent(int message) : QEvent(kType), mMessage(message) {}
    int message() const { return mMessage; }

private:
    int mMessage;
};

// Shows the icon, or, while the desktop has no notification area, watches for
// one (a panel started after the program) and shows it when it appears.
void AddTrayIcon(QWidget* callbackControl, const QString& tip, QWidget* window);
void DeleteTrayIcon(QWidget* callbackControl);

// Whether the desktop shows our icon: without one, a hidden window could never come back.
bool TrayIconShown();
// Sends a mouse message to the icon's callback control, as the desktop would.
void sendTrayMessage(int message);

// The desktop's notification area; tests install one of their own.
class NotificationArea
{
public:
    virtual ~NotificationArea() = default;
    // Whether the desktop has a notification area at the moment.
    virtual bool isAvailable() = 0;
    // Shows the one icon, or changes it; its mouse actions go to sendTrayMessage.
    virtual void showIcon(const QIcon& icon, const QString& tip) = 0;
    virtual void removeIcon() = 0;
};

// The area in use: the desktop's, unless a test installed another.
NotificationArea& notificationArea();
// Installs `area` (not owned) in place of the desktop's; nullptr restores it.
void setNotificationArea(NotificationArea* area);
