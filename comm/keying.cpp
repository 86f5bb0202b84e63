#include "comm/keying.h"

#include "comm/modcomm.h"
#include "comm/modgetsetcom.h"
#include "comm/txwatchdog.h"
#include "core/globals.h"
#include "core/toolkit.h"

#include <QThread>

namespace {

// How long a port just closed is left before it is opened again: some adapters refuse an open at once.
constexpr int kReopenSettleMs = 250;

const QString kSerialAdvice = QStringLiteral("\nUse setting to change the comm port.");
const QString kMethodAdvice = QStringLiteral("\nUse setting to change the PTT method.");
// How long the end of the program waits for the rig to take the last unkey.
constexpr int kHamlibFarewellMs = 2000;

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
    case PttMethod::Hamlib:
    case PttMethod::CM108:
        return true;
    }
    return false;
}

PttTarget pttTargetFromGlobals()
{
    PttTarget target;
    switch (gPTTMethod) {
    case 1:
        target.method = PttMethod::Hamlib;
        break;
    case 2:
        target.method = PttMethod::CM108;
        break;
    default:
        break;
    }
    target.commPort = gCommPort;
    // Only a serial line has a choice of two; the others show their state on the first indicator.
    target.pttLine = target.method == PttMethod::Serial ? gPTTLine : std::int16_t(1);
    target.hamlib = {gHamlibModel, gHamlibPath, gHamlibSpeed, gHamlibPTT};
    target.cm108Device = gCM108Device;
    target.cm108Gpio = gCM108GPIO;
    return target;
}

QString cm108DevicePath(const QString& setting, const QList<Cm108Device>& found)
{
    if (setting.startsWith(QLatin1Char('/')))
        return setting;
    for (const Cm108Device& device : found) {
        if (setting.isEmpty() || device.label.compare(setting, Qt::CaseInsensitive) == 0)
            return device.path;
    }
    return QString();
}

QString pttTargetName(const PttTarget& target)
{
    switch (target.method) {
    case PttMethod::Serial:
        return GetCommPortName(target.commPort);
    case PttMethod::Hamlib:
        if (target.hamlib.model == kHamlibNetModel)
            return QStringLiteral("rigctld ") + target.hamlib.path;
        return hamlibModelName(target.hamlib.model) + QLatin1Char(' ') + target.hamlib.path;
    case PttMethod::CM108:
        return target.cm108Device.isEmpty() ? QStringLiteral("CM108") : QStringLiteral("CM108 ") + target.cm108Device;
    }
    return QString();
}

QString keyingMessage(KeyingStep step, const PttTarget& target, bool advice)
{
    const QString name = pttTargetName(target);
    if (target.method != PttMethod::Serial) {
        QString text;
        switch (step) {
        case KeyingStep::Open:
        case KeyingStep::ClearDTR:
        case KeyingStep::ClearRTS:
            text = QStringLiteral("Error opening ") + name + QLatin1Char('.');
            break;
        case KeyingStep::Close:
            text = QStringLiteral("Error closing ") + name + QLatin1Char('.');
            break;
        case KeyingStep::Key:
            text = QStringLiteral("Error keying ") + name + QLatin1Char('.');
            break;
        case KeyingStep::Unkey:
            text = QStringLiteral("Error unkeying ") + name +
                   QStringLiteral(": the transmitter may still be keyed. The unkey is sent again.");
            break;
        case KeyingStep::NotKeyed:
            text = name + QStringLiteral(" did not go to transmit.");
            break;
        }
        return advice ? text + kMethodAdvice : text;
    }
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

Keying::Keying(QObject* parent) : QObject(parent) {}

Keying::~Keying()
{
    stopHamlib();
}

void Keying::stopHamlib()
{
    if (!mHamlibThread)
        return;
    // The watchdog's release names this rig, which is about to go.
    if (mHamlibTarget.method == PttMethod::Hamlib)
        txWatchdog().disarm();
    QMetaObject::invokeMethod(mRig, &HamlibRig::disconnectRig, Qt::QueuedConnection);
    QMetaObject::invokeMethod(mRig, &QObject::deleteLater, Qt::QueuedConnection);
    mHamlibThread->quit();
    mHamlibTarget = PttTarget();
    ++mHamlibSession;
    // A rig that does not answer must not hold the end of the program for long; the thread is then left
    // to the end of the process.
    if (!mHamlibThread->wait(kHamlibFarewellMs)) {
        mHamlibThread = nullptr;
        mRig = nullptr;
        return;
    }
    delete mHamlibThread;
    mHamlibThread = nullptr;
    mRig = nullptr;
}

void Keying::startHamlib()
{
    if (mHamlibThread)
        return;
    mHamlibThread = new QThread(this);
    mHamlibThread->setObjectName(QStringLiteral("hamlib"));
    mRig = new HamlibRig;
    mRig->moveToThread(mHamlibThread);
    // News of a rig given up on (a switch, the end) may still be on its way: it is not for the next one.
    const quint64 session = ++mHamlibSession;
    connect(mRig, &HamlibRig::opened, this, [this, session](const QString& reason) {
        if (session != mHamlibSession || reason.isEmpty() || mHamlibTarget.method != PttMethod::Hamlib)
            return;
        mLastDetail = hamlibDetail(reason);
        emit openFailed(keyingMessage(KeyingStep::Open, mHamlibTarget, true), mLastDetail);
    });
    connect(mRig, &HamlibRig::pttAnswered, this, [this](bool on, quint64 seq, const QString& reason, bool notKeyed) {
        (void)seq;
        if (!reason.isEmpty()) {
            mLastDetail = hamlibDetail(reason);
            emit answered(on, keyingMessage(on ? KeyingStep::Key : KeyingStep::Unkey, mHamlibTarget), mLastDetail);
        } else if (notKeyed) {
            mLastDetail = hamlibDetail(QStringLiteral("The rig reads back receive after the key."));
            emit answered(on, keyingMessage(KeyingStep::NotKeyed, mHamlibTarget), mLastDetail);
        } else {
            emit answered(on, QString(), QString());
        }
    });
    connect(mRig, &HamlibRig::released, this, [this, session] {
        if (session == mHamlibSession)
            emit answered(false, QString(), QString());
    });
    mHamlibThread->start();
}

QString Keying::hamlibDetail(const QString& reason) const
{
    const HamlibSettings& rig = mHamlibTarget.hamlib;
    return QStringLiteral("Hamlib model: %1 (%2)\nPath: %3\nReason: %4")
        .arg(QString::number(rig.model), hamlibModelName(rig.model), rig.path, reason);
}

KeyingNotice Keying::openCm108(const PttTarget& target)
{
    close(mCm108Target);
    mLastDetail.clear();
    const QString path = cm108DevicePath(target.cm108Device, findCm108Devices());
    if (path.isEmpty()) {
        mLastDetail = target.cm108Device.isEmpty()
                          ? QStringLiteral("Reason: no CM108 device is plugged in.")
                          : QStringLiteral("Reason: no CM108 device is named ") + target.cm108Device + QLatin1Char('.');
    } else if (!mCm108.open(path, target.cm108Gpio)) {
        mLastDetail = QStringLiteral("Device: ") + path + QStringLiteral("\nReason: ") + mCm108.error();
    }
    if (!mLastDetail.isEmpty())
        return {keyingMessage(KeyingStep::Open, target, true), mLastDetail};
    mCm108Target = target;
    return {};
}

KeyingNotice Keying::open(const PttTarget& target, bool* held)
{
    if (held)
        *held = false;
    if (target.method == PttMethod::CM108)
        return openCm108(target);
    if (target.method == PttMethod::Hamlib) {
        const QString refusal = hamlibSettingsRefusal(target.hamlib);
        mHamlibTarget = target;
        if (!refusal.isEmpty()) {
            mHamlibTarget = PttTarget();
            mLastDetail = QStringLiteral("Reason: ") + refusal;
            return {keyingMessage(KeyingStep::Open, target, true), mLastDetail};
        }
        startHamlib();
        QMetaObject::invokeMethod(
            mRig, [rig = mRig, settings = target.hamlib] { rig->connectRig(settings); }, Qt::QueuedConnection);
        return {};
    }
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
    if (target.method == PttMethod::CM108) {
        if (mCm108Target.method != PttMethod::CM108)
            return true;
        // The watchdog writes to this descriptor: it is done with it before it closes.
        txWatchdog().disarm();
        mCm108.close();
        mCm108Target = PttTarget();
        return true;
    }
    if (target.method == PttMethod::Hamlib) {
        if (mRig && mHamlibTarget.method == PttMethod::Hamlib) {
            // Released by the disconnect: the watchdog has nothing left to release.
            txWatchdog().disarm();
            QMetaObject::invokeMethod(mRig, &HamlibRig::disconnectRig, Qt::QueuedConnection);
        }
        mHamlibTarget = PttTarget();
        return true;
    }
    if (target.method != PttMethod::Serial || target.commPort == 0)
        return true;
    return CommClose(target.commPort) == 0;
}

KeyingSwitch Keying::switchTo(const PttTarget& from, const PttTarget& to, const std::function<void()>& beforeRollback)
{
    KeyingSwitch result{to, {}};
    if (from.method != PttMethod::Serial || to.method != PttMethod::Serial) {
        // From one method to another: what failed is told, and keying is left with the new method.
        if (!close(from))
            result.notices.append({keyingMessage(KeyingStep::Close, from), lastDetail()});
        if (to.method == PttMethod::Serial) {
            KeyingStep failed = KeyingStep::Open;
            if (to.commPort != 0 && !openSerial(to.commPort, failed)) {
                result.notices.append({keyingMessage(failed, to, true), CommErrorDetail()});
                CommClose(to.commPort);
                result.target.commPort = 0;
            }
            return result;
        }
        const KeyingNotice notice = open(to);
        if (!notice.text.isEmpty())
            result.notices.append(notice);
        return result;
    }
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
    if (target.method == PttMethod::Hamlib) {
        if (!mRig || mHamlibTarget != target) {
            // Nothing of ours holds that rig any more: closing it unkeyed it.
            if (!on)
                return Answer::Done;
            mLastDetail = QStringLiteral("Reason: the rig is not open.");
            return Answer::Failed;
        }
        QMetaObject::invokeMethod(
            mRig, [rig = mRig, on, seq = ++mSeq] { rig->setPtt(on, seq); }, Qt::QueuedConnection);
        return Answer::Pending;
    }
    if (target.method == PttMethod::CM108) {
        if (mCm108Target != target) {
            if (!on)
                return Answer::Done;
            mLastDetail = QStringLiteral("Reason: the CM108 device is not open.");
            return Answer::Failed;
        }
        if (mCm108.set(on))
            return Answer::Done;
        mLastDetail = QStringLiteral("Device: ") + mCm108.path() + QStringLiteral("\nReason: ") + mCm108.error();
        return Answer::Failed;
    }
    if (target.method != PttMethod::Serial)
        return Answer::Failed;
    mLastDetail.clear();
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
    stopHamlib();
    close(mCm108Target);
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
    if (target.method == PttMethod::CM108)
        return mCm108Target == target ? mCm108.path() : QString();
    return target.method == PttMethod::Serial ? CommDevice(target.commPort) : QString();
}

bool Keying::isOpen(const PttTarget& target) const
{
    if (target.method == PttMethod::Hamlib)
        return mRig && mHamlibTarget == target;
    if (target.method == PttMethod::CM108)
        return mCm108Target == target && mCm108.isOpen();
    return target.method == PttMethod::Serial && CommIsOpen(target.commPort);
}

bool Keying::watch(const PttTarget& target, int ms, std::function<void()> onDropped)
{
    if (target.method == PttMethod::Hamlib) {
        if (!isOpen(target))
            return false;
        // Posted to the rig's own thread, which answers whatever holds up the user-interface thread.
        txWatchdog().arm(
            [rig = mRig] {
                QMetaObject::invokeMethod(
                    rig, [rig] { rig->setPtt(false, 0); }, Qt::QueuedConnection);
            },
            TxWatchdog::Clock::now() + std::chrono::milliseconds(ms), std::move(onDropped));
        return true;
    }
    if (target.method == PttMethod::CM108) {
        if (!isOpen(target))
            return false;
        txWatchdog().arm([this] { mCm108.forceRelease(); }, TxWatchdog::Clock::now() + std::chrono::milliseconds(ms),
                         std::move(onDropped));
        return true;
    }
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
    if (!mLastDetail.isEmpty())
        return mLastDetail;
    return CommErrorDetail();
}

Keying& keying()
{
    static Keying* module = new Keying;
    return *module;
}
