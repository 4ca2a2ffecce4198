#pragma once

#include <QTimer>
#include <chrono>

namespace kelm {

class MSComm;

// One pass of a wait that keeps the program alive: the event loop runs once. A pass that comes
// right after another, with nothing written to or read from the port in between, is only
// waiting; it sleeps in the event loop until the port's byte or any other event arrives, or the
// nap is over. A byte then costs no nap, and a quiet wait does not spin a core.
class EventPump
{
public:
    static constexpr std::chrono::milliseconds kNap{1};

    EventPump();
    // The port whose traffic tells a wait from the passes of a procedure at work.
    void setPort(const MSComm *port) { m_port = port; }
    void pass();

private:
    const MSComm *m_port = nullptr;
    quint64 m_seen = ~quint64(0);
    QTimer m_nap;
};

} // namespace kelm
