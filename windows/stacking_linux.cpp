#include "windows/stacking_linux.h"

#include <QGuiApplication>
#include <QWidget>
#include <QWindow>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uint32_t kNetWmStateRemove = 0;
constexpr std::uint32_t kNetWmStateAdd = 1;
constexpr std::uint32_t kSourceApplication = 1;

// Asks the window manager, through the root window of the window's screen, to put a mapped window into the
// ABOVE state or take it out.
void requestAbove(xcb_connection_t* connection, xcb_window_t window, bool above)
{
    // Qt's connection lasts as long as the program.
    static const xcb_atom_t state = x11Atom(connection, "_NET_WM_STATE");
    static const xcb_atom_t stateAbove = x11Atom(connection, "_NET_WM_STATE_ABOVE");
    xcb_get_geometry_reply_t* geometry =
        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, window), nullptr);
    if (geometry && state != XCB_ATOM_NONE && stateAbove != XCB_ATOM_NONE) {
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = window;
        message.type = state;
        message.data.data32[0] = above ? kNetWmStateAdd : kNetWmStateRemove;
        message.data.data32[1] = stateAbove;
        message.data.data32[3] = kSourceApplication;
        xcb_send_event(connection, 0, geometry->root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                       reinterpret_cast<const char*>(&message));
        xcb_flush(connection);
    }
    std::free(geometry);
}

} // namespace

void LinuxWindowStacking::setTopMost(QWidget* window, bool topMost)
{
    Qt::WindowFlags flags = window->windowFlags();
    flags.setFlag(Qt::WindowStaysOnTopHint, topMost);
    QWindow* native = window->windowHandle();
    if (!window->isVisible() || !native) {
        // Nothing on the screen: Qt makes the native window anew, with the flag, when it shows it.
        window->setWindowFlags(flags);
        return;
    }
    // setWindowFlags would destroy the shown native window and make a new one: a flicker and a new place on
    // the task bar. The flags are only noted here; Qt writes the window's state from them when it maps the
    // window again after a hide.
    window->overrideWindowFlags(flags);
    native->setFlag(Qt::WindowStaysOnTopHint, topMost);
    // The offscreen platform answers for X11 too, without a connection.
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (QGuiApplication::platformName() == QLatin1String("xcb") && x11 && x11->connection())
        requestAbove(x11->connection(), static_cast<xcb_window_t>(native->winId()), topMost);
    window->raise();
}

std::uint32_t x11Atom(xcb_connection_t* connection, const char* name)
{
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}
