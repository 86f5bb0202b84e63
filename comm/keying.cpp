#include "comm/keying.h"

#include "comm/modcomm.h"
#include "comm/modgetsetcom.h"
#include "core/globals.h"
#include "core/toolkit.h"

namespace {

// How long a port just closed is left before it is opened again: some adapters refuse an open at once.
constexpr int kReopenSettleMs = 250;

const QString kSerialAdvice = QStringLiteral("\nUse setting to change the comm port.");

QString lineName(std::int16_t pttLine)
{
    return pttLine == 1 ? QStringLiteral("DTR") : QStringLiteral("RTS");
}

// Drops both lines of an open port; the step that failed, or Open when none did.
KeyingStep clearSerialLines(std::int16_t port)
{
    if (CommSetLine(port, kLineDTR, kFalse) != 0)
        return KeyingStep::ClearDTR;
    if (CommSetLine(port, kLineRTS, kFalse) != 0)
        return KeyingStep::ClearRTS;
    return KeyingStep::Open;
}

// Opens a port and drops both lines; on failure the step that failed and true.
bool openSerial(std::int16_t port, KeyingStep& failed)
{
    if (CommOpen(port, GetCommPortName(port), kCommSettings) != 0) {
        failed = KeyingStep::Open;
        return false;
    }
    failed = clearSerialLines(port);
    return failed == KeyingStep::Open;
}

bool isSerialPort(std::int16_t port)
{
    return port >= 1 && port <= kPortCount;
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

bool PttTarget::keysSomething() const
{
    switch (method) {
    case PttMethod::Serial:
        return commPort > 0 && lineCodeForPTT(pttLine) != 0;
    default:
        return false;
    }
}

PttTarget pttTargetFromGlobals()
{
    PttTarget target;
    target.commPort = gCommPort;
    target.pttLine = gPTTLine;
    return target;
}

QString pttTargetName(const PttTarget& target)
{
    switch (target.method) {
    case PttMethod::Serial:
        return GetCommPortName(target.commPort);
    default:
        return QString();
    }
}

QString keyingMessage(KeyingStep step, const PttTarget& target, bool advice)
{
    const QString name = pttTargetName(target);
    QString text;
    switch (step) {
    case KeyingStep::Open:
        text = QStringLiteral("Error opening ") + name + QLatin1Char('.');
        break;
    case KeyingStep::ClearDTR:
        text = QStringLiteral("Error clearing DTR line on ") + name + QLatin1Char('.');
        break;
    case KeyingStep::ClearRTS:
        text = QStringLiteral("Error clearing RTS line on ") + name + QLatin1Char('.');
        break;
    case KeyingStep::Close:
        // The old wording, which names the port by its number and ends without a full stop.
        return QStringLiteral("Error closing COM") + QString::number(target.commPort);
    case KeyingStep::Key:
        text = QStringLiteral("Error setting %1 line on %2.").arg(lineName(target.pttLine), name);
        break;
    case KeyingStep::Unkey:
        text = QStringLiteral("Error clearing %1 line on %2.").arg(lineName(target.pttLine), name);
        break;
    case KeyingStep::NotKeyed:
        text = name + QStringLiteral(" did not go to transmit.");
        break;
    }
    return advice ? text + kSerialAdvice : text;
}

KeyingNotice Keying::open(const PttTarget& target, bool* held)
{
    if (held)
        *held = false;
    if (target.method != PttMethod::Serial || target.commPort <= 0)
        return {};
    const std::int16_t port = target.commPort;
    CommClose(port);
    Sleep(kReopenSettleMs);
    KeyingStep failed = KeyingStep::Open;
    if (openSerial(port, failed))
        return {};
    KeyingNotice notice{keyingMessage(failed, target, true), CommErrorDetail()};
    if (failed == KeyingStep::Open) {
        if (held)
            *held = CommErrorIsPortHeld();
    } else {
        // A port whose lines cannot be dropped is not kept: closing it lets the driver drop them.
        CommClose(port);
    }
    return notice;
}

bool Keying::close(const PttTarget& target)
{
    if (target.method != PttMethod::Serial || target.commPort == 0)
        return true;
    return CommClose(target.commPort) == 0;
}

KeyingSwitch Keying::switchTo(const PttTarget& from, const PttTarget& to, const std::function<void()>& beforeRollback)
{
    KeyingSwitch result{to, {}};
    if (from.commPort != 0 && !close(from))
        result.notices.append({keyingMessage(KeyingStep::Close, from), CommErrorDetail()});
    if (to.commPort == 0)
        return result;

    KeyingStep failed = KeyingStep::Open;
    if (openSerial(to.commPort, failed))
        return result;
    result.notices.append({keyingMessage(failed, to, true), CommErrorDetail()});
    // What the attempt opened must not stay held, perhaps with a line up, under no name.
    CommClose(to.commPort);
    result.target.commPort = from.commPort;
    if (!isSerialPort(from.commPort))
        return result;

    if (beforeRollback)
        beforeRollback();
    // A port whose close failed above is still held: it only needs its lines dropped.
    if (CommIsOpen(from.commPort)) {
        failed = clearSerialLines(from.commPort);
        if (failed == KeyingStep::Open)
            return result;
    } else if (openSerial(from.commPort, failed)) {
        return result;
    }
    result.notices.append({keyingMessage(failed, result.target, true), CommErrorDetail()});
    CommClose(from.commPort);
    result.target.commPort = 0;
    return result;
}

Keying::Answer Keying::key(const PttTarget& target, bool on)
{
    if (target.method != PttMethod::Serial)
        return Answer::Failed;
    // A port closed meanwhile (settings, exit) had its lines dropped by the driver on close; asking a
    // closed slot could reach a reused descriptor.
    if (!on && !CommIsOpen(target.commPort))
        return Answer::Done;
    return CommSetLine(target.commPort, lineCodeForPTT(target.pttLine), on ? kTrue : kFalse) == 0 ? Answer::Done
                                                                                                  : Answer::Failed;
}

bool Keying::reopen(const PttTarget& target)
{
    if (target.method != PttMethod::Serial || !isSerialPort(target.commPort))
        return false;
    KeyingStep failed = KeyingStep::Open;
    if (openSerial(target.commPort, failed))
        return true;
    CommClose(target.commPort);
    return false;
}

void Keying::closeAll()
{
    for (std::int16_t port = 1; port <= kPortCount; ++port)
        CommClose(port);
}

bool Keying::isGone(const PttTarget& target) const
{
    return target.method == PttMethod::Serial && target.commPort > 0 && CommIsGone(target.commPort);
}

bool Keying::isBack(const PttTarget& target) const
{
    return target.method == PttMethod::Serial && CommIsBack(target.commPort);
}

QString Keying::device(const PttTarget& target) const
{
    return target.method == PttMethod::Serial ? CommDevice(target.commPort) : QString();
}

bool Keying::isOpen(const PttTarget& target) const
{
    return target.method == PttMethod::Serial && CommIsOpen(target.commPort);
}

bool Keying::watch(const PttTarget& target, int ms, std::function<void()> onDropped)
{
    if (target.method != PttMethod::Serial)
        return false;
    return CommWatchLine(target.commPort, lineCodeForPTT(target.pttLine), ms, std::move(onDropped));
}

void Keying::unwatch()
{
    CommUnwatchLine();
}

QString Keying::lastDetail() const
{
    return CommErrorDetail();
}

Keying& keying()
{
    static Keying* module = new Keying;
    return *module;
}
