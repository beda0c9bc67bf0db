// The port component on pseudo-terminals with RTS and DTR.

#include "fakepty.h"
#include "serial/comerror.h"
#include "serial/mscomm.h"
#include "serial/openerror.h"
#include "serial/portmap.h"
#include "serial/portnumbering.h"
#include "tempsettings.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <memory>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

class tst_MSComm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void opensWithBothLinesLow();
    void linesMoveIndependently_data();
    void linesMoveIndependently();
    void lineWrittenWhileClosedIsOnlyRecorded();
    void closeLowersBothLines();
    void destroyingTheComponentReleasesThePort();
    void portNumberBelowOneFails_data();
    void portNumberBelowOneFails();
    void portNumberCannotChangeWhileOpen();
    void openingTwiceFails();
    void openFailures_data();
    void openFailures();
    void noLineMovesOnReopen();
    void staleLockIsCleared();
    void secondOpenerIsRefused();
    void linkedDeviceSharesTheLock();
    void lineWriteOnVanishedDeviceFails();
    void mappingIsReadAtEachOpen();
    void numbering_data();
    void numbering();
    void tooltips_data();
    void tooltips();
    void descriptionsSayWhatToDo_data();
    void descriptionsSayWhatToDo();

private:
    std::unique_ptr<TempSettings> m_settings;
    std::unique_ptr<FakePty> m_pty;
};

void tst_MSComm::initTestCase()
{
    QVERIFY2(ptyModemLoaded(), "libptymodem.so is not preloaded: run this test through ctest");
}

void tst_MSComm::init()
{
    m_settings = std::make_unique<TempSettings>();
    QVERIFY(m_settings->isValid());
    m_pty = std::make_unique<FakePty>();
    QVERIFY2(m_pty->isValid(), qPrintable(m_pty->errorString()));
    m_settings->mapPort(1, m_pty->path());
}

void tst_MSComm::cleanup()
{
    m_pty.reset();
    m_settings.reset();
}

void tst_MSComm::opensWithBothLinesLow()
{
    MSComm comm;
    QCOMPARE(comm.commPort(), qint16(1));
    QVERIFY(!comm.portOpen());
    comm.setPortOpen(true);
    QVERIFY(comm.portOpen());
    QCOMPARE(comm.openDevice(), m_pty->path());
    // The device raises both lines on open; the component lowers them straight away.
    QVERIFY(!m_pty->rts());
    QVERIFY(!m_pty->dtr());
}

void tst_MSComm::linesMoveIndependently_data()
{
    QTest::addColumn<bool>("rts");
    QTest::addColumn<bool>("dtr");

    QTest::newRow("RTS only") << true << false;
    QTest::newRow("DTR only") << false << true;
    QTest::newRow("both") << true << true;
    QTest::newRow("neither") << false << false;
}

void tst_MSComm::linesMoveIndependently()
{
    QFETCH(bool, rts);
    QFETCH(bool, dtr);

    MSComm comm;
    comm.setPortOpen(true);
    comm.setRTSEnable(rts);
    QCOMPARE(m_pty->rts(), rts);
    QVERIFY(!m_pty->dtr());
    comm.setDTREnable(dtr);
    QCOMPARE(m_pty->rts(), rts);
    QCOMPARE(m_pty->dtr(), dtr);
    QCOMPARE(comm.rtsEnable(), rts);
    QCOMPARE(comm.dtrEnable(), dtr);
}

void tst_MSComm::lineWrittenWhileClosedIsOnlyRecorded()
{
    MSComm comm;
    comm.setRTSEnable(true);
    comm.setDTREnable(true);
    QVERIFY(comm.rtsEnable());
    QVERIFY(comm.dtrEnable());
    QVERIFY(!m_pty->rts()); // nothing reached a device

    // Opening drives the lines to what was recorded.
    comm.setPortOpen(true);
    QVERIFY(m_pty->rts());
    QVERIFY(m_pty->dtr());
    comm.setDTREnable(false);
    QVERIFY(m_pty->rts());
    QVERIFY(!m_pty->dtr());
}

void tst_MSComm::closeLowersBothLines()
{
    MSComm comm;
    comm.setPortOpen(true);
    comm.setRTSEnable(true);
    comm.setDTREnable(true);
    QVERIFY(m_pty->rts() && m_pty->dtr());

    comm.setPortOpen(false);
    QVERIFY(!comm.portOpen());
    QVERIFY(!m_pty->rts());
    QVERIFY(!m_pty->dtr());
    // Reading still gives what was last written.
    QVERIFY(comm.rtsEnable());
    QVERIFY(comm.dtrEnable());
    comm.setPortOpen(false); // closing a closed port is harmless
}

void tst_MSComm::destroyingTheComponentReleasesThePort()
{
    {
        MSComm comm;
        comm.setPortOpen(true);
        comm.setRTSEnable(true);
    }
    QVERIFY(!m_pty->rts());
    MSComm again;
    again.setPortOpen(true); // the lock went with it
    QVERIFY(again.portOpen());
}

void tst_MSComm::portNumberBelowOneFails_data()
{
    QTest::addColumn<int>("port");

    QTest::newRow("zero") << 0;
    QTest::newRow("minus one") << -1;
    QTest::newRow("smallest") << -32768;
}

void tst_MSComm::portNumberBelowOneFails()
{
    QFETCH(int, port);

    MSComm comm;
    comm.setCommPort(7);
    try {
        comm.setCommPort(qint16(port));
        QFAIL("no error for an invalid port number");
    } catch (const ComError &error) {
        QVERIFY2(error.description().contains(QString::number(port)),
                 qPrintable(error.description()));
    }
    QCOMPARE(comm.commPort(), qint16(7));
}

void tst_MSComm::portNumberCannotChangeWhileOpen()
{
    MSComm comm;
    comm.setPortOpen(true);
    QVERIFY_THROWS_EXCEPTION(ComError, comm.setCommPort(2));
    QCOMPARE(comm.commPort(), qint16(1));
    QVERIFY(comm.portOpen());
}

void tst_MSComm::openingTwiceFails()
{
    MSComm comm;
    comm.setPortOpen(true);
    comm.setRTSEnable(true);
    QVERIFY_THROWS_EXCEPTION(ComError, comm.setPortOpen(true));
    QVERIFY(comm.portOpen());
    QVERIFY(m_pty->rts());
}

void tst_MSComm::openFailures_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("expected");

    QTest::newRow("missing device") << "missing"
                                    << "does not exist";
    QTest::newRow("no hardware behind the node") << "nohw"
                                                 << "no serial hardware";
    QTest::newRow("null device") << "/dev/null"
                                 << "is not a serial device";
    QTest::newRow("FIFO") << "fifo"
                          << "is not a serial device";
    QTest::newRow("directory") << "dir"
                               << "is not a serial device";
    QTest::newRow("regular file") << "file"
                                  << "is not a serial device";
    QTest::newRow("held with flock") << "flock"
                                     << "in use by another program";
}

void tst_MSComm::openFailures()
{
    QFETCH(QString, mode);
    QFETCH(QString, expected);

    QString device = m_settings->configDir() + QLatin1Char('/') + mode;
    int holder = -1;
    if (mode == QLatin1String("nohw")) {
        m_pty->setNoHardware(true);
        device = m_pty->path();
    } else if (mode == QLatin1String("flock")) {
        device = m_pty->path();
        holder = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(holder >= 0 && ::flock(holder, LOCK_EX) == 0);
        QVERIFY(m_pty->rts()); // raised by the holder's open, and left so
    } else if (mode == QLatin1String("fifo")) {
        QVERIFY(::mkfifo(QFile::encodeName(device).constData(), 0600) == 0);
    } else if (mode == QLatin1String("dir")) {
        QVERIFY(QDir().mkdir(device));
    } else if (mode == QLatin1String("file")) {
        QFile file(device);
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else if (mode.startsWith(QLatin1Char('/'))) {
        device = mode;
    }
    m_settings->mapPort(4, device);
    // What is no terminal must not even be opened: opening some devices acts.
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(mode == QLatin1String("missing")
            || ::inotify_add_watch(watch, QFile::encodeName(device).constData(), IN_OPEN) >= 0);
    const qsizetype changes = m_pty->changes().size();

    MSComm comm;
    comm.setCommPort(4);
    try {
        comm.setPortOpen(true);
        QFAIL("the port opened");
    } catch (const ComError &error) {
        const QString text = error.description();
        QVERIFY2(text.startsWith(QStringLiteral("Com4: ")), qPrintable(text));
        QVERIFY2(text.contains(expected), qPrintable(text));
        QVERIFY2(text.contains(device), qPrintable(text));
    }
    QVERIFY(!comm.portOpen());
    // Only files of the test's own: anyone may open /dev/null meanwhile.
    if (expected.contains(QLatin1String("serial device"))
        && device.startsWith(m_settings->configDir())) {
        char events[256];
        QCOMPARE(::read(watch, events, sizeof events), ssize_t(-1));
    }
    ::close(watch);
    if (holder >= 0) {
        QCOMPARE(m_pty->changes().size(), changes); // not even opened: that would raise lines
        ::close(holder);
    }
}

void tst_MSComm::noLineMovesOnReopen()
{
    // A fresh adapter: its first open raises both lines for as long as one ioctl takes.
    auto comm = std::make_unique<MSComm>();
    comm->setPortOpen(true);
    QVERIFY(!m_pty->rts() && !m_pty->dtr());
    QVERIFY(!m_pty->changes().isEmpty());

    // Closed at speed 0, the port opens again without a raise: by Set, and by a new program.
    const qsizetype before = m_pty->changes().size();
    comm->setPortOpen(false);
    comm->setPortOpen(true);
    comm.reset();
    comm = std::make_unique<MSComm>();
    comm->setPortOpen(true);
    const auto changes = m_pty->changes();
    for (qsizetype i = before; i < changes.size(); ++i)
        QVERIFY2(!changes[i].rts && !changes[i].dtr, "a line rose on a reopen");
    comm->setRTSEnable(true);
    QVERIFY(m_pty->rts() && !m_pty->dtr());
    // Held at speed 0, raw, hanging up on close, blind to carrier and without flow control.
    const termios held = m_pty->attributes();
    QCOMPARE(cfgetospeed(&held), speed_t(B0));
    QCOMPARE(held.c_cflag & (HUPCL | CLOCAL | CRTSCTS), tcflag_t(HUPCL | CLOCAL));
    QCOMPARE(held.c_lflag & (ICANON | ECHO), tcflag_t(0));
}

void tst_MSComm::staleLockIsCleared()
{
    const QString lock = QStringLiteral("/run/lock/LCK..")
        + m_pty->path().mid(5).replace(QLatin1Char('/'), QLatin1Char('_'));
    if (!QFileInfo(QStringLiteral("/run/lock")).isWritable())
        QSKIP("no writable /run/lock");
    QFile file(lock);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("999999\nminicom\n\n"); // a process that no longer runs
    file.close();
    MSComm comm;
    comm.setPortOpen(true);
    QVERIFY(comm.portOpen());
    comm.setPortOpen(false);
    QVERIFY(!QFile::exists(lock));
}

void tst_MSComm::secondOpenerIsRefused()
{
    MSComm first;
    first.setPortOpen(true);
    first.setRTSEnable(true);

    MSComm second;
    try {
        second.setPortOpen(true);
        QFAIL("a second opener got the port");
    } catch (const ComError &error) {
        const QString text = error.description();
        QVERIFY2(text.contains(QLatin1String("in use by another program")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("process %1").arg(::getpid())), qPrintable(text));
    }
    QVERIFY(!second.portOpen());
    QVERIFY(first.portOpen());
    QVERIFY(m_pty->rts()); // the refused opener touched nothing
}

void tst_MSComm::linkedDeviceSharesTheLock()
{
    const QString link = m_settings->configDir() + QStringLiteral("/by-id-adapter");
    QVERIFY(QFile::link(m_pty->path(), link));
    m_settings->mapPort(2, link);

    MSComm viaLink;
    viaLink.setCommPort(2);
    viaLink.setPortOpen(true);
    QCOMPARE(viaLink.openDevice(), m_pty->path());
    viaLink.setDTREnable(true);
    QVERIFY(m_pty->dtr());

    MSComm direct;
    QVERIFY_THROWS_EXCEPTION(ComError, direct.setPortOpen(true));
}

void tst_MSComm::lineWriteOnVanishedDeviceFails()
{
    MSComm comm;
    comm.setPortOpen(true);
    QSignalSpy lost(&comm, &MSComm::deviceLost);
    m_pty->hangUp();
    QVERIFY_THROWS_EXCEPTION(ComError, comm.setRTSEnable(true));
    QVERIFY(comm.rtsEnable()); // recorded all the same
    QVERIFY(!comm.portOpen());
    QCOMPARE(lost.count(), 1);
    QCOMPARE(lost.first().first().toString(),
             QStringLiteral("Com1: the adapter %1 was disconnected").arg(m_pty->path()));
}

void tst_MSComm::mappingIsReadAtEachOpen()
{
    QCOMPARE(PortMap::device(5), PortMap::defaultDevice(5));
    QCOMPARE(PortMap::defaultDevice(5), QStringLiteral("/dev/ttyS4"));
    QCOMPARE(PortMap::defaultDevice(1), QStringLiteral("/dev/ttyS0"));

    FakePty other;
    QVERIFY(other.isValid());
    MSComm comm;
    comm.setPortOpen(true);
    comm.setPortOpen(false);
    m_settings->mapPort(1, other.path());
    comm.setPortOpen(true);
    QCOMPARE(comm.openDevice(), other.path());
}

// A fake machine: adapters as links in by-id/ to files in dev/, UARTs as dev/ttyS<k> with a
// sysfs type. "@N" in a value stands for the link of adapter N, "@dev N" for its device.
namespace {

struct Machine
{
    QTemporaryDir root;
    QString path(const QString &relative) const { return root.filePath(relative); }
    QString link(int n) const
    {
        return path(
            QStringLiteral("by-id/usb-Adapter_%1-if00-port0").arg(n, 2, 10, QLatin1Char('0')));
    }
    QString device(int n) const { return path(QStringLiteral("dev/ttyUSB%1").arg(n)); }
    QString expand(QString value) const
    {
        if (value.startsWith(QLatin1String("@dev ")))
            return device(value.mid(5).toInt());
        return value.startsWith(QLatin1Char('@')) ? link(value.mid(1).toInt()) : value;
    }
    void write(const QString &relative, const QByteArray &text) const
    {
        QDir().mkpath(QFileInfo(path(relative)).path());
        QFile file(path(relative));
        file.open(QIODevice::WriteOnly);
        file.write(text);
    }
    Machine(int adapters, const QList<int> &uarts)
    {
        QDir().mkpath(path(QStringLiteral("by-id")));
        for (int n = 0; n < adapters; ++n) {
            write(QStringLiteral("dev/ttyUSB%1").arg(n), {});
            QFile::link(device(n), link(n));
        }
        for (int k = 0; k < 16; ++k) {
            write(QStringLiteral("dev/ttyS%1").arg(k), {});
            write(QStringLiteral("sys/class/tty/ttyS%1/type").arg(k),
                  uarts.contains(k) ? "4\n" : "0\n");
        }
    }
    PortNumbering numbering() const
    {
        return PortNumbering(path(QStringLiteral("by-id")), path(QStringLiteral("sys")),
                             path(QStringLiteral("dev")));
    }
};

} // namespace

void tst_MSComm::numbering_data()
{
    QTest::addColumn<int>("adapters");
    QTest::addColumn<QList<int>>("uarts");
    QTest::addColumn<QStringList>("entries"); // "<port>=<value>" before
    QTest::addColumn<QStringList>("expected"); // all entries after

    QTest::newRow("first adapter, no UART")
        << 1 << QList<int>{} << QStringList{} << QStringList{"1=@0"};
    QTest::newRow("real ttyS0") << 1 << QList<int>{0} << QStringList{} << QStringList{"2=@0"};
    QTest::newRow("hand entry kept") << 2 << QList<int>{} << QStringList{"1=/dev/ttyAMA0"}
                                     << QStringList{"1=/dev/ttyAMA0", "2=@0", "3=@1"};
    QTest::newRow("named by its device")
        << 1 << QList<int>{} << QStringList{"3=@dev 0"} << QStringList{"3=@dev 0"};
    QTest::newRow("unplugged keeps its number")
        << 1 << QList<int>{} << QStringList{"1=@7"} << QStringList{"1=@7", "2=@0"};
    QStringList all;
    for (int n = 0; n < 16; ++n)
        all << QStringLiteral("%1=@%2").arg(n + 1).arg(n);
    QTest::newRow("17 adapters") << 17 << QList<int>{} << QStringList{} << all;
}

void tst_MSComm::numbering()
{
    QFETCH(int, adapters);
    QFETCH(QList<int>, uarts);
    QFETCH(QStringList, entries);
    QFETCH(QStringList, expected);

    const Machine machine(adapters, uarts);
    m_settings->mapPort(1, QString()); // not the fixture's pty
    for (const QString &entry : entries)
        m_settings->mapPort(entry.section(QLatin1Char('='), 0, 0).toInt(),
                            machine.expand(entry.section(QLatin1Char('='), 1)));
    machine.numbering().numberNewAdapters();
    machine.numbering().numberNewAdapters(); // a second look changes nothing
    for (int port = 1; port <= 16; ++port) {
        QString wanted;
        for (const QString &entry : expected) {
            if (entry.section(QLatin1Char('='), 0, 0).toInt() == port)
                wanted = machine.expand(entry.section(QLatin1Char('='), 1));
        }
        QCOMPARE(m_settings->read(QStringLiteral("Ports"), QStringLiteral("Com%1").arg(port)),
                 wanted);
    }
}

void tst_MSComm::tooltips_data()
{
    QTest::addColumn<QString>("entry"); // Com<port>'s value, if any
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("expected"); // with "<root>" for the fake machine

    QTest::newRow("adapter") << "@0" << 3
                             << "Com3: FTDI FT232R USB UART, serial A12345: <root>/dev/ttyUSB0";
    QTest::newRow("no UART") << "" << 2 << "Com2: <root>/dev/ttyS1 (no UART behind this port)";
    QTest::newRow("UART") << "" << 1 << "Com1: <root>/dev/ttyS0";
    QTest::newRow("unplugged adapter")
        << "@4" << 4 << "Com4: usb-Adapter_04-if00-port0 (not plugged in)";
    QTest::newRow("missing device")
        << "/nonexistent/tty" << 9 << "Com9: /nonexistent/tty (not present)";
}

void tst_MSComm::tooltips()
{
    QFETCH(QString, entry);
    QFETCH(int, port);
    QFETCH(QString, expected);

    Machine machine(1, {0});
    machine.write(QStringLiteral("sys/devices/usb1/1-1/idVendor"), "0403\n");
    machine.write(QStringLiteral("sys/devices/usb1/1-1/manufacturer"), "FTDI\n");
    machine.write(QStringLiteral("sys/devices/usb1/1-1/product"), "FT232R USB UART\n");
    machine.write(QStringLiteral("sys/devices/usb1/1-1/serial"), "A12345\n");
    QDir().mkpath(machine.path(QStringLiteral("sys/devices/usb1/1-1/1-1:1.0/ttyUSB0")));
    QDir().mkpath(machine.path(QStringLiteral("sys/class/tty/ttyUSB0")));
    QFile::link(machine.path(QStringLiteral("sys/devices/usb1/1-1/1-1:1.0")),
                machine.path(QStringLiteral("sys/class/tty/ttyUSB0/device")));
    m_settings->mapPort(1, QString()); // no mapping of the fixture's
    if (!entry.isEmpty())
        m_settings->mapPort(port, machine.expand(entry));
    QCOMPARE(machine.numbering().describe(port),
             QString(expected).replace(QLatin1String("<root>"), machine.root.path()));
}

void tst_MSComm::descriptionsSayWhatToDo_data()
{
    QTest::addColumn<int>("cause");
    QTest::addColumn<QString>("advice");

    using C = OpenError::Cause;
    QTest::newRow("missing") << int(C::Missing) << "\"Ports\"";
    QTest::newRow("permission") << int(C::PermissionDenied) << "dialout";
    QTest::newRow("in use") << int(C::InUse) << "(minicom, process 4242)";
    QTest::newRow("stale lock")
        << int(C::StaleLock)
        << "a stale lock file Bad thing from process 4242, which no longer runs, blocks the "
           "port; remove it as root.";
    QTest::newRow("no hardware") << int(C::NoHardware) << "input/output error";
    QTest::newRow("no control lines") << int(C::NoControlLines) << "RTS and DTR";
    QTest::newRow("other") << int(C::Other) << "Bad thing";
}

void tst_MSComm::descriptionsSayWhatToDo()
{
    QFETCH(int, cause);
    QFETCH(QString, advice);

    const QString text = OpenError::describe(3, QStringLiteral("/dev/serial/by-id/usb-adapter"),
                                             OpenError::Cause(cause), QStringLiteral("Bad thing"),
                                             OpenError::Holder{4242, QStringLiteral("minicom")});
    QVERIFY2(text.startsWith(QLatin1String("Com3: ")), qPrintable(text));
    QVERIFY2(text.contains(advice), qPrintable(text));
}

QTEST_GUILESS_MAIN(tst_MSComm)
#include "tst_mscomm.moc"
