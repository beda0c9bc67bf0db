#include "serial/portmap.h"

#include "settings/settingsstore.h"
#include "version.h"

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

} // namespace PortMap
