#include "comm/serial_linux.h"

#include "comm/portdevices.h"
#include "comm/portmap.h"

#include <QFile>
#include <QFileInfo>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct SpeedEntry
{
    std::uint32_t baud;
    speed_t speed;
};

constexpr std::array<SpeedEntry, 30> kSpeeds{{
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
}};

bool speedForBaud(std::uint32_t baud, speed_t& speed)
{
    for (const SpeedEntry& entry : kSpeeds) {
        if (entry.baud == baud) {
            speed = entry.speed;
            return true;
        }
    }
    return false;
}

std::uint32_t baudForSpeed(speed_t speed)
{
    for (const SpeedEntry& entry : kSpeeds) {
        if (entry.speed == speed)
            return entry.baud;
    }
    return 0;
}

bool characterSizeFlag(std::uint8_t byteSize, tcflag_t& flag)
{
    switch (byteSize) {
    case 5:
        flag = CS5;
        return true;
    case 6:
        flag = CS6;
        return true;
    case 7:
        flag = CS7;
        return true;
    case 8:
        flag = CS8;
        return true;
    default:
        return false;
    }
}

bool parityFlags(char parity, tcflag_t& flags)
{
    switch (parity) {
    case 'N':
        flags = 0;
        return true;
    case 'E':
        flags = PARENB;
        return true;
    case 'O':
        flags = PARENB | PARODD;
        return true;
    case 'M':
        flags = PARENB | CMSPAR | PARODD;
        return true;
    case 'S':
        flags = PARENB | CMSPAR;
        return true;
    default:
        return false;
    }
}

// One and a half stop bits exist only with five data bits, two only with more.
bool stopBitsFlag(std::uint8_t stopBits, std::uint8_t byteSize, tcflag_t& flag)
{
    if (stopBits == 10) {
        flag = 0;
        return true;
    }
    if ((stopBits == 15 && byteSize == 5) || (stopBits == 20 && byteSize > 5)) {
        flag = CSTOPB;
        return true;
    }
    return false;
}

// The lock file is named after the device itself, links followed, so that /dev/serial/by-id/... and the
// /dev/ttyUSB0 it leads to, which minicom would lock, share one lock.
QByteArray lockNameFor(const QByteArray& device)
{
    std::array<char, PATH_MAX> resolved{};
    const QByteArray real = ::realpath(device.constData(), resolved.data()) ? QByteArray(resolved.data()) : device;
    const QByteArray base = real.mid(real.lastIndexOf('/') + 1);
    if (base.isEmpty() || base == "." || base == "..")
        return {};
    return "LCK.." + base;
}

// The process a lock file names, in the usual ASCII form ("%10d\n"); 0 when it names none, with `error`
// set when it could not be read at all.
pid_t lockHolder(const QByteArray& lockFile, int& error)
{
    error = 0;
    const int fd = ::open(lockFile.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return 0;
    }
    std::array<char, 32> text{};
    const ssize_t got = ::read(fd, text.data(), text.size() - 1);
    if (got < 0)
        error = errno;
    ::close(fd);
    if (got <= 0)
        return 0;
    const QByteArray number = QByteArray(text.data(), got).trimmed();
    bool ok = false;
    const int pid = number.toInt(&ok);
    return ok && pid > 0 && number.front() != '+' ? pid : 0;
}

bool processLives(pid_t pid)
{
    // EPERM: it lives, under another user.
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

// Puts a lock naming this process at `lockFile`, complete or not at all: written under another name,
// then linked into place, which fails when a lock is already there. 0, EEXIST or why it cannot.
int placeLock(const QByteArray& folder, const QByteArray& lockFile)
{
    QByteArray temporary = folder + "/LTMP.XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;
    const QByteArray content = QByteArray::number(::getpid()).rightJustified(10, ' ') + '\n';
    int error = 0;
    errno = 0;
    if (::fchmod(fd, 0644) != 0 || ::write(fd, content.constData(), content.size()) != content.size())
        error = errno != 0 ? errno : EIO;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::link(temporary.constData(), lockFile.constData()) != 0)
        error = errno;
    ::unlink(temporary.constData());
    return error;
}

void releaseLock(const QByteArray& lockFile)
{
    int error = 0;
    // Only our own: had it been taken as stale meanwhile, it is another's now.
    if (!lockFile.isEmpty() && lockHolder(lockFile, error) == ::getpid())
        ::unlink(lockFile.constData());
}

} // namespace

bool ComposeTermios(const Dcb& dcb, termios& tio)
{
    speed_t speed = B0;
    tcflag_t size = 0;
    tcflag_t parity = 0;
    tcflag_t stop = 0;
    if (!speedForBaud(dcb.baudRate, speed) || !characterSizeFlag(dcb.byteSize, size) ||
        !parityFlags(dcb.parity, parity) || !stopBitsFlag(dcb.stopBits, dcb.byteSize, stop))
        return false;
    termios composed = tio;
    ::cfmakeraw(&composed);
    composed.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    // HUPCL stays on: if we crash while keyed, the kernel drops DTR and RTS for us.
    // No CRTSCTS: RTS is our keying line, not the driver's flow control.
    composed.c_cflag |= size | parity | stop | CLOCAL | CREAD | HUPCL;
    composed.c_cc[VMIN] = 0;
    composed.c_cc[VTIME] = 0;
    if (::cfsetispeed(&composed, speed) != 0 || ::cfsetospeed(&composed, speed) != 0)
        return false;
    tio = composed;
    return true;
}

LinuxSerialApi::LinuxSerialApi(QString lockFolder) : mLockFolder(std::move(lockFolder)) {}

QString LinuxSerialApi::defaultLockFolder()
{
    for (const char* folder : {"/run/lock", "/var/lock"}) {
        if (QFileInfo(QString::fromLatin1(folder)).isDir())
            return QString::fromLatin1(folder);
    }
    return QString();
}

bool LinuxSerialApi::succeed()
{
    mLastError = 0;
    mErrorDetail.clear();
    return true;
}

bool LinuxSerialApi::fail(int error, const QString& detail)
{
    // A failure must never read as success to the caller.
    mLastError = error != 0 ? error : EIO;
    mErrorDetail = detail;
    return false;
}

bool LinuxSerialApi::heldHere(const QByteArray& lockFile) const
{
    for (const QByteArray& held : mLocks) {
        if (held == lockFile)
            return true;
    }
    return false;
}

int LinuxSerialApi::lockDevice(const QByteArray& device, QByteArray& lockFile, QString& detail)
{
    lockFile.clear();
    const QByteArray name = lockNameFor(device);
    if (mLockFolder.isEmpty() || name.isEmpty())
        return 0;
    const QByteArray folder = QFile::encodeName(mLockFolder);
    const QByteArray path = folder + '/' + name;
    // A folder that takes no lock of ours (not writable for this user) still has its locks honoured.
    bool canLock = true;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (canLock) {
            const int placed = placeLock(folder, path);
            if (placed == 0) {
                lockFile = path;
                return 0;
            }
            canLock = placed == EEXIST;
        }
        int readError = 0;
        const pid_t holder = lockHolder(path, readError);
        if (readError == ENOENT) {
            if (!canLock)
                return 0;
            continue; // released meanwhile
        }
        const QString shownPath = QFile::decodeName(path);
        if (holder == 0) {
            // Perhaps a lock being written this moment, perhaps a damaged one: either way not ours to take.
            detail = QStringLiteral("The lock file %1 names no process; if no program uses the port, remove it.")
                         .arg(shownPath);
            return kErrorPortInUse;
        }
        // A lock with our own number that this object does not hold was left by an earlier process.
        const bool lives = holder == ::getpid() ? heldHere(path) : processLives(holder);
        if (lives) {
            detail = QStringLiteral("Held by process %1 (lock file %2).").arg(holder).arg(shownPath);
            return kErrorPortInUse;
        }
        // Stale: its process is gone. One we may not remove blocks nobody who honours it either.
        if (::unlink(path.constData()) != 0 && errno != ENOENT)
            return 0;
        if (!canLock)
            return 0;
    }
    detail = QStringLiteral("The lock file %1 kept changing hands.").arg(QFile::decodeName(path));
    return kErrorPortInUse;
}

CommHandle LinuxSerialApi::CreateFile(const QString& name)
{
    const QString device = DevicePath(name);
    // A relative path would open a file of the current folder; nothing is opened for a device that is none.
    const QString problem = DevicePathProblem(device);
    if (!problem.isEmpty()) {
        fail(EINVAL, problem);
        return kInvalidHandle;
    }
    const QByteArray path = QFile::encodeName(device);
    QByteArray lockFile;
    QString holder;
    if (const int refused = lockDevice(path, lockFile, holder)) {
        fail(refused, holder);
        return kInvalidHandle;
    }
    // O_NONBLOCK: without carrier a modem port would block the open. O_CLOEXEC: a
    // child process holding the port would keep the transmitter keyed after we close it.
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fail(errno);
        releaseLock(lockFile);
        return kInvalidHandle;
    }
    const auto abandon = [this, fd, &lockFile](int error) {
        ::close(fd);
        releaseLock(lockFile);
        fail(error);
        return kInvalidHandle;
    };
    // The lock keeps out everyone who asks for it, root included; TIOCEXCL keeps out other
    // users who do not ask. Lock first: a refused opener must not touch the holder's flag.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return abandon(errno == EWOULDBLOCK ? EBUSY : errno);
    if (::ioctl(fd, TIOCEXCL) != 0)
        return abandon(errno);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int error = errno;
        ::ioctl(fd, TIOCNXCL);
        return abandon(error);
    }
    mLocks.insert(fd, lockFile);
    succeed();
    return fd;
}

bool LinuxSerialApi::SetupComm(CommHandle handle, std::uint32_t, std::uint32_t)
{
    // The kernel sizes its own queues; only the handle can be wrong.
    if (::fcntl(handle, F_GETFD) < 0)
        return fail(errno);
    return succeed();
}

bool LinuxSerialApi::PurgeComm(CommHandle handle, std::uint32_t flags)
{
    constexpr std::uint32_t kOutput = 1 | 4; // TXABORT | TXCLEAR
    constexpr std::uint32_t kInput = 2 | 8;  // RXABORT | RXCLEAR
    if (flags == 0 || (flags & ~(kOutput | kInput)) != 0)
        return fail(EINVAL);
    int queue = TCIOFLUSH;
    if ((flags & kOutput) == 0)
        queue = TCIFLUSH;
    else if ((flags & kInput) == 0)
        queue = TCOFLUSH;
    if (::tcflush(handle, queue) != 0)
        return fail(errno);
    return succeed();
}

bool LinuxSerialApi::SetCommTimeouts(CommHandle handle, const CommTimeouts&)
{
    // No data is ever read or written, so the timeouts have nothing to govern.
    if (::fcntl(handle, F_GETFD) < 0)
        return fail(errno);
    return succeed();
}

bool LinuxSerialApi::GetCommState(CommHandle handle, Dcb& dcb)
{
    termios tio{};
    if (::tcgetattr(handle, &tio) != 0)
        return fail(errno);
    dcb.baudRate = baudForSpeed(::cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        dcb.byteSize = 5;
        break;
    case CS6:
        dcb.byteSize = 6;
        break;
    case CS7:
        dcb.byteSize = 7;
        break;
    default:
        dcb.byteSize = 8;
        break;
    }
    if ((tio.c_cflag & PARENB) == 0)
        dcb.parity = 'N';
    else if ((tio.c_cflag & CMSPAR) != 0)
        dcb.parity = (tio.c_cflag & PARODD) != 0 ? 'M' : 'S';
    else
        dcb.parity = (tio.c_cflag & PARODD) != 0 ? 'O' : 'E';
    if ((tio.c_cflag & CSTOPB) == 0)
        dcb.stopBits = 10;
    else
        dcb.stopBits = dcb.byteSize == 5 ? 15 : 20;
    return succeed();
}

bool LinuxSerialApi::BuildCommDCB(const QString& settings, Dcb& dcb)
{
    if (!ParseModeString(settings, dcb))
        return fail(EINVAL);
    return succeed();
}

bool LinuxSerialApi::SetCommState(CommHandle handle, const Dcb& dcb)
{
    termios tio{};
    if (::tcgetattr(handle, &tio) != 0)
        return fail(errno);
    if (!ComposeTermios(dcb, tio))
        return fail(EINVAL);
    if (::tcsetattr(handle, TCSANOW, &tio) != 0)
        return fail(errno);

    // tcsetattr succeeds when any part of the change took; the hang-up on close must have.
    termios applied{};
    if (::tcgetattr(handle, &applied) != 0)
        return fail(errno);
    if ((applied.c_cflag & HUPCL) == 0)
        return fail(EINVAL);
    return succeed();
}

bool LinuxSerialApi::EscapeCommFunction(CommHandle handle, std::uint32_t function)
{
    int result = 0;
    int bits = 0;
    switch (function) {
    case CommFunction::SetDtr:
    case CommFunction::ClrDtr:
        bits = TIOCM_DTR;
        result = ::ioctl(handle, function == CommFunction::SetDtr ? TIOCMBIS : TIOCMBIC, &bits);
        break;
    case CommFunction::SetRts:
    case CommFunction::ClrRts:
        bits = TIOCM_RTS;
        result = ::ioctl(handle, function == CommFunction::SetRts ? TIOCMBIS : TIOCMBIC, &bits);
        break;
    case CommFunction::SetBreak:
        result = ::ioctl(handle, TIOCSBRK);
        break;
    case CommFunction::ClrBreak:
        result = ::ioctl(handle, TIOCCBRK);
        break;
    default:
        return fail(EINVAL);
    }
    if (result != 0)
        return fail(errno);
    return succeed();
}

bool LinuxSerialApi::ForceLineDown(CommHandle handle, std::uint32_t function)
{
    int bits = 0;
    switch (function) {
    case CommFunction::ClrDtr:
        bits = TIOCM_DTR;
        return ::ioctl(handle, TIOCMBIC, &bits) == 0;
    case CommFunction::ClrRts:
        bits = TIOCM_RTS;
        return ::ioctl(handle, TIOCMBIC, &bits) == 0;
    case CommFunction::ClrBreak:
        return ::ioctl(handle, TIOCCBRK) == 0;
    default:
        return false;
    }
}

bool LinuxSerialApi::CloseHandle(CommHandle handle)
{
    // The exclusive flag lives on the tty, which outlives our descriptor when anyone else
    // (a pty master, a root process probing ports) still has it open: clear it, or our own
    // next open is refused. Only the lock holder gets here, so it is ours to clear.
    ::ioctl(handle, TIOCNXCL);
    // Linux releases the descriptor even when close reports EINTR or EIO; calling that a
    // failure would make the caller close the same number again, by then perhaps another file.
    const bool closed = ::close(handle) == 0 || errno != EBADF;
    // The lock goes only after the close, which drops the lines: nobody may open a port still keyed.
    releaseLock(mLocks.take(handle));
    if (!closed)
        return fail(EBADF);
    return succeed();
}

std::int32_t LinuxSerialApi::GetLastError()
{
    return mLastError;
}

QString LinuxSerialApi::FormatMessage(std::int32_t code)
{
    if (code == kErrorPortInUse)
        return QStringLiteral("Port in use.");
    return SystemErrorText(code);
}

QString LinuxSerialApi::DevicePath(const QString& name)
{
    return PortDevicePath(name);
}

QString LinuxSerialApi::ErrorDetail()
{
    return mErrorDetail;
}

bool LinuxSerialApi::IsGone(CommHandle handle)
{
    // No events asked for: hang-up and errors are reported all the same, and waiting input does not count.
    pollfd watched{handle, 0, 0};
    if (::poll(&watched, 1, 0) <= 0)
        return false;
    return (watched.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool LinuxSerialApi::IsBackUnderStableName(const QString& name)
{
    const QByteArray path = QFile::encodeName(DevicePath(name));
    struct stat link
    {
    };
    struct stat device
    {
    };
    return ::lstat(path.constData(), &link) == 0 && S_ISLNK(link.st_mode) && ::stat(path.constData(), &device) == 0 &&
           S_ISCHR(device.st_mode);
}

QString SystemErrorText(int code)
{
    // strerror invents "Unknown error N" for codes it does not know; the caller wants nothing then.
    if (::strerrordesc_np(code) == nullptr)
        return QString();
    std::array<char, 256> buffer{};
    return QString::fromLocal8Bit(::strerror_r(code, buffer.data(), buffer.size()));
}
