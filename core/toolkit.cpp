#include "toolkit.h"

#include "core/service.h"

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QThread>

namespace {

int gPointer = kPointerDefault;

double logicalDpi(bool horizontal)
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return 96.0;
    const double dpi = horizontal ? screen->logicalDotsPerInchX() : screen->logicalDotsPerInchY();
    return dpi > 0 ? dpi : 96.0;
}

class SessionServices final : public DesktopServices
{
public:
    int messageBox(const MessageBoxRequest& request) override
    {
        QMessageBox box;
        box.setWindowTitle(request.title);
        box.setText(request.text);
        if (!request.detail.isEmpty())
            box.setDetailedText(request.detail);
        switch (request.style & 0xF0) {
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
        const bool yesNo = isYesNoStyle(request.style);
        if (yesNo) {
            QPushButton* yes = box.addButton(QMessageBox::Yes);
            QPushButton* no = box.addButton(QMessageBox::No);
            box.setDefaultButton((request.style & 0x100) ? no : yes);
        } else {
            box.setDefaultButton(box.addButton(QMessageBox::Ok));
        }
        execWithArrowPointer(box);
        if (!yesNo)
            return kAnswerOk;
        return box.clickedButton() == box.button(QMessageBox::Yes) ? kAnswerYes : kAnswerNo;
    }

    void beep() override
    {
        if (qobject_cast<QApplication*>(QCoreApplication::instance()))
            QApplication::beep();
    }

    void endProgram() override { QCoreApplication::exit(0); }

    QString programFolder() override { return QCoreApplication::applicationDirPath(); }
};

ServiceSlot<DesktopServices, SessionServices> gService;

} // namespace

DesktopServices& desktopServices()
{
    return gService.get();
}

void setDesktopServices(DesktopServices* services)
{
    gService.install(services);
}

int MsgBox(const QString& text, int style, const QString& title, const QString& detail)
{
    return desktopServices().messageBox({text, style, title, detail});
}

int execWithArrowPointer(QDialog& dialog)
{
    const bool busy = QApplication::overrideCursor() != nullptr;
    if (busy)
        QApplication::setOverrideCursor(Qt::ArrowCursor);
    const int result = dialog.exec();
    if (busy)
        QApplication::restoreOverrideCursor();
    return result;
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
    desktopServices().beep();
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
    return desktopServices().programFolder();
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

void EndProgram()
{
    desktopServices().endProgram();
}
