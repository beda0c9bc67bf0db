#include "serial/portmap.h"

#include "settings/settingsstore.h"
#include "version.h"

#include <QFileInfo>

namespace PortMap {

QString defaultDevice(int port)
{
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
}

QString device(int port)
{
    const QString mapped =
        SettingsStore::read(QStringLiteral(TWINLINE_TITLE), QStringLiteral("Ports"),
                            QStringLiteral("Com%1").arg(port), QString())
            .trimmed();
    return mapped.isEmpty() ? defaultDevice(port) : mapped;
}

QString describe(int port)
{
    const QString path = device(port);
    return QFileInfo::exists(path) ? path : QStringLiteral("%1 (not present)").arg(path);
}

} // namespace PortMap
