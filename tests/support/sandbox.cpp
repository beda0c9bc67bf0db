#include "sandbox.h"

#include "app/module1.h"

#include <QDir>
#include <QFile>
#include <QSettings>

#include <fcntl.h>
#include <unistd.h>

FakePty::FakePty()
{
    char name[64] = {};
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0
        || ::ptsname_r(m_master, name, sizeof name) != 0)
        qFatal("no pseudo-terminal");
    m_path = QString::fromLocal8Bit(name);
    m_number = m_path.section(QLatin1Char('/'), -1).toInt();
    // pty numbers are reused: forget what an earlier pty with this number left behind.
    for (const char *suffix : {"", ".log", ".nohw", ".keep"})
        QFile::remove(stateFile(suffix));
}

FakePty::~FakePty()
{
    hangUp(); // its state files go with the sandbox's folder, or the next pty of its number
}

QString FakePty::stateFile(const char *suffix) const
{
    return qEnvironmentVariable("PTYMODEM_DIR") + QStringLiteral("/pts%1").arg(m_number)
        + QLatin1String(suffix);
}

QByteArray FakePty::state(const char *suffix) const
{
    QFile file(stateFile(suffix));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

static bool prepare(const QTemporaryDir &root)
{
    for (const char *folder :
         {"config", "modem", "machine/by-id", "machine/sys", "machine/dev", "run-lock", "var-lock"})
        QDir().mkpath(root.filePath(QLatin1String(folder)));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(root.filePath(QStringLiteral("config"))));
    qputenv("PTYMODEM_DIR", QFile::encodeName(root.filePath(QStringLiteral("modem"))));
    Module1::flgCH1 = Module1::flgCH2 = Module1::flgPortError = wordFalse;
    return root.isValid();
}

Sandbox::Sandbox()
    : m_prepared(prepare(m_root))
{
    mapPort(1, pty.path());
}

QString Sandbox::read(const QString &key) const
{
    return QSettings(settingsFile(), QSettings::IniFormat).value(key).toString();
}

void Sandbox::write(const QString &key, const QString &text)
{
    QSettings(settingsFile(), QSettings::IniFormat).setValue(key, text);
}

void Sandbox::mapPort(int port, const QString &device)
{
    write(QStringLiteral("Ports/Com%1").arg(port), device);
}

PortNumbering Sandbox::numbering() const
{
    return PortNumbering(path(QStringLiteral("machine/by-id")), path(QStringLiteral("machine/sys")),
                         path(QStringLiteral("machine/dev")));
}
