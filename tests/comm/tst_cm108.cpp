#include "comm/cm108.h"
#include "comm/keying.h"
#include "tests/fakes/fake_hidraw.h"
#include "tests/fakes/testenv.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Whether a process that is not our child has ended: gone, or a zombie its new parent has yet to reap.
bool processEnded(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close < 0 || line.mid(close + 2, 1) == "Z";
}

PttTarget cm108At(const QString& device, int gpio = 3)
{
    PttTarget target;
    target.method = PttMethod::CM108;
    target.cm108Device = device;
    target.cm108Gpio = gpio;
    return target;
}

} // namespace

class TstCm108 : public QObject
{
    Q_OBJECT

    QTemporaryDir mDir;
    QString mDevice;

private slots:
    void init()
    {
        mDevice = mDir.filePath(QStringLiteral("hidraw%1").arg(QTest::currentTestFunction()));
        QFile file(mDevice);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    }

    void cleanup() { keying().closeAll(); }

    void reports_data()
    {
        QTest::addColumn<int>("gpio");
        QTest::addColumn<QByteArray>("keyed");
        QTest::addColumn<QByteArray>("released");
        const char* bits[] = {"01", "02", "04", "08", "10", "20", "40", "80"};
        for (int gpio = 1; gpio <= 8; ++gpio) {
            const QByteArray bit(bits[gpio - 1]);
            QTest::addRow("GPIO %d", gpio) << gpio << hex("0000" + bit + bit + "00") << hex("000000" + bit + "00");
        }
    }

    // Open, key and unkey: the device receives exactly the released, keyed and released reports.
    void reports()
    {
        QFETCH(int, gpio);
        QFETCH(QByteArray, keyed);
        QFETCH(QByteArray, released);
        QCOMPARE(cm108Report(gpio, true), keyed);
        FileHidraw api;
        const PttTarget target = cm108At(mDevice, gpio);
        QVERIFY(keying().open(target).text.isEmpty());
        QCOMPARE(keying().key(target, true), Keying::Answer::Done);
        QCOMPARE(keying().key(target, false), Keying::Answer::Done);
        keying().close(target);
        // The close drops the pin once more, whatever state it found.
        QCOMPARE(contents(mDevice), released + keyed + released + released);
    }

    void pinsOutsideTheChipAreRefused_data()
    {
        QTest::addColumn<int>("gpio");
        QTest::newRow("0") << 0;
        QTest::newRow("9") << 9;
        QTest::newRow("-1") << -1;
    }

    void pinsOutsideTheChipAreRefused()
    {
        QFETCH(int, gpio);
        QVERIFY(cm108Report(gpio, true).isEmpty());
        FileHidraw api;
        const KeyingNotice notice = keying().open(cm108At(mDevice, gpio));
        QVERIFY(notice.text.startsWith(QStringLiteral("Error opening CM108 ")));
        QVERIFY(notice.detail.contains(QStringLiteral("no pin")));
        QVERIFY(contents(mDevice).isEmpty());
    }

    void family_data()
    {
        QTest::addColumn<int>("vendor");
        QTest::addColumn<int>("product");
        QTest::addColumn<bool>("member");
        QTest::newRow("CM108") << 0x0d8c << 0x000c << true;
        QTest::newRow("CM119") << 0x0d8c << 0x0013 << true;
        QTest::newRow("CM119B") << 0x0d8c << 0x013c << true;
        QTest::newRow("SSS1623") << 0x0c76 << 0x160b << true;
        QTest::newRow("all-in-one") << 0x1209 << 0x7388 << true;
        QTest::newRow("before the range") << 0x0d8c << 0x0007 << false;
        QTest::newRow("after the range") << 0x0d8c << 0x0010 << false;
        QTest::newRow("other vendor") << 0x046d << 0x000c << false;
    }

    void family()
    {
        QFETCH(int, vendor);
        QFETCH(int, product);
        QFETCH(bool, member);
        QCOMPARE(isCm108(std::uint16_t(vendor), std::uint16_t(product)), member);
    }

    // Only CM108-family devices are offered, in number order, named by their sound card.
    void devicesAreFoundWithTheirSoundCard()
    {
        QTemporaryDir root;
        const QString r = root.path();
        const QString usb = r + QStringLiteral("/sys/devices/usb1/1-1");
        const QString usb2 = r + QStringLiteral("/sys/devices/usb1/1-2");
        QVERIFY(buildTree(
            r, {
                   "sys/devices/usb1/1-1/product=USB Audio Device",
                   "sys/devices/usb1/1-1/1-1:1.3/0003:0D8C:013C.0001/uevent=HID_ID=0003:00000D8C:0000013C",
                   "sys/devices/usb1/1-1/1-1:1.0/",
                   "sys/devices/usb1/1-2/product=Keyboard",
                   "sys/devices/usb1/1-2/1-2:1.0/0003:046D:C31C.0002/uevent=HID_ID=0003:0000046D:0000C31C",
                   "sys/devices/usb1/1-3/product=AIOC",
                   "sys/devices/usb1/1-3/1-3:1.3/0003:1209:7388.0003/uevent=HID_ID=0003:00001209:00007388",
                   "sys/class/hidraw/hidraw10/device -> " + usb + "/1-1:1.3/0003:0D8C:013C.0001",
                   "sys/class/hidraw/hidraw0/device -> " + usb2 + "/1-2:1.0/0003:046D:C31C.0002",
                   "sys/class/hidraw/hidraw2/device -> " + r + "/sys/devices/usb1/1-3/1-3:1.3/0003:1209:7388.0003",
                   "sys/class/sound/card2/device -> " + usb + "/1-1:1.0",
                   "sys/class/hidraw/hidraw9/device -> " + r + "/nowhere",
               }));
        const QList<Cm108Device> found = findCm108Devices(r);
        QCOMPARE(found.size(), 2);
        QCOMPARE(found.at(0).path, r + QStringLiteral("/dev/hidraw2"));
        QCOMPARE(found.at(0).label, QStringLiteral("AIOC"));
        QCOMPARE(found.at(1).path, r + QStringLiteral("/dev/hidraw10"));
        QCOMPARE(found.at(1).label, QStringLiteral("USB Audio Device (card 2)"));
        QCOMPARE(cm108DevicePath(QString(), found), found.at(0).path);
        QCOMPARE(cm108DevicePath(QStringLiteral("usb audio device (card 2)"), found), found.at(1).path);
        QCOMPARE(cm108DevicePath(QStringLiteral("Other (card 5)"), found), QString());
        QCOMPARE(cm108DevicePath(QStringLiteral("/dev/hidraw7"), found), QStringLiteral("/dev/hidraw7"));
    }

    void shortWriteIsAnError()
    {
        FileHidraw api;
        const PttTarget target = cm108At(mDevice);
        QVERIFY(keying().open(target).text.isEmpty());
        api.shortWrite = 3;
        QCOMPARE(keying().key(target, true), Keying::Answer::Failed);
        QVERIFY2(keying().lastDetail().contains(QStringLiteral("3 of 5 bytes")), qPrintable(keying().lastDetail()));
        QCOMPARE(keyingMessage(KeyingStep::Key, target), "Error keying CM108 " + mDevice + ".");
    }

    void vanishedDevice()
    {
        FileHidraw api;
        const PttTarget target = cm108At(mDevice);
        QVERIFY(keying().open(target).text.isEmpty());
        api.failWith = ENODEV;
        QCOMPARE(keying().key(target, true), Keying::Answer::Failed);
        QVERIFY(keying().lastDetail().contains(QString::fromLocal8Bit(strerror(ENODEV))));
        keying().close(target);
        QFile::remove(mDevice);
        api.failWith = 0;
        const KeyingNotice notice = keying().open(target);
        QCOMPARE(notice.text, "Error opening CM108 " + mDevice + ".\nUse setting to change the PTT method.");
        QVERIFY(notice.detail.contains(QStringLiteral("open: ")));
        QCOMPARE(keying().key(target, true), Keying::Answer::Failed);
    }

    // The real device layer opens only a hidraw device: a file named by mistake is left as it was, and a
    // terminal (a serial port would raise its lines when opened) is refused.
    void realLayerRefusesWhatIsNoHidraw()
    {
        QFile file(mDevice);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("precious data");
        file.close();
        KeyingNotice notice = keying().open(cm108At(mDevice));
        QVERIFY(!notice.text.isEmpty());
        QVERIFY2(notice.detail.contains(QStringLiteral("is no hidraw device")), qPrintable(notice.detail));
        QCOMPARE(contents(mDevice), QByteArray("precious data"));

        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        const QString terminal = QString::fromLocal8Bit(::ptsname(master));
        notice = keying().open(cm108At(terminal));
        QVERIFY2(notice.detail.contains(QStringLiteral("is no hidraw device")), qPrintable(notice.detail));
        ::close(master);
    }

    // The watchdog's release writes the released report from its own thread.
    void watchdogReleases()
    {
        FileHidraw api;
        const PttTarget target = cm108At(mDevice, 5);
        QVERIFY(keying().open(target).text.isEmpty());
        QCOMPARE(keying().key(target, true), Keying::Answer::Done);
        std::atomic<bool> dropped = false;
        QVERIFY(keying().watch(target, 50, [&dropped] { dropped = true; }));
        QTRY_VERIFY_WITH_TIMEOUT(dropped, 2000);
        QCOMPARE(contents(mDevice).right(kCM108ReportSize), cm108Report(5, false));
    }

    // A keyer killed while keyed: its guardian drops the pin within 100 ms. A clean close writes nothing
    // after the keyer's own release, and the guardian is gone.
    void guardian_data()
    {
        QTest::addColumn<bool>("killed");
        QTest::newRow("SIGKILL while keyed") << true;
        QTest::newRow("clean close") << false;
    }

    void guardian()
    {
        QFETCH(bool, killed);
        int ready[2];
        QVERIFY(::pipe(ready) == 0);
        const pid_t keyer = ::fork();
        QVERIFY(keyer >= 0);
        if (keyer == 0) {
            FileHidraw api;
            Cm108Line line;
            if (!line.open(mDevice, 3) || !line.set(true))
                ::_exit(1);
            const pid_t guardian = line.guardianPid();
            (void)!::write(ready[1], &guardian, sizeof guardian);
            if (!killed) {
                line.close();
                ::_exit(0);
            }
            ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        pid_t guardian = -1;
        QCOMPARE(::read(ready[0], &guardian, sizeof guardian), ssize_t(sizeof guardian));
        ::close(ready[0]);
        const QByteArray keyedSoFar = cm108Report(3, false) + cm108Report(3, true);
        if (killed) {
            QCOMPARE(contents(mDevice), keyedSoFar);
            ::kill(keyer, SIGKILL);
        }
        int status = 0;
        QCOMPARE(::waitpid(keyer, &status, 0), keyer);
        QElapsedTimer waited;
        waited.start();
        while (contents(mDevice) != keyedSoFar + cm108Report(3, false) && waited.elapsed() < 100)
            QThread::msleep(2);
        QCOMPARE(contents(mDevice), keyedSoFar + cm108Report(3, false));
        QTRY_VERIFY_WITH_TIMEOUT(processEnded(guardian), 2000);
        QTest::qWait(50);
        QCOMPARE(contents(mDevice), keyedSoFar + cm108Report(3, false));
    }
};

QTEST_GUILESS_MAIN(TstCm108)
#include "tst_cm108.moc"
