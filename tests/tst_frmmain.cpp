// The main window: start-up from stored settings, layout, keyboard and shut-down.

#include "app/module1.h"
#include "fakepty.h"
#include "serial/mscomm.h"
#include "settings/conversions.h"
#include "tempsettings.h"
#include "windows/colours.h"
#include "windows/frmmain.h"
#include "windows/lamp.h"
#include "windows/momentarybutton.h"
#include "windows/textbox.h"

#include <QDir>
#include <QFile>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class tst_frmMain : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void firstRun();
    void layout_data();
    void layout();
    void menu();
    void storedPort();
    void startUpFailures_data();
    void startUpFailures();
    void unreadableTopKeepsDesignTimeGeometry();
    void fractionalPosition();
    void shutDownStoresWhereTheWindowIs();
    void shutDownWithoutOpenPort();
    void shutDownReleasesTheLines();
    void shutDownRunsOnce();
    void keyboard();

private:
    std::unique_ptr<frmMain> start();

    std::unique_ptr<TempSettings> m_settings;
    std::unique_ptr<FakePty> m_pty;
};

void tst_frmMain::initTestCase()
{
    QVERIFY2(ptyModemLoaded(), "libptymodem.so is not preloaded: run this test through ctest");
}

void tst_frmMain::init()
{
    m_settings = std::make_unique<TempSettings>();
    QVERIFY(m_settings->isValid());
    m_pty = std::make_unique<FakePty>();
    QVERIFY2(m_pty->isValid(), qPrintable(m_pty->errorString()));
    m_settings->mapPort(1, m_pty->path());
    Module1::flgCH1 = Module1::flgCH2 = Module1::flgPortError = wordFalse;
}

void tst_frmMain::cleanup()
{
    m_pty.reset();
    m_settings.reset();
}

// Keys go where a person's keys would: to the widget that has the focus.
static void typeKey(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QWidget *focus = QApplication::focusWidget();
    QVERIFY(focus);
    QTest::keyClick(focus, key, modifiers);
}

std::unique_ptr<frmMain> tst_frmMain::start()
{
    return std::make_unique<frmMain>();
}

// Nothing stored, one USB adapter plugged in: it becomes Com1 and opens.
void tst_frmMain::firstRun()
{
    QFile::remove(m_settings->file());
    const QTemporaryDir machine;
    QDir().mkpath(machine.filePath(QStringLiteral("by-id")));
    const QString adapter =
        machine.filePath(QStringLiteral("by-id/usb-FTDI_FT232R_A12345-if00-port0"));
    QVERIFY(QFile::link(m_pty->path(), adapter));
    auto window = std::make_unique<frmMain>(PortNumbering(machine.filePath(QStringLiteral("by-id")),
                                                          machine.filePath(QStringLiteral("sys")),
                                                          machine.filePath(QStringLiteral("dev"))));
    QCOMPARE(m_settings->read(QStringLiteral("Ports"), QStringLiteral("Com1")), adapter);
    QCOMPARE(window->windowTitle(), QStringLiteral("Twinline Ver.0.0.3"));
    QCOMPARE(window->pos(), QPoint(13, 13)); // 200 twips
    QCOMPARE(window->frameGeometry().size(), QSize(217, 140)); // 3250 x 2100 twips
    QCOMPARE(window->minimumSize(), window->maximumSize());
    QCOMPARE(window->Text1()->text(), QStringLiteral("Com 1"));
    QCOMPARE(window->Text1()->backColor(), Colours::white);
    QCOMPARE(Module1::flgPortError, wordFalse);
    QCOMPARE(window->monCH1()->backColor(), Colours::silver);
    QCOMPARE(window->monCH2()->backColor(), Colours::silver);
    QVERIFY(window->MSComm1()->portOpen());
    QCOMPARE(window->MSComm1()->openDevice(), m_pty->path());
    QVERIFY(!m_pty->rts());
    QVERIFY(!m_pty->dtr());
    QVERIFY(!window->windowIcon().isNull());
    const Qt::WindowFlags flags = window->windowFlags();
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
}

void tst_frmMain::layout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QRect>("pixels");

    QTest::newRow("Text1") << "Text1"
                           << "Com 1" << QRect(8, 0, 153, 18);
    QTest::newRow("btnCH1") << "btnCH1"
                            << "CH 1  On/Off" << QRect(8, 24, 105, 25);
    QTest::newRow("btnCH1_tilt") << "btnCH1_tilt"
                                 << "Tilt" << QRect(112, 24, 49, 25);
    QTest::newRow("monCH1") << "monCH1"
                            << "" << QRect(176, 24, 25, 25);
    QTest::newRow("btnCH2") << "btnCH2"
                            << "CH 2  On/Off" << QRect(8, 56, 105, 25);
    QTest::newRow("btnCH2_tilt") << "btnCH2_tilt"
                                 << "Tilt" << QRect(112, 56, 49, 25);
    QTest::newRow("monCH2") << "monCH2"
                            << "" << QRect(176, 56, 25, 25);
}

void tst_frmMain::layout()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(QRect, pixels);

    auto window = start();
    auto *control = window->findChild<QWidget *>(name);
    QVERIFY2(control, qPrintable(name));
    // Positions count from the client area's corner, below the menu bar.
    QCOMPARE(control->parentWidget(), window->centralWidget());
    QCOMPARE(control->geometry(), pixels);
    QVERIFY(control->isEnabled());
    QVERIFY(control->font() == QApplication::font());
    if (auto *button = qobject_cast<QPushButton *>(control)) {
        QCOMPARE(button->text(), text);
        QVERIFY(!button->isDefault());
        QVERIFY(!button->autoDefault());
    }
}

void tst_frmMain::menu()
{
    auto window = start();
    const QList<QAction *> top = window->menuBar()->actions();
    QCOMPARE(top.size(), 1);
    QCOMPARE(top.first()->text(), QStringLiteral("Files(&F)"));
    QCOMPARE(top.first()->menu()->objectName(), QStringLiteral("mnuFiles"));
    const QList<QAction *> items = top.first()->menu()->actions();
    QCOMPARE(items.size(), 2);
    QCOMPARE(items.at(0)->objectName(), QStringLiteral("mnuOption"));
    QCOMPARE(items.at(0)->text(), QStringLiteral("Option(&O)"));
    QCOMPARE(items.at(1)->objectName(), QStringLiteral("mnuAbout"));
    QCOMPARE(items.at(1)->text(), QStringLiteral("About(&A)"));
    for (QAction *item : items) {
        QVERIFY(item->shortcut().isEmpty());
        QVERIFY(!item->isCheckable());
        QVERIFY(item->isEnabled());
    }
}

void tst_frmMain::storedPort()
{
    FakePty port3;
    QVERIFY(port3.isValid());
    m_settings->mapPort(3, port3.path());
    m_settings->write(QStringLiteral("Properties"), QStringLiteral("CommPort"),
                      QStringLiteral("3"));

    auto window = start();
    QCOMPARE(window->Text1()->text(), QStringLiteral("Com 3"));
    QCOMPARE(window->MSComm1()->openDevice(), port3.path());
    QCOMPARE(Module1::flgPortError, wordFalse);
}

void tst_frmMain::startUpFailures_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("portOpened");

    QTest::newRow("port will not open") << "Ports/Com1"
                                        << "/nonexistent/ttyX" << false;
    QTest::newRow("port number zero") << "Properties/CommPort"
                                      << "0" << false;
    QTest::newRow("port number not a number") << "Properties/CommPort"
                                              << "three" << false;
    QTest::newRow("port number out of range") << "Properties/CommPort"
                                              << "40000" << false;
    QTest::newRow("left not a number") << "Properties/Left"
                                       << "12a" << false;
}

void tst_frmMain::startUpFailures()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(bool, portOpened);

    const QStringList path = key.split(QLatin1Char('/'));
    m_settings->write(path.at(0), path.at(1), value);

    auto window = start();
    QCOMPARE(window->Text1()->text(), QStringLiteral("Com port open Error!"));
    QCOMPARE(window->Text1()->backColor(), Colours::pureRed);
    QCOMPARE(Module1::flgPortError, wordTrue);
    QCOMPARE(window->MSComm1()->portOpen(), portOpened);
    QCOMPARE(window->monCH1()->backColor(), Colours::silver);
    QCOMPARE(window->monCH2()->backColor(), Colours::silver);
    QCOMPARE(Module1::flgCH1, wordFalse);
    QCOMPARE(Module1::flgCH2, wordFalse);
    QVERIFY(!window->Text1()->toolTip().isEmpty()); // the reason, for whoever hovers
}

void tst_frmMain::unreadableTopKeepsDesignTimeGeometry()
{
    FakePty port3;
    m_settings->mapPort(3, port3.path());
    m_settings->write(QStringLiteral("Properties"), QStringLiteral("Top"), QStringLiteral("abc"));
    m_settings->write(QStringLiteral("Properties"), QStringLiteral("CommPort"),
                      QStringLiteral("3"));

    auto window = start();
    QCOMPARE(Module1::flgPortError, wordTrue);
    QCOMPARE(window->Text1()->text(), QStringLiteral("Com port open Error!"));
    QVERIFY(!window->MSComm1()->portOpen());
    QCOMPARE(window->MSComm1()->commPort(), qint16(1)); // start-up never got that far
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    // Design time: a 3165 x 1440 twip client area whose corner is at 240, 810.
    QCOMPARE(window->centralWidget()->size(), QSize(211, 96));
    QCOMPARE(window->centralWidget()->mapToGlobal(QPoint(0, 0)), QPoint(16, 54));
}

void tst_frmMain::fractionalPosition()
{
    m_settings->write(QStringLiteral("Properties"), QStringLiteral("Top"),
                      QStringLiteral("1234.5"));
    m_settings->write(QStringLiteral("Properties"), QStringLiteral("Left"),
                      QStringLiteral("777.7"));

    auto window = start();
    QCOMPARE(Module1::flgPortError, wordFalse);
    QCOMPARE(window->pos(), QPoint(52, 82));
    window->close();
    // Not moved: the stored values come back exactly, without drifting to whole pixels.
    QCOMPARE(Conversions::toSingle(
                 m_settings->read(QStringLiteral("Properties"), QStringLiteral("Top"))),
             1234.5f);
    QCOMPARE(Conversions::toSingle(
                 m_settings->read(QStringLiteral("Properties"), QStringLiteral("Left"))),
             777.7f);
}

void tst_frmMain::shutDownStoresWhereTheWindowIs()
{
    m_settings->write(QStringLiteral("Properties"), QStringLiteral("Top"), QStringLiteral("99999"));
    auto window = start();
    QCOMPARE(window->pos(), QPoint(13, 6667)); // off screen, and left there
    window->move(100, 50);
    window->close();
    QCOMPARE(m_settings->read(QStringLiteral("Properties"), QStringLiteral("Top")),
             QStringLiteral("750"));
    QCOMPARE(m_settings->read(QStringLiteral("Properties"), QStringLiteral("Left")),
             QStringLiteral("1500"));

    auto next = start();
    QCOMPARE(next->pos(), QPoint(100, 50));
}

void tst_frmMain::shutDownWithoutOpenPort()
{
    m_settings->mapPort(1, QStringLiteral("/nonexistent/ttyX"));
    auto window = start();
    QCOMPARE(Module1::flgPortError, wordTrue);
    window->move(30, 40);
    QSignalSpy unloaded(window.get(), &frmMain::unloaded);
    QVERIFY(window->close());
    QCOMPARE(unloaded.count(), 1);
    QCOMPARE(m_settings->read(QStringLiteral("Properties"), QStringLiteral("Top")),
             QStringLiteral("600"));
    QCOMPARE(m_settings->read(QStringLiteral("Properties"), QStringLiteral("Left")),
             QStringLiteral("450"));
}

void tst_frmMain::shutDownReleasesTheLines()
{
    auto window = start();
    window->MSComm1()->setRTSEnable(true);
    window->MSComm1()->setDTREnable(true);
    QVERIFY(m_pty->rts() && m_pty->dtr());
    QVERIFY(window->close());
    QVERIFY(!window->MSComm1()->portOpen());
    QVERIFY(!m_pty->rts());
    QVERIFY(!m_pty->dtr());
}

void tst_frmMain::shutDownRunsOnce()
{
    auto window = start();
    QSignalSpy unloaded(window.get(), &frmMain::unloaded);
    window->close();
    window->unload();
    QCOMPARE(unloaded.count(), 1);
}

void tst_frmMain::keyboard()
{
    auto window = start();
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    auto *btnCH1 = window->findChild<QPushButton *>(QStringLiteral("btnCH1"));
    auto *tilt = window->findChild<MomentaryButton *>(QStringLiteral("btnCH1_tilt"));
    QCOMPARE(QApplication::focusWidget(), btnCH1);

    QSignalSpy clicked(btnCH1, &QPushButton::clicked);
    typeKey(Qt::Key_Escape);
    QCOMPARE(clicked.count(), 0);
    typeKey(Qt::Key_Return);
    QCOMPARE(clicked.count(), 1);
    typeKey(Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(clicked.count(), 2);
    typeKey(Qt::Key_Space);
    QCOMPARE(clicked.count(), 3);

    // Tab order: the On/Off and Tilt buttons row by row, then the status box.
    const QStringList order{"btnCH1_tilt", "btnCH2", "btnCH2_tilt", "Text1", "btnCH1"};
    for (const QString &name : order) {
        typeKey(Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), name);
    }
}

QTEST_MAIN(tst_frmMain)
#include "tst_frmmain.moc"
