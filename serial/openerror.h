// Readable descriptions of why a port cannot be used, with what the user can do about it.
#pragma once

#include <QString>

#include <optional>

namespace OpenError {

enum class Cause {
    Missing,
    PermissionDenied,
    InUse,
    StaleLock,
    LockNotRegular,
    LockUnreadable,
    Console,
    NoHardware,
    NotSerial,
    NoControlLines,
    Disconnected,
    Other
};

// A process that holds a device: by its lock file, its flock() or an open descriptor; a stale
// lock's process.
struct Holder
{
    qint64 pid = 0;
    QString program; // empty when the process is gone or hidden
};

// `device` is the path as configured; `detail` is the lock file for the lock causes and the
// system's message for NoControlLines and Other.
QString describe(int port, const QString &device, Cause cause, const QString &detail = {},
                 const std::optional<Holder> &holder = {});

} // namespace OpenError
