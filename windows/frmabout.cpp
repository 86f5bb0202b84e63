#include "frmabout.h"

#include "core/placement.h"
#include "core/toolkit.h"
#include "core/version.h"
#include "windows/frmauthpic.h"
#include "windows/modrunbrowse.h"

#include <QApplication>
#include <QCursor>
#include <QGroupBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>

namespace {

QLabel* addLabel(QWidget* parent, const QString& name, const QString& designText, const QRect& geometry,
                 const QFont& font, const QColor& colour)
{
    auto* label = new QLabel(designText, parent);
    label->setObjectName(name);
    label->setGeometry(geometry);
    label->setAlignment(Qt::AlignCenter);
    label->setFont(font);
    if (colour.isValid()) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, colour);
        label->setPalette(palette);
    }
    return label;
}

QFont sized(QFont font, double pointSize, bool bold, bool underline = false)
{
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    font.setUnderline(underline);
    return font;
}

// The design assumes its own fonts; a wider stand-in shrinks until the text fits instead of being cut.
void fitText(QLabel* label)
{
    QFont font = label->font();
    const int room = label->contentsRect().width();
    while (font.pointSizeF() > 6.0 && QFontMetrics(font).horizontalAdvance(label->text()) > room)
        font.setPointSizeF(font.pointSizeF() - 0.25);
    label->setFont(font);
}

QCursor linkCursor()
{
    const QPixmap hand(QStringLiteral(":/images/linkhand.png"));
    if (hand.isNull())
        return QCursor(Qt::PointingHandCursor);
    return QCursor(hand, 5, 0);
}

} // namespace

FrmAbout& frmAbout()
{
    static FrmAbout* form = new FrmAbout(QCoreApplication::instance());
    return *form;
}

FrmAbout::FrmAbout(QObject* parent) : Form(parent) {}

QWidget* FrmAbout::CreateWindow()
{
    // A plain window rather than a dialog: Enter and Escape must press nothing.
    auto* window =
        new QWidget(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    window->setWindowTitle(QStringLiteral("About"));
    window->setFixedSize(twipsRect(0, 0, 5670, 3870).size());

    mFrame1 = new QGroupBox(window);
    mFrame1->setObjectName(QStringLiteral("Frame1"));
    mFrame1->setGeometry(twipsRect(120, 120, 5415, 3135));

    const QFont base = window->font();
    const QColor purple(128, 0, 128);
    mLblTitle = addLabel(mFrame1, QStringLiteral("lblTitle"), QStringLiteral("Title"), twipsRect(360, 240, 4575, 735),
                         sized(base, 13.5, true), purple);
    mLblVersion = addLabel(mFrame1, QStringLiteral("lblVersion"), QStringLiteral("Version Number Here"),
                           twipsRect(360, 720, 4575, 255), sized(base, 8.25, true), purple);

    auto* line1 = new QWidget(mFrame1);
    line1->setObjectName(QStringLiteral("Line1"));
    const int lineLeft = twipsToPixelsX(480);
    line1->setGeometry(lineLeft, twipsToPixelsY(1080) - 1, twipsToPixelsX(4800) - lineLeft, 2);
    QPalette linePalette = line1->palette();
    linePalette.setColor(QPalette::Window, linePalette.color(QPalette::WindowText));
    line1->setPalette(linePalette);
    line1->setAutoFillBackground(true);

    QFont arial(QStringLiteral("Arial"));
    arial.setStyleHint(QFont::SansSerif);
    mLblMsg2 = addLabel(mFrame1, QStringLiteral("lblMsg2"), QStringLiteral("This is a test !"),
                        twipsRect(480, 1200, 4335, 375), sized(arial, 14.25, true), QColor(192, 64, 0));
    mLblMsg1 = addLabel(mFrame1, QStringLiteral("lblMsg1"), QStringLiteral("Message 1"),
                        twipsRect(240, 1920, 4935, 255), sized(base, 8.25, true), QColor(192, 0, 0));
    mLblWebLink = addLabel(mFrame1, QStringLiteral("lblWebLink"), QStringLiteral("Link"),
                           twipsRect(360, 2160, 4575, 375), sized(base, 12, true, true), QColor(0, 0, 255));
    mLblWebLink->setCursor(linkCursor());
    mLblCopyright = addLabel(mFrame1, QStringLiteral("lblCopyright"), QStringLiteral("Copyright"),
                             twipsRect(120, 2760, 5175, 255), base, QColor());

    for (QLabel* clickable : {mLblTitle, mLblVersion, mLblWebLink})
        clickable->installEventFilter(this);

    mCmdOK = new QPushButton(QStringLiteral("&OK"), window);
    mCmdOK->setObjectName(QStringLiteral("cmdOK"));
    mCmdOK->setGeometry(twipsRect(2160, 3360, 1335, 375));
    mCmdOK->setAutoDefault(false);
    connect(mCmdOK, &QPushButton::clicked, this, &FrmAbout::cmdOK_Click);

    centreOver(window, QApplication::activeWindow());
    return window;
}

void FrmAbout::ControlsDestroyed()
{
    mFrame1 = nullptr;
    mLblTitle = mLblVersion = mLblMsg1 = mLblMsg2 = mLblWebLink = mLblCopyright = nullptr;
    mCmdOK = nullptr;
}

void FrmAbout::Form_Load()
{
    mEmail = contactEmail();
    mLblTitle->setText(kAppTitle);
    mLblVersion->setText(gVersion);
    mLblCopyright->setText(gCopyright);
    mLblMsg2->setText(QStringLiteral("Amateur Radio Freeware"));
    mLblMsg1->setText(QStringLiteral("You can contact me by clicking the link below !"));
    mLblWebLink->setText(mEmail);
    for (QLabel* label : {mLblTitle, mLblVersion, mLblMsg2, mLblMsg1, mLblWebLink, mLblCopyright})
        fitText(label);
}

void FrmAbout::Form_Activate()
{
    SetMousePointer(kPointerDefault);
}

void FrmAbout::cmdOK_Click()
{
    Unload();
}

void FrmAbout::lblTitle_Click()
{
    ShowAuthorPicture();
}

void FrmAbout::lblVersion_Click()
{
    ShowAuthorPicture();
}

void FrmAbout::lblWebLink_Click()
{
    ShellOpen(window(), QStringLiteral("mailto:") + mEmail, kSwHide);
}

void FrmAbout::ShowAuthorPicture()
{
    // The picture closes this box when it ends, so nothing here may touch a control afterwards.
    frmAuthPic().ShowModal();
}

bool FrmAbout::eventFilter(QObject* watched, QEvent* event)
{
    if (isLoaded() && event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const auto* label = qobject_cast<QLabel*>(watched);
        // A click is a left press and release over the same label.
        if (label && mouse->button() == Qt::LeftButton && label->rect().contains(mouse->position().toPoint())) {
            // The picture runs after the release has been delivered: it may close this box, labels and all.
            if (label == mLblTitle) {
                QMetaObject::invokeMethod(
                    this,
                    [this] {
                        if (isLoaded())
                            lblTitle_Click();
                    },
                    Qt::QueuedConnection);
                return true;
            }
            if (label == mLblVersion) {
                QMetaObject::invokeMethod(
                    this,
                    [this] {
                        if (isLoaded())
                            lblVersion_Click();
                    },
                    Qt::QueuedConnection);
                return true;
            }
            if (label == mLblWebLink) {
                lblWebLink_Click();
                return true;
            }
        }
    }
    return Form::eventFilter(watched, event);
}
