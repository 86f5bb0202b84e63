#pragma once

#include <QList>
#include <QString>

// Serial devices an operator can point COM1..COM4 at.
struct PortDevice
{
    QString path;        // as the program opens it, e.g. /dev/ttyUSB0
    QString description; // what the device is, for the operator

    bool operator==(const PortDevice&) const = default;
};

// The serial devices present on the system whose root folder is `root`
// ("" or "/" for this system; tests hand in a folder that mimics /dev and /sys).
// Stable /dev/serial/by-id names come first, as they survive replugging; then
// /dev/ttyUSB*, /dev/ttyACM*, and the /dev/ttyS* that have a UART behind them.
// Paths are given as seen from `root`, so they always begin with /dev/.
QList<PortDevice> DetectPortDevices(const QString& root);
// The same for the system the program runs on, through the installed PortDeviceSource.
QList<PortDevice> DetectPortDevices();

// Where the devices are found: this system's /dev and /sys, unless a test installed another source.
class PortDeviceSource
{
public:
    virtual ~PortDeviceSource() = default;
    virtual QList<PortDevice> devices() = 0;
};

PortDeviceSource& portDeviceSource();
// Installs `source` (not owned) in place of the system's; nullptr restores it.
void setPortDeviceSource(PortDeviceSource* source);

// Why `text` cannot be stored as the device of a port; empty when it can.
QString DevicePathProblem(const QString& text);
// The operator's message for a device `text` of port `portName` that cannot be: what and why, without what
// follows from it; empty when the device is fine.
QString DeviceRefusal(const QString& text, const QString& portName);
