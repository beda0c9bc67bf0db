// Whether a device may be opened as a port: it must be a serial device that nobody else uses.
#pragma once

#include <QString>
#include <QStringList>

#include <future>
#include <memory>
#include <utility>
#include <vector>

#include <sys/stat.h>

// Opening a port moves its lines, and programming it wrecks whatever another program does with
// it, so every sign of another user is looked for before the device is opened, and the device
// itself is never opened to look:
// - /proc/tty/drivers: only a serial driver's device or a pty slave is a port;
// - the console lists (/proc/consoles, /sys/class/tty/console/active), which name the devices
//   below /dev: a serial console carries a login prompt or the kernel's messages;
// - a UUCP lock LCK..<name> in every lock folder, in the three formats in use: QLockFile's
//   ("<pid>\n<program>\n<host>\n..."), ASCII ("<pid>[ <program> <user>]\n", minicom, uucp, HDB)
//   and a 4-byte binary PID. Any local user can plant a file in a lock folder, so a lock file is
//   only read if it is a regular file, without following links or blocking, a few hundred bytes;
// - /proc/locks: an flock() on the device node (picocom, tio);
// - /proc/<pid>/fd: any process with the device open, by device number from stat(), as fuser
//   finds it; a normal user sees only their own processes there.
// A lock whose process is gone is stale and removed. Every path is a parameter so that tests
// point them at a sandbox; the defaults are the system's.
class PortGuard
{
public:
    explicit PortGuard(QStringList lockFolders = defaultLockFolders(),
                       QString procRoot = QStringLiteral("/proc"),
                       QStringList consoleLists = {
                           QStringLiteral("/proc/consoles"),
                           QStringLiteral("/sys/class/tty/console/active")});

    // Where QSerialPort, minicom and uucp put their locks; the first writable one gets ours.
    static QStringList defaultLockFolders();
    QStringList lockFolders() const { return m_lockFolders; }

    // Throws ComError, described for port number `port` and `path` as configured, unless the
    // character device `node` (stat() of `path`) may be opened.
    void check(int port, const QString &path, const struct stat &node) const;

    // Reading /proc/locks waits until every processor has passed a quiet point, 10-20 ms on a
    // desktop, and looking through every process's descriptors takes a few ms more with a few
    // hundred processes. Start-up reads both on a thread meanwhile: the next check() of this
    // guard or of a copy answers from that read. dropLocksAhead() forgets a read no check used,
    // so that a port opened later is checked against the tables as they then are.
    void readLocksAhead();
    void dropLocksAhead();

private:
    // The character devices other processes have open, with their processes.
    using OpenDevices = std::vector<std::pair<dev_t, qint64>>;
    static OpenDevices openDevices(const QString &procRoot);
    // What start-up reads ahead, the two at once: the first mostly waits, the second works.
    struct Ahead
    {
        std::future<QByteArray> locks;
        std::future<OpenDevices> devices;
    };

    void checkLock(int port, const QString &path, const QString &lockFile) const;
    bool isConsole(dev_t device) const;
    QString programOf(qint64 pid) const;

    QStringList m_lockFolders;
    QString m_procRoot;
    QStringList m_consoleLists;
    std::shared_ptr<Ahead> m_ahead = std::make_shared<Ahead>();
};
