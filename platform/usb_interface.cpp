#include "platform/usb_interface.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {
// One attribute's text without its newline; empty when absent.
QString attribute(const QDir &dir, const char *name)
{
    QFile file(dir.filePath(QLatin1String(name)));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.read(4096)).trimmed();
}
} // namespace

UsbInterface UsbInterface::forDevice(const QString &device, const QString &sysfsRoot)
{
    UsbInterface result;
    const QString name = QFileInfo(QFileInfo(device).canonicalFilePath()).fileName();
    if (name.isEmpty())
        return result;
    const QString root = QDir(sysfsRoot).canonicalPath();
    QString path = QFileInfo(QStringLiteral("%1/class/tty/%2/device").arg(root, name)).canonicalFilePath();
    // usb-serial drivers hang the tty below the interface, cdc_acm on it:
    // the interface is the nearest folder up that has an interface number
    // and a USB device as its parent.
    while (!path.isEmpty() && path.startsWith(root) && path != root) {
        QDir interfaceDir(path);
        QDir deviceDir(path);
        if (QFileInfo::exists(interfaceDir.filePath(QStringLiteral("bInterfaceNumber"))) && deviceDir.cdUp()
            && QFileInfo::exists(deviceDir.filePath(QStringLiteral("idVendor")))) {
            result.usb = true;
            result.idVendor = attribute(deviceDir, "idVendor");
            result.idProduct = attribute(deviceDir, "idProduct");
            result.serial = attribute(deviceDir, "serial");
            result.manufacturer = attribute(deviceDir, "manufacturer");
            result.product = attribute(deviceDir, "product");
            result.bInterfaceNumber = attribute(interfaceDir, "bInterfaceNumber");
            result.interface = attribute(interfaceDir, "interface");
            return result;
        }
        path = QFileInfo(path).path();
    }
    return result;
}
