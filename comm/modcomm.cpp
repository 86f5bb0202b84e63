#include "comm/modcomm.h"

#include "comm/modgetsetcom.h"
#include "comm/txwatchdog.h"
#include "core/globals.h"
#include "core/settings.h"

#include <QStringList>

#include <array>
#include <cerrno>
#include <new>
#include <stdexcept>

std::int32_t CommLastError = 0;
QString CommErrorSource;
QString CommErrorText;
QString CommErrorDevice;

namespace {

struct CommPortState
{
    CommHandle Handle = 0;
    VBool IsOpen = kFalse;
    Dcb dcb;
    QString name; // as last handed to CommOpen, for the device in messages
};

std::array<CommPortState, kPortCount> CommPorts;

// Whether the error record holds an operating-system error, as opposed to
// "Port in use." or a fault, so that errno-based hints apply.
bool gRecordIsSystemError = false;
// What the serial layer knew more about the failure, such as who holds the port.
QString gErrorMore;

constexpr std::int32_t kFaultOutOfMemory = 7;
constexpr std::int32_t kFaultSubscript = 9;
constexpr std::int32_t kFaultInternal = 51;

// A fault raised inside an operation: it never leaves the operation, which
// turns it into the error record and returns its number.
struct CommFault
{
    std::int32_t number = kFaultInternal;
    QString description;
};

CommPortState& slotOf(std::int16_t port)
{
    if (port < 1 || port > static_cast<int>(CommPorts.size()))
        throw CommFault{kFaultSubscript, QStringLiteral("Subscript out of range")};
    return CommPorts[static_cast<std::size_t>(port - 1)];
}

QString slotName(const CommPortState& slot)
{
    if (!slot.name.isEmpty())
        return slot.name;
    return GetCommPortName(static_cast<int>(&slot - CommPorts.data()) + 1);
}

QString SystemMessageText(std::int32_t code)
{
    constexpr qsizetype kBufferLimit = 255;
    QString text = serialApi().FormatMessage(code).left(kBufferLimit);
    const qsizetype nul = text.indexOf(QChar(u'\0'));
    if (nul >= 0)
        text.truncate(nul);
    // Only spaces go: a line break that ends the system's text is part of it.
    qsizetype begin = 0;
    while (begin < text.size() && text.at(begin) == QLatin1Char(' '))
        ++begin;
    qsizetype end = text.size();
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

std::int32_t RecordCommError(const QString& source, const QString& portName)
{
    // Read the error before anything else can make another call.
    CommLastError = serialApi().GetLastError();
    CommErrorSource = source;
    CommErrorText = SystemMessageText(CommLastError);
    CommErrorDevice = serialApi().DevicePath(portName);
    gErrorMore = serialApi().ErrorDetail();
    gRecordIsSystemError = true;
    return CommLastError;
}

std::int32_t RecordFault(const QString& operation, const CommFault& fault)
{
    CommLastError = fault.number;
    CommErrorSource = operation;
    CommErrorText = fault.description;
    CommErrorDevice.clear();
    gErrorMore.clear();
    gRecordIsSystemError = false;
    return CommLastError;
}

// Runs `body`, turning any fault it raises into the error record. `onFault`
// runs first, so it can undo what the operation had half done.
template <typename Body, typename OnFault> std::int32_t guarded(const QString& operation, Body body, OnFault onFault)
{
    CommFault fault;
    try {
        return body();
    } catch (const CommFault& raised) {
        fault = raised;
    } catch (const std::bad_alloc&) {
        fault = CommFault{kFaultOutOfMemory, QStringLiteral("Out of memory")};
    } catch (const std::exception& raised) {
        fault =
            CommFault{kFaultInternal, QStringLiteral("Internal error: %1").arg(QString::fromLocal8Bit(raised.what()))};
    } catch (...) {
        fault = CommFault{kFaultInternal, QStringLiteral("Internal error")};
    }
    try {
        onFault();
    } catch (...) {
        // The record must describe the first fault; a second one changes nothing.
    }
    return RecordFault(operation, fault);
}

// Closes a port whose open failed halfway. Opening raised DTR and RTS, so a
// device left open would hold the transmitter keyed with no slot to drop it.
void abandonOpen(CommPortState& slot)
{
    slot.IsOpen = kFalse;
    (void)serialApi().CloseHandle(slot.Handle);
}

std::uint32_t functionCode(std::int16_t line, std::int16_t state)
{
    const bool set = state != 0;
    switch (line) {
    case kLineBreak:
        return set ? CommFunction::SetBreak : CommFunction::ClrBreak;
    case kLineDTR:
        return set ? CommFunction::SetDtr : CommFunction::ClrDtr;
    case kLineRTS:
        return set ? CommFunction::SetRts : CommFunction::ClrRts;
    default:
        return 0;
    }
}

} // namespace

std::int32_t CommOpen(std::int16_t port, const QString& portName, const QString& settings)
{
    CommPortState* opened = nullptr;
    const auto body = [&]() -> std::int32_t {
        CommPortState& slot = slotOf(port);
        if (slot.IsOpen != kFalse) {
            CommLastError = kErrorPortInUse;
            CommErrorSource = QStringLiteral("CommOpen");
            CommErrorText = QStringLiteral("Port in use.");
            CommErrorDevice = serialApi().DevicePath(portName);
            gErrorMore.clear();
            gRecordIsSystemError = false;
            return CommLastError;
        }

        SerialApi& api = serialApi();
        slot.name = portName;
        slot.Handle = api.CreateFile(portName);
        if (slot.Handle == kInvalidHandle)
            return RecordCommError(QStringLiteral("CommOpen (CreateFile)"), portName);
        slot.IsOpen = kTrue;
        opened = &slot;

        const CommTimeouts timeouts{0xFFFFFFFF, 0, 1000, 1000, 0};
        QString failedStep;
        if (!api.SetupComm(slot.Handle, 1024, 1024))
            failedStep = QStringLiteral("CommOpen (SetupComm)");
        else if (!api.PurgeComm(slot.Handle, kPurgeAll))
            failedStep = QStringLiteral("CommOpen (PurgeComm)");
        else if (!api.SetCommTimeouts(slot.Handle, timeouts))
            failedStep = QStringLiteral("CommOpen (SetCommTimeouts)");
        else if (!api.GetCommState(slot.Handle, slot.dcb))
            failedStep = QStringLiteral("CommOpen (GetCommState)");
        else if (!api.BuildCommDCB(settings, slot.dcb))
            failedStep = QStringLiteral("CommOpen (BuildCommDCB)");
        else if (!api.SetCommState(slot.Handle, slot.dcb))
            failedStep = QStringLiteral("CommOpen (SetCommState)");
        if (failedStep.isEmpty())
            return 0;

        // Record first: the close below must not overwrite the failing step's error.
        const std::int32_t status = RecordCommError(failedStep, portName);
        opened = nullptr;
        abandonOpen(slot);
        return status;
    };
    return guarded(QStringLiteral("CommOpen"), body, [&] {
        if (opened)
            abandonOpen(*opened);
    });
}

std::int32_t CommClose(std::int16_t port)
{
    const auto body = [&]() -> std::int32_t {
        CommPortState& slot = slotOf(port);
        if (slot.IsOpen == kFalse)
            return 0;
        txWatchdog().forget(slot.Handle);
        if (!serialApi().CloseHandle(slot.Handle))
            return RecordCommError(QStringLiteral("CommClose (CloseHandle)"), slotName(slot));
        slot.IsOpen = kFalse;
        return 0;
    };
    return guarded(QStringLiteral("CommClose"), body, [] {});
}

std::int32_t CommSetLine(std::int16_t port, std::int16_t line, std::int16_t state)
{
    const auto body = [&]() -> std::int32_t {
        CommPortState& slot = slotOf(port);
        const QString source = QStringLiteral("CommSetLine (EscapeCommFunction)");
        if (slot.IsOpen == kFalse) {
            // The slot's old handle may be 0 (standard input) or a number the system has
            // since given to another file; switching lines on it could key something else.
            CommLastError = EBADF;
            CommErrorSource = source;
            CommErrorText = SystemMessageText(EBADF);
            CommErrorDevice = serialApi().DevicePath(slotName(slot));
            gErrorMore.clear();
            gRecordIsSystemError = true;
            return CommLastError;
        }
        if (!serialApi().EscapeCommFunction(slot.Handle, functionCode(line, state)))
            return RecordCommError(source, slotName(slot));
        return 0;
    };
    return guarded(QStringLiteral("CommSetLine"), body, [] {});
}

bool CommIsOpen(std::int16_t port)
{
    if (port < 1 || port > static_cast<int>(CommPorts.size()))
        return false;
    return CommPorts[static_cast<std::size_t>(port - 1)].IsOpen != kFalse;
}

bool CommIsGone(std::int16_t port)
{
    if (!CommIsOpen(port))
        return false;
    return serialApi().IsGone(CommPorts[static_cast<std::size_t>(port - 1)].Handle);
}

bool CommIsBack(std::int16_t port)
{
    return port >= 1 && port <= kPortCount && serialApi().IsBackUnderStableName(GetCommPortName(port));
}

QString CommDevice(std::int16_t port)
{
    return serialApi().DevicePath(GetCommPortName(port));
}

bool CommWatchLine(std::int16_t port, std::int16_t line, int ms, std::function<void()> onDropped)
{
    const std::uint32_t clear = functionCode(line, 0);
    if (!CommIsOpen(port) || clear == 0)
        return false;
    const CommPortState& slot = CommPorts[static_cast<std::size_t>(port - 1)];
    txWatchdog().arm(serialApi(), slot.Handle, clear, TxWatchdog::Clock::now() + std::chrono::milliseconds(ms),
                     std::move(onDropped));
    return true;
}

void CommUnwatchLine()
{
    txWatchdog().disarm();
}

QString CommErrorDetail()
{
    if (CommErrorSource.isEmpty())
        return QString();
    QString reason = CommErrorText;
    while (reason.endsWith(QLatin1Char('\n')) || reason.endsWith(QLatin1Char('\r')))
        reason.chop(1);
    if (reason.isEmpty())
        reason = QStringLiteral("error %1").arg(CommLastError);

    QStringList lines{QStringLiteral("Step: ") + CommErrorSource};
    if (!CommErrorDevice.isEmpty())
        lines << QStringLiteral("Device: ") + CommErrorDevice;
    lines << QStringLiteral("Reason: ") + reason;
    if (!gErrorMore.isEmpty())
        lines << gErrorMore;
    if (gRecordIsSystemError) {
        if (CommLastError == EACCES)
            lines << QStringLiteral("Is the user in the dialout group?");
        else if (CommLastError == EBUSY)
            lines << QStringLiteral("Another program is using the port.");
        else if (CommLastError == ENOENT && CommErrorSource.endsWith(QLatin1String("(CreateFile)")))
            lines << QStringLiteral("The device of each port is set in section [Ports] of %1.")
                         .arg(settingsFilePath(kAppTitle));
    }
    return lines.join(QLatin1Char('\n'));
}

bool CommErrorIsPortHeld()
{
    return gRecordIsSystemError && CommErrorSource == QLatin1String("CommOpen (CreateFile)") &&
           (CommLastError == kErrorPortInUse || CommLastError == EBUSY);
}
