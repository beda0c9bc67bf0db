// The device behind an open port: drives its RTS and DTR lines and notices when it goes away.
#pragma once

#include <QObject>
#include <QString>

#include <memory>

class PortGuard;
class QLockFile;
class QSocketNotifier;

// QSerialPort is not used: it always programs a speed when it opens a port, and on Linux a change
// away from speed 0 raises RTS and DTR, the one thing this program must never do by itself. So
// this class talks to the kernel's terminal interface directly and relies on:
// - tty_port_block_til_ready(): open() raises DTR and RTS unless the port's speed is 0 (B0),
//   also with O_NONBLOCK;
// - uart_set_termios(): a change to B0 drops both lines, a change away from it raises both;
// - serial drivers keep a port's termios across close and open until the device goes away, so a
//   port left at B0 opens again without moving a line;
// - tty_port_close_start() / tty_port_shutdown(): the last close with HUPCL set drops both lines,
//   even when the program is killed;
// - tty_vhangup() when an adapter is unplugged: read() returns 0 and the line ioctls fail with EIO
//   (ENXIO or ENODEV with some drivers).
// The port is held at B0 with CLOCAL (a carrier drop cannot hang it up) and HUPCL, in raw mode
// without hardware flow control (which would move RTS on its own). Lines are only ever set or
// cleared (TIOCMBIS, TIOCMBIC), never read back and rewritten. It is locked three ways, so that
// every kind of serial program sees it taken: a UUCP lock file LCK..<name> in the first writable
// lock folder (see PortGuard), flock(), and TIOCEXCL. The speed is read back: a driver that keeps
// its own cannot hold the lines still on the next open, which notice() tells.
//
// Every failure throws ComError with a description fit for the user.
class LineDevice : public QObject
{
    Q_OBJECT

public:
    enum class Line { RTS, DTR };

    // Opens `path`, configured for port number `port`, with the lines at the given levels, once
    // `guard` has found nobody else using it.
    LineDevice(int port, const QString &path, bool rts, bool dtr, const PortGuard &guard,
               QObject *parent = nullptr);
    ~LineDevice() override;

    // The device itself, links resolved.
    QString devicePath() const { return m_device; }
    // What the user should know about the open device, or empty.
    QString notice() const { return m_notice; }

    void setLine(Line line, bool asserted);

    // Lowers both lines where the device still answers and lets go of it; idempotent.
    void close();

signals:
    // The device has gone away (hang-up): nothing is driven any more. Emitted once.
    void lost();

private:
    void lock(const QString &configuredPath, const QStringList &folders);
    void drain();
    void hangUp();

    int m_port = 0;
    int m_fd = -1;
    QString m_device;
    QString m_notice;
    std::unique_ptr<QLockFile> m_lock;
    QSocketNotifier *m_notifier = nullptr;
};
