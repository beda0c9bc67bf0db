// The about box: what loading fills in, where the box opens, its etched rule, and how it closes.

#include "fakepty.h"
#include "tempsettings.h"
#include "windows/frmabout.h"
#include "windows/frmmain.h"

#include <QAction>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

// Stands in for the user while the code under test sits in a modal exec(): hands each modal
// window that comes up, once it is active, to the action, which should close it. Whatever is
// still modal after the deadline is closed, so a failing test reports instead of hanging.
class ModalDriver : public QObject
{
public:
    explicit ModalDriver(std::function<void(QWidget *)> action)
    {
        m_clock.start();
        connect(&m_poll, &QTimer::timeout, this, [this, action] {
            QWidget *modal = QApplication::activeModalWidget();
            if (modal && m_clock.hasExpired(5000)) {
                m_timedOut = true;
                modal->close();
            } else if (modal && modal->isActiveWindow() && !m_handled.contains(modal)) {
                // Only once the window is active, as a person's keys go to the active window.
                m_handled.append(modal);
                m_seen.append(modal->objectName());
                action(modal);
            }
        });
        m_poll.start(10);
    }

    // The objectNames of the modal windows met, in order.
    QStringList seen() const { return m_seen; }
    bool timedOut() const { return m_timedOut; }

private:
    QTimer m_poll;
    QElapsedTimer m_clock;
    QList<QPointer<QWidget>> m_handled;
    QStringList m_seen;
    bool m_timedOut = false;
};

// The texts a person reads on the box, by label, and its caption under "caption".
static QMap<QString, QString> read(const QWidget *box)
{
    QMap<QString, QString> texts{{QStringLiteral("caption"), box->windowTitle()}};
    for (const QLabel *label : box->findChildren<QLabel *>())
        texts.insert(label->objectName(), label->text());
    return texts;
}

class tst_frmAbout : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void texts();
    void loadFailureStillOpensTheBox();
    void placement_data();
    void placement();
    void etchedRule();
    void closingFromTheMenu_data();
    void closingFromTheMenu();

private:
    std::unique_ptr<TempSettings> m_settings;
    std::unique_ptr<FakePty> m_pty;
    std::unique_ptr<frmMain> m_main;
};

void tst_frmAbout::initTestCase()
{
    QVERIFY2(ptyModemLoaded(), "libptymodem.so is not preloaded: run this test through ctest");
}

void tst_frmAbout::init()
{
    m_settings = std::make_unique<TempSettings>();
    QVERIFY(m_settings->isValid());
    m_pty = std::make_unique<FakePty>();
    QVERIFY2(m_pty->isValid(), qPrintable(m_pty->errorString()));
    m_settings->mapPort(1, m_pty->path());
}

void tst_frmAbout::cleanup()
{
    m_main.reset(); // takes any box still parented to it along
    m_pty.reset();
    m_settings.reset();
}

void tst_frmAbout::texts()
{
    m_main = std::make_unique<frmMain>();
    QMap<QString, QString> shown;
    ModalDriver driver([&](QWidget *modal) {
        shown = read(modal);
        modal->close();
    });
    frmAbout::showModal(m_main.get());

    QCOMPARE(driver.seen(), QStringList{QStringLiteral("frmAbout")});
    QCOMPARE(shown.value("caption"), QStringLiteral("Twinline Version Info."));
    QCOMPARE(shown.value("lblTitle"), QStringLiteral("Twinline"));
    QCOMPARE(shown.value("lblVersion"), QStringLiteral("Ver. 0.0.3"));
    QCOMPARE(shown.value("lblDescription"), QStringLiteral("Remote Commport Control Program"));
    QCOMPARE(shown.value("readme"), QStringLiteral("HELP File is [ Readme.txt ]"));
    // One line, and the rights belong to the project rather than to a person.
    const QString copyright = shown.value("copyright");
    QVERIFY2(copyright.startsWith(QLatin1String("Copyright")), qPrintable(copyright));
    QVERIFY2(copyright.contains(QLatin1String("Twinline")), qPrintable(copyright));
    QVERIFY2(!copyright.contains(QLatin1Char('\n')), qPrintable(copyright));
}

// Without a main window the load stops at its first step: the failure is reported, then the box
// opens with none of its texts replaced.
void tst_frmAbout::loadFailureStillOpensTheBox()
{
    QString message;
    QMap<QString, QString> shown;
    ModalDriver driver([&](QWidget *modal) {
        if (auto *box = qobject_cast<QMessageBox *>(modal))
            message = box->text();
        else
            shown = read(modal);
        modal->close();
    });
    frmAbout::showModal(nullptr);

    QCOMPARE(driver.seen(), (QStringList{"messageBox", "frmAbout"}));
    QCOMPARE(message, QStringLiteral("frmAbout.Form_Load Error"));
    QCOMPARE(shown.value("lblTitle"), QStringLiteral("ｱﾌﾟﾘｹｰｼｮﾝ ﾀｲﾄﾙ"));
    QCOMPARE(shown.value("lblVersion"), QStringLiteral("ﾊﾞｰｼﾞｮﾝ"));
    QCOMPARE(shown.value("lblDescription"), QStringLiteral("ｱﾌﾟﾘｹｰｼｮﾝの説明"));
}

void tst_frmAbout::placement_data()
{
    QTest::addColumn<QPoint>("movedTo"); // none: placed from a stored fractional position
    QTest::addColumn<QPoint>("boxCorner");

    // 777.7 + 50 and 1234.5 + 500 twips: counting from the whole pixels the main window sits on
    // would put the box a pixel higher.
    QTest::newRow("fractional stored position") << QPoint() << QPoint(55, 116);
    // 1500 + 50 and 750 + 500 twips.
    QTest::newRow("moved by the user") << QPoint(100, 50) << QPoint(103, 83);
}

void tst_frmAbout::placement()
{
    QFETCH(QPoint, movedTo);
    QFETCH(QPoint, boxCorner);

    if (movedTo.isNull()) {
        m_settings->write(QStringLiteral("Properties"), QStringLiteral("Top"), "1234.5");
        m_settings->write(QStringLiteral("Properties"), QStringLiteral("Left"), "777.7");
    }
    m_main = std::make_unique<frmMain>();
    m_main->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_main.get()));
    if (!movedTo.isNull())
        m_main->move(movedTo);

    QPoint corner;
    ModalDriver driver([&](QWidget *modal) {
        corner = modal->frameGeometry().topLeft();
        modal->close();
    });
    frmAbout::showModal(m_main.get());
    QCOMPARE(driver.seen(), QStringList{QStringLiteral("frmAbout")});
    QCOMPARE(corner, m_main->dialogCorner());
    QCOMPARE(corner, boxCorner);
}

// Grey over white across the box at pixel row 76, the box's own background on either side.
void tst_frmAbout::etchedRule()
{
    m_main = std::make_unique<frmMain>();
    ModalDriver unexpected([](QWidget *modal) { modal->close(); });
    auto *box = new frmAbout(m_main.get());
    QCOMPARE(unexpected.seen(), QStringList());

    const QImage image = box->grab().toImage();
    const QColor background = box->palette().color(QPalette::Window);
    const QList<QColor> column{background, QColor(0x80, 0x80, 0x80), Qt::white, background};
    for (int row = 0; row < 4; ++row)
        QCOMPARE(image.pixelColor(150, 75 + row), column.at(row));
}

void tst_frmAbout::closingFromTheMenu_data()
{
    QTest::addColumn<int>("key"); // 0: OK clicked

    QTest::newRow("OK clicked") << 0;
    QTest::newRow("Esc") << int(Qt::Key_Escape);
    QTest::newRow("Enter") << int(Qt::Key_Return);
}

// The menu opens the box over the main window, and each way of closing it unloads it.
void tst_frmAbout::closingFromTheMenu()
{
    QFETCH(int, key);

    m_main = std::make_unique<frmMain>();
    m_main->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_main.get()));
    QPointer<QWidget> box;
    ModalDriver driver([&](QWidget *modal) {
        box = modal;
        if (key == 0)
            QTest::mouseClick(modal->findChild<QPushButton *>(QStringLiteral("cmdOK")),
                              Qt::LeftButton);
        else
            QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
    });
    m_main->findChild<QAction *>(QStringLiteral("mnuAbout"))->trigger();

    QVERIFY2(!driver.timedOut(), "the box did not close");
    QCOMPARE(driver.seen(), QStringList{QStringLiteral("frmAbout")}); // and no "mnuAbout Error"
    QVERIFY(box.isNull());
}

QTEST_MAIN(tst_frmAbout)
#include "tst_frmabout.moc"
