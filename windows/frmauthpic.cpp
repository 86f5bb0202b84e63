#include "frmauthpic.h"

#include "core/toolkit.h"
#include "windows/frmabout.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

namespace {

constexpr std::int16_t kLastPhase = 8;

TwipsRect toTwips(const QRect& pixels)
{
    const double tx = twipsPerPixelX();
    const double ty = twipsPerPixelY();
    return {static_cast<float>(pixels.x() * tx), static_cast<float>(pixels.y() * ty),
            static_cast<float>(pixels.width() * tx), static_cast<float>(pixels.height() * ty)};
}

QRect screenPixels()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
}

} // namespace

WindowTourGeometry::WindowTourGeometry(QWidget* own, QWidget* about)
    : mOwnWindow(own), mAboutWindow(about), mOwn(toTwips(own ? own->frameGeometry() : QRect())),
      mLastAbout(toTwips(about ? about->frameGeometry() : screenPixels()))
{
}

void WindowTourGeometry::moveOwn(float left, float top)
{
    mOwn.left = left;
    mOwn.top = top;
    if (mOwnWindow)
        mOwnWindow->move(qRound(left / twipsPerPixelX()), qRound(top / twipsPerPixelY()));
}

TwipsRect WindowTourGeometry::about() const
{
    if (mAboutWindow)
        mLastAbout = toTwips(mAboutWindow->frameGeometry());
    return mLastAbout;
}

FrmAuthPic& frmAuthPic()
{
    static FrmAuthPic* form = new FrmAuthPic(QCoreApplication::instance());
    return *form;
}

FrmAuthPic::FrmAuthPic(QObject* parent) : Form(parent) {}

FrmAuthPic::~FrmAuthPic() = default;

QWidget* FrmAuthPic::CreateWindow()
{
    // No caption and no title bar; a plain window rather than a dialog, so Enter and Escape press nothing.
    auto* window = new QWidget(nullptr, Qt::Dialog | Qt::FramelessWindowHint);
    window->setFixedSize(twipsRect(0, 0, 1320, 1440).size());

    mPicture1 = new QLabel(window);
    mPicture1->setObjectName(QStringLiteral("Picture1"));
    mPicture1->setGeometry(twipsRect(0, 0, 1335, 1455));
    // The raised panel stands in for the dialog border the frameless window lacks.
    mPicture1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    mPicture1->setLineWidth(2);
    mPicture1->setAlignment(Qt::AlignCenter);
    const qreal ratio = window->devicePixelRatioF();
    QPixmap picture(QStringLiteral(":/images/authpic.jpg"));
    if (!picture.isNull()) {
        picture =
            picture.scaled(mPicture1->contentsRect().size() * ratio, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        picture.setDevicePixelRatio(ratio);
        mPicture1->setPixmap(picture);
    }
    mPicture1->installEventFilter(this);

    mTimer1 = new QTimer(window);
    mTimer1->setInterval(0);
    connect(mTimer1, &QTimer::timeout, this, &FrmAuthPic::Timer1_Timer);
    return window;
}

void FrmAuthPic::ControlsDestroyed()
{
    mPicture1 = nullptr;
    mTimer1 = nullptr;
    mWindowGeometry.reset();
}

TourGeometry& FrmAuthPic::geometry()
{
    if (mGeometrySource)
        return *mGeometrySource;
    return *mWindowGeometry;
}

void FrmAuthPic::Form_Load()
{
    mStep = 25;
    mWindowGeometry = std::make_unique<WindowTourGeometry>(window(), frmAbout().window());
    // Every opening starts over the About box's centre, also when it resumes a tour cut short.
    TourGeometry& g = geometry();
    const TwipsRect about = g.about();
    const TwipsRect own = g.own();
    g.moveOwn(about.left + about.width / 2.0f - own.width / 2.0f, about.top + about.height / 2.0f - own.height / 2.0f);
    mTimer1->setInterval(10);
    mTimer1->start();
}

void FrmAuthPic::Form_Unload(VBool& cancel)
{
    (void)cancel;
    if (mTimer1)
        mTimer1->stop();
}

void FrmAuthPic::Timer1_Timer()
{
    if (!isLoaded())
        return;
    if (mPhase == 0)
        mPhase = 1;

    TourGeometry& g = geometry();
    const float step = static_cast<float>(mStep);
    TwipsRect own = g.own();
    switch (mPhase) {
    case 1:
    case 5:
        g.moveOwn(own.left, own.top + step);
        break;
    case 2:
    case 6:
        g.moveOwn(own.left - step, own.top);
        break;
    case 3:
    case 7:
        g.moveOwn(own.left, own.top - step);
        break;
    case 4:
        g.moveOwn(own.left + step, own.top);
        break;
    default:
        break;
    }

    own = g.own();
    const TwipsRect about = g.about();
    bool passed = false;
    switch (mPhase) {
    case 1:
    case 5:
        passed = own.bottom() > about.bottom();
        break;
    case 2:
        passed = own.left < about.left;
        break;
    case 3:
        passed = own.top < about.top;
        break;
    case 4:
        passed = own.right() > about.right();
        break;
    case 6:
        passed = own.left < about.left + about.width / 2.0f - own.width / 2.0f;
        break;
    case 7:
        passed = own.top < about.top + about.height / 2.0f - own.height / 2.0f;
        break;
    case kLastPhase:
        mPhase = 0;
        Picture1_DblClick();
        return;
    default:
        break;
    }
    if (passed)
        ++mPhase;
}

void FrmAuthPic::Picture1_DblClick()
{
    // The tour is over once the farewell shows: ticks behind the modal box would start another one.
    if (mTimer1)
        mTimer1->stop();
    MsgBox(QStringLiteral("Thanks for using the ") + kAppTitle, MsgStyle::Information, QStringLiteral("Elmer Says..."));
    Unload();
    frmAbout().Unload();
}

bool FrmAuthPic::eventFilter(QObject* watched, QEvent* event)
{
    if (isLoaded() && watched == mPicture1 && event->type() == QEvent::MouseButtonDblClick &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        Picture1_DblClick();
        return true;
    }
    return Form::eventFilter(watched, event);
}
