#include "modontop.h"

#include <QWidget>

QList<QPair<QWidget*, int>>& topMostCalls()
{
    static QList<QPair<QWidget*, int>> calls;
    return calls;
}

void SetTopMost(QWidget* window, int insertAfter)
{
    if (!window || (insertAfter != kHwndTopMost && insertAfter != kHwndNoTopMost))
        return;
    topMostCalls().append({window, insertAfter});
    const bool on = insertAfter == kHwndTopMost;
    if (window->testAttribute(Qt::WA_WState_Created) &&
        window->windowFlags().testFlag(Qt::WindowStaysOnTopHint) == on) {
        window->raise();
        return;
    }
    // Changing the flag makes Qt re-create the native window, which hides it;
    // put it back exactly where and how it was.
    const bool visible = window->isVisible();
    const QRect geometry = window->geometry();
    const Qt::WindowStates state = window->windowState();
    window->setWindowFlag(Qt::WindowStaysOnTopHint, on);
    if (visible) {
        window->setGeometry(geometry);
        window->setWindowState(state);
        window->show();
        window->raise();
    }
}
