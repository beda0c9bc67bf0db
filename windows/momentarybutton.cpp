#include "windows/momentarybutton.h"

#include <QMouseEvent>

MomentaryButton::MomentaryButton(const QString &text, QWidget *parent)
    : QPushButton(text, parent)
{
    setAutoDefault(false);
    // Move events with no button down reveal a release that never arrived (a grab taken
    // elsewhere); without tracking they would not be delivered.
    setMouseTracking(true);
}

void MomentaryButton::mousePressEvent(QMouseEvent *event)
{
    press(event->button());
    event->accept();
}

void MomentaryButton::mouseDoubleClickEvent(QMouseEvent *event)
{
    press(event->button());
    event->accept();
}

void MomentaryButton::mouseReleaseEvent(QMouseEvent *event)
{
    release(m_heldButtons & ~event->button() & event->buttons());
    event->accept();
}

void MomentaryButton::mouseMoveEvent(QMouseEvent *event)
{
    if (isHeld())
        release(m_heldButtons & event->buttons());
    event->accept();
}

void MomentaryButton::keyPressEvent(QKeyEvent *event)
{
    // Bypass QAbstractButton, which would press the button on the space bar.
    QWidget::keyPressEvent(event);
}

void MomentaryButton::keyReleaseEvent(QKeyEvent *event)
{
    QWidget::keyReleaseEvent(event);
}

void MomentaryButton::hideEvent(QHideEvent *event)
{
    release(Qt::NoButton);
    QPushButton::hideEvent(event);
}

void MomentaryButton::press(Qt::MouseButton button)
{
    if (button == Qt::NoButton)
        return;
    const bool wasHeld = isHeld();
    m_heldButtons |= button;
    if (!wasHeld) {
        setDown(true);
        emit mousePressed();
    }
}

void MomentaryButton::release(Qt::MouseButtons stillHeld)
{
    if (!isHeld())
        return;
    m_heldButtons = stillHeld;
    if (!isHeld()) {
        setDown(false);
        emit mouseReleased();
    }
}
