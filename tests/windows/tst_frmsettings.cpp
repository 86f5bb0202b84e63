#include "comm/modcomm.h"
#include "comm/modgetsetcom.h"
#include "comm/portdevices.h"
#include "comm/portmap.h"
#include "core/settingkeys.h"
#include "core/settings.h"
#include "core/startup.h"
#include "core/toolkit.h"
#include "keyer/player.h"
#include "tests/fakes/fake_hidraw.h"
#include "tests/fakes/window_fixture.h"
#include "windows/frmmain.h"
#include "windows/frmsettings.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

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

QString storedDevice(int port)
{
    return ReadSetting(Setting::PortDevice, port);
}

QString portName(int port)
{
    return port == 0 ? QStringLiteral("None") : QStringLiteral("COM%1").arg(port);
}

QStringList itemsOf(const QComboBox* combo)
{
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

QString frameCaption()
{
    return frmMain().fPTTLineStatus()->title();
}

// The options of a frame, in their order there.
QStringList optionsIn(const QGroupBox* frame)
{
    QStringList captions;
    for (const QRadioButton* option : frame->findChildren<QRadioButton*>(Qt::FindDirectChildrenOnly))
        captions << option->text();
    return captions;
}

NamedControls namedControls()
{
    FrmSettings& d = frmSettings();
    NamedControls named{{QStringLiteral("Close"), d.cmdClose()}, {QStringLiteral("None"), d.optCommNone()}};
    for (int port = 1; port <= kPortCount; ++port)
        named.append({GetCommPortName(static_cast<std::int16_t>(port)), d.optComm(port)});
    named.append({{QStringLiteral("DTR"), d.optPTTDTR()},
                  {QStringLiteral("RTS"), d.optPTTRTS()},
                  {QStringLiteral("No"), d.optOnTopNo()},
                  {QStringLiteral("Yes"), d.optOnTopYes()}});
    return named;
}

} // namespace

class TestFrmSettings : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindowFixture> mFix;
    DeviceSerial* mSerial = nullptr;
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
        mSettingsBefore = mFix->env.settingsBytes();
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

    // Clicks a port number (0: None), "DTR", "RTS", "Yes" or "No".
    void click(const QString& option)
    {
        FrmSettings& d = frmSettings();
        const int port = option.toInt();
        QRadioButton* button = option == QLatin1String("DTR")   ? d.optPTTDTR()
                               : option == QLatin1String("RTS") ? d.optPTTRTS()
                               : option == QLatin1String("Yes") ? d.optOnTopYes()
                               : option == QLatin1String("No")  ? d.optOnTopNo()
                               : port == 0                      ? d.optCommNone()
                                                                : d.optComm(port);
        button->click();
    }
    void choosePort(int port) { click(QString::number(port)); }

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

    // Each failure is "Call errno count skip".
    void scriptFailures(const QStringList& failures)
    {
        for (const QString& failure : failures) {
            const QStringList f = failure.split(QLatin1Char(' '));
            mSerial->failOn(f.at(0), f.at(1).toInt(), f.at(2).toInt(), f.at(3).toInt());
        }
    }

private slots:
    void init()
    {
        auto serial = std::make_unique<DeviceSerial>();
        mSerial = serial.get();
        mFix = std::make_unique<MainWindowFixture>(std::move(serial));
        mDeviceRoot = std::make_unique<QTemporaryDir>();
        mFix->devices.root = mDeviceRoot->path();
        LoadSettings();
        EnsurePortDefaults();
        frmMain().Load();
    }

    void cleanup()
    {
        mFix.reset();
        mDeviceRoot.reset();
    }

    void shownTextsAndStates_data()
    {
        FrmSettings& d = frmSettings();
        addShownRows({
            {"caption", [&d] { return d.window()->windowTitle(); }, "Settings"},
            {"Close", [&d] { return d.cmdClose()->text(); }, "Close"},
            {"port frame", [&d] { return d.fCommPort()->title(); }, "Port"},
            {"port options", [&d] { return optionsIn(d.fCommPort()); },
             QStringList{"None", "COM1", "COM2", "COM3", "COM4"}},
            {"line frame", [&d] { return d.fPTTLine()->title(); }, "PTT Line"},
            {"line options", [&d] { return optionsIn(d.fPTTLine()); }, QStringList{"DTR", "RTS"}},
            {"on-top frame", [&d] { return d.Frame1()->title(); }, "Keep On Top"},
            {"on-top options", [&d] { return optionsIn(d.Frame1()); }, QStringList{"No", "Yes"}},
            {"tab order", [] { return tabOrder(namedControls()); },
             QStringList{"Close", "None", "COM1", "COM2", "COM3", "COM4", "DTR", "RTS", "No", "Yes"}},
            {"focus at opening", [&d] { return d.window()->focusWidget() == d.cmdClose(); }, true},
            {"audio frame", [&d] { return d.fAudio()->title(); }, "Audio"},
            {"audio rows",
             [&d] {
                 QStringList labels;
                 for (const QLabel* label : d.fAudio()->findChildren<QLabel*>())
                     labels << label->text();
                 return labels;
             },
             QStringList{"Output", "Input"}},
            {"outputs with none on the server", [&d] { return itemsOf(d.cboOutput()); }, QStringList{"System default"}},
            {"inputs with none on the server", [&d] { return itemsOf(d.cboInput()); }, QStringList{"System default"}},
            {"output shown", [&d] { return d.cboOutput()->currentText(); }, "System default"},
        });
    }

    void shownTextsAndStates()
    {
        frmSettings().Show();
        compareShownRow();
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
        QTest::newRow("COM4, RTS, on top") << 4 << 2 << -1 << 4 << 2 << true;
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
        frmSettings().Show();
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
    }

    void globalsFollowEveryClickButNothingElse()
    {
        startWith(1, 1, kFalse);
        choosePort(3);
        QCOMPARE(gCommPort, std::int16_t(3));
        click(QStringLiteral("RTS"));
        QCOMPARE(gPTTLine, std::int16_t(2));
        click(QStringLiteral("Yes"));
        QCOMPARE(gAlwaysOnTop, kTrue);
        choosePort(0);
        QCOMPARE(gCommPort, std::int16_t(0));
        // Each frame is its own group: a choice in one clears nothing in another.
        QVERIFY(frmSettings().optPTTRTS()->isChecked());
        QVERIFY(frmSettings().optOnTopYes()->isChecked());
        QVERIFY(!frmSettings().optComm(3)->isChecked());
        // Port and store stay as they were until the dialog closes.
        QVERIFY(mSerial->calls().isEmpty());
        QCOMPARE(mFix->env.settingsBytes(), mSettingsBefore);
        QVERIFY(MessageBoxes::asked().isEmpty());
        closeDialog(false);
        QCOMPARE(storedSetting(QStringLiteral("Comm Port")), QStringLiteral("None"));
    }

    void noChangeTouchesNothing_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<QStringList>("clicks");
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
        for (const QString& option : clicks)
            click(option);
        closeDialog(closeBox);

        QVERIFY(mSerial->calls().isEmpty());
        QVERIFY(MessageBoxes::asked().isEmpty());
        QCOMPARE(mFix->env.settingsBytes(), mSettingsBefore);
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
        QTest::newRow("failed close still opens the new port")
            << 1 << 2 << QStringList{"CloseHandle 5 1 0"} << 2 << QStringList{"Error closing COM1", changed}
            << QStringList{"COM1", "COM2"};
        QTest::newRow("failed open brings the previous port back")
            << 1 << 2 << QStringList{"CreateFile 2 1 0"} << 1
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
        scriptFailures(failures);
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
        QCOMPARE(storedSetting(QStringLiteral("Comm Port")),
                 finalPort == 0 ? QStringLiteral("None") : QString::number(finalPort));
        QCOMPARE(openPorts(), open);
        QCOMPARE(frameCaption(), QStringLiteral("PTT Line Status:  ") + portName(finalPort));
        checkHeldPortsAreSafe();
        if (oldPort == 0)
            QVERIFY(mSerial->callsNamed(QStringLiteral("CloseHandle")).isEmpty());
        // Nothing else is stored for a port change.
        QCOMPARE(storedSetting(QStringLiteral("PTT Line")), QStringLiteral("RTS"));
        QCOMPARE(storedSetting(QStringLiteral("Always On Top")), QStringLiteral("No"));
    }

    void lineOrOnTopAloneStillRewritesTheCaption_data()
    {
        QTest::addColumn<int>("line");
        QTest::addColumn<int>("onTop");
        QTest::addColumn<QString>("option"); // clicked, and stored under its frame's key
        QTest::newRow("RTS to DTR") << 2 << 0 << "DTR";
        QTest::newRow("DTR to RTS") << 1 << 0 << "RTS";
        QTest::newRow("on top") << 2 << 0 << "Yes";
        QTest::newRow("no longer on top") << 2 << -1 << "No";
    }

    void lineOrOnTopAloneStillRewritesTheCaption()
    {
        QFETCH(int, line);
        QFETCH(int, onTop);
        QFETCH(QString, option);
        startWith(2, line, static_cast<VBool>(onTop));
        click(option);
        closeDialog(false);

        const bool isLine = option == QLatin1String("DTR") || option == QLatin1String("RTS");
        QCOMPARE(storedSetting(isLine ? QStringLiteral("PTT Line") : QStringLiteral("Always On Top")), option);
        QCOMPARE(storedSetting(QStringLiteral("Comm Port")), QStringLiteral("2"));
        QVERIFY(mSerial->calls().isEmpty());
        QCOMPARE(messageTexts(), QStringList{QStringLiteral("Settings Changed")});
        QCOMPARE(frameCaption(), QStringLiteral("PTT Line Status:  COM2"));
    }

    // The choices still apply for the run, but no "Settings Changed" may claim they were saved.
    void failedSaveIsNoChange()
    {
        startWith(2, 2, kFalse);
        // Something that is not a file where the settings file was: every save is refused.
        QVERIFY(QFile::remove(mFix->env.settingsFile()));
        QVERIFY(QDir().mkpath(mFix->env.settingsFile()));
        click(QStringLiteral("DTR"));
        click(QStringLiteral("Yes"));
        closeDialog(false);

        QCOMPARE(MessageBoxes::asked().size(), 1);
        const QString text = MessageBoxes::asked().first().text;
        QVERIFY2(text.startsWith(QStringLiteral("These settings could not be saved: Always On Top, PTT Line.")),
                 qPrintable(text));
        QCOMPARE(MessageBoxes::asked().first().style, 48);
        QCOMPARE(gPTTLine, std::int16_t(1));
        QCOMPARE(gAlwaysOnTop, kTrue);
        QCOMPARE(storedSetting(QStringLiteral("PTT Line")), QStringLiteral("DTR"));
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
        choosePort(4);
        click(QStringLiteral("DTR"));
        click(QStringLiteral("Yes"));
        // Escape is no way out: the dialog has no cancel.
        QTest::keyClick(frmSettings().window()->focusWidget(), Qt::Key_Escape);
        closeDialog(closeBox);

        QCOMPARE(openPorts(), QStringList{"COM4"});
        QCOMPARE(storedSetting(QStringLiteral("Comm Port")), QStringLiteral("4"));
        QCOMPARE(storedSetting(QStringLiteral("PTT Line")), QStringLiteral("DTR"));
        QCOMPARE(storedSetting(QStringLiteral("Always On Top")), QStringLiteral("Yes"));
        QCOMPARE(messageTexts(), QStringList{QStringLiteral("Settings Changed")});
        QCOMPARE(frameCaption(), QStringLiteral("PTT Line Status:  COM4"));
        checkHeldPortsAreSafe();
    }

    void keyerTimesAreStoredOnClose_data()
    {
        QTest::addColumn<QString>("spin"); // "timeout", "lead" or "tail"
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("stored"); // empty: nothing changed
        const struct
        {
            const char* spin;
            const char* typed;
            const char* key;
            const char* stored;
        } rows[] = {{"timeout", "0", "Transmit Time-out", "0"},
                    {"timeout", "30", "Transmit Time-out", "30"},
                    {"lead", "0", "Lead Time", "0"},
                    {"lead", "2000", "Lead Time", "2000"},
                    {"tail", "1000", "Tail Time", "1000"},
                    {"tail", "250", "Tail Time", ""},
                    {"repeat", "30", "Repeat Interval", "30"},
                    {"repeat", "600", "Repeat Interval", "600"},
                    {"repeat", "10", "Repeat Interval", ""}};
        for (const auto& r : rows)
            QTest::addRow("%s %s", r.key, r.typed)
                << QString(r.spin) << QString(r.typed) << QString(r.key) << QString(r.stored);
    }

    void keyerTimesAreStoredOnClose()
    {
        QFETCH(QString, spin);
        QFETCH(QString, typed);
        QFETCH(QString, key);
        QFETCH(QString, stored);
        startWith(1);
        FrmSettings& dialog = frmSettings();
        QSpinBox* box = spin == QLatin1String("timeout")  ? dialog.txtTransmitTimeout()
                        : spin == QLatin1String("lead")   ? dialog.txtLeadTime()
                        : spin == QLatin1String("repeat") ? dialog.txtRepeatInterval()
                                                          : dialog.txtTailTime();
        QCOMPARE(dialog.txtTransmitTimeout()->text(), QStringLiteral("120 s"));
        QCOMPARE(dialog.txtLeadTime()->value(), 250);
        QCOMPARE(dialog.txtRepeatInterval()->text(), QStringLiteral("10 s"));
        QLineEdit* edit = box->findChild<QLineEdit*>();
        edit->selectAll();
        QTest::keyClicks(edit, typed);
        // Nothing is stored or used before the dialog closes.
        QCOMPARE(mFix->env.settingsBytes(), mSettingsBefore);
        QCOMPARE(keyerTimesFromGlobals().leadMs, 250);
        closeDialog(false);

        const QString before = settingDefault(spin == QLatin1String("timeout")  ? Setting::TransmitTimeout
                                              : spin == QLatin1String("lead")   ? Setting::LeadTime
                                              : spin == QLatin1String("repeat") ? Setting::RepeatInterval
                                                                                : Setting::TailTime);
        QCOMPARE(GetSetting(kAppTitle, QStringLiteral("Keyer"), key), stored.isEmpty() ? before : stored);
        const KeyerTimes times = keyerTimesFromGlobals();
        const int now = spin == QLatin1String("timeout")  ? times.timeOutMs / 1000
                        : spin == QLatin1String("lead")   ? times.leadMs
                        : spin == QLatin1String("repeat") ? gRepeatInterval
                                                          : times.tailMs;
        QCOMPARE(QString::number(now), stored.isEmpty() ? before : stored);
        QCOMPARE(messageTexts(), stored.isEmpty() ? QStringList() : QStringList{QStringLiteral("Settings Changed")});
        QVERIFY(mSerial->calls().isEmpty());
    }

    // A signal or Exit ends the program with the dialog open: its choices were never confirmed.
    void endingWithTheDialogOpenStoresNothing()
    {
        startWith(1, 2, kFalse);
        choosePort(3);
        click(QStringLiteral("DTR"));
        click(QStringLiteral("Yes"));
        frmSettings().txtTailTime()->setValue(0);
        frmMain().mnuExit_Click();
        frmSettings().Unload();

        QCOMPARE(mFix->env.settingsBytes(), mSettingsBefore);
        QVERIFY(MessageBoxes::asked().isEmpty());
        QVERIFY(!mSerial->opened.contains(QStringLiteral("/dev/ttyS2")));
        QCOMPARE(openPorts(), QStringList());
        QCOMPARE(gTailTime, std::int16_t(250));
        checkHeldPortsAreSafe();
    }

    void devicesAreOfferedAndPicked()
    {
        QVERIFY(buildTree(mDeviceRoot->path(), {"dev/ttyUSB0", "dev/ttyS0", "dev/ttyS1", "sys/class/tty/ttyS0/type=4",
                                                "dev/serial/by-id/usb-FTDI_FT232R_A5-if00-port0 -> ../../ttyUSB0"}));
        WriteSetting(Setting::PortDevice, QStringLiteral("/dev/ttyACM7"), 3);
        startWith(1);

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
        // Picking the selected port's device from the list reopens the port there.
        frmSettings().cboDevice(1)->setCurrentIndex(0);
        closeDialog(false);
        QCOMPARE(storedDevice(1), detected.first());
        for (int port = 2; port <= 4; ++port)
            QCOMPARE(storedDevice(port), shown.at(port - 1));
        QCOMPARE(mSerial->opened, QStringList{detected.first()});
        QCOMPARE(messageTexts(), QStringList{QStringLiteral("Settings Changed")});
        checkHeldPortsAreSafe();
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
        scriptFailures(failures);
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
            QCOMPARE(mFix->env.settingsBytes(), mSettingsBefore);
            QVERIFY(mSerial->calls().isEmpty());
        }
        if (!failures.isEmpty())
            QVERIFY(MessageBoxes::asked().first().detail.contains(text));
    }

    // The server's outputs and inputs by their descriptions, the id stored; a stored one the server does not
    // offer stays chosen, so opening and closing the dialog never loses it.
    void audioChoicesAreStoredOnClose_data()
    {
        QTest::addColumn<QString>("box"); // "Output" or "Input"
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("pick"); // the id picked, "-": nothing picked
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("storedAfter");
        const QString radio = QStringLiteral("alsa_output.usb-Burr-Brown_CODEC-00.analog-stereo");
        const QString gone = QStringLiteral("alsa_output.usb-C-Media_USB_Audio-00.analog-stereo");
        const QStringList outputs = {"System default", "USB Audio CODEC (" + radio + ")",
                                     "USB Audio CODEC (alsa_output.usb-Burr-Brown_CODEC-01.analog-stereo)",
                                     "Built-in Audio Analog Stereo"};
        const QStringList inputs = {"System default", "USB Audio CODEC"};
        QTest::newRow("default left alone") << "Output"
                                            << ""
                                            << "-" << outputs << "System default"
                                            << "";
        QTest::newRow("the radio's card picked") << "Output"
                                                 << "" << radio << outputs << "System default" << radio;
        QTest::newRow("a stored card shown") << "Output" << radio << "-" << outputs << outputs[1] << radio;
        QTest::newRow("an unplugged card stays chosen")
            << "Output" << gone << "-" << outputs + QStringList{"Not connected: " + gone} << "Not connected: " + gone
            << gone;
        QTest::newRow("from an unplugged card to the default")
            << "Output" << gone << "" << outputs + QStringList{"Not connected: " + gone} << "Not connected: " + gone
            << "";
        QTest::newRow("the input picked") << "Input"
                                          << ""
                                          << "alsa_input.usb-Burr-Brown_CODEC-00.mono" << inputs << "System default"
                                          << "alsa_input.usb-Burr-Brown_CODEC-00.mono";
    }

    void audioChoicesAreStoredOnClose()
    {
        QFETCH(QString, box);
        QFETCH(QString, stored);
        QFETCH(QString, pick);
        QFETCH(QStringList, items);
        QFETCH(QString, shown);
        QFETCH(QString, storedAfter);
        mFix->soundDevices.outputList = {
            {"alsa_output.usb-Burr-Brown_CODEC-00.analog-stereo", "USB Audio CODEC"},
            {"alsa_output.usb-Burr-Brown_CODEC-01.analog-stereo", "USB Audio CODEC"},
            {"alsa_output.pci-0000_00_1f.3.analog-stereo", "Built-in Audio Analog Stereo"},
        };
        mFix->soundDevices.inputList = {{"alsa_input.usb-Burr-Brown_CODEC-00.mono", "USB Audio CODEC"}};
        const bool output = box == QLatin1String("Output");
        const Setting key = output ? Setting::AudioOutput : Setting::AudioInput;
        QString& global = output ? gAudioOutput : gAudioInput;
        WriteSetting(key, stored);
        global = stored;
        startWith(1);
        QComboBox* combo = output ? frmSettings().cboOutput() : frmSettings().cboInput();
        QCOMPARE(itemsOf(combo), items);
        QCOMPARE(combo->currentText(), shown);
        if (pick != QLatin1String("-")) {
            QVERIFY(combo->findData(pick) >= 0);
            combo->setCurrentIndex(combo->findData(pick));
        }
        // Nothing is stored or used before the dialog closes.
        QCOMPARE(global, stored);
        closeDialog(false);

        QCOMPARE(ReadSetting(key), storedAfter);
        QCOMPARE(global, storedAfter);
        if (storedAfter == stored) {
            QCOMPARE(mFix->env.settingsBytes(), mSettingsBefore);
            QVERIFY(MessageBoxes::asked().isEmpty());
        } else {
            QCOMPARE(messageTexts(), QStringList{QStringLiteral("Settings Changed")});
        }
        QVERIFY(mSerial->calls().isEmpty());
        gAudioOutput.clear();
        gAudioInput.clear();
    }

    void layoutKeepsEveryCaptionVisible()
    {
        startWith(0);
        FrmSettings& dialog = frmSettings();
        const QRect devices = dialog.fDevices()->geometry();
        for (QWidget* control : {static_cast<QWidget*>(dialog.fCommPort()), static_cast<QWidget*>(dialog.fPTTLine()),
                                 static_cast<QWidget*>(dialog.Frame1())})
            QVERIFY2(control->geometry().bottom() < devices.top(), qPrintable(control->objectName()));
        QVERIFY(dialog.window()->rect().contains(devices));
        // The keyer and PTT-method frames stand in a column of their own, so the dialog fits a small screen.
        QVERIFY(dialog.fKeyer()->geometry().left() > devices.right());
        for (const QWidget* frame :
             {static_cast<QWidget*>(dialog.fKeyer()), static_cast<QWidget*>(dialog.fPTTMethod())})
            QVERIFY(dialog.window()->rect().contains(frame->geometry()));
        // Stacked in one column the dialog was nearly three times as tall as wide, more than a laptop's
        // screen shows; screens are wider than tall.
        QVERIFY2(dialog.window()->height() <= dialog.window()->width(),
                 qPrintable(QStringLiteral("%1x%2").arg(dialog.window()->width()).arg(dialog.window()->height())));
        // Close comes last, below every frame, and inside the window.
        QVERIFY(dialog.cmdClose()->geometry().top() > dialog.fKeyer()->geometry().bottom());
        QVERIFY(dialog.cmdClose()->geometry().top() > devices.bottom());
        QVERIFY(dialog.window()->rect().contains(dialog.cmdClose()->geometry()));
        for (const QLabel* com : dialog.fDevices()->findChildren<QLabel*>())
            QVERIFY2(com->width() >= com->sizeHint().width(), qPrintable(com->text()));
        const QString clipped = clippedCaption(dialog.window());
        QVERIFY2(clipped.isEmpty(), qPrintable(clipped));
        QVERIFY(dialog.fPTTMethod()->geometry().top() > dialog.fKeyer()->geometry().bottom());
        QVERIFY(dialog.cmdClose()->geometry().top() > dialog.fPTTMethod()->geometry().bottom());
        QVERIFY(dialog.fAudio()->geometry().top() > devices.bottom());
        QVERIFY(dialog.fAudio()->geometry().right() < dialog.fKeyer()->geometry().left());
        QVERIFY(dialog.cmdClose()->geometry().top() > dialog.fAudio()->geometry().bottom());
        for (const QLabel* label : dialog.fAudio()->findChildren<QLabel*>())
            QVERIFY2(label->width() >= label->sizeHint().width(), qPrintable(label->text()));
    }

    // Only the fields of the chosen method are shown.
    void methodShowsItsFields_data()
    {
        QTest::addColumn<int>("method");
        QTest::addColumn<bool>("hamlib");
        QTest::addColumn<bool>("cm108");
        QTest::newRow("Serial line") << 0 << false << false;
        QTest::newRow("Hamlib") << 1 << true << false;
        QTest::newRow("CM108 GPIO") << 2 << false << true;
    }

    void methodShowsItsFields()
    {
        QFETCH(int, method);
        QFETCH(bool, hamlib);
        QFETCH(bool, cm108);
        startWith(0);
        frmSettings().optMethod(method)->click();
        QCOMPARE(int(gPTTMethod), method);
        QCOMPARE(frmSettings().txtHamlibPath()->isVisibleTo(frmSettings().window()), hamlib);
        QCOMPARE(frmSettings().cboHamlibModel()->isVisibleTo(frmSettings().window()), hamlib);
        QCOMPARE(frmSettings().txtCM108GPIO()->isVisibleTo(frmSettings().window()), cm108);
        // The list of models comes from the library: the dummy rig is in it.
        QVERIFY(frmSettings().cboHamlibModel()->findData(1) >= 0);
        closeDialog(false);
    }

    // From COM1 to a CM108 pin and back: the port is let go of, the pin released, the section stored,
    // the frame names the device.
    void toCm108AndBack()
    {
        QTemporaryDir dir;
        const QString device = dir.filePath(QStringLiteral("hidraw5"));
        QFile file(device);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        FileHidraw api;
        startWith(1);
        const QRect serialFrame = frmMain().fPTTLineStatus()->geometry();
        frmSettings().optMethod(2)->click();
        frmSettings().cboCM108Device()->setEditText(device);
        frmSettings().txtCM108GPIO()->setValue(4);
        closeDialog(false);
        QCOMPARE(messageTexts(), QStringList{"Settings Changed"});
        QCOMPARE(ReadSetting(Setting::PTTMethod), QStringLiteral("CM108"));
        QCOMPARE(ReadSetting(Setting::CM108Device), device);
        QCOMPARE(ReadSetting(Setting::CM108GPIO), QStringLiteral("4"));
        QCOMPARE(openPorts(), QStringList());
        QCOMPARE(frameCaption(), "PTT Line Status:  CM108 " + device);
        QCOMPARE(frmMain().lblDTR()->text(), QStringLiteral("PTT"));
        QVERIFY(!frmMain().lblRTS()->isVisibleTo(frmMain().window()));
        // Wide enough for a device name, as wide as the buttons below, the indicator in its middle.
        const QRect wideFrame = frmMain().fPTTLineStatus()->geometry();
        QVERIFY(wideFrame.width() > serialFrame.width() * 3 / 2);
        QCOMPARE(wideFrame.left(), frmMain().cmdMsg(0)->geometry().left());
        QVERIFY(qAbs(frmMain().lblDTR()->geometry().center().x() - wideFrame.width() / 2) <= 2);
        QFile written(device);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), cm108Report(4, false));

        MessageBoxes::asked().clear();
        frmSettings().Show();
        frmSettings().optMethod(0)->click();
        closeDialog(false);
        QCOMPARE(messageTexts(), QStringList{"Settings Changed"});
        QCOMPARE(ReadSetting(Setting::PTTMethod), QStringLiteral("Serial"));
        QCOMPARE(openPorts(), QStringList{"COM1"});
        checkHeldPortsAreSafe();
        QCOMPARE(frameCaption(), QStringLiteral("PTT Line Status:  COM1"));
        QCOMPARE(frmMain().lblDTR()->text(), QStringLiteral("DTR"));
        QVERIFY(frmMain().lblRTS()->isVisibleTo(frmMain().window()));
        QCOMPARE(frmMain().fPTTLineStatus()->geometry(), serialFrame);
    }

    // Test keys the line in force for one second, then releases it.
    void testKeysForOneSecond_data()
    {
        QTest::addColumn<int>("line");
        QTest::newRow("DTR") << 1;
        QTest::newRow("RTS") << 2;
    }

    void testKeysForOneSecond()
    {
        QFETCH(int, line);
        startWith(2, line);
        const auto up = [this, line] {
            const FakeSerialApi::Lines lines = mSerial->lineStateByName(QStringLiteral("COM2"));
            return line == 1 ? lines.dtr && !lines.rts : lines.rts && !lines.dtr;
        };
        QTest::mouseClick(frmSettings().cmdTest(), Qt::LeftButton);
        const qint64 keyedAt = mSerial->elapsedMs();
        QVERIFY(up());
        QVERIFY(!frmSettings().cmdTest()->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!mSerial->lineStateByName(QStringLiteral("COM2")).anyUp(), 3000);
        const qint64 held = mSerial->elapsedMs() - keyedAt;
        QVERIFY2(held >= FrmSettings::kTestMs - 20 && held < FrmSettings::kTestMs + 300,
                 qPrintable(QString::number(held)));
        QVERIFY(frmSettings().cmdTest()->isEnabled());
        closeDialog(false);
        QVERIFY(MessageBoxes::asked().isEmpty());
    }

    // Closing the dialog in the middle of a test releases the line at once.
    void closingEndsTheTest()
    {
        startWith(1, 1);
        QTest::mouseClick(frmSettings().cmdTest(), Qt::LeftButton);
        QVERIFY(mSerial->lineStateByName(QStringLiteral("COM1")).dtr);
        closeDialog(false);
        QVERIFY(!mSerial->lineStateByName(QStringLiteral("COM1")).anyUp());
    }

    // Choices not yet in force are not tested: nothing is keyed.
    void testRefusesChoicesNotInForce_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("method");
        QTest::addColumn<QString>("text");
        QTest::newRow("other port") << 1 << -1 << "Close Settings to put these choices in force, then test them.";
        QTest::newRow("other method") << 1 << 2 << "Close Settings to put these choices in force, then test them.";
        QTest::newRow("no port") << 0 << -1 << "Nothing to key: None is not open.";
    }

    void testRefusesChoicesNotInForce()
    {
        QFETCH(int, port);
        QFETCH(int, method);
        QFETCH(QString, text);
        startWith(port);
        if (method >= 0)
            frmSettings().optMethod(method)->click();
        else if (port != 0)
            choosePort(3);
        QTest::mouseClick(frmSettings().cmdTest(), Qt::LeftButton);
        QCOMPARE(messageTexts(), QStringList{text});
        QVERIFY(mSerial->callsNamed(QStringLiteral("EscapeCommFunction")).isEmpty());
        frmSettings().optMethod(0)->click();
        choosePort(port);
        MessageBoxes::asked().clear();
        closeDialog(false);
    }
};

QTEST_MAIN(TestFrmSettings)
#include "tst_frmsettings.moc"
