#include "serial/openerror.h"

#include "app/uniquefd.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <future>

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace OpenError {

QString programOf(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(comm.readAll().trimmed());
}

std::optional<Holder> processHolding(const QString &device)
{
    const QString self = QString::number(::getpid());
    const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &pid : processes) {
        if (pid == self || pid.toLongLong() <= 0)
            continue;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QFileInfo &fd : fds.entryInfoList(QDir::Files | QDir::System)) {
            if (fd.symLinkTarget() == device)
                return Holder{pid.toLongLong(), programOf(pid.toLongLong())};
        }
    }
    return std::nullopt;
}

namespace {

// Plain reads: this also runs on a thread of its own, which must not be the process's first to
// make a QObject (Qt would take it for the main thread).
QByteArray readLocks()
{
    QByteArray table;
    const UniqueFd fd(::open("/proc/locks", O_RDONLY | O_CLOEXEC));
    char buffer[4096];
    for (ssize_t n = 0; fd.isValid() && (n = ::read(fd.get(), buffer, sizeof buffer)) > 0;)
        table.append(buffer, n);
    return table;
}

std::future<QByteArray> locksAhead; // only ever touched by the thread that runs the windows

} // namespace

LocksReadAhead::LocksReadAhead()
{
    locksAhead = std::async(std::launch::async, readLocks);
}

LocksReadAhead::~LocksReadAhead()
{
    locksAhead = {};
}

std::optional<Holder> flockHolder(quint64 fileSystem, quint64 inode)
{
    const QByteArray table = locksAhead.valid() ? locksAhead.get() : readLocks();
    // "1: FLOCK  ADVISORY  WRITE 1234 fe:00:10780675 0 EOF": the file as major:minor:inode.
    const QByteArray file = QStringLiteral("%1:%2:%3")
                                .arg(::major(fileSystem), 2, 16, QLatin1Char('0'))
                                .arg(::minor(fileSystem), 2, 16, QLatin1Char('0'))
                                .arg(inode)
                                .toLatin1();
    for (const QByteArray &line : table.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 6 && fields[1] == "FLOCK" && fields[5] == file)
            return Holder{fields[4].toLongLong(), programOf(fields[4].toLongLong())};
    }
    return std::nullopt;
}

QString describe(int port, const QString &device, Cause cause, const QString &detail,
                 const std::optional<Holder> &holder)
{
    const QString com = QStringLiteral("Com%1").arg(port);
    switch (cause) {
    case Cause::Missing:
        return QStringLiteral("%1: the device %2 does not exist. Connect the adapter, or map %1 "
                              "to another device in the \"Ports\" section of the settings.")
            .arg(com, device);
    case Cause::PermissionDenied:
        return QStringLiteral("%1: permission denied on %2. Add your user to the group that "
                              "owns the device (on Debian: sudo adduser $USER dialout), then log "
                              "out and in again.")
            .arg(com, device);
    case Cause::InUse: {
        QString who;
        if (holder)
            who = holder->program.isEmpty()
                ? QStringLiteral(" (process %1)").arg(holder->pid)
                : QStringLiteral(" (%1, process %2)").arg(holder->program).arg(holder->pid);
        return QStringLiteral("%1: %2 is in use by another program%3. Close that program, or "
                              "choose another port.")
            .arg(com, device, who);
    }
    case Cause::StaleLock:
        return QStringLiteral("%1: a stale lock file %2 from process %3, which no longer runs, "
                              "blocks the port; remove it as root.")
            .arg(com, detail)
            .arg(holder ? holder->pid : 0);
    case Cause::NoHardware:
        return QStringLiteral("%1: %2 does not answer (input/output error): no serial hardware is "
                              "behind this device. Choose another port, or map %1 to your "
                              "adapter's device in the \"Ports\" section of the settings.")
            .arg(com, device);
    case Cause::NotSerial:
        return QStringLiteral("%1: %2 is not a serial device").arg(com, device);
    case Cause::NoControlLines:
        return QStringLiteral("%1: %2 opened, but its RTS and DTR lines cannot be set (%3).")
            .arg(com, device, detail);
    case Cause::Disconnected:
        return QStringLiteral("%1: the adapter %2 was disconnected").arg(com, device);
    case Cause::Other:
        break;
    }
    return QStringLiteral("%1: cannot open %2: %3.").arg(com, device, detail);
}

} // namespace OpenError
