// The about box: what loading fills in, where the box opens, its layout, and how it closes.

#include "fakepty.h"
#include "tempsettings.h"
#include "windows/colours.h"
#include "windows/frmabout.h"
#include "windows/frmmain.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
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
    using Action = std::function<void(QWidget *)>;

    explicit ModalDriver(Action action)
        : m_action(std::move(action))
    {
        connect(&m_poll, &QTimer::timeout, this, &ModalDriver::poll);
        m_poll.start(10);
        m_clock.start();
    }

    // The objectNames of the modal windows met, in order.
    QStringList seen() const { return m_seen; }
    bool timedOut() const { return m_timedOut; }

private:
    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (m_clock.hasExpired(5000)) {
            m_timedOut = true;
            modal->close();
            return;
        }
        // Keys go to the active window only, as a person's would.
        if (!modal->isActiveWindow() || m_handled.contains(modal))
            return;
        m_handled.append(modal);
        m_seen.append(modal->objectName());
        m_action(modal);
    }

    Action m_action;
    QTimer m_poll;
    QElapsedTimer m_clock;
    QList<QPointer<QWidget>> m_handled;
    QStringList m_seen;
    bool m_timedOut = false;
};

// What a person reads on the box.
struct Shown
{
    QString caption;
    QMap<QString, QString> texts;
    QPoint corner;
};

static Shown read(const QWidget *box)
{
    Shown shown;
    shown.caption = box->windowTitle();
    for (const QLabel *label : box->findChildren<QLabel *>())
        shown.texts.insert(label->objectName(), label->text());
    shown.corner = box->frameGeometry().topLeft();
    return shown;
}

static QPushButton *okButton(QWidget *box)
{
    return box->findChild<QPushButton *>(QStringLiteral("cmdOK"));
}

class tst_frmAbout : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void texts_data();
    void texts();
    void loadFailureStillOpensTheBox_data();
    void loadFailureStillOpensTheBox();
    void placement_data();
    void placement();
    void window();
    void layout_data();
    void layout();
    void picture();
    void etchedRule();
    void focus();
    void closing_data();
    void closing();
    void menuShowsTheBox();

private:
    frmAbout *build();
    Shown showAndRead();

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
    // Nothing a failed test left open may leak into the next one.
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (window != m_main.get() && window->isVisible())
            window->close();
    }
    m_main.reset(); // takes any box still parented to it along
    m_pty.reset();
    m_settings.reset();
}

// The main window, started from the stored settings, with a box loaded over it. A load that
// reports an error would block here; the driver dismisses that and the test fails.
frmAbout *tst_frmAbout::build()
{
    if (!m_main)
        m_main = std::make_unique<frmMain>();
    ModalDriver unexpected([](QWidget *modal) { modal->close(); });
    auto *box = new frmAbout(m_main.get());
    [&] { QCOMPARE(unexpected.seen(), QStringList()); }();
    return box;
}

// Opens the box through its entry point and reads it while it is up.
Shown tst_frmAbout::showAndRead()
{
    if (!m_main)
        m_main = std::make_unique<frmMain>();
    Shown shown;
    ModalDriver driver([&](QWidget *modal) {
        shown = read(modal);
        modal->close();
    });
    frmAbout::showModal(m_main.get());
    [&] {
        QCOMPARE(driver.seen(), QStringList{QStringLiteral("frmAbout")});
        QVERIFY(!driver.timedOut());
    }();
    return shown;
}

void tst_frmAbout::texts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("loaded");
    QTest::addColumn<QString>("designTime");

    QTest::newRow("lblTitle") << "lblTitle"
                              << "Twinline"
                              << "ｱﾌﾟﾘｹｰｼｮﾝ ﾀｲﾄﾙ";
    QTest::newRow("lblVersion") << "lblVersion"
                                << "Ver. 0.0.3"
                                << "ﾊﾞｰｼﾞｮﾝ";
    QTest::newRow("lblDescription") << "lblDescription"
                                    << "Remote Commport Control Program"
                                    << "ｱﾌﾟﾘｹｰｼｮﾝの説明";
    QTest::newRow("readme") << "readme"
                            << "HELP File is [ Readme.txt ]"
                            << "Readme.txt";
    QTest::newRow("copyright") << "copyright"
                               << "Copyright (C) 2026 The Twinline developers"
                               << "copyright";
}

void tst_frmAbout::texts()
{
    QFETCH(QString, name);
    QFETCH(QString, loaded);

    const Shown shown = showAndRead();
    QCOMPARE(shown.caption, QStringLiteral("Twinline Version Info."));
    QVERIFY2(shown.texts.contains(name), qPrintable(name));
    QCOMPARE(shown.texts.value(name), loaded);
}

void tst_frmAbout::loadFailureStillOpensTheBox_data()
{
    texts_data();
}

// Without a main window the load stops at its first step: the failure is reported, then the
// box opens with none of its texts replaced.
void tst_frmAbout::loadFailureStillOpensTheBox()
{
    QFETCH(QString, name);
    QFETCH(QString, designTime);

    QString message;
    QString messageTitle;
    QMessageBox::StandardButtons buttons;
    Shown shown;
    ModalDriver driver([&](QWidget *modal) {
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            message = box->text();
            messageTitle = box->windowTitle();
            buttons = box->standardButtons();
            box->button(QMessageBox::Ok)->click();
        } else {
            shown = read(modal);
            modal->close();
        }
    });
    frmAbout::showModal(nullptr);

    QCOMPARE(driver.seen(), (QStringList{"messageBox", "frmAbout"}));
    QCOMPARE(message, QStringLiteral("frmAbout.Form_Load Error"));
    QCOMPARE(messageTitle, QStringLiteral("Twinline"));
    QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(shown.caption, QStringLiteral("Version Info."));
    QCOMPARE(shown.texts.value(name), designTime);
}

void tst_frmAbout::placement_data()
{
    QTest::addColumn<QString>("top");
    QTest::addColumn<QString>("left");
    QTest::addColumn<QPoint>("movedTo");
    QTest::addColumn<QPoint>("mainCorner");
    QTest::addColumn<QPoint>("boxCorner");

    // 200 + 50 and 200 + 500 twips.
    QTest::newRow("first run") << QString() << QString() << QPoint() << QPoint(13, 13)
                               << QPoint(17, 47);
    // 777.7 + 50 and 1234.5 + 500 twips: counting from the whole pixels the main window sits on
    // would put the box a pixel higher.
    QTest::newRow("fractional stored position")
        << "1234.5"
        << "777.7" << QPoint() << QPoint(52, 82) << QPoint(55, 116);
    // 1500 + 50 and 750 + 500 twips.
    QTest::newRow("moved by the user")
        << QString() << QString() << QPoint(100, 50) << QPoint(100, 50) << QPoint(103, 83);
}

void tst_frmAbout::placement()
{
    QFETCH(QString, top);
    QFETCH(QString, left);
    QFETCH(QPoint, movedTo);
    QFETCH(QPoint, mainCorner);
    QFETCH(QPoint, boxCorner);

    if (!top.isEmpty())
        m_settings->write(QStringLiteral("Properties"), QStringLiteral("Top"), top);
    if (!left.isEmpty())
        m_settings->write(QStringLiteral("Properties"), QStringLiteral("Left"), left);
    m_main = std::make_unique<frmMain>();
    m_main->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_main.get()));
    if (!movedTo.isNull())
        m_main->move(movedTo);
    QCOMPARE(m_main->frameGeometry().topLeft(), mainCorner);

    const Shown shown = showAndRead();
    QCOMPARE(shown.corner, boxCorner);
    QCOMPARE(shown.corner, m_main->dialogCorner());
}

void tst_frmAbout::window()
{
    QPointer<frmAbout> box = build();
    QVERIFY(box);
    QCOMPARE(box->objectName(), QStringLiteral("frmAbout"));
    QCOMPARE(box->parentWidget(), m_main.get());
    QVERIFY(box->testAttribute(Qt::WA_DeleteOnClose));
    QVERIFY(!box->windowIcon().isNull());

    // A fixed dialog with a close box only; being owned by the main window keeps it off the
    // taskbar.
    const Qt::WindowFlags flags = box->windowFlags();
    QCOMPARE(flags & Qt::WindowType_Mask, Qt::Dialog);
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QVERIFY(!box->isSizeGripEnabled());
    // A 4440 x 2070 twip client area.
    QCOMPARE(box->size(), QSize(296, 138));
    QCOMPARE(box->minimumSize(), box->size());
    QCOMPARE(box->maximumSize(), box->size());
    QVERIFY(!box->testAttribute(Qt::WA_SetFont));
}

void tst_frmAbout::layout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("pixels");
    QTest::addColumn<int>("alignment");
    QTest::addColumn<bool>("blackText");

    const int left = Qt::AlignLeft | Qt::AlignTop;
    const int right = Qt::AlignRight | Qt::AlignTop;
    QTest::newRow("picIcon") << "picIcon" << QRect(8, 16, 36, 36) << int(Qt::AlignCenter) << false;
    QTest::newRow("lblTitle") << "lblTitle" << QRect(52, 8, 71, 15) << left << true;
    QTest::newRow("lblVersion") << "lblVersion" << QRect(124, 8, 137, 15) << left << false;
    QTest::newRow("lblDescription") << "lblDescription" << QRect(52, 28, 239, 18) << left << true;
    QTest::newRow("readme") << "readme" << QRect(52, 52, 241, 17) << left << false;
    QTest::newRow("cmdOK") << "cmdOK" << QRect(92, 80, 92, 23) << 0 << false;
    QTest::newRow("copyright") << "copyright" << QRect(8, 112, 277, 17) << right << false;
}

void tst_frmAbout::layout()
{
    QFETCH(QString, name);
    QFETCH(QRect, pixels);
    QFETCH(int, alignment);
    QFETCH(bool, blackText);

    QPointer<frmAbout> box = build();
    auto *control = box->findChild<QWidget *>(name);
    QVERIFY2(control, qPrintable(name));
    QCOMPARE(control->parentWidget(), box.data());
    QCOMPARE(control->geometry(), pixels);
    QVERIFY(control->isEnabled());
    QVERIFY(!control->testAttribute(Qt::WA_SetFont));
    QVERIFY(control->font() == box->font());
    if (auto *label = qobject_cast<QLabel *>(control)) {
        QCOMPARE(int(label->alignment()), alignment);
        QCOMPARE(label->focusPolicy(), Qt::NoFocus);
        if (blackText)
            QCOMPARE(label->palette().color(QPalette::WindowText),
                     Colours::toQColor(Colours::black));
    } else {
        auto *button = qobject_cast<QPushButton *>(control);
        QVERIFY(button);
        QCOMPARE(button->text(), QStringLiteral("OK"));
        QVERIFY(button->isDefault());
    }
}

void tst_frmAbout::picture()
{
    QPointer<frmAbout> box = build();
    auto *picIcon = box->findChild<QLabel *>(QStringLiteral("picIcon"));
    QVERIFY(picIcon);
    // The 32 x 32 icon exactly fills the frame's inside.
    QCOMPARE(picIcon->frameWidth(), 2);
    QCOMPARE(picIcon->contentsRect(), QRect(2, 2, 32, 32));
    const QPixmap shown = picIcon->pixmap();
    QCOMPARE(shown.deviceIndependentSize(), QSizeF(32, 32));
    const QImage expected = QImage(QStringLiteral(":/twinline.png"))
                                .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QCOMPARE(shown.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied), expected);
}

// Grey over white across the box at 1140 twips (pixel row 76), with the box's own background
// on either side: a sunken line.
void tst_frmAbout::etchedRule()
{
    QPointer<frmAbout> box = build();
    QList<QWidget *> lines = box->findChildren<QWidget *>(QStringLiteral("Line1"));
    QCOMPARE(lines.size(), 2);
    std::sort(lines.begin(), lines.end(), [](const QWidget *a, const QWidget *b) {
        return a->property("index").toInt() < b->property("index").toInt();
    });
    QCOMPARE(lines.at(0)->property("index"), QVariant(0));
    QCOMPARE(lines.at(1)->property("index"), QVariant(1));
    QCOMPARE(lines.at(0)->geometry(), QRect(0, 76, 292, 2));
    QCOMPARE(lines.at(1)->geometry(), QRect(0, 76, 292, 1));
    QCOMPARE(lines.at(0)->property("borderColor").toUInt(), Colours::white);
    QCOMPARE(lines.at(1)->property("borderColor").toUInt(), Colours::grey);
    for (const QWidget *line : lines)
        QCOMPARE(line->focusPolicy(), Qt::NoFocus);

    const QImage image = box->grab().toImage();
    const QColor background = box->palette().color(QPalette::Window);
    QVERIFY(background != Qt::white && background != QColor(0x80, 0x80, 0x80));
    for (int x : {0, 150, 291}) {
        QCOMPARE(image.pixelColor(x, 75), background);
        QCOMPARE(image.pixelColor(x, 76), QColor(0x80, 0x80, 0x80));
        QCOMPARE(image.pixelColor(x, 77), QColor(Qt::white));
        QCOMPARE(image.pixelColor(x, 78), background);
    }
    // The end point at 4380 twips is not drawn.
    QCOMPARE(image.pixelColor(292, 76), background);
    QCOMPARE(image.pixelColor(292, 77), background);
}

// The button is the only thing to focus, and the box opens with the focus on it.
void tst_frmAbout::focus()
{
    m_main = std::make_unique<frmMain>();
    m_main->show();
    QString focused;
    QString afterTab;
    QString afterBacktab;
    ModalDriver driver([&](QWidget *modal) {
        QWidget *focus = QApplication::focusWidget();
        focused = focus ? focus->objectName() : QString();
        if (focus) {
            QTest::keyClick(focus, Qt::Key_Tab);
            afterTab = QApplication::focusWidget()->objectName();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
            afterBacktab = QApplication::focusWidget()->objectName();
        }
        modal->close();
    });
    frmAbout::showModal(m_main.get());
    QVERIFY(!driver.timedOut());
    QCOMPARE(focused, QStringLiteral("cmdOK"));
    QCOMPARE(afterTab, QStringLiteral("cmdOK"));
    QCOMPARE(afterBacktab, QStringLiteral("cmdOK"));
}

void tst_frmAbout::closing_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("okPresses");

    QTest::newRow("OK clicked") << "click" << 1;
    QTest::newRow("Esc") << "Escape" << 1;
    QTest::newRow("Enter") << "Return" << 1;
    QTest::newRow("keypad Enter") << "Enter" << 1;
    QTest::newRow("space bar") << "Space" << 1;
    QTest::newRow("close box") << "close" << 0;
}

// Every way of closing the box unloads it: by the time the entry point returns it is gone.
void tst_frmAbout::closing()
{
    QFETCH(QString, how);
    QFETCH(int, okPresses);

    m_main = std::make_unique<frmMain>();
    m_main->show();
    QPointer<QWidget> box;
    std::unique_ptr<QSignalSpy> pressed;
    ModalDriver driver([&](QWidget *modal) {
        box = modal;
        QPushButton *ok = okButton(modal);
        if (!ok)
            return; // left for the deadline; the checks below fail
        pressed = std::make_unique<QSignalSpy>(ok, &QPushButton::clicked);
        QWidget *focus = QApplication::focusWidget();
        if (how == QLatin1String("click"))
            QTest::mouseClick(ok, Qt::LeftButton);
        else if (how == QLatin1String("Escape"))
            QTest::keyClick(focus, Qt::Key_Escape);
        else if (how == QLatin1String("Return"))
            QTest::keyClick(focus, Qt::Key_Return);
        else if (how == QLatin1String("Enter"))
            QTest::keyClick(focus, Qt::Key_Enter, Qt::KeypadModifier);
        else if (how == QLatin1String("Space"))
            QTest::keyClick(focus, Qt::Key_Space);
        else
            modal->close();
    });
    frmAbout::showModal(m_main.get());

    QVERIFY(!driver.timedOut());
    QCOMPARE(driver.seen(), QStringList{QStringLiteral("frmAbout")});
    QVERIFY(pressed);
    QCOMPARE(pressed->count(), okPresses);
    QVERIFY(box.isNull());
    QVERIFY(m_main->isVisible());
}

void tst_frmAbout::menuShowsTheBox()
{
    m_main = std::make_unique<frmMain>();
    m_main->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_main.get()));
    auto *mnuAbout = m_main->findChild<QAction *>(QStringLiteral("mnuAbout"));
    QVERIFY(mnuAbout);

    QPointer<QWidget> box;
    QWidget *owner = nullptr;
    bool modal = false;
    ModalDriver driver([&](QWidget *window) {
        box = window;
        owner = window->parentWidget();
        modal = window->isModal();
        if (QPushButton *ok = okButton(window))
            QTest::mouseClick(ok, Qt::LeftButton);
    });
    mnuAbout->trigger();

    QVERIFY(!driver.timedOut());
    // The box alone: no "mnuAbout Error" after it.
    QCOMPARE(driver.seen(), QStringList{QStringLiteral("frmAbout")});
    QCOMPARE(owner, m_main.get());
    QVERIFY(modal);
    QVERIFY(box.isNull());
    QVERIFY(m_main->isVisible());
}

QTEST_MAIN(tst_frmAbout)
#include "tst_frmabout.moc"
