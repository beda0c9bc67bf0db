#include "serial/openerror.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

namespace OpenError {

Cause classify(QSerialPort::SerialPortError error, const QString &message, bool deviceExists)
{
    if (!deviceExists || error == QSerialPort::DeviceNotFoundError)
        return Cause::Missing;
    // QSerialPort reports a lock held by another program as a permission error.
    if (message == QLatin1String("Permission error while locking the device"))
        return Cause::InUse;
    if (error == QSerialPort::PermissionError)
        return Cause::PermissionDenied;
    // A /dev/ttyS node without a UART behind it fails its set-up with EIO.
    if (message == qt_error_string(EIO))
        return Cause::NoHardware;
    return Cause::Other;
}

std::optional<LockHolder> lockHolder(const QString &device)
{
#ifdef Q_OS_UNIX
    // Same naming as QSerialPort's lock files: LCK.. and the device name below /dev.
    QString name = device;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    static const char *const directories[] = {"/var/lock",         "/etc/locks", "/var/spool/locks",
                                              "/var/spool/uucp",   "/tmp",       "/var/tmp",
                                              "/var/lock/lockdev", "/run/lock"};
    for (const char *directory : directories) {
        QFile lockFile(QLatin1String(directory) + QLatin1String("/LCK..") + name);
        if (!lockFile.open(QIODevice::ReadOnly))
            continue;
        bool ok = false;
        const qint64 pid = lockFile.readLine(32).trimmed().toLongLong(&ok);
        if (!ok || pid <= 0)
            continue;
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
        QString program;
        if (comm.open(QIODevice::ReadOnly))
            program = QString::fromLocal8Bit(comm.readAll().trimmed());
        return LockHolder{pid, program};
    }
#else
    Q_UNUSED(device);
#endif
    return std::nullopt;
}

QString describe(int port, const QString &device, Cause cause, const QString &message,
                 const std::optional<LockHolder> &holder)
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
    case Cause::NoHardware:
        return QStringLiteral("%1: %2 does not answer (input/output error): no serial hardware is "
                              "behind this device. Choose another port, or map %1 to your "
                              "adapter's device in the \"Ports\" section of the settings.")
            .arg(com, device);
    case Cause::NoControlLines:
        return QStringLiteral("%1: %2 opened, but its RTS and DTR lines cannot be set (%3).")
            .arg(com, device, message);
    case Cause::Other:
        break;
    }
    return QStringLiteral("%1: cannot open %2: %3.").arg(com, device, message);
}

} // namespace OpenError
