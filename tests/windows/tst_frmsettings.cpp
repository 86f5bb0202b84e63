#include "windows/frmsettings.h"

#include "comm/modcomm.h"
#include "comm/modgetsetcom.h"
#include "comm/portmap.h"
#include "core/settings.h"
#include "core/startup.h"
#include "core/toolkit.h"
#include "tests/fakes/fake_serial.h"
#include "tests/fakes/testenv.h"
#include "windows/frmmain.h"
#include "windows/portdevices.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <memory>

namespace {

const QString kUseSetting = QStringLiteral(".\nUse setting to change the comm port.");
const QString kStaleCaption = QStringLiteral("caption before the dialog");

// Opens devices the way the Linux layer does: the port name is looked up in [Ports] at open time.
class DeviceSerial : public FakeSerialApi
{
public:
    QStringList opened; // the device behind every CreateFile, failed ones included

    CommHandle CreateFile(const QString& name) override
    {
        opened << PortDevicePath(name);
        return FakeSerialApi::CreateFile(name);
    }
    QString DevicePath(const QString& name) override { return PortDevicePath(name); }
};

QString stored(const QString& key)
{
    return GetSetting(kAppTitle, kSettingsSection, key);
}

QString storedDevice(int port)
{
    return GetSetting(kAppTitle, kPortsSection, QStringLiteral("COM%1").arg(port));
}

QString portName(int port)
{
    return port == 0 ? QStringLiteral("None") : QStringLiteral("COM%1").arg(port);
}

QStringList messageTexts()
{
    QStringList texts;
    for (const MessageBoxes::Asked& asked : MessageBoxes::asked())
        texts << asked.text;
    return texts;
}

QString frameCaption()
{
    return frmMain().fPTTLineStatus()->title();
}

// Names the first control whose caption is cut off; empty when all fit.
QString clippedCaption(const QWidget* window)
{
    const auto widgets = window->findChildren<QWidget*>();
    for (const QWidget* widget : widgets) {
        int needed = 0;
        QString text;
        if (const auto* label = qobject_cast<const QLabel*>(widget)) {
            needed = label->sizeHint().width();
            text = label->text();
        } else if (const auto* option = qobject_cast<const QRadioButton*>(widget)) {
            needed = option->sizeHint().width();
            text = option->text();
        } else if (const auto* button = qobject_cast<const QPushButton*>(widget)) {
            needed = button->fontMetrics().horizontalAdvance(button->text());
            text = button->text();
        }
        // One pixel of rounding from the proportional layout.
        if (needed > widget->width() + 1)
            return QStringLiteral("%1: needs %2, has %3").arg(text).arg(needed).arg(widget->width());
    }
    return QString();
}

} // namespace

class TestFrmSettings : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnv> mEnv;
    std::unique_ptr<DeviceSerial> mSerial;
    std::unique_ptr<QTemporaryDir> mDeviceRoot;
    QByteArray mSettingsBefore;

    // The state start-up leaves behind: the globals, their keys, and the port open with its lines down.
    void startWith(int port, int line = 2, VBool onTop = kFalse)
    {
        gCommPort = static_cast<std::int16_t>(port);
        gPTTLine = static_cast<std::int16_t>(line);
        gAlwaysOnTop = onTop;
        SaveSetting(kAppTitle, kSettingsSection, QStringLiteral("Comm Port"),
                    port == 0 ? QStringLiteral("None") : QString::number(port));
        SaveSetting(kAppTitle, kSettingsSection, QStringLiteral("PTT Line"),
                    line == 1 ? QStringLiteral("DTR") : QStringLiteral("RTS"));
        SaveSetting(kAppTitle, kSettingsSection, QStringLiteral("Always On Top"),
                    onTop ? QStringLiteral("Yes") : QStringLiteral("No"));
        if (port != 0) {
            QCOMPARE(CommOpen(gCommPort, GetCommPortName(), kCommSettings), 0);
            QCOMPARE(CommSetLine(gCommPort, kLineDTR, 0), 0);
            QCOMPARE(CommSetLine(gCommPort, kLineRTS, 0), 0);
        }
        frmMain().fPTTLineStatus()->setTitle(kStaleCaption);
        mSerial->clear();
        mSerial->opened.clear();
        MessageBoxes::asked().clear();
        mSettingsBefore = mEnv->settingsBytes();
    }

    void openDialog()
    {
        frmSettings().Show();
        QVERIFY(frmSettings().isLoaded());
        (void)QTest::qWaitForWindowActive(frmSettings().window());
    }

    void closeDialog(bool closeBox)
    {
        QVERIFY(frmSettings().isLoaded());
        if (closeBox)
            frmSettings().window()->close();
        else
            QTest::mouseClick(frmSettings().cmdClose(), Qt::LeftButton);
        QVERIFY(!frmSettings().isLoaded());
    }

    void choosePort(int port)
    {
        QRadioButton* option = port == 0 ? frmSettings().optCommNone() : frmSettings().optComm(port);
        option->click();
    }

    void typeDevice(int port, const QString& text)
    {
        QLineEdit* edit = frmSettings().cboDevice(port)->lineEdit();
        QTest::mouseClick(edit, Qt::LeftButton);
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, text);
    }

    // Whatever happened, every device the program holds has its lines down and the keying settings.
    void checkHeldPortsAreSafe()
    {
        for (int port = 1; port <= 4; ++port) {
            const QString name = portName(port);
            QCOMPARE(CommIsOpen(static_cast<std::int16_t>(port)), mSerial->isOpen(name));
            if (!mSerial->isOpen(name))
                continue;
            QVERIFY2(!mSerial->lineStateByName(name).anyUp(), qPrintable(name));
            QCOMPARE(FakeSerialApi::modeString(mSerial->appliedDcb(mSerial->handleOf(name))), kCommSettings);
        }
    }

    QStringList openPorts() const
    {
        QStringList names;
        for (int port = 1; port <= 4; ++port) {
            if (mSerial->isOpen(portName(port)))
                names << portName(port);
        }
        return names;
    }

    static void scriptFailures(FakeSerialApi& serial, const QStringList& failures)
    {
        // "Call errno count skip"
        for (const QString& failure : failures) {
            const QStringList f = failure.split(QLatin1Char(' '));
            serial.failOn(f.at(0), f.at(1).toInt(), f.at(2).toInt(), f.at(3).toInt());
        }
    }

private slots:
    void init()
    {
        mEnv = std::make_unique<TestEnv>();
        mSerial = std::make_unique<DeviceSerial>();
        mSerial->install();
        CommResetForTesting();
        mDeviceRoot = std::make_unique<QTemporaryDir>();
        setPortDeviceRootForTesting(mDeviceRoot->path());
        LoadSettings();
        EnsurePortDefaults();
        frmMain().Load();
        SetMousePointer(kPointerDefault);
    }

    void cleanup()
    {
        if (frmSettings().isLoaded())
            frmSettings().Unload();
        setPortDeviceRootForTesting(QString());
        mDeviceRoot.reset();
        CommResetForTesting();
        mSerial.reset();
        mEnv.reset();
    }

    void optionsShowTheGlobals_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("line");
        QTest::addColumn<int>("onTop");
        QTest::addColumn<int>("shownPort");
        QTest::addColumn<int>("shownLine");
        QTest::addColumn<bool>("shownOnTop");
        QTest::newRow("none, DTR, not on top") << 0 << 1 << 0 << 0 << 1 << false;
        QTest::newRow("COM1, RTS, on top") << 1 << 2 << -1 << 1 << 2 << true;
        QTest::newRow("COM4") << 4 << 2 << 0 << 4 << 2 << false;
        QTest::newRow("port out of range shows None") << 7 << 2 << 0 << 0 << 2 << false;
        QTest::newRow("negative port shows None") << -1 << 2 << 0 << 0 << 2 << false;
        QTest::newRow("unknown line shows DTR") << 0 << 0 << 0 << 0 << 1 << false;
        QTest::newRow("any non-zero is on top") << 0 << 1 << 1 << 0 << 1 << true;
    }

    void optionsShowTheGlobals()
    {
        QFETCH(int, port);
        QFETCH(int, line);
        QFETCH(int, onTop);
        QFETCH(int, shownPort);
        QFETCH(int, shownLine);
        QFETCH(bool, shownOnTop);
        gCommPort = static_cast<std::int16_t>(port);
        gPTTLine = static_cast<std::int16_t>(line);
        gAlwaysOnTop = static_cast<VBool>(onTop);
        SetMousePointer(kPointerBusy);
        openDialog();
        FrmSettings& dialog = frmSettings();

        for (int p = 0; p <= 4; ++p)
            QCOMPARE((p == 0 ? dialog.optCommNone() : dialog.optComm(p))->isChecked(), p == shownPort);
        QCOMPARE(dialog.optPTTDTR()->isChecked(), shownLine == 1);
        QCOMPARE(dialog.optPTTRTS()->isChecked(), shownLine == 2);
        QCOMPARE(dialog.optOnTopYes()->isChecked(), shownOnTop);
        QCOMPARE(dialog.optOnTopNo()->isChecked(), !shownOnTop);
        // The selections made while loading count as clicks: the globals now read as shown.
        QCOMPARE(int(gCommPort), shownPort);
        QCOMPARE(int(gPTTLine), shownLine);
        QCOMPARE(gAlwaysOnTop, shownOnTop ? kTrue : kFalse);
        QCOMPARE(dialog.window()->focusWidget(), static_cast<QWidget*>(dialog.cmdClose()));
        QCOMPARE(MousePointer(), kPointerDefault);
        dialog.Unload();
    }

    void globalsFollowEveryClickButNothingElse()
    {
        startWith(1, 1, kFalse);
        openDialog();
        choosePort(3);
        QCOMPARE(gCommPort, std::int16_t(3));
        frmSettings().optPTTRTS()->click();
        QCOMPARE(gPTTLine, std::int16_t(2));
        frmSettings().optOnTopYes()->click();
        QCOMPARE(gAlwaysOnTop, kTrue);
        choosePort(0);
        QCOMPARE(gCommPort, std::int16_t(0));
        // Each frame is its own group: a choice in one clears nothing in another.
        QVERIFY(frmSettings().optPTTRTS()->isChecked());
        QVERIFY(frmSettings().optOnTopYes()->isChecked());
        QVERIFY(!frmSettings().optComm(3)->isChecked());
        // Port and store stay as they were until the dialog closes.
        QVERIFY(mSerial->calls().isEmpty());
        QCOMPARE(mEnv->settingsBytes(), mSettingsBefore);
        QVERIFY(MessageBoxes::asked().isEmpty());
        closeDialog(false);
        QCOMPARE(stored(QStringLiteral("Comm Port")), QStringLiteral("None"));
    }

    void noChangeTouchesNothing_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<QStringList>("clicks"); // port numbers, "DTR", "RTS", "Yes", "No"
        QTest::addColumn<bool>("closeBox");
        QTest::newRow("open and close") << 2 << QStringList{} << false;
        QTest::newRow("open and close box") << 2 << QStringList{} << true;
        QTest::newRow("no port, close box") << 0 << QStringList{} << true;
        QTest::newRow("another port and back") << 2 << QStringList{"3", "2"} << false;
        QTest::newRow("None and back") << 2 << QStringList{"0", "2"} << true;
        QTest::newRow("a port and back to None") << 0 << QStringList{"4", "0"} << false;
        QTest::newRow("line and back") << 2 << QStringList{"DTR", "RTS"} << false;
        QTest::newRow("on top and back") << 2 << QStringList{"Yes", "No"} << false;
        QTest::newRow("the selected option again") << 2 << QStringList{"2", "RTS", "No"} << false;
    }

    void noChangeTouchesNothing()
    {
        QFETCH(int, port);
        QFETCH(QStringList, clicks);
        QFETCH(bool, closeBox);
        startWith(port, 2, kFalse);
        openDialog();
        FrmSettings& dialog = frmSettings();
        for (const QString& click : clicks) {
            if (click == QLatin1String("DTR"))
                dialog.optPTTDTR()->click();
            else if (click == QLatin1String("RTS"))
                dialog.optPTTRTS()->click();
            else if (click == QLatin1String("Yes"))
                dialog.optOnTopYes()->click();
            else if (click == QLatin1String("No"))
                dialog.optOnTopNo()->click();
            else
                choosePort(click.toInt());
        }
        closeDialog(closeBox);

        QVERIFY(mSerial->calls().isEmpty());
        QVERIFY(MessageBoxes::asked().isEmpty());
        QCOMPARE(mEnv->settingsBytes(), mSettingsBefore);
        QCOMPARE(frameCaption(), kStaleCaption);
        QCOMPARE(int(gCommPort), port);
        checkHeldPortsAreSafe();
    }

    void portChange_data()
    {
        QTest::addColumn<int>("oldPort");
        QTest::addColumn<int>("newPort");
        QTest::addColumn<QStringList>("failures"); // "Call errno count skip"
        QTest::addColumn<int>("finalPort");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<QStringList>("open");

        const QString changed = QStringLiteral("Settings Changed");
        QTest::newRow("None to a port opens it with both lines down")
            << 0 << 3 << QStringList{} << 3 << QStringList{changed} << QStringList{"COM3"};
        QTest::newRow("a port to None closes it")
            << 2 << 0 << QStringList{} << 0 << QStringList{changed} << QStringList{};
        QTest::newRow("a port to another")
            << 1 << 4 << QStringList{} << 4 << QStringList{changed} << QStringList{"COM4"};
        QTest::newRow("failed close still opens the new port")
            << 1 << 2 << QStringList{"CloseHandle 5 1 0"} << 2 << QStringList{"Error closing COM1", changed}
            << QStringList{"COM1", "COM2"};
        QTest::newRow("failed close on the way to None")
            << 3 << 0 << QStringList{"CloseHandle 5 1 0"} << 0 << QStringList{"Error closing COM3", changed}
            << QStringList{"COM3"};
        QTest::newRow("failed open brings the previous port back")
            << 1 << 2 << QStringList{"CreateFile 2 1 0"} << 1
            << QStringList{"Error opening COM2" + kUseSetting, changed} << QStringList{"COM1"};
        QTest::newRow("open failing halfway brings the previous port back")
            << 1 << 2 << QStringList{"SetCommState 22 1 0"} << 1
            << QStringList{"Error opening COM2" + kUseSetting, changed} << QStringList{"COM1"};
        QTest::newRow("failed DTR clear closes the new port")
            << 1 << 2 << QStringList{"EscapeCommFunction 5 1 0"} << 1
            << QStringList{"Error clearing DTR line on COM2" + kUseSetting, changed} << QStringList{"COM1"};
        QTest::newRow("failed RTS clear closes the new port")
            << 1 << 2 << QStringList{"EscapeCommFunction 5 1 1"} << 1
            << QStringList{"Error clearing RTS line on COM2" + kUseSetting, changed} << QStringList{"COM1"};
        QTest::newRow("previous port cannot be reopened either")
            << 1 << 2 << QStringList{"CreateFile 16 2 0"} << 0
            << QStringList{"Error opening COM2" + kUseSetting, "Error opening COM1" + kUseSetting, changed}
            << QStringList{};
        QTest::newRow("previous port reopens with a stuck line")
            << 1 << 2 << QStringList{"CreateFile 2 1 0", "EscapeCommFunction 5 1 0"} << 0
            << QStringList{"Error opening COM2" + kUseSetting, "Error clearing DTR line on COM1" + kUseSetting, changed}
            << QStringList{};
        QTest::newRow("None to a port that fails stays None")
            << 0 << 3 << QStringList{"CreateFile 13 1 0"} << 0
            << QStringList{"Error opening COM3" + kUseSetting, changed} << QStringList{};
        QTest::newRow("failed close then failed open keeps the still-held port")
            << 1 << 2 << QStringList{"CloseHandle 5 1 0", "CreateFile 2 1 0"} << 1
            << QStringList{"Error closing COM1", "Error opening COM2" + kUseSetting, changed} << QStringList{"COM1"};
    }

    void portChange()
    {
        QFETCH(int, oldPort);
        QFETCH(int, newPort);
        QFETCH(QStringList, failures);
        QFETCH(int, finalPort);
        QFETCH(QStringList, messages);
        QFETCH(QStringList, open);
        startWith(oldPort);
        scriptFailures(*mSerial, failures);
        openDialog();
        choosePort(newPort);
        closeDialog(false);

        QCOMPARE(messageTexts(), messages);
        for (const MessageBoxes::Asked& asked : MessageBoxes::asked()) {
            QCOMPARE(asked.title, kAppTitle);
            if (asked.text == QLatin1String("Settings Changed")) {
                QCOMPARE(asked.style, 48);
            } else {
                QCOMPARE(asked.style, 16);
                QVERIFY2(asked.detail.startsWith(QLatin1String("Step: Comm")), qPrintable(asked.detail));
            }
        }
        QCOMPARE(int(gCommPort), finalPort);
        QCOMPARE(stored(QStringLiteral("Comm Port")),
                 finalPort == 0 ? QStringLiteral("None") : QString::number(finalPort));
        QCOMPARE(openPorts(), open);
        QCOMPARE(frameCaption(), QStringLiteral("PTT Line Status:  ") + portName(finalPort));
        checkHeldPortsAreSafe();
        if (oldPort == 0)
            QVERIFY(mSerial->callsNamed(QStringLiteral("CloseHandle")).isEmpty());
        // Nothing else is stored for a port change.
        QCOMPARE(stored(QStringLiteral("PTT Line")), QStringLiteral("RTS"));
        QCOMPARE(stored(QStringLiteral("Always On Top")), QStringLiteral("No"));
    }

    void lineOrOnTopAloneStillRewritesTheCaption_data()
    {
        QTest::addColumn<int>("line");
        QTest::addColumn<int>("onTop");
        QTest::addColumn<QString>("click");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("RTS to DTR") << 2 << 0 << "DTR"
                                    << "PTT Line"
                                    << "DTR";
        QTest::newRow("DTR to RTS") << 1 << 0 << "RTS"
                                    << "PTT Line"
                                    << "RTS";
        QTest::newRow("on top") << 2 << 0 << "Yes"
                                << "Always On Top"
                                << "Yes";
        QTest::newRow("no longer on top") << 2 << -1 << "No"
                                          << "Always On Top"
                                          << "No";
    }

    void lineOrOnTopAloneStillRewritesTheCaption()
    {
        QFETCH(int, line);
        QFETCH(int, onTop);
        QFETCH(QString, click);
        QFETCH(QString, key);
        QFETCH(QString, value);
        startWith(2, line, static_cast<VBool>(onTop));
        const QString portBefore = stored(QStringLiteral("Comm Port"));
        openDialog();
        FrmSettings& dialog = frmSettings();
        QRadioButton* option = click == QLatin1String("DTR")   ? dialog.optPTTDTR()
                               : click == QLatin1String("RTS") ? dialog.optPTTRTS()
                               : click == QLatin1String("Yes") ? dialog.optOnTopYes()
                                                               : dialog.optOnTopNo();
        option->click();
        closeDialog(false);

        QCOMPARE(stored(key), value);
        QCOMPARE(stored(QStringLiteral("Comm Port")), portBefore);
        QVERIFY(mSerial->calls().isEmpty());
        QCOMPARE(messageTexts(), QStringList{QStringLiteral("Settings Changed")});
        QCOMPARE(frameCaption(), QStringLiteral("PTT Line Status:  COM2"));
    }

    void closeBoxActsAsClose_data()
    {
        QTest::addColumn<bool>("closeBox");
        QTest::newRow("Close button") << false;
        QTest::newRow("close box") << true;
    }

    void closeBoxActsAsClose()
    {
        QFETCH(bool, closeBox);
        startWith(1, 2, kFalse);
        openDialog();
        choosePort(4);
        frmSettings().optPTTDTR()->click();
        frmSettings().optOnTopYes()->click();
        closeDialog(closeBox);

        QCOMPARE(openPorts(), QStringList{"COM4"});
        QCOMPARE(stored(QStringLiteral("Comm Port")), QStringLiteral("4"));
        QCOMPARE(stored(QStringLiteral("PTT Line")), QStringLiteral("DTR"));
        QCOMPARE(stored(QStringLiteral("Always On Top")), QStringLiteral("Yes"));
        QCOMPARE(messageTexts(), QStringList{QStringLiteral("Settings Changed")});
        QCOMPARE(frameCaption(), QStringLiteral("PTT Line Status:  COM4"));
        checkHeldPortsAreSafe();
    }

    void escapeDoesNotCloseTheDialog()
    {
        startWith(0);
        openDialog();
        QTest::keyClick(frmSettings().window()->focusWidget(), Qt::Key_Escape);
        QVERIFY(frmSettings().isLoaded());
        closeDialog(false);
    }

    void shownModallyOverTheMainWindow()
    {
        startWith(0);
        bool modal = false;
        QTimer::singleShot(0, this, [&] {
            if (!frmSettings().isLoaded())
                return;
            modal = QGuiApplication::modalWindow() == frmSettings().window()->windowHandle();
            choosePort(2);
            frmSettings().cmdClose_Click();
        });
        QTimer::singleShot(5000, this, [] {
            if (frmSettings().isLoaded())
                frmSettings().Unload();
        });
        frmSettings().ShowModal();
        QVERIFY(modal);
        QCOMPARE(openPorts(), QStringList{"COM2"});
        QCOMPARE(stored(QStringLiteral("Comm Port")), QStringLiteral("2"));
        checkHeldPortsAreSafe();
    }

    void devicesAreOfferedForEachPort()
    {
        const QString root = mDeviceRoot->path();
        QVERIFY(QDir().mkpath(root + QStringLiteral("/dev/serial/by-id")));
        QVERIFY(QDir().mkpath(root + QStringLiteral("/sys/class/tty/ttyS0")));
        for (const char* node : {"/dev/ttyUSB0", "/dev/ttyS0", "/dev/ttyS1"}) {
            QFile file(root + QLatin1String(node));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QFile type(root + QStringLiteral("/sys/class/tty/ttyS0/type"));
        QVERIFY(type.open(QIODevice::WriteOnly));
        type.write("4\n");
        type.close();
        QVERIFY(QFile::link(QStringLiteral("../../ttyUSB0"),
                            root + QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_A5-if00-port0")));
        SaveSetting(kAppTitle, kPortsSection, QStringLiteral("COM3"), QStringLiteral("/dev/ttyACM7"));
        startWith(0);
        openDialog();

        const QStringList detected = {"/dev/serial/by-id/usb-FTDI_FT232R_A5-if00-port0", "/dev/ttyUSB0", "/dev/ttyS0"};
        const QStringList shown = {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyACM7", "/dev/ttyS3"};
        for (int port = 1; port <= 4; ++port) {
            QComboBox* combo = frmSettings().cboDevice(port);
            QVERIFY(combo->isEditable());
            QStringList items;
            for (int i = 0; i < combo->count(); ++i)
                items << combo->itemText(i);
            QCOMPARE(items, detected);
            QCOMPARE(combo->itemData(0, Qt::ToolTipRole).toString(), QStringLiteral("FTDI FT232R A5 (ttyUSB0)"));
            QCOMPARE(combo->currentText(), shown.at(port - 1));
        }
        closeDialog(false);
        QVERIFY(MessageBoxes::asked().isEmpty());
        QCOMPARE(mEnv->settingsBytes(), mSettingsBefore);
    }

    void deviceChange_data()
    {
        QTest::addColumn<int>("startPort");
        QTest::addColumn<int>("port");       // whose device is changed
        QTest::addColumn<QString>("text");   // typed into its box
        QTest::addColumn<int>("selectPort"); // -1: the port option is left alone
        QTest::addColumn<QStringList>("failures");
        QTest::addColumn<QString>("device"); // stored for `port` afterwards
        QTest::addColumn<QStringList>("opened");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<int>("finalPort");

        const QString changed = QStringLiteral("Settings Changed");
        QTest::newRow("selected port moves to a new device")
            << 2 << 2 << "/dev/ttyUSB0" << -1 << QStringList{} << "/dev/ttyUSB0" << QStringList{"/dev/ttyUSB0"}
            << QStringList{changed} << 2;
        QTest::newRow("blanks around the path are dropped")
            << 2 << 2 << "  /dev/ttyUSB0 " << -1 << QStringList{} << "/dev/ttyUSB0" << QStringList{"/dev/ttyUSB0"}
            << QStringList{changed} << 2;
        QTest::newRow("another port's device is only stored")
            << 2 << 3 << "/dev/ttyUSB0" << -1 << QStringList{} << "/dev/ttyUSB0" << QStringList{}
            << QStringList{changed} << 2;
        QTest::newRow("with no port selected the device is only stored")
            << 0 << 1 << "/dev/ttyACM0" << -1 << QStringList{} << "/dev/ttyACM0" << QStringList{}
            << QStringList{changed} << 0;
        QTest::newRow("new port on its new device") << 1 << 2 << "/dev/ttyUSB0" << 2 << QStringList{} << "/dev/ttyUSB0"
                                                    << QStringList{"/dev/ttyUSB0"} << QStringList{changed} << 2;
        QTest::newRow("new device that fails: back on the old one")
            << 2 << 2 << "/dev/ttyUSB9" << -1 << QStringList{"CreateFile 2 1 0"} << "/dev/ttyS1"
            << QStringList{"/dev/ttyUSB9", "/dev/ttyS1"} << QStringList{"Error opening COM2" + kUseSetting, changed}
            << 2;
        QTest::newRow("the same device typed again")
            << 2 << 2 << "/dev/ttyS1" << -1 << QStringList{} << "/dev/ttyS1" << QStringList{} << QStringList{} << 2;
        QTest::newRow("a name that is no path is refused")
            << 2 << 2 << "ttyUSB0" << -1 << QStringList{} << "/dev/ttyS1" << QStringList{}
            << QStringList{"\"ttyUSB0\" cannot be the device of COM2.\nA device path begins with /, for example "
                           "/dev/ttyUSB0.\nCOM2 stays on /dev/ttyS1."}
            << 2;
        QTest::newRow("an emptied box is refused")
            << 2 << 4 << "" << -1 << QStringList{} << "/dev/ttyS3" << QStringList{}
            << QStringList{"\"\" cannot be the device of COM4.\nNo device is given.\nCOM4 stays on /dev/ttyS3."} << 2;
    }

    void deviceChange()
    {
        QFETCH(int, startPort);
        QFETCH(int, port);
        QFETCH(QString, text);
        QFETCH(int, selectPort);
        QFETCH(QStringList, failures);
        QFETCH(QString, device);
        QFETCH(QStringList, opened);
        QFETCH(QStringList, messages);
        QFETCH(int, finalPort);
        startWith(startPort);
        const CommHandle before = startPort != 0 ? mSerial->handleOf(portName(startPort)) : kInvalidHandle;
        scriptFailures(*mSerial, failures);
        openDialog();
        typeDevice(port, text);
        if (selectPort >= 0)
            choosePort(selectPort);
        closeDialog(false);

        QCOMPARE(storedDevice(port), device);
        QCOMPARE(mSerial->opened, opened);
        QCOMPARE(messageTexts(), messages);
        QCOMPARE(int(gCommPort), finalPort);
        checkHeldPortsAreSafe();
        if (finalPort != 0)
            QCOMPARE(openPorts(), QStringList{portName(finalPort)});
        if (!opened.isEmpty() && before != kInvalidHandle)
            QVERIFY(!mSerial->isOpen(before));
        if (messages.isEmpty() || !messages.contains(QStringLiteral("Settings Changed"))) {
            QCOMPARE(mEnv->settingsBytes(), mSettingsBefore);
            QVERIFY(mSerial->calls().isEmpty());
        }
        if (!failures.isEmpty())
            QVERIFY(MessageBoxes::asked().first().detail.contains(text));
    }

    void deviceCanBePickedFromTheList()
    {
        const QString root = mDeviceRoot->path();
        QVERIFY(QDir().mkpath(root + QStringLiteral("/dev")));
        QFile node(root + QStringLiteral("/dev/ttyACM0"));
        QVERIFY(node.open(QIODevice::WriteOnly));
        node.close();
        startWith(1);
        openDialog();
        QComboBox* combo = frmSettings().cboDevice(1);
        combo->setCurrentIndex(combo->findText(QStringLiteral("/dev/ttyACM0")));
        closeDialog(false);
        QCOMPARE(storedDevice(1), QStringLiteral("/dev/ttyACM0"));
        QCOMPARE(mSerial->opened, QStringList{QStringLiteral("/dev/ttyACM0")});
        checkHeldPortsAreSafe();
    }

    void layoutKeepsEveryCaptionVisible()
    {
        startWith(0);
        openDialog();
        FrmSettings& dialog = frmSettings();
        const QRect devices = dialog.fDevices()->geometry();
        for (QWidget* control : {static_cast<QWidget*>(dialog.cmdClose()), static_cast<QWidget*>(dialog.fCommPort()),
                                 static_cast<QWidget*>(dialog.fPTTLine()), static_cast<QWidget*>(dialog.Frame1())})
            QVERIFY2(control->geometry().bottom() < devices.top(), qPrintable(control->objectName()));
        QVERIFY(dialog.window()->rect().contains(devices));
        const QString clipped = clippedCaption(dialog.window());
        QVERIFY2(clipped.isEmpty(), qPrintable(clipped));
        closeDialog(false);
    }
};

QTEST_MAIN(TestFrmSettings)
#include "tst_frmsettings.moc"
