// Tells a keystroke from the repeats of a key held down, for the whole application.
#pragma once

#include <QObject>
#include <QSet>

class QKeyEvent;

// A held key repeats. On X11 the server also sends a release before every repeated press, and Qt
// can only guess from its queue which releases are real; on a loaded machine it guesses wrong,
// and a button that acts on Space or Enter acts again and again. So on X11 the server is asked to
// send no release until the key really comes up (XKB's detectable auto-repeat), and this filter,
// which sees every key event of the application, keeps the repeated presses of Space and Enter
// away from every button. That holds wherever the focus moves while the key is down: Enter on
// "Set" closes the port dialog, and its repeats then land on the main window's focused button.
class HeldKeys : public QObject
{
    Q_OBJECT

public:
    // Installs the one filter of the running application; later calls do nothing.
    static void install();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    explicit HeldKeys(QObject *parent);

    // Whether this press starts a keystroke; remembers the key as down.
    bool startsKeystroke(const QKeyEvent &event);
    void keepOnlyKeysStillDown();

    // Native scan codes of the keys down; a key without one by its Qt key code.
    QSet<quint64> m_down;
};
