#include "comm/cm108.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct UsbId
{
    std::uint16_t vendor;
    std::uint16_t product;
};

constexpr std::array<UsbId, 17> kCm108Family{{
    {0x0d8c, 0x0008},
    {0x0d8c, 0x0009},
    {0x0d8c, 0x000a},
    {0x0d8c, 0x000b},
    {0x0d8c, 0x000c},
    {0x0d8c, 0x000d},
    {0x0d8c, 0x000e},
    {0x0d8c, 0x000f},
    {0x0d8c, 0x0012},
    {0x0d8c, 0x0013},
    {0x0d8c, 0x0139},
    {0x0d8c, 0x013a},
    {0x0d8c, 0x013c},
    {0x0c76, 0x1605},
    {0x0c76, 0x1607},
    {0x0c76, 0x160b},
    {0x1209, 0x7388},
}};

class RealHidrawApi final : public HidrawApi
{
public:
    int open(const QString& path) override
    {
        const QByteArray name = QFile::encodeName(path);
        // Asked before the open: opening a serial port instead would raise its DTR and RTS, and five bytes
        // written over the start of a file named by mistake would spoil it.
        struct stat before
        {
        };
        if (::stat(name.constData(), &before) != 0)
            return -1;
        if (!S_ISCHR(before.st_mode) || !isHidraw(before.st_rdev)) {
            errno = ENODEV;
            return -1;
        }
        // Non-blocking: a device that stopped taking reports must not hold the caller.
        const int fd = ::open(name.constData(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd < 0)
            return fd;
        struct stat after
        {
        };
        if (::fstat(fd, &after) != 0 || after.st_rdev != before.st_rdev) {
            ::close(fd);
            errno = ENODEV;
            return -1;
        }
        return fd;
    }

private:
    // Whether a character device number is a hidraw device, as the kernel's sysfs tells.
    static bool isHidraw(dev_t device)
    {
        const QString subsystem =
            QFileInfo(QStringLiteral("/sys/dev/char/%1:%2/subsystem").arg(major(device)).arg(minor(device)))
                .canonicalFilePath();
        return subsystem.endsWith(QLatin1String("/hidraw"));
    }

public:
    ssize_t write(int fd, const QByteArray& report) override
    {
        return ::write(fd, report.constData(), static_cast<size_t>(report.size()));
    }
    void close(int fd) override { ::close(fd); }
};

RealHidrawApi gRealApi;
HidrawApi* gApi = &gRealApi;

QString readLine(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readLine(256)).trimmed();
}

// The vendor and product of a HID device from its uevent ("HID_ID=0003:00000D8C:0000013C").
bool hidId(const QString& hidDevice, UsbId& id)
{
    QFile file(hidDevice + QStringLiteral("/uevent"));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray& line : file.read(4096).split('\n')) {
        if (!line.startsWith("HID_ID="))
            continue;
        const QList<QByteArray> parts = line.mid(7).split(':');
        if (parts.size() != 3)
            return false;
        bool vendorOk = false;
        bool productOk = false;
        const uint vendor = parts.at(1).toUInt(&vendorOk, 16);
        const uint product = parts.at(2).toUInt(&productOk, 16);
        if (!vendorOk || !productOk || vendor > 0xffff || product > 0xffff)
            return false;
        id = {static_cast<std::uint16_t>(vendor), static_cast<std::uint16_t>(product)};
        return true;
    }
    return false;
}

QString canonical(const QString& path)
{
    return QFileInfo(path).canonicalFilePath();
}

// The sound card whose USB device is `usbDevice`, as its number; -1 when none.
int soundCardOf(const QString& root, const QString& usbDevice)
{
    const QDir cards(root + QStringLiteral("/sys/class/sound"));
    for (const QString& name : cards.entryList({QStringLiteral("card*")}, QDir::Dirs | QDir::System)) {
        bool ok = false;
        const int number = name.mid(4).toInt(&ok);
        if (!ok)
            continue;
        const QString usb = canonical(cards.filePath(name) + QStringLiteral("/device/.."));
        if (!usb.isEmpty() && usb == usbDevice)
            return number;
    }
    return -1;
}

// Closes every descriptor but `a` and `b` in a freshly forked child: a serial port held open here would
// keep its lines up after the keyer has died.
void closeAllBut(int a, int b)
{
    const unsigned lo = static_cast<unsigned>(std::min(a, b));
    const unsigned hi = static_cast<unsigned>(std::max(a, b));
    const auto closeRange = [](unsigned first, unsigned last) {
        if (first <= last)
            ::syscall(SYS_close_range, first, last, 0U);
    };
    closeRange(3, lo - 1);
    closeRange(lo + 1, hi - 1);
    closeRange(hi + 1, ~0U);
}

// The guardian's whole life, in the forked child: only async-signal-safe calls from here on.
[[noreturn]] void guard(int device, int pipe, const char* release, size_t releaseSize)
{
    // A terminal's Ctrl+C reaches the whole process group: the guardian outlives the keyer on purpose.
    ::signal(SIGINT, SIG_IGN);
    ::signal(SIGTERM, SIG_IGN);
    ::signal(SIGHUP, SIG_IGN);
    bool keyed = false;
    for (;;) {
        char what = 0;
        const ssize_t n = ::read(pipe, &what, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // the keyer is gone without a clean end
        if (what == 'K')
            keyed = true;
        else if (what == 'R')
            keyed = false;
        else if (what == 'Q')
            ::_exit(0);
    }
    if (keyed)
        (void)!::write(device, release, releaseSize);
    ::_exit(0);
}

} // namespace

QByteArray cm108Report(int gpio, bool keyed)
{
    if (gpio < 1 || gpio > 8)
        return QByteArray();
    const char bit = static_cast<char>(1U << (gpio - 1));
    QByteArray report(kCM108ReportSize, '\0');
    report[2] = keyed ? bit : '\0';
    report[3] = bit;
    return report;
}

bool isCm108(std::uint16_t vendor, std::uint16_t product)
{
    return std::any_of(kCm108Family.cbegin(), kCm108Family.cend(),
                       [=](const UsbId& id) { return id.vendor == vendor && id.product == product; });
}

QList<Cm108Device> findCm108Devices(const QString& root)
{
    QList<Cm108Device> found;
    const QDir hidraw(root + QStringLiteral("/sys/class/hidraw"));
    QStringList names = hidraw.entryList({QStringLiteral("hidraw*")}, QDir::Dirs | QDir::System);
    std::sort(names.begin(), names.end(),
              [](const QString& a, const QString& b) { return a.mid(6).toInt() < b.mid(6).toInt(); });
    for (const QString& name : names) {
        const QString hidDevice = canonical(hidraw.filePath(name) + QStringLiteral("/device"));
        UsbId id{};
        if (hidDevice.isEmpty() || !hidId(hidDevice, id) || !isCm108(id.vendor, id.product))
            continue;
        // The HID device sits on a USB interface, which sits on the USB device the sound card shares.
        const QString usbDevice = canonical(hidDevice + QStringLiteral("/../.."));
        QString label = readLine(usbDevice + QStringLiteral("/product"));
        if (label.isEmpty())
            label = QStringLiteral("CM108 %1:%2")
                        .arg(id.vendor, 4, 16, QLatin1Char('0'))
                        .arg(id.product, 4, 16, QLatin1Char('0'));
        const int card = usbDevice.isEmpty() ? -1 : soundCardOf(root, usbDevice);
        if (card >= 0)
            label += QStringLiteral(" (card %1)").arg(card);
        found.append({root + QStringLiteral("/dev/") + name, label});
    }
    return found;
}

HidrawApi& hidrawApi()
{
    return *gApi;
}

void setHidrawApi(HidrawApi* api)
{
    gApi = api ? api : &gRealApi;
}

Cm108Line::~Cm108Line()
{
    close();
}

bool Cm108Line::open(const QString& path, int gpio)
{
    close();
    mError.clear();
    if (cm108Report(gpio, false).isEmpty()) {
        mError = QStringLiteral("GPIO %1 is no pin of a CM108 (1 to 8).").arg(gpio);
        return false;
    }
    const int fd = hidrawApi().open(path);
    if (fd < 0) {
        const int error = errno;
        mError = QStringLiteral("open: ") + QString::fromLocal8Bit(std::strerror(error));
        if (error == ENODEV)
            mError = QStringLiteral("%1 is no hidraw device.").arg(path);
        if (error == EACCES)
            mError += QStringLiteral("\nIs the udev rule for CM108 devices installed, and the user in the audio "
                                     "group?");
        return false;
    }
    mFd = fd;
    mGpio = gpio;
    mPath = path;
    // A pin left high by an earlier run that died is dropped before anything else.
    if (!set(false) || !startGuardian()) {
        const QString error = mError;
        close();
        mError = error;
        return false;
    }
    return true;
}

bool Cm108Line::startGuardian()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        mError = QStringLiteral("pipe2: ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    // Built before the fork: the child may not allocate.
    const QByteArray release = cm108Report(mGpio, false);
    const pid_t pid = ::fork();
    if (pid < 0) {
        mError = QStringLiteral("fork: ") + QString::fromLocal8Bit(std::strerror(errno));
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    if (pid == 0) {
        closeAllBut(mFd, fds[0]);
        guard(mFd, fds[0], release.constData(), static_cast<size_t>(release.size()));
    }
    ::close(fds[0]);
    mGuardianPipe = fds[1];
    mGuardian = pid;
    return true;
}

void Cm108Line::tellGuardian(char what)
{
    if (mGuardianPipe >= 0)
        (void)!::write(mGuardianPipe, &what, 1);
}

bool Cm108Line::set(bool keyed)
{
    if (mFd < 0) {
        mError = QStringLiteral("The CM108 device is not open.");
        return false;
    }
    // Told before the pin goes up: a death between the two still ends with the pin down.
    if (keyed)
        tellGuardian('K');
    const QByteArray report = cm108Report(mGpio, keyed);
    const ssize_t written = hidrawApi().write(mFd, report);
    if (written != report.size()) {
        mError = written < 0 ? QStringLiteral("write: ") + QString::fromLocal8Bit(std::strerror(errno))
                             : QStringLiteral("write: %1 of %2 bytes written").arg(written).arg(report.size());
        return false;
    }
    if (!keyed)
        tellGuardian('R');
    return true;
}

void Cm108Line::forceRelease()
{
    if (mFd >= 0)
        (void)hidrawApi().write(mFd, cm108Report(mGpio, false));
}

void Cm108Line::close()
{
    const bool released = mFd < 0 || set(false);
    if (mGuardianPipe >= 0) {
        // A pin that could not be dropped is left to the guardian, which drops it once the pipe closes.
        if (released)
            tellGuardian('Q');
        ::close(mGuardianPipe);
        mGuardianPipe = -1;
    }
    if (mGuardian > 0) {
        ::waitpid(mGuardian, nullptr, 0);
        mGuardian = -1;
    }
    if (mFd >= 0) {
        hidrawApi().close(mFd);
        mFd = -1;
    }
}
