// Preloaded into the keyer by the end-to-end tests, so that a pseudo-terminal can stand in for a serial
// port: a pty has no modem lines, and the kernel refuses TIOCMBIS on it. For the one device named by
// WRENKEYER_SHIM_DEVICE this keeps DTR, RTS and break itself and appends every change, with its time on
// CLOCK_MONOTONIC and CLOCK_REALTIME, to the file named by WRENKEYER_SHIM_LOG:
//
//   mono=<ns> real=<ns> pid=<pid> event=<open|set|clear|assign|break-on|break-off|close|exit> dtr=<0|1>
//   rts=<0|1> brk=<0|1> [hupcl=<0|1>]
//
// Opening the device raises DTR and RTS, as a UART's driver does; the last close drops them when HUPCL
// is set, as the kernel does. "exit" means the process ended with the device still open. Every other call
// and every other descriptor goes straight to the C library.

// The fortified open() of some toolchains is an inline wrapper that could not be replaced here.
#undef _FORTIFY_SOURCE

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

namespace {

using OpenFn = int (*)(const char*, int, ...);
using OpenAtFn = int (*)(int, const char*, int, ...);
using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);

constexpr int kMaxTrackedFd = 4096;

struct Shim
{
    OpenFn open = nullptr;
    OpenFn open64 = nullptr;
    OpenAtFn openat = nullptr;
    OpenAtFn openat64 = nullptr;
    IoctlFn ioctl = nullptr;
    CloseFn close = nullptr;

    bool active = false;
    dev_t device = 0;
    int logFd = -1;

    int lines = 0;
    bool breakOn = false;
    int openCount = 0;
    std::atomic<bool> tracked[kMaxTrackedFd] = {};
};

Shim gShim;
pthread_once_t gOnce = PTHREAD_ONCE_INIT;
pthread_mutex_t gLock = PTHREAD_MUTEX_INITIALIZER;

template <typename Fn> Fn nextSymbol(const char* name)
{
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

void initialise()
{
    gShim.open = nextSymbol<OpenFn>("open");
    gShim.open64 = nextSymbol<OpenFn>("open64");
    gShim.openat = nextSymbol<OpenAtFn>("openat");
    gShim.openat64 = nextSymbol<OpenAtFn>("openat64");
    gShim.ioctl = nextSymbol<IoctlFn>("ioctl");
    gShim.close = nextSymbol<CloseFn>("close");

    const char* device = std::getenv("WRENKEYER_SHIM_DEVICE");
    const char* log = std::getenv("WRENKEYER_SHIM_LOG");
    if (device == nullptr || log == nullptr || gShim.open == nullptr)
        return;
    struct stat info = {};
    if (::stat(device, &info) != 0 || !S_ISCHR(info.st_mode)) {
        std::fprintf(stderr, "serial shim: %s is not a character device; nothing is stood in for\n", device);
        return;
    }
    gShim.logFd = gShim.open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (gShim.logFd < 0) {
        std::fprintf(stderr, "serial shim: cannot open the log %s: %s\n", log, std::strerror(errno));
        return;
    }
    gShim.device = info.st_rdev;
    gShim.active = true;
}

void ensureInitialised()
{
    ::pthread_once(&gOnce, initialise);
}

long long nanoseconds(clockid_t clock)
{
    timespec now = {};
    ::clock_gettime(clock, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Called with gLock held.
void record(const char* event, int hupcl = -1)
{
    char line[256];
    int length = std::snprintf(line, sizeof line, "mono=%lld real=%lld pid=%d event=%s dtr=%d rts=%d brk=%d",
                               nanoseconds(CLOCK_MONOTONIC), nanoseconds(CLOCK_REALTIME), static_cast<int>(::getpid()),
                               event, (gShim.lines & TIOCM_DTR) != 0 ? 1 : 0, (gShim.lines & TIOCM_RTS) != 0 ? 1 : 0,
                               gShim.breakOn ? 1 : 0);
    if (hupcl >= 0 && length > 0 && static_cast<size_t>(length) < sizeof line)
        length += std::snprintf(line + length, sizeof line - static_cast<size_t>(length), " hupcl=%d", hupcl);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof line - 1)
        return;
    line[length++] = '\n';
    // One write per line: O_APPEND keeps the lines of several processes whole.
    [[maybe_unused]] const ssize_t written = ::write(gShim.logFd, line, static_cast<size_t>(length));
}

bool isDevice(int fd)
{
    struct stat info = {};
    return ::fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == gShim.device;
}

// A descriptor counts as ours only while it still refers to the device: a number closed behind our back
// and reused for another file must not be taken for the port.
bool isTracked(int fd)
{
    return fd >= 0 && fd < kMaxTrackedFd && gShim.tracked[fd] && isDevice(fd);
}

int afterOpen(int fd)
{
    if (fd < 0 || !gShim.active || fd >= kMaxTrackedFd || !isDevice(fd))
        return fd;
    const int savedErrno = errno;
    ::pthread_mutex_lock(&gLock);
    gShim.tracked[fd] = true;
    if (gShim.openCount++ == 0) {
        gShim.lines = TIOCM_DTR | TIOCM_RTS;
        gShim.breakOn = false;
        record("open");
    }
    ::pthread_mutex_unlock(&gLock);
    errno = savedErrno;
    return fd;
}

bool takesMode(int flags)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

// The line bits of TIOCMBIS, TIOCMBIC and TIOCMSET come through a pointer; a null one is the caller's fault.
int modemIoctl(unsigned long request, void* argument)
{
    const bool takesBits = request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET || request == TIOCMGET;
    if (takesBits && argument == nullptr) {
        errno = EFAULT;
        return -1;
    }
    int bits = 0;
    if (request != TIOCMGET && takesBits)
        std::memcpy(&bits, argument, sizeof bits);
    bits &= TIOCM_DTR | TIOCM_RTS;

    ::pthread_mutex_lock(&gLock);
    switch (request) {
    case TIOCMBIS:
        gShim.lines |= bits;
        record("set");
        break;
    case TIOCMBIC:
        gShim.lines &= ~bits;
        record("clear");
        break;
    case TIOCMSET:
        gShim.lines = bits;
        record("assign");
        break;
    case TIOCMGET:
        bits = gShim.lines;
        std::memcpy(argument, &bits, sizeof bits);
        break;
    case TIOCSBRK:
        gShim.breakOn = true;
        record("break-on");
        break;
    case TIOCCBRK:
        gShim.breakOn = false;
        record("break-off");
        break;
    default:
        break;
    }
    ::pthread_mutex_unlock(&gLock);
    return 0;
}

bool isModemRequest(unsigned long request)
{
    return request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET || request == TIOCMGET ||
           request == TIOCSBRK || request == TIOCCBRK;
}

// The kernel closes what is still open when the process ends, and HUPCL then drops the lines; the record
// says so, so that a test can tell a program that released its port from one that merely died with it.
__attribute__((destructor)) void atProcessEnd()
{
    if (!gShim.active)
        return;
    ::pthread_mutex_lock(&gLock);
    if (gShim.openCount > 0) {
        int hupcl = 0;
        for (int fd = 0; fd < kMaxTrackedFd; ++fd) {
            termios tio = {};
            if (gShim.tracked[fd] && isDevice(fd) && ::tcgetattr(fd, &tio) == 0 && (tio.c_cflag & HUPCL) != 0)
                hupcl = 1;
        }
        record("exit", hupcl);
    }
    ::pthread_mutex_unlock(&gLock);
}

} // namespace

extern "C" {

// The optional mode has to be fetched inside each variadic function itself, hence a macro.
#define SHIM_MODE_ARGUMENT(flags, mode)                                                                                \
    mode_t mode = 0;                                                                                                   \
    if (takesMode(flags)) {                                                                                            \
        va_list args;                                                                                                  \
        va_start(args, flags);                                                                                         \
        mode = static_cast<mode_t>(va_arg(args, int));                                                                 \
        va_end(args);                                                                                                  \
    }

int open(const char* path, int flags, ...)
{
    ensureInitialised();
    SHIM_MODE_ARGUMENT(flags, mode)
    return afterOpen(gShim.open(path, flags, mode));
}

int open64(const char* path, int flags, ...)
{
    ensureInitialised();
    SHIM_MODE_ARGUMENT(flags, mode)
    return afterOpen(gShim.open64(path, flags, mode));
}

int openat(int dirFd, const char* path, int flags, ...)
{
    ensureInitialised();
    SHIM_MODE_ARGUMENT(flags, mode)
    return afterOpen(gShim.openat(dirFd, path, flags, mode));
}

int openat64(int dirFd, const char* path, int flags, ...)
{
    ensureInitialised();
    SHIM_MODE_ARGUMENT(flags, mode)
    return afterOpen(gShim.openat64(dirFd, path, flags, mode));
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    ensureInitialised();
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if (gShim.active && isModemRequest(request) && isTracked(fd))
        return modemIoctl(request, argument);
    return gShim.ioctl(fd, request, argument);
}

int close(int fd)
{
    ensureInitialised();
    if (!gShim.active || !isTracked(fd))
        return gShim.close(fd);
    termios tio = {};
    const bool hupcl = ::tcgetattr(fd, &tio) == 0 && (tio.c_cflag & HUPCL) != 0;
    const int result = gShim.close(fd);
    const int savedErrno = errno;
    ::pthread_mutex_lock(&gLock);
    gShim.tracked[fd] = false;
    if (--gShim.openCount == 0) {
        if (hupcl) {
            gShim.lines = 0;
            gShim.breakOn = false;
        }
        record("close", hupcl ? 1 : 0);
    }
    ::pthread_mutex_unlock(&gLock);
    errno = savedErrno;
    return result;
}

} // extern "C"
