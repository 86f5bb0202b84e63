#pragma once

class QWidget;

// Centres `window` over `over` when that is on the desktop, else on the screen `over` is on, else on the
// primary screen. A hidden or minimised owner is no place to look for a new window.
void centreOver(QWidget* window, const QWidget* over = nullptr);
