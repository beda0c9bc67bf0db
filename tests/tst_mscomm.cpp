// The port component through the real QSerialPort, on pseudo-terminals with RTS and DTR.

#include "fakepty.h"
#include "serial/comerror.h"
#include "serial/mscomm.h"
#include "serial/openerror.h"
#include "serial/portmap.h"
#include "tempsettings.h"

#include <QFile>
#include <QTest>

#include <memory>
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
    void closeLowersBothLines_data();
    void closeLowersBothLines();
    void destroyingTheComponentReleasesThePort();
    void portNumberBelowOneFails_data();
    void portNumberBelowOneFails();
    void portNumberCannotChangeWhileOpen();
    void openingTwiceFails();
    void openFailures_data();
    void openFailures();
    void secondOpenerIsRefused();
    void linkedDeviceSharesTheLock();
    void lineWriteOnVanishedDeviceFails();
    void mappingIsReadAtEachOpen();
    void descriptionsSayWhatToDo_data();
    void descriptionsSayWhatToDo();
    void classifiesWhatQSerialPortReports();

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

void tst_MSComm::closeLowersBothLines_data()
{
    QTest::addColumn<bool>("hangUpOnClose");

    QTest::newRow("device hangs up on close") << true;
    QTest::newRow("device set not to hang up") << false;
}

void tst_MSComm::closeLowersBothLines()
{
    QFETCH(bool, hangUpOnClose);

    // Set before opening: the port puts back on close the terminal settings it found.
    QVERIFY(m_pty->setHangUpOnClose(hangUpOnClose));
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
    QVERIFY(m_pty->setHangUpOnClose(false));
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
    QTest::newRow("not a terminal") << "file"
                                    << "cannot open";
}

void tst_MSComm::openFailures()
{
    QFETCH(QString, mode);
    QFETCH(QString, expected);

    QString device = m_pty->path();
    if (mode == QLatin1String("missing")) {
        device = m_settings->configDir() + QStringLiteral("/no-such-device");
    } else if (mode == QLatin1String("nohw")) {
        m_pty->setNoHardware(true);
    } else {
        device = m_settings->configDir() + QStringLiteral("/plain-file");
        QFile file(device);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    m_settings->mapPort(4, device);

    MSComm comm;
    comm.setCommPort(4);
    try {
        comm.setPortOpen(true);
        QFAIL("the port opened");
    } catch (const ComError &error) {
        const QString text = error.description();
        QVERIFY2(text.contains(expected), qPrintable(text));
        QVERIFY2(text.startsWith(QLatin1String("Com4")), qPrintable(text));
        QVERIFY2(text.contains(device), qPrintable(text));
    }
    QVERIFY(!comm.portOpen());
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
    QTest::newRow("no hardware") << int(C::NoHardware) << "input/output error";
    QTest::newRow("no control lines") << int(C::NoControlLines) << "RTS and DTR";
    QTest::newRow("other") << int(C::Other) << "Bad thing";
}

void tst_MSComm::descriptionsSayWhatToDo()
{
    QFETCH(int, cause);
    QFETCH(QString, advice);

    const QString text = OpenError::describe(
        3, QStringLiteral("/dev/serial/by-id/usb-adapter"), OpenError::Cause(cause),
        QStringLiteral("Bad thing"), OpenError::LockHolder{4242, QStringLiteral("minicom")});
    QVERIFY2(text.startsWith(QLatin1String("Com3: ")), qPrintable(text));
    QVERIFY2(text.contains(QLatin1String("/dev/serial/by-id/usb-adapter")), qPrintable(text));
    QVERIFY2(text.contains(advice), qPrintable(text));
}

void tst_MSComm::classifiesWhatQSerialPortReports()
{
    using C = OpenError::Cause;
    QCOMPARE(OpenError::classify(QSerialPort::PermissionError,
                                 QStringLiteral("Permission error while locking the device"), true),
             C::InUse);
    QCOMPARE(OpenError::classify(QSerialPort::PermissionError, qt_error_string(EACCES), true),
             C::PermissionDenied);
    QCOMPARE(OpenError::classify(QSerialPort::ResourceError, qt_error_string(EIO), true),
             C::NoHardware);
    QCOMPARE(OpenError::classify(QSerialPort::OpenError, QString(), false), C::Missing);
    QCOMPARE(OpenError::classify(QSerialPort::DeviceNotFoundError, QString(), true), C::Missing);
    QCOMPARE(OpenError::classify(QSerialPort::UnknownError, QStringLiteral("?"), true), C::Other);
}

QTEST_GUILESS_MAIN(tst_MSComm)
#include "tst_mscomm.moc"
