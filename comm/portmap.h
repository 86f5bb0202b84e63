#pragma once

#include <QString>

// COM1..COM4 stand for device paths kept in the settings store, section
// [Ports], so an operator can point COM1 at /dev/ttyUSB0 or a by-id link.

// Writes the default device of each port whose key is missing.
void EnsurePortDefaults();
// The message for every stored device that is no device path, refused as the settings dialog refuses
// it; empty when all are fine. Such a port opens nothing until another device is chosen.
QString CheckPortDevices();
// The device path stored for a port name, as stored; the default when none is stored.
// A name that is not COM1..COM4 maps to itself.
QString PortDevicePath(const QString& portName);
// The port number of "COM1".."COM4" (any case), or 0 for any other name.
int PortNumber(const QString& portName);
