#pragma once

#include "core/toolkit.h"

#include <QList>
#include <QString>

#include <deque>
#include <functional>

// Desktop services for tests, one set for the whole test program: every message box is recorded and
// answered from a queue, the beeps and the requests to end are counted, and the program folder is the one
// the test chose. Tests script it under the name MessageBoxes.
class ScriptedDesktop final : public DesktopServices
{
public:
    using Asked = MessageBoxRequest;
    // While scripted, MsgBox shows nothing: it records the request and returns the next queued answer
    // (OK, or No for a Yes/No box, when none is queued).
    static void setScripted(bool scripted);
    static void setNextAnswer(int answer) { instance().mAnswers.push_back(answer); }
    // Runs while a scripted box is "open", as a person could act meanwhile.
    static void setOnShow(std::function<void(const Asked&)> hook) { instance().mOnShow = std::move(hook); }
    static QList<Asked>& asked() { return instance().mAsked; }
    // Forgets answers, boxes, the hook and the counts; the program folder stays.
    static void reset();
    // Scripts the desktop and points programFolder() at `folder`; empty: the real program folder.
    static void setProgramFolder(const QString& folder);
    static int beeps() { return instance().mBeeps; }
    static int endRequests() { return instance().mEndRequests; }

    int messageBox(const MessageBoxRequest& request) override;
    void beep() override { ++mBeeps; }
    void endProgram() override { ++mEndRequests; }
    QString programFolder() override;

private:
    static ScriptedDesktop& instance();

    std::deque<int> mAnswers;
    QList<Asked> mAsked;
    std::function<void(const Asked&)> mOnShow;
    QString mProgramFolder;
    int mBeeps = 0;
    int mEndRequests = 0;
};

using MessageBoxes = ScriptedDesktop;
