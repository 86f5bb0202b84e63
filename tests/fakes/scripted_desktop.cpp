#include "tests/fakes/scripted_desktop.h"

#include <QCoreApplication>

ScriptedDesktop& ScriptedDesktop::instance()
{
    static ScriptedDesktop desktop;
    return desktop;
}

void ScriptedDesktop::setScripted(bool scripted)
{
    setDesktopServices(scripted ? &instance() : nullptr);
}

void ScriptedDesktop::reset()
{
    ScriptedDesktop& desktop = instance();
    desktop.mAnswers.clear();
    desktop.mAsked.clear();
    desktop.mOnShow = nullptr;
    desktop.mBeeps = 0;
    desktop.mEndRequests = 0;
}

void ScriptedDesktop::setProgramFolder(const QString& folder)
{
    instance().mProgramFolder = folder;
    setScripted(true);
}

int ScriptedDesktop::messageBox(const MessageBoxRequest& request)
{
    mAsked.append(request);
    if (mOnShow)
        mOnShow(request);
    if (!mAnswers.empty()) {
        const int answer = mAnswers.front();
        mAnswers.pop_front();
        return answer;
    }
    return isYesNoStyle(request.style) ? kAnswerNo : kAnswerOk;
}

QString ScriptedDesktop::programFolder()
{
    return mProgramFolder.isEmpty() ? QCoreApplication::applicationDirPath() : mProgramFolder;
}
