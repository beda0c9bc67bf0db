#include "windows/momentarybutton.h"

#include <QApplication>
#include <QMouseEvent>

MomentaryButton::MomentaryButton(const QString &text, QWidget *parent)
    : QPushButton(text, parent)
{
    setAutoDefault(false);
}

bool MomentaryButton::event(QEvent *event)
{
    if (event->type() == QEvent::WindowDeactivate)
        release(Qt::NoButton);
    return QPushButton::event(event);
}

// Installed on the application only while a hold lasts.
bool MomentaryButton::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::Show:
        // A popup or a modal window takes the mouse, and the release goes there.
        if (auto *window = qobject_cast<QWidget *>(watched); window && window->isWindow()
            && (window->windowType() == Qt::Popup || window->isModal()))
            release(Qt::NoButton);
        break;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseMove:
        // While this button holds the mouse, every mouse event comes here; one for another
        // widget means that grab has gone.
        if (watched != this && watched->isWidgetType())
            release(Qt::NoButton);
        break;
    default:
        break;
    }
    return QPushButton::eventFilter(watched, event);
}

void MomentaryButton::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::EnabledChange && !isEnabled())
        release(Qt::NoButton);
    QPushButton::changeEvent(event);
}

void MomentaryButton::mousePressEvent(QMouseEvent *event)
{
    press(event->button());
    event->accept();
}

void MomentaryButton::mouseDoubleClickEvent(QMouseEvent *event)
{
    // Taken as no press: a double-click event may come without a release to follow (as one sent
    // by a test or an accessibility tool does), and a hold started by it would never end.
    event->accept();
}

void MomentaryButton::mouseReleaseEvent(QMouseEvent *event)
{
    release(m_heldButtons & ~event->button() & event->buttons());
    event->accept();
}

void MomentaryButton::mouseMoveEvent(QMouseEvent *event)
{
    // Motion never acts; accepted so that it does not travel on to the parent.
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
        qApp->installEventFilter(this);
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
        qApp->removeEventFilter(this);
        setDown(false);
        emit mouseReleased();
    }
}
