#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <initializer_list>
#include <memory>
#include <vector>

namespace kelm {

// SIGINT, SIGTERM, SIGHUP and the like as an ordinary Qt signal, delivered by the event loop
// (also from inside a wait that pumps it), so that a program ends through its own clean path
// instead of inside a handler. Also taken when the shell started the program in the
// background with SIGINT ignored; SIGHUP ignored under nohup stays ignored. The first of a
// signal is delivered, the second takes its default action. One instance at a time; the
// signals go back to their default action when it goes.
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(std::initializer_list<int> signalNumbers,
                                QObject *parent = nullptr);
    ~TerminationSignals() override;

    // Takes a signal that came while nothing ran the event loop (a send's own waits, the steps
    // skipped after a failure), before a program that ends without it again reads received().
    void takePending() { readPipe(); }
    // The first signal taken, 0 for none yet.
    int received() const { return m_received; }
    // 128 + the signal, as a shell reports a program its signal ended.
    int exitCode() const { return m_received != 0 ? 128 + m_received : 0; }

signals:
    void caught(int signalNumber);

private:
    void readPipe();

    int m_pipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::vector<int> m_signals;
    int m_received = 0;
};

} // namespace kelm
