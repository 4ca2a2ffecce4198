#pragma once

#include "device/KELM.h"
#include "journal/TrafficJournal.h"
#include "link/MSComm.h"
#include "link/mod3964R.h"

#include <QObject>

namespace kelm {

// What both front ends drive: the port, every sink of its traffic (the journal among them),
// the link and the device procedures, wired once. The window and kelm-check only add their
// own screen or report, and both end through shutDown().
class Station : public QObject
{
    Q_OBJECT

public:
    explicit Station(DevicePanel &panel, Clock &clock = steadyClock(), QObject *parent = nullptr);
    ~Station() override;

    MSComm &port() { return m_port; }
    TrafficJournal &journal() { return m_journal; }
    mod3964R &link() { return m_link; }
    KELM &device() { return m_device; }
    // Another sink of the line's traffic, the monitor say.
    void addSink(TrafficSink *sink) { m_sinks.add(sink); }

    // The clean end, also on a signal: the port closed and its lock released, the journal's
    // last bytes and its end line on the disk. Safe to call more than once.
    void shutDown();

signals:
    // The device went away under the open port; demonstration mode is on already.
    void portLost(const QString &text);
    // The journal stopped; once, with its file and the reason.
    void journalFailed(const QString &message);

private:
    DevicePanel &m_panel;
    MSComm m_port;
    TrafficJournal m_journal;
    TrafficSinks m_sinks;
    mod3964R m_link;
    KELM m_device;
};

} // namespace kelm
