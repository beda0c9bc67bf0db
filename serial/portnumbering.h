// Com numbers for USB serial adapters, and what each number stands for.
#pragma once

#include "serial/portmap.h"

#include <QString>
#include <QStringList>

class QFileInfo;

// Every adapter (a link in /dev/serial/by-id/ to a tty, one per adapter port, named by udev from
// vendor, model, serial number and interface) gets a Com number the first time it is seen and keeps
// it for good, whichever USB socket it is in: the lowest number from 1 to 16 that the "Ports"
// section of the settings does not use and that has no UART behind its default /dev/ttyS<n-1>.
// The number is stored as Com<n>=<link> in "Ports". Entries are never changed or removed here;
// a number stays taken while its adapter is unplugged.
//
// Nothing is ever opened to find out what a device is, since opening a port moves its lines:
// everything comes from the links and from sysfs.
class PortNumbering
{
public:
    static constexpr int portCount = 16;

    explicit PortNumbering(QString byIdFolder = QStringLiteral("/dev/serial/by-id"),
                           QString sysfsRoot = QStringLiteral("/sys"),
                           QString deviceFolder = QStringLiteral("/dev"));

    // The settings' port map, with the default devices of this machine.
    PortMap map(const SettingsStore &settings) const;

    // Numbers the adapters that no "Ports" entry names yet, in the order of their names, and
    // stores their entries; none once all 16 numbers are taken. Returns the map with them.
    PortMap numberNewAdapters(SettingsStore &settings) const;

    // For a tooltip, for example "Com3: FTDI FT232R USB UART, serial A12345: /dev/ttyUSB0",
    // "Com2: /dev/ttyS1 (no UART behind this port)" or "Com4: usb-...-port0 (not plugged in)".
    QString describe(const PortMap &ports, int port) const;

private:
    bool hasUart(int port) const;
    bool isTty(const QFileInfo &link) const;
    QString usbName(const QString &device) const;

    QString m_byIdFolder;
    QString m_sysfsRoot;
    QString m_deviceFolder;
};
