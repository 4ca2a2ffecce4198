#include "station/Station.h"

namespace kelm {

Station::Station(DevicePanel &panel, Clock &clock, QObject *parent)
    : QObject(parent), m_panel(panel), m_journal(clock), m_link(m_port, m_sinks, panel, clock),
      m_device(m_link, panel, clock)
{
    m_sinks.add(&m_journal);
    connect(&m_port, &MSComm::OnComm, this, [this] { m_link.MSComm1_OnComm(); });
    connect(&m_port, &MSComm::portOpened, this,
            [this] { m_journal.portOpened(m_port.description()); });
    connect(&m_port, &MSComm::portClosed, this,
            [this] { m_journal.note(QStringLiteral("port closed"), true); });
    connect(&m_port, &MSComm::portLost, this, [this](const QString &text) {
        m_journal.note(QStringLiteral("port lost: ") + text, true);
        m_panel.setDemoMode(true);
        emit portLost(text);
    });
    connect(&m_journal, &TrafficJournal::failed, this, &Station::journalFailed);
}

Station::~Station()
{
    shutDown();
}

void Station::shutDown()
{
    // Also a port that was lost and waits for its close: its lock goes with it.
    m_port.setPortOpen(false);
    m_journal.stop();
}

} // namespace kelm
