#include "comm/modcomm.h"
#include "comm/portmap.h"
#include "comm/serial_linux.h"
#include "core/globals.h"
#include "core/settingkeys.h"
#include "core/settings.h"
#include "tests/fakes/fake_serial.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A pseudo-terminal: the code under test opens the slave as its port, the
// test holds the master to read the slave's settings or to hang it up.
class Pty
{
public:
    Pty()
    {
        mMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        std::array<char, 128> name{};
        if (mMaster >= 0 && ::grantpt(mMaster) == 0 && ::unlockpt(mMaster) == 0 &&
            ::ptsname_r(mMaster, name.data(), name.size()) == 0)
            mSlave = QString::fromLocal8Bit(name.data());
    }
    ~Pty() { closeMaster(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool isValid() const { return mMaster >= 0 && !mSlave.isEmpty(); }
    const QString& slave() const { return mSlave; }
    int master() const { return mMaster; }
    void closeMaster()
    {
        if (mMaster >= 0)
            ::close(mMaster);
        mMaster = -1;
    }
    // On Linux the master reads and writes the termios of its slave.
    termios slaveTermios() const
    {
        termios tio{};
        ::tcgetattr(mMaster, &tio);
        return tio;
    }

private:
    int mMaster = -1;
    QString mSlave;
};

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void mapPort(int port, const QString& device)
{
    WriteSetting(Setting::PortDevice, device, port);
}

// The slave path can be opened (and locked) by somebody else, so nobody holds it.
bool deviceIsFree(const QString& device, const QString& lockFolder)
{
    LinuxSerialApi other(lockFolder);
    const CommHandle handle = other.CreateFile(device);
    if (handle == kInvalidHandle)
        return false;
    other.CloseHandle(handle);
    return true;
}

// Whether the tty behind `device` is marked exclusive; a non-root open is refused then.
bool isExclusive(const QString& device)
{
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY;
    int exclusive = 0;
    const bool asked = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0;
    ::close(fd);
    return asked && exclusive != 0;
}

} // namespace

class TstSerialLinux : public QObject
{
    Q_OBJECT

    QTemporaryDir mConfig;
    QTemporaryDir mFiles;
    QTemporaryDir mLocks; // the UUCP lock folder, never the system's
    std::unique_ptr<LinuxSerialApi> mApi;
    std::unique_ptr<Pty> mPty; // mapped to COM1

    QString lockFileOf(const QString& device) const
    {
        return mLocks.filePath(QStringLiteral("LCK..") + QFileInfo(device).fileName());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(mConfig.isValid());
        QVERIFY(mFiles.isValid());
        // Before any settings access: the store must be a scratch one, never the user's.
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(mConfig.path()));
        // The texts below are compared as the C library words them untranslated.
        std::setlocale(LC_MESSAGES, "C");
        mApi = std::make_unique<LinuxSerialApi>(mLocks.path());
        setSerialApi(mApi.get());
    }

    void cleanupTestCase() { setSerialApi(nullptr); }

    void init()
    {
        mPty = std::make_unique<Pty>();
        QVERIFY(mPty->isValid());
        mapPort(1, mPty->slave());
    }

    void cleanup()
    {
        QVERIFY(releaseEveryPort());
        mPty.reset();
        // A lock a failed case left would meet the next case's pseudo-terminal, which may get the same number.
        QDir locks(mLocks.path());
        for (const QString& entry : locks.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
            if (!locks.remove(entry))
                QDir(locks.filePath(entry)).removeRecursively();
        }
    }

    void portDefaultsWritten()
    {
        QSettings(mConfig.path() + QStringLiteral("/WrenKeyer/Wren Voice Keyer.ini"), QSettings::IniFormat)
            .remove(QStringLiteral("Ports/COM1"));
        mapPort(3, QStringLiteral("/dev/ttyUSB0"));
        mapPort(4, QStringLiteral("   "));

        EnsurePortDefaults();

        const QString file = mConfig.path() + QStringLiteral("/WrenKeyer/Wren Voice Keyer.ini");
        QVERIFY(QFile::exists(file));
        QSettings stored(file, QSettings::IniFormat);
        QCOMPARE(stored.value(QStringLiteral("Ports/COM1")).toString(), QStringLiteral("/dev/ttyS0"));
        QCOMPARE(stored.value(QStringLiteral("Ports/COM2")).toString(), QStringLiteral("/dev/ttyS1"));
        QCOMPARE(stored.value(QStringLiteral("Ports/COM3")).toString(), QStringLiteral("/dev/ttyUSB0"));
        // A stored value, even a useless one, is the operator's: the load check reports it instead.
        QCOMPARE(stored.value(QStringLiteral("Ports/COM4")).toString(), QStringLiteral("   "));
        // The program's own section gets no keys from the port map.
        stored.beginGroup(kSettingsSection);
        QVERIFY(stored.childKeys().isEmpty());
    }

    void portDevicePath_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");

        const char* rows[][4] = {
            {"stored device", "/dev/ttyUSB1", "COM2", "/dev/ttyUSB1"},
            {"port name in lower case", "/dev/ttyUSB1", "com2", "/dev/ttyUSB1"},
            {"stored with spaces", "  /dev/ttyACM0 ", "COM2", "/dev/ttyACM0"},
            {"empty stays, for the open to refuse", "", "COM2", ""},
            {"not a port name", "/dev/ttyUSB1", "COM5", "COM5"},
            {"a path is itself", "/dev/ttyUSB1", "/dev/serial/by-id/usb-rig", "/dev/serial/by-id/usb-rig"},
            {"COM0 is no port", "/dev/ttyUSB1", "COM0", "COM0"},
            {"COM22 is no port", "/dev/ttyUSB1", "COM22", "COM22"},
        };
        for (const auto& r : rows)
            QTest::newRow(r[0]) << QString(r[1]) << QString(r[2]) << QString(r[3]);
    }

    void portDevicePath()
    {
        QFETCH(QString, stored);
        QFETCH(QString, name);
        QFETCH(QString, expected);
        mapPort(2, stored);

        QCOMPARE(PortDevicePath(name), expected);
        QCOMPARE(LinuxSerialApi().DevicePath(name), expected);
    }

    void termiosAfterOpen_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<uint>("speed");
        QTest::addColumn<bool>("twoStop");

        // The pseudo-terminal driver forces CS8 and no parity on every change, so size and
        // parity are checked on the composed settings in composeTermios instead.
        QTest::newRow("program settings 1200 8N1") << kCommSettings << uint(B1200) << false;
        QTest::newRow("9600 7E2") << "baud=9600 parity=E data=7 stop=2" << uint(B9600) << true;
        QTest::newRow("115200 8N1") << "baud=115200 parity=N data=8 stop=1" << uint(B115200) << false;
    }

    void termiosAfterOpen()
    {
        QFETCH(QString, mode);
        QFETCH(uint, speed);
        QFETCH(bool, twoStop);
        Pty& pty = *mPty;
        // Start from the opposite of what the keyer needs, so every flag checked is one it set.
        termios dirty = pty.slaveTermios();
        dirty.c_cflag = (dirty.c_cflag & ~(HUPCL | CLOCAL | CSTOPB)) | CRTSCTS | (twoStop ? 0 : CSTOPB);
        dirty.c_lflag |= ICANON | ECHO;
        ::cfsetispeed(&dirty, B38400);
        ::cfsetospeed(&dirty, B38400);
        QCOMPARE(::tcsetattr(pty.master(), TCSANOW, &dirty), 0);
        const termios before = pty.slaveTermios();
        QVERIFY((before.c_cflag & CRTSCTS) != 0 && (before.c_cflag & HUPCL) == 0);

        QCOMPARE(CommOpen(1, QStringLiteral("COM1"), mode), 0);

        const termios tio = pty.slaveTermios();
        QCOMPARE(uint(::cfgetispeed(&tio)), speed);
        QCOMPARE(uint(::cfgetospeed(&tio)), speed);
        QCOMPARE((tio.c_cflag & CSTOPB) != 0, twoStop);
        QCOMPARE(uint(tio.c_cflag & CSIZE), uint(CS8));
        QVERIFY2((tio.c_cflag & HUPCL) != 0, "the kernel must drop the lines when the port closes");
        QVERIFY2((tio.c_cflag & CRTSCTS) == 0, "RTS is the keying line, not flow control");
        QVERIFY((tio.c_cflag & CLOCAL) != 0);
        QVERIFY((tio.c_cflag & CREAD) != 0);
        QVERIFY((tio.c_lflag & (ICANON | ECHO)) == 0);
        QVERIFY(CommIsOpen(1));
    }

    void composeTermios_data()
    {
        QTest::addColumn<uint>("baud");
        QTest::addColumn<int>("data");
        QTest::addColumn<QString>("parity");
        QTest::addColumn<int>("stop");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<uint>("speed");
        QTest::addColumn<uint>("flags"); // size, parity and stop bits

        QTest::newRow("1200 8N1") << 1200u << 8 << "N" << 10 << true << uint(B1200) << uint(CS8);
        QTest::newRow("9600 7E2") << 9600u << 7 << "E" << 20 << true << uint(B9600) << uint(CS7 | PARENB | CSTOPB);
        QTest::newRow("19200 6O1") << 19200u << 6 << "O" << 10 << true << uint(B19200) << uint(CS6 | PARENB | PARODD);
        QTest::newRow("300 5M1.5") << 300u << 5 << "M" << 15 << true << uint(B300)
                                   << uint(CS5 | PARENB | PARODD | CMSPAR | CSTOPB);
        QTest::newRow("4000000 8S1") << 4000000u << 8 << "S" << 10 << true << uint(B4000000)
                                     << uint(CS8 | PARENB | CMSPAR);
        QTest::newRow("rate termios lacks") << 1234u << 8 << "N" << 10 << false << 0u << 0u;
        QTest::newRow("rate zero") << 0u << 8 << "N" << 10 << false << 0u << 0u;
        QTest::newRow("nine data bits") << 1200u << 9 << "N" << 10 << false << 0u << 0u;
        QTest::newRow("unknown parity") << 1200u << 8 << "X" << 10 << false << 0u << 0u;
        QTest::newRow("1.5 stop bits with 8 data bits") << 1200u << 8 << "N" << 15 << false << 0u << 0u;
        QTest::newRow("2 stop bits with 5 data bits") << 1200u << 5 << "N" << 20 << false << 0u << 0u;
        QTest::newRow("3 stop bits") << 1200u << 8 << "N" << 30 << false << 0u << 0u;
    }

    void composeTermios()
    {
        QFETCH(uint, baud);
        QFETCH(int, data);
        QFETCH(QString, parity);
        QFETCH(int, stop);
        QFETCH(bool, accepted);
        QFETCH(uint, speed);
        QFETCH(uint, flags);
        const Dcb dcb{baud, static_cast<std::uint8_t>(data), parity.at(0).toLatin1(), static_cast<std::uint8_t>(stop)};
        // A port left in cooked mode with flow control and no hang-up on close.
        termios port{};
        port.c_cflag = CS7 | PARENB | CRTSCTS | CSTOPB;
        port.c_lflag = ICANON | ECHO | ISIG;
        port.c_iflag = ICRNL | IXON;
        port.c_oflag = OPOST | ONLCR;
        ::cfsetispeed(&port, B38400);
        ::cfsetospeed(&port, B38400);
        termios tio = port;

        QCOMPARE(ComposeTermios(dcb, tio), accepted);

        if (!accepted) {
            QVERIFY(std::memcmp(&tio, &port, sizeof tio) == 0);
            return;
        }
        QCOMPARE(uint(::cfgetispeed(&tio)), speed);
        QCOMPARE(uint(::cfgetospeed(&tio)), speed);
        QCOMPARE(uint(tio.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB)), flags);
        QCOMPARE(uint(tio.c_cflag & (HUPCL | CLOCAL | CREAD | CRTSCTS)), uint(HUPCL | CLOCAL | CREAD));
        QCOMPARE(uint(tio.c_lflag & (ICANON | ECHO | ISIG)), 0u);
        QCOMPARE(uint(tio.c_iflag & (ICRNL | IXON)), 0u);
        QCOMPARE(uint(tio.c_oflag & OPOST), 0u);
    }

    void secondOpenRefused_data()
    {
        QTest::addColumn<bool>("throughLink");

        QTest::newRow("same device path") << false;
        QTest::newRow("another path to the device") << true;
    }

    void secondOpenRefused()
    {
        QFETCH(bool, throughLink);
        Pty& pty = *mPty;
        QString second = pty.slave();
        if (throughLink) {
            second = mFiles.filePath(QStringLiteral("rig-link"));
            QFile::remove(second);
            QVERIFY(QFile::link(pty.slave(), second));
        }
        mapPort(2, second);
        QCOMPARE(CommOpen(1, QStringLiteral("COM1"), kCommSettings), 0);
        QVERIFY(isExclusive(pty.slave()));
        if (::geteuid() == 0) {
            // TIOCEXCL does not stop root, so the refusal below has to come from the lock.
            const int raw = ::open(QFile::encodeName(pty.slave()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            QVERIFY(raw >= 0);
            ::close(raw);
        }

        // The lock file names the device behind the link, so both paths meet at one lock.
        QCOMPARE(CommOpen(2, QStringLiteral("COM2"), kCommSettings), kErrorPortInUse);
        QCOMPARE(CommErrorSource, QStringLiteral("CommOpen (CreateFile)"));
        QCOMPARE(CommErrorText, QStringLiteral("Port in use."));
        QCOMPARE(CommErrorDevice, second);
        QVERIFY2(
            CommErrorDetail().contains(
                QStringLiteral("\nHeld by process %1 (lock file %2).").arg(::getpid()).arg(lockFileOf(pty.slave()))),
            qPrintable(CommErrorDetail()));
        // A program that takes no lock file still meets the flock.
        LinuxSerialApi unlocked{QString()};
        QCOMPARE(unlocked.CreateFile(second), kInvalidHandle);
        QCOMPARE(unlocked.GetLastError(), EBUSY);
        QVERIFY(!CommIsOpen(2));
        QVERIFY(CommIsOpen(1));
        QCOMPARE(CommSetLine(1, kLineBreak, kFalse), 0);
        // A refused opener leaves the holder's protection in place.
        QVERIFY(isExclusive(pty.slave()));

        // Lock and flag go with the close, though the master keeps the tty alive as a root port prober would.
        QCOMPARE(CommClose(1), 0);
        QVERIFY(!isExclusive(pty.slave()));
        QVERIFY(!QFile::exists(lockFileOf(pty.slave())));
        QCOMPARE(CommOpen(2, QStringLiteral("COM2"), kCommSettings), 0);
    }

    void uucpLock_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("refusal"); // in the detail; empty: the port opens
        const QString noProcess = QStringLiteral("names no process");
        QTest::newRow("free") << "free"
                              << "";
        QTest::newRow("held by a live process") << "live"
                                                << "Held by process %1";
        QTest::newRow("stale: its process is gone") << "dead"
                                                    << "";
        QTest::newRow("stale: our number, left by an earlier process") << "own"
                                                                       << "";
        QTest::newRow("garbage") << "garbage" << noProcess;
        QTest::newRow("empty") << "empty" << noProcess;
        QTest::newRow("unreadable") << "folder" << noProcess;
        QTest::newRow("no lock folder") << "no folder"
                                        << "";
        QTest::newRow("device missing") << "missing"
                                        << "";
    }

    void uucpLock()
    {
        QFETCH(QString, kind);
        QFETCH(QString, refusal);
        const QString folder =
            kind == QLatin1String("no folder") ? mFiles.filePath(QStringLiteral("none")) : mLocks.path();
        const QString device =
            kind == QLatin1String("missing") ? mFiles.filePath(QStringLiteral("ttyGone")) : mPty->slave();
        const QString lockFile = lockFileOf(device);
        pid_t pid = 0;
        if (kind == QLatin1String("live")) {
            pid = ::getppid();
        } else if (kind == QLatin1String("dead")) {
            pid = ::fork();
            if (pid == 0)
                ::_exit(0);
            QVERIFY(pid > 0 && ::waitpid(pid, nullptr, 0) == pid);
        } else if (kind == QLatin1String("own")) {
            pid = ::getpid();
        }
        const QByteArray content = pid != 0 ? QByteArray::number(pid).rightJustified(10, ' ') + '\n'
                                   : kind == QLatin1String("garbage") ? QByteArray("hello\n")
                                                                      : QByteArray();
        if (kind == QLatin1String("folder"))
            QVERIFY(QDir().mkpath(lockFile));
        else if (pid != 0 || kind == QLatin1String("garbage") || kind == QLatin1String("empty"))
            QVERIFY(writeFile(lockFile, content));
        LinuxSerialApi api(folder);

        const CommHandle handle = api.CreateFile(device);

        if (!refusal.isEmpty()) {
            QCOMPARE(handle, kInvalidHandle);
            QCOMPARE(api.GetLastError(), kErrorPortInUse);
            QCOMPARE(api.FormatMessage(api.GetLastError()), QStringLiteral("Port in use."));
            QVERIFY2(api.ErrorDetail().contains(QString(refusal).replace(QStringLiteral("%1"), QString::number(pid))),
                     qPrintable(api.ErrorDetail()));
            QVERIFY(!isExclusive(device)); // never opened
            if (kind != QLatin1String("folder"))
                QCOMPARE(readFile(lockFile), content);
            return;
        }
        if (kind == QLatin1String("missing")) {
            QCOMPARE(handle, kInvalidHandle);
            QCOMPARE(api.GetLastError(), ENOENT);
        } else {
            QVERIFY(handle != kInvalidHandle);
            const QByteArray ours = QByteArray::number(::getpid()).rightJustified(10, ' ') + '\n';
            QCOMPARE(readFile(lockFile), kind == QLatin1String("no folder") ? QByteArray() : ours);
            QVERIFY(api.CloseHandle(handle));
        }
        QVERIFY(!QFile::exists(lockFile));
        QCOMPARE(QDir(mLocks.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    void linesOnPseudoTerminal_data()
    {
        QTest::addColumn<int>("line");
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("text");

        // A pseudo-terminal has no modem lines: the kernel refuses TIOCMBIS and TIOCMBIC.
        const QString notTty = QStringLiteral("Inappropriate ioctl for device");
        QTest::newRow("DTR set") << 2 << -1 << ENOTTY << notTty;
        QTest::newRow("DTR clear") << 2 << 0 << ENOTTY << notTty;
        QTest::newRow("RTS set") << 3 << -1 << ENOTTY << notTty;
        QTest::newRow("RTS clear") << 3 << 0 << ENOTTY << notTty;
        QTest::newRow("break set") << 1 << -1 << 0 << QString();
        QTest::newRow("break clear") << 1 << 0 << 0 << QString();
        QTest::newRow("no such line") << 4 << -1 << EINVAL << QStringLiteral("Invalid argument");
    }

    void linesOnPseudoTerminal()
    {
        QFETCH(int, line);
        QFETCH(int, state);
        QFETCH(int, error);
        QFETCH(QString, text);
        Pty& pty = *mPty;
        QCOMPARE(CommOpen(1, QStringLiteral("COM1"), kCommSettings), 0);

        QCOMPARE(CommSetLine(1, static_cast<std::int16_t>(line), static_cast<std::int16_t>(state)), error);

        if (error != 0) {
            QCOMPARE(CommLastError, error);
            QCOMPARE(CommErrorSource, QStringLiteral("CommSetLine (EscapeCommFunction)"));
            QCOMPARE(CommErrorText, text);
            QCOMPARE(CommErrorDevice, pty.slave());
        }
        QVERIFY(CommIsOpen(1));
    }

    void callsAfterHangUp_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("error");

        // Once the other side is gone the tty is hung up: every control request gets EIO,
        // even the ones a pseudo-terminal would otherwise refuse with ENOTTY.
        QTest::newRow("DTR") << "DTR" << EIO;
        QTest::newRow("RTS") << "RTS" << EIO;
        QTest::newRow("break") << "break" << EIO;
        // Closing still works, and releases the slot.
        QTest::newRow("close") << "close" << 0;
    }

    void callsAfterHangUp()
    {
        QFETCH(QString, operation);
        QFETCH(int, error);
        Pty& pty = *mPty;
        QCOMPARE(CommOpen(1, QStringLiteral("COM1"), kCommSettings), 0);

        pty.closeMaster();
        std::int32_t status = 0;
        if (operation == QLatin1String("close"))
            status = CommClose(1);
        else if (operation == QLatin1String("break"))
            status = CommSetLine(1, kLineBreak, kTrue);
        else
            status = CommSetLine(1, operation == QLatin1String("DTR") ? kLineDTR : kLineRTS, kFalse);

        QCOMPARE(status, error);
        if (error != 0) {
            QCOMPARE(CommErrorSource, QStringLiteral("CommSetLine (EscapeCommFunction)"));
            QCOMPARE(CommErrorText, QStringLiteral("Input/output error"));
        }
        QCOMPARE(CommIsOpen(1), operation != QLatin1String("close"));
    }

    // A pulled USB adapter hangs its tty up, as closing a pty master does; udev takes its by-id link away and
    // makes it again when the adapter is back.
    void goneAndBack()
    {
        const QString link = mFiles.filePath(QStringLiteral("usb-rig-if00"));
        QFile::remove(link);
        QVERIFY(QFile::link(mPty->slave(), link));
        mapPort(1, link);
        mapPort(2, mPty->slave());
        QCOMPARE(CommOpen(1, QStringLiteral("COM1"), kCommSettings), 0);
        QVERIFY(!CommIsGone(1));
        QVERIFY(CommIsBack(1));
        QVERIFY2(!CommIsBack(2), "a kernel name may come back as another adapter");

        mPty->closeMaster();
        QVERIFY(QFile::remove(link));
        QVERIFY(CommIsGone(1));
        QVERIFY(!CommIsBack(1));
        QCOMPARE(CommClose(1), 0);
        QVERIFY(!CommIsGone(1));

        Pty replugged;
        QVERIFY(replugged.isValid());
        QVERIFY(QFile::link(replugged.slave(), link));
        QVERIFY(CommIsBack(1));
        QCOMPARE(CommOpen(1, QStringLiteral("COM1"), kCommSettings), 0);
        QVERIFY(!CommIsGone(1));
        // A link to something that is no device is no adapter come back.
        QVERIFY(QFile::remove(link) && QFile::link(mConfig.path(), link));
        QVERIFY(!CommIsBack(1));
    }

    void buildCommDcb_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<uint>("baud");
        QTest::addColumn<int>("data");
        QTest::addColumn<QString>("parity");
        QTest::addColumn<int>("stop");

        // Every row starts from 9600 8N1; a refused string must leave it exactly so.
        QTest::newRow("program settings") << kCommSettings << true << 1200u << 8 << "N" << 10;
        QTest::newRow("any case, any order") << "STOP=2 Parity=e DATA=7 Baud=4800" << true << 4800u << 7 << "E" << 20;
        QTest::newRow("extra spaces and tabs") << "  baud=300 \t parity=o  " << true << 300u << 8 << "O" << 10;
        QTest::newRow("one and a half stop bits") << "data=5 stop=1.5" << true << 9600u << 5 << "N" << 15;
        QTest::newRow("mark and space") << "parity=m parity=S" << true << 9600u << 8 << "S" << 10;
        QTest::newRow("rate the port may refuse later") << "baud=1234" << true << 1234u << 8 << "N" << 10;
        QTest::newRow("nothing to change") << "" << true << 9600u << 8 << "N" << 10;

        const auto refused = [](const char* name, const char* mode) {
            QTest::newRow(name) << QString::fromLatin1(mode) << false << 9600u << 8 << "N" << 10;
        };
        refused("unknown key", "baud=1200 speed=1200");
        refused("flow control key", "baud=1200 xon=on");
        refused("no value", "baud=");
        refused("no key", "=1200");
        refused("no equals sign", "baud 1200");
        refused("letters in number", "baud=12x0");
        refused("zero rate", "baud=0");
        refused("negative rate", "baud=-1200");
        refused("signed rate", "baud=+1200");
        refused("rate too large", "baud=99999999999");
        refused("commas", "baud=1200,parity=N");
        refused("unknown parity", "parity=X");
        refused("parity spelt out", "parity=none");
        refused("four data bits", "data=4");
        refused("nine data bits", "data=9");
        refused("three stop bits", "stop=3");
        refused("stop 1.0", "stop=1.0");
        refused("good start, bad end", "baud=2400 parity=E data=7 stop=0");
    }

    void buildCommDcb()
    {
        QFETCH(QString, mode);
        QFETCH(bool, accepted);
        QFETCH(uint, baud);
        QFETCH(int, data);
        QFETCH(QString, parity);
        QFETCH(int, stop);
        LinuxSerialApi api;
        // A failure before shows that a success resets the last error.
        QVERIFY(!api.SetupComm(-1, 1024, 1024));
        Dcb dcb{9600, 8, 'N', 10};

        QCOMPARE(api.BuildCommDCB(mode, dcb), accepted);

        QCOMPARE(api.GetLastError(), accepted ? 0 : EINVAL);
        QCOMPARE(dcb.baudRate, baud);
        QCOMPARE(int(dcb.byteSize), data);
        QCOMPARE(QString(QLatin1Char(dcb.parity)), parity);
        QCOMPARE(int(dcb.stopBits), stop);
    }

    void openRefusesBadSettings_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("source");

        const QString build = QStringLiteral("CommOpen (BuildCommDCB)");
        const QString set = QStringLiteral("CommOpen (SetCommState)");
        QTest::newRow("unknown parity") << "baud=1200 parity=Q data=8 stop=1" << build;
        QTest::newRow("unknown key") << "baud=1200 handshake=none" << build;
        QTest::newRow("rate termios lacks") << "baud=1234 parity=N data=8 stop=1" << set;
        QTest::newRow("1.5 stop bits with 8 data bits") << "data=8 stop=1.5" << set;
        QTest::newRow("2 stop bits with 5 data bits") << "data=5 stop=2" << set;
    }

    void openRefusesBadSettings()
    {
        QFETCH(QString, mode);
        QFETCH(QString, source);
        Pty& pty = *mPty;

        QCOMPARE(CommOpen(1, QStringLiteral("COM1"), mode), EINVAL);

        QCOMPARE(CommErrorSource, source);
        QCOMPARE(CommErrorText, QStringLiteral("Invalid argument"));
        QVERIFY(!CommIsOpen(1));
        // Closed and unlocked: another open gets the device at once.
        QVERIFY(deviceIsFree(pty.slave(), mLocks.path()));
    }

    void openFailures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("error");
        QTest::newRow("missing device") << "missing" << ENOENT;
        QTest::newRow("plain file") << "file" << ENOTTY;
        QTest::newRow("folder") << "folder" << EISDIR;
        // Hand-edited without its folder: it must not open a file of the current folder.
        QTest::newRow("relative path") << "relative" << EINVAL;
        // Root opens any file, so only an ordinary user can be refused.
        if (::geteuid() != 0)
            QTest::newRow("no permission") << "locked" << EACCES;
    }

    void openFailures()
    {
        QFETCH(QString, kind);
        QFETCH(int, error);
        const bool relative = kind == QLatin1String("relative");
        const QString device = relative ? kind : mFiles.filePath(kind);
        const QString previousFolder = QDir::currentPath();
        if (relative)
            QVERIFY(QDir::setCurrent(mFiles.path()) && writeFile(kind, "a file of the current folder"));
        if (kind == QLatin1String("folder")) {
            QVERIFY(QDir(mFiles.path()).mkpath(kind));
        } else if (kind != QLatin1String("missing")) {
            QFile file(device);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.close();
            if (kind == QLatin1String("locked"))
                QVERIFY(file.setPermissions(QFileDevice::Permissions()));
        }
        mapPort(3, device);

        QCOMPARE(CommOpen(3, QStringLiteral("COM3"), kCommSettings), error);
        QCOMPARE(CommErrorSource, QStringLiteral("CommOpen (CreateFile)"));
        QCOMPARE(CommErrorText, QString::fromLocal8Bit(std::strerror(error)));
        QCOMPARE(CommErrorDevice, device);
        QVERIFY(!CommIsOpen(3));
        if (relative) {
            QVERIFY(QDir::setCurrent(previousFolder));
            QVERIFY2(CommErrorDetail().contains(QStringLiteral("A device path begins with /")),
                     qPrintable(CommErrorDetail()));
        }
    }

    void closedHandleFails()
    {
        Pty& pty = *mPty;
        LinuxSerialApi api;
        const CommHandle handle = api.CreateFile(pty.slave());
        QVERIFY(handle != kInvalidHandle);
        QVERIFY(api.CloseHandle(handle));

        const auto badHandle = [&api](bool ok) { return !ok && api.GetLastError() == EBADF; };
        Dcb dcb{1200, 8, 'N', 10};
        QVERIFY(badHandle(api.SetupComm(handle, 1024, 1024)));
        QVERIFY(badHandle(api.PurgeComm(handle, kPurgeAll)));
        QVERIFY(badHandle(api.SetCommTimeouts(handle, CommTimeouts{0xFFFFFFFF, 0, 1000, 1000, 0})));
        QVERIFY(badHandle(api.GetCommState(handle, dcb)));
        QVERIFY(badHandle(api.SetCommState(handle, dcb)));
        QVERIFY(badHandle(api.EscapeCommFunction(handle, CommFunction::SetBreak)));
        QVERIFY(badHandle(api.CloseHandle(handle)));
    }

    void formatMessage_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");

        QTest::newRow("EIO") << EIO << "Input/output error";
        QTest::newRow("no text for an unknown code") << 4000 << "";
        QTest::newRow("no text for a negative code") << -5 << "";
        QTest::newRow("a port someone else holds") << int(kErrorPortInUse) << "Port in use.";
    }

    void formatMessage()
    {
        QFETCH(int, code);
        QFETCH(QString, text);

        QCOMPARE(LinuxSerialApi().FormatMessage(code), text);
    }
};

QTEST_GUILESS_MAIN(TstSerialLinux)
#include "tst_serial_linux.moc"
