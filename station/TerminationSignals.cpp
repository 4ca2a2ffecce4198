#include "station/TerminationSignals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace kelm {

namespace {
std::atomic<int> g_writeEnd{-1};

void onSignal(int signalNumber)
{
    // Only what is safe in a handler: one byte into a pipe the event loop watches.
    const int saved = errno;
    const int fd = g_writeEnd.load();
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signalNumber);
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved;
}
} // namespace

TerminationSignals::TerminationSignals(std::initializer_list<int> signalNumbers, QObject *parent)
    : QObject(parent)
{
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_pipe[0] = m_pipe[1] = -1;
        return;
    }
    g_writeEnd.store(m_pipe[1]);
    m_notifier = std::make_unique<QSocketNotifier>(m_pipe[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &TerminationSignals::readPipe);
    struct sigaction action
    {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // Restarted calls: a signal must not turn a read or a poll of the line into a failure.
    action.sa_flags = SA_RESTART;
    for (int s : signalNumbers) {
        struct sigaction before
        {
        };
        ::sigaction(s, nullptr, &before);
        // Started under nohup, a hang-up is meant to pass unnoticed. SIGINT ignored by a shell
        // for a job in the background is still taken: a kill -INT is meant.
        if (s == SIGHUP && before.sa_handler == SIG_IGN)
            continue;
        ::sigaction(s, &action, nullptr);
        m_signals.push_back(s);
    }
}

TerminationSignals::~TerminationSignals()
{
    for (int s : m_signals)
        std::signal(s, SIG_DFL);
    g_writeEnd.store(-1);
    m_notifier.reset();
    for (int fd : m_pipe)
        if (fd >= 0)
            ::close(fd);
}

void TerminationSignals::readPipe()
{
    unsigned char byte = 0;
    while (::read(m_pipe[0], &byte, 1) == 1) {
        if (m_received == 0) {
            m_received = byte;
            // A second signal while the program ends (a port that hangs in its close, say) ends
            // it at once, as the user then means.
            std::signal(byte, SIG_DFL);
        }
        emit caught(byte);
    }
}

} // namespace kelm
