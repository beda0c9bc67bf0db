#include "serial/portguard.h"

#include "app/uniquefd.h"
#include "serial/comerror.h"
#include "serial/openerror.h"

#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using OpenError::Cause;

namespace {

// At most `limit` bytes of a file below /proc or /sys, which report a size of 0.
QByteArray readSmall(const QString &path, qsizetype limit = 64 * 1024)
{
    QByteArray bytes;
    const UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
    char buffer[4096];
    for (ssize_t n = 0;
         fd.isValid() && bytes.size() < limit && (n = ::read(fd.get(), buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, n);
    return bytes.left(limit);
}

// Whether a character device belongs to one of the kernel's serial drivers, or is a pty slave.
// Merely opening some other character devices acts (opening /dev/watchdog arms a reboot), so
// nothing else is opened; neither are redirections such as /dev/tty, or pty masters.
bool isTerminalDevice(const QString &procRoot, dev_t rdev)
{
    for (const QByteArray &line :
         readSmall(procRoot + QStringLiteral("/tty/drivers")).split('\n')) {
        // name, default node, major, minors ("64" or "0-1048575"), type; the name may hold blanks.
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 5)
            continue;
        const QByteArray &type = fields.last();
        if (type != "serial" && type != "pty:slave")
            continue;
        if (fields[fields.size() - 3].toUInt() != major(rdev))
            continue;
        const QList<QByteArray> minors = fields[fields.size() - 2].split('-');
        if (minor(rdev) >= minors.first().toUInt() && minor(rdev) <= minors.last().toUInt())
            return true;
    }
    return false;
}

// Calls visit with the name of every entry of an open folder: getdents64() straight into a
// buffer, which costs less than a DIR's bookkeeping when it is done for every process.
template<typename Visit>
void forEachEntry(int folder, Visit visit)
{
    alignas(dirent64) char buffer[16 * 1024];
    for (ssize_t size = 0; (size = ::getdents64(folder, buffer, sizeof buffer)) > 0;) {
        for (ssize_t at = 0; at < size;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(buffer + at);
            visit(entry->d_name);
            at += entry->d_reclen;
        }
    }
}

bool processRuns(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

[[noreturn]] void fail(int port, const QString &path, Cause cause, const QString &detail = {},
                       qint64 pid = 0, const QString &program = {})
{
    const auto holder = pid > 0 ? std::optional(OpenError::Holder{pid, program}) : std::nullopt;
    throw ComError(OpenError::describe(port, path, cause, detail, holder));
}

} // namespace

PortGuard::PortGuard(QStringList lockFolders, QString procRoot, QStringList consoleLists)
    : m_lockFolders(std::move(lockFolders))
    , m_procRoot(std::move(procRoot))
    , m_consoleLists(std::move(consoleLists))
{ }

QStringList PortGuard::defaultLockFolders()
{
    return {QStringLiteral("/var/lock"),
            QStringLiteral("/etc/locks"),
            QStringLiteral("/var/spool/locks"),
            QStringLiteral("/var/spool/uucp"),
            QStringLiteral("/tmp"),
            QStringLiteral("/var/tmp"),
            QStringLiteral("/var/lock/lockdev"),
            QStringLiteral("/run/lock")};
}

void PortGuard::check(int port, const QString &path, const struct stat &node) const
{
    if (!S_ISCHR(node.st_mode) || !isTerminalDevice(m_procRoot, node.st_rdev))
        fail(port, path, Cause::NotSerial);
    if (isConsole(node.st_rdev))
        fail(port, path, Cause::Console);
    // The name QSerialPort locks: the device's below /dev, slashes made '_'.
    QString name = QFileInfo(path).canonicalFilePath();
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    QStringList seen; // /var/lock is often a link to /run/lock
    for (const QString &folder : m_lockFolders) {
        const QString canonical = QFileInfo(folder).canonicalFilePath();
        if (canonical.isEmpty() || seen.contains(canonical))
            continue;
        seen << canonical;
        checkLock(port, path, canonical + QStringLiteral("/LCK..") + name);
    }
    const QByteArray locks = m_ahead->locks.valid()
        ? m_ahead->locks.get()
        : readSmall(m_procRoot + QStringLiteral("/locks"), 16 << 20);
    // "1: FLOCK  ADVISORY  WRITE 1234 fe:00:10780675 0 EOF": the file as major:minor:inode.
    const QByteArray file = QStringLiteral("%1:%2:%3")
                                .arg(::major(node.st_dev), 2, 16, QLatin1Char('0'))
                                .arg(::minor(node.st_dev), 2, 16, QLatin1Char('0'))
                                .arg(node.st_ino)
                                .toLatin1();
    for (const QByteArray &line : locks.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 6 && fields[1] == "FLOCK" && fields[5] == file)
            fail(port, path, Cause::InUse, {}, fields[4].toLongLong(),
                 programOf(fields[4].toLongLong()));
    }
    const OpenDevices devices =
        m_ahead->devices.valid() ? m_ahead->devices.get() : openDevices(m_procRoot);
    for (const auto &[device, pid] : devices) {
        if (device == node.st_rdev)
            fail(port, path, Cause::InUse, {}, pid, programOf(pid));
    }
}

// A live lock refuses the port; a stale one is removed; anything else is named by its path.
void PortGuard::checkLock(int port, const QString &path, const QString &lockFile) const
{
    const QByteArray file = QFile::encodeName(lockFile);
    struct stat before = {}, opened = {};
    if (::lstat(file.constData(), &before) != 0)
        return; // none, or in a folder closed to us (/var/spool/uucp)
    if (!S_ISREG(before.st_mode) && !S_ISDIR(before.st_mode))
        fail(port, path, Cause::LockNotRegular, lockFile);
    const UniqueFd fd(::open(file.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.isValid() || ::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)
        || opened.st_ino != before.st_ino || opened.st_mtime > std::time(nullptr) + 60)
        fail(port, path, Cause::LockUnreadable, lockFile);
    char buffer[256];
    const ssize_t size = ::read(fd.get(), buffer, sizeof buffer);
    const QByteArray text(buffer, std::max<ssize_t>(size, 0));
    // A 4-byte binary PID has a high byte of 0, since PIDs stay below 2^22; a text lock has the
    // PID as the first word of its first line, and QLockFile's the program on the second.
    const QList<QByteArray> lines = text.split('\n');
    const QList<QByteArray> words = lines.first().simplified().split(' ');
    const bool binary = size == 4 && text.contains('\0');
    bool ascii = false;
    qint64 pid = binary ? 0 : words.first().toLongLong(&ascii);
    if (binary) {
        qint32 number = 0;
        std::memcpy(&number, buffer, 4);
        pid = number;
    }
    const QByteArray recordedProgram =
        ascii && lines.size() >= 3 && words.size() == 1 ? lines[1].trimmed() : QByteArray();
    if (!binary && !ascii)
        pid = 0;
    if (pid <= 0)
        fail(port, path, Cause::LockUnreadable, lockFile);
    const QString program = programOf(pid);
    // PIDs are reused: a lock of ours whose process now runs another program is stale.
    const bool reused = !recordedProgram.isEmpty() && !program.isEmpty()
        && !QString::fromLocal8Bit(recordedProgram).startsWith(program);
    if (processRuns(pid) && !reused)
        fail(port, path, Cause::InUse, lockFile, pid, program);
    if (::unlink(file.constData()) != 0 && errno != ENOENT)
        fail(port, path, Cause::StaleLock, lockFile, pid);
}

// Every readable descriptor of every other process, by stat() through its /proc link: no
// device is opened, and a process whose fd folder is closed to us costs one failed open. Plain
// system calls only: this also runs on a thread of its own, which must not be the process's
// first to make a QObject (Qt would take it for the main thread).
PortGuard::OpenDevices PortGuard::openDevices(const QString &procRoot)
{
    OpenDevices devices;
    const UniqueFd processes(
        ::open(QFile::encodeName(procRoot).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const long self = ::getpid();
    forEachEntry(processes.get(), [&](const char *process) {
        const long pid = std::strtol(process, nullptr, 10);
        char path[32];
        if (pid <= 0 || pid == self || std::snprintf(path, sizeof path, "%ld/fd", pid) < 0)
            return;
        const UniqueFd fds(::openat(processes.get(), path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        forEachEntry(fds.get(), [&](const char *fd) {
            struct stat target = {};
            if (fd[0] != '.' && ::fstatat(fds.get(), fd, &target, 0) == 0
                && S_ISCHR(target.st_mode))
                devices.emplace_back(target.st_rdev, pid);
        });
    });
    return devices;
}

bool PortGuard::isConsole(dev_t device) const
{
    // Consoles by their names below /dev: "ttyS0  -W- (EC p a)    4:64" in /proc/consoles,
    // "tty0 ttyS0" in console/active; the other words name no device.
    for (const QString &list : m_consoleLists) {
        for (const QByteArray &name : readSmall(list).simplified().split(' ')) {
            struct stat node = {};
            if (!name.isEmpty() && ::stat(("/dev/" + name).constData(), &node) == 0
                && S_ISCHR(node.st_mode) && node.st_rdev == device)
                return true;
        }
    }
    return false;
}

QString PortGuard::programOf(qint64 pid) const
{
    return QString::fromLocal8Bit(
        readSmall(m_procRoot + QStringLiteral("/%1/comm").arg(pid), 64).trimmed());
}

void PortGuard::readLocksAhead()
{
    m_ahead->locks = std::async(std::launch::async, [path = m_procRoot + QStringLiteral("/locks")] {
        return readSmall(path, 16 << 20);
    });
    m_ahead->devices =
        std::async(std::launch::async, [procRoot = m_procRoot] { return openDevices(procRoot); });
}

void PortGuard::dropLocksAhead()
{
    *m_ahead = {};
}
