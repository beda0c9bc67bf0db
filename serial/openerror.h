// Readable descriptions of why a port did not open, with what the user can do about it.
#pragma once

#include <QSerialPort>
#include <QString>

#include <optional>

namespace OpenError {

enum class Cause { Missing, PermissionDenied, InUse, NoHardware, NoControlLines, Other };

// Another program's claim on a device, as its lock file tells.
struct LockHolder
{
    qint64 pid = 0;
    QString program; // empty when the process is gone or hidden
};

// Sorts a failed QSerialPort::open() into a cause the user can act on.
Cause classify(QSerialPort::SerialPortError error, const QString &message, bool deviceExists);

// The lock file that QSerialPort keeps for an open device names the process holding it.
std::optional<LockHolder> lockHolder(const QString &device);

QString describe(int port, const QString &device, Cause cause, const QString &message = {},
                 const std::optional<LockHolder> &holder = {});

} // namespace OpenError
