#include "modsystray.h"

#include "core/service.h"

#include <QCoreApplication>
#include <QIcon>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

namespace {

struct TrayIconData
{
    QPointer<QWidget> hWnd;
    QIcon hIcon;
    QString szTip;
    bool shown = false;
    // Runs while the program waits for a notification area to appear.
    QPointer<QTimer> watch;
};

TrayIconData gTray;

int messageFor(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        return kWmLButtonDown;
    case QSystemTrayIcon::Context:
        return kWmRButtonDown;
    case QSystemTrayIcon::DoubleClick:
        return kWmLButtonDblClk;
    case QSystemTrayIcon::MiddleClick:
        return kWmMButtonDown;
    default:
        return kTrayCallbackMessage;
    }
}

class SystemTrayArea final : public NotificationArea
{
public:
    bool isAvailable() override { return QSystemTrayIcon::isSystemTrayAvailable(); }

    void showIcon(const QIcon& icon, const QString& tip) override
    {
        if (!mIcon) {
            mIcon = new QSystemTrayIcon(QCoreApplication::instance());
            QObject::connect(mIcon, &QSystemTrayIcon::activated,
                             [](QSystemTrayIcon::ActivationReason reason) { sendTrayMessage(messageFor(reason)); });
        }
        mIcon->setIcon(icon);
        mIcon->setToolTip(tip);
        mIcon->show();
    }

    void removeIcon() override
    {
        if (!mIcon)
            return;
        mIcon->hide();
        delete mIcon;
        mIcon = nullptr;
    }

private:
    QSystemTrayIcon* mIcon = nullptr;
};

void stopWatching()
{
    if (!gTray.watch)
        return;
    gTray.watch->stop();
    // It may be the timer whose tick is running.
    gTray.watch->deleteLater();
    gTray.watch = nullptr;
}

// True when the icon could be shown now.
bool showWhenAvailable()
{
    if (!notificationArea().isAvailable())
        return false;
    notificationArea().showIcon(gTray.hIcon, gTray.szTip);
    gTray.shown = true;
    return true;
}

ServiceSlot<NotificationArea, SystemTrayArea> gService;

} // namespace

NotificationArea& notificationArea()
{
    return gService.get();
}

void setNotificationArea(NotificationArea* area)
{
    gService.install(area);
}

void sendTrayMessage(int message)
{
    QWidget* target = gTray.hWnd.data();
    if (!target)
        return;
    TrayCallbackEvent event(message);
    QCoreApplication::sendEvent(target, &event);
}

void AddTrayIcon(QWidget* callbackControl, const QString& tip, QWidget* window)
{
    gTray.hWnd = callbackControl;
    gTray.hIcon = window ? window->windowIcon() : QIcon();
    // The tip field held 63 characters and its terminator.
    gTray.szTip = tip.left(63);
    gTray.shown = false;
    stopWatching();
    if (showWhenAvailable())
        return;
    // A panel started after the program (an autostarted keyer) brings its notification area late; Qt
    // gives no signal for it.
    auto* watch = new QTimer(QCoreApplication::instance());
    gTray.watch = watch;
    QObject::connect(watch, &QTimer::timeout, watch, [] {
        if (showWhenAvailable())
            stopWatching();
    });
    watch->start(kTrayWatchMs);
}

void DeleteTrayIcon(QWidget* callbackControl)
{
    gTray.hWnd = callbackControl;
    stopWatching();
    notificationArea().removeIcon();
    gTray.shown = false;
}

bool TrayIconShown()
{
    return gTray.shown;
}
