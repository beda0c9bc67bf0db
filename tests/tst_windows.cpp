// The windows on the offscreen platform, driven as a user drives them. A table row is: what is
// stored before start-up, the steps (see act()), the outcome (see summary()) and what message
// boxes said.
#include "sandbox.h"

#include "app/module1.h"
#include "app/shutdowntriggers.h"
#include "serial/mscomm.h"
#include "windows/frmmain.h"
#include "windows/lamp.h"
#include "windows/textbox.h"

#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMetaMethod>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <ctime>
#include <optional>

#include <sys/stat.h>

namespace {

// name=x,y,w,h: where a control lies in its parent, or a window's outer frame on the screen;
// "client" is the main window's client area on the screen.
constexpr char startUpRows[] = R"(
first run |  | frmMain=13,13,217,140 Text1=8,0,153,18 btnCH1=8,24,105,25 btnCH1_tilt=112,24,49,25 monCH1=176,24,25,25 btnCH2=8,56,105,25 btnCH2_tilt=112,56,49,25 monCH2=176,56,25,25 | Com 1 on white; @pty; off off
stored port 3 | Ports/Com3=@pty Properties/CommPort=3 | tip:Com3 | Com 3 on white; @pty; off off; CommPort=3
port cannot be opened | Ports/Com1=@gone | frmMain=13,13,217,140 tip:exist | Com port open Error! on red; closed; off off
Top not a number | Properties/Top=abc | client=16,54,211,96 unopened tip:"abc" | Com port open Error! on red; closed; off off; Top=abc
fractional position | Properties/Top=1234.5 Properties/Left=777.7 | frmMain=52,82,217,140 | Com 1 on white; @pty; off off; Top=1234.5; Left=777.7
settings file unreadable | fifo | client=16,54,211,96 unopened tip:@conf | Com port open Error! on red; closed; off off)";

// =on,off: both channels' line, flag and lamp agree on on or off.
constexpr char channelRows[] = R"(
On/Off by mouse |  | click:btnCH1 =on,off click:btnCH1 | Com 1 on white; @pty; off off
On/Off by Space |  | Space:btnCH2 =off,on Space:btnCH2 | Com 1 on white; @pty; off off
On/Off by Enter |  | Return:btnCH1 =on,off Enter:btnCH1 | Com 1 on white; @pty; off off
Tilt, left, from idle |  | press:btnCH1_tilt =on,off release:btnCH1_tilt | Com 1 on white; @pty; off off
Tilt, right, from active |  | click:btnCH2 Rpress:btnCH2_tilt =off,off Rrelease:btnCH2_tilt | Com 1 on white; @pty; off on
Space and Enter on Tilt |  | Space:btnCH1_tilt Return:btnCH2_tilt Enter:btnCH1_tilt | Com 1 on white; @pty; off off
independent |  | click:btnCH1 click:btnCH2 =on,on click:btnCH2 =on,off press:btnCH1_tilt =off,off release:btnCH1_tilt Rpress:btnCH2_tilt =on,on Rrelease:btnCH2_tilt | Com 1 on white; @pty; on off
error state, port open |  | Option:usb0+btnOK click:btnCH1 click:btnCH2 Space:btnCH2 press:btnCH1_tilt =off,off release:btnCH1_tilt | Com 0 on red; @pty; off off | Comm Port / Invalid port number 0: the port number must be 1 or more.
Tilt hold ends: deactivated |  | press:btnCH1_tilt =on,off deactivate =off,off release:btnCH1_tilt | Com 1 on white; @pty; off off
Tilt hold ends: popup menu |  | press:btnCH1_tilt =on,off popup =off,off release:btnCH1_tilt | Com 1 on white; @pty; off off
Tilt hold ends: modal window |  | press:btnCH1_tilt =on,off modal =off,off release:btnCH1_tilt | Com 1 on white; @pty; off off
Tilt hold ends: hidden |  | press:btnCH1_tilt =on,off hide =off,off release:btnCH1_tilt | Com 1 on white; @pty; off off; hidden
Tilt hold ends: disabled |  | press:btnCH1_tilt =on,off disable:btnCH1_tilt =off,off release:btnCH1_tilt | Com 1 on white; @pty; off off)";

// Option:steps works the port dialog; name=x,y,w,h as in startUp_data().
constexpr char portDialogRows[] = R"(
Set, same port | Ports/Com2=@second | click:btnCH1 click:btnCH2 Option:Com1+btnOK | Com 1 on white; @pty; on on; CommPort=1 | Comm Port
Set, same port in the error state | Ports/Com1=@gone | map:Ports/Com1=@pty Option:Com1+btnOK | Com 1 on white; @pty; off off; CommPort=1 | Comm Port
Set, another port while open | Ports/Com2=@second Properties/CommPort=2 | click:btnCH1 click:btnCH2 =on,on Option:Com1+btnOK | Com 1 on white; @pty; off off; CommPort=1 | Comm Port
Set, a port that does not exist | Ports/Com5=@gone | click:btnCH1 click:btnCH2 Option:Com5+btnOK | Com 5 on red; closed; off off | Comm Port / Com5: the device @gone does not exist. Connect the adapter, or map Com5 to another device in the "Ports" section of the settings.
Set, typed text |  | click:btnCH1 click:btnCH2 Option:Com2+usb0+btnOK | Com 0 on red; @pty; off off | Comm Port / Invalid port number 0: the port number must be 1 or more.
Cancel | Ports/Com2=@second | click:btnCH1 click:btnCH2 Option:frmComm=17,47,193,39+cboPort=8,8,73,20+btnCancel=88,8,49,25+btnOK=144,8,41,25+Com2+btnCancel | Com 1 on white; @pty; on on | Comm Port
close box | Ports/Com2=@second | click:btnCH1 click:btnCH2 Option:Com2+close | Com 1 on white; @pty; on on | Comm Port
Esc | Ports/Com2=@second | click:btnCH1 click:btnCH2 Option:Com2+Esc | Com 1 on white; @pty; on on | Comm Port / still open)";

constexpr char aboutRows[] = R"(
OK |  | About:frmAbout=17,47,296,138+picIcon=8,16,36,36+lblTitle=52,8,71,15+lblVersion=124,8,137,15+lblDescription=52,28,239,18+readme=52,52,241,17+cmdOK=92,80,92,23+copyright=8,112,277,17+cmdOK | Com 1 on white; @pty; off off | Twinline Version Info.||Twinline|Ver. 0.0.3|Remote Commport Control Program|HELP File is [ Readme.txt ]|Copyright (C) 2026 The Twinline developers
Esc |  | About:Esc | Com 1 on white; @pty; off off | Twinline Version Info.||Twinline|Ver. 0.0.3|Remote Commport Control Program|HELP File is [ Readme.txt ]|Copyright (C) 2026 The Twinline developers
Enter |  | About:Return | Com 1 on white; @pty; off off | Twinline Version Info.||Twinline|Ver. 0.0.3|Remote Commport Control Program|HELP File is [ Readme.txt ]|Copyright (C) 2026 The Twinline developers)";

// The adapter behind Com1 unplugged; then the port chosen again on another one.
constexpr char deviceLostRows[] = R"(
idle |  | click:btnCH2 unplug settle =off,off click:btnCH2 map:Ports/Com1=@second Option:btnOK | Com 1 on white; @second; off off; CommPort=1 | Comm Port
while Tilt is held |  | click:btnCH2 press:btnCH1_tilt unplug settle =off,off release:btnCH1_tilt map:Ports/Com1=@second Option:btnOK | Com 1 on white; @second; off off; CommPort=1 | Comm Port
a click at once |  | click:btnCH2 unplug click:btnCH1 =0/-1/ff,0/-1/ff settle =off,off map:Ports/Com1=@second Option:btnOK | Com 1 on white; @second; off off; CommPort=1 | Comm Port)";

// With Tilt held down as the program is told to end.
constexpr char shutDownRows[] = R"(
close box, once |  | move:100,50 Rpress:btnCH2_tilt =off,on close move:0,0 close | Com 1 on white; closed; off off; Top=750; Left=1500; hidden
fractional position, not moved | Properties/Top=1234.5 Properties/Left=777.7 | press:btnCH2_tilt close | Com 1 on white; closed; off off; Top=1234.5; Left=777.7; hidden
port never opened | Ports/Com1=@gone | move:30,40 close | Com port open Error! on red; closed; off off; Top=600; Left=450; hidden
SIGTERM |  | move:100,50 press:btnCH2_tilt SIGTERM | Com 1 on white; closed; off off; Top=750; Left=1500; hidden
SIGINT |  | move:100,50 press:btnCH2_tilt SIGINT | Com 1 on white; closed; off off; Top=750; Left=1500; hidden
SIGHUP |  | move:100,50 press:btnCH2_tilt SIGHUP | Com 1 on white; closed; off off; Top=750; Left=1500; hidden
session save keeps running |  | move:40,50 press:btnCH2_tilt session | Com 1 on white; @pty; off on; Top=750; Left=600)";

} // namespace

class tst_windows : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(ptyModemLoaded()); } // run through ctest, which preloads it
    void init()
    {
        sandbox.emplace();
        second.emplace();
        messages.clear();
    }
    void cleanup()
    {
        window.reset();
        elsewhere.hide();
        second.reset();
        sandbox.reset();
    }

    void startUp_data() { rows(startUpRows); }
    void startUp()
    {
        run();
        QCOMPARE(window->windowTitle(), QStringLiteral("Twinline Ver.0.0.3"));
    }

    void channels_data() { rows(channelRows); }
    void channels() { run(); }

    void portDialog_data() { rows(portDialogRows); }
    void portDialog() { run(); }

    void aboutBox_data() { rows(aboutRows); }
    void aboutBox() { run(); }

    void deviceLost_data() { rows(deviceLostRows); }
    void deviceLost() { run(); }

    void shutDown_data() { rows(shutDownRows); }
    void shutDown() { run(); }

private:
    // A table: one row a line, its name and cells split by " | ".
    static void rows(const char *table)
    {
        for (const char *column : {"settings", "steps", "after", "messages"})
            QTest::addColumn<QString>(column);
        for (const QString &line : QString::fromUtf8(table).split(u'\n', Qt::SkipEmptyParts)) {
            const QStringList cells = line.split(QStringLiteral(" | "));
            QTest::newRow(qPrintable(cells[0]))
                << cells.value(1).trimmed() << cells.value(2) << cells.value(3) << cells.value(4);
        }
    }

    QString expand(QString text) const
    {
        return text.replace(QStringLiteral("@pty"), sandbox->pty.path())
            .replace(QStringLiteral("@second"), second->path())
            .replace(QStringLiteral("@gone"), sandbox->path(QStringLiteral("<h1>x</h1>")))
            .replace(QStringLiteral("@conf"), sandbox->settingsFile());
    }

    // Section/Key=value items; "fifo" puts a FIFO where the settings file belongs.
    void store(const QString &settings)
    {
        for (const QString &item : settings.split(u' ', Qt::SkipEmptyParts)) {
            const QString key = item.section(u'=', 0, 0);
            if (item == u"fifo")
                QVERIFY(QFile::remove(sandbox->settingsFile())
                        && ::mkfifo(QFile::encodeName(sandbox->settingsFile()).constData(), 0600)
                            == 0);
            else
                sandbox->write(key.section(u'/', 0, 0), key.section(u'/', 1),
                               expand(item.section(u'=', 1)));
        }
    }

    void run()
    {
        QFETCH(QString, settings);
        QFETCH(QString, steps);
        QFETCH(QString, after);
        QFETCH(QString, messages);
        store(settings);
        window = std::make_unique<frmMain>(sandbox->numbering());
        installShutdownTriggers(window.get()); // as main() does
        window->show();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        for (const QString &step : steps.split(u' ', Qt::SkipEmptyParts)) {
            act(step);
            if (QTest::currentTestFailed())
                QFAIL(qPrintable(QStringLiteral("at %1; now %2").arg(step, summary())));
        }
        QCOMPARE(summary(), expand(after));
        QCOMPARE(this->messages.join(QStringLiteral(" / ")), expand(messages));
    }

    // verb:button on a channel button; the rest happens to the program, the window or the
    // adapter, or checks what start-up did.
    void act(const QString &step)
    {
        const QString verb = step.section(u':', 0, 0), argument = step.section(u':', 1);
        QPushButton *button = window->findChild<QPushButton *>(argument);
        const bool right = verb.startsWith(u'R');
        const qsizetype mouse = QStringList{"press", "release", "click"}.indexOf(verb.mid(right));
        const Qt::Key key = QKeySequence::fromString(verb)[0].key();
        if (verb.startsWith(u'='))
            QCOMPARE(channelStates(), step.mid(1).replace(u',', u' '));
        else if (verb.contains(u'='))
            QCOMPARE(placement(window.get(), step), step);
        else if (mouse >= 0)
            QTest::mouseEvent(QTest::MouseAction(mouse), button,
                              right ? Qt::RightButton : Qt::LeftButton, {}, {});
        else if (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter)
            for (QTest::KeyAction action : {QTest::Press, QTest::Press, QTest::Release}) // held
                QTest::keyEvent(action, button, key);
        else if (verb == u"deactivate") {
            elsewhere.show();
            QVERIFY(QTest::qWaitForWindowActive(&elsewhere));
        } else if (verb == u"popup")
            window->findChild<QMenu *>(QStringLiteral("mnuFiles"))->popup({});
        else if (verb == u"modal")
            (new QDialog(window.get()))->open();
        else if (verb == u"hide")
            window->hide();
        else if (verb == u"close")
            window->close();
        else if (verb == u"disable")
            button->setEnabled(false);
        else if (verb == u"move")
            window->move(argument.section(u',', 0, 0).toInt(), argument.section(u',', 1).toInt());
        else if (verb.startsWith(u"SIG")) {
            QCOMPARE(::raise(verb == u"SIGTERM"      ? SIGTERM
                                 : verb == u"SIGINT" ? SIGINT
                                                     : SIGHUP),
                     0);
            QTRY_VERIFY(!window->isVisible());
        } else if (verb == u"session") { // only a session manager can make a QSessionManager
            char manager = 0;
            QVERIFY(QMetaMethod::fromSignal(&QGuiApplication::commitDataRequest)
                        .invoke(qApp, Qt::DirectConnection,
                                QGenericArgument("QSessionManager&", &manager)));
        } else if (verb == u"map")
            store(argument);
        else if (verb == u"Option" || verb == u"About")
            showModal(verb, argument);
        else if (verb == u"unplug")
            sandbox->pty.hangUp();
        else if (verb == u"settle") { // noticed at once, and nothing spins afterwards
            QTRY_VERIFY_WITH_TIMEOUT(summary().startsWith(u"Com port open Error! on red; closed; "),
                                     1000);
            QVERIFY(window->Text1()->toolTip().contains(
                expand("Com1: the adapter @pty was disconnected")));
            const std::clock_t before = std::clock(); // processor time
            QTest::qWait(2000);
            QVERIFY(double(std::clock() - before) / CLOCKS_PER_SEC < 0.1);
        } else if (verb == u"unopened")
            QVERIFY(sandbox->pty.changes().isEmpty());
        else if (verb == u"tip")
            QVERIFY2(window->Text1()->toolTip().contains(expand(argument)),
                     qPrintable(window->Text1()->toolTip()));
        else
            QFAIL(qPrintable(QStringLiteral("no such step: ") + step));
    }

    // For name=x,y,w,h: the same with where that widget really is.
    QString placement(QWidget *top, const QString &step) const
    {
        const QString name = step.section(u'=', 0, 0);
        const QWidget *widget = top->objectName() == name ? top : top->findChild<QWidget *>(name);
        const QRect r = !widget      ? QRect()
            : widget == window.get() ? widget->frameGeometry() // its outer size is fixed
            : widget->isWindow() ? QRect(widget->pos(), widget->size()) // a dialog's client area's
            : name == u"client"  ? QRect(widget->mapToGlobal(QPoint()), widget->size())
                                 : widget->geometry();
        return QStringLiteral("%1=%2,%3,%4,%5")
            .arg(name)
            .arg(r.x())
            .arg(r.y())
            .arg(r.width())
            .arg(r.height());
    }

    // Shows the port dialog or the about box from the menu and, once it has the keyboard, works
    // it: checks where a control is, picks an entry, clicks a button, closes it, presses a key or
    // types. Message boxes are answered with OK and what they said is kept as a user reads it;
    // so is the about box's text, and "still open" when the window is still up after the steps.
    void showModal(const QString &which, const QString &steps)
    {
        QTimer boxes; // answers message boxes, also while the steps run
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
            QPointer<QWidget> dialog = QApplication::activeModalWidget();
            const auto closeAtLast = qScopeGuard([&] {
                if (dialog && dialog->isVisible() && dialog->close())
                    messages << QStringLiteral("still open");
            });
            QTRY_VERIFY(dialog && QApplication::activeWindow() == dialog);
            QStringList texts{dialog->windowTitle()};
            for (const QLabel *label : dialog->findChildren<QLabel *>())
                texts << label->text();
            messages << texts.join(u'|');
            auto *list = dialog->findChild<QComboBox *>();
            if (list) {
                QCOMPARE(list->count(), 16);
                QCOMPARE(list->itemText(0) + list->itemText(15), QStringLiteral("Com1Com16"));
                QCOMPARE(list->currentText(),
                         QStringLiteral("Com%1").arg(window->MSComm1()->commPort()));
            }
            for (const QString &step : steps.split(u'+', Qt::SkipEmptyParts)) {
                const Qt::Key key = QKeySequence::fromString(step)[0].key();
                if (step.contains(u'='))
                    QCOMPARE(placement(dialog, step), step);
                else if (auto *button = dialog->findChild<QPushButton *>(step))
                    QTest::mouseClick(button, Qt::LeftButton);
                else if (list && list->findText(step) >= 0)
                    list->setCurrentIndex(list->findText(step));
                else if (step == u"close")
                    dialog->close();
                else if (key != Qt::Key_unknown)
                    QTest::keyClick(QApplication::focusWidget(), key);
                else
                    QTest::keyClicks(QApplication::focusWidget(), step);
            }
        });
        window->findChild<QAction *>(which == u"Option" ? "mnuOption" : "mnuAbout")->trigger();
    }

    // Each channel of the port in use, else of Com1, as on or off where its line, flag and lamp
    // agree, else as line/flag/lamp colour.
    QString channelStates() const
    {
        const FakePty &port =
            window->MSComm1()->openDevice() == second->path() ? *second : sandbox->pty;
        const auto state = [](bool line, BoolWord flag, const Lamp *lamp) {
            return QStringLiteral("%1/%2/%3").arg(line).arg(flag).arg(lamp->backColor(), 0, 16);
        };
        return QString(state(port.rts(), Module1::flgCH1, window->monCH1()) + u' '
                       + state(port.dtr(), Module1::flgCH2, window->monCH2()))
            .replace(QStringLiteral("1/-1/ff"), QStringLiteral("on"))
            .replace(QStringLiteral("0/0/c0c0c0"), QStringLiteral("off"));
    }

    // The status box and whether the error flag agrees; the device the port is open on; both
    // channels; the stored port and position; whether the window has gone.
    QString summary() const
    {
        const quint32 colour = window->Text1()->backColor();
        QStringList parts{
            window->Text1()->text()
                + (colour == 0xff           ? " on red"
                       : colour == 0xffffff ? " on white"
                                            : " on ?")
                + (Module1::flgPortError == toWord(colour == 0xff) ? "" : " (flag disagrees)"),
            window->MSComm1()->openDevice(), channelStates()};
        if (parts[1].isEmpty())
            parts[1] = QStringLiteral("closed");
        for (const char *key : {"CommPort", "Top", "Left"}) {
            // A FIFO in its place would block the reader.
            const QString value = QFileInfo(sandbox->settingsFile()).isFile()
                ? sandbox->read(QStringLiteral("Properties"), QLatin1String(key))
                : QString();
            if (!value.isEmpty())
                parts << key + (u'=' + value);
        }
        return parts.join(QStringLiteral("; ")) + (window->isVisible() ? "" : "; hidden");
    }

    std::optional<Sandbox> sandbox; // its pty is Com1
    std::optional<FakePty> second; // another adapter
    std::unique_ptr<frmMain> window;
    QStringList messages; // what the dialogs and message boxes said
    QWidget elsewhere; // another program's window
};

QTEST_MAIN(tst_windows)
#include "tst_windows.moc"
