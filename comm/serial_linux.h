#pragma once

#include "comm/serialapi.h"

#include <QByteArray>
#include <QHash>

struct termios;

// The serial services on Linux: termios and modem-control ioctls on a tty
// device. Handles are file descriptors; the last error is errno.
class LinuxSerialApi final : public SerialApi
{
public:
    // `lockFolder` holds the UUCP lock files (LCK..ttyUSB0) that minicom, cu and other serial programs
    // honour; with an empty one no lock file is looked at or taken.
    explicit LinuxSerialApi(QString lockFolder = defaultLockFolder());
    // /run/lock, or /var/lock where there is no /run/lock; empty when neither is a folder.
    static QString defaultLockFolder();

    // Maps "COM1".."COM4" to the device stored in [Ports]; any other name is a path. The device is held
    // exclusively: the UUCP lock keeps out programs that ask for it before they open (the open alone raises
    // DTR and RTS on a UART), TIOCEXCL other users who do not ask, and an flock keeps out root.
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
    QString ErrorDetail() override;
    // A hung-up tty (its USB adapter unplugged, its pty master closed) polls as POLLHUP or POLLERR.
    bool IsGone(CommHandle handle) override;
    // The device is a symbolic link (udev makes them per adapter) that leads to a character device again.
    bool IsBackUnderStableName(const QString& name) override;

private:
    bool succeed();
    bool fail(int error, const QString& detail = QString());
    // Takes the UUCP lock of `device` into `lockFile`, or leaves that empty when the folder takes no lock
    // of ours and nobody else holds one. Returns 0, or the error (kErrorPortInUse) with `detail`.
    int lockDevice(const QByteArray& device, QByteArray& lockFile, QString& detail);
    bool heldHere(const QByteArray& lockFile) const;

    QString mLockFolder;
    QHash<CommHandle, QByteArray> mLocks; // the lock file of each open handle
    std::int32_t mLastError = 0;
    QString mErrorDetail;
};

// Turns `tio` (the port's current settings) into raw mode with the line settings
// of `dcb`, local, with hang-up on close and without hardware flow control.
// Returns false, leaving `tio` alone, when termios cannot express `dcb`.
bool ComposeTermios(const Dcb& dcb, termios& tio);

// The C library's text for errno `code`, in the language of the locale; empty for a code it has no text for.
QString SystemErrorText(int code);
