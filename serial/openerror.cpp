#include "serial/openerror.h"

#include <QFile>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace OpenError {

namespace {

// "adduser alice dialout": this user into the group that owns the device, as a command to paste.
QString addUserCommand(const QString &device)
{
    struct stat node = {};
    const group *owner = ::stat(QFile::encodeName(device).constData(), &node) == 0
        ? ::getgrgid(node.st_gid)
        : nullptr;
    const passwd *user = ::getpwuid(::getuid());
    return QStringLiteral("adduser %1 %2")
        .arg(user ? QString::fromLocal8Bit(user->pw_name) : QStringLiteral("$USER"),
             owner ? QString::fromLocal8Bit(owner->gr_name) : QStringLiteral("dialout"));
}

} // namespace

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
                              "owns the device, as root: %3 (or: sudo %3), then log out and in "
                              "again.")
            .arg(com, device, addUserCommand(device));
    case Cause::InUse: {
        QString who = QStringLiteral("another program");
        if (holder)
            who = holder->program.isEmpty()
                ? QStringLiteral("process %1").arg(holder->pid)
                : QStringLiteral("%1 (process %2)").arg(holder->program).arg(holder->pid);
        return QStringLiteral("%1: %2 is in use by %3. Close that program, or choose another "
                              "port.")
            .arg(com, device, who);
    }
    case Cause::StaleLock:
        return QStringLiteral("%1: a stale lock file %2 from process %3, which no longer runs, "
                              "blocks the port; remove it: sudo rm %2")
            .arg(com, detail)
            .arg(holder ? holder->pid : 0);
    case Cause::LockNotRegular:
        return QStringLiteral("%1: a lock file %2 that is not a regular file blocks the port; "
                              "remove it: sudo rm %2")
            .arg(com, detail);
    case Cause::LockUnreadable:
        return QStringLiteral("%1: a lock file %2 that Twinline cannot understand blocks the "
                              "port; if no program uses %3, remove it: sudo rm -r %2")
            .arg(com, detail, device);
    case Cause::Console:
        return QStringLiteral("%1: %2 is the system console; Twinline leaves it alone")
            .arg(com, device);
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
