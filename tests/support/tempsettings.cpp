#include "tempsettings.h"

#include <QDir>
#include <QFile>
#include <QSettings>

TempSettings::TempSettings()
{
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_config.path());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
    qputenv("PTYMODEM_DIR", QFile::encodeName(m_modem.path()));
}

TempSettings::~TempSettings()
{
    // Leave nothing pointing at a folder that is about to go.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QDir::tempPath() + QStringLiteral("/twinline-no-settings"));
}

QString TempSettings::file() const
{
    return m_config.path() + QStringLiteral("/Twinline/Twinline.conf");
}

QString TempSettings::read(const QString &section, const QString &key) const
{
    const QSettings settings(file(), QSettings::IniFormat);
    return settings.value(section + QLatin1Char('/') + key).toString();
}

void TempSettings::write(const QString &section, const QString &key, const QString &text)
{
    QSettings settings(file(), QSettings::IniFormat);
    settings.setValue(section + QLatin1Char('/') + key, text);
}

void TempSettings::writeRaw(const QByteArray &contents)
{
    QDir().mkpath(m_config.path() + QStringLiteral("/Twinline"));
    QFile out(file());
    if (out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        out.write(contents);
}
