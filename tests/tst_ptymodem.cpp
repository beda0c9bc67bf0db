// Checks the ptymodem stand-in through the real QSerialPort: if these pass, tests that drive
// RTS and DTR on a FakePty observe what the application would do to a real adapter.

#include "fakepty.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryFile>
#include <QTest>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

enum class Line { Rts, Dtr };

constexpr QSerialPort::PinoutSignals bothLines =
    QSerialPort::RequestToSendSignal | QSerialPort::DataTerminalReadySignal;

constexpr QSerialPort::PinoutSignals inputLines = QSerialPort::ClearToSendSignal
    | QSerialPort::DataSetReadySignal | QSerialPort::DataCarrierDetectSignal
    | QSerialPort::RingIndicatorSignal;

bool setLine(QSerialPort &port, Line line, bool level)
{
    return line == Line::Rts ? port.setRequestToSend(level) : port.setDataTerminalReady(level);
}

bool lineOf(const FakePty &pty, Line line)
{
    return line == Line::Rts ? pty.rts() : pty.dtr();
}

QSerialPort::PinoutSignals signalOf(Line line)
{
    return line == Line::Rts ? QSerialPort::RequestToSendSignal
                             : QSerialPort::DataTerminalReadySignal;
}

// Runs fn with stderr redirected to a file and returns what was written to it.
template<typename Fn>
QByteArray captureStderr(Fn fn)
{
    QTemporaryFile capture;
    if (!capture.open())
        return QByteArrayLiteral("<cannot capture stderr>");
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(capture.handle(), STDERR_FILENO);
    fn();
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    capture.seek(0);
    return capture.readAll();
}

} // namespace

Q_DECLARE_METATYPE(Line)

class TestPtyModem : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void rawSlaveDescriptors();
    void duplicatesShareTheLines_data();
    void duplicatesShareTheLines();
    void dup2OverLastDescriptorDropsLines();
    void openRaisesBothLines_data();
    void openRaisesBothLines();
    void lineWriteMovesOnlyItsLine_data();
    void lineWriteMovesOnlyItsLine();
    void closeDropsLinesWithHupcl_data();
    void closeDropsLinesWithHupcl();
    void reopenRaisesLinesAgain();
    void hangUpFailsLineAccess_data();
    void hangUpFailsLineAccess();
    void noHardwareFailsOpen();
    void openFailures_data();
    void openFailures();
    void realDevicesRefused_data();
    void realDevicesRefused();
    void stateWithoutDirectoryIsPerProcess();
    void otherProcessSeesLines();
};

void TestPtyModem::initTestCase()
{
    // Everything below, including the refusal of /dev/ttyS*, relies on the stand-in.
    QVERIFY2(ptyModemLoaded(),
             "libptymodem.so is not preloaded: run this test through ctest, which sets LD_PRELOAD");
    QString error;
    QVERIFY2(preparePtyModemDir(&error), qPrintable(error));
    QVERIFY(QFileInfo(ptyModemDir()).isDir());
}

void TestPtyModem::rawSlaveDescriptors()
{
    FakePty pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    const QByteArray path = QFile::encodeName(pty.path());

    int first = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY2(first >= 0, std::strerror(errno));
    auto closeFirst = qScopeGuard([&] {
        if (first >= 0)
            ::close(first);
    });
    int second = ::openat(AT_FDCWD, path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY2(second >= 0, std::strerror(errno));
    auto closeSecond = qScopeGuard([&] {
        if (second >= 0)
            ::close(second);
    });
    QVERIFY(pty.rts());
    QVERIFY(pty.dtr());

    // Line requests are answered; other requests still reach the pty driver.
    int bits = 0;
    QCOMPARE(::ioctl(first, TIOCMGET, &bits), 0);
    QCOMPARE(bits, TIOCM_RTS | TIOCM_DTR);
    QCOMPARE(::ioctl(first, TIOCEXCL), 0);
    QCOMPARE(::ioctl(first, TIOCNXCL), 0);
    termios attributes{};
    QCOMPARE(::tcgetattr(first, &attributes), 0);
    QVERIFY(attributes.c_cflag & HUPCL);

    // Both descriptors share the lines of the one pty; only RTS and DTR can be set.
    bits = TIOCM_DTR | TIOCM_CTS | TIOCM_CAR | TIOCM_DSR;
    QCOMPARE(::ioctl(first, TIOCMSET, &bits), 0);
    QCOMPARE(::ioctl(second, TIOCMGET, &bits), 0);
    QCOMPARE(bits, TIOCM_DTR);
    QVERIFY(!pty.rts());
    QVERIFY(pty.dtr());
    bits = TIOCM_RTS;
    QCOMPARE(::ioctl(second, TIOCMBIS, &bits), 0);
    QVERIFY(pty.rts());
    bits = TIOCM_DTR;
    QCOMPARE(::ioctl(second, TIOCMBIC, &bits), 0);
    QVERIFY(pty.rts());
    QVERIFY(!pty.dtr());

    // Only the last close counts.
    QCOMPARE(::close(first), 0);
    first = -1;
    QVERIFY(pty.rts());
    QCOMPARE(::close(second), 0);
    second = -1;
    QVERIFY(!pty.rts());
    QVERIFY(!pty.dtr());
}

void TestPtyModem::duplicatesShareTheLines_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("dup") << "dup";
    QTest::newRow("dup2") << "dup2";
    QTest::newRow("dup3") << "dup3";
    QTest::newRow("fcntl F_DUPFD") << "F_DUPFD";
    QTest::newRow("fcntl F_DUPFD_CLOEXEC") << "F_DUPFD_CLOEXEC";
}

void TestPtyModem::duplicatesShareTheLines()
{
    QFETCH(QString, how);
    FakePty pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    const QByteArray path = QFile::encodeName(pty.path());

    int original = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY2(original >= 0, std::strerror(errno));
    int copy = -1;
    auto closeAll = qScopeGuard([&] {
        for (int fd : {original, copy}) {
            if (fd >= 0)
                ::close(fd);
        }
    });
    if (how == QLatin1String("dup")) {
        copy = ::dup(original);
    } else if (how == QLatin1String("dup2") || how == QLatin1String("dup3")) {
        copy = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        QVERIFY(copy >= 0);
        copy = how == QLatin1String("dup2") ? ::dup2(original, copy)
                                            : ::dup3(original, copy, O_CLOEXEC);
    } else {
        copy = ::fcntl(original, how == QLatin1String("F_DUPFD") ? F_DUPFD : F_DUPFD_CLOEXEC, 10);
    }
    QVERIFY2(copy >= 0, std::strerror(errno));

    // Shells open, move the descriptor with fcntl(F_DUPFD) and close the original.
    QCOMPARE(::close(original), 0);
    original = -1;
    QVERIFY(pty.rts());
    QVERIFY(pty.dtr());
    int bits = TIOCM_RTS;
    QCOMPARE(::ioctl(copy, TIOCMBIC, &bits), 0);
    QVERIFY(!pty.rts());
    QCOMPARE(::close(copy), 0);
    copy = -1;
    QVERIFY(!pty.dtr());
}

void TestPtyModem::dup2OverLastDescriptorDropsLines()
{
    FakePty pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    const QByteArray path = QFile::encodeName(pty.path());
    const int slave = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY2(slave >= 0, std::strerror(errno));
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    auto closeAll = qScopeGuard([&] {
        ::close(slave);
        ::close(null);
    });
    QVERIFY(null >= 0);
    QVERIFY(pty.dtr());
    // Replacing the only descriptor of the slave closes it.
    QCOMPARE(::dup2(null, slave), slave);
    QVERIFY(!pty.rts());
    QVERIFY(!pty.dtr());
    int bits = 0;
    errno = 0;
    QCOMPARE(::ioctl(slave, TIOCMGET, &bits), -1);
    QCOMPARE(errno, ENOTTY);
}

void TestPtyModem::openRaisesBothLines_data()
{
    QTest::addColumn<QIODevice::OpenMode>("mode");
    QTest::newRow("read-write") << QIODevice::OpenMode(QIODevice::ReadWrite);
    QTest::newRow("read-only") << QIODevice::OpenMode(QIODevice::ReadOnly);
    QTest::newRow("write-only") << QIODevice::OpenMode(QIODevice::WriteOnly);
}

void TestPtyModem::openRaisesBothLines()
{
    QFETCH(QIODevice::OpenMode, mode);
    FakePty pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QVERIFY(!pty.rts());
    QVERIFY(!pty.dtr());

    QSerialPort port(pty.path());
    QVERIFY2(port.open(mode), qPrintable(port.errorString()));
    QVERIFY(pty.rts());
    QVERIFY(pty.dtr());
    QCOMPARE(port.pinoutSignals() & bothLines, bothLines);
    QCOMPARE(port.pinoutSignals() & inputLines, QSerialPort::NoSignal);
    QVERIFY(port.isRequestToSend());
    QVERIFY(port.isDataTerminalReady());
    QCOMPARE(port.error(), QSerialPort::NoError);
}

void TestPtyModem::lineWriteMovesOnlyItsLine_data()
{
    QTest::addColumn<Line>("line");
    QTest::addColumn<bool>("otherLevel");
    QTest::newRow("rts, dtr high") << Line::Rts << true;
    QTest::newRow("rts, dtr low") << Line::Rts << false;
    QTest::newRow("dtr, rts high") << Line::Dtr << true;
    QTest::newRow("dtr, rts low") << Line::Dtr << false;
}

void TestPtyModem::lineWriteMovesOnlyItsLine()
{
    QFETCH(Line, line);
    QFETCH(bool, otherLevel);
    const Line other = line == Line::Rts ? Line::Dtr : Line::Rts;

    FakePty pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QSerialPort port(pty.path());
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    QVERIFY(setLine(port, other, otherLevel));

    const char *changed = line == Line::Rts ? SIGNAL(requestToSendChanged(bool))
                                            : SIGNAL(dataTerminalReadyChanged(bool));
    QSignalSpy spy(&port, changed);
    QVERIFY(spy.isValid());

    for (bool level : {false, false, true, true, false}) {
        QVERIFY2(setLine(port, line, level), qPrintable(port.errorString()));
        QCOMPARE(lineOf(pty, line), level);
        QCOMPARE(lineOf(pty, other), otherLevel);
        const QSerialPort::PinoutSignals pinout = port.pinoutSignals();
        QCOMPARE(bool(pinout & signalOf(line)), level);
        QCOMPARE(bool(pinout & signalOf(other)), otherLevel);
    }
    // The signal only reports changes: high -> low -> high -> low.
    QCOMPARE(spy.count(), 3);
    QCOMPARE(spy.at(0).at(0).toBool(), false);
    QCOMPARE(spy.at(1).at(0).toBool(), true);
    QCOMPARE(spy.at(2).at(0).toBool(), false);
    QCOMPARE(port.error(), QSerialPort::NoError);
}

void TestPtyModem::closeDropsLinesWithHupcl_data()
{
    QTest::addColumn<bool>("hupcl");
    QTest::addColumn<bool>("levelAfterClose");
    QTest::newRow("HUPCL set") << true << false;
    QTest::newRow("HUPCL clear") << false << true;
}

void TestPtyModem::closeDropsLinesWithHupcl()
{
    QFETCH(bool, hupcl);
    QFETCH(bool, levelAfterClose);

    FakePty pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QVERIFY2(pty.setHangUpOnClose(hupcl), qPrintable(pty.errorString()));
    QSerialPort port(pty.path());
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    QVERIFY(pty.rts());
    QVERIFY(pty.dtr());
    port.close();
    QCOMPARE(pty.rts(), levelAfterClose);
    QCOMPARE(pty.dtr(), levelAfterClose);
}

void TestPtyModem::reopenRaisesLinesAgain()
{
    FakePty pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QSerialPort port(pty.path());
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    QVERIFY(port.setRequestToSend(false));
    QVERIFY(port.setDataTerminalReady(false));
    port.close();
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    QVERIFY(pty.rts());
    QVERIFY(pty.dtr());
    QCOMPARE(port.pinoutSignals() & bothLines, bothLines);
}

void TestPtyModem::hangUpFailsLineAccess_data()
{
    QTest::addColumn<int>("operation");
    QTest::newRow("setRequestToSend") << 0;
    QTest::newRow("setDataTerminalReady") << 1;
    QTest::newRow("pinoutSignals") << 2;
}

void TestPtyModem::hangUpFailsLineAccess()
{
    QFETCH(int, operation);
    FakePty pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QSerialPort port(pty.path());
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    QSignalSpy errors(&port, &QSerialPort::errorOccurred);

    pty.hangUp();
    switch (operation) {
    case 0:
        QVERIFY(!port.setRequestToSend(false));
        break;
    case 1:
        QVERIFY(!port.setDataTerminalReady(false));
        break;
    default:
        QCOMPARE(port.pinoutSignals(), QSerialPort::NoSignal);
        break;
    }
    QVERIFY(!errors.isEmpty());
    QCOMPARE(errors.first().at(0).value<QSerialPort::SerialPortError>(),
             QSerialPort::ResourceError);
    QCOMPARE(port.error(), QSerialPort::ResourceError);
    qInfo("after hang-up: %s", qPrintable(port.errorString()));
}

void TestPtyModem::noHardwareFailsOpen()
{
    FakePty pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    pty.setNoHardware(true);
    QSerialPort port(pty.path());
    QVERIFY(!port.open(QIODevice::ReadWrite));
    QCOMPARE(port.error(), QSerialPort::ResourceError);
    QVERIFY(!pty.rts());
    QVERIFY(!pty.dtr());

    pty.setNoHardware(false);
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    QVERIFY(pty.rts());
    QVERIFY(pty.dtr());
}

void TestPtyModem::openFailures_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QSerialPort::SerialPortError>("expected");
    QTest::newRow("no such device (ENOENT)") << "enoent" << QSerialPort::DeviceNotFoundError;
    QTest::newRow("refused (EACCES)") << "eacces" << QSerialPort::PermissionError;
    QTest::newRow("no hardware (EIO)") << "eio" << QSerialPort::ResourceError;
    QTest::newRow("lock held by another QSerialPort") << "lock" << QSerialPort::PermissionError;
}

// Documents how QSerialPort reports the open failures the application has to word for its user.
void TestPtyModem::openFailures()
{
    QFETCH(QString, failure);
    QFETCH(QSerialPort::SerialPortError, expected);
    QVERIFY(ptyModemLoaded()); // "eacces" must never reach the real device

    FakePty pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QSerialPort holder(pty.path());
    QString portName = pty.path();
    if (failure == QLatin1String("enoent"))
        portName = QStringLiteral("/dev/pts/%1").arg(pty.number() + 100000);
    else if (failure == QLatin1String("eacces"))
        portName = QStringLiteral("/dev/ttyS0");
    else if (failure == QLatin1String("eio"))
        pty.setNoHardware(true);
    else
        QVERIFY2(holder.open(QIODevice::ReadWrite), qPrintable(holder.errorString()));

    QSerialPort port(portName);
    QVERIFY(!port.open(QIODevice::ReadWrite));
    QCOMPARE(port.error(), expected);
    qInfo("%s: error %d, \"%s\"", qPrintable(portName), int(port.error()),
          qPrintable(port.errorString()));
}

void TestPtyModem::realDevicesRefused_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("throughSymlink");
    QTest::newRow("ttyS0") << "/dev/ttyS0" << false;
    QTest::newRow("ttyS1") << "/dev/ttyS1" << false;
    QTest::newRow("ttyUSB0") << "/dev/ttyUSB0" << false;
    QTest::newRow("ttyACM0") << "/dev/ttyACM0" << false;
    QTest::newRow("symlink to ttyS0") << "/dev/ttyS0" << true;
}

void TestPtyModem::realDevicesRefused()
{
    QFETCH(QString, path);
    QFETCH(bool, throughSymlink);
    // Without the stand-in this would open the machine's real device: never do that.
    QVERIFY(ptyModemLoaded());

    QString opened = path;
    if (throughSymlink) {
        if (!QFileInfo::exists(path))
            QSKIP("no such device node to link to");
        opened = ptyModemDir() + QStringLiteral("/link-to-real-device");
        QFile::remove(opened);
        QVERIFY(QFile::link(path, opened));
    }
    auto removeLink = qScopeGuard([&] {
        if (throughSymlink)
            QFile::remove(opened);
    });

    const QByteArray name = QFile::encodeName(opened);
    int fd = -1;
    int error = 0;
    const QByteArray diagnostics = captureStderr([&] {
        errno = 0;
        fd = ::open(name.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        error = errno;
    });
    if (fd >= 0)
        ::close(fd);
    QCOMPARE(fd, -1);
    // We run as whoever runs the tests; EACCES here comes from the stand-in's refusal.
    QCOMPARE(error, EACCES);
    QCOMPARE(diagnostics, "ptymodem: refused to open real device " + name + '\n');

    captureStderr([&] {
        errno = 0;
        fd = ::openat(AT_FDCWD, name.constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        error = errno;
    });
    if (fd >= 0)
        ::close(fd);
    QCOMPARE(fd, -1);
    QCOMPARE(error, EACCES);
}

void TestPtyModem::stateWithoutDirectoryIsPerProcess()
{
    const QByteArray savedDir = qgetenv("PTYMODEM_DIR");
    qunsetenv("PTYMODEM_DIR");
    auto restore = qScopeGuard([&] { qputenv("PTYMODEM_DIR", savedDir); });

    FakePty pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QSerialPort port(pty.path());
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    QCOMPARE(port.pinoutSignals() & bothLines, bothLines);
    QVERIFY(port.setRequestToSend(false));
    QCOMPARE(port.pinoutSignals() & bothLines, QSerialPort::DataTerminalReadySignal);
    QVERIFY(port.setDataTerminalReady(false));
    QVERIFY(port.setRequestToSend(true));
    QCOMPARE(port.pinoutSignals() & bothLines, QSerialPort::RequestToSendSignal);
    // Nothing is written anywhere, so the state cannot be read from outside.
    QVERIFY(!pty.rts());
    port.close();
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    QCOMPARE(port.pinoutSignals() & bothLines, bothLines);
}

void TestPtyModem::otherProcessSeesLines()
{
    FakePty pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));

    // A child inherits LD_PRELOAD and PTYMODEM_DIR; its open and close show up in the state.
    QProcess child;
    child.start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"),
                 QStringLiteral("exec 3<>\"$1\"; read step; exec 3>&-; read step; exit 0"),
                 QStringLiteral("sh"), pty.path()});
    QVERIFY2(child.waitForStarted(), qPrintable(child.errorString()));
    auto stop = qScopeGuard([&] {
        if (child.state() != QProcess::NotRunning) {
            child.kill();
            child.waitForFinished();
        }
    });

    QTRY_VERIFY(pty.rts() && pty.dtr());
    child.write("\n");
    QTRY_VERIFY(!pty.rts() && !pty.dtr());
    child.write("\n");
    child.closeWriteChannel();
    QVERIFY(child.waitForFinished());
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    QVERIFY2(child.readAllStandardError().isEmpty(), "the child reported an error");
}

QTEST_GUILESS_MAIN(TestPtyModem)

#include "tst_ptymodem.moc"
