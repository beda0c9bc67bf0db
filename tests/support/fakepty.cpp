#include "fakepty.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <dlfcn.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

FakePty::FakePty()
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0) {
        m_error = systemError("posix_openpt");
        return;
    }
    char name[64];
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0
        || ::ptsname_r(m_master, name, sizeof name) != 0) {
        m_error = systemError("cannot set up the pty");
        ::close(m_master);
        m_master = -1;
        return;
    }
    m_path = QString::fromLocal8Bit(name);
    bool ok = false;
    m_number = m_path.section(QLatin1Char('/'), -1).toInt(&ok);
    if (!ok) {
        m_error = QStringLiteral("unexpected slave name %1").arg(m_path);
        ::close(m_master);
        m_master = -1;
        return;
    }

    // pty numbers are reused: forget whatever an earlier pty with this number left behind.
    removeStateFiles();

    // Unix98 pty slaves start without HUPCL, a real serial port starts with it.
    if (!setHangUpOnClose(true)) {
        ::close(m_master);
        m_master = -1;
    }
}

FakePty::~FakePty()
{
    if (m_master >= 0)
        ::close(m_master);
    if (m_number >= 0)
        removeStateFiles();
}

bool FakePty::isValid() const
{
    return m_master >= 0;
}

QString FakePty::errorString() const
{
    return m_error;
}

QString FakePty::path() const
{
    return m_path;
}

int FakePty::number() const
{
    return m_number;
}

bool FakePty::rts() const
{
    return readLine("RTS");
}

bool FakePty::dtr() const
{
    return readLine("DTR");
}

void FakePty::hangUp()
{
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
}

void FakePty::setNoHardware(bool noHardware)
{
    const QString marker = stateFile(QStringLiteral(".nohw"));
    if (marker.isEmpty())
        return;
    if (noHardware) {
        QFile file(marker);
        if (!file.open(QIODevice::WriteOnly))
            m_error = file.errorString();
    } else {
        QFile::remove(marker);
    }
}

bool FakePty::setHangUpOnClose(bool hangUpOnClose)
{
    // Terminal attributes set through the master apply to the slave.
    termios attributes{};
    if (m_master < 0 || ::tcgetattr(m_master, &attributes) != 0) {
        m_error = systemError("tcgetattr");
        return false;
    }
    if (hangUpOnClose)
        attributes.c_cflag |= HUPCL;
    else
        attributes.c_cflag &= ~tcflag_t(HUPCL);
    if (::tcsetattr(m_master, TCSANOW, &attributes) != 0) {
        m_error = systemError("tcsetattr");
        return false;
    }
    return true;
}

QString FakePty::stateFile(const QString &suffix) const
{
    const QString dir = ptyModemDir();
    if (dir.isEmpty() || m_number < 0)
        return {};
    return QStringLiteral("%1/pts%2%3").arg(dir).arg(m_number).arg(suffix);
}

bool FakePty::readLine(const char *name) const
{
    const QString path = stateFile(QString());
    if (path.isEmpty())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray wanted = QByteArray(name) + "=1";
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.trimmed() == wanted)
            return true;
    }
    return false;
}

void FakePty::removeStateFiles()
{
    for (const QString &suffix : {QString(), QStringLiteral(".nohw")}) {
        const QString path = stateFile(suffix);
        if (!path.isEmpty())
            QFile::remove(path);
    }
}

bool ptyModemLoaded()
{
    return ::dlsym(RTLD_DEFAULT, "ptymodem_loaded") != nullptr;
}

QString ptyModemDir()
{
    return qEnvironmentVariable("PTYMODEM_DIR");
}

bool preparePtyModemDir(QString *errorMessage)
{
    const QString dir = ptyModemDir();
    if (!dir.isEmpty()) {
        if (QDir().mkpath(dir))
            return true;
        if (errorMessage)
            *errorMessage = QStringLiteral("cannot create PTYMODEM_DIR %1").arg(dir);
        return false;
    }

    static std::unique_ptr<QTemporaryDir> privateDir;
    if (!privateDir)
        privateDir =
            std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/ptymodem-XXXXXX"));
    if (!privateDir->isValid()) {
        if (errorMessage)
            *errorMessage = QStringLiteral("cannot create a directory for line state: %1")
                                .arg(privateDir->errorString());
        return false;
    }
    qputenv("PTYMODEM_DIR", QFile::encodeName(privateDir->path()));
    return true;
}
