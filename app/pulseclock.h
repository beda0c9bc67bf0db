// A single-shot timer for pulses, exact to the kernel's high-resolution clock.
#pragma once

#include "app/uniquefd.h"

#include <QObject>

class QSocketNotifier;

// QTimer waits in poll(), which the kernel lets end up to 0.1% of the wait late (its
// select_estimate_accuracy()), and GLib's event loop rounds the wait up to whole milliseconds: a
// 1 s pulse would come out a millisecond or more too long. A timerfd expires without that slack,
// and the event loop sees it at once as a readable descriptor; nothing sleeps or blocks.
class PulseClock : public QObject
{
    Q_OBJECT

public:
    explicit PulseClock(QObject *parent = nullptr);

    // False when the kernel would not arm the timer.
    bool start(int milliseconds);
    void stop();

signals:
    void timeout();

private:
    UniqueFd m_fd;
    QSocketNotifier *m_notifier = nullptr;
    bool m_active = false;
};
