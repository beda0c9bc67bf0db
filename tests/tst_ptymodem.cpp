// Checks the ptymodem stand-in through the real QSerialPort: if these pass, tests that drive
// RTS and DTR on a FakePty observe what the application would do to a real adapter.

#include "fakepty.h"

#include <QFile>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryFile>
#include <QTest>

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr QSerialPort::PinoutSignal rts = QSerialPort::RequestToSendSignal;
constexpr QSerialPort::PinoutSignal dtr = QSerialPort::DataTerminalReadySignal;

bool setLine(QSerialPort &port, QSerialPort::PinoutSignal line, bool level)
{
    return line == rts ? port.setRequestToSend(level) : port.setDataTerminalReady(level);
}

} // namespace

class TestPtyModem : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void lineWriteMovesOnlyItsLine_data();
    void lineWriteMovesOnlyItsLine();
    void lastCloseDropsLinesWithHupcl_data();
    void lastCloseDropsLinesWithHupcl();
    void hangUpFailsLineRequests();
    void noHardwareFailsOpenWithEio();
    void realDeviceRefused();
    void childProcessSharesLines();
};

void TestPtyModem::initTestCase()
{
    // Everything below relies on the stand-in.
    QVERIFY2(ptyModemLoaded(), "libptymodem.so is not preloaded: run this test through ctest");
    QString error;
    QVERIFY2(preparePtyModemDir(&error), qPrintable(error));
}

void TestPtyModem::lineWriteMovesOnlyItsLine_data()
{
    QTest::addColumn<QSerialPort::PinoutSignal>("line");
    QTest::addColumn<bool>("otherLevel");
    QTest::newRow("rts, dtr high") << rts << true;
    QTest::newRow("rts, dtr low") << rts << false;
    QTest::newRow("dtr, rts high") << dtr << true;
    QTest::newRow("dtr, rts low") << dtr << false;
}

void TestPtyModem::lineWriteMovesOnlyItsLine()
{
    QFETCH(QSerialPort::PinoutSignal, line);
    QFETCH(bool, otherLevel);
    const QSerialPort::PinoutSignal other = line == rts ? dtr : rts;

    FakePty pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QSerialPort port(pty.path());
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    // Open raises both lines; the input lines read inactive.
    QVERIFY(pty.rts() && pty.dtr());
    QCOMPARE(port.pinoutSignals(), rts | dtr);

    QVERIFY(setLine(port, other, otherLevel));
    for (bool level : {false, false, true, false}) {
        QVERIFY2(setLine(port, line, level), qPrintable(port.errorString()));
        QSerialPort::PinoutSignals expected;
        expected.setFlag(line, level).setFlag(other, otherLevel);
        QCOMPARE(port.pinoutSignals(), expected);
        QCOMPARE(pty.rts(), expected.testFlag(rts));
        QCOMPARE(pty.dtr(), expected.testFlag(dtr));
    }
}

void TestPtyModem::lastCloseDropsLinesWithHupcl_data()
{
    QTest::addColumn<bool>("hupcl");
    QTest::addColumn<QString>("duplicate");
    QTest::newRow("HUPCL set") << true << QString();
    QTest::newRow("HUPCL clear") << false << QString();
    QTest::newRow("dup outlives the port") << true << "dup";
    QTest::newRow("F_DUPFD outlives the port") << true << "F_DUPFD";
}

void TestPtyModem::lastCloseDropsLinesWithHupcl()
{
    QFETCH(bool, hupcl);
    QFETCH(QString, duplicate);

    FakePty pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QVERIFY2(pty.setHangUpOnClose(hupcl), qPrintable(pty.errorString()));
    QSerialPort port(pty.path());
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    int copy = -1;
    if (duplicate == QLatin1String("dup"))
        copy = ::dup(port.handle());
    else if (duplicate == QLatin1String("F_DUPFD"))
        copy = ::fcntl(port.handle(), F_DUPFD, 10); // how shells move a descriptor
    QCOMPARE(copy >= 0, !duplicate.isEmpty());

    port.close();
    if (copy >= 0) {
        const bool held = pty.rts() && pty.dtr();
        QCOMPARE(::close(copy), 0);
        QVERIFY2(held, "the lines dropped while a duplicate was still open");
    }
    QCOMPARE(pty.rts(), !hupcl);
    QCOMPARE(pty.dtr(), !hupcl);
}

void TestPtyModem::hangUpFailsLineRequests()
{
    FakePty pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QSerialPort port(pty.path());
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    pty.hangUp();
    QVERIFY(!port.setRequestToSend(false));
    QVERIFY(!port.setDataTerminalReady(false));
    QCOMPARE(port.pinoutSignals(), QSerialPort::NoSignal);
    QCOMPARE(port.error(), QSerialPort::ResourceError);
}

void TestPtyModem::noHardwareFailsOpenWithEio()
{
    FakePty pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    const QByteArray path = QFile::encodeName(pty.path());
    pty.setNoHardware(true);
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const int error = errno;
    QCOMPARE(fd, -1);
    QCOMPARE(error, EIO);
    QVERIFY(!pty.rts() && !pty.dtr());

    pty.setNoHardware(false);
    QSerialPort port(pty.path());
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    QVERIFY(pty.rts() && pty.dtr());
}

void TestPtyModem::realDeviceRefused()
{
    QTemporaryFile capture;
    QVERIFY(capture.open());
    std::fflush(stderr);
    const int savedStderr = ::dup(STDERR_FILENO);
    ::dup2(capture.handle(), STDERR_FILENO);
    // A serial device name with no device behind it: even without the stand-in nothing real
    // could be opened, and the test would fail with ENOENT.
    const int fd = ::open("/dev/ttyS99", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const int error = errno;
    std::fflush(stderr);
    ::dup2(savedStderr, STDERR_FILENO);
    ::close(savedStderr);
    if (fd >= 0)
        ::close(fd);
    QCOMPARE(fd, -1);
    QCOMPARE(error, EACCES);
    // The message tells the stand-in's refusal apart from a permission the system denied.
    capture.seek(0);
    QCOMPARE(capture.readAll(), QByteArray("ptymodem: refused to open real device /dev/ttyS99\n"));
}

void TestPtyModem::childProcessSharesLines()
{
    FakePty pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));

    // The child inherits LD_PRELOAD and PTYMODEM_DIR; its stand-in keeps the same state file.
    QProcess child;
    child.start(QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"),
                 QStringLiteral("exec 3<>\"$1\"; read step; exec 3>&-; read step; exit 0"),
                 QStringLiteral("sh"), pty.path()});
    QVERIFY2(child.waitForStarted(), qPrintable(child.errorString()));
    QTRY_VERIFY(pty.rts() && pty.dtr());
    child.write("\n");
    QTRY_VERIFY(!pty.rts() && !pty.dtr());
    child.closeWriteChannel();
    QVERIFY(child.waitForFinished());
    QCOMPARE(child.exitCode(), 0);
    QVERIFY2(child.readAllStandardError().isEmpty(), "the child reported an error");
}

QTEST_GUILESS_MAIN(TestPtyModem)

#include "tst_ptymodem.moc"
