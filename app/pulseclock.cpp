#include "app/pulseclock.h"

#include <QSocketNotifier>

#include <cstdint>
#include <utility>

#include <sys/timerfd.h>

PulseClock::PulseClock(QObject *parent)
    : QObject(parent)
    , m_fd(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC))
{
    if (!m_fd.isValid())
        return; // start() fails
    m_notifier = new QSocketNotifier(m_fd.get(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        std::uint64_t expirations = 0;
        if (::read(m_fd.get(), &expirations, sizeof expirations) > 0
            && std::exchange(m_active, false))
            emit timeout();
    });
}

bool PulseClock::start(int milliseconds)
{
    const itimerspec once{{0, 0}, {milliseconds / 1000, (milliseconds % 1000) * 1000000L}};
    m_active = m_fd.isValid() && ::timerfd_settime(m_fd.get(), 0, &once, nullptr) == 0;
    return m_active;
}

void PulseClock::stop()
{
    const itimerspec disarmed{};
    if (m_fd.isValid())
        ::timerfd_settime(m_fd.get(), 0, &disarmed, nullptr);
    m_active = false;
}
