// The windows on the offscreen platform, driven as a user drives them. A table row: what is
// stored before start-up, the steps (see act()), the outcome (see summary()), and what the
// dialogs and message boxes said.
#include "sandbox.h"

#include "app/module1.h"
#include "app/scriptbus.h"
#include "app/scriptcommand.h"
#include "app/shutdowntriggers.h"
#include "app/signalwatcher.h"
#include "serial/mscomm.h"
#include "windows/frmmain.h"
#include "windows/lamp.h"
#include "windows/textbox.h"

#include <QDBusPendingCall>
#include <QTest>
#include <QtWidgets>

#include <csignal>
#include <ctime>

#include <sys/stat.h>

// name=x,y,w,h: where a control lies in its parent, or a window's outer frame on the screen, *
// for any number; "client" is the main window's client area below its menu bar, on the screen.
constexpr char startUpRows[] = R"(start-up
first run |  | frmMain=13,13,217,140 Text1=8,0,153,18 btnCH1=8,24,105,25 btnCH1_tilt=112,24,49,25 monCH1=176,24,25,25 btnCH2=8,56,105,25 btnCH2_tilt=112,56,49,25 monCH2=176,56,25,25 | Com 1 on white; @pty; off off
a driver that keeps its speed | mark:.keep | tip:keeps | Com 1 on white; @pty; off off
port cannot be opened | Ports/Com1=@gone dark | frmMain=13,13,217,140 Text1=legible tip:exist cli:--status cli:--set,1,on async:--pulse,2,5 | Com port open Error! on red; closed; off off; Com port open Error!: Com1: @gone (not present); Com1: the device @gone does not exist. Connect the adapter, or map Com1 to another device in the "Ports" section of the settings.; exit 1: Com port open Error!: Com1: @gone (not present); Com1: the device @gone does not exist. Connect the adapter, or map Com1 to another device in the "Ports" section of the settings.; exit 1: Com port open Error!: Com1: @gone (not present); Com1: the device @gone does not exist. Connect the adapter, or map Com1 to another device in the "Ports" section of the settings.
Top not a number | Properties/Top=abc | client=16,54,211,96 unopened tip:Top tip:/home/.config/Twinline/Twinline.conf tip:"abc" | Com port open Error! on red; closed; off off; Top=abc
Left not a number | Properties/Top=1500 Properties/Left=12a | client=16,*,211,96 frmMain=*,100,* unopened close | Com port open Error! on red; closed; off off; Top=1500; Left=210; hidden
fractional position, closed unmoved | Properties/Top=1234.5 Properties/Left=777.7 | frmMain=52,82,217,140 press:btnCH2_tilt close | Com 1 on white; closed; off off; Top=1234.5; Left=777.7; hidden
settings file unreadable, then Set | fifo | client=16,54,211,96 tip:Twinline.conf Option:Com1+btnOK unopened | Com 1 on red; closed; off off; Comm Port|Com1 of Com1..Com16; The settings file ~/.config/Twinline/Twinline.conf cannot be read (it is a FIFO). Twinline will not open any port or change that file until it can be read.
a port without an entry | Properties/CommPort=2 | tip:machine/dev/ttyS1 | Com port open Error! on red; closed; off off; CommPort=2
first run, no ~/.config, an adapter plugged in | adapter fresh | stored:Ports/Com1=@usb Option:Com1+btnOK move close private:home/.config private:home/.config/Twinline private:home/.config/Twinline/Twinline.conf | Com 1 on white; closed; off off; CommPort=1; Top=750; Left=1500; hidden; Comm Port|Com1 of Com1..Com16
a frame too thick for the controls |  | bigmenu nudge frmMain=14,14,217,* client=*,*,*,96 Text1=8,0,153,18 monCH2=176,56,25,25 | Com 1 on white; @pty; off off
off every screen | Properties/Top=-15000 Properties/Left=-30000 | close | Com 1 on white; closed; off off; Top=0; Left=0; hidden
only a sliver on screen | Properties/Top=1500 Properties/Left=60000 | close | Com 1 on white; closed; off off; Top=1500; Left=8745; hidden
100 pixels of the title bar show | Properties/Left=10500 | frmMain=700,13,* close | Com 1 on white; closed; off off; Top=200; Left=10500; hidden)";

// =on,off: both channels' line, flag and lamp agree on on or off. cli:args runs the command line,
// async:args only sends its call; watch shows ChannelChanged.
constexpr char channelRows[] = R"(channels
On/Off by mouse, read aloud | dark | Text1=legible Text1=Port_status|Com1:_@pty|EditableText btnCH1_tilt=Tilt,_channel_1|Mouse_only:_channel_1_is_inverted_while_a_mouse_button_holds_this_down|Button click:btnCH1 =on,off btnCH1=On/Off,_channel_1|Channel_1_is_on|Button monCH1=Channel_1_lamp,_on|on|Indicator monCH2=Channel_2_lamp,_off|off|Indicator click:btnCH1 btnCH1=On/Off,_channel_1|Channel_1_is_off|Button | Com 1 on white; @pty; off off
On/Off by mouse, by script |  | click:btnCH1 =on,off click:btnCH1 watch cli:--set,1,on =on,off cli:--set,1,on cli:--set,2,off click:btnCH2 cli:--status cli:--pulse,1,0 | Com 1 on white; @pty; on on; CH 1 on; exit 0:; exit 0:; exit 0:; CH 2 on; exit 0: Com 1: CH 1 on, CH 2 on; exit 2: Usage: twinline --set CH on|off    switch channel CH (1 RTS, 2 DTR) on or off
On/Off by Space and Enter, not by them on Tilt |  | Space:btnCH2 =off,on Space:btnCH2 =off,off Return:btnCH1 =on,off Enter:btnCH1 Space:btnCH1_tilt Return:btnCH2_tilt Enter:btnCH1_tilt | Com 1 on white; @pty; off off
Tilt, right, from active; double clicks |  | click:btnCH2 Rpress:btnCH2_tilt =off,off Rrelease:btnCH2_tilt dclick:btnCH1_tilt =off,on Rdclick:btnCH2_tilt | Com 1 on white; @pty; off on
independent |  | click:btnCH1 click:btnCH2 =on,on click:btnCH2 =on,off press:btnCH1_tilt =off,off release:btnCH1_tilt Rpress:btnCH2_tilt =on,on Rrelease:btnCH2_tilt | Com 1 on white; @pty; on off
error state, port open, channels on before |  | click:btnCH1 click:btnCH2 Option:Com2+usb0+btnOK click:btnCH1 click:btnCH2 Space:btnCH2 press:btnCH1_tilt =off,off release:btnCH1_tilt | Com 0 on red; @pty; off off; Comm Port|Com1 of Com1..Com16; Invalid port number 0: the port number must be 1 or more.
Tilt hold ends: deactivated |  | press:btnCH1_tilt =on,off deactivate =off,off release:btnCH1_tilt | Com 1 on white; @pty; off off
Tilt hold ends: popup menu |  | press:btnCH1_tilt =on,off popup =off,off release:btnCH1_tilt | Com 1 on white; @pty; off off
Tilt hold ends: modal window |  | press:btnCH1_tilt =on,off modal =off,off release:btnCH1_tilt | Com 1 on white; @pty; off off
Tilt hold ends: hidden |  | press:btnCH1_tilt =on,off hide =off,off release:btnCH1_tilt | Com 1 on white; @pty; off off; hidden
Tilt hold ends: disabled |  | press:btnCH1_tilt =on,off disable:btnCH1_tilt =off,off release:btnCH1_tilt | Com 1 on white; @pty; off off
script: pulse, refused while pulsing or Tilt held |  | watch click:btnCH2 cli:--pulse,2,50 async:--pulse,1,900 =on,on cli:--set,1,off cli:--pulse,1,5 press:btnCH1_tilt =on,on release:btnCH1_tilt cli:--set,2,off press:btnCH2_tilt cli:--pulse,2,5 release:btnCH2_tilt =off,off | Com 1 on white; @pty; off off; CH 2 on; CH 2 off; CH 2 on; exit 0:; CH 1 on; exit 1: A pulse is running on CH 1.; exit 1: A pulse is running on CH 1.; CH 2 off; exit 0:; CH 2 on; exit 1: Tilt is held down on CH 2.; CH 2 off; CH 1 off)";

// Option:steps works the port dialog; name=x,y,w,h as in startUpRows.
constexpr char portDialogRows[] = R"(port dialog
Set, same port | Ports/Com2=@other | click:btnCH1 click:btnCH2 Option:Com1+btnOK | Com 1 on white; @pty; on on; CommPort=1; Comm Port|Com1 of Com1..Com16
Set, same port in the error state | Ports/Com1=@gone | map:Ports/Com1=@pty Option:Com1+btnOK | Com 1 on white; @pty; off off; CommPort=1; Comm Port|Com1 of Com1..Com16
Set, another port while open | Ports/Com2=@other | Option:Com2+btnOK click:btnCH1 click:btnCH2 =on,on Option:Com1+btnOK calm | Com 1 on white; @pty; off off; CommPort=1; Comm Port|Com1 of Com1..Com16; Comm Port|Com2 of Com1..Com16
Set, another port while open and pulsing | Ports/Com2=@other Properties/CommPort=2 | click:btnCH1 click:btnCH2 async:--pulse,2,5000 =on,off Option:Com1+btnOK | Com 1 on white; @pty; off off; CommPort=1; Com2 was closed by Set in the port dialog.; Comm Port|Com2 of Com1..Com16
Set, a port that does not exist | Ports/Com5=@gone | click:btnCH1 click:btnCH2 Option:Com5+btnOK | Com 5 on red; closed; off off; Comm Port|Com1 of Com1..Com16; Com5: the device @gone does not exist. Connect the adapter, or map Com5 to another device in the "Ports" section of the settings.
Cancel, close box, Esc | Ports/Com2=@other | click:btnCH1 click:btnCH2 Option:frmComm=17,47,193,39+cboPort=8,8,73,20+btnCancel=88,8,49,25+btnOK=144,8,41,25+Com2+btnCancel Option:Com2+close Option:Com2+Esc | Com 1 on white; @pty; on on; Comm Port|Com1 of Com1..Com16; Comm Port|Com1 of Com1..Com16; Comm Port|Com1 of Com1..Com16; still open)";

constexpr char aboutRows[] = R"(about box
OK, then Esc, then Enter | dark | About:lblTitle=legible+lblDescription=legible+frmAbout=17,47,296,138+picIcon=8,16,36,36+lblTitle=52,8,71,15+lblVersion=124,8,137,15+lblDescription=52,28,239,18+readme=52,52,241,17+cmdOK=92,80,92,23+copyright=8,112,277,17+cmdOK About:Esc About:Return | Com 1 on white; @pty; off off; Twinline Version Info.||Twinline|Ver. 0.0.3|Remote Commport Control Program|HELP File is [ Readme.txt ]|Copyright (C) 2026 The Twinline developers; Twinline Version Info.||Twinline|Ver. 0.0.3|Remote Commport Control Program|HELP File is [ Readme.txt ]|Copyright (C) 2026 The Twinline developers; Twinline Version Info.||Twinline|Ver. 0.0.3|Remote Commport Control Program|HELP File is [ Readme.txt ]|Copyright (C) 2026 The Twinline developers)";

// The adapter behind Com1 unplugged; then the port chosen again on another one.
constexpr char deviceLostRows[] = R"(adapter unplugged
while a script pulses |  | click:btnCH2 async:--pulse,1,5000 =on,on unplug settle click:btnCH2 | Com port open Error! on red; closed; off off; Com1: the adapter @pty was disconnected
while Tilt is held |  | click:btnCH2 press:btnCH1_tilt unplug settle release:btnCH1_tilt click:btnCH2 | Com port open Error! on red; closed; off off
a click at once |  | click:btnCH2 unplug click:btnCH1 =0/-1/red,0/-1/red settle click:btnCH2 | Com port open Error! on red; closed; off off
chosen again on a new adapter |  | click:btnCH2 unplug settle map:Ports/Com1=@other Option:btnOK | Com 1 on white; @other; off off; CommPort=1; Comm Port|Com1 of Com1..Com16)";

// With Tilt held down as the program is told to end.
constexpr char shutDownRows[] = R"(shut-down
close box, once |  | move Rpress:btnCH2_tilt =off,on close nudge close cli:--status | Com 1 on white; closed; off off; Top=750; Left=1500; hidden; exit 3: Twinline is not running; start it first
port never opened | Ports/Com1=@gone | move close | Com port open Error! on red; closed; off off; Top=750; Left=1500; hidden
SIGTERM |  | move press:btnCH2_tilt signal:15 | Com 1 on white; closed; off off; Top=750; Left=1500; hidden
SIGINT |  | move press:btnCH2_tilt signal:2 | Com 1 on white; closed; off off; Top=750; Left=1500; hidden
SIGHUP |  | move press:btnCH2_tilt signal:1 | Com 1 on white; closed; off off; Top=750; Left=1500; hidden
session save keeps running |  | move press:btnCH2_tilt session =off,on release:btnCH2_tilt | Com 1 on white; @pty; off off; Top=750; Left=1500
started with nohup: SIGHUP, SIGPIPE | ignore:1 | signal:1 signal:13 settle | Com 1 on white; @pty; off off
SIGTERM before the port opens | signal:15 |  | Com 1 on white; closed; off off; Top=200; Left=200; hidden)";

const QHash<quint32, QString> colours{{0xff, "red"}, {0xffffff, "white"}, {0xc0c0c0, "silver"}};

class tst_windows : public QObject
{
    Q_OBJECT

private slots:
    void init() // the last row's window goes first, then its machine and theme
    {
        window.reset();
        QApplication::setPalette(QPalette()); // the theme's
        sandbox.emplace();
        other.emplace();
        messages.clear();
        answers.clear();
        ::signal(SIGHUP, SIG_DFL);
    }

    void windows_data()
    {
        for (const char *column : {"settings", "steps", "after"})
            QTest::addColumn<QString>(column);
        for (const char *table :
             {startUpRows, channelRows, portDialogRows, aboutRows, deviceLostRows, shutDownRows})
            rows(table);
    }
    void windows()
    {
        QFETCH(QString, settings);
        QFETCH(QString, steps);
        QFETCH(QString, after);
        store(settings);
        QVERIFY(SignalWatcher::catchSignals()); // as main() does, before the port opens
        window = std::make_unique<frmMain>(sandbox->numbering(), sandbox->guard());
        bus = new ScriptBus(window.get());
        window->show();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        installShutdownTriggers(window.get()); // as main() does; a signal caught waits till now
        for (const QString &step : steps.split(u' ', Qt::SkipEmptyParts))
            if (act(step), QTest::currentTestFailed())
                QFAIL(qPrintable(QStringLiteral("at %1; now %2").arg(step, summary())));
        QTRY_COMPARE_WITH_TIMEOUT(summary(), expand(after), 1000);
    }

private:
    // The table's name, then one row a line: its name, then cells split by " | ".
    static void rows(const char *table)
    {
        const QStringList lines = QString::fromUtf8(table).split(u'\n', Qt::SkipEmptyParts);
        for (const QString &line : lines.mid(1)) {
            const QStringList cells = line.split(QStringLiteral(" | "));
            QTest::addRow("%s: %s", qPrintable(lines[0]), qPrintable(cells[0]))
                << cells[1] << cells[2] << cells[3];
        }
    }

    QString expand(QString text) const
    {
        return text.replace("@pty", sandbox->pty.path())
            .replace("@other", other->path())
            .replace("@gone", sandbox->path("<h1>x</h1>"))
            .replace("@usb", sandbox->path("machine/by-id/usb-Adapter_00"));
    }

    // Section/Key=value items; "fifo" puts a FIFO where the settings file belongs; "adapter"
    // leaves nothing stored and plugs in a USB adapter that is the pty; "fresh" is an account
    // without ~/.config, whose HOME (of user 1) root uses when the tests run as root; "dark" is a
    // dark theme; a step that needs no window (mark:.keep: a driver that keeps the speed) before
    // the window is made.
    void store(const QString &settings)
    {
        const QByteArray file = QFile::encodeName(sandbox->settingsFile());
        for (const QString &item : settings.split(u' ', Qt::SkipEmptyParts))
            if (item == u"fifo")
                QVERIFY(QFile::remove(file) && ::mkfifo(file.constData(), 0600) == 0);
            else if (item == u"dark")
                QApplication::setPalette(QPalette(QColor(0x35, 0x35, 0x35)));
            else if (item.contains(u':')) // before the window: ignore:N as nohup does, signal:N
                act(item);
            else if (item == u"adapter")
                QVERIFY(QFile::remove(file) && QFile::link(sandbox->pty.path(), expand("@usb"))
                        && QDir().mkpath(sandbox->path("machine/sys/class/tty/")
                                         + QFileInfo(sandbox->pty.path()).fileName()));
            else if (item == u"fresh" && qunsetenv("XDG_CONFIG_HOME")) // as root: sudo
                QVERIFY(QDir(sandbox->path("home/.config")).removeRecursively()
                        && (::geteuid() || !::chown(file.left(file.indexOf("/.c")), 1, 1)));
            else
                sandbox->write(item.section(u'=', 0, 0), expand(item.section(u'=', 1)));
    }

    // verb:name on a channel button; =on,off checks both channels; name=x,y,w,h where a control
    // lies in its parent, a window on the screen, or "client" the main window's client area. The
    // rest happens to the program, the window or the adapter, or checks what start-up did.
    void act(const QString &step)
    {
        const QString verb = step.section(u':', 0, 0), argument = step.section(u':', 1);
        QPushButton *button = window ? window->findChild<QPushButton *>(argument) : nullptr;
        const auto mouse =
            QStringList{"press", "release", "click", "dclick"}.indexOf(verb.mid(verb[0] == u'R'));
        const Qt::Key key = QKeySequence::fromString(verb)[0].key();
        // Only a session manager can make a QSessionManager; the program never looks at it.
        const QGenericArgument manager("QSessionManager&", this);
        const std::map<QString, std::function<void()>> actions{
            {"deactivate", [&] { (new QWidget(window.get(), Qt::Window))->show(); }},
            {"popup", [&] { window->findChild<QMenu *>(QStringLiteral("mnuFiles"))->popup({}); }},
            {"modal", [&] { (new QDialog(window.get()))->open(); }},
            {"hide", [&] { window->hide(); }},
            {"disable", [&] { button->setEnabled(false); }},
            {"close", [&] { window->close(); }},
            {"move", [&] { window->move(100, 50); }}, // 1500 and 750 twips
            {"nudge", [&] { window->move(window->pos() + QPoint(1, 1)); }},
            {"signal",
             [&] { QVERIFY(SignalWatcher::catchSignals() && !::raise(argument.toInt())); }},
            {"ignore", [&] { ::signal(argument.toInt(), SIG_IGN); }},
            {"mark", [&] { sandbox->pty.mark(qPrintable(argument)); }},
            {"session", [&] { QMetaObject::invokeMethod(qApp, "commitDataRequest", manager); }},
            {"map", [&] { store(argument); }},
            {"Option", [&] { showModal("mnuOption", argument); }},
            {"About", [&] { showModal("mnuAbout", argument); }},
            {"unplug", [&] { sandbox->pty.hangUp(); }},
            {"settle",
             [&] { // the hang-up watch waits, it does not spin
                 const std::clock_t before = std::clock(); // processor time
                 QTest::qWait(2000);
                 QVERIFY(double(std::clock() - before) / CLOCKS_PER_SEC < 0.1);
                 if (!window->MSComm1()->portOpen())
                     act("tip:Com1: the adapter @pty was disconnected");
             }},
            {"watch",
             [&] { connect(bus, &ScriptBus::ChannelChanged, this, &tst_windows::changed); }},
            {"cli",
             [&] {
                 const auto [code, text] = ScriptCommand::run(argument.split(u','), client);
                 messages << (QString("exit %1: ").arg(code) + text.section(u'\n', 0, 0)).trimmed();
             }},
            {"async",
             [&] { answers << client.asyncCall(*ScriptCommand::call(argument.split(u','))); }},
            {"unopened", [&] { QVERIFY(sandbox->pty.log().isEmpty()); }},
            // Com1's lines rose at most once: a freshly plugged-in adapter's first open does that.
            {"calm",
             [&] { QVERIFY(QString(sandbox->pty.log()).split('\n').filter(" 1").size() < 2); }},
            // private: made for the home's owner; a folder for the owner alone
            {"private",
             [&] {
                 const QFileInfo made(sandbox->path(argument)), home(sandbox->path("home"));
                 QVERIFY(made.ownerId() == home.ownerId()
                         && (made.isFile() || (made.permissions() & 0x7077) == 0x7000));
             }},
            {"tip", [&] { QVERIFY(window->Text1()->toolTip().contains(expand(argument))); }},
            {"bigmenu", [&] { window->menuBar()->setFont(QFont(window->font().family(), 30)); }}};
        if (verb.startsWith(u'='))
            QTRY_COMPARE_WITH_TIMEOUT(channelStates(), step.mid(1).replace(u',', u' '), 1000);
        else if (verb == u"stored") // stored:Section/Key=value
            QCOMPARE(sandbox->read(argument.section(u'=', 0, 0)),
                     expand(argument.section(u'=', 1)));
        else if (verb.contains(u'='))
            QVERIFY2(placement(window.get(), step)
                         .contains(QRegularExpression::fromWildcard(expand(step))),
                     qPrintable(placement(window.get(), step)));
        else if (mouse >= 0)
            QTest::mouseEvent(QTest::MouseAction(mouse), button,
                              verb[0] == u'R' ? Qt::RightButton : Qt::LeftButton, {}, {});
        else if (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter)
            for (QTest::KeyAction action : {QTest::Press, QTest::Press, QTest::Release}) // held
                QTest::keyEvent(action, button, key);
        else
            actions.at(verb)(); // throws on a step that does not exist
    }

    void changed(int ch, bool on) { messages << QString("CH %1 o").arg(ch) + (on ? "n" : "ff"); }

    // name=x,y,w,h for where that widget really is; name=legible where its text reads, a contrast
    // ratio of 4.5 or more, else unreadable; or name=name|description|role as a screen reader has
    // them, blanks as _.
    QString placement(QWidget *top, const QString &step) const
    {
        const QString name = step.section(u'=', 0, 0);
        QWidget *widget = top->objectName() == name ? top : top->findChild<QWidget *>(name);
        if (step.endsWith(u"=legible")) { // the darkest and the lightest pixel in its border
            const QImage image = widget->grab(widget->rect().adjusted(3, 3, -3, -3)).toImage();
            double darkest = 1, lightest = 0; // relative luminance
            for (int i = 0; i < image.width() * image.height(); ++i) {
                const QColor c = image.pixelColor(i % image.width(), i / image.width());
                const double light = 0.2126 * std::pow(c.redF(), 2.2)
                    + 0.7152 * std::pow(c.greenF(), 2.2) + 0.0722 * std::pow(c.blueF(), 2.2);
                darkest = std::min(darkest, light), lightest = std::max(lightest, light);
            }
            return name + (lightest + 0.05 < 4.5 * (darkest + 0.05) ? "=unreadable" : "=legible");
        }
        if (const auto *a = QAccessible::queryAccessibleInterface(widget); step.contains(u'|'))
            return QString("%1=%2|%3|%4")
                .arg(name, a->text(QAccessible::Name), a->text(QAccessible::Description),
                     QMetaEnum::fromType<QAccessible::Role>().valueToKey(a->role()))
                .replace(u' ', u'_');
        const QRect r = !widget      ? QRect()
            : widget == window.get() ? widget->frameGeometry() // its outer size is fixed
            : widget->isWindow() ? QRect(widget->pos(), widget->size()) // a dialog's client area's
            : name == u"client"  ? QRect(widget->mapToGlobal(QPoint()), widget->size())
                                 : widget->geometry();
        return name + QString::asprintf("=%d,%d,%d,%d", r.x(), r.y(), r.width(), r.height());
    }

    // Shows the port dialog or the about box from the menu and, once it has the keyboard, keeps
    // its caption and texts, then works it: checks where a control lies, picks an entry, clicks a
    // button, closes it, presses a key or types. Message boxes are answered with OK and what they
    // said is kept as a user reads it; so is "still open" when the steps left the window up.
    void showModal(const char *menuItem, const QString &steps)
    {
        QTimer boxes; // also while the steps run
        connect(&boxes, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                const bool rich =
                    box->textFormat() != Qt::PlainText && Qt::mightBeRichText(box->text());
                messages << (rich ? QStringLiteral("(shown as rich text)") : box->text());
                box->accept();
            }
        });
        boxes.start(10);
        QTimer::singleShot(0, this, [&] {
            QWidget *dialog = QApplication::activeModalWidget();
            QStringList texts{dialog->windowTitle()};
            for (const QLabel *label : dialog->findChildren<QLabel *>())
                texts << label->text();
            auto *list = dialog->findChild<QComboBox *>();
            if (list) // the port in use among all
                texts << list->currentText() + " of " + list->itemText(0) + ".."
                        + list->itemText(list->count() - 1);
            messages << texts.join(u'|');
            for (const QString &step : steps.split(u'+', Qt::SkipEmptyParts)) {
                const Qt::Key key = QKeySequence::fromString(step)[0].key();
                if (step.contains(u'=') && placement(dialog, step) != step)
                    messages << placement(dialog, step);
                else if (auto *button = dialog->findChild<QPushButton *>(step))
                    QTest::mouseClick(button, Qt::LeftButton);
                else if (list && list->findText(step) >= 0)
                    list->setCurrentIndex(list->findText(step));
                else if (step == u"close")
                    dialog->close();
                else if (key != Qt::Key_unknown)
                    QTest::keyClick(dialog->focusWidget(), key);
                else
                    QTest::keyClicks(dialog->focusWidget(), step);
            }
            if (dialog->isVisible() && dialog->close())
                messages << QStringLiteral("still open");
        });
        window->findChild<QAction *>(menuItem)->trigger();
    }

    // Each channel of the port in use, else of Com1: on or off where line, flag and lamp agree,
    // else line/flag/lamp.
    QString channelStates() const
    {
        const auto &port = window->MSComm1()->openDevice() == other->path() ? *other : sandbox->pty;
        const auto state = [](bool line, BoolWord flag, const Lamp *lamp) {
            return QString("%1/%2/").arg(line).arg(flag) + colours.value(lamp->backColor(), "?");
        };
        QString states = state(port.rts(), Module1::flgCH1, window->monCH1()) + u' '
            + state(port.dtr(), Module1::flgCH2, window->monCH2());
        return states.replace("1/-1/red", "on").replace("0/0/silver", "off");
    }

    // The status box, and whether the error flag agrees with it; the device the port is open
    // on; both channels; the stored port and position; whether the window has gone.
    QString summary() const
    {
        const quint32 back = window->Text1()->backColor();
        const bool agree = Module1::flgPortError == toWord(back == 0xff);
        const QString device = window->MSComm1()->openDevice();
        const bool readable = QFileInfo(sandbox->settingsFile()).isFile(); // a FIFO would block
        QStringList parts{window->Text1()->text() + " on " + colours.value(back, "?")
                              + (agree ? "" : " (flag disagrees)"),
                          device.isEmpty() ? "closed" : device, channelStates()};
        for (const char *key : {"CommPort", "Top", "Left"})
            if (readable && !sandbox->read(QString("Properties/") + key).isEmpty())
                parts << key + (u'=' + sandbox->read(QString("Properties/") + key));
        for (const QPushButton *button : window->findChildren<QPushButton *>())
            parts << (button->isDown() ? button->objectName() + " held down" : QString());
        parts << (window->isVisible() ? QString() : "hidden");
        for (const QDBusPendingCall &answer : answers) // to the calls sent with async
            parts << (answer.isFinished() ? answer.error().message() : "no answer yet");
        parts.removeAll(QString());
        return (parts + messages).join("; ");
    }

    std::optional<Sandbox> sandbox; // its pty is Com1
    std::optional<FakePty> other; // another adapter
    std::unique_ptr<frmMain> window;
    // A script's own connection to the private session bus that ctest runs the suite on.
    QDBusConnection client = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "client");
    ScriptBus *bus = nullptr; // the window's
    QList<QDBusPendingCall> answers;
    QStringList messages; // what the dialogs and message boxes said
};

QTEST_MAIN(tst_windows)
#include "tst_windows.moc"
