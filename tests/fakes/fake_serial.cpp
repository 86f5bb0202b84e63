#include "tests/fakes/fake_serial.h"

#include "comm/modcomm.h"
#include "comm/portmap.h"
#include "comm/serial_linux.h"
#include "core/globals.h"
#include "core/settingkeys.h"

#include <QRegularExpression>

#include <cerrno>
#include <stdexcept>

FakeSerialApi::FakeSerialApi()
{
    mClock.start();
}

FakeSerialApi::~FakeSerialApi()
{
    // Only step aside if nobody has installed another implementation meanwhile.
    if (&serialApi() == this)
        setSerialApi(nullptr);
}

void FakeSerialApi::install()
{
    setSerialApi(this);
}

void FakeSerialApi::failOn(const QString& call, std::int32_t error, int count, int skip)
{
    const std::lock_guard guard(mLock);
    // errno 0 would make a failure look like success to the code under test.
    if (count > 0)
        mFailures[call].append(Failure{error != 0 ? error : EIO, count, skip});
}

void FakeSerialApi::throwOn(const QString& call)
{
    const std::lock_guard guard(mLock);
    mFailures[call].append(Failure{0, 1, 0});
}

QList<FakeSerialApi::Call> FakeSerialApi::calls() const
{
    const std::lock_guard guard(mLock);
    return mCalls;
}

bool FakeSerialApi::isOpen(CommHandle handle) const
{
    const std::lock_guard guard(mLock);
    return mPorts.value(handle).open;
}

Dcb FakeSerialApi::appliedDcb(CommHandle handle) const
{
    const std::lock_guard guard(mLock);
    return mPorts.value(handle).state;
}

std::int32_t FakeSerialApi::GetLastError()
{
    const std::lock_guard guard(mLock);
    return mLastError;
}

QStringList FakeSerialApi::callNames() const
{
    const std::lock_guard guard(mLock);
    QStringList names;
    for (const Call& call : mCalls)
        names << call.name;
    return names;
}

QList<FakeSerialApi::Call> FakeSerialApi::callsNamed(const QString& name) const
{
    const std::lock_guard guard(mLock);
    QList<Call> named;
    for (const Call& call : mCalls) {
        if (call.name == name)
            named << call;
    }
    return named;
}

FakeSerialApi::Lines FakeSerialApi::lineState(CommHandle handle) const
{
    const std::lock_guard guard(mLock);
    const Port port = mPorts.value(handle);
    return port.open ? port.lines : Lines{};
}

CommHandle FakeSerialApi::handleOf(const QString& name) const
{
    const std::lock_guard guard(mLock);
    CommHandle last = kInvalidHandle;
    for (auto it = mPorts.constBegin(); it != mPorts.constEnd(); ++it) {
        if (it->name != name)
            continue;
        if (it->open)
            return it.key();
        last = it.key();
    }
    return last;
}

void FakeSerialApi::clear()
{
    const std::lock_guard guard(mLock);
    mCalls.clear();
    mFailures.clear();
}

void FakeSerialApi::reset()
{
    const std::lock_guard guard(mLock);
    clear();
    mPorts.clear();
    mDevicePaths.clear();
    mMessages.clear();
    mUnplugged.clear();
    mPortDefaults = Dcb{9600, 8, 'N', 10};
    mNextHandle = 3;
    mLastError = 0;
    mOpenRaisesLines = true;
    mClock.restart();
}

std::int32_t FakeSerialApi::scripted(const QString& call)
{
    auto it = mFailures.find(call);
    if (it == mFailures.end() || it->isEmpty())
        return 0;
    Failure& next = it->first();
    if (next.skip > 0) {
        --next.skip;
        return 0;
    }
    const std::int32_t error = next.error;
    if (--next.count == 0)
        it->removeFirst();
    if (error == 0) {
        finish(call, kInvalidHandle, QStringLiteral("(scripted fault)"), EIO);
        throw std::runtime_error("scripted fault in " + call.toStdString());
    }
    return error;
}

FakeSerialApi::Port* FakeSerialApi::start(const QString& call, CommHandle handle, std::int32_t& error)
{
    error = scripted(call);
    const auto it = mPorts.find(handle);
    if (error == 0 && (it == mPorts.end() || !it->open))
        error = EBADF;
    // A hung-up tty refuses everything but the close, as Linux does.
    if (error == 0 && mUnplugged.contains(it->name) && call != QLatin1String("CloseHandle"))
        error = EIO;
    return error == 0 ? &*it : nullptr;
}

bool FakeSerialApi::finish(const QString& call, CommHandle handle, const QString& arg, std::int32_t error)
{
    mLastError = error;
    mCalls.append(Call{call, handle, arg, mClock.elapsed(), error == 0, error});
    return error == 0;
}

CommHandle FakeSerialApi::CreateFile(const QString& name)
{
    const std::lock_guard guard(mLock);
    std::int32_t error = scripted(QStringLiteral("CreateFile"));
    if (error == 0 && mUnplugged.contains(name))
        error = ENOENT;
    if (error == 0 && isOpen(name))
        error = EBUSY;
    if (error != 0) {
        finish(QStringLiteral("CreateFile"), kInvalidHandle, name, error);
        return kInvalidHandle;
    }
    const CommHandle handle = mNextHandle++;
    mPorts.insert(handle, Port{name, true, Lines{mOpenRaisesLines, mOpenRaisesLines, false}, mPortDefaults});
    finish(QStringLiteral("CreateFile"), handle, name, 0);
    return handle;
}

bool FakeSerialApi::SetupComm(CommHandle handle, std::uint32_t inQueue, std::uint32_t outQueue)
{
    const std::lock_guard guard(mLock);
    std::int32_t error = 0;
    start(QStringLiteral("SetupComm"), handle, error);
    return finish(QStringLiteral("SetupComm"), handle, QStringLiteral("%1,%2").arg(inQueue).arg(outQueue), error);
}

bool FakeSerialApi::PurgeComm(CommHandle handle, std::uint32_t flags)
{
    const std::lock_guard guard(mLock);
    std::int32_t error = 0;
    start(QStringLiteral("PurgeComm"), handle, error);
    return finish(QStringLiteral("PurgeComm"), handle, QString::number(flags), error);
}

bool FakeSerialApi::SetCommTimeouts(CommHandle handle, const CommTimeouts& timeouts)
{
    const std::lock_guard guard(mLock);
    std::int32_t error = 0;
    start(QStringLiteral("SetCommTimeouts"), handle, error);
    const QString arg = QStringLiteral("%1,%2,%3,%4,%5")
                            .arg(timeouts.readIntervalTimeout)
                            .arg(timeouts.readTotalTimeoutMultiplier)
                            .arg(timeouts.readTotalTimeoutConstant)
                            .arg(timeouts.writeTotalTimeoutMultiplier)
                            .arg(timeouts.writeTotalTimeoutConstant);
    return finish(QStringLiteral("SetCommTimeouts"), handle, arg, error);
}

bool FakeSerialApi::GetCommState(CommHandle handle, Dcb& dcb)
{
    const std::lock_guard guard(mLock);
    std::int32_t error = 0;
    if (const Port* port = start(QStringLiteral("GetCommState"), handle, error))
        dcb = port->state;
    return finish(QStringLiteral("GetCommState"), handle, QString(), error);
}

bool FakeSerialApi::BuildCommDCB(const QString& settings, Dcb& dcb)
{
    const std::lock_guard guard(mLock);
    std::int32_t error = scripted(QStringLiteral("BuildCommDCB"));
    if (error == 0 && !ParseModeString(settings, dcb))
        error = EINVAL;
    return finish(QStringLiteral("BuildCommDCB"), kInvalidHandle, settings, error);
}

bool FakeSerialApi::SetCommState(CommHandle handle, const Dcb& dcb)
{
    const std::lock_guard guard(mLock);
    std::int32_t error = 0;
    if (Port* port = start(QStringLiteral("SetCommState"), handle, error))
        port->state = dcb;
    return finish(QStringLiteral("SetCommState"), handle, modeString(dcb), error);
}

bool FakeSerialApi::EscapeCommFunction(CommHandle handle, std::uint32_t function)
{
    const std::lock_guard guard(mLock);
    std::int32_t error = 0;
    if (Port* port = start(QStringLiteral("EscapeCommFunction"), handle, error)) {
        switch (function) {
        case CommFunction::SetDtr:
        case CommFunction::ClrDtr:
            port->lines.dtr = function == CommFunction::SetDtr;
            break;
        case CommFunction::SetRts:
        case CommFunction::ClrRts:
            port->lines.rts = function == CommFunction::SetRts;
            break;
        case CommFunction::SetBreak:
        case CommFunction::ClrBreak:
            port->lines.brk = function == CommFunction::SetBreak;
            break;
        default:
            error = EINVAL;
            break;
        }
    }
    return finish(QStringLiteral("EscapeCommFunction"), handle, QString::number(function), error);
}

bool FakeSerialApi::ForceLineDown(CommHandle handle, std::uint32_t function)
{
    const std::lock_guard guard(mLock);
    const auto it = mPorts.find(handle);
    const bool open = it != mPorts.end() && it->open;
    if (open && function == CommFunction::ClrDtr)
        it->lines.dtr = false;
    else if (open && function == CommFunction::ClrRts)
        it->lines.rts = false;
    else if (open && function == CommFunction::ClrBreak)
        it->lines.brk = false;
    const bool ok = open && (function == CommFunction::ClrDtr || function == CommFunction::ClrRts ||
                             function == CommFunction::ClrBreak);
    mCalls.append(
        Call{QStringLiteral("ForceLineDown"), handle, QString::number(function), mClock.elapsed(), ok, ok ? 0 : EBADF});
    return ok;
}

bool FakeSerialApi::CloseHandle(CommHandle handle)
{
    const std::lock_guard guard(mLock);
    std::int32_t error = 0;
    if (Port* port = start(QStringLiteral("CloseHandle"), handle, error)) {
        port->open = false;
        port->lines = Lines{};
    }
    return finish(QStringLiteral("CloseHandle"), handle, QString(), error);
}

void FakeSerialApi::unplug(const QString& name)
{
    const std::lock_guard guard(mLock);
    mUnplugged.insert(name);
    // A device that is gone drives no line.
    const CommHandle handle = handleOf(name);
    if (mPorts.contains(handle))
        mPorts[handle].lines = Lines{};
}

void FakeSerialApi::replug(const QString& name)
{
    const std::lock_guard guard(mLock);
    mUnplugged.remove(name);
}

bool FakeSerialApi::IsGone(CommHandle handle)
{
    const std::lock_guard guard(mLock);
    const Port port = mPorts.value(handle);
    return port.open && mUnplugged.contains(port.name);
}

bool FakeSerialApi::IsBackUnderStableName(const QString& name)
{
    const std::lock_guard guard(mLock);
    return !mUnplugged.contains(name);
}

QString FakeSerialApi::FormatMessage(std::int32_t code)
{
    const std::lock_guard guard(mLock);
    if (mMessages.contains(code))
        return mMessages.value(code);
    return SystemErrorText(code);
}

QString FakeSerialApi::DevicePath(const QString& name)
{
    const std::lock_guard guard(mLock);
    if (mDevicePaths.contains(name))
        return mDevicePaths.value(name);
    static const QRegularExpression comPort(QStringLiteral("^COM([1-4])$"));
    const QRegularExpressionMatch match = comPort.match(name);
    return match.hasMatch() ? settingDefault(Setting::PortDevice, match.captured(1).toInt()) : name;
}

QString FakeSerialApi::modeString(const Dcb& dcb)
{
    QString stop = QString::number(dcb.stopBits / 10);
    if (dcb.stopBits % 10 != 0)
        stop += QLatin1Char('.') + QString::number(dcb.stopBits % 10);
    return QStringLiteral("baud=%1 parity=%2 data=%3 stop=%4")
        .arg(dcb.baudRate)
        .arg(QLatin1Char(dcb.parity))
        .arg(dcb.byteSize)
        .arg(stop);
}

bool releaseEveryPort()
{
    CommUnwatchLine();
    bool closed = true;
    for (std::int16_t port = 1; port <= kPortCount; ++port) {
        if (CommIsOpen(port))
            CommClose(port);
        closed = closed && !CommIsOpen(port);
    }
    CommLastError = 0;
    CommErrorSource.clear();
    CommErrorText.clear();
    CommErrorDevice.clear();
    return closed;
}

FolderPortDevices::~FolderPortDevices()
{
    if (&portDeviceSource() == this)
        setPortDeviceSource(nullptr);
}
