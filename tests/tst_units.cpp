// The parts that stand alone: number texts, the settings file, the port on ptys, adapter numbers.

#include "sandbox.h"
#include "serial/comerror.h"
#include "serial/mscomm.h"
#include "settings/conversions.h"
#include "settings/settingsstore.h"

#include <QDir>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <functional>

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

// A table row: the columns of each table, in order.
using Number = std::tuple<QString, char, QString, double>; // text, kind, locale, value
using FileKind = std::tuple<QString, QByteArray, char, QByteArray>; // kind, contents, use, after
using Numbering = std::tuple<QString, int, bool, QString>; // before, adapters, uart, after

// The port: a row a line, "name | kind | what the description holds after "Com1: "" (empty: the
// port opens), @ standing for the device, %f for the lock file. A kind of three words or more
// makes a file, "<what> <path> <kind> <bytes>" (see make(); "bin": %p in binary); the device is
// that file when what is "dev". In the path and the bytes %p is the PID of a sleep, which holds
// the pty open for "held", %n the pty's number, \n a line break. Lock folders are run-lock/ and
// var-lock/, which "ro" makes read-only.
constexpr char portRows[] = R"(missing device | dev missing | the device @ does not exist
no hardware | no hardware | @ does not answer (input/output error): no serial hardware
/dev/null | /dev/null | @ is not a serial device
directory | /tmp | @ is not a serial device
FIFO | dev fifo fifo | @ is not a serial device
regular file | dev file file | @ is not a serial device
system console | console machine/consoles file pts/%n -W- (EC p a) 136:%n | @ is the system console; Twinline leaves it alone
active console, by name | console machine/console-active file tty0 pts/%n | @ is the system console
held with flock | flock | @ is in use by tst_units (process
held with flock, locks read ahead | flock ahead | @ is in use by tst_units (process
held open, no lock: found by its descriptor | held | @ is in use by sleep (process %p)
minicom lock with a name, 2nd folder | lock var-lock/LCK..pts_%n file   %p minicom tester | @ is in use by sleep (process %p)
binary lock | lock run-lock/LCK..pts_%n bin | @ is in use by sleep (process %p)
a second Twinline | second | @ is in use by tst_units (process
stale UUCP lock (above PID_MAX_LIMIT) | lock run-lock/LCK..pts_%n file 4194304 | 
our own lock, its PID reused | lock run-lock/LCK..pts_%n file %p\ntwinline\nhost\n | 
stale lock that cannot be removed | ro var-lock/LCK..pts_%n file 4194304 | a stale lock file %f from process 4194304, which no longer runs, blocks the port; remove it: sudo rm %f
lock file a FIFO | lock run-lock/LCK..pts_%n fifo | a lock file %f that is not a regular file blocks the port
lock file a link to /dev/zero | lock run-lock/LCK..pts_%n link | a lock file %f that is not a regular file blocks the port
lock file a directory | lock run-lock/LCK..pts_%n dir | a lock file %f that Twinline cannot understand blocks the port
lock file of garbage | lock run-lock/LCK..pts_%n file pid? | a lock file %f that Twinline cannot understand
empty lock file | lock run-lock/LCK..pts_%n file | a lock file %f that Twinline cannot understand
lock file dated in the future | lock run-lock/LCK..pts_%n future 4194304 | a lock file %f that Twinline cannot understand
RTS recorded on | rts | 
DTR recorded on | dtr | )";

class tst_units : public QObject
{
    Q_OBJECT

    std::optional<Sandbox> sandbox;

    // Mounts of this process's own, which a chroot (its / is no mount point) or a container
    // without CAP_SYS_ADMIN cannot have.
    static bool ownMounts()
    {
        return !::unshare(CLONE_NEWNS) && !::mount({}, "/", {}, MS_REC | MS_PRIVATE, {});
    }

    // Runs act: whether anything opened path meanwhile (true too when path cannot be watched),
    // and the description of the error act raised, if any.
    static std::pair<bool, QString> opens(const QString &path, const std::function<void()> &act)
    {
        const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        const bool watched = ::inotify_add_watch(watch, QFile::encodeName(path), IN_OPEN) >= 0;
        QString error;
        try {
            act();
        } catch (const ComError &e) {
            error = e.description();
        }
        alignas(inotify_event) char events[4096];
        const bool opened = ::read(watch, events, sizeof events) > 0;
        return {::close(watch) == 0 && (opened || !watched), error};
    }
    static void row(const char *name, const FileKind &kind) { QTest::newRow(name) << kind; }
    // The bytes of a regular file below the sandbox; nothing else is opened.
    QByteArray bytes(const QString &relative) const
    {
        QFile file(sandbox->path(relative));
        return QFileInfo(file).isFile() && file.open(QFile::ReadOnly) ? file.readAll() : "-"_qba;
    }
    // Below the sandbox: a FIFO, a device node like /dev/null, a directory, a link to /dev/zero,
    // or a file of these bytes, dated a day ahead for "future".
    void make(const QString &kind, const QString &relative, const QByteArray &bytes = {}) const
    {
        const QString path = sandbox->path(relative);
        const QByteArray node = QFile::encodeName(path);
        QFile file(path);
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QVERIFY(kind == "fifo"       ? ::mkfifo(node, 0600) == 0
                    : kind == "null" ? ::mknod(node, S_IFCHR | 0666, 259 /* 1:3 */) == 0
                    : kind == "dir"  ? QDir().mkdir(path)
                    : kind == "link"
                    ? QFile::link("/dev/zero", path)
                    : file.open(QFile::WriteOnly) && file.write(bytes) >= 0 && file.flush()
                        && (kind != "future"
                            || file.setFileTime(QDateTime::currentDateTime().addDays(1),
                                                QFile::FileModificationTime)));
    }
    // In the fake machine: "@dev/" is its dev/, "@NN" adapter NN's link in by-id/.
    QString expand(QString text) const
    {
        return text.replace("@dev/", sandbox->path("machine/dev/"))
            .replace(u'@', sandbox->path("machine/by-id/usb-Adapter_"));
    }
    // Adapters, the second one's link name ending in a blank, links to /dev/null and to a
    // regular file, and the built-in port ttyS0 with a UART if uart. Every adapter's node is a
    // FIFO of the fake machine: numbering only looks at names and sysfs, it never opens one.
    void machine(int adapters, bool uart)
    {
        for (int n = 0; n < adapters; ++n) {
            make("fifo", QStringLiteral("machine/dev/ttyUSB%1").arg(n));
            make("dir", QStringLiteral("machine/sys/class/tty/ttyUSB%1").arg(n));
            QFile::link(expand(QStringLiteral("@dev/ttyUSB%1").arg(n)),
                        expand(QStringLiteral("@%1").arg(n, 2, 10, QLatin1Char('0')))
                            + (n == 1 ? " " : ""));
        }
        QFile::link("/dev/null", expand("@null"));
        make({}, "machine/dev/ttyS0");
        QFile::link(expand("@dev/ttyS0"), expand("@file")); // a regular file, named like a tty
        make({}, "machine/sys/class/tty/ttyS0/type", uart ? "4\n" : "0\n");
        sandbox->mapPort(1, QString()); // not the pty
    }

private slots:
    void init() { sandbox.emplace(); } // the last row's goes first

    void numbers_data()
    {
        QTest::addColumn<Number>("row"); // kind: read as i(nteger) or s(ingle), or w(ritten)

        const double error = qQNaN();
        QTest::newRow("half down to even") << Number{"2.5", 'i', "C", 2.0};
        QTest::newRow("half up to even") << Number{"3.5", 'i', "en_US", 4.0};
        QTest::newRow("decimal comma, grouping") << Number{"1.234,5", 's', "de_DE", 1234.5};
        QTest::newRow("native digits of earlier versions") << Number{"١٥٠٠", 's', "en_US", 1500.0};
        QTest::newRow("text") << Number{"com3", 'i', "C", error};
        QTest::newRow("NaN") << Number{"nan", 's', "C", error};
        QTest::newRow("out of range") << Number{"32767.5", 'i', "C", error};
        QTest::newRow("written in English") << Number{"123456", 'w', "en_US", 123456.0};
        QTest::newRow("written in German") << Number{"-1234,5", 'w', "de_DE", -1234.5};
        QTest::newRow("written in Arabic (Egypt)") << Number{"1500٫5", 'w', "ar_EG", 1500.5};
        QTest::newRow("written in Persian (Iran)") << Number{"-1234٫5", 'w', "fa_IR", -1234.5};
    }
    void numbers()
    {
        QFETCH(Number, row);
        const auto &[text, kind, locale, value] = row;

        if (kind == 'w') // digits 0-9 and the writer's separator, read back in every locale
            QCOMPARE(Conversions::fromSingle(float(value), QLocale(locale)), text);
        const QStringList all{"ar_EG", "fa_IR", "de_DE", "en_US"};
        for (const QString &reader : kind == 'w' ? all : QStringList{locale}) {
            QVariant read; // none when rejected
            try {
                read = kind == 'i' ? double(Conversions::toInteger16(text, QLocale(reader)))
                                   : double(Conversions::toSingle(text, QLocale(reader)));
            } catch (const ConversionError &) { }
            QCOMPARE(read, qIsNaN(value) ? QVariant() : QVariant(value));
        }
    }

    void settingsFileKinds_data()
    {
        QTest::addColumn<FileKind>("row"); // use: r(eadable), u(nreadable), n(ot even opened)

        const QByteArray usual = "; mine\n[Properties]\nTop = 3\n\n[Notes]\nPath=C:\\temp\\x\n";
        const QByteArray none, top = "[Properties]\nTop=";
        row("regular file, comments, [Notes], C:\\temp\\x, leftovers, no $TMPDIR",
            {"leftovers env TMPDIR", usual, 'r',
             QByteArray(usual).replace("3", "\"1200,5\"\nLeft=300")});
        row("fsync() fails", {"env PTYMODEM_FSYNC_FAILS", usual, 'r', none});
        row("mode 444, for root too", {"mode 444", usual, 'r', none});
        row("comment after a value, no line end at the end",
            {"file", top + "1 ;c", 'r', top + "\"1200,5\" ;c\nLeft=300\n"});
        const QByteArray same = top + "\"1200,5\" ;c\nLeft=\"300\"\n"; // nothing to change
        row("same values, other quoting", {"file", same, 'r', same});
        row("missing", {"missing", none, 'r', top + "\"1200,5\"\nLeft=300\n"});
        row("FIFO", {"fifo", usual, 'n', none});
        row("link to a FIFO", {"link fifo", usual, 'n', none});
        row("directory", {"dir", usual, 'n', none});
        row("mode 000", {"mode 000", usual, 'u', none});
        row("link to a character device", {"link null", usual, 'n', none});
        row("2 MiB", {"file", usual + ';' + QByteArray(2 << 20, 'x'), 'n', none});
        row("unmatched quote", {"file", "[Ports]\nCom2=\"/dev/foo\nCom1=/dev/x\n", 'u', none});
        const QString text = u'\ufeff' + QString::fromUtf8(usual);
        const QByteArray utf16(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
        row("UTF-16 with BOM", {"file", utf16, 'u', none});
        row("junk before [Ports]", {"file", "PK\x03\x04 =\"\\q;\n<:'{}\n[Ports]\n", 'u', none});
        row("disk full", {"disk full", usual, 'r', none});
    }
    void settingsFileKinds()
    {
        QFETCH(FileKind, row);
        const auto &[kind, contents, use, after] = row;

        const QString file = "home/.config/Twinline/Twinline.conf",
                      folder = sandbox->path("home/.config/Twinline");
        const QByteArray node = QFile::encodeName(sandbox->path(file));
        const QString made = kind.startsWith("link ") ? "elsewhere/" + kind.mid(5) : file;
        QVERIFY(QFile::remove(sandbox->path(file)));
        if ((kind == "disk full" || kind == "link null") && ::geteuid() != 0)
            QSKIP("a mount or a device node needs root");
        if (kind == "mode 000" && ::geteuid() == 0)
            QSKIP("root reads a file of mode 000");
        if (kind == "disk full" && !ownMounts()) // a one-page file system of this process's own
            QSKIP("no mount namespace of its own here (a chroot, a container)");
        QVERIFY(kind != "disk full"
                || ::mount("tmpfs", QFile::encodeName(folder), "tmpfs", 0, "size=4k") == 0);
        const auto unmount = qScopeGuard([&] { ::umount2(QFile::encodeName(folder), MNT_DETACH); });
        if (kind != "missing")
            make(kind.section(u' ', -1), made, contents);
        QVERIFY(made == file || QFile::link(sandbox->path(made), sandbox->path(file)));
        QVERIFY(!kind.startsWith("mode") || !::chmod(node, kind.mid(5).toUInt(nullptr, 8)));
        // A crash's temporary file, someone else's, one a write has under way (not from 1970).
        const QString crash = folder + "/.Twinline.conf.5b5ee18d", foreign = crash + '~',
                      young = folder + "/.Twinline.conf.0000abcd";
        const timeval epoch[2] = {};
        for (const QString &left :
             kind.startsWith("leftovers") ? QStringList{crash, foreign, young} : QStringList())
            QVERIFY(QFile(left).open(QFile::WriteOnly)
                    && !::utimes(QFile::encodeName(left), left == young ? nullptr : epoch));
        const QByteArray name = kind.contains("env ") ? kind.section(u' ', -1).toLatin1() : "NONE",
                         saved = qgetenv(name), before = bytes(file);
        qputenv(name, "/nonexistent"); // an environment variable, emptied after the row
        const auto restore = qScopeGuard([&] { qputenv(name, saved); });
        struct stat was = {}, now = {};
        ::stat(node, &was);

        QString why;
        bool written = false;
        const bool touched =
            opens(kind == "missing" ? folder : sandbox->path(file), [&] {
                SettingsStore settings("Twinline");
                why = settings.whyUnreadable();
                written = settings.write("Properties", {{"Top", "1200,5"}, {"Left", "300"}});
            }).first;
        QVERIFY2(use != 'n' || !touched, "opened a file it must not read");
        QVERIFY2(why.isEmpty() == (use == 'r'), qPrintable(why));
        QCOMPARE(written, !after.isNull());
        QCOMPARE(bytes(file), after.isNull() ? before : after);
        ::stat(node, &now); // replaced only when changed
        QCOMPARE(now.st_ino != was.st_ino || now.st_mtim.tv_nsec != was.st_mtim.tv_nsec,
                 bytes(file) != before);
        QVERIFY(!kind.startsWith("leftovers")
                || (!QFile::exists(crash) && QFile::exists(foreign) && QFile::exists(young)));
    }

    void port_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("expected"); // in the description; empty: the port opens
        for (const QString &row : QString(portRows).split(u'\n'))
            QTest::newRow(qPrintable(row.section(" | ", 0, 0)))
                << row.section(" | ", 1, 1) << row.section(" | ", 2);
    }
    // How an open ends, and once open, what the lines do.
    void port()
    {
        QFETCH(QString, kind);
        QFETCH(QString, expected);

        // Another program left the port with its lines low, without hang-up on close and with
        // hardware flow control, or holds it with flock() as picocom does: an open would raise
        // the lines.
        FakePty &pty = sandbox->pty;
        PortGuard guard = sandbox->guard();
        if (kind == "flock") { // start-up's read of the locks, left unused, must not serve now
            guard.readLocksAhead();
            QTest::qSleep(200); // for it to be read before the flock() below
            guard.dropLocksAhead();
        }
        const int fd = ::open(QFile::encodeName(pty.path()), O_RDWR | O_NOCTTY);
        const auto release = qScopeGuard([&] { ::close(kind.startsWith("flock") ? fd : -1); });
        termios attributes = pty.attributes();
        attributes.c_cflag = (attributes.c_cflag & ~tcflag_t(HUPCL)) | CRTSCTS;
        const int both = TIOCM_RTS | TIOCM_DTR;
        QVERIFY(::tcsetattr(fd, TCSANOW, &attributes) == 0 && !::ioctl(fd, TIOCMBIC, &both));
        QVERIFY(kind.startsWith("flock") ? ::flock(fd, LOCK_EX) == 0 : ::close(fd) == 0);
        const QStringList words = kind.split(u' '); // then a file to make: path, kind, bytes
        const bool own = words[0] == "dev" && words.size() > 2; // a file made as the device
        const QString device = words[0] == "dev" ? sandbox->path(words[1])
            : kind.startsWith(u'/')              ? kind
                                                 : pty.path();
        if (kind == "no hardware")
            pty.mark(".nohw");
        QProcess holder; // a sleep: its PID in a lock, or holding the pty open
        holder.setStandardInputFile(kind == "held" ? pty.path() : QProcess::nullDevice());
        holder.start("sleep", {"600"});
        QVERIFY(holder.waitForStarted());
        const auto stop = qScopeGuard([&] { holder.kill(), holder.waitForFinished(); });
        const auto pid = qint32(holder.processId());
        const auto fill = [&](QString text) {
            return text.replace("%p", QString::number(pid))
                .replace("\\n", "\n")
                .replace("%n", pty.path().section(u'/', -1));
        };
        if (words.size() > 2)
            make(words[2], fill(words[1]),
                 words[2] == "bin" ? QByteArray((const char *)&pid, 4)
                                   : fill(kind.section(u' ', 3)).toLatin1());
        const QByteArray ro = QFile::encodeName(sandbox->path("var-lock"));
        if (words[0] == "ro" && !::geteuid() && !ownMounts()) // root writes anywhere but there
            QSKIP("no mount namespace of its own here (a chroot, a container)");
        if (words[0] == "ro")
            QVERIFY(::geteuid() ? ::chmod(ro, 0555) == 0
                                : !::mount(ro, ro, {}, MS_BIND, {})
                            && !::mount({}, ro, {}, MS_BIND | MS_REMOUNT | MS_RDONLY, {}));
        const auto writable = qScopeGuard([&] { ::umount2(ro, MNT_DETACH), ::chmod(ro, 0755); });
        expected =
            fill(expected).replace(u'@', device).replace("%f", sandbox->path(fill(words.value(1))));
        sandbox->mapPort(1, device);
        MSComm first(guard); // another Twinline, when it holds the port
        if (kind == "second")
            first.setPortOpen(true);
        if (kind == "flock ahead")
            guard.readLocksAhead();
        auto comm = std::make_unique<MSComm>(guard);
        const bool rts = kind == "rts", dtr = kind == "dtr";
        comm->setRTSEnable(rts); // only recorded while closed
        comm->setDTREnable(dtr);
        const qsizetype changes = pty.log().size();
        const auto [touched, error] = opens(device, [&] { comm->setPortOpen(true); });
        QCOMPARE(comm->portOpen(), expected.isEmpty()); // a stale lock is cleared
        QVERIFY2(!own || !touched, "opened what is no serial device");
        QVERIFY2(comm->portOpen() || error.startsWith("Com1: " + expected), qPrintable(error));
        QVERIFY(comm->portOpen() || pty.log().size() == changes);
        if (!comm->portOpen())
            return;

        QVERIFY(pty.rts() == rts && pty.dtr() == dtr); // the windows' rows toggle them
        comm->setPortOpen(false);
        QVERIFY(!pty.rts() && !pty.dtr());
        // Reopened, or opened by the program started anew: no line rises, not for a moment.
        const qsizetype closed = pty.log().size();
        comm->setRTSEnable(false);
        comm->setDTREnable(false);
        comm->setPortOpen(true);
        comm = std::make_unique<MSComm>(guard);
        comm->setPortOpen(true);
        QVERIFY2(!pty.log().mid(closed).contains(" 1"), "a line rose on a reopen");
        // Held at speed 0, dropping the lines on the last close, blind to carrier, raw.
        const termios held = pty.attributes();
        QCOMPARE(::cfgetospeed(&held), speed_t(B0));
        QCOMPARE(held.c_cflag & (HUPCL | CLOCAL | CRTSCTS), tcflag_t(HUPCL | CLOCAL));
        QCOMPARE(held.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0));
    }

    void numbering_data()
    {
        QTest::addColumn<Numbering>("row"); // entries "<port>=<value>" before and after

        QStringList all;
        for (int n = 0; n < 16; ++n)
            all << QStringLiteral("%1=@%2").arg(n + 1).arg(n, 2, 10, QLatin1Char('0'));
        QTest::newRow("first adapter, no UART") << Numbering{"", 1, false, "1=@00"};
        QTest::newRow("a real ttyS0") << Numbering{"", 1, true, "2=@00"};
        QTest::newRow("hand entry kept, a link name ending in a blank")
            << Numbering{"1=/dev/ttyAMA0", 2, false, "1=/dev/ttyAMA0 2=@00 3=@01"};
        QTest::newRow("named by its device")
            << Numbering{"3=@dev/ttyUSB0", 1, false, "3=@dev/ttyUSB0"};
        QTest::newRow("unplugged keeps its number") << Numbering{"1=@07", 1, false, "1=@07 2=@00"};
        QTest::newRow("17 adapters") << Numbering{"", 17, false, all.join(u' ')};
    }
    void numbering()
    {
        QFETCH(Numbering, row);
        const auto &[before, adapters, uart, after] = row;

        machine(adapters, uart);
        for (const QString &entry : before.split(u' ', Qt::SkipEmptyParts))
            sandbox->mapPort(entry.section(u'=', 0, 0).toInt(), expand(entry.section(u'=', 1)));
        for (int start = 0; start < 2; ++start) // a second start changes nothing
            sandbox->numbering().numberNewAdapters(*std::make_unique<SettingsStore>("Twinline"));
        QStringList entries;
        for (int port = 1; port <= PortNumbering::portCount + 1; ++port) { // and no 17th
            const QString value = sandbox->read(QStringLiteral("Ports/Com%1").arg(port));
            entries << (value.isEmpty() ? QString() : QStringLiteral("%1=%2").arg(port).arg(value));
        }
        QCOMPARE(entries.join(u' ').simplified(), expand(after));
    }
};

QTEST_GUILESS_MAIN(tst_units)
#include "tst_units.moc"
