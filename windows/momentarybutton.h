// A push button that acts while a mouse button holds it down, and never from the keyboard.
#pragma once

#include <QPushButton>

// Emits mousePressed() when the first mouse button goes down on it and mouseReleased() when the
// last one comes up, whichever buttons they are and whatever modifiers are held. QPushButton
// itself reacts to the left button only, and a fast second press reaches a widget as a
// double-click event, so both are handled here. Space and Enter do nothing: a pulse on the line
// must come from a hand on the mouse.
class MomentaryButton : public QPushButton
{
    Q_OBJECT

public:
    explicit MomentaryButton(const QString &text, QWidget *parent = nullptr);

    bool isHeld() const { return m_heldButtons != Qt::NoButton; }

signals:
    void mousePressed();
    void mouseReleased();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void press(Qt::MouseButton button);
    void release(Qt::MouseButtons stillHeld);

    Qt::MouseButtons m_heldButtons = Qt::NoButton;
};
