// Turns the termination signals into a Qt signal delivered by the event loop.
#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP must end the program through its normal shut-down, which stores
// the position and releases the port. The signal handler only writes the signal number to a
// pipe; the event loop reads it and emits received(), where any code may run. A signal that was
// ignored when the program started (nohup) stays ignored, and so does SIGPIPE: a closed stdout
// or stderr must not end the program before its shut-down has run.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    // Catches the signals from now on, before there is an event loop: what arrives meanwhile
    // waits in the pipe. Once per process, before the port is opened; false (errno set) when
    // the pipe cannot be made. The constructor calls it too.
    static bool catchSignals();

    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

signals:
    void received(int signalNumber);

private:
    void readPipe();

    QSocketNotifier *m_notifier = nullptr;
};
