#pragma once

#include "core/form.h"

#include <QPointer>

#include <cstdint>
#include <memory>

class QLabel;
class QTimer;

// A window's outer rectangle in twips, single precision as the tour compares it.
struct TwipsRect
{
    float left = 0;
    float top = 0;
    float width = 0;
    float height = 0;

    float right() const { return left + width; }
    float bottom() const { return top + height; }
};

// Where the tour reads and moves window positions.
class TourGeometry
{
public:
    virtual ~TourGeometry() = default;
    virtual TwipsRect own() const = 0;
    virtual void moveOwn(float left, float top) = 0;
    // Read afresh at every tick: the operator may move the About box meanwhile.
    virtual TwipsRect about() const = 0;
};

// The real windows. The own position is kept in a record of its own and
// only mirrored onto the window: pixel rounding must not eat the 25-twip
// steps, and a desktop that refuses to move windows (Wayland) must not stall
// the tour.
class WindowTourGeometry : public TourGeometry
{
public:
    WindowTourGeometry(QWidget* own, QWidget* about);

    TwipsRect own() const override { return mOwn; }
    void moveOwn(float left, float top) override;
    TwipsRect about() const override;

private:
    QPointer<QWidget> mOwnWindow;
    QPointer<QWidget> mAboutWindow;
    TwipsRect mOwn;
    mutable TwipsRect mLastAbout;
};

// The author picture: opened from the About box, it travels once around the
// About box's edges and closes both windows with a farewell.
class FrmAuthPic : public Form
{
    Q_OBJECT

public:
    explicit FrmAuthPic(QObject* parent = nullptr);
    ~FrmAuthPic() override;

    void Timer1_Timer();
    void Picture1_DblClick();

    std::int16_t phase() const { return mPhase; }
    std::int32_t step() const { return mStep; }

    // Tests drive the tour over simulated windows; null returns to the real ones.
    // The source must outlive its use.
    void setGeometrySource(TourGeometry* source) { mGeometrySource = source; }

    // Controls, for tests; null while unloaded.
    QLabel* Picture1() const { return mPicture1; }
    QTimer* Timer1() const { return mTimer1; }

protected:
    QWidget* CreateWindow() override;
    void ControlsDestroyed() override;
    void Form_Load() override;
    void Form_Unload(VBool& cancel) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TourGeometry& geometry();

    std::int32_t mStep = 0;
    std::int16_t mPhase = 0;
    TourGeometry* mGeometrySource = nullptr;
    std::unique_ptr<WindowTourGeometry> mWindowGeometry;
    QLabel* mPicture1 = nullptr;
    QTimer* mTimer1 = nullptr;
};

FrmAuthPic& frmAuthPic();
