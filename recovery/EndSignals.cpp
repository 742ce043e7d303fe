// Signals that end the program, carried to the event loop through a socket pair.
#include "recovery/EndSignals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int endingSignals[] = {SIGTERM, SIGHUP, SIGINT};
int signalSockets[2] = {-1, -1};
std::atomic<bool> ending {false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void onEndingSignal(int number)
{
    // The first signal ends the program once its panes are kept (a few seconds at most on a
    // slow disk); a second one is not kept waiting.
    if (ending.exchange(true))
        ::_exit(128 + number);
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    // Nothing else is safe here; if the pipe is full, a signal is already waiting to be read.
    [[maybe_unused]] const ssize_t written = ::write(signalSockets[0], &byte, 1);
    errno = savedErrno;
}

} // namespace

EndSignals::EndSignals(QObject *parent) : QObject(parent)
{
    // A file size limit (ulimit -f) fails the write, which is told as for a full disk; its
    // signal would end Kavrel with the panes unsaved.
    std::signal(SIGXFSZ, SIG_IGN);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalSockets) != 0)
        return;
    ending = false;
    m_notifier = std::make_unique<QSocketNotifier>(signalSockets[1], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &EndSignals::readSignal);
    struct sigaction action {};
    action.sa_handler = onEndingSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : endingSignals)
        ::sigaction(number, &action, nullptr);
}

EndSignals::~EndSignals()
{
    if (!m_notifier)
        return;
    for (const int number : endingSignals)
        std::signal(number, SIG_DFL);
    m_notifier.reset();
    ::close(signalSockets[0]);
    ::close(signalSockets[1]);
    signalSockets[0] = signalSockets[1] = -1;
}

void EndSignals::readSignal()
{
    unsigned char byte = 0;
    while (::read(signalSockets[1], &byte, 1) == 1)
        emit received(int(byte));
}
