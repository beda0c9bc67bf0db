// The port component on pseudo-terminals with RTS and DTR.

#include "fakepty.h"
#include "serial/comerror.h"
#include "serial/mscomm.h"
#include "serial/openerror.h"
#include "serial/portmap.h"
#include "tempsettings.h"

#include <QFile>
#include <QTest>

#include <QDir>
#include <QFileInfo>

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
    ::inotify_add_watch(watch, QFile::encodeName(device).constData(), IN_OPEN);

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
        QVERIFY(m_pty->rts()); // the refused opener lowered nothing
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
    m_pty->hangUp();
    QVERIFY_THROWS_EXCEPTION(ComError, comm.setRTSEnable(true));
    QVERIFY(comm.rtsEnable()); // recorded all the same
    comm.setPortOpen(false); // and closing still works
    QVERIFY(!comm.portOpen());
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
    QVERIFY(PortMap::describe(1).contains(other.path()));
    m_settings->mapPort(9, QStringLiteral("/nonexistent/tty"));
    QCOMPARE(PortMap::describe(9), QStringLiteral("/nonexistent/tty (not present)"));
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
