#include "serial/portmap.h"

#include "settings/settingsstore.h"
#include "version.h"

#include <utility>

namespace {

const QString ports = QStringLiteral("Ports");

QString key(int port)
{
    return QStringLiteral("Com%1").arg(port);
}

} // namespace

PortMap::PortMap(const SettingsStore &settings, QString deviceFolder)
    : m_entries(settings.section(ports))
    , m_deviceFolder(std::move(deviceFolder))
    , m_fileName(settings.fileName())
    , m_whyUnreadable(settings.whyUnreadable())
{ }

PortMap PortMap::read()
{
    return PortMap(SettingsStore(QStringLiteral(TWINLINE_TITLE)));
}

QString PortMap::entry(int port) const
{
    // Not trimmed: a link whose name ends in a blank is stored quoted, blank and all.
    return m_entries.value(key(port));
}

QString PortMap::defaultDevice(int port) const
{
    return m_deviceFolder + QStringLiteral("/ttyS%1").arg(port - 1);
}

QString PortMap::device(int port) const
{
    const QString mapped = entry(port);
    return mapped.isEmpty() ? defaultDevice(port) : mapped;
}

QString PortMap::refusal(bool portOpen) const
{
    if (m_whyUnreadable.isEmpty())
        return {};
    return QStringLiteral("The settings file %1 cannot be read (%2). " TWINLINE_TITLE
                          " will not %3change that file until it can be read.")
        .arg(m_fileName, m_whyUnreadable,
             portOpen ? QString() : QStringLiteral("open any port or "));
}

bool PortMap::assign(SettingsStore &settings, int port, const QString &device)
{
    if (!settings.write(ports, {{key(port), device}}))
        return false;
    m_entries.insert(key(port), device);
    return true;
}
