#include "comm/portdevices.h"
#include "tests/fakes/testenv.h"

#include <QTemporaryDir>
#include <QTest>

namespace {

QStringList pathsOf(const QList<PortDevice>& devices)
{
    QStringList paths;
    for (const PortDevice& device : devices)
        paths << device.path;
    return paths;
}

} // namespace

class TestPortDevices : public QObject
{
    Q_OBJECT

private slots:
    void detectsSerialDevices_data()
    {
        QTest::addColumn<QStringList>("tree");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("nothing there") << QStringList{"dev/", "sys/class/tty/"} << QStringList{};
        QTest::newRow("no /dev at all") << QStringList{} << QStringList{};
        QTest::newRow("USB adapters in numeric order") << QStringList{"dev/ttyUSB10", "dev/ttyUSB2", "dev/ttyUSB0"}
                                                       << QStringList{"/dev/ttyUSB0", "/dev/ttyUSB2", "/dev/ttyUSB10"};
        QTest::newRow("by-id first, then USB, ACM, UART")
            << QStringList{"dev/ttyS0", "sys/class/tty/ttyS0/type=4", "dev/ttyACM0", "dev/ttyUSB0",
                           "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0 -> ../../ttyUSB0"}
            << QStringList{"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "/dev/ttyUSB0",
                           "/dev/ttyACM0", "/dev/ttyS0"};
        QTest::newRow("dangling by-id link left by an unplugged adapter")
            << QStringList{"dev/serial/by-id/usb-Gone-if00-port0 -> ../../ttyUSB3", "dev/ttyUSB0"}
            << QStringList{"/dev/ttyUSB0"};
        QTest::newRow("registered ports without a UART report type 0")
            << QStringList{"dev/ttyS0", "sys/class/tty/ttyS0/type=4", "dev/ttyS1", "sys/class/tty/ttyS1/type=0",
                           "dev/ttyS2", "sys/class/tty/ttyS2/type=0", "dev/ttyS3", "sys/class/tty/ttyS3/type=16"}
            << QStringList{"/dev/ttyS0", "/dev/ttyS3"};
        QTest::newRow("unreadable type falls back to the device link")
            << QStringList{"dev/ttyS0",
                           "sys/devices/pnp0/00:04/",
                           "sys/class/tty/ttyS0/device -> ../../../devices/pnp0/00:04",
                           "dev/ttyS1",
                           "sys/devices/platform/serial8250/",
                           "sys/class/tty/ttyS1/device -> ../../../devices/platform/serial8250",
                           "dev/ttyS2",
                           "sys/class/tty/ttyS2/"}
            << QStringList{"/dev/ttyS0"};
        QTest::newRow("sysfs entry without a device node")
            << QStringList{"sys/class/tty/ttyS0/type=4"} << QStringList{};
        QTest::newRow("garbage type is no UART")
            << QStringList{"dev/ttyS0", "sys/class/tty/ttyS0/type=abc"} << QStringList{};
        QTest::newRow("names that only look alike")
            << QStringList{"dev/ttyUSB",    "dev/ttyUSBx", "dev/ttyUSB0.bak", "dev/ttyS",
                           "dev/ttyprintk", "dev/tty0",    "dev/ttyACM1"}
            << QStringList{"/dev/ttyACM1"};
    }

    void detectsSerialDevices()
    {
        QFETCH(QStringList, tree);
        QFETCH(QStringList, expected);
        QTemporaryDir root;
        QVERIFY(buildTree(root.path(), tree));
        QCOMPARE(pathsOf(DetectPortDevices(root.path())), expected);
    }

    void describesDevicesForTheOperator()
    {
        QTemporaryDir root;
        QVERIFY(
            buildTree(root.path(), {"dev/ttyUSB0", "dev/ttyACM0", "dev/ttyS0", "sys/class/tty/ttyS0/type=4",
                                    "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0 -> ../../ttyUSB0",
                                    "dev/serial/by-id/usb-Arduino_Uno_1234-if00 -> ../../ttyACM0"}));
        const QList<PortDevice> expected = {
            {"/dev/serial/by-id/usb-Arduino_Uno_1234-if00", "Arduino Uno 1234 (ttyACM0)"},
            {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
             "FTDI FT232R USB UART A50285BI (ttyUSB0)"},
            {"/dev/ttyUSB0", "USB serial adapter: FTDI FT232R USB UART A50285BI"},
            {"/dev/ttyACM0", "USB modem or CDC serial: Arduino Uno 1234"},
            {"/dev/ttyS0", "Serial port of the computer"},
        };
        QCOMPARE(DetectPortDevices(root.path()), expected);
    }

    void devicePathsAreChecked_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("kernel name") << "/dev/ttyUSB0" << true;
        QTest::newRow("blanks around") << "  /dev/ttyUSB0 " << true;
        QTest::newRow("by-id name") << "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0" << true;
        QTest::newRow("non-ASCII") << "/dev/serial/by-id/usb-M\u00FCller_\u00C9lectronique-if00" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("blanks only") << "   " << false;
        QTest::newRow("bare name") << "ttyUSB0" << false;
        QTest::newRow("relative path") << "dev/ttyS0" << false;
        QTest::newRow("line break inside") << "/dev/tty\nUSB0" << false;
        QTest::newRow("tab inside") << "/dev/tty\tUSB0" << false;
    }

    void devicePathsAreChecked()
    {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        const QString problem = DevicePathProblem(text);
        QCOMPARE(problem.isEmpty(), accepted);
        if (!accepted)
            QVERIFY(problem.endsWith(QLatin1Char('.')));
    }
};

QTEST_GUILESS_MAIN(TestPortDevices)
#include "tst_portdevices.moc"
