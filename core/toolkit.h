#pragma once

#include <QString>

class QDialog;

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
// Whether a box of `style` asks Yes or No.
inline constexpr bool isYesNoStyle(int style)
{
    return (style & 0xF) == 4;
}

// Shows a modal message box and returns the button pressed. `detail` goes
// into the box's expandable detail area, below the fixed text.
int MsgBox(const QString& text, int style, const QString& title, const QString& detail = QString());

struct MessageBoxRequest
{
    QString text;
    int style = 0;
    QString title;
    QString detail;
};

// What the program asks of the desktop session: a person's answer in a message box, the beep, its own end
// and the folder it was started from. The desktop's own services answer unless a test installed others.
class DesktopServices
{
public:
    virtual ~DesktopServices() = default;
    // Returns kAnswerOk, kAnswerYes or kAnswerNo.
    virtual int messageBox(const MessageBoxRequest& request) = 0;
    virtual void beep() = 0;
    virtual void endProgram() = 0;
    virtual QString programFolder() = 0;
};

// The services in use: the desktop's, unless a test installed others.
DesktopServices& desktopServices();
// Installs `services` (not owned) in place of the desktop's; nullptr restores them.
void setDesktopServices(DesktopServices* services);

// Runs `dialog` modally with the arrow pointer: the busy pointer of the command that opened it must not
// hide its controls. Returns what QDialog::exec returns.
int execWithArrowPointer(QDialog& dialog);

// Application-wide mouse pointer: 0 default, 11 busy.
inline constexpr int kPointerDefault = 0;
inline constexpr int kPointerBusy = 11;
void SetMousePointer(int pointer);
int MousePointer();

// Runs every pending window event once, then returns.
void DoEvents();
// Blocks the calling (user-interface) thread.
void Sleep(int milliseconds);
// The system's default beep.
void Beep();

// Screen geometry in twips (1440 per inch).
double twipsPerPixelX();
double twipsPerPixelY();
int twipsToPixelsX(double twips);
int twipsToPixelsY(double twips);

// Ends the event loop and with it the program.
void EndProgram();

// The folder that holds the program file.
QString programFolder();
// The folder whose "wav" subfolder holds the sample recordings: the program
// folder when it has one (a build tree, a copy unpacked anywhere), else the
// installed data folder beside it, <prefix>/share/wrenkeyer.
QString sampleFolder();
