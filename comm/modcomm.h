#pragma once

#include "comm/serialapi.h"

#include <QString>

#include <cstdint>
#include <functional>

// Serial port control for keying: opens COM1..COM4 exclusively and switches
// one control line. No data ever crosses the port.

inline const QString kCommSettings = QStringLiteral("baud=1200 parity=N data=8 stop=1");

// Line codes of CommSetLine.
inline constexpr std::int16_t kLineBreak = 1;
inline constexpr std::int16_t kLineDTR = 2;
inline constexpr std::int16_t kLineRTS = 3;

std::int32_t CommOpen(std::int16_t port, const QString& portName, const QString& settings);
std::int32_t CommClose(std::int16_t port);
std::int32_t CommSetLine(std::int16_t port, std::int16_t line, std::int16_t state);

// Whether the program holds port `port` (1..4) open.
bool CommIsOpen(std::int16_t port);
// Whether the device of open port `port` has gone (unplugged, hung up); false when the port is not open.
bool CommIsGone(std::int16_t port);
// Whether the device of port `port` is there under a name that stands for that one adapter, so that it
// can be opened again after it went.
bool CommIsBack(std::int16_t port);
// The device port `port` stands for, for the operator.
QString CommDevice(std::int16_t port);

// Has the watchdog drop `line` of `port` from a thread of its own after `ms`, unless CommUnwatchLine or
// closing the port comes first; `onDropped` then runs on the watchdog's thread. False when the port is not
// open or `line` is no line code.
bool CommWatchLine(std::int16_t port, std::int16_t line, int ms, std::function<void()> onDropped);
void CommUnwatchLine();

// The error record of the last failure; a success leaves it as it was.
extern std::int32_t CommLastError;
extern QString CommErrorSource;
extern QString CommErrorText;
// The device behind the port of the last failure, for the operator.
extern QString CommErrorDevice;

// Detail lines for a message box: the failing step, the device and the system's reason.
QString CommErrorDetail();
// Whether the last failure was an open refused because another program, or another copy of this one,
// holds the device: the port itself is fine.
bool CommErrorIsPortHeld();
