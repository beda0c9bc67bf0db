// Faults the program must live through without crashing or leaving a line asserted.

#include "app/module1.h"
#include "app/shutdowntriggers.h"
#include "fakepty.h"
#include "serial/mscomm.h"
#include "settings/settingsstore.h"
#include "tempsettings.h"
#include "windows/colours.h"
#include "windows/frmmain.h"
#include "windows/lamp.h"
#include "windows/textbox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaMethod>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <ctime>
#include <memory>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

class tst_Robustness : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void deviceDisappearsWhileOpen_data();
    void deviceDisappearsWhileOpen();
    void settingsFolderCannotBeWritten();
    void settingsFileKinds_data();
    void settingsFileKinds();
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

void tst_Robustness::deviceDisappearsWhileOpen_data()
{
    QTest::addColumn<bool>("tiltHeld");
    QTest::addColumn<bool>("clickAtOnce"); // before the hang-up is noticed
    QTest::newRow("idle") << false << false;
    QTest::newRow("while Tilt is held") << true << false;
    QTest::newRow("toggled before it is noticed") << false << true;
}

void tst_Robustness::deviceDisappearsWhileOpen()
{
    QFETCH(bool, tiltHeld);
    QFETCH(bool, clickAtOnce);
    auto window = std::make_unique<frmMain>();
    QTest::mouseClick(button(window.get(), "btnCH2"), Qt::LeftButton);
    if (tiltHeld)
        QTest::mousePress(button(window.get(), "btnCH1_tilt"), Qt::LeftButton);
    QVERIFY(m_pty->dtr());
    QCOMPARE(m_pty->rts(), tiltHeld);

    timespec before{}, after{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
    m_pty->hangUp(); // the adapter is pulled out
    if (clickAtOnce)
        QTest::mouseClick(button(window.get(), "btnCH1"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(window->Text1()->backColor(), Colours::pureRed, 100);
    QCOMPARE(window->Text1()->text(), QStringLiteral("Com port open Error!"));
    QCOMPARE(Module1::flgPortError, wordTrue);
    QVERIFY(!window->MSComm1()->portOpen());
    const QString tip = window->Text1()->toolTip();
    QVERIFY2(
        tip.contains(QStringLiteral("Com1: the adapter %1 was disconnected").arg(m_pty->path())),
        qPrintable(tip));
    QTest::qWait(2000);
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
    const double cpuSeconds =
        double(after.tv_sec - before.tv_sec) + double(after.tv_nsec - before.tv_nsec) / 1e9;
    QVERIFY2(cpuSeconds < 0.1, qPrintable(QString::number(cpuSeconds))); // no busy loop

    // Both channels are off, and stay off whatever is pressed now.
    if (tiltHeld)
        QTest::mouseRelease(button(window.get(), "btnCH1_tilt"), Qt::LeftButton);
    QTest::mouseClick(button(window.get(), "btnCH2"), Qt::LeftButton);
    QCOMPARE(Module1::flgCH1, wordFalse);
    QCOMPARE(Module1::flgCH2, wordFalse);
    QCOMPARE(window->monCH1()->backColor(), Colours::lampOff);
    QCOMPARE(window->monCH2()->backColor(), Colours::lampOff);

    // Chosen again on a new adapter, the port opens with both lines low.
    FakePty replugged;
    m_settings->mapPort(1, replugged.path());
    window->MSComm1()->setPortOpen(true);
    QVERIFY(!replugged.rts() && !replugged.dtr());

    QSignalSpy unloaded(window.get(), &frmMain::unloaded);
    QVERIFY(window->close());
    QCOMPARE(unloaded.count(), 1);
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

namespace {

// What is at path, without opening anything but a regular file: the bytes of a regular file, the
// type of anything else, and where a link leads.
QByteArray describeFile(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return "link to " + QFile::encodeName(info.symLinkTarget()) + ": "
            + describeFile(info.symLinkTarget());
    struct stat status = {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return "nothing";
    if (!S_ISREG(status.st_mode))
        return "file type " + QByteArray::number(status.st_mode & S_IFMT, 8);
    QFile file(path);
    return file.open(QIODevice::ReadOnly)
        ? file.readAll()
        : "unreadable file, inode " + QByteArray::number(qulonglong(status.st_ino));
}

// Fills the file system that holds path until it has no room left.
void fillUp(const QString &path)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const QByteArray block(4096, 'x');
    while (fd >= 0 && ::write(fd, block.constData(), size_t(block.size())) > 0) { }
    ::close(fd);
}

} // namespace

void tst_Robustness::settingsFileKinds_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<bool>("moved");
    QTest::addColumn<QString>("reason"); // why start-up finds the file unreadable; empty if not
    QTest::addColumn<QByteArray>("after"); // the file after the run; null: exactly as before

    const QByteArray usual = "[Ports]\nCom1=@PTY@\n\n[Properties]\nTop = 300\n\n[Notes]\nkept\n";
    QByteArray junk(4096, '\n'); // printable, in lines
    for (int i = 0; i < junk.size(); ++i)
        junk[i] = i % 64 == 63 ? '\n' : char(' ' + (i * 131 + 7) % 95);
    const QString text = QString::fromUtf8(usual);
    const QByteArray utf16 =
        "\xff\xfe" + QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);

    QTest::newRow("regular file")
        << "file" << usual << true << QString()
        << QByteArray(
               "[Ports]\nCom1=@PTY@\n\n[Properties]\nTop = 750\nLeft=1500\n\n[Notes]\nkept\n");
    QTest::newRow("missing file") << "missing" << QByteArray() << true << QString()
                                  << QByteArray("[Properties]\nTop=750\nLeft=1500\n");
    QTest::newRow("comments and [Notes], not moved")
        << "file"
        << QByteArray("; by hand\n[Ports]\n# the FTDI cable\nCom1=@PTY@\n\n[Properties]\nTop=300\n"
                      "Left=450\n\n[Notes]\nPath=C:\\temp\\x\nOwner=J\xf6rg\n")
        << false << QString() << QByteArray();
    QTest::newRow("FIFO") << "fifo" << usual << true << "it is a FIFO" << QByteArray();
    QTest::newRow("link to a FIFO") << "link to fifo" << usual << true
                                    << "it links to @DIR@/fifo, which is a FIFO" << QByteArray();
    QTest::newRow("link to a character device")
        << "link to device" << usual << true
        << "it links to @DIR@/null, which is a character device" << QByteArray();
    QTest::newRow("read-only") << "mode 444" << usual << true << QString() << QByteArray();
    QTest::newRow("mode 000") << "mode 000" << usual << true
                              << "it cannot be opened: Permission denied" << QByteArray();
    QTest::newRow("directory") << "directory" << usual << true << "it is a directory"
                               << QByteArray();
    QTest::newRow("2 MiB file") << "file" << usual + "; " + QByteArray(2 << 20, 'x') + "\n"
                                << true << "it is larger than 1 MiB" << QByteArray();
    QTest::newRow("unmatched quote")
        << "file" << QByteArray("[Ports]\nCom2=\"/dev/foo\nCom1=@PTY@\n\n[Properties]\nTop=300\n")
        << true << "line 2 has a quote that is not closed on that line" << QByteArray();
    QTest::newRow("UTF-16 with BOM")
        << "file" << utf16 << true << "it is UTF-16 text" << QByteArray();
    QTest::newRow("junk before [Ports]")
        << "file" << junk + "\n[Ports]\nCom1=@PTY@\n"
        << true << "line 1 has a quote that is not closed on that line" << QByteArray();
    QTest::newRow("disk full") << "disk full" << usual << true << QString() << QByteArray();
}

void tst_Robustness::settingsFileKinds()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, contents);
    QFETCH(bool, moved);
    QFETCH(QString, reason);
    QFETCH(QByteArray, after);

    const QString file = m_settings->file();
    const QString folder = QFileInfo(file).path();
    const QString elsewhere = QFileInfo(m_settings->configDir()).canonicalFilePath();
    const auto encoded = [](const QString &path) { return QFile::encodeName(path); };
    contents.replace("@PTY@", m_pty->path().toUtf8());
    if (!after.isNull())
        after.replace("@PTY@", m_pty->path().toUtf8());
    reason.replace(QStringLiteral("@DIR@"), elsewhere);
    QVERIFY(QFile::remove(file));

    bool mounted = false;
    const auto unmount = qScopeGuard([&] {
        if (mounted)
            ::umount2(encoded(folder).constData(), MNT_DETACH);
    });
    if (kind == "disk full") {
        if (::geteuid() != 0)
            QSKIP("Mounting a small file system needs root");
        // Private to this thread, so nobody else sees the mount, and it goes with the process.
        static const bool privateMounts = ::unshare(CLONE_NEWNS) == 0
            && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        QVERIFY(privateMounts);
        mounted = ::mount("tmpfs", encoded(folder).constData(), "tmpfs", 0, "size=64k") == 0;
        QVERIFY(mounted);
    }
    if (kind == "file" || kind.startsWith("mode") || kind == "disk full")
        m_settings->writeRaw(contents);
    if (kind == "disk full") {
        fillUp(folder + QStringLiteral("/filler"));
    } else if (kind.startsWith("mode")) {
        if (::geteuid() == 0)
            QSKIP("Root reads and writes a file whatever its mode");
        QVERIFY(::chmod(encoded(file).constData(), kind == "mode 444" ? 0444 : 0) == 0);
    } else if (kind == "fifo") {
        QCOMPARE(::mkfifo(encoded(file).constData(), 0600), 0);
    } else if (kind == "link to fifo") {
        QCOMPARE(::mkfifo(encoded(elsewhere + QStringLiteral("/fifo")).constData(), 0600), 0);
        QVERIFY(QFile::link(elsewhere + QStringLiteral("/fifo"), file));
    } else if (kind == "link to device") {
        if (::mknod(encoded(elsewhere + QStringLiteral("/null")).constData(), S_IFCHR | 0666,
                    makedev(1, 3))
            != 0)
            QSKIP("Making a device node needs root");
        QVERIFY(QFile::link(elsewhere + QStringLiteral("/null"), file));
    } else if (kind == "directory") {
        QVERIFY(QDir().mkdir(file));
    }
    const QByteArray before = describeFile(file);

    if (kind == "missing") {
        // No window: from defaults it would open the machine's own Com1. This is what its
        // shut-down writes.
        QCOMPARE(SettingsStore::whyUnreadable(QStringLiteral("Twinline")), QString());
        QVERIFY(SettingsStore::write(QStringLiteral("Twinline"), QStringLiteral("Properties"),
                                     {{QStringLiteral("Top"), QStringLiteral("750")},
                                      {QStringLiteral("Left"), QStringLiteral("1500")}}));
    } else {
        auto window = std::make_unique<frmMain>();
        if (reason.isEmpty()) {
            QCOMPARE(window->Text1()->text(), QStringLiteral("Com 1"));
        } else {
            const QString home = QDir::homePath() + u'/';
            const QString shown = file.startsWith(home) ? u'~' + file.mid(home.size() - 1) : file;
            QCOMPARE(window->Text1()->text(), QStringLiteral("Com port open Error!"));
            QCOMPARE(window->Text1()->toolTip(),
                     QStringLiteral("The settings file %1 cannot be read (%2). Twinline will not "
                                    "open any port or change that file until it can be read.")
                         .arg(shown, reason));
        }
        QCOMPARE(window->MSComm1()->portOpen(), reason.isEmpty());
        if (moved)
            window->move(100, 50);
        QVERIFY(window->close());
    }
    QCOMPARE(describeFile(file), after.isNull() ? before : after);
    const QStringList leftOver =
        QDir(folder).entryList({QStringLiteral(".Twinline.conf.*")}, QDir::Files | QDir::Hidden);
    QVERIFY2(leftOver.isEmpty(), qPrintable(leftOver.join(u' ')));
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
