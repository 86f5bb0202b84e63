#include "tests/fakes/window_fixture.h"

#include "comm/modcomm.h"
#include "core/settings.h"
#include "core/toolkit.h"
#include "windows/frmabout.h"
#include "windows/frmhelp.h"
#include "windows/frmmain.h"
#include "windows/frmsettings.h"
#include "windows/frmsetwaves.h"
#include "windows/modontop.h"
#include "windows/modsystray.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cmath>

MainWindowFixture::MainWindowFixture(std::unique_ptr<FakeSerialApi> fake) : serial(std::move(fake))
{
    serial->install();
    audio.install();
    audio.setDuration(300);
    soundDevices.install();
    RecordingStacking::install();
    topMostCalls().clear();
    tray.install();
    devices.install();
    SetMousePointer(kPointerDefault);
}

MainWindowFixture::~MainWindowFixture()
{
    for (Form* form : std::initializer_list<Form*>{&frmSetWaves(), &frmSettings(), &frmHelp(), &frmAbout()}) {
        if (form->isLoaded())
            form->Unload();
    }
    gExitRequested = kTrue;
    frmMain().Unload();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    serial->clear();
    QVERIFY2(releaseEveryPort(), "a port stayed open");
    setWindowStacking(nullptr);
}

void MainWindowFixture::load(std::int16_t port)
{
    gCommPort = port;
    gPTTLine = 2;
    for (int n = 1; n <= 10; ++n) {
        gButtonCaptions[n] = n <= 2 ? QStringLiteral("B%1").arg(n) : QStringLiteral("(Blank)");
        gWaveFiles[n] = n <= 2 ? QStringLiteral("/rec/%1.wav").arg(n) : QString();
    }
    frmMain().Load();
    AddTrayIcon(frmMain().picTray(), kAppTitle, frmMain().window());
    frmMain().Show();
}

float FakeTourGeometry::offCentre() const
{
    const float dx = ownRect.left + ownRect.width / 2 - (aboutRect.left + aboutRect.width / 2);
    const float dy = ownRect.top + ownRect.height / 2 - (aboutRect.top + aboutRect.height / 2);
    return std::max(std::fabs(dx), std::fabs(dy));
}

QString storedSetting(const QString& key)
{
    return GetSetting(kAppTitle, kSettingsSection, key);
}

QString clippedCaption(const QWidget* window)
{
    const auto widgets = window->findChildren<QWidget*>();
    for (const QWidget* widget : widgets) {
        int needed = 0;
        QString text;
        if (const auto* label = qobject_cast<const QLabel*>(widget)) {
            needed = label->sizeHint().width();
            text = label->text();
        } else if (const auto* option = qobject_cast<const QRadioButton*>(widget)) {
            needed = option->sizeHint().width();
            text = option->text();
        } else if (const auto* button = qobject_cast<const QPushButton*>(widget)) {
            needed = button->fontMetrics().horizontalAdvance(button->text());
            text = button->text();
        }
        // One pixel of rounding from the proportional layout.
        if (needed > widget->width() + 1)
            return QStringLiteral("%1: needs %2, has %3").arg(text).arg(needed).arg(widget->width());
    }
    return QString();
}

bool runModal(const std::function<void()>& command, Form& form, const std::function<void()>& whileOpen)
{
    bool acted = false;
    bool closedItself = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (acted || !form.isLoaded() || !form.window()->isVisible())
            return;
        acted = true;
        if (whileOpen)
            whileOpen();
        closedItself = !form.isLoaded();
        if (form.isLoaded())
            form.Unload();
    });
    poll.start(5);
    // A window that never shows must not hang the run.
    QTimer::singleShot(10000, &poll, [&form] {
        if (form.isLoaded())
            form.Unload();
    });
    command();
    return acted && closedItself;
}

QStringList closeModal(Form& form, const std::function<void(QWidget*)>& close)
{
    SetMousePointer(kPointerBusy);
    QStringList seen;
    const bool closed = runModal([&form] { form.ShowModal(); }, form,
                                 [&] {
                                     QWidget* window = form.window();
                                     if (window->isModal())
                                         seen << QStringLiteral("modal");
                                     if (MousePointer() == kPointerDefault)
                                         seen << QStringLiteral("arrow pointer");
                                     QTest::keyClick(window, Qt::Key_Return);
                                     QTest::keyClick(window, Qt::Key_Escape);
                                     if (form.isLoaded())
                                         seen << QStringLiteral("open after Enter and Escape");
                                     close(window);
                                     (void)QTest::qWaitFor([&form] { return !form.isLoaded(); }, 2000);
                                 });
    if (closed)
        seen << QStringLiteral("closed");
    return seen;
}

bool playMessageToEnd(int index, int timeoutMs)
{
    QSignalSpy finished(&frmMain().player(), &MessagePlayer::finished);
    frmMain().cmdMsg_Click(index);
    return frmMain().player().isPlaying() ? finished.wait(timeoutMs) : !finished.isEmpty();
}

void compareShownRow()
{
    QFETCH(ShownRow, row);
    const QVariant actual = row.probe();
    const QVariant& expected = row.expected;
    if (actual == expected)
        return;
    QString read;
    QString wanted;
    QDebug(&read) << actual;
    QDebug(&wanted) << expected;
    QFAIL(qPrintable(QStringLiteral("reads %1, must read %2").arg(read, wanted)));
}

QStringList menuItems(const QWidget* menu)
{
    QStringList items;
    for (const QAction* action : menu->actions())
        items << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return items;
}

QStringList enabledMenuItems(const QMenu* menu)
{
    QStringList items;
    for (const QAction* action : menu->actions()) {
        if (!action->isSeparator() && action->isEnabled())
            items << action->text();
    }
    return items;
}

QStringList tabOrder(const NamedControls& named, QWidget* from)
{
    QStringList order;
    if (named.isEmpty())
        return order;
    QWidget* const start = from ? from : named.first().second->window();
    QWidget* w = start;
    do {
        for (const auto& [name, widget] : named) {
            if (widget == w && (w->focusPolicy() & Qt::TabFocus))
                order << name;
        }
        w = w->nextInFocusChain();
    } while (w && w != start);
    return order;
}

namespace {

class ShowWatch : public QObject
{
public:
    explicit ShowWatch(const Form& form) : mForm(form) {}
    int pointer = -1;

protected:
    // Application filters run before the form's own, which resets the pointer.
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (pointer < 0 && event->type() == QEvent::Show && watched == mForm.window())
            pointer = MousePointer();
        return false;
    }

private:
    const Form& mForm;
};

} // namespace

int pointerAsShown(Form& form, const std::function<void()>& command)
{
    ShowWatch watch(form);
    QCoreApplication::instance()->installEventFilter(&watch);
    runModal(command, form, nullptr);
    QCoreApplication::instance()->removeEventFilter(&watch);
    return watch.pointer;
}
