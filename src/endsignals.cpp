#include "endsignals.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

int pipeFds[2] = {-1, -1};
constexpr std::array endingSignals{SIGTERM, SIGHUP, SIGINT};

extern "C" void onEndingSignal(int signalNumber)
{
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t n = ::write(pipeFds[1], &byte, 1);
    errno = saved;
}

} // namespace

EndSignals::EndSignals(QObject *parent) : QObject(parent)
{
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &EndSignals::readPipe);
    struct sigaction action = {};
    action.sa_handler = onEndingSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : endingSignals)
        ::sigaction(s, &action, nullptr);
}

EndSignals::~EndSignals()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int s : endingSignals)
        ::sigaction(s, &action, nullptr);
    delete m_notifier;
    for (int &fd : pipeFds)
        if (fd >= 0)
            ::close(std::exchange(fd, -1));
}

void EndSignals::readPipe()
{
    unsigned char byte = 0;
    while (::read(pipeFds[0], &byte, 1) == 1)
        emit endRequested(byte);
}
