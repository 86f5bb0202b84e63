#pragma once

class QWidget;

inline constexpr int kHwndTopMost = -1;
inline constexpr int kHwndNoTopMost = -2;

// Puts `window` into the topmost band (-1) or takes it out (-2) without moving
// or resizing it; any other value does nothing.
void SetTopMost(QWidget* window, int insertAfter);

// The window system's stacking order; tests install one that records.
class WindowStacking
{
public:
    virtual ~WindowStacking() = default;
    // Puts `window` into the topmost band or takes it out, keeping its place and size on the screen.
    virtual void setTopMost(QWidget* window, bool topMost) = 0;
};

// The stacking in use: the window system's, unless a test installed another.
WindowStacking& windowStacking();
// Installs `stacking` (not owned) in place of the window system's; nullptr restores it.
void setWindowStacking(WindowStacking* stacking);
