// The port dialog: its list and keys, and what "Set" does to the port, the status box, the lamps,
// the flags and the stored port number.

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
#include <QElapsedTimer>
#include <QKeySequence>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTextDocument>
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
    bool onlyOk = false;
};

// The text Qt shows for `text` in `format`: rich text is rendered, so markup does not show.
QString shown(const QString &text, Qt::TextFormat format = Qt::AutoText)
{
    if (format == Qt::PlainText || (format == Qt::AutoText && !Qt::mightBeRichText(text)))
        return text;
    QTextDocument document;
    document.setHtml(text);
    return document.toPlainText();
}

// Closes every modal window, innermost first, so that a stuck test can end.
void closeModals()
{
    for (int i = 0; i < 10 && QApplication::activeModalWidget(); ++i) {
        if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget()))
            dialog->reject();
        else
            QApplication::activeModalWidget()->close();
    }
}

// A key as a person presses it: to the widget that has the focus.
void typeKey(const QString &name)
{
    const QKeyCombination key = QKeySequence::fromString(name)[0];
    QVERIFY2(QApplication::focusWidget(), qPrintable(name));
    QTest::keyClick(QApplication::focusWidget(), key.key(), key.keyboardModifiers());
}

void click(QWidget *window, const QString &button)
{
    QTest::mouseClick(window->findChild<QPushButton *>(button), Qt::LeftButton);
}

QComboBox *cboPort(frmComm *dialog)
{
    return dialog->findChild<QComboBox *>(QStringLiteral("cboPort"));
}

// What the port component says when port n will not open, asked on its own; empty when it opens,
// that is, when nobody holds it.
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
    void leaveOrSetSamePort_data();
    void leaveOrSetSamePort();
    void set_data();
    void set();

private:
    void startMain();
    ShownBox runDialog(const std::function<void(frmComm *)> &interact);
    QString stored() const;

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
    // Every other port points nowhere, so nothing here ever opens one of the machine's ports. The
    // names look like markup, which no message or tooltip may render.
    for (int port = 3; port <= 20; ++port)
        m_settings->mapPort(
            port, m_settings->configDir() + QStringLiteral("/<h1>no</h1>-such-%1").arg(port));
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

void tst_frmComm::startMain()
{
    m_window = std::make_unique<frmMain>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

QString tst_frmComm::stored() const
{
    return m_settings->read(QStringLiteral("Properties"), QStringLiteral("CommPort"));
}

// Opens the dialog from the menu, as the user does, hands it to `interact` once it is active and
// closes it by its close box if it is still open. Every message box is read and answered with OK;
// the last one is returned. Past a deadline everything modal is closed, so nothing blocks.
ShownBox tst_frmComm::runDialog(const std::function<void(frmComm *)> &interact)
{
    ShownBox seen;
    bool reached = false;
    bool timedOut = false;
    QPointer<frmComm> dialog;
    QTimer::singleShot(0, m_window.get(), [&] {
        dialog = qobject_cast<frmComm *>(QApplication::activeModalWidget());
        // qWaitForWindowActive() counts a window whose parent is active as active already.
        if (!dialog || !QTest::qWaitFor([&] { return QApplication::activeWindow() == dialog; }))
            return; // left for the deadline
        reached = true;
        interact(dialog);
        if (dialog && dialog->isVisible())
            dialog->close();
    });

    QElapsedTimer clock;
    clock.start();
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (clock.hasExpired(15000)) {
            timedOut = true;
            closeModals();
        } else if (box && box->isVisible()) {
            seen = {true, box->windowTitle(), shown(box->text(), box->textFormat()), box->icon(),
                    box->standardButtons() == QMessageBox::Ok && box->buttons().size() == 1};
            if (QAbstractButton *ok = box->button(QMessageBox::Ok))
                QTest::mouseClick(ok, Qt::LeftButton);
            else
                box->close();
        }
    });
    poll.start(10);
    m_window->findChild<QAction *>(QStringLiteral("mnuOption"))->trigger(); // returns once closed
    poll.stop();

    [&] {
        QVERIFY2(!timedOut, "the dialog hung and was closed by force");
        QVERIFY2(reached, "no port dialog came up");
        QVERIFY2(dialog.isNull(), "the dialog outlived its closing");
    }();
    return seen;
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
    m_window->move(40 + port, 30);

    runDialog([&](frmComm *dialog) {
        QComboBox *list = cboPort(dialog);
        QCOMPARE(list->count(), 16);
        for (int i = 0; i < 16; ++i) {
            QCOMPARE(list->itemText(i), QStringLiteral("Com%1").arg(i + 1));
            const QString device =
                m_settings->read(QStringLiteral("Ports"), QStringLiteral("Com%1").arg(i + 1));
            const QString tip = list->itemData(i, Qt::ToolTipRole).toString();
            QVERIFY2(shown(tip).contains(device), qPrintable(tip));
        }
        QCOMPARE(list->currentIndex(), index);
        QCOMPARE(list->currentText(), text);
        QCOMPARE(dialog->pos(), m_window->dialogCorner());
    });
}

void tst_frmComm::leaveOrSetSamePort_data()
{
    QTest::addColumn<QString>("steps"); // keys, button clicks, or "close" for the close box
    QTest::addColumn<bool>("closes");
    QTest::addColumn<QString>("storedAfter");

    QTest::newRow("Set, same port") << "btnOK" << true << "1";
    QTest::newRow("Cancel") << "Down btnCancel" << true << "";
    QTest::newRow("close box") << "Down close" << true << "";
    QTest::newRow("Esc in the list") << "Down Esc" << false << "";
    QTest::newRow("Esc on Set") << "Down Tab Tab Esc" << false << "";
    QTest::newRow("Enter in the list") << "Down Return" << false << "";
    QTest::newRow("Enter on Cancel") << "Down Tab Return" << true << "";
    QTest::newRow("Enter on Set") << "Down Tab Tab Return" << true << "2";
}

// Only "Set" changes anything, only the focused button answers Enter, and Esc answers nobody.
void tst_frmComm::leaveOrSetSamePort()
{
    QFETCH(QString, steps);
    QFETCH(bool, closes);
    QFETCH(QString, storedAfter);

    startMain();
    click(m_window.get(), QStringLiteral("btnCH1"));
    QVERIFY(m_pty1->rts());

    const ShownBox box = runDialog([&](frmComm *dialog) {
        for (const QString &step : steps.split(QLatin1Char(' '))) {
            if (step.startsWith(QLatin1String("btn")))
                click(dialog, step);
            else if (step == QLatin1String("close"))
                QVERIFY(dialog->close());
            else
                typeKey(step);
        }
        QCOMPARE(dialog->isVisible(), !closes);
    });

    QVERIFY(!box.shown);
    QCOMPARE(stored(), storedAfter);
    QCOMPARE(m_window->MSComm1()->commPort(), qint16(storedAfter == QLatin1String("2") ? 2 : 1));
    if (storedAfter == QLatin1String("2"))
        return; // the switch itself is set()'s
    // The port untouched: the raised line is still raised.
    QCOMPARE(m_window->MSComm1()->openDevice(), m_pty1->path());
    QVERIFY(m_pty1->rts());
    QCOMPARE(Module1::flgCH1, wordTrue);
    QCOMPARE(m_window->monCH1()->backColor(), Colours::lampOn);
    QCOMPARE(m_window->Text1()->text(), QStringLiteral("Com 1"));
    QCOMPARE(m_window->Text1()->backColor(), Colours::white);
    QCOMPARE(Module1::flgPortError, wordFalse);
}

void tst_frmComm::set_data()
{
    QTest::addColumn<bool>("fromError"); // Com1 missing at start, there by the time of "Set"
    QTest::addColumn<QString>("typed"); // empty: the entry for `port` is picked from the list
    QTest::addColumn<int>("port"); // the port "Set" tries
    QTest::addColumn<bool>("fails");
    QTest::addColumn<int>("openOn"); // the fake port open afterwards; 0 for none

    QTest::newRow("changed port while open") << false << "" << 2 << false << 2;
    QTest::newRow("same port from the error state") << true << "" << 1 << false << 1;
    QTest::newRow("port that does not exist") << false << "" << 5 << true << 0;
    // Typed text is no choice: port 0 is tried, which fails, and the old port is opened again.
    QTest::newRow("typed free text") << false << "usb0" << 0 << true << 1;
    // QComboBox on its own would pick the entry whose text was typed.
    QTest::newRow("typed an entry's name") << false << "Com2" << 0 << true << 1;
}

// "Set" with another port, or from the error state, leaves both channels idle and the chosen port
// open with both lines low. A port that fails is reported, and the status turns red naming it.
// Only a clean switch is stored.
void tst_frmComm::set()
{
    QFETCH(bool, fromError);
    QFETCH(QString, typed);
    QFETCH(int, port);
    QFETCH(bool, fails);
    QFETCH(int, openOn);

    const QString failure = openFailure(port);
    QCOMPARE(failure.isEmpty(), !fails);
    if (fromError)
        m_settings->mapPort(1, m_settings->configDir() + QStringLiteral("/not-yet"));
    startMain();
    click(m_window.get(), QStringLiteral("btnCH1"));
    click(m_window.get(), QStringLiteral("btnCH2"));
    QCOMPARE(Module1::flgPortError, fromError ? wordTrue : wordFalse);
    QCOMPARE(m_pty1->rts() && m_pty1->dtr(), !fromError);

    m_settings->mapPort(1, m_pty1->path());
    const ShownBox box = runDialog([&](frmComm *dialog) {
        QComboBox *list = cboPort(dialog);
        if (typed.isEmpty()) {
            list->setCurrentIndex(port - 1);
        } else {
            typeKey(QStringLiteral("Ctrl+A"));
            QTest::keyClicks(list, typed);
            typeKey(QStringLiteral("Return")); // picks nothing and adds nothing
            QVERIFY(dialog->isVisible());
            QCOMPARE(list->currentIndex(), -1);
            QCOMPARE(list->currentText(), typed);
            QCOMPARE(list->count(), 16);
        }
        click(dialog, QStringLiteral("btnOK"));
    });

    QCOMPARE(box.shown, fails);
    if (fails) {
        QCOMPARE(box.title, QStringLiteral("Twinline"));
        QCOMPARE(box.text, failure);
        QCOMPARE(box.icon, QMessageBox::Warning);
        QVERIFY(box.onlyOk);
        QVERIFY(shown(m_window->Text1()->toolTip()).endsWith(failure));
    }
    QCOMPARE(m_window->Text1()->text(), QStringLiteral("Com %1").arg(port));
    QCOMPARE(m_window->Text1()->backColor(), fails ? Colours::pureRed : Colours::white);
    QCOMPARE(Module1::flgPortError, fails ? wordTrue : wordFalse);
    QCOMPARE(stored(), fails ? QString() : QString::number(port));
    QCOMPARE(m_window->MSComm1()->commPort(), qint16(typed.isEmpty() ? port : 1));
    QCOMPARE(Module1::flgCH1, wordFalse);
    QCOMPARE(Module1::flgCH2, wordFalse);
    QCOMPARE(m_window->monCH1()->backColor(), Colours::silver);
    QCOMPARE(m_window->monCH2()->backColor(), Colours::silver);
    for (const FakePty *pty : {m_pty1.get(), m_pty2.get()})
        QVERIFY(!pty->rts() && !pty->dtr());
    if (openOn == 0)
        QVERIFY(!m_window->MSComm1()->portOpen());
    else
        QCOMPARE(m_window->MSComm1()->openDevice(), (openOn == 1 ? m_pty1 : m_pty2)->path());
    if (openOn != 1) // the old port was let go
        QVERIFY(openFailure(1).isEmpty());
}

QTEST_MAIN(tst_frmComm)
#include "tst_frmcomm.moc"
