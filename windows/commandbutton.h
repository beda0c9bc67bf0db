// A push button that Enter presses too, when it has the focus.
#pragma once

#include <QPushButton>

// Outside a default-button set-up QPushButton ignores Enter. These windows have no default
// button, and Enter must press exactly the focused button, as the space bar does. A held key is
// one keystroke: Space clicks once when it comes up, Enter once when it goes down.
class CommandButton : public QPushButton
{
    Q_OBJECT

public:
    explicit CommandButton(const QString &text, QWidget *parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent *event) override;
};
