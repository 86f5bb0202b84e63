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

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
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

QStringList messageTexts()
{
    QStringList texts;
    for (const MessageBoxes::Asked& asked : MessageBoxes::asked())
        texts << asked.text;
    return texts;
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

bool playMessageToEnd(int index, int timeoutMs)
{
    QSignalSpy finished(&frmMain().player(), &MessagePlayer::finished);
    frmMain().cmdMsg_Click(index);
    return frmMain().player().isPlaying() ? finished.wait(timeoutMs) : !finished.isEmpty();
}
