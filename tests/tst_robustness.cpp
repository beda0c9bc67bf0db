// Faults the program must live through without crashing or leaving a line asserted.

#include "app/module1.h"
#include "app/shutdowntriggers.h"
#include "fakepty.h"
#include "serial/mscomm.h"
#include "tempsettings.h"
#include "windows/colours.h"
#include "windows/frmmain.h"
#include "windows/lamp.h"
#include "windows/textbox.h"

#include <QDir>
#include <QFile>
#include <QMetaMethod>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <memory>
#include <unistd.h>

class tst_Robustness : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void deviceDisappearsWhileOpen();
    void settingsFolderCannotBeWritten();
    void settingsFileOfBinaryJunk();
    void portHeldByAnotherProgram();
    void signalWhileTiltHeld_data();
    void signalWhileTiltHeld();
    void sessionSaveKeepsRunning();

private:
    QPushButton *button(frmMain *window, const char *name)
    {
        return window->findChild<QPushButton *>(QLatin1String(name));
    }

    std::unique_ptr<TempSettings> m_settings;
    std::unique_ptr<FakePty> m_pty;
};

void tst_Robustness::init()
{
    QVERIFY2(ptyModemLoaded(), "libptymodem.so is not preloaded: run this test through ctest");
    m_settings = std::make_unique<TempSettings>();
    m_pty = std::make_unique<FakePty>();
    QVERIFY2(m_pty->isValid(), qPrintable(m_pty->errorString()));
    m_settings->mapPort(1, m_pty->path());
    Module1::flgCH1 = Module1::flgCH2 = Module1::flgPortError = wordFalse;
}

void tst_Robustness::cleanup()
{
    m_pty.reset();
    m_settings.reset();
}

void tst_Robustness::deviceDisappearsWhileOpen()
{
    auto window = std::make_unique<frmMain>();
    QTest::mouseClick(button(window.get(), "btnCH1"), Qt::LeftButton);
    QVERIFY(m_pty->rts());

    m_pty->hangUp(); // the adapter is pulled out
    QTest::qWait(50); // let anything the port reports arrive
    QTest::mouseClick(button(window.get(), "btnCH2"), Qt::LeftButton);
    QTest::mousePress(button(window.get(), "btnCH1_tilt"), Qt::LeftButton);
    QTest::mouseRelease(button(window.get(), "btnCH1_tilt"), Qt::LeftButton);
    QCOMPARE(window->monCH2()->backColor(), Colours::lampOn); // the lamp shows the flag

    QSignalSpy unloaded(window.get(), &frmMain::unloaded);
    QVERIFY(window->close());
    QCOMPARE(unloaded.count(), 1);
    QVERIFY(!window->MSComm1()->portOpen());
    QVERIFY(!m_pty->rts());
    QVERIFY(!m_pty->dtr());
}

void tst_Robustness::settingsFolderCannotBeWritten()
{
    auto window = std::make_unique<frmMain>();
    QTest::mouseClick(button(window.get(), "btnCH2"), Qt::LeftButton);
    QVERIFY(m_pty->dtr());

    // A plain file where the settings folder belongs: nothing can be stored, not even by root.
    const QString folder = m_settings->configDir() + QStringLiteral("/Twinline");
    QFile::remove(m_settings->file());
    QVERIFY(QDir(folder).removeRecursively());
    QFile blocker(folder);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    window->move(40, 40);
    QSignalSpy unloaded(window.get(), &frmMain::unloaded);
    QVERIFY(window->close());
    QCOMPARE(unloaded.count(), 1); // shut-down still ends the program
    QVERIFY(!window->MSComm1()->portOpen());
    QVERIFY(!m_pty->dtr());
}

void tst_Robustness::settingsFileOfBinaryJunk()
{
    QByteArray junk(4096, '\0');
    for (int i = 0; i < junk.size(); ++i)
        junk[i] = char((i * 131 + 7) % 256);
    m_settings->writeRaw(junk);
    m_settings->write(QStringLiteral("Ports"), QStringLiteral("Com1"), m_pty->path());

    auto window = std::make_unique<frmMain>();
    QCOMPARE(window->pos(), QPoint(13, 13)); // the defaults
    QCOMPARE(window->Text1()->text(), QStringLiteral("Com 1"));
    window->move(20, 30);
    QVERIFY(window->close());
    QCOMPARE(m_settings->read(QStringLiteral("Properties"), QStringLiteral("Top")),
             QStringLiteral("450"));
    QCOMPARE(m_settings->read(QStringLiteral("Properties"), QStringLiteral("Left")),
             QStringLiteral("300"));
}

void tst_Robustness::portHeldByAnotherProgram()
{
    MSComm other; // holds the port as another program would, with its line up
    other.setPortOpen(true);
    other.setRTSEnable(true);

    auto window = std::make_unique<frmMain>();
    QCOMPARE(window->Text1()->text(), QStringLiteral("Com port open Error!"));
    QCOMPARE(Module1::flgPortError, wordTrue);
    const QString tip = window->Text1()->toolTip();
    QVERIFY2(tip.contains(QStringLiteral("in use by another program")), qPrintable(tip));
    QVERIFY2(tip.contains(QStringLiteral("process %1").arg(::getpid())), qPrintable(tip));

    QTest::mouseClick(button(window.get(), "btnCH1"), Qt::LeftButton);
    QVERIFY(window->close());
    QVERIFY(m_pty->rts()); // the other program's line is left alone
    QVERIFY(other.portOpen());
}

void tst_Robustness::signalWhileTiltHeld_data()
{
    QTest::addColumn<int>("signalNumber");

    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
}

void tst_Robustness::signalWhileTiltHeld()
{
    QFETCH(int, signalNumber);

    auto window = std::make_unique<frmMain>();
    installShutdownTriggers(window.get());
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QTest::mousePress(button(window.get(), "btnCH2_tilt"), Qt::LeftButton);
    QVERIFY(m_pty->dtr());

    QSignalSpy unloaded(window.get(), &frmMain::unloaded);
    QCOMPARE(::raise(signalNumber), 0);
    QVERIFY(unloaded.wait(5000));
    QVERIFY(!m_pty->dtr());
    QVERIFY(!m_pty->rts());
    QCOMPARE(m_settings->read(QStringLiteral("Properties"), QStringLiteral("Top")),
             QStringLiteral("200"));
}

// Before a logout the session manager asks the program to save; the user may still cancel.
void tst_Robustness::sessionSaveKeepsRunning()
{
    auto window = std::make_unique<frmMain>();
    installShutdownTriggers(window.get());
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QTest::mouseClick(button(window.get(), "btnCH1"), Qt::LeftButton);
    window->move(40, 50);
    QSignalSpy unloaded(window.get(), &frmMain::unloaded);

    // Only a session manager can make a QSessionManager; the program never looks at it.
    char manager = 0;
    QVERIFY(
        QMetaMethod::fromSignal(&QGuiApplication::commitDataRequest)
            .invoke(qApp, Qt::DirectConnection, QGenericArgument("QSessionManager&", &manager)));
    QTest::qWait(50);
    QCOMPARE(unloaded.count(), 0);
    QVERIFY(window->isVisible());
    QVERIFY(m_pty->rts());
    QCOMPARE(m_settings->read(QStringLiteral("Properties"), QStringLiteral("Top")),
             QStringLiteral("750"));
    QCOMPARE(m_settings->read(QStringLiteral("Properties"), QStringLiteral("Left")),
             QStringLiteral("600"));
}

QTEST_MAIN(tst_Robustness)
#include "tst_robustness.moc"
