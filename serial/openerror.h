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
    NoHardware,
    NotSerial,
    NoControlLines,
    Disconnected,
    Other
};

// A process that holds a device: by its lock file, its flock() or an open descriptor.
struct Holder
{
    qint64 pid = 0;
    QString program; // empty when the process is gone or hidden
};

// The program name of a running process, or empty.
QString programOf(qint64 pid);

// Another process that has `device` open, found through /proc; nothing where /proc hides it.
std::optional<Holder> processHolding(const QString &device);

// A process holding an flock() on the file with this file system and inode, from /proc/locks.
std::optional<Holder> flockHolder(quint64 fileSystem, quint64 inode);

// Reading /proc/locks waits until every processor has passed a quiet point, 10-20 ms on a
// desktop. While one of these lives, the table is read on a thread from its creation on, and
// the first flockHolder() call answers from that read; start-up thus overlaps the wait with
// connecting to the display. What no call used is dropped with it, so that a port opened later
// is checked against the table as it then is.
class LocksReadAhead
{
public:
    LocksReadAhead();
    ~LocksReadAhead();
    LocksReadAhead(const LocksReadAhead &) = delete;
    LocksReadAhead &operator=(const LocksReadAhead &) = delete;
};

// `device` is the path as configured; `detail` is the lock file for StaleLock and the system's
// message for NoControlLines and Other.
QString describe(int port, const QString &device, Cause cause, const QString &detail = {},
                 const std::optional<Holder> &holder = {});

} // namespace OpenError
