#include "link/EventPump.h"
#include "link/MSComm.h"

#include <QCoreApplication>

namespace kelm {

EventPump::EventPump()
{
    // A coarse timer may fire 5 % late, or later on a loaded machine's slack; the nap bounds how
    // long a wait goes without looking at its clock.
    m_nap.setTimerType(Qt::PreciseTimer);
    m_nap.setSingleShot(true);
    m_nap.setInterval(kNap);
}

void EventPump::pass()
{
    const quint64 traffic = m_port ? m_port->traffic() : 0;
    if (traffic == m_seen) {
        // The nap's timer is an event like the port's byte: whichever comes first ends the sleep.
        m_nap.start();
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        m_nap.stop();
    } else {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    m_seen = m_port ? m_port->traffic() : 0;
}

} // namespace kelm
