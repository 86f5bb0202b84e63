#pragma once

#include "comm/serialapi.h"

struct termios;

// The serial services on Linux: termios and modem-control ioctls on a tty
// device. Handles are file descriptors; the last error is errno.
class LinuxSerialApi final : public SerialApi
{
public:
    // Maps "COM1".."COM4" to the device stored in [Ports]; any other name is a path.
    // The device is held exclusively: TIOCEXCL keeps out other users, an flock keeps out root.
    CommHandle CreateFile(const QString& name) override;
    bool SetupComm(CommHandle handle, std::uint32_t inQueue, std::uint32_t outQueue) override;
    bool PurgeComm(CommHandle handle, std::uint32_t flags) override;
    bool SetCommTimeouts(CommHandle handle, const CommTimeouts& timeouts) override;
    bool GetCommState(CommHandle handle, Dcb& dcb) override;
    bool BuildCommDCB(const QString& settings, Dcb& dcb) override;
    bool SetCommState(CommHandle handle, const Dcb& dcb) override;
    bool EscapeCommFunction(CommHandle handle, std::uint32_t function) override;
    bool CloseHandle(CommHandle handle) override;
    bool ForceLineDown(CommHandle handle, std::uint32_t function) override;
    std::int32_t GetLastError() override;
    QString FormatMessage(std::int32_t code) override;
    QString DevicePath(const QString& name) override;

private:
    bool succeed();
    bool fail(int error);

    std::int32_t mLastError = 0;
};

// Turns `tio` (the port's current settings) into raw mode with the line settings
// of `dcb`, local, with hang-up on close and without hardware flow control.
// Returns false, leaving `tio` alone, when termios cannot express `dcb`.
bool ComposeTermios(const Dcb& dcb, termios& tio);
