#include "core/placement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

void centreOver(QWidget* window, const QWidget* over)
{
    QRect area;
    if (over && over != window && over->isVisible() && !over->isMinimized()) {
        area = over->frameGeometry();
    } else {
        const QScreen* screen = over ? over->screen() : QGuiApplication::primaryScreen();
        if (!screen)
            return;
        area = screen->availableGeometry();
    }
    QRect frame = window->frameGeometry();
    frame.moveCenter(area.center());
    window->move(frame.topLeft());
}
