#pragma once

#include <QList>
#include <QPair>

class QWidget;

inline constexpr int kHwndTopMost = -1;
inline constexpr int kHwndNoTopMost = -2;

// Puts `window` into the topmost band (-1) or takes it out (-2) without moving
// or resizing it; any other value does nothing.
void SetTopMost(QWidget* window, int insertAfter);

// Every SetTopMost call that reached the window system, for tests.
QList<QPair<QWidget*, int>>& topMostCalls();
