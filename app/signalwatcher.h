// Turns the termination signals into a Qt signal delivered by the event loop.
#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP must end the program through its normal shut-down, which stores
// the position and releases the port. The signal handler only writes the signal number to a
// pipe; the event loop reads it and emits received(), where any code may run.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

signals:
    void received(int signalNumber);

private:
    void readPipe();

    QSocketNotifier *m_notifier = nullptr;
};
