#include "modsystray.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QWidget>

namespace {

struct TrayIconData
{
    QPointer<QWidget> hWnd;
    int uID = 0;
    int uCallbackMessage = 0;
    QString szTip;
    QSystemTrayIcon* icon = nullptr;
    bool shown = false;
};

TrayIconData gTray;
int gAvailableOverride = -1;

bool trayAvailable()
{
    if (gAvailableOverride >= 0)
        return gAvailableOverride == 1;
    return QSystemTrayIcon::isSystemTrayAvailable();
}

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

} // namespace

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
    gTray.uID = kTrayIconId;
    gTray.uCallbackMessage = kTrayCallbackMessage;
    // The tip field held 63 characters and its terminator.
    gTray.szTip = tip.left(63);
    gTray.shown = false;
    if (!trayAvailable())
        return;
    if (!gTray.icon) {
        gTray.icon = new QSystemTrayIcon(QCoreApplication::instance());
        QObject::connect(gTray.icon, &QSystemTrayIcon::activated,
                         [](QSystemTrayIcon::ActivationReason reason) { sendTrayMessage(messageFor(reason)); });
    }
    gTray.icon->setIcon(window ? window->windowIcon() : QIcon());
    gTray.icon->setToolTip(gTray.szTip);
    gTray.icon->show();
    gTray.shown = true;
}

void DeleteTrayIcon(QWidget* callbackControl)
{
    gTray.hWnd = callbackControl;
    gTray.uID = kTrayIconId;
    gTray.uCallbackMessage = kTrayCallbackMessage;
    if (gTray.icon) {
        gTray.icon->hide();
        delete gTray.icon;
        gTray.icon = nullptr;
    }
    gTray.shown = false;
}

bool TrayIconShown()
{
    return gTray.shown;
}

void setTrayAvailableForTesting(int available)
{
    gAvailableOverride = available;
}
