#include "form.h"

#include "core/toolkit.h"

#include <QCloseEvent>
#include <QEventLoop>

Form::Form(QObject* parent) : QObject(parent) {}

Form::~Form()
{
    delete mWindow.data();
}

void Form::Load()
{
    if (isLoaded())
        return;
    mWindow = CreateWindow();
    mWindow->installEventFilter(this);
    Form_Load();
}

void Form::Show()
{
    Load();
    if (!isLoaded())
        return;
    mWindow->show();
    mWindow->raise();
    mWindow->activateWindow();
}

void Form::ShowModal()
{
    Load();
    if (!isLoaded())
        return;
    QEventLoop loop;
    connect(this, &Form::unloaded, &loop, &QEventLoop::quit);
    mWindow->setWindowModality(Qt::ApplicationModal);
    Show();
    if (isLoaded())
        loop.exec();
    // A quitting application ends nested loops early; the window must not outlive the call.
    if (isLoaded()) {
        VBool cancel = kFalse;
        Form_Unload(cancel);
        destroyWindow();
    }
}

void Form::Hide()
{
    if (isLoaded())
        mWindow->hide();
}

bool Form::Unload()
{
    if (!isLoaded())
        return true;
    mWindow->close();
    return !isLoaded();
}

bool Form::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != mWindow.data())
        return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::Close: {
        if (mInUnload)
            return false;
        VBool cancel = kFalse;
        mInUnload = true;
        Form_Unload(cancel);
        mInUnload = false;
        if (cancel != kFalse) {
            event->ignore();
            return true;
        }
        event->accept();
        destroyWindow();
        return true;
    }
    case QEvent::Show:
    case QEvent::WindowActivate:
        Form_Activate();
        break;
    case QEvent::Resize:
    case QEvent::WindowStateChange:
        Form_Resize();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void Form::destroyWindow()
{
    QWidget* window = mWindow.data();
    if (!window)
        return;
    window->removeEventFilter(this);
    window->hide();
    mWindow.clear();
    ControlsDestroyed();
    // A handler of one of its controls may still be on the stack.
    window->deleteLater();
    emit unloaded();
}

QRect twipsRect(double left, double top, double width, double height)
{
    return QRect(twipsToPixelsX(left), twipsToPixelsY(top), twipsToPixelsX(width), twipsToPixelsY(height));
}
