#pragma once

#include <QString>

// What the kernel tells of the USB interface behind a serial device, read
// from sysfs: the device's identity and the interface's number and name.
struct UsbInterface {
    bool usb = false;       // false: not a USB device (or sysfs says nothing); the rest is empty
    QString idVendor;       // four hex digits, as sysfs writes them ("0403")
    QString idProduct;
    QString serial;         // the strings the device reports; empty when it reports none
    QString manufacturer;
    QString product;
    QString bInterfaceNumber; // two hex digits ("00")
    QString interface;      // the interface's own string; often empty

    // Reads what `sysfsRoot` ("/sys" on a running system) says of the
    // serial device `device` (a path like /dev/ttyUSB0, or a link to one):
    // /class/tty/NAME/device is followed up to the USB interface, whose
    // parent is the USB device. Never throws.
    [[nodiscard]] static UsbInterface forDevice(const QString &device,
                                                const QString &sysfsRoot = QStringLiteral("/sys"));
};
