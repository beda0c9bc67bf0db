#include "app/signalwatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int pipeEnds[2] = {-1, -1};
constexpr int watchedSignals[] = {SIGTERM, SIGINT, SIGHUP};
bool caught[std::size(watchedSignals)] = {};

extern "C" void forwardSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(pipeEnds[0], &byte, 1);
    errno = savedErrno;
}

} // namespace

bool SignalWatcher::catchSignals()
{
    ::signal(SIGPIPE, SIG_IGN);
    if (pipeEnds[0] < 0) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pipeEnds) != 0)
            return false;
    }
    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(watchedSignals); ++i) {
        struct sigaction before = {};
        if (!caught[i] && ::sigaction(watchedSignals[i], nullptr, &before) == 0
            && before.sa_handler != SIG_IGN)
            caught[i] = ::sigaction(watchedSignals[i], &action, nullptr) == 0;
    }
    return true;
}

SignalWatcher::SignalWatcher(QObject *parent)
    : QObject(parent)
{
    if (!catchSignals())
        return;
    m_notifier = new QSocketNotifier(pipeEnds[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalWatcher::readPipe);
}

SignalWatcher::~SignalWatcher()
{
    if (!m_notifier)
        return;
    for (std::size_t i = 0; i < std::size(watchedSignals); ++i) {
        if (std::exchange(caught[i], false))
            ::signal(watchedSignals[i], SIG_DFL);
    }
    m_notifier->setEnabled(false); // before its descriptor goes away
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    pipeEnds[0] = pipeEnds[1] = -1;
}

void SignalWatcher::readPipe()
{
    unsigned char byte = 0;
    while (::read(pipeEnds[1], &byte, 1) == 1)
        emit received(byte);
}
