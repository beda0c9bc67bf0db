// Which device stands behind port number n: the "Ports" section of the settings.
#pragma once

#include <QMap>
#include <QString>

class SettingsStore;

// Port n is <device folder>/ttyS<n-1>, unless the settings map it elsewhere, key "Com<n>" (for
// example Com5=/dev/ttyUSB0 or a /dev/serial/by-id/ link). This is the one reader and writer of
// that section. A map is taken from one reading of the settings, by the event handler that
// opens a port; a changed mapping applies from the next handler on.
//
// Without the settings the mapping is unknown, and a default device may be someone else's
// port: a map from an unreadable file refuses to name any device to open.
class PortMap
{
public:
    explicit PortMap(const SettingsStore &settings, QString deviceFolder = QStringLiteral("/dev"));
    // From a reading of its own of the settings.
    static PortMap read();

    // The entry as stored, blanks trimmed; empty when there is none.
    QString entry(int port) const;
    QString defaultDevice(int port) const;
    // The entry, or the default device.
    QString device(int port) const;

    // Why no port may be opened from this map, as the user is told; empty when one may.
    // portOpen: a port was opened before the file became unreadable.
    QString refusal(bool portOpen = false) const;

    // Stores device as port's entry. False when the settings could not be written.
    bool assign(SettingsStore &settings, int port, const QString &device);

private:
    QMap<QString, QString> m_entries; // "Com<n>" to the stored text
    QString m_deviceFolder;
    QString m_fileName;
    QString m_whyUnreadable;
};
