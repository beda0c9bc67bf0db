#include "sandbox.h"

#include "app/module1.h"

#include <QDir>

#include <dlfcn.h>
#include <fcntl.h>

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

static bool prepare(const QTemporaryDir &root)
{
    if (!::dlsym(RTLD_DEFAULT, "ptymodem_loaded"))
        qFatal("run through ctest: libptymodem.so is not preloaded");
    for (const char *folder :
         {"modem", "machine/by-id", "machine/sys", "machine/dev", "run-lock", "var-lock"})
        QDir().mkpath(root.filePath(QLatin1String(folder)));
    qputenv("HOME", QFile::encodeName(root.filePath(QStringLiteral("home"))));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(root.filePath(QStringLiteral("home/.config"))));
    qputenv("PTYMODEM_DIR", QFile::encodeName(root.filePath(QStringLiteral("modem"))));
    Module1::flgCH1 = Module1::flgCH2 = Module1::flgPortError = wordFalse;
    return root.isValid();
}

Sandbox::Sandbox()
    : m_prepared(prepare(m_root))
{
    mapPort(1, pty.path());
}
