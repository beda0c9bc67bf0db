// The parts that stand alone: number texts, the settings file, the port on ptys, adapter numbers.

#include "sandbox.h"
#include "serial/comerror.h"
#include "serial/mscomm.h"
#include "settings/conversions.h"
#include "settings/settingsstore.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <functional>
#include <optional>

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// Whether anything opened path while act ran (true too when path cannot be watched).
bool opens(const QString &path, const std::function<void()> &act)
{
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    const bool watched = ::inotify_add_watch(watch, QFile::encodeName(path), IN_OPEN) >= 0;
    act();
    alignas(inotify_event) char events[4096];
    const bool opened = ::read(watch, events, sizeof events) > 0;
    ::close(watch);
    return !watched || opened;
}

// The bytes of a regular file; of anything else, only its type and inode: it is not opened.
QByteArray state(const QString &path)
{
    struct stat node = {};
    QFile file(path);
    if (::lstat(QFile::encodeName(path), &node) == 0 && S_ISREG(node.st_mode)
        && file.open(QIODevice::ReadOnly))
        return file.readAll();
    return QByteArray::number(node.st_mode) + ' ' + QByteArray::number(node.st_ino);
}

} // namespace

class tst_units : public QObject
{
    Q_OBJECT

    std::optional<Sandbox> sandbox;

    QString link(int n) const
    {
        return sandbox->path(QStringLiteral("machine/by-id/usb-Adapter_%1-if00-port0")
                                 .arg(n, 2, 10, QLatin1Char('0')));
    }
    // "@N" stands for adapter N's link, "@dev N" for its device.
    QString expand(const QString &value) const
    {
        if (value.startsWith(QLatin1String("@dev ")))
            return sandbox->path(QStringLiteral("machine/dev/ttyUSB") + value.mid(5));
        return value.startsWith(u'@') ? link(value.mid(1).toInt()) : value;
    }
    void put(const QString &relative, const QByteArray &bytes) const
    {
        QDir().mkpath(QFileInfo(sandbox->path(relative)).path());
        QFile file(sandbox->path(relative));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    // Adapters, the first an FTDI one, and ttyS0 and ttyS1 with a UART where uarts says.
    void machine(int adapters, const QList<int> &uarts)
    {
        for (int n = 0; n < adapters; ++n) {
            put(QStringLiteral("machine/dev/ttyUSB%1").arg(n), {});
            QFile::link(expand(QStringLiteral("@dev %1").arg(n)), link(n));
        }
        for (int k : {0, 1}) {
            put(QStringLiteral("machine/dev/ttyS%1").arg(k), {});
            put(QStringLiteral("machine/sys/class/tty/ttyS%1/type").arg(k),
                uarts.contains(k) ? "4" : "0");
        }
        const QString usb = QStringLiteral("machine/sys/devices/usb1/1-1/");
        put(usb + "manufacturer", "FTDI\n");
        put(usb + "product", "FT232R USB UART\n");
        put(usb + "serial", "A12345\n");
        put(usb + "idVendor", "0403\n");
        QDir().mkpath(sandbox->path(usb + "1-1:1.0"));
        QDir().mkpath(sandbox->path(QStringLiteral("machine/sys/class/tty/ttyUSB0")));
        QFile::link(sandbox->path(usb + "1-1:1.0"),
                    sandbox->path(QStringLiteral("machine/sys/class/tty/ttyUSB0/device")));
        sandbox->mapPort(1, QString()); // not the pty
    }

private slots:
    void initTestCase() { QVERIFY2(ptyModemLoaded(), "run through ctest: no libptymodem.so"); }
    void init() { sandbox.emplace(); }
    void cleanup() { sandbox.reset(); }

    void numbers_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<char>(
            "kind"); // i: read as Integer, s: read as Single, w: written, p: port
        QTest::addColumn<QString>("locale");
        QTest::addColumn<double>("value"); // NaN: a conversion error

        const double error = qQNaN();
        QTest::newRow("half down to even") << "2.5" << 'i' << "C" << 2.0;
        QTest::newRow("half up to even") << "3.5" << 'i' << "en_US" << 4.0;
        QTest::newRow("decimal comma") << "1234,5" << 's' << "de_DE" << 1234.5;
        QTest::newRow("grouping") << "1.234,5" << 's' << "de_DE" << 1234.5;
        QTest::newRow("native digits of earlier versions") << "١٥٠٠" << 's' << "en_US" << 1500.0;
        QTest::newRow("text") << "com3" << 'i' << "C" << error;
        QTest::newRow("empty") << "" << 'i' << "C" << error;
        QTest::newRow("NaN") << "nan" << 's' << "C" << error;
        QTest::newRow("infinity") << "inf" << 's' << "C" << error;
        QTest::newRow("above 16 bits") << "32767.5" << 'i' << "C" << error;
        QTest::newRow("beyond single precision") << "1e39" << 's' << "C" << error;
        QTest::newRow("written in English") << "123456" << 'w' << "en_US" << 123456.0;
        QTest::newRow("written in German") << "-1234,5" << 'w' << "de_DE" << -1234.5;
        QTest::newRow("written in Arabic (Egypt)") << "1500٫5" << 'w' << "ar_EG" << 1500.5;
        QTest::newRow("written in Persian (Iran)") << "-1234٫5" << 'w' << "fa_IR" << -1234.5;
        QTest::newRow("status box port") << " 3" << 'p' << "C" << 3.0;
        QTest::newRow("status box negative") << "-3" << 'p' << "C" << -3.0;
    }
    void numbers()
    {
        QFETCH(QString, text);
        QFETCH(char, kind);
        QFETCH(QString, locale);
        QFETCH(double, value);

        const QLocale rules(locale);
        if (kind == 'p')
            QCOMPARE(Conversions::decimalWithSignPosition(int(value)), text);
        if (kind == 'w') { // digits 0-9 with the writer's separator, read back in every locale
            QCOMPARE(Conversions::fromSingle(float(value), rules), text);
            for (const char *reader : {"ar_EG", "fa_IR", "de_DE", "en_US"})
                QCOMPARE(Conversions::toSingle(text, QLocale(QLatin1String(reader))), float(value));
        }
        if (kind == 'i' || kind == 's') {
            try {
                QCOMPARE(kind == 'i' ? double(Conversions::toInteger16(text, rules))
                                     : double(Conversions::toSingle(text, rules)),
                         value);
            } catch (const ConversionError &) {
                QVERIFY2(qIsNaN(value), "rejected");
            }
        }
    }

    void settingsFileKinds_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<bool>("opened"); // whether the store may open it at all
        QTest::addColumn<QString>("reason"); // how whyUnreadable() begins; empty: readable
        QTest::addColumn<QByteArray>("after"); // after writing Top and Left; null: as before

        const QByteArray usual = "[Properties]\nTop = 300\n\n[Notes]\nkept";
        const QString text = QString::fromUtf8(usual);
        const QByteArray utf16 =
            "\xff\xfe" + QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
        const QByteArray none;
        QTest::newRow("regular file")
            << "file" << usual << true << ""
            << QByteArray("[Properties]\nTop = \"1200,5\"\nLeft=300\n\n[Notes]\nkept");
        QTest::newRow("missing") << "missing" << none << true << ""
                                 << QByteArray("[Properties]\nTop=\"1200,5\"\nLeft=300\n");
        QTest::newRow("comments, [Notes], C:\\temp\\x")
            << "file"
            << QByteArray(
                   "; mine\n[Properties]\n# cable\nLeft=450\nTop=1\n\n[Notes]\nPath=C:\\temp\\x\n")
            << true << ""
            << QByteArray("; mine\n[Properties]\n# "
                          "cable\nLeft=300\nTop=\"1200,5\"\n\n[Notes]\nPath=C:\\temp\\x\n");
        QTest::newRow("FIFO") << "fifo" << usual << false << "it is a FIFO" << none;
        QTest::newRow("link to a FIFO")
            << "link to fifo" << usual << false << "it links to @fifo, which is a FIFO" << none;
        QTest::newRow("link to a character device")
            << "link to device" << usual << false
            << "it links to @null, which is a character device" << none;
        QTest::newRow("mode 000") << "mode 000" << usual << true
                                  << "it cannot be opened: Permission denied" << none;
        QTest::newRow("directory") << "directory" << usual << false << "it is a directory" << none;
        QTest::newRow("2 MiB") << "file" << usual + "\n;" + QByteArray(2 << 20, 'x') << false
                               << "it is larger than 1 MiB" << none;
        QTest::newRow("unmatched quote")
            << "file" << QByteArray("[Ports]\nCom2=\"/dev/foo\nCom1=/dev/x\n") << true
            << "line 2 has a quote that is not closed" << none;
        QTest::newRow("UTF-16 with BOM") << "file" << utf16 << true << "it is UTF-16" << none;
        QTest::newRow("junk before [Ports]")
            << "file" << QByteArray("PK\x03\x04 =\"\\q;\n<:'{}\n[Ports]\nCom1=/dev/x\n") << true
            << "line 1 " << none;
        QTest::newRow("disk full") << "disk full" << usual << true << "" << none;
    }
    void settingsFileKinds()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, contents);
        QFETCH(bool, opened);
        QFETCH(QString, reason);
        QFETCH(QByteArray, after);

        const QString file = sandbox->settingsFile();
        const QString folder = QFileInfo(file).path();
        const QString other =
            QFileInfo(sandbox->path(QStringLiteral("modem"))).canonicalFilePath() + u'/';
        reason.replace(u'@', other);
        QVERIFY(QFile::remove(file));
        bool mounted = false;
        const auto unmount = qScopeGuard([&] {
            if (mounted)
                ::umount2(QFile::encodeName(folder), MNT_DETACH);
        });
        if (kind == "disk full") {
            if (::geteuid() != 0)
                QSKIP("mounting a small file system needs root");
            // Private to this process: nobody else sees the mount.
            static const bool privateMounts = ::unshare(CLONE_NEWNS) == 0
                && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
            QVERIFY(privateMounts);
            QVERIFY(mounted =
                        ::mount("tmpfs", QFile::encodeName(folder), "tmpfs", 0, "size=64k") == 0);
            put(QStringLiteral("config/Twinline/filler"), QByteArray(64 << 10, 'x'));
        }
        if (kind == "file" || kind == "mode 000" || kind == "disk full") {
            QFile out(file);
            QVERIFY(out.open(QIODevice::WriteOnly) && out.write(contents) == contents.size());
        }
        if (kind == "mode 000" && ::geteuid() == 0)
            QSKIP("root opens a file whatever its mode");
        if (kind == "mode 000")
            QCOMPARE(::chmod(QFile::encodeName(file), 0), 0);
        if (kind == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(file), 0600), 0);
        if (kind == "link to fifo")
            QVERIFY(::mkfifo(QFile::encodeName(other + "fifo"), 0600) == 0
                    && QFile::link(other + "fifo", file));
        if (kind == "link to device"
            && ::mknod(QFile::encodeName(other + "null"), S_IFCHR | 0666, makedev(1, 3)) != 0)
            QSKIP("making a device node needs root");
        if (kind == "link to device")
            QVERIFY(QFile::link(other + "null", file));
        if (kind == "directory")
            QVERIFY(QDir().mkdir(file));
        const QByteArray before = state(file);

        const QString app = QStringLiteral("Twinline");
        const QString section = QStringLiteral("Properties");
        QString why;
        bool written = false;
        const bool touched = opens(kind == "missing" ? folder : file, [&] {
            why = SettingsStore::whyUnreadable(app);
            written = SettingsStore::write(app, section,
                                           {{QStringLiteral("Top"), QStringLiteral("1200,5")},
                                            {QStringLiteral("Left"), QStringLiteral("300")}});
        });
        QVERIFY2(opened || !touched, "opened a file it must not read");
        QCOMPARE(reason.isEmpty() ? why : why.left(reason.size()), reason);
        QCOMPARE(written, !after.isNull());
        if (after.isNull()) {
            QCOMPARE(state(file), before);
        } else {
            QCOMPARE(state(file), after);
            QCOMPARE(SettingsStore::read(app, section, QStringLiteral("Top"), {}),
                     QStringLiteral("1200,5"));
        }
    }

    void openOutcomes_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("expected"); // in the description; empty: the port opens

        const QString notSerial = QStringLiteral("is not a serial device");
        const QString inUse = QStringLiteral("is in use by another program");
        QTest::newRow("missing device") << "missing"
                                        << "does not exist";
        QTest::newRow("no hardware") << "no hardware"
                                     << "no serial hardware";
        QTest::newRow("/dev/null") << "/dev/null" << notSerial;
        QTest::newRow("FIFO") << "fifo" << notSerial;
        QTest::newRow("directory") << "directory" << notSerial;
        QTest::newRow("regular file") << "file" << notSerial;
        QTest::newRow("held with flock") << "flock" << inUse;
        QTest::newRow("UUCP lock of a running process") << "lock 1" << inUse + " (";
        QTest::newRow("stale UUCP lock") << "lock 4194304"
                                         << ""; // no pid reaches PID_MAX_LIMIT
        QTest::newRow("second MSComm") << "second" << inUse;
    }
    void openOutcomes()
    {
        QFETCH(QString, kind);
        QFETCH(QString, expected);

        FakePty &pty = sandbox->pty;
        const bool own = kind == "fifo" || kind == "directory" || kind == "file";
        const QString device = own || kind == "missing" ? sandbox->path(kind)
            : kind == "/dev/null"                       ? kind
                                                        : pty.path();
        const QString lock = QStringLiteral("/run/lock/LCK..pts_") + pty.path().section(u'/', -1);
        const auto removeLock = qScopeGuard([&] { QFile::remove(lock); });
        int holder = -1;
        const auto release = qScopeGuard([&] { ::close(holder); });
        if (kind == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(device), 0600), 0);
        if (kind == "directory")
            QVERIFY(QDir().mkdir(device));
        if (kind == "file")
            put(kind, "x");
        pty.setNoHardware(kind == "no hardware");
        if (kind == "flock") { // as picocom holds a port, its lines low: an open would raise them
            holder = ::open(QFile::encodeName(device), O_RDWR | O_NOCTTY | O_CLOEXEC);
            const int both = TIOCM_RTS | TIOCM_DTR;
            QVERIFY(::flock(holder, LOCK_EX) == 0 && ::ioctl(holder, TIOCMBIC, &both) == 0);
        }
        if (kind.startsWith(QLatin1String("lock"))) {
            if (!QFileInfo(QStringLiteral("/run/lock")).isWritable())
                QSKIP("/run/lock is not writable");
            QFile file(lock);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::NewOnly));
            file.write(QString::asprintf("%10d\n", kind.mid(5).toInt()).toLatin1()); // as minicom
        }
        sandbox->mapPort(4, device);
        std::optional<MSComm> first;
        if (kind == "second") {
            first.emplace().setCommPort(4);
            first->setPortOpen(true);
        }
        const qsizetype changes = pty.changes().size();

        MSComm comm;
        comm.setCommPort(4);
        QString error;
        const bool touched = opens(device, [&] {
            try {
                comm.setPortOpen(true);
            } catch (const ComError &e) {
                error = e.description();
            }
        });
        QCOMPARE(comm.portOpen(), expected.isEmpty());
        if (expected.isEmpty()) { // the stale lock was cleared
            comm.setPortOpen(false);
            QVERIFY(!QFile::exists(lock));
            return;
        }
        QVERIFY2(error.startsWith("Com4: ") && error.contains(device) && error.contains(expected),
                 qPrintable(error));
        QCOMPARE(pty.changes().size(), changes);
        QVERIFY2(!own || !touched, "opened what is no serial device");
    }

    void lines_data()
    {
        QTest::addColumn<bool>("rts");
        QTest::addColumn<bool>("dtr");

        QTest::newRow("RTS recorded on") << true << false;
        QTest::newRow("DTR recorded on") << false << true;
    }
    void lines()
    {
        QFETCH(bool, rts);
        QFETCH(bool, dtr);

        FakePty &pty = sandbox->pty;
        { // another program left the port without hang-up on close
            const int fd = ::open(QFile::encodeName(pty.path()), O_RDWR | O_NOCTTY | O_CLOEXEC);
            termios attributes = pty.attributes();
            attributes.c_cflag &= ~tcflag_t(HUPCL);
            QVERIFY(::tcsetattr(fd, TCSANOW, &attributes) == 0 && ::close(fd) == 0);
        }
        auto comm = std::make_unique<MSComm>();
        QVERIFY_THROWS_EXCEPTION(ComError, comm->setCommPort(0));
        comm->setRTSEnable(rts); // only recorded while closed
        comm->setDTREnable(dtr);
        comm->setPortOpen(true);
        QCOMPARE(pty.rts(), rts);
        QCOMPARE(pty.dtr(), dtr);
        QVERIFY_THROWS_EXCEPTION(ComError, comm->setCommPort(2));
        comm->setRTSEnable(!rts);
        QVERIFY(pty.rts() == !rts && pty.dtr() == dtr);
        comm->setDTREnable(!dtr);
        QVERIFY(pty.rts() == !rts && pty.dtr() == !dtr);
        comm->setPortOpen(false);
        QVERIFY(!pty.rts() && !pty.dtr());

        // Reopened, or opened by the program started anew: no line rises, not for a moment.
        const qsizetype closed = pty.changes().size();
        comm->setDTREnable(false);
        comm->setRTSEnable(false);
        comm->setPortOpen(true);
        comm = std::make_unique<MSComm>();
        comm->setPortOpen(true);
        QCOMPARE(comm->commPort(), qint16(1));
        const QList<FakePty::Change> changes = pty.changes();
        for (qsizetype i = closed; i < changes.size(); ++i)
            QVERIFY2(!changes[i].rts && !changes[i].dtr, "a line rose on a reopen");
        // Held at speed 0, dropping the lines on the last close, blind to carrier, raw.
        const termios held = pty.attributes();
        QCOMPARE(::cfgetospeed(&held), speed_t(B0));
        QCOMPARE(held.c_cflag & (HUPCL | CLOCAL | CRTSCTS), tcflag_t(HUPCL | CLOCAL));
        QCOMPARE(held.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0));

        // Unplugged: noticed through the event loop, once.
        QSignalSpy lost(comm.get(), &MSComm::deviceLost);
        pty.hangUp();
        QTRY_COMPARE(lost.count(), 1);
        QCoreApplication::processEvents();
        QCOMPARE(lost.count(), 1);
        QCOMPARE(lost.first().first().toString(),
                 "Com1: the adapter " + pty.path() + " was disconnected");
        QVERIFY(!comm->portOpen());
    }

    void numbering_data()
    {
        QTest::addColumn<int>("adapters");
        QTest::addColumn<QList<int>>("uarts");
        QTest::addColumn<QStringList>("entries"); // "<port>=<value>" before
        QTest::addColumn<QStringList>("expected"); // all of them after

        QTest::newRow("first adapter, no UART")
            << 1 << QList<int>{} << QStringList{} << QStringList{"1=@0"};
        QTest::newRow("a real ttyS0") << 1 << QList<int>{0} << QStringList{} << QStringList{"2=@0"};
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
    void numbering()
    {
        QFETCH(int, adapters);
        QFETCH(QList<int>, uarts);
        QFETCH(QStringList, entries);
        QFETCH(QStringList, expected);

        machine(adapters, uarts);
        for (const QString &entry : entries)
            sandbox->mapPort(entry.section(u'=', 0, 0).toInt(), expand(entry.section(u'=', 1)));
        sandbox->numbering().numberNewAdapters();
        sandbox->numbering().numberNewAdapters(); // a second look changes nothing
        QStringList actual;
        for (int port = 1; port <= PortNumbering::portCount; ++port) {
            const QString value =
                sandbox->read(QStringLiteral("Ports"), QStringLiteral("Com%1").arg(port));
            if (!value.isEmpty())
                actual << QStringLiteral("%1=%2").arg(port).arg(value);
        }
        for (QString &entry : expected)
            entry = entry.section(u'=', 0, 0) + u'=' + expand(entry.section(u'=', 1));
        QCOMPARE(actual, expected);
    }

    void tooltips_data()
    {
        QTest::addColumn<QString>("entry"); // Com<port>'s value, if any
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("expected"); // "<dev>" is the fake machine's dev/

        QTest::newRow("adapter") << "@0" << 3
                                 << "Com3: FTDI FT232R USB UART, serial A12345: <dev>/ttyUSB0";
        QTest::newRow("no UART") << "" << 2 << "Com2: <dev>/ttyS1 (no UART behind this port)";
        QTest::newRow("UART") << "" << 1 << "Com1: <dev>/ttyS0";
        QTest::newRow("unplugged adapter")
            << "@4" << 4 << "Com4: usb-Adapter_04-if00-port0 (not plugged in)";
        QTest::newRow("missing device")
            << "/nonexistent/tty" << 9 << "Com9: /nonexistent/tty (not present)";
    }
    void tooltips()
    {
        QFETCH(QString, entry);
        QFETCH(int, port);
        QFETCH(QString, expected);

        machine(1, {0});
        if (!entry.isEmpty())
            sandbox->mapPort(port, expand(entry));
        QCOMPARE(
            sandbox->numbering().describe(port),
            expected.replace(QLatin1String("<dev>"), sandbox->path(QStringLiteral("machine/dev"))));
    }
};

QTEST_GUILESS_MAIN(tst_units)
#include "tst_units.moc"
