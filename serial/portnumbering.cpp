#include "serial/portnumbering.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <utility>

#include <sys/stat.h>

namespace {

QString firstLine(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readLine(256)).trimmed();
}

} // namespace

PortNumbering::PortNumbering(QString byIdFolder, QString sysfsRoot, QString deviceFolder)
    : m_byIdFolder(std::move(byIdFolder))
    , m_sysfsRoot(std::move(sysfsRoot))
    , m_deviceFolder(std::move(deviceFolder))
{ }

PortMap PortNumbering::map(const SettingsStore &settings) const
{
    return PortMap(settings, m_deviceFolder);
}

// A /dev/ttyS node that exists, with a UART type other than 0 (PORT_UNKNOWN) in sysfs.
bool PortNumbering::hasUart(int port) const
{
    const QString name = QStringLiteral("ttyS%1").arg(port - 1);
    if (!QFileInfo::exists(m_deviceFolder + QLatin1Char('/') + name))
        return false;
    const QString type =
        firstLine(m_sysfsRoot + QStringLiteral("/class/tty/") + name + QStringLiteral("/type"));
    return !type.isEmpty() && type != QLatin1String("0");
}

// A link to a node whose name is in sysfs's tty class; a regular file or a folder is none.
bool PortNumbering::isTty(const QFileInfo &link) const
{
    struct stat node = {};
    const QString target = link.canonicalFilePath();
    return !target.isEmpty() && ::stat(QFile::encodeName(target).constData(), &node) == 0
        && !S_ISREG(node.st_mode) && !S_ISDIR(node.st_mode)
        && QFileInfo::exists(m_sysfsRoot + QStringLiteral("/class/tty/")
                             + QFileInfo(target).fileName());
}

PortMap PortNumbering::numberNewAdapters(SettingsStore &settings) const
{
    PortMap ports = map(settings);
    QStringList entries;
    for (int port = 1; port <= portCount; ++port)
        entries.append(ports.entry(port));
    const auto names = [&](const QFileInfo &link) {
        const QString device = link.canonicalFilePath();
        for (const QString &value : std::as_const(entries)) {
            if (value == link.filePath()
                || (!value.isEmpty() && QFileInfo(value).canonicalFilePath() == device))
                return true;
        }
        return false;
    };

    const QFileInfoList links =
        QDir(m_byIdFolder).entryInfoList(QDir::System | QDir::Files, QDir::Name);
    for (const QFileInfo &link : links) {
        if (!link.isSymLink() || !isTty(link) || names(link))
            continue;
        int port = 1;
        while (port <= portCount && (!entries[port - 1].isEmpty() || hasUart(port)))
            ++port;
        if (port > portCount)
            break; // all taken: the README tells how to free one
        const QString path = link.filePath();
        if (!ports.assign(settings, port, path))
            break;
        entries[port - 1] = path;
    }
    return ports;
}

// "FTDI FT232R USB UART, serial A12345", from the USB device above the tty in sysfs.
QString PortNumbering::usbName(const QString &device) const
{
    const QString root = QDir(m_sysfsRoot).canonicalPath();
    QString dir = QDir(m_sysfsRoot + QStringLiteral("/class/tty/") + QFileInfo(device).fileName()
                       + QStringLiteral("/device"))
                      .canonicalPath();
    while (dir.startsWith(root + QLatin1Char('/'))
           && !QFile::exists(dir + QStringLiteral("/idVendor")))
        dir.truncate(dir.lastIndexOf(QLatin1Char('/')));
    if (!dir.startsWith(root + QLatin1Char('/')))
        return {};
    const QString product = (firstLine(dir + QStringLiteral("/manufacturer")) + QLatin1Char(' ')
                             + firstLine(dir + QStringLiteral("/product")))
                                .trimmed();
    const QString serial = firstLine(dir + QStringLiteral("/serial"));
    return serial.isEmpty() ? product : product + QStringLiteral(", serial ") + serial;
}

QString PortNumbering::describe(const PortMap &ports, int port) const
{
    const QString com = QStringLiteral("Com%1: ").arg(port);
    const QString mapped = ports.entry(port);
    const QString path = ports.device(port);
    const QFileInfo info(path);
    if (!info.exists()) {
        // udev removes an unplugged adapter's links from /dev/serial/ (by-id, by-path).
        if (info.isSymLink() || path.startsWith(QFileInfo(m_byIdFolder).path() + QLatin1Char('/')))
            return com + info.fileName() + QStringLiteral(" (not plugged in)");
        return com + path + QStringLiteral(" (not present)");
    }
    if (mapped.isEmpty() && !hasUart(port))
        return com + path + QStringLiteral(" (no UART behind this port)");
    const QString device = info.canonicalFilePath();
    const QString name = usbName(device);
    return name.isEmpty() ? com + device : com + name + QStringLiteral(": ") + device;
}
