// The port dialog: its list, layout and keys, and what "Set" does to the port, the status box,
// the lamps, the flags and the stored port number.

#include "app/module1.h"
#include "fakepty.h"
#include "serial/comerror.h"
#include "serial/mscomm.h"
#include "tempsettings.h"
#include "windows/colours.h"
#include "windows/frmcomm.h"
#include "windows/frmmain.h"
#include "windows/lamp.h"
#include "windows/textbox.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

namespace {

// What a message box showed before the test pressed its OK button.
struct ShownBox
{
    bool shown = false;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    int buttonCount = 0;
};

// Answers the message box that the next step opens: notes what it shows and presses OK. The box
// runs its own event loop, which is where this gets to look at it.
void answerMessageBox(ShownBox *seen)
{
    QTimer::singleShot(0, qApp, [seen] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        seen->shown = true;
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->icon = box->icon();
        seen->buttons = box->standardButtons();
        seen->buttonCount = int(box->buttons().size());
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            QTest::mouseClick(ok, Qt::LeftButton);
        else
            box->reject();
    });
}

// Closes every modal window, innermost first, so that a stuck test can end.
void closeModals()
{
    for (int i = 0; i < 10; ++i) {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (auto *dialog = qobject_cast<QDialog *>(modal))
            dialog->reject();
        else
            modal->close();
    }
}

// Keys go where a person's keys would: to the widget that has the focus.
void typeKey(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QWidget *focus = QApplication::focusWidget();
    QVERIFY(focus);
    QTest::keyClick(focus, key, modifiers);
}

// What the port component says when port n will not open, asked on its own.
QString openFailure(int port)
{
    MSComm probe;
    try {
        probe.setCommPort(qint16(port));
        probe.setPortOpen(true);
    } catch (const ComError &error) {
        return error.description();
    }
    return QString();
}

// Whether another opener can have port n now, that is, whether nobody holds it.
bool portIsFree(int port)
{
    MSComm probe;
    try {
        probe.setCommPort(qint16(port));
        probe.setPortOpen(true);
        probe.setPortOpen(false);
        return true;
    } catch (const ComError &) {
        return false;
    }
}

} // namespace

class tst_frmComm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void load_data();
    void load();
    void window();
    void layout_data();
    void layout();
    void keyboard_data();
    void keyboard();
    void setSamePort();
    void setChangedPort();
    void setFromErrorState_data();
    void setFromErrorState();
    void setPortThatWillNotOpen_data();
    void setPortThatWillNotOpen();
    void setTypedText_data();
    void setTypedText();
    void leaveWithoutSet_data();
    void leaveWithoutSet();
    void menuShowsDialogBesideMainWindow();

private:
    void startMain();
    void runDialog(const std::function<void(frmComm *)> &interact);
    QComboBox *cboPort(frmComm *dialog) const;
    QPushButton *button(QWidget *window, const char *name) const;
    QString stored() const;
    void missing(int port);

    std::unique_ptr<TempSettings> m_settings;
    std::unique_ptr<FakePty> m_pty1; // behind Com1
    std::unique_ptr<FakePty> m_pty2; // behind Com2
    std::unique_ptr<frmMain> m_window;
};

void tst_frmComm::initTestCase()
{
    QVERIFY2(ptyModemLoaded(), "libptymodem.so is not preloaded: run this test through ctest");
}

void tst_frmComm::init()
{
    m_settings = std::make_unique<TempSettings>();
    QVERIFY(m_settings->isValid());
    m_pty1 = std::make_unique<FakePty>();
    QVERIFY2(m_pty1->isValid(), qPrintable(m_pty1->errorString()));
    m_pty2 = std::make_unique<FakePty>();
    QVERIFY2(m_pty2->isValid(), qPrintable(m_pty2->errorString()));
    m_settings->mapPort(1, m_pty1->path());
    m_settings->mapPort(2, m_pty2->path());
    // Every other port points nowhere, so nothing here ever opens one of the machine's ports.
    for (int port = 3; port <= 20; ++port)
        missing(port);
    Module1::flgCH1 = Module1::flgCH2 = Module1::flgPortError = wordFalse;
}

void tst_frmComm::cleanup()
{
    closeModals();
    m_window.reset();
    m_pty2.reset();
    m_pty1.reset();
    m_settings.reset();
}

void tst_frmComm::missing(int port)
{
    m_settings->mapPort(port,
                        m_settings->configDir() + QStringLiteral("/no-such-device-%1").arg(port));
}

void tst_frmComm::startMain()
{
    m_window = std::make_unique<frmMain>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

// Opens the dialog from the menu, as the user does, runs `interact` once it is up and returns
// when it has gone. Whatever is still open after `interact` is closed by its close box, and a
// watchdog closes everything should the interaction hang, so a failing test never blocks.
void tst_frmComm::runDialog(const std::function<void(frmComm *)> &interact)
{
    QVERIFY(m_window);
    auto *option = m_window->findChild<QAction *>(QStringLiteral("mnuOption"));
    QVERIFY(option);

    bool reached = false;
    QPointer<frmComm> dialog;
    QTimer::singleShot(0, m_window.get(), [&] {
        dialog = qobject_cast<frmComm *>(QApplication::activeModalWidget());
        if (!dialog) {
            closeModals();
            return;
        }
        reached = true;
        [&] {
            // qWaitForWindowActive() counts a window whose parent is active as active already.
            QVERIFY(QTest::qWaitFor([&] { return QApplication::activeWindow() == dialog; }));
            interact(dialog);
        }();
        if (dialog && dialog->isVisible())
            dialog->close();
    });

    bool timedOut = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, this, [&] {
        timedOut = true;
        closeModals();
    });
    watchdog.start(20000);

    option->trigger(); // returns when the modal dialog has closed
    watchdog.stop();

    QVERIFY2(!timedOut, "the dialog hung and was closed by force");
    QVERIFY2(reached, "no port dialog came up");
    QVERIFY2(dialog.isNull(), "the dialog outlived its closing");
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
}

QComboBox *tst_frmComm::cboPort(frmComm *dialog) const
{
    return dialog->findChild<QComboBox *>(QStringLiteral("cboPort"));
}

QPushButton *tst_frmComm::button(QWidget *window, const char *name) const
{
    return window->findChild<QPushButton *>(QLatin1String(name));
}

QString tst_frmComm::stored() const
{
    return m_settings->read(QStringLiteral("Properties"), QStringLiteral("CommPort"));
}

void tst_frmComm::load_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("text");

    QTest::newRow("first port") << 1 << 0 << "Com1";
    QTest::newRow("port 3") << 3 << 2 << "Com3";
    QTest::newRow("last port") << 16 << 15 << "Com16";
    QTest::newRow("beyond the list") << 20 << -1 << "comm1";
}

void tst_frmComm::load()
{
    QFETCH(int, port);
    QFETCH(int, index);
    QFETCH(QString, text);

    m_settings->mapPort(port, m_pty2->path());
    m_settings->write(QStringLiteral("Properties"), QStringLiteral("CommPort"),
                      QString::number(port));
    startMain();
    QCOMPARE(Module1::flgPortError, wordFalse);
    m_window->move(40, 30);

    runDialog([&](frmComm *dialog) {
        QComboBox *list = cboPort(dialog);
        QVERIFY(list);
        QCOMPARE(list->count(), 16);
        for (int i = 0; i < 16; ++i) {
            QCOMPARE(list->itemText(i), QStringLiteral("Com%1").arg(i + 1));
            QVERIFY(!list->itemData(i, Qt::ToolTipRole).toString().isEmpty());
        }
        QCOMPARE(list->currentIndex(), index);
        QCOMPARE(list->currentText(), text);
        if (index >= 0) {
            QVERIFY2(list->itemData(index, Qt::ToolTipRole).toString().contains(m_pty2->path()),
                     qPrintable(list->itemData(index, Qt::ToolTipRole).toString()));
        }
        const QString unmapped = list->itemData(16 - 1, Qt::ToolTipRole).toString();
        if (port != 16)
            QVERIFY2(unmapped.contains(QLatin1String("no-such-device-16")), qPrintable(unmapped));
        QCOMPARE(dialog->pos(), m_window->dialogCorner());
        QCOMPARE(dialog->frameGeometry().topLeft(), m_window->dialogCorner());
    });
}

void tst_frmComm::window()
{
    startMain();
    runDialog([&](frmComm *dialog) {
        QCOMPARE(dialog->objectName(), QStringLiteral("frmComm"));
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Comm Port"));
        QVERIFY(dialog->isModal());
        QCOMPARE(dialog->parentWidget(), m_window.get());
        QVERIFY(!dialog->windowIcon().isNull());
        QVERIFY(dialog->font() == QApplication::font());

        const Qt::WindowFlags flags = dialog->windowFlags();
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        // 2895 x 585 twips of client area, and no resizing.
        QCOMPARE(dialog->size(), QSize(193, 39));
        QCOMPARE(dialog->minimumSize(), dialog->maximumSize());

        // The list has the focus first; Tab goes along the row and round again.
        QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("cboPort"));
        const QStringList order{"btnCancel", "btnOK", "cboPort"};
        for (const QString &name : order) {
            typeKey(Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(), name);
        }
    });
}

void tst_frmComm::layout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QRect>("pixels");

    QTest::newRow("cboPort") << "cboPort"
                             << "Com1" << QRect(8, 8, 73, 20);
    QTest::newRow("btnCancel") << "btnCancel"
                               << "Cancel" << QRect(88, 8, 49, 25);
    QTest::newRow("btnOK") << "btnOK"
                           << "Set" << QRect(144, 8, 41, 25);
}

void tst_frmComm::layout()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(QRect, pixels);

    startMain();
    runDialog([&](frmComm *dialog) {
        auto *control = dialog->findChild<QWidget *>(name);
        QVERIFY2(control, qPrintable(name));
        QCOMPARE(control->parentWidget(), dialog);
        QCOMPARE(control->geometry(), pixels);
        QVERIFY(control->isEnabled());
        QVERIFY(control->isVisible());
        QVERIFY(control->font() == QApplication::font());
        if (auto *pushButton = qobject_cast<QPushButton *>(control)) {
            QCOMPARE(pushButton->text(), text);
            QVERIFY(!pushButton->isDefault());
            QVERIFY(!pushButton->autoDefault());
        } else {
            auto *list = qobject_cast<QComboBox *>(control);
            QVERIFY(list);
            QVERIFY(list->isEditable());
            QCOMPARE(list->currentText(), text);
        }
    });
}

void tst_frmComm::keyboard_data()
{
    QTest::addColumn<int>("tabs"); // from the list: 0 the list, 1 "Cancel", 2 "Set"
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("closes");
    QTest::addColumn<QString>("storedAfter");

    QTest::newRow("Esc in the list") << 0 << int(Qt::Key_Escape) << false << "";
    QTest::newRow("Esc on Cancel") << 1 << int(Qt::Key_Escape) << false << "";
    QTest::newRow("Esc on Set") << 2 << int(Qt::Key_Escape) << false << "";
    QTest::newRow("Enter in the list") << 0 << int(Qt::Key_Return) << false << "";
    QTest::newRow("keypad Enter in the list") << 0 << int(Qt::Key_Enter) << false << "";
    QTest::newRow("Enter on Cancel") << 1 << int(Qt::Key_Return) << true << "";
    QTest::newRow("Space on Cancel") << 1 << int(Qt::Key_Space) << true << "";
    QTest::newRow("Enter on Set") << 2 << int(Qt::Key_Return) << true << "2";
    QTest::newRow("Space on Set") << 2 << int(Qt::Key_Space) << true << "2";
}

// Only the focused button answers Enter and Space; Esc answers nobody.
void tst_frmComm::keyboard()
{
    QFETCH(int, tabs);
    QFETCH(int, key);
    QFETCH(bool, closes);
    QFETCH(QString, storedAfter);

    startMain();
    runDialog([&](frmComm *dialog) {
        QComboBox *list = cboPort(dialog);
        // Pick Com2 with the arrow key, so that "Set" has something to do.
        QCOMPARE(QApplication::focusWidget(), list);
        typeKey(Qt::Key_Down);
        QCOMPARE(list->currentIndex(), 1);
        for (int i = 0; i < tabs; ++i)
            typeKey(Qt::Key_Tab);

        QSignalSpy cancelClicks(button(dialog, "btnCancel"), &QPushButton::clicked);
        QSignalSpy setClicks(button(dialog, "btnOK"), &QPushButton::clicked);
        typeKey(Qt::Key(key), key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);

        QCOMPARE(dialog->isVisible(), !closes);
        QCOMPARE(cancelClicks.count(), closes && tabs == 1 ? 1 : 0);
        QCOMPARE(setClicks.count(), closes && tabs == 2 ? 1 : 0);
        if (!closes) {
            QCOMPARE(list->count(), 16);
            QCOMPARE(list->currentIndex(), 1);
            QCOMPARE(list->currentText(), QStringLiteral("Com2"));
        }
    });
    QCOMPARE(stored(), storedAfter);
    QCOMPARE(m_window->MSComm1()->commPort(), qint16(storedAfter.isEmpty() ? 1 : 2));
}

void tst_frmComm::setSamePort()
{
    startMain();
    QTest::mouseClick(button(m_window.get(), "btnCH1"), Qt::LeftButton);
    QVERIFY(m_pty1->rts());
    QCOMPARE(Module1::flgCH1, wordTrue);

    runDialog([&](frmComm *dialog) {
        QCOMPARE(cboPort(dialog)->currentIndex(), 0);
        QTest::mouseClick(button(dialog, "btnOK"), Qt::LeftButton);
        QVERIFY(!dialog->isVisible());
    });

    // Nothing happened to the port; only the number was stored.
    QCOMPARE(m_window->MSComm1()->openDevice(), m_pty1->path());
    QVERIFY(m_pty1->rts());
    QVERIFY(!m_pty1->dtr());
    QCOMPARE(Module1::flgCH1, wordTrue);
    QCOMPARE(m_window->monCH1()->backColor(), Colours::lampOn);
    QCOMPARE(m_window->Text1()->text(), QStringLiteral("Com 1"));
    QCOMPARE(m_window->Text1()->backColor(), Colours::white);
    QCOMPARE(Module1::flgPortError, wordFalse);
    QCOMPARE(stored(), QStringLiteral("1"));
}

void tst_frmComm::setChangedPort()
{
    startMain();
    QVERIFY(m_pty2->setHangUpOnClose(false)); // only the program can lower the new lines
    QTest::mouseClick(button(m_window.get(), "btnCH1"), Qt::LeftButton);
    QTest::mouseClick(button(m_window.get(), "btnCH2"), Qt::LeftButton);
    QVERIFY(m_pty1->rts() && m_pty1->dtr());
    QCOMPARE(m_window->monCH2()->backColor(), Colours::lampOn);

    runDialog([&](frmComm *dialog) {
        typeKey(Qt::Key_Down);
        QCOMPARE(cboPort(dialog)->currentText(), QStringLiteral("Com2"));
        QTest::mouseClick(button(dialog, "btnOK"), Qt::LeftButton);
    });

    // The old port was let go with both lines low.
    QVERIFY(!m_pty1->rts());
    QVERIFY(!m_pty1->dtr());
    QVERIFY(portIsFree(1));
    // Both channels idle.
    QCOMPARE(Module1::flgCH1, wordFalse);
    QCOMPARE(Module1::flgCH2, wordFalse);
    QCOMPARE(m_window->monCH1()->backColor(), Colours::silver);
    QCOMPARE(m_window->monCH2()->backColor(), Colours::silver);
    // The new port is open, lines low.
    QCOMPARE(m_window->MSComm1()->commPort(), qint16(2));
    QCOMPARE(m_window->MSComm1()->openDevice(), m_pty2->path());
    QVERIFY(!m_pty2->rts());
    QVERIFY(!m_pty2->dtr());
    QCOMPARE(m_window->Text1()->text(), QStringLiteral("Com 2"));
    QCOMPARE(m_window->Text1()->backColor(), Colours::white);
    QVERIFY2(m_window->Text1()->toolTip().contains(m_pty2->path()),
             qPrintable(m_window->Text1()->toolTip()));
    QCOMPARE(Module1::flgPortError, wordFalse);
    QCOMPARE(stored(), QStringLiteral("2"));

    // The channels now drive the new port.
    QTest::mouseClick(button(m_window.get(), "btnCH1"), Qt::LeftButton);
    QVERIFY(m_pty2->rts());
    QVERIFY(!m_pty1->rts());
}

void tst_frmComm::setFromErrorState_data()
{
    QTest::addColumn<int>("choice");
    QTest::addColumn<QString>("status");

    QTest::newRow("same port again") << 1 << "Com 1";
    QTest::newRow("another port") << 2 << "Com 2";
}

void tst_frmComm::setFromErrorState()
{
    QFETCH(int, choice);
    QFETCH(QString, status);

    missing(1);
    startMain();
    QCOMPARE(Module1::flgPortError, wordTrue);
    QCOMPARE(m_window->Text1()->backColor(), Colours::pureRed);
    QVERIFY(!m_window->MSComm1()->portOpen());

    // The adapter turns up where the user says it is.
    m_settings->mapPort(1, m_pty1->path());
    runDialog([&](frmComm *dialog) {
        QCOMPARE(cboPort(dialog)->currentIndex(), 0);
        cboPort(dialog)->setCurrentIndex(choice - 1);
        QTest::mouseClick(button(dialog, "btnOK"), Qt::LeftButton);
    });

    FakePty &pty = choice == 1 ? *m_pty1 : *m_pty2;
    QCOMPARE(m_window->MSComm1()->openDevice(), pty.path());
    QVERIFY(!pty.rts());
    QVERIFY(!pty.dtr());
    QCOMPARE(m_window->Text1()->text(), status);
    QCOMPARE(m_window->Text1()->backColor(), Colours::white);
    QCOMPARE(Module1::flgPortError, wordFalse);
    QCOMPARE(stored(), QString::number(choice));

    // Out of the error state the channels work again.
    QTest::mouseClick(button(m_window.get(), "btnCH2"), Qt::LeftButton);
    QVERIFY(pty.dtr());
}

void tst_frmComm::setPortThatWillNotOpen_data()
{
    QTest::addColumn<QString>("mode");

    QTest::newRow("missing device") << "missing";
    QTest::newRow("no hardware behind the node") << "nohw";
    QTest::newRow("in use by another opener") << "busy";
}

void tst_frmComm::setPortThatWillNotOpen()
{
    QFETCH(QString, mode);

    FakePty pty5;
    QVERIFY(pty5.isValid());
    std::unique_ptr<MSComm> holder;
    if (mode == QLatin1String("nohw")) {
        m_settings->mapPort(5, pty5.path());
        pty5.setNoHardware(true);
    } else if (mode == QLatin1String("busy")) {
        m_settings->mapPort(5, pty5.path());
        holder = std::make_unique<MSComm>();
        holder->setCommPort(5);
        holder->setPortOpen(true);
    }
    const QString expected = openFailure(5);
    QVERIFY(!expected.isEmpty());

    m_settings->write(QStringLiteral("Properties"), QStringLiteral("CommPort"),
                      QStringLiteral("1"));
    startMain();
    QTest::mouseClick(button(m_window.get(), "btnCH1"), Qt::LeftButton);
    QVERIFY(m_pty1->rts());

    ShownBox box;
    runDialog([&](frmComm *dialog) {
        cboPort(dialog)->setCurrentIndex(4);
        answerMessageBox(&box);
        QTest::mouseClick(button(dialog, "btnOK"), Qt::LeftButton);
        QVERIFY(box.shown);
        QVERIFY(!dialog->isVisible());
    });

    QVERIFY(box.shown);
    QCOMPARE(box.title, QStringLiteral("Twinline"));
    QCOMPARE(box.text, expected);
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.buttonCount, 1);

    // Red, but naming the port that was tried.
    QCOMPARE(m_window->Text1()->text(), QStringLiteral("Com 5"));
    QCOMPARE(m_window->Text1()->backColor(), Colours::pureRed);
    QVERIFY2(m_window->Text1()->toolTip().contains(expected),
             qPrintable(m_window->Text1()->toolTip()));
    QCOMPARE(Module1::flgPortError, wordTrue);
    QCOMPARE(m_window->MSComm1()->commPort(), qint16(5));
    QVERIFY(!m_window->MSComm1()->portOpen());
    QVERIFY(!m_pty1->rts());
    QVERIFY(portIsFree(1));
    QCOMPARE(m_window->monCH1()->backColor(), Colours::silver);
    QCOMPARE(m_window->monCH2()->backColor(), Colours::silver);
    QCOMPARE(Module1::flgCH1, wordFalse);
    QCOMPARE(stored(), QStringLiteral("1"));

    // In the error state the channel buttons do nothing.
    QTest::mouseClick(button(m_window.get(), "btnCH1"), Qt::LeftButton);
    QCOMPARE(Module1::flgCH1, wordFalse);
    QCOMPARE(m_window->monCH1()->backColor(), Colours::silver);
}

void tst_frmComm::setTypedText_data()
{
    QTest::addColumn<QString>("typed");

    QTest::newRow("free text") << "usb0";
    QTest::newRow("an entry's own text") << "Com2";
    QTest::newRow("an entry's text in other case") << "com2";
    QTest::newRow("an entry's beginning") << "Co";
    QTest::newRow("emptied field") << "";
}

// Typed text is no choice: "Set" tries port 0, fails, and puts the old port back.
void tst_frmComm::setTypedText()
{
    QFETCH(QString, typed);

    const QString expected = openFailure(0);
    QVERIFY(!expected.isEmpty());
    startMain();
    QTest::mouseClick(button(m_window.get(), "btnCH1"), Qt::LeftButton);
    QVERIFY(m_pty1->rts());

    ShownBox box;
    runDialog([&](frmComm *dialog) {
        QComboBox *list = cboPort(dialog);
        QCOMPARE(QApplication::focusWidget(), list);
        typeKey(Qt::Key_A, Qt::ControlModifier);
        if (typed.isEmpty())
            typeKey(Qt::Key_Backspace);
        else
            QTest::keyClicks(list, typed);
        QCOMPARE(list->currentIndex(), -1);
        QCOMPARE(list->currentText(), typed);

        // Enter in the field picks nothing and adds nothing.
        typeKey(Qt::Key_Return);
        QVERIFY(dialog->isVisible());
        QCOMPARE(list->currentIndex(), -1);
        QCOMPARE(list->currentText(), typed);
        QCOMPARE(list->count(), 16);

        answerMessageBox(&box);
        QTest::mouseClick(button(dialog, "btnOK"), Qt::LeftButton);
        QVERIFY(!dialog->isVisible());
    });

    QVERIFY(box.shown);
    QCOMPARE(box.text, expected);
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(m_window->Text1()->text(), QStringLiteral("Com 0"));
    QCOMPARE(m_window->Text1()->backColor(), Colours::pureRed);
    QCOMPARE(Module1::flgPortError, wordTrue);
    // Closed and reopened on the old port, channels idle.
    QCOMPARE(m_window->MSComm1()->commPort(), qint16(1));
    QCOMPARE(m_window->MSComm1()->openDevice(), m_pty1->path());
    QVERIFY(!m_pty1->rts());
    QVERIFY(!m_pty1->dtr());
    QCOMPARE(Module1::flgCH1, wordFalse);
    QCOMPARE(m_window->monCH1()->backColor(), Colours::silver);
    QCOMPARE(stored(), QString());
}

void tst_frmComm::leaveWithoutSet_data()
{
    QTest::addColumn<bool>("viaCloseBox");

    QTest::newRow("Cancel") << false;
    QTest::newRow("close box") << true;
}

void tst_frmComm::leaveWithoutSet()
{
    QFETCH(bool, viaCloseBox);

    startMain();
    QTest::mouseClick(button(m_window.get(), "btnCH1"), Qt::LeftButton);
    const QString tooltip = m_window->Text1()->toolTip();

    runDialog([&](frmComm *dialog) {
        cboPort(dialog)->setCurrentIndex(1);
        if (viaCloseBox)
            QVERIFY(dialog->close());
        else
            QTest::mouseClick(button(dialog, "btnCancel"), Qt::LeftButton);
        QVERIFY(!dialog->isVisible());
    });

    QCOMPARE(m_window->MSComm1()->commPort(), qint16(1));
    QCOMPARE(m_window->MSComm1()->openDevice(), m_pty1->path());
    QVERIFY(m_pty1->rts());
    QCOMPARE(Module1::flgCH1, wordTrue);
    QCOMPARE(m_window->monCH1()->backColor(), Colours::lampOn);
    QCOMPARE(m_window->Text1()->text(), QStringLiteral("Com 1"));
    QCOMPARE(m_window->Text1()->backColor(), Colours::white);
    QCOMPARE(m_window->Text1()->toolTip(), tooltip);
    QCOMPARE(Module1::flgPortError, wordFalse);
    QCOMPARE(stored(), QString());
}

// Each showing is a new dialog beside wherever the main window is now, with a fresh list.
void tst_frmComm::menuShowsDialogBesideMainWindow()
{
    startMain();
    const QList<QPoint> places{QPoint(100, 50), QPoint(7, 300)};
    for (const QPoint &place : places) {
        m_window->move(place);
        QPointer<frmComm> shown;
        runDialog([&](frmComm *dialog) {
            shown = dialog;
            QCOMPARE(dialog->pos(), m_window->dialogCorner());
            QCOMPARE(cboPort(dialog)->count(), 16);
        });
        if (QTest::currentTestFailed())
            return;
        QVERIFY(shown.isNull());
    }
    // 50 twips right and 500 twips down of the main window's corner.
    QCOMPARE(m_window->dialogCorner(), QPoint(7 + 3, 300 + 33));
}

QTEST_MAIN(tst_frmComm)
#include "tst_frmcomm.moc"
