#pragma once

#include "tests/fakes/fake_serial.h"
#include "tests/fakes/fake_shell.h"
#include "tests/fakes/scripted_audio.h"
#include "tests/fakes/testenv.h"
#include "windows/frmauthpic.h"

#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>

class Form;
class QMenu;
class QWidget;

// The windows over the fake serial layer and the scripted audio backend, in a private settings folder.
// Destroying it ends the program as Exit does and unloads every window, so no test leaks into the next.
class MainWindowFixture
{
public:
    explicit MainWindowFixture(std::unique_ptr<FakeSerialApi> fake = std::make_unique<FakeSerialApi>());
    ~MainWindowFixture();
    MainWindowFixture(const MainWindowFixture&) = delete;
    MainWindowFixture& operator=(const MainWindowFixture&) = delete;

    // The main window shown with its tray icon on `port` (0: none), keying RTS; buttons 1 and 2 hold
    // "/rec/1.wav" and "/rec/2.wav" captioned "B1" and "B2", the others are blank.
    void load(std::int16_t port);

    TestEnv env;
    std::unique_ptr<FakeSerialApi> serial;
    ScriptedAudioBackend audio;
    FakeAudioDevices soundDevices; // none unless a test lists some
    FakeNotificationArea tray;
    FolderPortDevices devices;
};

// A window geometry the tour moves in exact twips, with no screen behind it.
class FakeTourGeometry : public TourGeometry
{
public:
    explicit FakeTourGeometry(TwipsRect aboutRect, TwipsRect ownRect = {0, 0, 1320, 1440})
        : ownRect(ownRect), aboutRect(aboutRect)
    {
    }
    TwipsRect own() const override { return ownRect; }
    void moveOwn(float left, float top) override
    {
        ownRect.left = left;
        ownRect.top = top;
    }
    TwipsRect about() const override { return aboutRect; }
    // How far the picture's centre is from the About box's, on the larger axis.
    float offCentre() const;

    TwipsRect ownRect;
    TwipsRect aboutRect;
};

QString storedSetting(const QString& key);
// Names the first control whose caption is cut off; empty when all fit.
QString clippedCaption(const QWidget* window);
// Runs `command` (which shows `form` modally); once `form` is on screen, runs `whileOpen`, then unloads the
// form if it is still there. True when `whileOpen` ran and the form had closed by its end.
bool runModal(const std::function<void()>& command, Form& form, const std::function<void()>& whileOpen);
// Opens `form` modally from the busy pointer, presses Enter and Escape, then runs `close` on its window. Tells
// what it saw: "modal", "arrow pointer", "open after Enter and Escape", "closed" (each only when true).
QStringList closeModal(Form& form, const std::function<void(QWidget*)>& close);
// Clicks message button `index` of the main window and waits until the message has ended and its boxes
// have been answered. False when it did not end within `timeoutMs`.
bool playMessageToEnd(int index, int timeoutMs = 10000);

// A table of what a window must show: each row reads one text, caption, order or state off the loaded window.
struct ShownRow
{
    const char* name;
    std::function<QVariant()> probe;
    QVariant expected;
};
Q_DECLARE_METATYPE(ShownRow)
inline void addShownRows(std::initializer_list<ShownRow> rows)
{
    addRows(rows);
}
void compareShownRow();
// The captions of a menu's items, or of a menu bar's menus, in order; a separator reads "-".
QStringList menuItems(const QWidget* menu);
// The captions of a menu's enabled items.
QStringList enabledMenuItems(const QMenu* menu);
// Controls under the names a table gives them.
using NamedControls = QList<QPair<QString, QWidget*>>;
// The names of the `named` controls in the order Tab walks them from `from` (itself included), or from the
// start of their window.
QStringList tabOrder(const NamedControls& named, QWidget* from = nullptr);
// The mouse pointer as `form` comes on screen, before the form takes it over: what the opener set.
int pointerAsShown(Form& form, const std::function<void()>& command);
