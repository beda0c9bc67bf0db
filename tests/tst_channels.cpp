// The two channels: On/Off toggles, momentary Tilt buttons, and the lamps that follow them.

#include "app/module1.h"
#include "fakepty.h"
#include "serial/mscomm.h"
#include "tempsettings.h"
#include "windows/colours.h"
#include "windows/frmmain.h"
#include "windows/lamp.h"
#include "windows/textbox.h"

#include <QApplication>
#include <QDialog>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>

#include <memory>

// What one channel looks like from outside: its line on the port, its flag and its lamp.
struct ChannelState
{
    bool line;
    BoolWord flag;
    quint32 lamp;

    bool operator==(const ChannelState &) const = default;
};

QT_BEGIN_NAMESPACE
char *toString(const ChannelState &state)
{
    const QByteArray text = QByteArray("line ") + (state.line ? "high" : "low") + ", flag "
        + QByteArray::number(state.flag) + ", lamp 0x" + QByteArray::number(state.lamp, 16);
    return qstrdup(text.constData());
}
QT_END_NAMESPACE

namespace {

const ChannelState idle{false, wordFalse, Colours::lampOff};
const ChannelState active{true, wordTrue, Colours::lampOn};

void sendMouse(QWidget *widget, QEvent::Type type, Qt::MouseButton button, Qt::MouseButtons buttons,
               Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    const QPointF local(widget->width() / 2.0, widget->height() / 2.0);
    QMouseEvent event(type, local, widget->mapToGlobal(local), button, buttons, modifiers);
    QApplication::sendEvent(widget, &event);
}

} // namespace

class tst_Channels : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void toggleTwice_data();
    void toggleTwice();
    void tiltInvertsWhileHeld_data();
    void tiltInvertsWhileHeld();
    void tiltSurvivesFastPresses();
    void tiltWithSeveralMouseButtons();
    void tiltHoldEnds_data();
    void tiltHoldEnds();
    void keyboard_data();
    void keyboard();
    void errorStateChangesNothing();
    void failedLineWriteStillMovesFlagAndLamp();
    void lampsTellScreenReaders();
    void lampIsACircleWithAnOutline();

private:
    ChannelState state(int channel) const;
    QPushButton *button(const char *name) const;
    void setActive(int channel);

    std::unique_ptr<TempSettings> m_settings;
    std::unique_ptr<FakePty> m_pty;
    std::unique_ptr<frmMain> m_window;
};

void tst_Channels::initTestCase()
{
    QVERIFY2(ptyModemLoaded(), "libptymodem.so is not preloaded: run this test through ctest");
}

void tst_Channels::init()
{
    m_settings = std::make_unique<TempSettings>();
    m_pty = std::make_unique<FakePty>();
    QVERIFY2(m_pty->isValid(), qPrintable(m_pty->errorString()));
    m_settings->mapPort(1, m_pty->path());
    Module1::flgCH1 = Module1::flgCH2 = Module1::flgPortError = wordFalse;
    m_window = std::make_unique<frmMain>();
    QCOMPARE(m_window->Text1()->text(), QStringLiteral("Com 1"));
    QCOMPARE(state(1), idle);
    QCOMPARE(state(2), idle);
}

void tst_Channels::cleanup()
{
    m_window.reset();
    m_pty.reset();
    m_settings.reset();
}

ChannelState tst_Channels::state(int channel) const
{
    if (channel == 1)
        return {m_pty->rts(), Module1::flgCH1, m_window->monCH1()->backColor()};
    return {m_pty->dtr(), Module1::flgCH2, m_window->monCH2()->backColor()};
}

QPushButton *tst_Channels::button(const char *name) const
{
    return m_window->findChild<QPushButton *>(QLatin1String(name));
}

void tst_Channels::setActive(int channel)
{
    QTest::mouseClick(button(channel == 1 ? "btnCH1" : "btnCH2"), Qt::LeftButton);
    QCOMPARE(state(channel), active);
}

void tst_Channels::toggleTwice_data()
{
    QTest::addColumn<int>("channel");

    QTest::newRow("CH 1 drives RTS") << 1;
    QTest::newRow("CH 2 drives DTR") << 2;
}

void tst_Channels::toggleTwice()
{
    QFETCH(int, channel);
    const int other = 3 - channel;
    QPushButton *onOff = button(channel == 1 ? "btnCH1" : "btnCH2");

    QTest::mouseClick(onOff, Qt::LeftButton);
    QCOMPARE(state(channel), active);
    QCOMPARE(state(other), idle);

    QTest::mouseClick(onOff, Qt::LeftButton);
    QCOMPARE(state(channel), idle);
    QCOMPARE(state(other), idle);

    // The other channel stays as it is while this one moves.
    setActive(other);
    QTest::mouseClick(onOff, Qt::LeftButton);
    QCOMPARE(state(other), active);
    QTest::mouseClick(onOff, Qt::LeftButton);
    QCOMPARE(state(channel), idle);
    QCOMPARE(state(other), active);
}

void tst_Channels::tiltInvertsWhileHeld_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<bool>("startActive");
    QTest::addColumn<Qt::MouseButton>("mouseButton");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");

    QTest::newRow("CH 1 idle, left") << 1 << false << Qt::LeftButton << Qt::KeyboardModifiers();
    QTest::newRow("CH 1 active, left") << 1 << true << Qt::LeftButton << Qt::KeyboardModifiers();
    QTest::newRow("CH 2 idle, left") << 2 << false << Qt::LeftButton << Qt::KeyboardModifiers();
    QTest::newRow("CH 2 active, left") << 2 << true << Qt::LeftButton << Qt::KeyboardModifiers();
    QTest::newRow("CH 1 idle, right") << 1 << false << Qt::RightButton << Qt::KeyboardModifiers();
    QTest::newRow("CH 2 active, middle")
        << 2 << true << Qt::MiddleButton << Qt::KeyboardModifiers();
    QTest::newRow("CH 1 idle, shift+ctrl")
        << 1 << false << Qt::LeftButton
        << Qt::KeyboardModifiers(Qt::ShiftModifier | Qt::ControlModifier);
    QTest::newRow("CH 2 idle, alt+right")
        << 2 << false << Qt::RightButton << Qt::KeyboardModifiers(Qt::AltModifier);
}

void tst_Channels::tiltInvertsWhileHeld()
{
    QFETCH(int, channel);
    QFETCH(bool, startActive);
    QFETCH(Qt::MouseButton, mouseButton);
    QFETCH(Qt::KeyboardModifiers, modifiers);

    if (startActive)
        setActive(channel);
    const ChannelState before = startActive ? active : idle;
    const ChannelState held = startActive ? idle : active;
    const int other = 3 - channel;
    QPushButton *tilt = button(channel == 1 ? "btnCH1_tilt" : "btnCH2_tilt");

    QTest::mousePress(tilt, mouseButton, modifiers);
    QCOMPARE(state(channel), held);
    QVERIFY(tilt->isDown());
    QCOMPARE(state(other), idle);
    QTest::mouseRelease(tilt, mouseButton, modifiers);
    QCOMPARE(state(channel), before);
    QVERIFY(!tilt->isDown());
    QCOMPARE(state(other), idle);
}

void tst_Channels::tiltSurvivesFastPresses()
{
    QPushButton *tilt = button("btnCH2_tilt");
    // A quick second press reaches the button as a double-click, not as a press.
    sendMouse(tilt, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton);
    QCOMPARE(state(2), active);
    sendMouse(tilt, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton);
    QCOMPARE(state(2), idle);
    sendMouse(tilt, QEvent::MouseButtonDblClick, Qt::LeftButton, Qt::LeftButton);
    QCOMPARE(state(2), active);
    sendMouse(tilt, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton);
    QCOMPARE(state(2), idle);
    // Some platforms deliver the second press and the double-click both.
    sendMouse(tilt, QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton);
    sendMouse(tilt, QEvent::MouseButtonDblClick, Qt::RightButton, Qt::RightButton);
    QCOMPARE(state(2), active);
    sendMouse(tilt, QEvent::MouseButtonRelease, Qt::RightButton, Qt::NoButton);
    QCOMPARE(state(2), idle);
    QCOMPARE(state(1), idle);
}

void tst_Channels::tiltWithSeveralMouseButtons()
{
    QPushButton *tilt = button("btnCH1_tilt");
    sendMouse(tilt, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton);
    QCOMPARE(state(1), active);
    sendMouse(tilt, QEvent::MouseButtonPress, Qt::RightButton, Qt::LeftButton | Qt::RightButton);
    QCOMPARE(state(1), active); // still held: still inverted
    sendMouse(tilt, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::RightButton);
    QCOMPARE(state(1), active);
    sendMouse(tilt, QEvent::MouseButtonRelease, Qt::RightButton, Qt::NoButton);
    QCOMPARE(state(1), idle);
    // A release with nothing held changes nothing.
    sendMouse(tilt, QEvent::MouseButtonRelease, Qt::RightButton, Qt::NoButton);
    QCOMPARE(state(1), idle);
}

void tst_Channels::tiltHoldEnds_data()
{
    QTest::addColumn<QString>("how");

    QTest::newRow("window deactivated") << "deactivate";
    QTest::newRow("popup menu opens") << "popup";
    QTest::newRow("modal dialog opens") << "modal";
    QTest::newRow("mouse goes to another widget") << "elsewhere";
    QTest::newRow("window hidden") << "hide";
    QTest::newRow("buttons disabled") << "disable";
}

// Once the release can no longer reach the button, the hold ends at once with one toggle back,
// and nothing that comes later, motion or a late release, moves the line again.
void tst_Channels::tiltHoldEnds()
{
    QFETCH(QString, how);

    m_window->show();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    QPushButton *tilt = button("btnCH1_tilt");
    sendMouse(tilt, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton);
    QCOMPARE(state(1), active);
    // Motion without a button down is no release: the hold goes on.
    sendMouse(tilt, QEvent::MouseMove, Qt::NoButton, Qt::NoButton);
    QCOMPARE(state(1), active);

    QWidget other;
    QMenu menu;
    menu.addAction(QStringLiteral("item"));
    QDialog dialog(m_window.get());
    if (how == QLatin1String("deactivate")) {
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
    } else if (how == QLatin1String("popup")) {
        menu.popup(tilt->mapToGlobal(QPoint(0, 0)));
    } else if (how == QLatin1String("modal")) {
        dialog.setModal(true);
        dialog.show();
    } else if (how == QLatin1String("elsewhere")) {
        sendMouse(m_window->monCH1(), QEvent::MouseMove, Qt::NoButton, Qt::LeftButton);
    } else if (how == QLatin1String("hide")) {
        m_window->hide();
    } else {
        m_window->centralWidget()->setEnabled(false);
    }
    QCOMPARE(state(1), idle);
    QVERIFY(!tilt->isDown());

    sendMouse(tilt, QEvent::MouseMove, Qt::NoButton, Qt::NoButton);
    sendMouse(tilt, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton);
    QCOMPARE(state(1), idle);
    QCOMPARE(state(2), idle);
}

void tst_Channels::keyboard_data()
{
    QTest::addColumn<QString>("buttonName");
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("toggles");

    QTest::newRow("Space on CH 1 On/Off") << "btnCH1" << int(Qt::Key_Space) << true;
    QTest::newRow("Enter on CH 2 On/Off") << "btnCH2" << int(Qt::Key_Return) << true;
    QTest::newRow("keypad Enter on CH 1 On/Off") << "btnCH1" << int(Qt::Key_Enter) << true;
    QTest::newRow("Space on CH 1 Tilt") << "btnCH1_tilt" << int(Qt::Key_Space) << false;
    QTest::newRow("Enter on CH 1 Tilt") << "btnCH1_tilt" << int(Qt::Key_Return) << false;
    QTest::newRow("Space on CH 2 Tilt") << "btnCH2_tilt" << int(Qt::Key_Space) << false;
    QTest::newRow("keypad Enter on CH 2 Tilt") << "btnCH2_tilt" << int(Qt::Key_Enter) << false;
}

void tst_Channels::keyboard()
{
    QFETCH(QString, buttonName);
    QFETCH(int, key);
    QFETCH(bool, toggles);

    const int channel = buttonName.startsWith(QLatin1String("btnCH1")) ? 1 : 2;
    m_window->show();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    QPushButton *target = button(qPrintable(buttonName));
    target->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), target);

    QTest::keyPress(target, Qt::Key(key));
    // A held key repeats its press; no button takes a repeat, wherever it lands.
    QTest::keyPress(target, Qt::Key(key));
    QTest::keyPress(button(channel == 1 ? "btnCH2" : "btnCH1"), Qt::Key(key));
    QTest::keyRelease(target, Qt::Key(key));
    QCOMPARE(state(channel), toggles ? active : idle);
    QCOMPARE(state(3 - channel), idle);
    QVERIFY(!target->isDown());
}

void tst_Channels::errorStateChangesNothing()
{
    setActive(2);
    // Into the error state with the port still open, as after a failed start-up step.
    m_window->Text1()->setBackColor(Colours::pureRed);
    Module1::flgPortError = wordTrue;

    for (const char *name : {"btnCH1", "btnCH2"})
        QTest::mouseClick(button(name), Qt::LeftButton);
    for (const char *name : {"btnCH1_tilt", "btnCH2_tilt"}) {
        QTest::mousePress(button(name), Qt::LeftButton);
        QCOMPARE(state(1), idle);
        QCOMPARE(state(2), active);
        QTest::mouseRelease(button(name), Qt::LeftButton);
    }
    QCOMPARE(state(1), idle);
    QCOMPARE(state(2), active);
}

void tst_Channels::failedLineWriteStillMovesFlagAndLamp()
{
    m_pty->hangUp(); // the adapter is pulled out
    QTest::mouseClick(button("btnCH1"), Qt::LeftButton);
    QCOMPARE(Module1::flgCH1, wordTrue);
    QCOMPARE(m_window->monCH1()->backColor(), Colours::lampOn);
    QCOMPARE(QApplication::activeModalWidget(), nullptr); // nothing is reported
    QTest::mouseClick(button("btnCH1"), Qt::LeftButton);
    QCOMPARE(Module1::flgCH1, wordFalse);
    QCOMPARE(m_window->monCH1()->backColor(), Colours::lampOff);

    // With the port closed the line value is only recorded, and the lamp still follows.
    m_window->MSComm1()->setPortOpen(false);
    QTest::mouseClick(button("btnCH2"), Qt::LeftButton);
    QCOMPARE(Module1::flgCH2, wordTrue);
    QCOMPARE(m_window->monCH2()->backColor(), Colours::lampOn);
    QVERIFY(m_window->MSComm1()->dtrEnable());
}

void tst_Channels::lampsTellScreenReaders()
{
    QCOMPARE(m_window->monCH1()->accessibleName(), QStringLiteral("CH 1"));
    QCOMPARE(m_window->monCH2()->accessibleName(), QStringLiteral("CH 2"));
    QCOMPARE(m_window->monCH2()->accessibleDescription(), QStringLiteral("off"));
    setActive(2);
    QCOMPARE(m_window->monCH2()->accessibleDescription(), QStringLiteral("on"));
    QCOMPARE(m_window->monCH1()->accessibleDescription(), QStringLiteral("off"));
}

void tst_Channels::lampIsACircleWithAnOutline()
{
    setActive(1);
    const QImage image = m_window->monCH1()->grab().toImage();
    QCOMPARE(image.size(), QSize(25, 25));
    const QColor outline = m_window->monCH1()->palette().color(QPalette::WindowText);
    // The edge is antialiased, so it is near the outline colour rather than exactly it.
    const auto near = [](const QColor &a, const QColor &b) {
        return qAbs(a.red() - b.red()) < 80 && qAbs(a.green() - b.green()) < 80
            && qAbs(a.blue() - b.blue()) < 80;
    };
    QCOMPARE(image.pixelColor(12, 12), QColor(255, 0, 0)); // filled with the lamp colour
    QVERIFY(near(image.pixelColor(12, 0), outline)); // one pixel of outline at the top
    QVERIFY(near(image.pixelColor(0, 12), outline));
    QVERIFY(near(image.pixelColor(24, 12), outline));
    QCOMPARE(image.pixelColor(12, 2), QColor(255, 0, 0)); // and no more than that
    QVERIFY(!near(image.pixelColor(1, 1), outline)); // round: the corners stay clear
    QVERIFY(image.pixelColor(1, 1) != QColor(255, 0, 0));
}

QTEST_MAIN(tst_Channels)
#include "tst_channels.moc"
