#pragma once

#include "windows/modcommdia.h"
#include "windows/modontop.h"
#include "windows/modrunbrowse.h"
#include "windows/modsystray.h"

#include <QIcon>
#include <QList>
#include <QPair>
#include <QString>

#include <deque>
#include <optional>

// Fakes of the shell modules: the open-file dialog, the desktop's opener, the window stacking and the
// notification area. The first three serve the whole test program, scripted through their static members.

// Answers the open-file dialog from a queue and records every request.
class FileDialogs final : public FileChooser
{
public:
    using Asked = OpenFileRequest;
    // While scripted, ShowOpenFileDialog shows nothing: it records the request
    // and returns the next queued answer, or "" (cancel) when none is queued.
    static void setScripted(bool scripted);
    // Queues an answer and makes the dialog scripted.
    static void setNextFile(const QString& path);
    static void setNextCancel();
    static QList<Asked>& asked() { return instance().mAsked; }
    // Forgets answers and requests and shows real dialogs again.
    static void reset();

    QString openFile(QWidget* owner, const OpenFileRequest& request) override;

private:
    static FileDialogs& instance();
    std::deque<std::optional<QString>> mAnswers; // an empty one is a cancel
    QList<Asked> mAsked;
};

// Records what would have gone to the desktop's opener.
class ShellRequests final : public DocumentOpener
{
public:
    using Request = ShellOpenRequest;
    // While scripted, ShellOpen records the request and opens nothing.
    static void setScripted(bool scripted);
    static const QList<Request>& opened() { return instance().mOpened; }
    static void reset() { instance().mOpened.clear(); }

    void open(const ShellOpenRequest& request) override { mOpened.append(request); }

private:
    static ShellRequests& instance();
    QList<Request> mOpened;
};

// Records every SetTopMost that reached the window system as (window, -1 or -2), then passes it on to the
// window system's stacking, so the window really changes band.
class RecordingStacking final : public WindowStacking
{
public:
    // Installs the recorder in front of the window system's stacking.
    static void install();
    // The calls recorded since the last clear().
    static QList<QPair<QWidget*, int>>& calls() { return instance().mCalls; }

    void setTopMost(QWidget* window, bool topMost) override;

private:
    static RecordingStacking& instance();
    QList<QPair<QWidget*, int>> mCalls;
    WindowStacking* mSystem = nullptr;
};

inline QList<QPair<QWidget*, int>>& topMostCalls()
{
    return RecordingStacking::calls();
}

// A notification area that is there or not as the test says, and shows the icon only as data.
class FakeNotificationArea final : public NotificationArea
{
public:
    ~FakeNotificationArea() override; // uninstalls itself
    void install() { setNotificationArea(this); }

    bool isAvailable() override { return available; }
    void showIcon(const QIcon& icon, const QString& tip) override;
    void removeIcon() override { shown = false; }

    bool available = true;
    bool shown = false;
    QIcon icon;
    QString tip;
};
