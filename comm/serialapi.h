#pragma once

#include <QString>

#include <cstdint>

// The serial services modCOMM relies on, with the meanings of the classic
// Win32 communications calls: a handle of -1 means the open failed, a false
// result means the call failed and GetLastError() tells why.
using CommHandle = std::int32_t;
inline constexpr CommHandle kInvalidHandle = -1;
// The error of a port that someone else holds, which the program words as "Port in use.".
inline constexpr std::int32_t kErrorPortInUse = -1;

// EscapeCommFunction codes.
namespace CommFunction {
inline constexpr std::uint32_t SetRts = 3;
inline constexpr std::uint32_t ClrRts = 4;
inline constexpr std::uint32_t SetDtr = 5;
inline constexpr std::uint32_t ClrDtr = 6;
inline constexpr std::uint32_t SetBreak = 8;
inline constexpr std::uint32_t ClrBreak = 9;
} // namespace CommFunction

inline constexpr std::uint32_t kPurgeAll = 15; // TXABORT | RXABORT | TXCLEAR | RXCLEAR

struct CommTimeouts
{
    std::uint32_t readIntervalTimeout = 0;
    std::uint32_t readTotalTimeoutMultiplier = 0;
    std::uint32_t readTotalTimeoutConstant = 0;
    std::uint32_t writeTotalTimeoutMultiplier = 0;
    std::uint32_t writeTotalTimeoutConstant = 0;
};

// Device-control settings of a port.
struct Dcb
{
    std::uint32_t baudRate = 0;
    std::uint8_t byteSize = 8;
    char parity = 'N';          // N, E, O, M or S
    std::uint8_t stopBits = 10; // tenths: 10 = 1, 15 = 1.5, 20 = 2

    bool operator==(const Dcb&) const = default;
};

// Applies a mode string such as "baud=1200 parity=N data=8 stop=1" to `dcb`.
// Keys baud, parity (N, E, O, M, S), data (5..8) and stop (1, 1.5, 2), in any
// case and order. On an unknown key, a bad value or a bad number it returns
// false and leaves `dcb` as it was.
bool ParseModeString(const QString& settings, Dcb& dcb);

class SerialApi
{
public:
    virtual ~SerialApi() = default;

    // `name` is the port name ("COM1".."COM4"); the implementation maps it to a device.
    virtual CommHandle CreateFile(const QString& name) = 0;
    virtual bool SetupComm(CommHandle handle, std::uint32_t inQueue, std::uint32_t outQueue) = 0;
    virtual bool PurgeComm(CommHandle handle, std::uint32_t flags) = 0;
    virtual bool SetCommTimeouts(CommHandle handle, const CommTimeouts& timeouts) = 0;
    virtual bool GetCommState(CommHandle handle, Dcb& dcb) = 0;
    virtual bool BuildCommDCB(const QString& settings, Dcb& dcb) = 0;
    virtual bool SetCommState(CommHandle handle, const Dcb& dcb) = 0;
    virtual bool EscapeCommFunction(CommHandle handle, std::uint32_t function) = 0;
    virtual bool CloseHandle(CommHandle handle) = 0;
    // Drops a line with a clearing EscapeCommFunction code, called from the watchdog's thread while the
    // user-interface thread may be using this layer: it must share nothing with the other calls and
    // leaves GetLastError alone.
    virtual bool ForceLineDown(CommHandle handle, std::uint32_t function) = 0;
    // Error code of the call just made; 0 when it succeeded.
    virtual std::int32_t GetLastError() = 0;
    // The system's description of an error code; empty when it has none.
    virtual QString FormatMessage(std::int32_t code) = 0;
    // The device a port name stands for, for messages.
    virtual QString DevicePath(const QString& name) = 0;
    // What more is known about the last failure (who holds the port); empty when nothing.
    virtual QString ErrorDetail() { return QString(); }
    // Whether the device behind an open handle has gone (unplugged, hung up). Asks without waiting.
    virtual bool IsGone(CommHandle handle) = 0;
    // Whether the device of a port name is there under a name that stands for that one adapter and no
    // other, such as its /dev/serial/by-id link, so that reopening it after it went reaches the same one.
    virtual bool IsBackUnderStableName(const QString& name) = 0;
};

// The implementation in use: the platform's, unless a test installed another.
SerialApi& serialApi();
// Installs `api` (not owned) in place of the platform's; nullptr restores it.
void setSerialApi(SerialApi* api);
