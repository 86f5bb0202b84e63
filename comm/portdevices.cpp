#include "portdevices.h"

#include "core/service.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

#include <algorithm>

namespace {

QString underRoot(const QString& root, const QString& path)
{
    if (root.isEmpty() || root == QLatin1String("/"))
        return path;
    return QDir::cleanPath(root + QLatin1Char('/') + path);
}

// Every entry of a folder, device nodes and dangling links included.
QStringList entriesOf(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// The names prefix0, prefix1, ... found in /dev, in numeric order so ttyUSB2 comes before ttyUSB10.
QStringList numberedNodes(const QString& root, const QString& prefix)
{
    const QRegularExpression pattern(QStringLiteral("^%1(\\d+)$").arg(prefix));
    QList<std::pair<qulonglong, QString>> found;
    for (const QString& name : entriesOf(underRoot(root, QStringLiteral("/dev")))) {
        const QRegularExpressionMatch match = pattern.match(name);
        if (match.hasMatch())
            found.append({match.captured(1).toULongLong(), name});
    }
    std::sort(found.begin(), found.end());
    QStringList names;
    for (const auto& entry : found)
        names << entry.second;
    return names;
}

// The 8250 driver registers ttyS0..ttyS3 (or more) whether or not a UART is
// there; the ones without hardware report port type 0 (PORT_UNKNOWN).
bool hasUart(const QString& root, const QString& name)
{
    const QString sysfs = underRoot(root, QStringLiteral("/sys/class/tty/") + name);
    QFile type(sysfs + QStringLiteral("/type"));
    if (type.open(QIODevice::ReadOnly)) {
        bool ok = false;
        const int portType = type.readAll().trimmed().toInt(&ok);
        return ok && portType != 0;
    }
    // Kernels without the type attribute: a port without hardware hangs off the serial8250 platform device.
    const QFileInfo device(sysfs + QStringLiteral("/device"));
    if (!device.exists())
        return false;
    const QStringList parts = device.canonicalFilePath().split(QLatin1Char('/'), Qt::SkipEmptyParts);
    return std::none_of(parts.cbegin(), parts.cend(),
                        [](const QString& part) { return part.startsWith(QLatin1String("serial8250")); });
}

// "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0" -> "FTDI FT232R USB UART A50285BI".
QString readableById(const QString& name)
{
    QString text = name;
    if (text.startsWith(QLatin1String("usb-")))
        text.remove(0, 4);
    static const QRegularExpression interfaceSuffix(QStringLiteral("-if\\d+(-port\\d+)?$"));
    text.remove(interfaceSuffix);
    text.replace(QLatin1Char('_'), QLatin1Char(' '));
    return text.isEmpty() ? name : text;
}

class SystemDevices final : public PortDeviceSource
{
public:
    QList<PortDevice> devices() override { return DetectPortDevices(QString()); }
};

ServiceSlot<PortDeviceSource, SystemDevices> gService;

} // namespace

QList<PortDevice> DetectPortDevices(const QString& root)
{
    QList<PortDevice> devices;

    // by-id link name for each kernel name it points at, to describe ttyUSBn and ttyACMn too.
    QHash<QString, QString> byIdOf;
    const QString byIdFolder = underRoot(root, QStringLiteral("/dev/serial/by-id"));
    for (const QString& name : entriesOf(byIdFolder)) {
        const QFileInfo link(byIdFolder + QLatin1Char('/') + name);
        // udev removes the link when the device goes; one left dangling names nothing.
        if (!link.exists())
            continue;
        const QString kernelName = QFileInfo(link.canonicalFilePath()).fileName();
        byIdOf.insert(kernelName, readableById(name));
        devices.append({QStringLiteral("/dev/serial/by-id/") + name,
                        readableById(name) + QStringLiteral(" (") + kernelName + QLatin1Char(')')});
    }

    const auto describe = [&byIdOf](const QString& kind, const QString& kernelName) {
        const QString product = byIdOf.value(kernelName);
        return product.isEmpty() ? kind : kind + QStringLiteral(": ") + product;
    };
    for (const QString& name : numberedNodes(root, QStringLiteral("ttyUSB")))
        devices.append({QStringLiteral("/dev/") + name, describe(QStringLiteral("USB serial adapter"), name)});
    for (const QString& name : numberedNodes(root, QStringLiteral("ttyACM")))
        devices.append({QStringLiteral("/dev/") + name, describe(QStringLiteral("USB modem or CDC serial"), name)});
    for (const QString& name : numberedNodes(root, QStringLiteral("ttyS"))) {
        if (hasUart(root, name))
            devices.append({QStringLiteral("/dev/") + name, QStringLiteral("Serial port of the computer")});
    }
    return devices;
}

QList<PortDevice> DetectPortDevices()
{
    return portDeviceSource().devices();
}

PortDeviceSource& portDeviceSource()
{
    return gService.get();
}

void setPortDeviceSource(PortDeviceSource* source)
{
    gService.install(source);
}

QString DevicePathProblem(const QString& text)
{
    const QString path = text.trimmed();
    if (path.isEmpty())
        return QStringLiteral("No device is given.");
    if (!path.startsWith(QLatin1Char('/')))
        return QStringLiteral("A device path begins with /, for example /dev/ttyUSB0.");
    const bool control =
        std::any_of(path.cbegin(), path.cend(), [](QChar c) { return c.category() == QChar::Other_Control; });
    if (control)
        return QStringLiteral("A device path cannot hold line breaks or other control characters.");
    return QString();
}

QString DeviceRefusal(const QString& text, const QString& portName)
{
    const QString problem = DevicePathProblem(text);
    if (problem.isEmpty())
        return QString();
    return QStringLiteral("\"%1\" cannot be the device of %2.\n%3").arg(text, portName, problem);
}
