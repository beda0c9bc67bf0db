#include "windows/commandbutton.h"

#include "windows/heldkeys.h"

#include <QKeyEvent>

CommandButton::CommandButton(const QString &text, QWidget *parent)
    : QPushButton(text, parent)
{
    setAutoDefault(false);
    setDefault(false);
    HeldKeys::install();
}

void CommandButton::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        // Only the first press of a keystroke gets here: HeldKeys keeps the repeats away.
        click();
        event->accept();
        return;
    }
    QPushButton::keyPressEvent(event);
}
