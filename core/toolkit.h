#pragma once

#include <QList>
#include <QString>

#include <functional>

class QWidget;

// Message box styles and answers, in the numbering the program's callers use.
namespace MsgStyle {
inline constexpr int Critical = 16;
inline constexpr int Exclamation = 48;
inline constexpr int Information = 64;
inline constexpr int YesNoDefaultNo = 260;
} // namespace MsgStyle
inline constexpr int kAnswerOk = 1;
inline constexpr int kAnswerYes = 6;
inline constexpr int kAnswerNo = 7;

// Shows a modal message box and returns the button pressed. `detail` goes
// into the box's expandable detail area, below the fixed text.
int MsgBox(const QString& text, int style, const QString& title, const QString& detail = QString());

// The seam through which tests answer message boxes instead of a person.
class MessageBoxes
{
public:
    struct Asked
    {
        QString text;
        int style = 0;
        QString title;
        QString detail;
    };
    // While scripted, MsgBox shows nothing: it records the request and
    // returns the next queued answer (OK, or No for a Yes/No box, when none is queued).
    static void setScripted(bool scripted);
    static bool scripted();
    static void setNextAnswer(int answer);
    // Runs while a scripted box is "open", as a person could act meanwhile.
    static void setOnShow(std::function<void(const Asked&)> hook);
    static QList<Asked>& asked();
    static void reset();
};

// Application-wide mouse pointer: 0 default, 11 busy.
inline constexpr int kPointerDefault = 0;
inline constexpr int kPointerBusy = 11;
void SetMousePointer(int pointer);
int MousePointer();

// Runs every pending window event once, then returns.
void DoEvents();
// Blocks the calling (user-interface) thread.
void Sleep(int milliseconds);
// The system's default beep; counted so tests can see it.
void Beep();
int beepCount();

// Screen geometry in twips (1440 per inch).
double twipsPerPixelX();
double twipsPerPixelY();
int twipsToPixelsX(double twips);
int twipsToPixelsY(double twips);

// Ends the event loop and with it the program; tests record the request instead.
void EndProgram();
void setEndProgramHandlerForTesting(std::function<void()> handler);

// The folder that holds the program file; tests may point it elsewhere.
QString programFolder();
void setProgramFolderForTesting(const QString& folder);
// The folder whose "wav" subfolder holds the sample recordings: the program
// folder when it has one (a build tree, a copy unpacked anywhere), else the
// installed data folder beside it, <prefix>/share/wrenkeyer.
QString sampleFolder();
