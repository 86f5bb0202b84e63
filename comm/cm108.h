#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <sys/types.h>

// Keying through a GPIO pin of a CM108-family USB sound chip, over its hidraw device.

inline constexpr int kCM108ReportSize = 5;

// The output report that sets `gpio` (1..8) high when `keyed`, low otherwise: report id 0, 0, the pin's bit
// as data, the same bit as direction mask, 0. Empty for a pin outside 1..8.
QByteArray cm108Report(int gpio, bool keyed);

// Whether a USB vendor and product is one of the CM108 family (C-Media CM108/CM109/CM119, their clones
// and the all-in-one cable).
bool isCm108(std::uint16_t vendor, std::uint16_t product);

struct Cm108Device
{
    QString path;  // /dev/hidrawN
    QString label; // "USB Audio Device (card 2)": the sound card it belongs to
};

// The CM108-family hidraw devices below `root` (a folder that mimics / in tests; "" is the system's own),
// with the sound card on the same USB device, in the order of their hidraw numbers.
QList<Cm108Device> findCm108Devices(const QString& root = QString());

// The system calls on a hidraw device, as one seam: the real ones by default, a test's when installed.
class HidrawApi
{
public:
    virtual ~HidrawApi() = default;
    // A descriptor for writing, or -1 with errno set.
    virtual int open(const QString& path) = 0;
    // As write(2); may be called from the watchdog's thread.
    virtual ssize_t write(int fd, const QByteArray& report) = 0;
    virtual void close(int fd) = 0;
};

HidrawApi& hidrawApi();
// Installs `api` (not owned); nullptr restores the real one.
void setHidrawApi(HidrawApi* api);

// One opened CM108 device, with the guardian process that drops the pin should this program die keyed.
class Cm108Line
{
public:
    Cm108Line() = default;
    ~Cm108Line(); // closes
    Cm108Line(const Cm108Line&) = delete;
    Cm108Line& operator=(const Cm108Line&) = delete;

    // Opens `path`, writes the released report and starts the guardian. On failure returns false with the
    // failing step and reason in error().
    bool open(const QString& path, int gpio);
    // Unkeys, stops the guardian cleanly and closes.
    void close();
    bool isOpen() const { return mFd >= 0; }
    // Writes the keyed or released report; false on an error or a short write (see error()).
    bool set(bool keyed);
    // The released report from any thread, without touching error(): the watchdog's release.
    void forceRelease();

    QString path() const { return mPath; }
    QString error() const { return mError; }
    pid_t guardianPid() const { return mGuardian; }

private:
    bool startGuardian();
    void tellGuardian(char what);

    int mFd = -1;
    int mGpio = 0;
    QString mPath;
    QString mError;
    int mGuardianPipe = -1; // our end: 'K' keyed, 'R' released, 'Q' clean end
    pid_t mGuardian = -1;
};
