#include "serial/portnumbering.h"

#include "settings/settingsstore.h"
#include "version.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <utility>

#include <sys/stat.h>

namespace {

const QString ports = QStringLiteral("Ports");

QString key(int port)
{
    return QStringLiteral("Com%1").arg(port);
}

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

QString PortNumbering::entry(int port) const
{
    // Not trimmed: the store keeps a link whose name ends in a blank quoted, blank and all.
    return SettingsStore::read(QStringLiteral(TWINLINE_TITLE), ports, key(port), QString());
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

QList<int> PortNumbering::numberNewAdapters() const
{
    QStringList entries;
    for (int port = 1; port <= portCount; ++port)
        entries.append(entry(port));
    const auto names = [&](const QFileInfo &link) {
        const QString device = link.canonicalFilePath();
        for (const QString &value : std::as_const(entries)) {
            if (value == link.filePath()
                || (!value.isEmpty() && QFileInfo(value).canonicalFilePath() == device))
                return true;
        }
        return false;
    };

    QList<int> given;
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
        if (!SettingsStore::write(QStringLiteral(TWINLINE_TITLE), ports, key(port), path))
            break;
        entries[port - 1] = path;
        given.append(port);
    }
    return given;
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

QString PortNumbering::describe(int port) const
{
    const QString com = key(port) + QStringLiteral(": ");
    const QString mapped = entry(port);
    const QString path =
        mapped.isEmpty() ? m_deviceFolder + QStringLiteral("/ttyS%1").arg(port - 1) : mapped;
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
