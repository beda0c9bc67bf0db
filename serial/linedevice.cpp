#include "serial/linedevice.h"

#include "app/uniquefd.h"
#include "serial/comerror.h"
#include "serial/openerror.h"
#include "serial/portguard.h"

#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using OpenError::Cause;

namespace {

// The errors with which a hung-up or vanished device answers.
bool isGone(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV;
}

QString systemMessage(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

[[noreturn]] void fail(int port, const QString &path, Cause cause, const QString &detail = {},
                       const std::optional<OpenError::Holder> &holder = {})
{
    throw ComError(OpenError::describe(port, path, cause, detail, holder));
}

[[noreturn]] void failLines(int port, const QString &path, int error)
{
    fail(port, path, isGone(error) ? Cause::NoHardware : Cause::NoControlLines,
         systemMessage(error));
}

} // namespace

LineDevice::LineDevice(int port, const QString &path, bool rts, bool dtr, const PortGuard &guard,
                       QObject *parent)
    : QObject(parent)
    , m_port(port)
{
    struct stat node = {};
    if (::stat(QFile::encodeName(path).constData(), &node) != 0)
        fail(port, path, errno == EACCES ? Cause::PermissionDenied : Cause::Missing);
    // Opening a port raises its lines unless it is at speed 0: a port someone else uses must
    // not be opened at all.
    guard.check(port, path, node);
    m_device = QFileInfo(path).canonicalFilePath();
    lock(path, guard.lockFolders());

    UniqueFd fd(::open(QFile::encodeName(m_device).constData(),
                       O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        switch (errno) {
        case EBUSY:
            fail(port, path, Cause::InUse);
        case EACCES:
        case EPERM:
            fail(port, path, Cause::PermissionDenied);
        case ENOENT:
        case ENXIO:
        case ENODEV:
            fail(port, path, Cause::Missing);
        case EIO:
            fail(port, path, Cause::NoHardware);
        default:
            fail(port, path, Cause::Other, systemMessage(errno));
        }
    }
    // The node may have been swapped since it was checked.
    struct stat opened = {};
    if (::fstat(fd.get(), &opened) != 0 || !S_ISCHR(opened.st_mode)
        || opened.st_rdev != node.st_rdev)
        fail(port, path, Cause::NotSerial);
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        fail(port, path, Cause::InUse);

    // The open may have raised both lines: lower what must be low before anything else. Issued
    // even with nothing to lower, it tells whether the device has control lines at all before
    // any of its settings change.
    const int low = (rts ? 0 : TIOCM_RTS) | (dtr ? 0 : TIOCM_DTR);
    if (::ioctl(fd.get(), TIOCMBIC, &low) != 0)
        failLines(port, path, errno);

    termios attributes = {};
    if (::tcgetattr(fd.get(), &attributes) != 0)
        failLines(port, path, errno);
    ::cfmakeraw(&attributes);
    attributes.c_cflag &= ~tcflag_t(CRTSCTS);
    attributes.c_cflag |= CLOCAL | HUPCL | CREAD;
    ::cfsetispeed(&attributes, B0);
    ::cfsetospeed(&attributes, B0);
    if (::tcsetattr(fd.get(), TCSANOW, &attributes) != 0)
        failLines(port, path, errno);
    // Some drivers keep a speed of their own: their next open then pulses the lines.
    if (::tcgetattr(fd.get(), &attributes) == 0 && ::cfgetospeed(&attributes) != B0)
        m_notice = QStringLiteral("%1 keeps a speed other than 0, so its lines rise for a moment "
                                  "whenever it is opened.")
                       .arg(m_device);

    const int high = (rts ? TIOCM_RTS : 0) | (dtr ? TIOCM_DTR : 0);
    if (high != 0 && ::ioctl(fd.get(), TIOCMBIS, &high) != 0)
        failLines(port, path, errno);
    // Last, so that no failure above leaves the device exclusive.
    ::ioctl(fd.get(), TIOCEXCL);

    m_fd = fd.release();
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &LineDevice::drain);
}

LineDevice::~LineDevice()
{
    close();
}

// Ours, in the first writable lock folder; the guard has found none of anyone else's.
void LineDevice::lock(const QString &configuredPath, const QStringList &folders)
{
    QString name = m_device;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));

    for (const QString &folder : folders) {
        const QFileInfo info(folder);
        if (!info.isDir() || !info.isReadable() || !info.isWritable())
            continue;
        const QString path = info.canonicalFilePath() + QStringLiteral("/LCK..") + name;
        auto lock = std::make_unique<QLockFile>(path);
        lock->setStaleLockTime(0); // only a lock whose process is gone is stale
        if (lock->tryLock(0)) {
            m_lock = std::move(lock);
            return;
        }
        if (lock->error() != QLockFile::LockFailedError)
            return; // the file cannot be made here after all: go on without it
        qint64 pid = 0; // taken since the guard looked
        lock->getLockInfo(&pid, nullptr, nullptr);
        fail(m_port, configuredPath, Cause::InUse, path,
             pid > 0 ? std::optional(OpenError::Holder{pid, {}}) : std::nullopt);
    }
}

void LineDevice::setLine(Line line, bool asserted)
{
    const int bit = line == Line::RTS ? TIOCM_RTS : TIOCM_DTR;
    if (m_fd >= 0 && ::ioctl(m_fd, asserted ? TIOCMBIS : TIOCMBIC, &bit) == 0)
        return;
    const int error = m_fd >= 0 ? errno : ENODEV;
    if (isGone(error)) {
        const QString description = OpenError::describe(m_port, m_device, Cause::Disconnected);
        hangUp();
        throw ComError(description);
    }
    throw ComError(QStringLiteral("Com%1: cannot set %2 on %3: %4.")
                       .arg(m_port)
                       .arg(line == Line::RTS ? QLatin1String("RTS") : QLatin1String("DTR"),
                            m_device, systemMessage(error)));
}

void LineDevice::close()
{
    if (m_fd < 0)
        return;
    m_notifier->setEnabled(false);
    const int both = TIOCM_RTS | TIOCM_DTR;
    ::ioctl(m_fd, TIOCMBIC, &both); // HUPCL drops them too, unless another opener holds the port
    ::ioctl(m_fd, TIOCNXCL);
    ::close(std::exchange(m_fd, -1));
    m_lock.reset();
}

// Nothing is ever expected to arrive; reading only tells whether the device is still there.
void LineDevice::drain()
{
    char buffer[256];
    const ssize_t count = ::read(m_fd, buffer, sizeof buffer);
    if (count > 0 || (count < 0 && (errno == EAGAIN || errno == EINTR)))
        return;
    hangUp(); // end of file, or an error that would only repeat
}

void LineDevice::hangUp()
{
    if (!m_notifier->isEnabled())
        return;
    m_notifier->setEnabled(false);
    emit lost();
}
