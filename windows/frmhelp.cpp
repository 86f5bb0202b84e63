#include "frmhelp.h"

#include "core/placement.h"
#include "core/resizer.h"
#include "core/toolkit.h"
#include "core/version.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>

namespace {

const QString kParagraphBreak = QStringLiteral("\r\n\r\n");

} // namespace

QString HelpText()
{
    QString text;
    text += QStringLiteral("Use the Settings menu to set the com port your radio interface is connected to and the "
                           "control line (DTR or RTS) that will key your rig's PTT.  My own radio interface keys "
                           "PTT with the RTS line.");
    text += kParagraphBreak;
    text += QStringLiteral("The Wren Voice Keyer plays pre-recorded WAV files of any length.  Record them with any "
                           "sound recording program, for example a CQ file, a QTH file and a CQ CONTEST file.  I "
                           "record mine as 8-bit, 8,000 Hz, mono WAV files.");
    text += kParagraphBreak;
    text += QStringLiteral("To set a button, right click it to bring up the Set Wave File form.  Enter a caption of "
                           "no more than 10 characters, click the Select Wave File button, navigate to your WAV file "
                           "and click Open, then click the OK button.  This sets the WAV file to the button.");
    text += kParagraphBreak;
    text += QStringLiteral("To clear a button, just leave the caption field blank and click OK.");
    text += kParagraphBreak;
    text += QStringLiteral("To play a button just left click it!  To stop a button that is playing click the Stop "
                           "button.");
    text += kParagraphBreak;
    text += QStringLiteral("You can keep the Wren Voice Keyer on top of all other programs when it is running by "
                           "setting Keep On Top to yes.");
    text += kParagraphBreak;
    text += QStringLiteral("There is a nine minute ID Timer in the lower right hand corner of the main screen, in "
                           "the status bar.  Double click it to start it; double click it again to turn it off and "
                           "reset it.  When the timer expires, it will beep and display the message 'Time to ID.'");
    text += kParagraphBreak;
    text += QStringLiteral("I can be contacted at:  ") + contactEmail() + QStringLiteral("  or on the web at  ") +
            contactWeb();
    return text;
}

FrmHelp& frmHelp()
{
    static FrmHelp* form = new FrmHelp(QCoreApplication::instance());
    return *form;
}

FrmHelp::FrmHelp(QObject* parent) : Form(parent) {}

QWidget* FrmHelp::CreateWindow()
{
    // A plain window rather than a dialog: Enter and Escape must press nothing.
    auto* window = new QWidget(nullptr, Qt::Dialog);
    window->setWindowTitle(QStringLiteral("Help"));
    window->resize(twipsRect(0, 0, 8070, 5640).size());

    mTxtMsg = new QPlainTextEdit(window);
    mTxtMsg->setObjectName(QStringLiteral("txtMsg"));
    mTxtMsg->setGeometry(twipsRect(120, 120, 7815, 4815));
    mTxtMsg->setReadOnly(true);
    // Read-only still lets the operator select and copy, with the mouse and the keyboard.
    mTxtMsg->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    mTxtMsg->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    mTxtMsg->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mTxtMsg->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QFont font = mTxtMsg->font();
    font.setPointSizeF(8.25);
    font.setBold(true);
    mTxtMsg->setFont(font);
    QPalette palette = mTxtMsg->palette();
    palette.setColor(QPalette::Text, QColor(0, 0, 255));
    mTxtMsg->setPalette(palette);

    mCmdClose = new QPushButton(QStringLiteral("Close"), window);
    mCmdClose->setObjectName(QStringLiteral("cmdClose"));
    mCmdClose->setGeometry(twipsRect(3480, 5160, 1095, 375));
    mCmdClose->setAutoDefault(false);
    connect(mCmdClose, &QPushButton::clicked, this, &FrmHelp::cmdClose_Click);

    QWidget::setTabOrder(mTxtMsg, mCmdClose);
    new ProportionalResizer(window);

    centreOver(window);
    return window;
}

void FrmHelp::ControlsDestroyed()
{
    mTxtMsg = nullptr;
    mCmdClose = nullptr;
}

void FrmHelp::Form_Load()
{
    mTxtMsg->setPlainText(HelpText());
}

void FrmHelp::Form_Activate()
{
    SetMousePointer(kPointerDefault);
}

void FrmHelp::cmdClose_Click()
{
    Unload();
}
