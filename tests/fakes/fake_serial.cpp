#include "tests/fakes/fake_serial.h"

#include "comm/portmap.h"

#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <stdexcept>

FakeSerialApi::FakeSerialApi()
{
    mClock.start();
}

FakeSerialApi::~FakeSerialApi()
{
    uninstall();
}

void FakeSerialApi::install()
{
    setSerialApi(this);
    mInstalled = true;
}

void FakeSerialApi::uninstall()
{
    // Only step aside if nobody has installed another implementation meanwhile.
    if (mInstalled && &serialApi() == this)
        setSerialApi(nullptr);
    mInstalled = false;
}

void FakeSerialApi::failOn(const QString& call, std::int32_t error, int count, int skip)
{
    if (count == 0)
        return;
    // errno 0 would make a failure look like success to the code under test.
    mFailures[call].append(Failure{error != 0 ? error : EIO, count, skip});
}

void FakeSerialApi::throwOn(const QString& call, int count)
{
    if (count == 0)
        return;
    mFailures[call].append(Failure{0, count, 0});
}

void FakeSerialApi::setOpenRaisesLines(bool raises)
{
    mOpenRaisesLines = raises;
}

void FakeSerialApi::setDevicePath(const QString& name, const QString& path)
{
    mDevicePaths.insert(name, path);
}

void FakeSerialApi::setMessage(std::int32_t code, const QString& text)
{
    mMessages.insert(code, text);
}

void FakeSerialApi::setPortDefaults(const Dcb& dcb)
{
    mPortDefaults = dcb;
}

QStringList FakeSerialApi::callNames() const
{
    QStringList names;
    for (const Call& call : mCalls)
        names << call.name;
    return names;
}

QList<FakeSerialApi::Call> FakeSerialApi::callsNamed(const QString& name) const
{
    QList<Call> named;
    for (const Call& call : mCalls) {
        if (call.name == name)
            named << call;
    }
    return named;
}

FakeSerialApi::Lines FakeSerialApi::lineState(CommHandle handle) const
{
    const auto it = mPorts.constFind(handle);
    if (it == mPorts.constEnd() || !it->open)
        return Lines{};
    return it->lines;
}

FakeSerialApi::Lines FakeSerialApi::lineStateByName(const QString& name) const
{
    return lineState(handleOf(name));
}

bool FakeSerialApi::isOpen(const QString& name) const
{
    return isOpen(handleOf(name));
}

bool FakeSerialApi::isOpen(CommHandle handle) const
{
    const auto it = mPorts.constFind(handle);
    return it != mPorts.constEnd() && it->open;
}

CommHandle FakeSerialApi::handleOf(const QString& name) const
{
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

QList<CommHandle> FakeSerialApi::openHandles() const
{
    QList<CommHandle> handles;
    for (auto it = mPorts.constBegin(); it != mPorts.constEnd(); ++it) {
        if (it->open)
            handles << it.key();
    }
    return handles;
}

Dcb FakeSerialApi::appliedDcb(CommHandle handle) const
{
    return mPorts.value(handle).state;
}

CommTimeouts FakeSerialApi::appliedTimeouts(CommHandle handle) const
{
    return mPorts.value(handle).timeouts;
}

void FakeSerialApi::clear()
{
    mCalls.clear();
    mFailures.clear();
}

void FakeSerialApi::reset()
{
    clear();
    mPorts.clear();
    mDevicePaths.clear();
    mMessages.clear();
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
    if (next.count != kForever && --next.count == 0)
        it->removeFirst();
    if (error == 0) {
        finish(call, kInvalidHandle, QStringLiteral("(scripted fault)"), EIO);
        throw std::runtime_error("scripted fault in " + call.toStdString());
    }
    return error;
}

bool FakeSerialApi::finish(const QString& call, CommHandle handle, const QString& arg, std::int32_t error)
{
    mLastError = error;
    mCalls.append(Call{call, handle, arg, mClock.elapsed(), error == 0, error});
    return error == 0;
}

FakeSerialApi::Port* FakeSerialApi::openPort(CommHandle handle)
{
    const auto it = mPorts.find(handle);
    return it != mPorts.end() && it->open ? &*it : nullptr;
}

CommHandle FakeSerialApi::CreateFile(const QString& name)
{
    std::int32_t error = scripted(QStringLiteral("CreateFile"));
    if (error == 0 && isOpen(name))
        error = EBUSY;
    if (error != 0) {
        finish(QStringLiteral("CreateFile"), kInvalidHandle, name, error);
        return kInvalidHandle;
    }
    const CommHandle handle = mNextHandle++;
    Port port;
    port.name = name;
    port.open = true;
    port.state = mPortDefaults;
    port.lines.dtr = port.lines.rts = mOpenRaisesLines;
    mPorts.insert(handle, port);
    finish(QStringLiteral("CreateFile"), handle, name, 0);
    return handle;
}

bool FakeSerialApi::SetupComm(CommHandle handle, std::uint32_t inQueue, std::uint32_t outQueue)
{
    std::int32_t error = scripted(QStringLiteral("SetupComm"));
    if (error == 0 && !openPort(handle))
        error = EBADF;
    return finish(QStringLiteral("SetupComm"), handle, QStringLiteral("%1,%2").arg(inQueue).arg(outQueue), error);
}

bool FakeSerialApi::PurgeComm(CommHandle handle, std::uint32_t flags)
{
    std::int32_t error = scripted(QStringLiteral("PurgeComm"));
    if (error == 0 && !openPort(handle))
        error = EBADF;
    return finish(QStringLiteral("PurgeComm"), handle, QString::number(flags), error);
}

bool FakeSerialApi::SetCommTimeouts(CommHandle handle, const CommTimeouts& timeouts)
{
    std::int32_t error = scripted(QStringLiteral("SetCommTimeouts"));
    Port* port = openPort(handle);
    if (error == 0 && !port)
        error = EBADF;
    if (error == 0)
        port->timeouts = timeouts;
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
    std::int32_t error = scripted(QStringLiteral("GetCommState"));
    const Port* port = openPort(handle);
    if (error == 0 && !port)
        error = EBADF;
    if (error == 0)
        dcb = port->state;
    return finish(QStringLiteral("GetCommState"), handle, QString(), error);
}

bool FakeSerialApi::BuildCommDCB(const QString& settings, Dcb& dcb)
{
    std::int32_t error = scripted(QStringLiteral("BuildCommDCB"));
    if (error == 0 && !ParseModeString(settings, dcb))
        error = EINVAL;
    return finish(QStringLiteral("BuildCommDCB"), kInvalidHandle, settings, error);
}

bool FakeSerialApi::SetCommState(CommHandle handle, const Dcb& dcb)
{
    std::int32_t error = scripted(QStringLiteral("SetCommState"));
    Port* port = openPort(handle);
    if (error == 0 && !port)
        error = EBADF;
    if (error == 0)
        port->state = dcb;
    return finish(QStringLiteral("SetCommState"), handle, modeString(dcb), error);
}

bool FakeSerialApi::EscapeCommFunction(CommHandle handle, std::uint32_t function)
{
    std::int32_t error = scripted(QStringLiteral("EscapeCommFunction"));
    Port* port = openPort(handle);
    if (error == 0 && !port)
        error = EBADF;
    if (error == 0) {
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

bool FakeSerialApi::CloseHandle(CommHandle handle)
{
    std::int32_t error = scripted(QStringLiteral("CloseHandle"));
    Port* port = openPort(handle);
    if (error == 0 && !port)
        error = EBADF;
    if (error == 0) {
        port->open = false;
        port->lines = Lines{};
    }
    return finish(QStringLiteral("CloseHandle"), handle, QString(), error);
}

QString FakeSerialApi::FormatMessage(std::int32_t code)
{
    const auto it = mMessages.constFind(code);
    if (it != mMessages.constEnd())
        return *it;
    if (::strerrordesc_np(code) == nullptr)
        return QString();
    return QString::fromLocal8Bit(std::strerror(code));
}

QString FakeSerialApi::DevicePath(const QString& name)
{
    const auto it = mDevicePaths.constFind(name);
    if (it != mDevicePaths.constEnd())
        return *it;
    static const QRegularExpression comPort(QStringLiteral("^COM([1-4])$"));
    const QRegularExpressionMatch match = comPort.match(name);
    return match.hasMatch() ? DefaultPortDevice(match.captured(1).toInt()) : name;
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
