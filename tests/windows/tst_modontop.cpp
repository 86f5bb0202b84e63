#include "tests/fakes/fake_shell.h"
#include "windows/modontop.h"
#include "windows/stacking_linux.h"

#include <QGuiApplication>
#include <QTest>
#include <QWidget>
#include <QWindow>

#include <xcb/xcb.h>

#include <cstdlib>

namespace {

// Counts what a re-created native window shows: Qt hides the window and sends WinIdChange as it destroys
// the old one and again as it makes the new one (whose number X may well hand out again).
class Probe : public QWidget
{
public:
    int winIdChanges = 0;
    int hides = 0;

protected:
    bool event(QEvent* event) override
    {
        winIdChanges += event->type() == QEvent::WinIdChange;
        hides += event->type() == QEvent::Hide;
        return QWidget::event(event);
    }
};

void sync(xcb_connection_t* connection)
{
    std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
}

// A second client of the X server that sees the requests sent to the root window, as a window manager does.
class RootWatcher
{
public:
    explicit RootWatcher(xcb_connection_t* program) : mProgram(program), mConnection(xcb_connect(nullptr, nullptr))
    {
        const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(mConnection, xcb_setup_roots_iterator(xcb_get_setup(mConnection)).data->root,
                                     XCB_CW_EVENT_MASK, &mask);
        mState = x11Atom(mConnection, "_NET_WM_STATE");
        mAbove = x11Atom(mConnection, "_NET_WM_STATE_ABOVE");
    }
    ~RootWatcher() { xcb_disconnect(mConnection); }
    RootWatcher(const RootWatcher&) = delete;
    RootWatcher& operator=(const RootWatcher&) = delete;

    // The _NET_WM_STATE_ABOVE requests for `window` since the last call, as "add" or "remove".
    QStringList aboveRequests(WId window)
    {
        // Whatever the program sent before its round trip reaches us before ours.
        sync(mProgram);
        sync(mConnection);
        QStringList requests;
        while (xcb_generic_event_t* event = xcb_poll_for_event(mConnection)) {
            const auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
            if ((event->response_type & 0x7F) == XCB_CLIENT_MESSAGE && message->type == mState &&
                message->window == window && message->data.data32[1] == mAbove)
                requests << (message->data.data32[0] == 1 ? QStringLiteral("add") : QStringLiteral("remove"));
            std::free(event);
        }
        return requests;
    }

    // Whether the window's own _NET_WM_STATE property holds _NET_WM_STATE_ABOVE.
    bool hasAbove(WId window)
    {
        sync(mProgram);
        xcb_get_property_reply_t* reply = xcb_get_property_reply(
            mConnection, xcb_get_property(mConnection, 0, window, mState, XCB_ATOM_ATOM, 0, 64), nullptr);
        bool found = false;
        if (reply && reply->format == 32) {
            const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply));
            for (int i = 0; i < xcb_get_property_value_length(reply) / 4; ++i)
                found = found || atoms[i] == mAbove;
        }
        std::free(reply);
        return found;
    }

private:
    xcb_connection_t* mProgram;
    xcb_connection_t* mConnection;
    xcb_atom_t mState = XCB_ATOM_NONE;
    xcb_atom_t mAbove = XCB_ATOM_NONE;
};

void showAt(QWidget& window, bool topMost)
{
    window.setWindowFlag(Qt::WindowStaysOnTopHint, topMost);
    window.setGeometry(100, 100, 300, 200);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
}

} // namespace

class TestModOnTop : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        RecordingStacking::install();
        topMostCalls().clear();
    }
    void cleanup() { setWindowStacking(nullptr); }

    void bandChangesOnTheSameNativeWindow_data()
    {
        QTest::addColumn<bool>("before");
        QTest::addColumn<int>("insertAfter");
        QTest::addColumn<bool>("after");
        QTest::addColumn<int>("calls"); // reaching the window system
        QTest::newRow("into the band") << false << -1 << true << 1;
        QTest::newRow("out of the band") << true << -2 << false << 1;
        QTest::newRow("already in") << true << -1 << true << 1;
        QTest::newRow("already out") << false << -2 << false << 1;
        // Any other insert-after value leaves the window alone.
        QTest::newRow("0, shown topmost") << true << 0 << true << 0;
        QTest::newRow("0, shown normal") << false << 0 << false << 0;
        QTest::newRow("1") << false << 1 << false << 0;
        QTest::newRow("-3") << true << -3 << true << 0;
        QTest::newRow("65535") << false << 65535 << false << 0;
    }

    void bandChangesOnTheSameNativeWindow()
    {
        QFETCH(bool, before);
        QFETCH(int, insertAfter);
        QFETCH(bool, after);
        QFETCH(int, calls);
        Probe window;
        showAt(window, before);
        const WId id = window.winId();
        const QRect geometry = window.geometry();
        window.winIdChanges = window.hides = 0;

        SetTopMost(&window, insertAfter);
        QCoreApplication::processEvents();

        QCOMPARE(topMostCalls().size(), calls);
        QCOMPARE(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint), after);
        QCOMPARE(window.windowHandle()->flags().testFlag(Qt::WindowStaysOnTopHint), after);
        QCOMPARE(window.winIdChanges, 0);
        QCOMPARE(window.hides, 0);
        QCOMPARE(window.winId(), id);
        QVERIFY(window.isVisible());
        QCOMPARE(window.geometry(), geometry);
    }

    // On X11 the window manager is asked to move the shown window between the bands.
    void x11WindowManagerIsAsked()
    {
        auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
        if (QGuiApplication::platformName() != QLatin1String("xcb") || !x11)
            QSKIP("not on X11");
        RootWatcher root(x11->connection());
        Probe window;
        showAt(window, false);
        const WId id = window.winId();
        root.aboveRequests(id);

        SetTopMost(&window, kHwndTopMost);
        SetTopMost(&window, 0);
        SetTopMost(&window, kHwndNoTopMost);
        QCOMPARE(root.aboveRequests(id), QStringList({"add", "remove"}));

        // Hidden, it takes the band when it comes back: Qt maps it with the state its flags give.
        window.hide();
        SetTopMost(&window, kHwndTopMost);
        QCOMPARE(root.aboveRequests(id), QStringList());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(root.hasAbove(window.windowHandle()->winId()));
    }
};

QTEST_MAIN(TestModOnTop)
#include "tst_modontop.moc"
