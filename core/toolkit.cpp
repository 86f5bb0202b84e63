#include "toolkit.h"

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QThread>

#include <deque>

namespace {

bool gScripted = false;
std::deque<int> gAnswers;
QList<MessageBoxes::Asked> gAsked;
std::function<void(const MessageBoxes::Asked&)> gOnShow;
int gPointer = kPointerDefault;
int gBeeps = 0;
QString gProgramFolderOverride;
std::function<void()> gEndProgram;

double logicalDpi(bool horizontal)
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return 96.0;
    const double dpi = horizontal ? screen->logicalDotsPerInchX() : screen->logicalDotsPerInchY();
    return dpi > 0 ? dpi : 96.0;
}

} // namespace

void MessageBoxes::setScripted(bool scripted)
{
    gScripted = scripted;
}

bool MessageBoxes::scripted()
{
    return gScripted;
}

void MessageBoxes::setNextAnswer(int answer)
{
    gAnswers.push_back(answer);
}

void MessageBoxes::setOnShow(std::function<void(const Asked&)> hook)
{
    gOnShow = std::move(hook);
}

QList<MessageBoxes::Asked>& MessageBoxes::asked()
{
    return gAsked;
}

void MessageBoxes::reset()
{
    gAnswers.clear();
    gAsked.clear();
    gOnShow = nullptr;
}

int MsgBox(const QString& text, int style, const QString& title, const QString& detail)
{
    const bool yesNo = (style & 0xF) == 4;
    if (gScripted) {
        const MessageBoxes::Asked asked{text, style, title, detail};
        gAsked.append(asked);
        if (gOnShow)
            gOnShow(asked);
        if (!gAnswers.empty()) {
            const int answer = gAnswers.front();
            gAnswers.pop_front();
            return answer;
        }
        return yesNo ? kAnswerNo : kAnswerOk;
    }

    QMessageBox box;
    box.setWindowTitle(title);
    box.setText(text);
    if (!detail.isEmpty())
        box.setDetailedText(detail);
    switch (style & 0xF0) {
    case MsgStyle::Critical:
        box.setIcon(QMessageBox::Critical);
        break;
    case MsgStyle::Exclamation:
        box.setIcon(QMessageBox::Warning);
        break;
    case MsgStyle::Information:
        box.setIcon(QMessageBox::Information);
        break;
    default:
        box.setIcon(QMessageBox::NoIcon);
        break;
    }
    if (yesNo) {
        QPushButton* yes = box.addButton(QMessageBox::Yes);
        QPushButton* no = box.addButton(QMessageBox::No);
        box.setDefaultButton((style & 0x100) ? no : yes);
    } else {
        box.setDefaultButton(box.addButton(QMessageBox::Ok));
    }
    // The busy pointer of a command in progress must not hide the box's buttons.
    const bool busy = QApplication::overrideCursor() != nullptr;
    if (busy)
        QApplication::setOverrideCursor(Qt::ArrowCursor);
    box.exec();
    if (busy)
        QApplication::restoreOverrideCursor();
    if (!yesNo)
        return kAnswerOk;
    return box.clickedButton() == box.button(QMessageBox::Yes) ? kAnswerYes : kAnswerNo;
}

void SetMousePointer(int pointer)
{
    if (pointer == gPointer)
        return;
    gPointer = pointer;
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return;
    while (QApplication::overrideCursor())
        QApplication::restoreOverrideCursor();
    if (pointer == kPointerBusy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
}

int MousePointer()
{
    return gPointer;
}

void DoEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void Sleep(int milliseconds)
{
    QThread::msleep(static_cast<unsigned long>(milliseconds));
}

void Beep()
{
    ++gBeeps;
    if (qobject_cast<QApplication*>(QCoreApplication::instance()))
        QApplication::beep();
}

int beepCount()
{
    return gBeeps;
}

double twipsPerPixelX()
{
    return 1440.0 / logicalDpi(true);
}

double twipsPerPixelY()
{
    return 1440.0 / logicalDpi(false);
}

int twipsToPixelsX(double twips)
{
    return qRound(twips / twipsPerPixelX());
}

int twipsToPixelsY(double twips)
{
    return qRound(twips / twipsPerPixelY());
}

QString programFolder()
{
    if (!gProgramFolderOverride.isEmpty())
        return gProgramFolderOverride;
    return QCoreApplication::applicationDirPath();
}

QString sampleFolder()
{
    const QString program = programFolder();
    if (QDir(program).exists(QStringLiteral("wav")))
        return program;
    const QString installed = QDir::cleanPath(program + QStringLiteral("/../share/wrenkeyer"));
    if (QDir(installed).exists(QStringLiteral("wav")))
        return installed;
    return program;
}

void setProgramFolderForTesting(const QString& folder)
{
    gProgramFolderOverride = folder;
}

void EndProgram()
{
    if (gEndProgram)
        gEndProgram();
    else
        QCoreApplication::exit(0);
}

void setEndProgramHandlerForTesting(std::function<void()> handler)
{
    gEndProgram = std::move(handler);
}
