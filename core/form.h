#pragma once

#include "core/globals.h"

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QWidget>

// A program window. The object lives for the whole run and keeps its fields;
// its Qt window and controls exist only from load to unload, and every load
// builds them afresh from their design values.
class Form : public QObject
{
    Q_OBJECT

public:
    explicit Form(QObject* parent = nullptr);
    ~Form() override;

    bool isLoaded() const { return !mWindow.isNull(); }
    QWidget* window() const { return mWindow.data(); }

    // Builds the window and runs Form_Load; does nothing when already loaded.
    void Load();
    void Show();
    // Shows the window application-modal and returns once it has been unloaded.
    void ShowModal();
    void Hide();
    // Asks the window to close: Form_Unload decides. True when it went away.
    bool Unload();

signals:
    void unloaded();

protected:
    // Builds the top-level window and its controls.
    virtual QWidget* CreateWindow() = 0;
    // The controls are gone: forget every pointer to them.
    virtual void ControlsDestroyed() {}
    virtual void Form_Load() {}
    virtual void Form_Activate() {}
    virtual void Form_Resize() {}
    virtual void Form_Unload(VBool& cancel) { (void)cancel; }

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void destroyWindow();

    QPointer<QWidget> mWindow;
    bool mInUnload = false;
};

// A rectangle given in twips, in pixels of the screen.
QRect twipsRect(double left, double top, double width, double height);
