// A push button that acts while a mouse button holds it down, and never from the keyboard.
#pragma once

#include <QPushButton>

// Emits mousePressed() when the first mouse button goes down on it and mouseReleased() when the
// last one comes up, whichever buttons they are and whatever modifiers are held. QPushButton
// itself reacts to the left button only, so this is handled here. A fast second press reaches a
// widget as a double-click event, which does nothing: a double click pulses the line once and
// leaves the channel as it was. Space and Enter do nothing: a pulse on the line must come from a
// hand on the mouse.
//
// A hold also ends, with mouseReleased(), the moment the release can no longer reach this button:
// its window loses activation, a popup or modal window opens, the mouse goes to another widget,
// or the button is hidden or disabled. Whatever happens to the mouse button afterwards belongs to
// a hold that is over; only a new press starts another.
class MomentaryButton : public QPushButton
{
    Q_OBJECT

public:
    explicit MomentaryButton(const QString &text, QWidget *parent = nullptr);

signals:
    void mousePressed();
    void mouseReleased();

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void changeEvent(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    bool isHeld() const { return m_heldButtons != Qt::NoButton; }
    void press(Qt::MouseButton button);
    void release(Qt::MouseButtons stillHeld);

    Qt::MouseButtons m_heldButtons = Qt::NoButton;
};
