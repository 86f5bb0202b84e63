#include "player.h"

#include "comm/modcomm.h"
#include "comm/modgetsetcom.h"
#include "core/toolkit.h"
#include "platform/mci.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

namespace {

constexpr int kKeyLeadMs = 250;
constexpr int kKeyTailMs = 250;
// The longest the player waits between two questions to the audio device.
constexpr int kPollMs = 10;

const QString kAlias = QStringLiteral("voice1");

QString lineName(std::int16_t pttLine)
{
    return pttLine == 1 ? QStringLiteral("DTR") : QStringLiteral("RTS");
}

QString quoted(const QString& s)
{
    return QLatin1Char('"') + s + QLatin1Char('"');
}

} // namespace

std::int16_t lineCodeForPTT(std::int16_t pttLine)
{
    switch (pttLine) {
    case 1:
        return kLineDTR;
    case 2:
        return kLineRTS;
    default:
        return 0;
    }
}

void MessagePlayer::cmdStop_Click()
{
    mStopRequested = kTrue;
    if (mWait)
        mWait->quit();
}

bool MessagePlayer::key(std::int16_t port, std::int16_t pttLine)
{
    if (CommSetLine(port, lineCodeForPTT(pttLine), kTrue) == 0) {
        mView.setLineIndicator(pttLine, true);
        return true;
    }
    MsgBox(QStringLiteral("Error setting %1 line on %2.").arg(lineName(pttLine), GetCommPortName(port)),
           MsgStyle::Critical, kAppTitle, CommErrorDetail());
    return false;
}

void MessagePlayer::unkey(std::int16_t port, std::int16_t pttLine)
{
    // A port closed meanwhile (settings, exit) had its lines dropped by the
    // driver on close; asking a closed slot could reach a reused descriptor.
    if (!CommIsOpen(port)) {
        if (mView.controlsAlive())
            mView.setLineIndicator(pttLine, false);
        return;
    }
    if (CommSetLine(port, lineCodeForPTT(pttLine), kFalse) == 0) {
        if (mView.controlsAlive())
            mView.setLineIndicator(pttLine, false);
        return;
    }
    const QString detail = CommErrorDetail();
    const QString text = QStringLiteral("Error clearing %1 line on %2.").arg(lineName(pttLine), GetCommPortName(port));
    // Closing the port makes the driver drop the lines: the transmitter must not stay keyed.
    CommClose(port);
    if (mView.controlsAlive())
        MsgBox(text, MsgStyle::Critical, kAppTitle, detail);
}

void MessagePlayer::waitForEvents()
{
    QEventLoop loop;
    QTimer tick;
    tick.setSingleShot(true);
    QObject::connect(&tick, &QTimer::timeout, &loop, &QEventLoop::quit);
    tick.start(kPollMs);
    mWait = &loop;
    loop.exec();
    mWait = nullptr;
}

void MessagePlayer::PlayMessage(int n)
{
    if (n < 1 || n > kMessageCount || mPlaying)
        return;
    const QString path = gWaveFiles[n];
    if (path.isEmpty())
        return;
    mPlaying = true;
    // Cleared before anything can pump events, so a STOP pressed at once counts.
    mStopRequested = kFalse;

    // The player unkeys the port and line it keyed, whatever the settings say by then.
    std::int16_t keyedPort = 0;
    std::int16_t keyedLine = 0;
    if (gCommPort > 0 && lineCodeForPTT(gPTTLine) != 0) {
        keyedPort = gCommPort;
        keyedLine = gPTTLine;
        key(keyedPort, keyedLine);
    }

    std::int32_t audioError = 0;
    if (mView.controlsAlive()) {
        mView.EnableMessageButtons(false);
        mView.setMessageStatus(QStringLiteral("Sending ") + quoted(mView.buttonCaption(n - 1)) +
                               QStringLiteral(" Message"));
        DoEvents();
    }
    if (mView.controlsAlive()) {
        Sleep(kKeyLeadMs);
        mciSendString(QStringLiteral("close all"));
        audioError =
            mciSendString(QStringLiteral("open ") + quoted(path) + QStringLiteral(" type waveaudio alias ") + kAlias);
        if (audioError == 0)
            audioError = mciSendString(QStringLiteral("play ") + kAlias);

        QString reply;
        while (audioError == 0) {
            waitForEvents();
            if (!mView.controlsAlive() || mStopRequested == kTrue)
                break;
            reply.clear();
            mciSendString(QStringLiteral("status ") + kAlias + QStringLiteral(" mode"), &reply);
            if (reply.left(4).toUpper() != QLatin1String("PLAY"))
                break;
        }
        mciSendString(QStringLiteral("close ") + kAlias);
    }

    // Once the window has been unloaded for good the program is ending: the
    // port is already closed (its lines dropped), so nothing is waited for or keyed.
    const bool alive = mView.controlsAlive();
    if (alive) {
        Sleep(kKeyTailMs);
        mView.setMessageStatus(QString());
    }
    if (keyedPort > 0)
        unkey(keyedPort, keyedLine);
    if (mView.controlsAlive())
        mView.EnableMessageButtons(true);
    mPlaying = false;

    if (audioError != 0 && mView.controlsAlive()) {
        const QString file = QFileInfo(path).fileName();
        MsgBox(QStringLiteral("Could not play ") + quoted(file) + QStringLiteral(".\n") + mciErrorText(audioError),
               MsgStyle::Exclamation, kAppTitle, path);
    }
}
