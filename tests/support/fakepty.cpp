#include "fakepty.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <dlfcn.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

FakePty::FakePty()
{
    char name[64];
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0
        || ::ptsname_r(m_master, name, sizeof name) != 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        hangUp();
        return;
    }
    m_path = QString::fromLocal8Bit(name);
    m_number = m_path.section(QLatin1Char('/'), -1).toInt();
    // pty numbers are reused: forget what an earlier pty with this number left behind.
    for (const char *suffix : {"", ".log", ".nohw"})
        QFile::remove(stateFile(suffix));
    // A serial port hangs up on close; a pty slave starts without HUPCL. Set through the master.
    termios attributes{};
    ::tcgetattr(m_master, &attributes);
    attributes.c_cflag |= HUPCL;
    ::tcsetattr(m_master, TCSANOW, &attributes);
}

FakePty::~FakePty()
{
    hangUp();
    for (const char *suffix : {"", ".log", ".nohw"})
        QFile::remove(stateFile(suffix));
}

QString FakePty::stateFile(const char *suffix) const
{
    return qEnvironmentVariable("PTYMODEM_DIR") + QStringLiteral("/pts%1").arg(m_number)
        + QLatin1String(suffix);
}

bool FakePty::rts() const
{
    QFile file(stateFile(""));
    return file.open(QIODevice::ReadOnly) && file.readAll().contains("RTS=1");
}

bool FakePty::dtr() const
{
    QFile file(stateFile(""));
    return file.open(QIODevice::ReadOnly) && file.readAll().contains("DTR=1");
}

QList<FakePty::Change> FakePty::changes() const
{
    QList<Change> changes;
    QFile file(stateFile(".log"));
    if (!file.open(QIODevice::ReadOnly))
        return changes;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 3)
            changes.append({fields[0].toLongLong(), fields[1] == "1", fields[2] == "1"});
    }
    return changes;
}

termios FakePty::attributes() const
{
    termios attributes{};
    ::tcgetattr(m_master, &attributes);
    return attributes;
}

void FakePty::hangUp()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

void FakePty::setNoHardware(bool noHardware)
{
    QFile marker(stateFile(".nohw"));
    if (noHardware)
        marker.open(QIODevice::WriteOnly);
    else
        marker.remove();
}

bool ptyModemLoaded()
{
    return ::dlsym(RTLD_DEFAULT, "ptymodem_loaded") != nullptr;
}
