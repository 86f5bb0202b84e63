#pragma once

#include "windows/modontop.h"

#include <cstdint>

struct xcb_connection_t;

// Keep-on-top on the Linux desktops, on the window's own native window. On X11 the window manager is asked
// to add or remove _NET_WM_STATE_ABOVE (EWMH); elsewhere (Wayland, offscreen) only Qt's flag changes, as
// those platforms give a client no say over the stacking.
class LinuxWindowStacking final : public WindowStacking
{
public:
    void setTopMost(QWidget* window, bool topMost) override;
};

// The X atom called `name`, or 0 (XCB_ATOM_NONE) when the server gives none.
std::uint32_t x11Atom(xcb_connection_t* connection, const char* name);
