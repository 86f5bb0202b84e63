#include "tests/fakes/fake_shell.h"

FileDialogs& FileDialogs::instance()
{
    static FileDialogs dialogs;
    return dialogs;
}

void FileDialogs::setScripted(bool scripted)
{
    setFileChooser(scripted ? &instance() : nullptr);
}

void FileDialogs::setNextFile(const QString& path)
{
    setScripted(true);
    instance().mAnswers.emplace_back(path);
}

void FileDialogs::setNextCancel()
{
    setScripted(true);
    instance().mAnswers.emplace_back(std::nullopt);
}

void FileDialogs::reset()
{
    setScripted(false);
    instance().mAnswers.clear();
    instance().mAsked.clear();
}

QString FileDialogs::openFile(QWidget* owner, const OpenFileRequest& request)
{
    (void)owner;
    mAsked.append(request);
    if (mAnswers.empty())
        return QString();
    const std::optional<QString> answer = mAnswers.front();
    mAnswers.pop_front();
    return answer.value_or(QString());
}

ShellRequests& ShellRequests::instance()
{
    static ShellRequests requests;
    return requests;
}

void ShellRequests::setScripted(bool scripted)
{
    setDocumentOpener(scripted ? &instance() : nullptr);
}

RecordingStacking& RecordingStacking::instance()
{
    static RecordingStacking stacking;
    return stacking;
}

void RecordingStacking::install()
{
    setWindowStacking(nullptr);
    instance().mSystem = &windowStacking();
    setWindowStacking(&instance());
}

void RecordingStacking::setTopMost(QWidget* window, bool topMost)
{
    mCalls.append({window, topMost ? kHwndTopMost : kHwndNoTopMost});
    mSystem->setTopMost(window, topMost);
}

FakeNotificationArea::~FakeNotificationArea()
{
    if (&notificationArea() == this)
        setNotificationArea(nullptr);
}

void FakeNotificationArea::showIcon(const QIcon& shownIcon, const QString& shownTip)
{
    shown = true;
    icon = shownIcon;
    tip = shownTip;
}
